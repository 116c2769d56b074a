#include "fileset/FilesToPatch.h"

#include <cstring>

#include "base/Scan.h"
#include "base/Sha256.h"
#include "state/VerifiedFiles.h"

namespace {

// The parts of "KEY:a:b:c" after the key; nothing when the key differs.
std::vector<std::string_view> TagFields(std::string_view tag, std::string_view key) {
    std::vector<std::string_view> fields;
    if (tag.size() <= key.size() || tag.substr(0, key.size()) != key)
        return fields;
    tag.remove_prefix(key.size());
    for (size_t colon; (colon = tag.find(':')) != std::string_view::npos;) {
        fields.push_back(tag.substr(0, colon));
        tag.remove_prefix(colon + 1);
    }
    fields.push_back(tag);
    return fields;
}

bool IsLowerHex(std::string_view text, size_t length) {
    return text.size() == length &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

void ParseObjectTag(std::string_view tag, std::vector<FilesToPatch::UpdateObject>* objects) {
    FilesToPatch::UpdateObject object;
    std::vector<std::string_view> fields = TagFields(tag, "ZST:");
    if (fields.empty()) {
        fields = TagFields(tag, "DELTA:");
        if (fields.size() != 3 || !IsLowerHex(fields[0], FilesToPatch::kSourcePrefixLength))
            return;
        object.source = std::string(fields[0]);
        fields.erase(fields.begin());
    }
    if (fields.size() != 2 || fields[0].empty() || fields[0].size() > 15 ||
        fields[0].find_first_not_of("0123456789") != std::string_view::npos ||
        !IsLowerHex(fields[1], 64))
        return;
    object.size = scan::ParseInt64(fields[0]);
    object.sha256 = std::string(fields[1]);
    objects->push_back(std::move(object));
}

}  // namespace

std::string ObjectFileName(const std::string& sha256) {
    return sha256 + ".lvz";
}

std::string ObjectPath(const std::string& sha256) {
    return "objects/" + ObjectFileName(sha256);
}

std::string ObjectTag(const FilesToPatch::UpdateObject& object) {
    std::string tag = object.source.empty() ? "ZST:" : "DELTA:";
    if (!object.source.empty()) {
        tag += object.source;
        tag += ":";
    }
    tag += std::to_string(object.size);
    tag += ":";
    tag += object.sha256;
    return tag;
}

FilesToPatch::FilesToPatch() = default;
FilesToPatch::~FilesToPatch() = default;

void FilesToPatch::ParseLine(const std::string& line) {
    // The line is a C string to the scan: a NUL byte ends it.
    std::string_view text(line.c_str(), std::strlen(line.c_str()));
    scan::Scanner scanner(text);

    File file;
    if (scanner.ReadToken(kMaxNameLength + 1, &file.name) != scan::Scanner::Token::kOk)
        return;
    if (!scanner.ReadInt(&file.version))
        return;
    bool more = true;
    for (std::string& tag : file.tags) {
        if (scanner.ReadToken(kMaxTagLength + 1, &tag) != scan::Scanner::Token::kOk) {
            tag.clear();
            more = false;
            break;
        }
        ParseObjectTag(tag, &file.objects);
    }
    // Tokens past the three tags are the objects' alone: older launchers
    // never read them.
    std::string token;
    for (int i = 0; more && i < kMaxObjectTags &&
                    scanner.ReadToken(kMaxTagLength + 1, &token) == scan::Scanner::Token::kOk;
         ++i)
        ParseObjectTag(token, &file.objects);
    file.ReadSizeTag();
    files.push_back(std::move(file));
}

void FilesToPatch::File::ReadSizeTag() {
    for (const std::string& tag : tags) {
        std::string_view trimmed = scan::Trim(tag);
        std::string key;
        std::string value;
        bool afterColon = false;
        for (char c : trimmed) {
            if (c == ':')
                afterColon = true;
            else if (afterColon)
                value.push_back(c);
            else
                key.push_back(c);
        }
        if (scan::ToUpper(key) == "SIZE" && !value.empty()) {
            sizeKnown = true;
            size = scan::ParseInt64(value);
            return;
        }
    }
}

bool FilesToPatch::File::HasTag(const std::string& word) const {
    for (const std::string& tag : tags)
        if (scan::ToUpper(tag) == word)
            return true;
    return false;
}

std::string FilesToPatch::File::Sha256Tag() const {
    for (const std::string& tag : tags) {
        std::string_view trimmed = scan::Trim(tag);
        size_t colon = trimmed.find(':');
        if (colon == std::string_view::npos ||
            scan::ToUpper(std::string(trimmed.substr(0, colon))) != "SHA256")
            continue;
        std::string_view value = trimmed.substr(colon + 1);
        if (!IsSha256Hex(value))
            continue;
        std::string hex(value);
        for (char& c : hex)
            if (c >= 'A' && c <= 'F')
                c = static_cast<char>(c - 'A' + 'a');
        return hex;
    }
    return "";
}

void FilesToPatch::FindTagged(const char* word, std::string& result) const {
    result.clear();
    for (const File& file : files) {
        if (file.HasTag(word)) {
            result = file.name;
            return;
        }
    }
}

void FilesToPatch::GetGameExe(std::string& result) const {
    FindTagged("GAME_EXE", result);
}

void FilesToPatch::GetTestClient(std::string& result) const {
    FindTagged("TEST_CLIENT", result);
}
