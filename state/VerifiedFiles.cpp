#include "state/VerifiedFiles.h"

#include <charconv>
#include <string_view>

#include "state/LocalFiles.h"
#include "state/TextFile.h"

namespace {

// "SIZE MODIFIED CHANGED ID SHA256 NAME", one file a line; names carry no
// white space (the name check refuses it).
bool ParseEntry(std::string_view line, std::string* name, platform::FileStamp* stamp,
                std::string* sha256) {
    auto number = [&line](auto* value) {
        const auto result = std::from_chars(line.data(), line.data() + line.size(), *value);
        if (result.ec != std::errc() || result.ptr == line.data() + line.size() ||
            *result.ptr != ' ')
            return false;
        line.remove_prefix(static_cast<size_t>(result.ptr - line.data()) + 1);
        return true;
    };
    if (!number(&stamp->size) || !number(&stamp->modified) || !number(&stamp->changed) ||
        !number(&stamp->id) || line.size() < 66 || line[64] != ' ')
        return false;
    *sha256 = std::string(line.substr(0, 64));
    for (char c : *sha256)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    line.remove_prefix(65);
    if (line.empty() || line.find_first_of(" \t\r\n") != std::string_view::npos)
        return false;
    *name = std::string(line);
    return true;
}

}  // namespace

VerifiedFiles::VerifiedFiles() {
    ForEachLine(
        kFileName,
        [this](const std::string& line) {
            std::string name;
            Entry entry;
            // A damaged line only means that file is hashed again.
            if (ParseEntry(line, &name, &entry.stamp, &entry.sha256))
                entries_[name] = std::move(entry);
        },
        kMaxBytes);
}

VerifiedFiles::~VerifiedFiles() {
    if (!changed_)
        return;
    std::string text;
    for (const auto& [name, entry] : entries_) {
        text += std::to_string(entry.stamp.size) + ' ' + std::to_string(entry.stamp.modified) +
                ' ' + std::to_string(entry.stamp.changed) + ' ' + std::to_string(entry.stamp.id) +
                ' ' + entry.sha256 + ' ' + name + '\n';
    }
    // A record that cannot be saved costs the next run some hashing, no more.
    ReplaceFileContents(kFileName, text);
}

bool VerifiedFiles::Holds(const std::string& name, const platform::FileStamp& stamp,
                          const std::string& sha256) const {
    auto it = entries_.find(name);
    return it != entries_.end() && it->second.stamp == stamp && it->second.sha256 == sha256;
}

void VerifiedFiles::Record(const std::string& name, const platform::FileStamp& stamp,
                           const std::string& sha256) {
    if (name.find_first_of(" \t\r\n") != std::string::npos || name.empty())
        return;
    Entry& entry = entries_[name];
    if (entry.stamp == stamp && entry.sha256 == sha256)
        return;
    entry = {stamp, sha256};
    changed_ = true;
}

void VerifiedFiles::Forget(const std::string& name) {
    changed_ = entries_.erase(name) > 0 || changed_;
}
