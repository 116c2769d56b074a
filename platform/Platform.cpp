#include "platform/Platform.h"

#include "platform/DurableFile.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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

int ReplaceBlocker(const std::string& name) {
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (S_ISLNK(st.st_mode) || ::access(name.c_str(), W_OK) == 0)
        return 0;
    return errno;
}

FILE* CreateStagingFile(const std::string& staging, const std::string& target) {
    struct stat st {};
    const bool keepMode = ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    int fd = RetryOpen(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd < 0)
        return nullptr;
    if (keepMode && ::fchmod(fd, st.st_mode & 0777) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(staging.c_str());
        errno = error;
        return nullptr;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        const int error = errno;
        ::close(fd);
        ::unlink(staging.c_str());
        errno = error;
    }
    return file;
}

bool IsLink(const std::string& name) {
    struct stat st {};
    return ::lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::optional<FileStamp> StampOf(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return std::nullopt;
    FileStamp stamp;
    stamp.size = static_cast<int64_t>(st.st_size);
    stamp.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    stamp.id = (static_cast<uint64_t>(st.st_dev) << 40) ^ static_cast<uint64_t>(st.st_ino);
    return stamp;
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

namespace {

// Copies the open source into the open target from their starts; false on
// any read or write failure (a full disk, a file-size limit).
bool CopyContents(int in, int out) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!WriteAll(out, buffer.data(), static_cast<size_t>(n)))
            return false;
    }
}

bool ReadAll(int fd, int64_t offset, char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::pread(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// True when both files hold `size` bytes and the same ones.
bool SameContents(int a, int b, int64_t size) {
    struct stat st {};
    if (::fstat(b, &st) != 0 || st.st_size != size)
        return false;
    std::vector<char> left(1 << 16);
    std::vector<char> right(left.size());
    for (int64_t offset = 0; offset < size;) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(size - offset, left.size()));
        if (!ReadAll(a, offset, left.data(), n) || !ReadAll(b, offset, right.data(), n) ||
            std::memcmp(left.data(), right.data(), n) != 0)
            return false;
        offset += static_cast<int64_t>(n);
    }
    return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& source, const std::string& target) {
    int in = RetryOpen(source.c_str(), O_RDONLY);
    if (in < 0)
        return false;
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return false;
    }
    // One fixed name: a copy cut short by a kill is replaced by the next
    // attempt instead of piling up.
    const std::string temp = target + ".tmp";
    ::unlink(temp.c_str());
    int out = RetryOpen(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = CopyContents(in, out) && ::fchmod(out, st.st_mode & 07777) == 0 && SyncFile(out) &&
              SameContents(in, out, st.st_size);
    ok = ::close(out) == 0 && ok;
    ::close(in);
    if (!ok || !RenameOver(temp, target)) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    SyncFolder(FolderOf(target));
    return true;
}

namespace {

// The environment the process started with, when recorded.
std::vector<std::string>* g_startEnvironment = nullptr;

// True when `file` is, after every link and "..", inside the current folder.
bool InsideCurrentFolder(const std::string& file) {
    char* real = ::realpath(file.c_str(), nullptr);
    char* here = ::getcwd(nullptr, 0);
    bool inside = false;
    if (real && here) {
        const std::string folder = std::string(here) == "/" ? "/" : std::string(here) + "/";
        inside = std::string(real).compare(0, folder.size(), folder) == 0;
    }
    std::free(real);
    std::free(here);
    return inside;
}

}  // namespace

void KeepStartEnvironment() {
    auto* kept = new std::vector<std::string>;
    for (char** entry = environ; entry && *entry; ++entry)
        kept->emplace_back(*entry);
    delete g_startEnvironment;
    g_startEnvironment = kept;
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
    // A download arrives without its execute bit; only the game folder's own
    // files are ever given one.
    if ((st.st_mode & S_IXUSR) == 0 && InsideCurrentFolder(file))
        ::chmod(file.c_str(), st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH);

    std::vector<char> arg0(file.begin(), file.end());
    arg0.push_back('\0');
    char* argv[] = {arg0.data(), nullptr};

    std::vector<char*> envp;
    if (g_startEnvironment) {
        for (std::string& entry : *g_startEnvironment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
    }

    // The launcher's descriptors (sockets, pipes, the web view's shared
    // memory) are opened all over its libraries, not all with close-on-exec:
    // everything above standard error is closed in the child. Its ignored
    // signals and its mask are put back to what a fresh program expects.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (::posix_spawn_file_actions_init(&actions) != 0)
        return std::nullopt;
    if (::posix_spawnattr_init(&attributes) != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        return std::nullopt;
    }
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    bool ready = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
                 ::posix_spawnattr_setsigdefault(&attributes, &all) == 0 &&
                 ::posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
                 ::posix_spawnattr_setflags(&attributes,
                                            POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
    pid_t pid = 0;
    const bool started = ready && ::posix_spawn(&pid, file.c_str(), &actions, &attributes, argv,
                                                g_startEnvironment ? envp.data() : environ) == 0;
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (!started)
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

bool ProcessRunning(int pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH);
}

int OwnProcessId() {
    return static_cast<int>(::getpid());
}

bool SeekTo(FILE* file, int64_t offset) {
    return offset >= 0 && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

int64_t OpenFileSize(FILE* file) {
    struct stat st {};
    if (fileno(file) >= 0)
        return ::fstat(fileno(file), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    // A stream in memory.
    return fseeko(file, 0, SEEK_END) == 0 ? static_cast<int64_t>(ftello(file)) : -1;
}

}  // namespace platform
