#include "state/TextFile.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace {

// The open file's length in 64 bits: Windows' plain fstat cuts it to 32, so a
// file of some GiB would pass for a small one.
bool OpenFileSize(FILE* file, int64_t* size) {
#ifdef _WIN32
    struct _stat64 st {};
    if (::_fstat64(::_fileno(file), &st) != 0)
        return false;
#else
    struct stat st {};
    if (::fstat(::fileno(file), &st) != 0)
        return false;
#endif
    *size = static_cast<int64_t>(st.st_size);
    return true;
}

}  // namespace

bool ReadWholeFile(const std::string& name, std::string* text) {
    FILE* file = std::fopen(name.c_str(), "rb");
    if (!file)
        return false;
    text->clear();
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text->append(buffer, n);
    std::fclose(file);
    return true;
}

bool ForEachLine(const std::string& name, const std::function<void(const std::string&)>& onLine,
                 int64_t maxBytes) {
    FILE* file = std::fopen(name.c_str(), "rb");
    if (!file)
        return false;
    int64_t size = 0;
    if (maxBytes >= 0 && OpenFileSize(file, &size) && size > maxBytes) {
        std::fclose(file);
        return false;
    }
    std::string line;
    bool pending = false;  // bytes of a line without its line feed yet
    int64_t left = maxBytes;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        if (maxBytes >= 0) {
            if (left <= 0)
                break;
            if (static_cast<int64_t>(n) > left)
                n = static_cast<size_t>(left);
            left -= static_cast<int64_t>(n);
        }
        const char* at = buffer;
        const char* end = buffer + n;
        while (at < end) {
            const char* feed = static_cast<const char*>(std::memchr(at, '\n', end - at));
            if (!feed) {
                line.append(at, end);
                pending = true;
                break;
            }
            line.append(at, feed);
            onLine(line);
            line.clear();
            pending = false;
            at = feed + 1;
        }
    }
    std::fclose(file);
    if (pending)
        onLine(line);
    return true;
}

bool ReadFirstLine(const std::string& name, size_t maxLength, std::string* line) {
    FILE* file = std::fopen(name.c_str(), "rb");
    if (!file)
        return false;
    line->clear();
    bool any = false;
    char buffer[4096];
    for (;;) {
        size_t n = std::fread(buffer, 1, sizeof buffer, file);
        if (n == 0)
            break;
        any = true;
        const char* feed = static_cast<const char*>(std::memchr(buffer, '\n', n));
        size_t take = feed ? static_cast<size_t>(feed - buffer) : n;
        if (line->size() + take > maxLength) {
            std::fclose(file);
            return false;
        }
        line->append(buffer, take);
        if (feed)
            break;
    }
    std::fclose(file);
    return any;
}
