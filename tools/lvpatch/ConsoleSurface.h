#pragma once
// The patch run seen from a terminal or a script. On a terminal: one live
// line with the stage, a bar, bytes, rate and time left. Otherwise: every new
// stage or status text on a line of its own. Message boxes go to standard
// error and the run goes on at once, since nobody is there to press OK.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "patch/RunSurface.h"

class ConsoleSurface : public RunSurface {
  public:
    ConsoleSurface(FILE* out, FILE* err, bool live);

    void SetStageText(const std::string& text) override;
    void SetStatusText(const std::string& text) override;
    void SetProgressRange(int64_t low, int64_t high) override;
    void SetProgressPos(int64_t pos) override;
    void ShowMessageBox(const std::string& caption, const std::string& text) override;
    void RunFinished(bool success) override;

    // Blocks until the run has called RunFinished; returns its outcome.
    bool WaitForFinish();

  private:
    using Clock = std::chrono::steady_clock;

    void DrawLiveLine(bool force);
    void EndLiveLine();

    FILE* out_;
    FILE* err_;
    bool live_;

    std::string stage_;
    std::string status_;
    std::string lastPrinted_;
    int64_t low_ = 0;
    int64_t high_ = 100;
    int64_t pos_ = 0;
    bool rangeSet_ = false;  // the bar shows only once the run has sized it
    Clock::time_point rangeSetAt_ = Clock::now();
    Clock::time_point lastDraw_{};
    bool lineOpen_ = false;

    std::mutex mutex_;
    std::condition_variable finishedChanged_;
    bool finished_ = false;
    bool success_ = false;
};

// "12.3 MiB"-style figure for a byte count.
std::string FormatBytes(int64_t bytes);
