#include "fileset/FilesToPatch.h"

#include <cstring>

#include "base/Scan.h"
#include "base/Sha256.h"
#include "state/VerifiedFiles.h"

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
    for (std::string& tag : file.tags) {
        if (scanner.ReadToken(kMaxTagLength + 1, &tag) != scan::Scanner::Token::kOk) {
            tag.clear();
            break;
        }
    }
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
