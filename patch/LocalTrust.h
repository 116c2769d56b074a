#pragma once
// What a launcher built with a key may start: only programs that the local
// current2.txt names, when that copy is byte for byte the manifest that the
// local, verified build statement signed, and only while the program file
// still holds the bytes that its entry's SHA256 tag names. Without a key
// every check here passes, and the local manifest is read as always.

#include <string>

class FilesToPatch;

// Reads the local current2.txt into `manifest`. With a key, only when its
// SHA-256 is the one the local statement signed (checked before any line is
// read); false, with `manifest` left empty, otherwise.
bool LoadVerifiedLocalManifest(FilesToPatch& manifest);

// With a key: whether `program` (a name as the manifest gives it) may be
// started: the verified local manifest names it, and its bytes, hashed now,
// are the published ones. True without a key.
bool MayStartProgram(const std::string& program);
