#include "CopyRecord.h"

#include <ctime>
#include <sstream>

#include "ServerFolder.h"
#include "state/TextFile.h"

namespace lvpublish {

namespace {

constexpr const char* kHeader = "lvpublish-copies 1 ";
// Coarser than any file system's timestamps (FAT keeps two seconds).
constexpr int64_t kTimestampGrainNs = 2'000'000'000;

int64_t Ns(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

CopyRecord CopyRecord::Read(const std::string& base, const std::string& folder) {
    CopyRecord record;
    bool first = true;
    bool matches = false;
    ForEachLine(base + kCopyRecordName, [&](const std::string& line) {
        if (first) {
            matches = line == kHeader + folder;
            first = false;
            return;
        }
        if (!matches)
            return;
        std::istringstream in(line);
        Entry entry;
        std::string name;
        if (in >> entry.device >> entry.inode >> entry.size >> entry.modifiedNs >>
            entry.changedNs >> entry.sha256 >> name)
            record.entries_[name] = entry;
    });
    return record;
}

bool CopyRecord::Write(const std::string& base, const std::string& folder,
                       const std::vector<std::pair<std::string, std::string>>& files,
                       std::string* error) {
    // Taken before the files are looked at: a write after the look sets a
    // modification time at or after this.
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::string text = kHeader + folder + "\n";
    for (const auto& [name, sha256] : files) {
        struct stat info {};
        if (::lstat((base + folder + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        // A copy modified this recently could be written again within the
        // same timestamp, unseen; it is read next time instead.
        if (Ns(info.st_mtim) > Ns(now) - kTimestampGrainNs)
            continue;
        text += std::to_string(info.st_dev) + " " + std::to_string(info.st_ino) + " " +
                std::to_string(info.st_size) + " " + std::to_string(Ns(info.st_mtim)) + " " +
                std::to_string(Ns(info.st_ctim)) + " " + sha256 + " " + name + "\n";
    }
    return ReplaceFileDurably(base + kCopyRecordName, text, error);
}

bool CopyRecord::Untouched(const std::string& name, const struct stat& info,
                           const std::string& sha256) const {
    auto found = entries_.find(name);
    if (found == entries_.end())
        return false;
    const Entry& e = found->second;
    return e.device == info.st_dev && e.inode == info.st_ino && e.size == info.st_size &&
           e.modifiedNs == Ns(info.st_mtim) && e.changedNs == Ns(info.st_ctim) &&
           e.sha256 == sha256;
}

}  // namespace lvpublish
