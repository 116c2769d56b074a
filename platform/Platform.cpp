#include "platform/Platform.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

extern char** environ;

namespace platform {
namespace {

int RetryOpen(const char* name, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(name, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<int64_t> OpenExistingForReadSize(const std::string& name) {
    int fd = RetryOpen(name.c_str(), O_RDONLY);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    ::close(fd);
    if (!ok)
        return std::nullopt;
    return static_cast<int64_t>(st.st_size);
}

bool CanOpenForRead(const std::string& name) {
    int fd = RetryOpen(name.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool DeleteFileByName(const std::string& name) {
    return ::unlink(name.c_str()) == 0;
}

bool CreateEmptyFile(const std::string& name) {
    int fd = RetryOpen(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool CreateFolder(const std::string& name) {
    if (::mkdir(name.c_str(), 0755) == 0)
        return true;
    struct stat st {};
    return errno == EEXIST && ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CopyFileOver(const std::string& source, const std::string& target) {
    int in = RetryOpen(source.c_str(), O_RDONLY);
    if (in < 0)
        return false;
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        ::close(in);
        return false;
    }
    // O_TRUNC on a running executable fails with ETXTBSY: that is the wait
    // the self-update relies on.
    int out = RetryOpen(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, st.st_mode & 07777);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    ok = ::fchmod(out, st.st_mode & 07777) == 0 && ok;
    ok = ::close(out) == 0 && ok;
    ::close(in);
    return ok;
}

std::optional<int> StartProgram(const std::string& path) {
    if (path.empty())
        return std::nullopt;
    // posix_spawn would search PATH for a bare name only with spawnp; make the
    // relative path explicit so "game.bin" means the file in the game folder.
    std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    if ((st.st_mode & S_IXUSR) == 0)
        ::chmod(file.c_str(), st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH);
    std::vector<char> arg0(file.begin(), file.end());
    arg0.push_back('\0');
    char* argv[] = {arg0.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, file.c_str(), nullptr, nullptr, argv, environ) != 0)
        return std::nullopt;
    return static_cast<int>(pid);
}

bool StartSockets() {
    return true;
}

std::string OwnProgramPath() {
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return {};
    return std::string(buffer.data(), static_cast<size_t>(n));
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace platform

#include <sys/statvfs.h>

namespace platform {

std::optional<int64_t> FreeBytes(const std::string& folder) {
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) != 0)
        return std::nullopt;
    return static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
}

}  // namespace platform
