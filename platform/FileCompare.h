#pragma once
// The byte comparison of two files, for the launcher's check of a fetched or
// copied launcher program and for lvpublish's check of an unchanged file.

#include <cstdio>

namespace platform {

// True when both streams, from where they stand to their ends, hold the same
// bytes; false at the first difference and when either cannot be read.
bool SameBytes(FILE* a, FILE* b);

}  // namespace platform
