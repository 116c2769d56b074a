#pragma once
// Small helpers for the launcher's plain-text files.

#include <cstdint>
#include <functional>
#include <string>

// Reads the whole file; false when it cannot be opened.
bool ReadWholeFile(const std::string& name, std::string* text);

// Hands each line to `onLine` in file order. Only the line feed is removed:
// a carriage return before it stays part of the line. A last line without a
// line feed counts. Only one line is held at a time. False, before any line,
// when the file cannot be opened or is longer than `maxBytes` (negative: no
// limit); a file that grows past the limit while it is read stops there.
bool ForEachLine(const std::string& name, const std::function<void(const std::string&)>& onLine,
                 int64_t maxBytes = -1);

// The first line of the file, read as ForEachLine reads it, holding no more
// than that line; false when the file cannot be opened, is empty, or its
// first line is longer than `maxLength`.
bool ReadFirstLine(const std::string& name, size_t maxLength, std::string* line);
