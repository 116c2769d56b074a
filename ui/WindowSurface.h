#pragma once
// The launcher window as a patch run sees it. The run's worker holds this
// bridge, not the window: it outlives the window, and once the window is gone
// every call is dropped and a worker waiting on the window is released, so a
// run may go on (or stay blocked in a transfer) after the window closed
// without touching it.
//
// A download moves the bar tens of thousands of times per file, so the texts
// and the bar are not handed over call by call: the worker leaves the latest
// value of each in the bridge and goes on, and the window's thread applies
// whatever is there at most once a frame. Boxes and the end of the run are
// queued in order and applied after every value written before them.

#include <QPointer>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "patch/RunSurface.h"

class COroPatch2007Dlg;
class QThread;
class QWidget;

class WindowSurface : public RunSurface, public std::enable_shared_from_this<WindowSurface> {
  public:
    explicit WindowSurface(COroPatch2007Dlg* window);

    // Worker side. The texts, range and position return once the value is in
    // the bridge, where the window takes it from; a box returns once it has
    // been dismissed; RunFinished is queued. All return at once when the
    // window is gone.
    void SetStageText(const std::string& text) override;
    void SetStatusText(const std::string& text) override;
    void SetProgressRange(int64_t low, int64_t high) override;
    void SetProgressPos(int64_t pos) override;
    void ShowMessageBox(const std::string& caption, const std::string& text) override;
    void RunFinished(bool success) override;

    // Window side (GUI thread). Applies the latest values and the queued
    // boxes and end of run, unless values alone arrive within a frame of the
    // last apply; then a timer applies them when the frame is due.
    void Drain();
    // The window is going: from now on nothing reaches it. Closes a box the
    // run still shows.
    void Detach();

    // The three shared fields, under the bridge's lock: the window hands them
    // over before a run starts and takes them back when it ends.
    void HandOver(bool launcherUpdatePending, const std::string& gameExe,
                  const std::string& testClient);
    void TakeBack(bool* launcherUpdatePending, std::string* gameExe, std::string* testClient);

    static constexpr std::chrono::milliseconds kFrame{16};

  private:
    // What the worker wrote since the window last applied; only the latest
    // value of each counts.
    struct Latest {
        std::optional<std::string> stage;
        std::optional<std::string> status;
        std::optional<std::pair<int64_t, int64_t>> range;
        std::optional<int64_t> pos;
    };
    struct Event {
        enum class Kind { kBox, kFinished };
        Kind kind;
        std::string caption;
        std::string text;
        bool success = false;
        uint64_t serial = 0;
    };

    // Stores a value for the window to take; on the window's own thread it
    // is applied at once.
    void Publish(const std::function<void(Latest&)>& write);
    // Under the lock: asks the window's thread to drain unless it already
    // has been asked.
    void WakeLocked();
    // Applies everything pending now, ignoring the frame.
    void DrainNow();
    void ApplyLatest(const Latest& latest);
    void ApplyEvent(const Event& event);
    void MarkApplied(uint64_t serial);
    void ApplyProgress();
    bool OnWindowThread() const;

    std::mutex mutex_;
    std::condition_variable applied_;
    COroPatch2007Dlg* window_;  // null once detached; written by the GUI thread only
    QThread* const windowThread_;
    Latest latest_;
    std::deque<Event> events_;
    bool wakePending_ = false;
    uint64_t posted_ = 0;
    uint64_t appliedUpTo_ = 0;

    // GUI thread only.
    QPointer<QWidget> box_;
    ScaledProgress scale_;
    int64_t low_ = 0;
    int64_t high_ = 100;
    int64_t pos_ = 0;
    std::chrono::steady_clock::time_point lastApply_{};
    bool frameTimerArmed_ = false;
};
