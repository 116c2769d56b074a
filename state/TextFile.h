#pragma once
// Small helpers for the launcher's plain-text files.

#include <functional>
#include <string>

// Reads the whole file; false when it cannot be opened.
bool ReadWholeFile(const std::string& name, std::string* text);

// Hands each line to `onLine` in file order. Only the line feed is removed:
// a carriage return before it stays part of the line. A last line without a
// line feed counts. False when the file cannot be opened.
bool ForEachLine(const std::string& name, const std::function<void(const std::string&)>& onLine);
