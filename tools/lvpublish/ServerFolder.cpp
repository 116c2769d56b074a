#include "ServerFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "NameRules.h"
#include "fileset/FilesToPatch.h"
#include "patch/PatchServer.h"
#include "platform/DurableFile.h"
#include "state/TextFile.h"

namespace fs = std::filesystem;

namespace lvpublish {

namespace {

constexpr mode_t kFileMode = 0644;

bool IsTemporarySuffix(const std::string& name, const std::string& prefix) {
    // mkstemp and mkdtemp add six characters.
    return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0;
}

int64_t BuildOrder(const std::string& folder) {
    if (folder.rfind("build_", 0) != 0 || folder.size() > 6 + 9 + 1)
        return -1;
    std::string digits = folder.substr(6, folder.size() - 7);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), ::isdigit))
        return -1;
    return std::stoll(digits);
}

}  // namespace

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

ServerLock::~ServerLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool ServerLock::Acquire(const std::string& base, std::string* error) {
    fd_ = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0) {
        *error = "cannot lock " + base + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool SyncPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool ReplaceFileDurably(const std::string& path, const std::string& text, std::string* error) {
    if (!platform::ReplaceWithText(path, path + ".XXXXXX", text, kFileMode)) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ReadCurrentFolder(const std::string& base, std::string* folder) {
    bool haveLine = false;
    folder->clear();
    return ForEachLine(base + kBuildFolderFileName, [&](const std::string& line) {
        if (!haveLine)
            *folder = line;
        haveLine = true;
    });
}

bool SwitchCurrentBuild(const std::string& base, const std::string& folder,
                        const std::string& current, std::string* error, std::string* note) {
    if (!ReplaceFileDurably(base + kBuildFolderFileName, folder + "\n", error))
        return false;
    std::string recordError;
    if (!current.empty() &&
        !ReplaceFileDurably(base + kPreviousRecordName, current + "\n", &recordError))
        *note = "cannot record " + current + " as the previous build: " + recordError +
                "; prune may then take it";
    return true;
}

std::vector<std::string> LeftoversOfInterruptedRuns(const std::string& base) {
    std::vector<std::string> found;
    std::error_code ec;
    // ReplaceFileDurably's temporary files beside each file it replaces.
    const char* const replaced[] = {kBuildFolderFileName, kPreviousRecordName, kRetiredVersionsName,
                                    kServedSerialRecordName, kCopyRecordName};
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        bool folder = it->is_directory(ec) && !it->is_symlink(ec);
        bool temporary = false;
        for (const char* record : replaced)
            temporary = temporary || IsTemporarySuffix(name, std::string(record) + ".");
        if (folder ? IsTemporarySuffix(name, kStagingPrefix) : temporary)
            found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> RemoveLeftoversOfInterruptedRuns(const std::string& base, bool dryRun,
                                                          std::vector<std::string>* failures) {
    std::vector<std::string> removed;
    for (const std::string& path : LeftoversOfInterruptedRuns(base)) {
        const std::string name = fs::path(path).filename().string();
        std::error_code ec;
        if (!dryRun)
            fs::remove_all(path, ec);
        if (ec)
            failures->push_back("cannot remove the leftover " + name +
                                " of an interrupted publish: " + ec.message());
        else
            removed.push_back(name);
    }
    return removed;
}

std::vector<BuildInfo> ListBuilds(const std::string& base) {
    std::vector<BuildInfo> builds;
    std::error_code ec;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.' || name == "objects" || it->is_symlink(ec) ||
            !it->is_directory(ec))
            continue;
        BuildInfo info;
        info.folder = name + "/";
        const std::string folder = it->path().string() + "/";
        FilesToPatch manifest;
        info.hasManifest = ForEachLine(folder + kManifestFileName,
                                       [&](const std::string& line) { manifest.ParseLine(line); });
        struct stat manifestInfo {};
        if (info.hasManifest && ::stat((folder + kManifestFileName).c_str(), &manifestInfo) == 0)
            info.publishedAt = static_cast<int64_t>(manifestInfo.st_mtim.tv_sec) * 1000000000 +
                               manifestInfo.st_mtim.tv_nsec;
        for (const FilesToPatch::File& entry : manifest.files) {
            ++info.files;
            struct stat fileInfo {};
            if (::stat((folder + entry.name).c_str(), &fileInfo) == 0)
                info.bytes += fileInfo.st_size;
        }
        builds.push_back(std::move(info));
    }
    std::sort(builds.begin(), builds.end(), [](const BuildInfo& a, const BuildInfo& b) {
        if (a.publishedAt != b.publishedAt)
            return a.publishedAt < b.publishedAt;
        int64_t na = BuildOrder(a.folder), nb = BuildOrder(b.folder);
        if (na != nb)
            return na < nb;
        return a.folder < b.folder;
    });
    return builds;
}

std::map<std::string, int32_t> ReadRetiredVersions(const std::string& base) {
    std::map<std::string, int32_t> versions;
    FilesToPatch record;
    ForEachLine(base + kRetiredVersionsName,
                [&](const std::string& line) { record.ParseLine(line); });
    for (const FilesToPatch::File& entry : record.files) {
        auto [slot, inserted] = versions.emplace(entry.name, entry.version);
        if (!inserted)
            slot->second = std::max(slot->second, entry.version);
    }
    return versions;
}

bool ReadSerialRecord(const std::string& path, uint64_t* serial, bool* present,
                      std::string* error) {
    *serial = 0;
    *present = true;
    std::string line;
    if (!ReadFirstLine(path, 32, &line)) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
            *present = false;
            return true;
        }
    } else if (!line.empty() && line.size() <= 18 && line[0] != '0' &&
               std::all_of(line.begin(), line.end(), ::isdigit)) {
        *serial = std::stoull(line);
        return true;
    }
    *error = path + " does not hold the highest serial signed, as 1 to 18 digits; restore it " +
             "from a backup (a serial below one that players took makes their launchers " +
             "refuse every later build)";
    return false;
}

bool RaiseSerialRecord(const std::string& path, uint64_t serial, std::string* error) {
    uint64_t recorded = 0;
    bool present = false;
    if (!ReadSerialRecord(path, &recorded, &present, error))
        return false;
    return serial <= recorded || ReplaceFileDurably(path, std::to_string(serial) + "\n", error);
}

}  // namespace lvpublish
