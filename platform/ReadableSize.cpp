#include "platform/ReadableSize.h"

#include "platform/Platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

std::optional<int64_t> ReadableFileSize(const std::string& name) {
#ifdef _WIN32
    // Opening is what tells whether another program holds the file locked.
    return platform::OpenExistingForReadSize(name);
#else
    struct stat st {};
    int result;
    do {
        result = ::stat(name.c_str(), &st);
    } while (result != 0 && errno == EINTR);
    // Whatever makes the status unavailable (missing, a path through a file,
    // a loop of links, no search permission) fails the open the same way.
    if (result != 0 || S_ISDIR(st.st_mode))
        return std::nullopt;
    // Our own regular file with the owner's read bit: the kernel grants the
    // open from the owner's bits alone, so the answer is certain. Anything
    // else (another owner, access lists, devices) is settled by opening.
    if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & S_IRUSR))
        return static_cast<int64_t>(st.st_size);
    return platform::OpenExistingForReadSize(name);
#endif
}
