#pragma once
// A run surface that records every call, for tests that check what a run
// showed and in which order.

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "patch/RunSurface.h"

struct RunContext;

class RecordingSurface : public RunSurface {
  public:
    struct Box {
        std::string caption;
        std::string text;
    };

    void SetStageText(const std::string& text) override;
    void SetStatusText(const std::string& text) override;
    void SetProgressRange(int64_t low, int64_t high) override;
    void SetProgressPos(int64_t pos) override;
    void ShowMessageBox(const std::string& caption, const std::string& text) override;
    void RunFinished(bool success) override;

    // Runs one patch run on a worker thread, as the window does, and waits
    // (RecordingSurfaceRun.cpp: only where the libcurl core is linked), with
    // TestRun()'s settings or with `run`.
    bool RunPatch();
    bool RunPatch(RunContext& run);

    std::vector<std::string> stages;
    std::vector<std::string> statuses;
    std::vector<Box> boxes;
    std::vector<int64_t> positions;
    int64_t rangeLow = 0;
    int64_t rangeHigh = 100;
    int finishedCount = 0;
    bool lastSuccess = false;

    std::vector<std::string> BoxCaptions() const;

  private:
    std::mutex mutex_;
    std::condition_variable finished_;
};
