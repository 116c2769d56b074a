#pragma once
// The fetch of the small text files from the patch server (build_folder.txt,
// current2.txt, the statement, the lists) into their local copies, through the transfer engine.

#include <cstdint>
#include <string>

#include "patch/Transfer.h"

// Fetches a server path with a fresh handle of the run and replaces the local file with
// the body only when the answer is good: status 200, the body complete and
// no longer than `maxBytes`. Any other outcome leaves the local file exactly
// as it was. Stores the HTTP status (0 without an answer, and 0 when the
// temporary file for the body cannot be created, in which case nothing is
// requested). Returns whether the local file now holds the answer.
bool FetchToFile(RunContext& run, const std::string& localName, const std::string& serverPath,
                 int64_t maxBytes, long* status);
// The same into `text`, for a file the run keeps no copy of.
bool FetchToString(RunContext& run, const std::string& serverPath, int64_t maxBytes,
                   std::string* text, long* status);
// A text file's URL: on the patch server, or on the fallback that serves the
// text files in its place (patch/Mirrors.h).
std::string TextFileUrl(const RunContext& run, const std::string& serverPath);
