#include "platform/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

namespace platform {

namespace {

bool WriteWhole(int fd, std::string_view text) {
    while (!text.empty()) {
        const auto n = ::write(fd, text.data(), static_cast<unsigned>(text.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Removes a failed replacement's temporary file, keeping the errno that
// tells why it failed.
void RemoveTemporary(const std::string& temporary) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
}

}  // namespace

bool SyncFile(int fd) {
#ifdef _WIN32
    return ::_commit(fd) == 0;
#else
    return ::fsync(fd) == 0;
#endif
}

bool RenameOver(const std::string& from, const std::string& to) {
#ifdef _WIN32
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD error = ::GetLastError();
    errno = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES : EIO;
    return false;
#else
    return ::rename(from.c_str(), to.c_str()) == 0;
#endif
}

bool SyncFolder(const std::string& folder) {
#ifdef _WIN32
    (void)folder;
    return true;
#else
    int fd;
    do {
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
#endif
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

bool ReplaceWithText(const std::string& target, const std::string& temporaryPattern,
                     std::string_view text, int mode, bool* folderSynced) {
    std::string temporary = temporaryPattern;
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return false;
#ifdef _WIN32
    (void)mode;
    bool written = true;
#else
    bool written = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
#endif
    written = written && WriteWhole(fd, text) && SyncFile(fd);
    written = ::close(fd) == 0 && written;
    if (!written || !RenameOver(temporary, target)) {
        RemoveTemporary(temporary);
        return false;
    }
    const bool synced = SyncFolder(FolderOf(target));
    if (folderSynced)
        *folderSynced = synced;
    return true;
}

}  // namespace platform
