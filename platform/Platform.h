#pragma once
// The small operating-system layer of the launcher. Every call takes names
// relative to the current folder (the game folder) unless a caller passes an
// absolute path on purpose (tests, the program's own path).

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace platform {

// Opens an existing file for reading (never creates one) and returns its full
// length, or nothing when it cannot be opened.
std::optional<int64_t> OpenExistingForReadSize(const std::string& name);

// Moves an open stream to byte `offset` (64-bit on every system); false
// when it cannot. The length of the file behind an open stream, -1 when it
// cannot be known.
bool SeekTo(FILE* file, int64_t offset);
int64_t OpenFileSize(FILE* file);

// True when the file exists and can be opened for reading.
bool CanOpenForRead(const std::string& name);

bool DeleteFileByName(const std::string& name);

// Creates an empty file, truncating an existing one.
bool CreateEmptyFile(const std::string& name);

// Creates one folder; an existing folder counts as success.
bool CreateFolder(const std::string& name);

// Copies source over target in place: the target is opened for writing
// without being unlinked first, so the copy fails while another process still
// holds the target as its running program. The target gets the source's
// permission bits.
bool CopyFileOver(const std::string& source, const std::string& target);

// Replaces target with a copy of source so that target is, at every moment,
// either exactly as before or the complete copy: source is copied into a
// temporary file beside target, flushed to the disk, compared with source,
// and then renamed over target. On any failure target is untouched and the
// temporary file is gone. The copy gets the source's permission bits.
// Where the system refuses to replace a running program (Windows), the
// replace fails while target still runs; a POSIX rename succeeds then.
bool ReplaceFileAtomically(const std::string& source, const std::string& target);

// Whether ReplaceFileAtomically fails while target runs as a program, so that
// a caller replacing a program that is still ending has to try again.
#ifdef _WIN32
inline constexpr bool kReplaceFailsWhileTargetRuns = true;
#else
inline constexpr bool kReplaceFailsWhileTargetRuns = false;
#endif

// What stands in the way of replacing `name` with a new file: 0 when
// nothing does (there is no such file, or one this process may open for
// writing, or a link, which a rename replaces), else the system's reason (a
// folder in its place, a file it may not write).
int ReplaceBlocker(const std::string& name);

// Creates `staging`, which must not exist yet, for writing byte for byte,
// with the permission bits of `target` when that is a file (a program stays
// one). Null, with errno set, when it cannot be created.
FILE* CreateStagingFile(const std::string& staging, const std::string& target);

// True when `name` itself is a link (a symbolic link, or on Windows any
// reparse point: a junction too), whatever it points to.
bool IsLink(const std::string& name);

// What tells whether a file changed since it was last looked at: its length,
// its modification and change times in nanoseconds and its identity on the
// disk. A file rewritten in place, replaced by another one or given an old
// modification time again no longer has the stamp it had.
struct FileStamp {
    int64_t size = 0;
    int64_t modified = 0;
    int64_t changed = 0;
    uint64_t id = 0;
    bool operator==(const FileStamp&) const = default;
};
// The stamp of an existing file (not a folder; a link is followed), or
// nothing.
std::optional<FileStamp> StampOf(const std::string& name);

// Starts a program with no arguments in the current folder. A relative path
// resolves against the current folder, never PATH. The program gets standard
// input, output and error and no other open file, default signal
// dispositions, an empty signal mask, and the environment recorded by
// KeepStartEnvironment (the current one when nothing was recorded). A program
// file inside the current folder that lacks its execute permission (a
// download) gets it first; nothing outside the folder is ever changed.
// Returns the process id, or nothing when the process could not be started.
std::optional<int> StartProgram(const std::string& path);

// Records the process's environment as it is now, for the programs it starts
// later: called at start-up, before any part of the process changes its own
// environment for its own needs.
void KeepStartEnvironment();

// Starts the network layer for the process. POSIX sockets need no start, so
// this cannot fail here; a platform whose sockets must be started does it
// here and reports failure.
bool StartSockets();

// Absolute path of the running program file.
std::string OwnProgramPath();

// Final component of a path.
std::string BaseName(const std::string& path);

}  // namespace platform

namespace platform {

// Bytes an ordinary program may still write to the file system that holds
// `folder`, or nothing when the system cannot tell.
std::optional<int64_t> FreeBytes(const std::string& folder);

// False only when no process of this id exists; a process that cannot be
// looked at counts as running.
bool ProcessRunning(int pid);

// This process's id.
int OwnProcessId();

}  // namespace platform
