#pragma once
// The files the launcher keeps for itself in the game folder, and how it
// replaces them: whole, through a temporary file beside them, so that a kill
// or a full disk never leaves one cut short.

#include <cstdio>
#include <string>

// The launcher's own files at the top of the game folder: its settings, its
// ledger, the local copies of the server's text files and its markers. No
// manifest entry may name one of them; NoxPatch2011_new.exe and
// NoxOptions.exe are game files on purpose (that is how both programs are
// updated), and NoxPatch2011.exe has a rule of its own.
extern const char* const kLauncherLocalFiles[];
extern const size_t kLauncherLocalFileCount;

// True when a game file of this name would land on one of the launcher's own
// files or on a temporary file it makes beside one: a top level that is the
// same name in any letter case, or that name followed by a dot and anything
// (which covers the temporary names and the trailing dots Windows drops),
// whether it is the file itself or a folder above it.
bool IsLauncherLocalFile(const std::string& name);
// The launcher's own name that `name` lands on, as the list spells it, or
// null.
const char* LauncherLocalFileFor(const std::string& name);

// The temporary file a replacement of `name` is written to before it is
// renamed over `name`. Per process, so that two launcher programs saving the
// same file never write into one temporary file.
std::string TemporaryNameFor(const std::string& name);

// A new version of a local file, written to its temporary file and put in
// place by Commit. Until then the old file is untouched; a replacement that
// is not committed removes its temporary file.
class ReplacementFile {
  public:
    explicit ReplacementFile(std::string name);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // False when the temporary file could not be created.
    bool IsOpen() const { return file_ != nullptr; }
    FILE* Stream() const { return file_; }
    bool Write(const std::string& text);

    // Flushes the temporary file to the disk and renames it over the target.
    // False (the old file stays, the temporary file is gone) when anything
    // failed, including an earlier write, or when the target is marked
    // read-only: such a copy is the player's to keep.
    bool Commit();

  private:
    void Discard();

    std::string name_;
    std::string temporary_;
    FILE* file_ = nullptr;
    bool failed_ = false;
};

// Replaces `name` with `text` through a ReplacementFile.
bool ReplaceFileContents(const std::string& name, const std::string& text);

// Renames a finished file over one of the launcher's own files, as Commit
// does: not over a copy marked read-only, and the rename reaches the disk.
bool RenameOverLocalFile(const std::string& from, const std::string& to);

// A game file's new bytes are written beside it into a staging file,
// NAME.PID.lvpart, and renamed over NAME only once the answer is judged good,
// so the installed file is at every moment either as it was or the whole
// published file. Every level that ends in the staging suffix, in any letter
// case, is one of the launcher's own names.
inline constexpr const char* kStagingSuffix = ".lvpart";
std::string StagingNameFor(const std::string& name);

class StagingFile {
  public:
    // Creates the staging file of `target`. It is not open (Error() says
    // why) when `target` cannot be replaced or the file cannot be created.
    explicit StagingFile(std::string target);
    ~StagingFile();  // removes the staging file unless it was committed
    StagingFile(const StagingFile&) = delete;
    StagingFile& operator=(const StagingFile&) = delete;

    bool IsOpen() const { return file_ != nullptr; }
    FILE* Stream() const { return file_; }
    const std::string& Path() const { return staging_; }
    // The system's reason the file could not be made, closed or committed.
    int Error() const { return error_; }
    // Closes the stream: 0 when every byte reached the file, else the reason.
    int Close();
    // Closes and renames the staging file over the target. False (the
    // target untouched, the staging file gone) when that fails.
    bool Commit();
    // Removes the staging file; the target stays as it was.
    void Discard();

  private:
    std::string target_;
    std::string staging_;
    FILE* file_ = nullptr;
    bool made_ = false;
    int error_ = 0;
};

// Removes the staging files, anywhere in the game folder (never through a
// link), that launcher processes which no longer run left behind.
void RemoveStaleStagingFiles();

// Removes the temporary files that launcher processes which no longer run
// left beside the launcher's own files (a kill or a power cut in the middle
// of a save or a fetch); a running launcher's are left alone.
void RemoveStaleTemporaryFiles();
