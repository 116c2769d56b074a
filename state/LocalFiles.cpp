#include "state/LocalFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
// Not inherited by programs the launcher starts, as O_CLOEXEC does.
#define O_CLOEXEC O_NOINHERIT
#else
#define O_BINARY 0
#endif

#include "base/NameCase.h"
#include "platform/DurableFile.h"
#include "platform/Platform.h"
#include "state/FileVersionFile.h"
#include "state/LauncherFiles.h"
#include "state/OptionsFile.h"
#include "state/Settings.h"
#include "state/VerifiedFiles.h"

const char* const kLauncherLocalFiles[] = {
    kAddressFileName,       kBuildFolderFileName,
    kManifestFileName,      FileVersionFile::kFileName,
    OptionsFile::kFileName, "windowed_mode.txt",
    kUpdatingMarker,        kRestartedMarker,
    kStatementFileName,     kTrustStateFileName,
    Settings::kFileName,    kLauncherReplacement,
    kKeyListFileName,       VerifiedFiles::kFileName,
};
const size_t kLauncherLocalFileCount = sizeof kLauncherLocalFiles / sizeof kLauncherLocalFiles[0];

namespace {

// A file whose write bits are all cleared is read-only to its owner; the
// launcher honours that even where the process could replace it anyway.
bool MarkedReadOnly(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

// True when a level of `name` ends in the staging suffix.
bool HasStagingLevel(const std::string& name) {
    const size_t length = std::char_traits<char>::length(kStagingSuffix);
    for (size_t end = 0; end <= name.size(); ++end) {
        if (end != name.size() && name[end] != '/' && name[end] != '\\')
            continue;
        if (end >= length &&
            StartsWithIgnoringCase(std::string_view(name).substr(end - length, length),
                                   kStagingSuffix))
            return true;
    }
    return false;
}

// True for "NAME.PID" whose PID is a process other than this one that no
// longer runs.
bool LeftByEndedProcess(const std::string& rest) {
    const size_t dot = rest.find_last_of('.');
    if (dot == std::string::npos || dot + 1 == rest.size() || dot + 10 < rest.size() ||
        rest.find_first_not_of("0123456789", dot + 1) != std::string::npos)
        return false;
    const int pid = std::stoi(rest.substr(dot + 1));
    return pid != platform::OwnProcessId() && !platform::ProcessRunning(pid);
}

}  // namespace

const char* LauncherLocalFileFor(const std::string& name) {
    if (HasStagingLevel(name))
        return "staging files (NAME.lvpart)";
    // The top level alone decides: a folder of that name ("windowed_mode.txt/x")
    // would stand where the launcher looks for its file just as well.
    const std::string top = name.substr(0, name.find_first_of("/\\"));
    for (size_t i = 0; i < kLauncherLocalFileCount; ++i) {
        const char* own = kLauncherLocalFiles[i];
        size_t length = std::char_traits<char>::length(own);
        if (StartsWithIgnoringCase(top, own) && (top.size() == length || top[length] == '.'))
            return own;
    }
    return nullptr;
}

bool IsLauncherLocalFile(const std::string& name) {
    return LauncherLocalFileFor(name) != nullptr;
}

std::string TemporaryNameFor(const std::string& name) {
    return name + "." + std::to_string(::getpid()) + ".tmp";
}

ReplacementFile::ReplacementFile(std::string name)
    : name_(std::move(name)), temporary_(TemporaryNameFor(name_)) {
    // Byte for byte: a Windows descriptor would otherwise turn "\n" into
    // "\r\n" under the binary stream.
    int fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_BINARY, 0644);
    if (fd < 0)
        return;
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        ::close(fd);
        ::unlink(temporary_.c_str());
    }
}

ReplacementFile::~ReplacementFile() {
    Discard();
}

bool ReplacementFile::Write(const std::string& text) {
    if (!file_ || failed_)
        return false;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
        failed_ = true;
    return !failed_;
}

bool ReplacementFile::Commit() {
    if (!file_)
        return false;
    bool ok = !failed_ && !std::ferror(file_) && std::fflush(file_) == 0 &&
              platform::SyncFile(::fileno(file_));
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (ok && RenameOverLocalFile(temporary_, name_))
        return true;
    ::unlink(temporary_.c_str());
    return false;
}

void ReplacementFile::Discard() {
    if (!file_)
        return;
    std::fclose(file_);
    file_ = nullptr;
    ::unlink(temporary_.c_str());
}

bool ReplaceFileContents(const std::string& name, const std::string& text) {
    ReplacementFile replacement(name);
    return replacement.Write(text) && replacement.Commit();
}

bool RenameOverLocalFile(const std::string& from, const std::string& to) {
    if (MarkedReadOnly(to) || !platform::RenameOver(from, to))
        return false;
    // The rename itself survives a power cut (the names are all relative to
    // the game folder).
    platform::SyncFolder(".");
    return true;
}

std::string StagingNameFor(const std::string& name) {
    // Appended piece by piece: GCC 12 at -O3 misreads a literal before a
    // temporary string as an overlapping copy.
    std::string tail = ".";
    tail += std::to_string(platform::OwnProcessId());
    tail += kStagingSuffix;
    const size_t slash = name.find_last_of("/\\");
    const size_t level = slash == std::string::npos ? 0 : slash + 1;
    // File systems hold 255 bytes a level. A name that leaves no room for the
    // tail keeps its start, told apart from other long names by a hash.
    constexpr size_t kLongestLevel = 255;
    if (name.size() - level + tail.size() <= kLongestLevel)
        return name + tail;
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(std::hash<std::string>{}(name)));
    return name.substr(0, level + 160) + "." + hash + tail;
}

StagingFile::StagingFile(std::string target)
    : target_(std::move(target)), staging_(StagingNameFor(target_)) {
    error_ = platform::ReplaceBlocker(target_);
    if (error_ != 0)
        return;
    // A file of this name is a leftover of an earlier process that had this
    // process's id.
    ::unlink(staging_.c_str());
    file_ = platform::CreateStagingFile(staging_, target_);
    made_ = file_ != nullptr;
    if (!file_)
        error_ = errno != 0 ? errno : EIO;
}

StagingFile::~StagingFile() {
    Discard();
}

int StagingFile::Close() {
    if (!file_)
        return error_;
    errno = 0;
    bool ok = !std::ferror(file_) && std::fflush(file_) == 0;
    const int error = errno;
    if (std::fclose(file_) != 0 || !ok)
        error_ = error != 0 ? error : (errno != 0 ? errno : EIO);
    file_ = nullptr;
    return error_;
}

bool StagingFile::Commit() {
    if (Close() != 0 || !made_) {
        Discard();
        return false;
    }
    if (!platform::RenameOver(staging_, target_)) {
        error_ = errno != 0 ? errno : EIO;
        Discard();
        return false;
    }
    made_ = false;
    return true;
}

void StagingFile::Discard() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (made_) {
        platform::DeleteFileByName(staging_);
        made_ = false;
    }
}

void RemoveStaleStagingFiles() {
    const size_t suffix = std::char_traits<char>::length(kStagingSuffix);
    std::error_code error;
    // Folders behind links are not entered: nothing outside the game folder
    // is touched.
    for (std::filesystem::recursive_directory_iterator
             it(".", std::filesystem::directory_options::skip_permission_denied, error),
         end;
         !error && it != end; it.increment(error)) {
        std::error_code typeError;
        // The library follows Windows junctions as folders; the platform
        // tells them apart.
        if (it->is_directory(typeError) && platform::IsLink(it->path().string())) {
            it.disable_recursion_pending();
            continue;
        }
        const std::string name = it->path().filename().string();
        if (name.size() <= suffix ||
            !StartsWithIgnoringCase(std::string_view(name).substr(name.size() - suffix),
                                    kStagingSuffix))
            continue;
        // NAME.PID.lvpart, spelled as StagingNameFor spells it.
        if (LeftByEndedProcess(name.substr(0, name.size() - suffix)) &&
            it->is_regular_file(typeError) && !platform::IsLink(it->path().string()))
            platform::DeleteFileByName(it->path().string());
    }
}

void RemoveStaleTemporaryFiles() {
    std::error_code error;
    for (std::filesystem::directory_iterator it(".", error), end; !error && it != end;
         it.increment(error)) {
        // OWN.PID.tmp, spelled as TemporaryNameFor spells it.
        const std::string name = it->path().filename().string();
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".tmp") != 0)
            continue;
        const std::string rest = name.substr(0, name.size() - 4);
        if (IsLauncherLocalFile(rest.substr(0, rest.find_last_of('.'))) && LeftByEndedProcess(rest))
            platform::DeleteFileByName(name);
    }
}
