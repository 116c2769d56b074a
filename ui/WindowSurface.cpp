#include "ui/WindowSurface.h"

#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QThread>
#include <algorithm>
#include <limits>

#include "ui/COroPatch2007Dlg.h"
#include "ui/MessageBoxes.h"

WindowSurface::WindowSurface(COroPatch2007Dlg* window) : window_(window) {}

void WindowSurface::SetStageText(const std::string& text) {
    Post({Request::Kind::kStage, text, {}}, true);
}

void WindowSurface::SetStatusText(const std::string& text) {
    Post({Request::Kind::kStatus, text, {}}, true);
}

void WindowSurface::SetProgressRange(int64_t low, int64_t high) {
    Post({Request::Kind::kRange, {}, {}, low, high}, true);
}

void WindowSurface::SetProgressPos(int64_t pos) {
    Post({Request::Kind::kPos, {}, {}, pos}, true);
}

void WindowSurface::ShowMessageBox(const std::string& caption, const std::string& text) {
    Post({Request::Kind::kBox, caption, text}, true);
}

void WindowSurface::RunFinished(bool success) {
    Post({Request::Kind::kFinished, {}, {}, success ? 1 : 0}, false);
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

void WindowSurface::Post(Request request, bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!window_)
        return;
    if (QThread::currentThread() == window_->thread()) {
        // Waiting for our own thread would never end.
        lock.unlock();
        Apply(request);
        return;
    }
    const uint64_t serial = request.serial = ++posted_;
    pending_.push_back(std::move(request));
    // Posted under the lock so the window cannot go between the check and
    // the post; the window's thread takes the lock only outside Qt's queue.
    QMetaObject::invokeMethod(window_, "DrainSurface", Qt::QueuedConnection);
    if (wait)
        applied_.wait(lock, [&] { return !window_ || appliedUpTo_ >= serial; });
}

void WindowSurface::Drain() {
    for (;;) {
        Request request;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!window_ || pending_.empty())
                return;
            request = std::move(pending_.front());
            pending_.pop_front();
        }
        Apply(request);
        // A box counts as applied once it has been dismissed.
        if (request.kind != Request::Kind::kBox)
            MarkApplied(request.serial);
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
        pending_.clear();
        applied_.notify_all();
    }
    delete box_.data();
}

void WindowSurface::Apply(const Request& request) {
    COroPatch2007Dlg& window = *window_;
    switch (request.kind) {
        case Request::Kind::kStage:
            window.m_stageText->setText(QString::fromStdString(request.first));
            break;
        case Request::Kind::kStatus:
            window.m_statusText->setText(QString::fromStdString(request.first));
            break;
        case Request::Kind::kRange:
            low_ = request.low;
            high_ = request.high;
            scale_ = ScaledProgress::ForRange(low_, high_);
            ApplyProgress();
            break;
        case Request::Kind::kPos:
            pos_ = request.low;
            ApplyProgress();
            break;
        case Request::Kind::kBox: {
            std::weak_ptr<WindowSurface> self = weak_from_this();
            const uint64_t serial = request.serial;
            box_ = window.Boxes().ShowOwnerless(QString::fromStdString(request.first),
                                                QString::fromStdString(request.second),
                                                [self, serial] {
                                                    if (auto bridge = self.lock())
                                                        bridge->MarkApplied(serial);
                                                });
            break;
        }
        case Request::Kind::kFinished:
            window.TakeRunResult(request.low != 0);
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
