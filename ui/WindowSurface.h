#pragma once
// The launcher window as a patch run sees it. The run's worker holds this
// bridge, not the window: it outlives the window, and once the window is gone
// every call is dropped and a worker waiting on the window is released, so a
// run may go on (or stay blocked in a transfer) after the window closed
// without touching it.

#include <QPointer>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "patch/RunSurface.h"

class COroPatch2007Dlg;
class QWidget;

class WindowSurface : public RunSurface, public std::enable_shared_from_this<WindowSurface> {
  public:
    explicit WindowSurface(COroPatch2007Dlg* window);

    // Worker side: each returns once the window's thread has applied the
    // call, or at once when the window is gone. RunFinished is queued.
    void SetStageText(const std::string& text) override;
    void SetStatusText(const std::string& text) override;
    void SetProgressRange(int64_t low, int64_t high) override;
    void SetProgressPos(int64_t pos) override;
    void ShowMessageBox(const std::string& caption, const std::string& text) override;
    void RunFinished(bool success) override;

    // Window side (GUI thread). Applies what the worker asked for.
    void Drain();
    // The window is going: from now on nothing reaches it. Closes a box the
    // run still shows.
    void Detach();

    // The three shared fields, under the bridge's lock: the window hands them
    // over before a run starts and takes them back when it ends.
    void HandOver(bool launcherUpdatePending, const std::string& gameExe,
                  const std::string& testClient);
    void TakeBack(bool* launcherUpdatePending, std::string* gameExe, std::string* testClient);

  private:
    struct Request {
        enum class Kind { kStage, kStatus, kRange, kPos, kBox, kFinished };
        Kind kind;
        std::string first;
        std::string second;
        int64_t low = 0;
        int64_t high = 0;
        uint64_t serial = 0;
    };

    // Queues a request; with `wait`, blocks until it has been applied or the
    // window is gone.
    void Post(Request request, bool wait);
    void Apply(const Request& request);
    void MarkApplied(uint64_t serial);
    void ApplyProgress();

    std::mutex mutex_;
    std::condition_variable applied_;
    COroPatch2007Dlg* window_;  // null once detached
    std::deque<Request> pending_;
    uint64_t posted_ = 0;
    uint64_t appliedUpTo_ = 0;

    // GUI thread only.
    QPointer<QWidget> box_;
    ScaledProgress scale_;
    int64_t low_ = 0;
    int64_t high_ = 100;
    int64_t pos_ = 0;
};
