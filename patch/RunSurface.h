#pragma once
// What a patch run may touch of whatever front end drives it: the stage line,
// the status line, the progress bar, ownerless message boxes, the three shared
// fields and the final "run finished". The window, the console front end and
// the tests each implement it.

#include <cstdint>
#include <string>

class RunSurface {
  public:
    virtual ~RunSurface() = default;

    // Every call below returns only after the front end has applied it.
    virtual void SetStageText(const std::string& text) = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    // Byte counts are 64-bit; a front end whose bar holds 32 bits scales them
    // with ScaleProgress().
    virtual void SetProgressRange(int64_t low, int64_t high) = 0;
    virtual void SetProgressPos(int64_t pos) = 0;
    // Blocks until the user has dismissed the box (or, with nobody to press
    // OK, until it has been reported).
    virtual void ShowMessageBox(const std::string& caption, const std::string& text) = 0;
    // The run's last act on the surface; queued, never waited for.
    virtual void RunFinished(bool success) = 0;

    // Written by the front end before a run starts, by the run before
    // RunFinished, read by the front end after it.
    bool m_launcherUpdatePending = false;
    std::string m_gameExe;
    std::string m_testClient;
    // The successor program as the download stage found it on the disk (the
    // manifest may spell NoxPatch2011_new.exe in any letter case); the file
    // the hand-off starts. Written with m_launcherUpdatePending.
    std::string m_newLauncherExe;
};

// The surface of the run in progress: set by the run as its first act and
// never cleared.
extern RunSurface* g_patchDialog;

// Maps a 64-bit progress value onto a bar whose range ends at `high`, keeping
// both within 32 bits. Range and position shifted by the same amount keep
// their ratio; the position moves whenever enough bytes arrive to change it.
struct ScaledProgress {
    int shift = 0;
    int32_t Scale(int64_t value) const;
    static ScaledProgress ForRange(int64_t low, int64_t high);
};
