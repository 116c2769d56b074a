#include "state/FileVersionFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/Scan.h"
#include "state/LocalFiles.h"
#include "state/TextFile.h"

FileVersionFile* g_fileVersionFile = nullptr;

FileVersionFile::FileVersionFile() {
    std::string text;
    if (!ReadWholeFile(kFileName, &text))
        return;
    // One entry a line, as the ledger writes it: the index is built once.
    const auto lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    entries.reserve(lines);
    isFirst.reserve(lines);
    firstIndex.reserve(lines);
    scan::Scanner scanner(text);
    while (!scanner.AtEnd()) {
        Entry entry;
        scan::Scanner::Token token = scanner.ReadToken(kMaxNameLength + 1, &entry.name);
        if (token == scan::Scanner::Token::kEnd)
            break;
        // A failed pair appends nothing; the next read starts at whatever
        // could not be converted.
        if (token != scan::Scanner::Token::kOk || !scanner.ReadInt(&entry.version))
            continue;
        // Names are C strings: a NUL byte ends one, and a name that ends
        // before it begins is no name.
        entry.name.resize(std::strlen(entry.name.c_str()));
        if (entry.name.empty())
            continue;
        isFirst.push_back(firstIndex.emplace(entry.name, entries.size()).second);
        entries.push_back(std::move(entry));
    }
}

FileVersionFile::~FileVersionFile() {
    // Written whole beside the old ledger and renamed over it: a kill or a
    // full disk during the save leaves the old ledger, never a cut one.
    ReplacementFile replacement(kFileName);
    if (!replacement.IsOpen())
        return;
    for (const Entry& entry : entries)
        std::fprintf(replacement.Stream(), "%s %d\n", entry.name.c_str(), entry.version);
    replacement.Commit();
}

const FileVersionFile::Entry* FileVersionFile::Find(const std::string& name) const {
    if (next < entries.size() && isFirst[next] && entries[next].name == name)
        return &entries[next++];
    auto it = firstIndex.find(name);
    if (it == firstIndex.end())
        return nullptr;
    next = it->second + 1;
    return &entries[it->second];
}

bool FileVersionFile::HasVersion(const std::string& name, int32_t version) {
    if (!g_fileVersionFile)
        return false;
    const Entry* entry = g_fileVersionFile->Find(name);
    return entry && entry->version == version;
}

void FileVersionFile::SetVersion(const std::string& name, int32_t version) {
    FileVersionFile* ledger = g_fileVersionFile;
    if (!ledger)
        return;
    if (const Entry* entry = ledger->Find(name)) {
        ledger->entries[static_cast<size_t>(entry - ledger->entries.data())].version = version;
        return;
    }
    ledger->firstIndex.emplace(name, ledger->entries.size());
    ledger->entries.push_back(Entry{name, version});
    ledger->isFirst.push_back(true);
}
