#pragma once
// The question the selection and the verification ask of every local file:
// could it be opened for reading, and how long is it.

#include <cstdint>
#include <optional>
#include <string>

// The length of an existing file that opening for reading would give, or
// nothing where that open would fail (or find a folder). Answers from the
// file's status alone where that settles the question, and opens the file
// only where it does not.
std::optional<int64_t> ReadableFileSize(const std::string& name);
