#include "ui/WindowSurface.h"

#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <limits>
#include <utility>

#include "ui/COroPatch2007Dlg.h"
#include "ui/MessageBoxes.h"

WindowSurface::WindowSurface(COroPatch2007Dlg* window)
    : window_(window), windowThread_(window->thread()) {}

bool WindowSurface::OnWindowThread() const {
    return QThread::currentThread() == windowThread_;
}

void WindowSurface::Publish(const std::function<void(Latest&)>& write) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!window_)
            return;
        write(latest_);
        if (!OnWindowThread()) {
            WakeLocked();
            return;
        }
    }
    DrainNow();
}

void WindowSurface::SetStageText(const std::string& text) {
    Publish([&](Latest& latest) { latest.stage = text; });
}

void WindowSurface::SetStatusText(const std::string& text) {
    Publish([&](Latest& latest) { latest.status = text; });
}

void WindowSurface::SetProgressRange(int64_t low, int64_t high) {
    Publish([&](Latest& latest) { latest.range = std::make_pair(low, high); });
}

void WindowSurface::SetProgressPos(int64_t pos) {
    Publish([&](Latest& latest) { latest.pos = pos; });
}

void WindowSurface::ShowMessageBox(const std::string& caption, const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!window_)
        return;
    const uint64_t serial = ++posted_;
    events_.push_back({Event::Kind::kBox, caption, text, false, serial});
    if (OnWindowThread()) {
        // Waiting for our own thread would never end.
        lock.unlock();
        DrainNow();
        return;
    }
    // A box is applied at once, not at the next frame.
    wakePending_ = true;
    QMetaObject::invokeMethod(window_, "DrainSurface", Qt::QueuedConnection);
    applied_.wait(lock, [&] { return !window_ || appliedUpTo_ >= serial; });
}

void WindowSurface::RunFinished(bool success) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!window_)
            return;
        events_.push_back({Event::Kind::kFinished, {}, {}, success, ++posted_});
        if (!OnWindowThread()) {
            wakePending_ = true;
            QMetaObject::invokeMethod(window_, "DrainSurface", Qt::QueuedConnection);
            return;
        }
    }
    DrainNow();
}

void WindowSurface::WakeLocked() {
    if (wakePending_)
        return;
    wakePending_ = true;
    // Posted under the lock so the window cannot go between the check and
    // the post; the window's thread takes the lock only outside Qt's queue.
    QMetaObject::invokeMethod(window_, "DrainSurface", Qt::QueuedConnection);
}

void WindowSurface::HandOver(bool launcherUpdatePending, const std::string& gameExe,
                             const std::string& testClient) {
    std::lock_guard<std::mutex> lock(mutex_);
    m_launcherUpdatePending = launcherUpdatePending;
    m_gameExe = gameExe;
    m_testClient = testClient;
}

void WindowSurface::TakeBack(bool* launcherUpdatePending, std::string* gameExe,
                             std::string* testClient) {
    std::lock_guard<std::mutex> lock(mutex_);
    *launcherUpdatePending = m_launcherUpdatePending;
    *gameExe = m_gameExe;
    *testClient = m_testClient;
}

void WindowSurface::Drain() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!window_)
            return;
        const bool valuesPending = latest_.stage || latest_.status || latest_.range || latest_.pos;
        if (events_.empty()) {
            if (!valuesPending) {
                wakePending_ = false;
                return;
            }
            const auto since = std::chrono::steady_clock::now() - lastApply_;
            if (since < kFrame) {
                // Too soon after the last frame: the worker goes on writing
                // into the bridge (its wake-up stays pending) and a timer
                // applies the lot when the frame is due.
                if (!frameTimerArmed_) {
                    frameTimerArmed_ = true;
                    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(kFrame - since);
                    std::weak_ptr<WindowSurface> self = weak_from_this();
                    QTimer::singleShot(wait, Qt::PreciseTimer, window_, [self] {
                        if (auto bridge = self.lock()) {
                            bridge->frameTimerArmed_ = false;
                            bridge->Drain();
                        }
                    });
                }
                return;
            }
        }
    }
    DrainNow();
}

void WindowSurface::DrainNow() {
    // The end of the run may close the window, and with it drop the window's
    // hold on this bridge.
    std::shared_ptr<WindowSurface> keep = shared_from_this();
    Latest latest;
    std::deque<Event> events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!window_)
            return;
        wakePending_ = false;
        latest = std::exchange(latest_, Latest{});
        events.swap(events_);
    }
    lastApply_ = std::chrono::steady_clock::now();
    ApplyLatest(latest);
    // Everything written before an event is in `latest`: the worker writes
    // values and queues events under the same lock, in its own order.
    for (const Event& event : events) {
        if (!window_)
            return;
        ApplyEvent(event);
    }
}

void WindowSurface::MarkApplied(uint64_t serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    appliedUpTo_ = std::max(appliedUpTo_, serial);
    applied_.notify_all();
}

void WindowSurface::Detach() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        window_ = nullptr;
        latest_ = Latest{};
        events_.clear();
        applied_.notify_all();
    }
    delete box_.data();
}

void WindowSurface::ApplyLatest(const Latest& latest) {
    COroPatch2007Dlg& window = *window_;
    if (latest.stage)
        window.m_stageText->setText(QString::fromStdString(*latest.stage));
    if (latest.status)
        window.m_statusText->setText(QString::fromStdString(*latest.status));
    if (latest.range) {
        low_ = latest.range->first;
        high_ = latest.range->second;
        scale_ = ScaledProgress::ForRange(low_, high_);
    }
    if (latest.pos)
        pos_ = *latest.pos;
    if (latest.range || latest.pos)
        ApplyProgress();
}

void WindowSurface::ApplyEvent(const Event& event) {
    COroPatch2007Dlg& window = *window_;
    switch (event.kind) {
        case Event::Kind::kBox: {
            std::weak_ptr<WindowSurface> self = weak_from_this();
            const uint64_t serial = event.serial;
            box_ = window.Boxes().ShowOwnerless(QString::fromStdString(event.caption),
                                                QString::fromStdString(event.text), [self, serial] {
                                                    if (auto bridge = self.lock())
                                                        bridge->MarkApplied(serial);
                                                });
            break;
        }
        case Event::Kind::kFinished:
            MarkApplied(event.serial);
            window.TakeRunResult(event.success);
            break;
    }
}

void WindowSurface::ApplyProgress() {
    QProgressBar& bar = *window_->m_progress;
    int32_t low = scale_.Scale(low_);
    int32_t high = scale_.Scale(high_);
    // An empty range shows an empty bar, as the native bar does; Qt would
    // show its busy animation instead.
    if (high <= low) {
        if (low == std::numeric_limits<int32_t>::max())
            --low;
        high = low + 1;
    }
    if (bar.minimum() != low || bar.maximum() != high)
        bar.setRange(low, high);
    // QProgressBar ignores a value outside its range; the native bar clamps.
    const int32_t value = std::clamp(scale_.Scale(pos_), low, high);
    if (bar.value() != value)
        bar.setValue(value);
}
