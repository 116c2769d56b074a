// The Win32 branch of platform/Platform.h. Names are 8-bit strings in the
// system code page, as the C runtime's fopen takes them, so that a name means
// the same file to this layer and to the state files; the ...A calls convert
// them the same way.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
// winsock2.h before windows.h, which would pull in the old winsock.h.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/DurableFile.h"
#include "platform/Platform.h"

namespace platform {
namespace {

// Closes a kernel handle when it goes out of scope.
class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (valid())
            ::CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    // Closes now and reports whether the close succeeded.
    bool Close() {
        bool ok = !valid() || ::CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
        return ok;
    }

  private:
    HANDLE handle_;
};

// Opens an existing file for reading, letting others read it too. A file
// someone holds open for writing does not open: it is not complete yet.
HANDLE OpenForRead(const std::string& name) {
    return ::CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool IsFolder(const std::string& name) {
    DWORD attributes = ::GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Reads up to `size` bytes; fewer only at the end of the file.
bool ReadFully(HANDLE file, char* data, DWORD size, DWORD* got) {
    *got = 0;
    while (*got < size) {
        DWORD n = 0;
        if (!::ReadFile(file, data + *got, size - *got, &n, nullptr))
            return false;
        if (n == 0)
            break;
        *got += n;
    }
    return true;
}

bool WriteAll(HANDLE file, const char* data, DWORD size) {
    while (size > 0) {
        DWORD n = 0;
        if (!::WriteFile(file, data, size, &n, nullptr) || n == 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool Rewind(HANDLE file) {
    LARGE_INTEGER zero{};
    return ::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) != 0;
}

constexpr DWORD kBlock = 1 << 16;

bool CopyContents(HANDLE in, HANDLE out) {
    std::vector<char> buffer(kBlock);
    for (;;) {
        DWORD n = 0;
        if (!ReadFully(in, buffer.data(), kBlock, &n))
            return false;
        if (n == 0)
            return true;
        if (!WriteAll(out, buffer.data(), n))
            return false;
    }
}

// True when both files, read from their starts, hold the same bytes.
bool SameContents(HANDLE a, HANDLE b) {
    if (!Rewind(a) || !Rewind(b))
        return false;
    std::vector<char> left(kBlock);
    std::vector<char> right(kBlock);
    for (;;) {
        DWORD na = 0;
        DWORD nb = 0;
        if (!ReadFully(a, left.data(), kBlock, &na) || !ReadFully(b, right.data(), kBlock, &nb))
            return false;
        if (na != nb || std::memcmp(left.data(), right.data(), na) != 0)
            return false;
        if (na == 0)
            return true;
    }
}

// The environment block recorded at start-up: NUL-terminated entries and a
// final NUL, as CreateProcessA takes it.
std::vector<char>* g_startEnvironment = nullptr;

}  // namespace

std::optional<int64_t> OpenExistingForReadSize(const std::string& name) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open, so only
    // files have a size.
    Handle file(OpenForRead(name));
    if (!file.valid())
        return std::nullopt;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size))
        return std::nullopt;
    return static_cast<int64_t>(size.QuadPart);
}

bool CanOpenForRead(const std::string& name) {
    return Handle(OpenForRead(name)).valid();
}

int ReplaceBlocker(const std::string& name) {
    const DWORD attributes = ::GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return EISDIR;
    return (attributes & FILE_ATTRIBUTE_READONLY) ? EACCES : 0;
}

FILE* CreateStagingFile(const std::string& staging, const std::string& /*target*/) {
    // Binary and exclusive; not inherited by programs the launcher starts.
    int fd = ::_open(staging.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                     _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    FILE* file = ::_fdopen(fd, "wb");
    if (!file) {
        ::_close(fd);
        ::DeleteFileA(staging.c_str());
        errno = EIO;
    }
    return file;
}

bool IsLink(const std::string& name) {
    const DWORD attributes = ::GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::optional<FileStamp> StampOf(const std::string& name) {
    // From the file itself: its identity on the volume and the change time,
    // which no program can set back as it can the write time.
    Handle file(::CreateFileA(name.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!file.valid() || !::GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic))
        return std::nullopt;
    auto join = [](DWORD high, DWORD low) {
        return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
    };
    FileStamp stamp;
    stamp.size = join(info.nFileSizeHigh, info.nFileSizeLow);
    // 100-nanosecond units.
    stamp.modified = join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    stamp.changed = basic.ChangeTime.QuadPart;
    stamp.id = (static_cast<uint64_t>(info.dwVolumeSerialNumber) << 32) ^
               static_cast<uint64_t>(join(info.nFileIndexHigh, info.nFileIndexLow));
    return stamp;
}

bool DeleteFileByName(const std::string& name) {
    return ::DeleteFileA(name.c_str()) != 0;
}

bool CreateEmptyFile(const std::string& name) {
    Handle file(::CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid() && file.Close();
}

bool CreateFolder(const std::string& name) {
    if (::CreateDirectoryA(name.c_str(), nullptr))
        return true;
    // Folder names ignore case here: "DATA" exists once "Data" does.
    return ::GetLastError() == ERROR_ALREADY_EXISTS && IsFolder(name);
}

bool CopyFileOver(const std::string& source, const std::string& target) {
    // CopyFileA writes into the existing target, which fails with a sharing
    // violation while the target runs as a program.
    return ::CopyFileA(source.c_str(), target.c_str(), FALSE) != 0;
}

bool ReplaceFileAtomically(const std::string& source, const std::string& target) {
    Handle in(::CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.valid())
        return false;
    // One fixed name: a copy cut short by a kill is replaced by the next
    // attempt instead of piling up.
    const std::string temp = target + ".tmp";
    ::DeleteFileA(temp.c_str());
    Handle out(::CreateFileA(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid())
        return false;
    bool ok = CopyContents(in.get(), out.get()) && ::FlushFileBuffers(out.get()) &&
              SameContents(in.get(), out.get());
    ok = out.Close() && ok;
    in.Close();
    // Replacing means deleting the old target, which Windows refuses while
    // it is a running program's image: the update role's retry waits on it.
    if (!ok || !RenameOver(temp, target)) {
        ::DeleteFileA(temp.c_str());
        return false;
    }
    return true;
}

void KeepStartEnvironment() {
    LPCH block = ::GetEnvironmentStringsA();
    if (!block)
        return;
    const char* begin = block;
    const char* end = begin;
    while (*end)
        end += std::strlen(end) + 1;
    auto* kept = new std::vector<char>(begin, end + 1);
    if (kept->size() < 2)
        kept->push_back('\0');  // an empty block still needs its two NULs
    ::FreeEnvironmentStringsA(block);
    delete g_startEnvironment;
    g_startEnvironment = kept;
}

std::optional<int> StartProgram(const std::string& path) {
    if (path.empty())
        return std::nullopt;
    // The application name is taken as written: a relative name resolves
    // against the current folder, no search path is used and no ".exe" is
    // added. No command line, no inherited handles, no creation flags.
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0,
                          g_startEnvironment ? g_startEnvironment->data() : nullptr, nullptr,
                          &startup, &process))
        return std::nullopt;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return static_cast<int>(process.dwProcessId);
}

bool StartSockets() {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

std::string OwnProgramPath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            return std::string(buffer.data(), n);
        // Cut short: the buffer was too small.
        if (buffer.size() >= 32768)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string BaseName(const std::string& path) {
    // Either separator, and the drive of a drive-relative "C:name".
    size_t end = path.find_last_of("/\\:");
    return end == std::string::npos ? path : path.substr(end + 1);
}

}  // namespace platform

namespace platform {

std::optional<int64_t> FreeBytes(const std::string& folder) {
    // What this user may still write, which quotas make less than what the
    // disk has free.
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr))
        return std::nullopt;
    return static_cast<int64_t>(available.QuadPart);
}

bool ProcessRunning(int pid) {
    if (pid <= 0)
        return false;
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return ::GetLastError() != ERROR_INVALID_PARAMETER;
    const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}

int OwnProcessId() {
    return static_cast<int>(::GetCurrentProcessId());
}

bool SeekTo(FILE* file, int64_t offset) {
    return offset >= 0 && ::_fseeki64(file, offset, SEEK_SET) == 0;
}

int64_t OpenFileSize(FILE* file) {
    const __int64 length = ::_filelengthi64(::_fileno(file));
    return length >= 0 ? static_cast<int64_t>(length) : -1;
}

}  // namespace platform
