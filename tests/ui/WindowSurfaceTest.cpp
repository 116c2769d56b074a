// The bridge between a patch run's worker and the window: the worker's calls
// do not wait for the window's thread, the window ends with exactly the values
// written last, boxes and the end of the run come after everything written
// before them, and a closed window drops everything and releases the worker.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <chrono>
#include <future>
#include <thread>

#include "TestFolder.h"
#include "UiSupport.h"
#include "res/LauncherLayout.h"
#include "ui/WindowSurface.h"

namespace {

using namespace std::chrono_literals;

const char kFailedStatus[] = "Patch not successful.  Click Download Patch to try again.";

// Records what the window showed at the moment each run box went up, and
// keeps the box up until told otherwise.
class SnapshotBoxes : public MessageBoxes {
  public:
    struct Seen {
        std::string caption;
        std::string stage;
        std::string status;
        int barValue;
        int barMaximum;
    };

    explicit SnapshotBoxes(bool keepUp) : keepUp_(keepUp) {}

    void ShowOwned(QWidget*, const QString&, const QString&) override {}
    QWidget* ShowOwnerless(const QString& caption, const QString&,
                           std::function<void()> dismissed) override {
        auto* stage = static_cast<QLabel*>(window->Control(layout::kStageText));
        auto* status = static_cast<QLabel*>(window->Control(layout::kStatusText));
        auto* bar = static_cast<QProgressBar*>(window->Control(layout::kProgress));
        seen.push_back({caption.toStdString(), stage->text().toStdString(),
                        status->text().toStdString(), bar->value(), bar->maximum()});
        if (!keepUp_) {
            dismissed();
            return nullptr;
        }
        // A stand-in box: deleting it (as a closing window does) is all that
        // can happen to it.
        held = new QWidget;
        return held;
    }

    COroPatch2007Dlg* window = nullptr;
    std::vector<Seen> seen;
    QPointer<QWidget> held;

  private:
    bool keepUp_;
};

class WindowSurfaceTest : public ::testing::Test {
  protected:
    void Open(bool keepBoxesUp = false) {
        boxes = std::make_shared<SnapshotBoxes>(keepBoxesUp);
        window = std::make_unique<COroPatch2007Dlg>();
        boxes->window = window.get();
        window->SetMessageBoxes(boxes);
        surface = window->Surface().lock();
    }

    // Runs `work` on a thread of its own, as a patch run's worker does, and
    // waits for it without turning the event loop (or with it, when the work
    // needs the window, e.g. for a box).
    bool RunWorker(const std::function<void()>& work, bool turnEventLoop) {
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        std::thread worker([&] {
            work();
            done.set_value();
        });
        bool ended;
        if (turnEventLoop)
            ended = WaitUntil([&] { return finished.wait_for(0s) == std::future_status::ready; });
        else
            ended = finished.wait_for(30s) == std::future_status::ready;
        if (!ended)
            window.reset();  // releases a worker stuck on the window
        worker.join();
        return ended;
    }

    std::string Text(int id) const {
        return static_cast<QLabel*>(window->Control(id))->text().toStdString();
    }
    QProgressBar& Bar() const {
        return *static_cast<QProgressBar*>(window->Control(layout::kProgress));
    }

    TestFolder game;
    std::shared_ptr<SnapshotBoxes> boxes;
    std::unique_ptr<COroPatch2007Dlg> window;
    std::shared_ptr<WindowSurface> surface;
};

// Twenty thousand updates, written while the window's thread does not turn
// its event loop at all: none of them waits for the window, and once the loop
// turns the window shows the last of each, applied once.
TEST_F(WindowSurfaceTest, WorkerRunsAheadAndTheWindowEndsWithTheLastValues) {
    Open();
    int barChanges = 0;
    QObject::connect(&Bar(), &QProgressBar::valueChanged, [&] { ++barChanges; });
    constexpr int kUpdates = 20000;
    ASSERT_TRUE(RunWorker(
        [&] {
            surface->SetProgressRange(0, kUpdates);
            for (int i = 1; i <= kUpdates; ++i) {
                surface->SetProgressPos(i);
                surface->SetStageText("stage " + std::to_string(i));
                if (i % 1000 == 0)
                    surface->SetStatusText("status " + std::to_string(i));
            }
            // Back down: the last value counts, not the largest.
            surface->SetProgressPos(kUpdates / 2);
        },
        false));
    EXPECT_TRUE(WaitUntil([&] { return Bar().value() == kUpdates / 2; }));
    EXPECT_EQ(Text(layout::kStageText), "stage 20000");
    EXPECT_EQ(Text(layout::kStatusText), "status 20000");
    EXPECT_EQ(Bar().maximum(), kUpdates);
    EXPECT_EQ(barChanges, 1);
}

// Byte counts beyond 32 bits are scaled, and an empty range shows an empty
// bar rather than Qt's busy animation, however the values were coalesced.
TEST_F(WindowSurfaceTest, CoalescedRangeAndPositionKeepTheirScale) {
    Open();
    constexpr int64_t kTotal = int64_t{6} << 30;
    ASSERT_TRUE(RunWorker(
        [&] {
            surface->SetProgressRange(0, kTotal);
            surface->SetProgressPos(kTotal / 4);
        },
        false));
    ASSERT_TRUE(WaitUntil([&] { return Bar().value() > 0; }));
    EXPECT_DOUBLE_EQ(double(Bar().value()) / Bar().maximum(), 0.25);

    ASSERT_TRUE(RunWorker(
        [&] {
            surface->SetProgressRange(0, 0);
            surface->SetProgressPos(0);
        },
        false));
    ASSERT_TRUE(WaitUntil([&] { return Bar().maximum() == 1; }));
    EXPECT_EQ(Bar().minimum(), 0);
    EXPECT_EQ(Bar().value(), 0);
}

// Each box sees every value written before it, and the end of the run comes
// after the texts before it: its own status text replaces the worker's.
TEST_F(WindowSurfaceTest, BoxesAndTheEndOfTheRunComeAfterEverythingBeforeThem) {
    Open();
    ASSERT_TRUE(RunWorker(
        [&] {
            surface->SetProgressRange(0, 100);
            for (int i = 0; i <= 40; ++i)
                surface->SetProgressPos(i);
            surface->SetStageText("first stage");
            surface->SetStatusText("working");
            surface->ShowMessageBox("first box", "text");
            surface->SetStageText("second stage");
            surface->SetProgressPos(70);
            surface->ShowMessageBox("second box", "text");
            surface->SetStageText("last stage");
            surface->SetStatusText("overwritten by the end of the run");
            surface->RunFinished(false);
        },
        true));
    ASSERT_TRUE(WaitUntil([&] { return Text(layout::kStatusText) == kFailedStatus; }));
    ASSERT_EQ(boxes->seen.size(), 2u);
    EXPECT_EQ(boxes->seen[0].caption, "first box");
    EXPECT_EQ(boxes->seen[0].stage, "first stage");
    EXPECT_EQ(boxes->seen[0].status, "working");
    EXPECT_EQ(boxes->seen[0].barValue, 40);
    EXPECT_EQ(boxes->seen[1].caption, "second box");
    EXPECT_EQ(boxes->seen[1].stage, "second stage");
    EXPECT_EQ(boxes->seen[1].barValue, 70);
    EXPECT_EQ(Text(layout::kStageText), "last stage");
    EXPECT_EQ(Bar().value(), 70);

    // A successful end clears the status line, again after the worker's text.
    ASSERT_TRUE(RunWorker(
        [&] {
            surface->SetStatusText("also overwritten");
            surface->RunFinished(true);
        },
        false));
    ASSERT_TRUE(WaitUntil([&] { return Text(layout::kStatusText).empty(); }));
    EXPECT_TRUE(window->Control(layout::kDownloadPatch)->isEnabled());
}

// The window closes while the worker waits on a box and has values pending:
// the box goes, the worker is released, and every later call returns at once.
TEST_F(WindowSurfaceTest, ClosingTheWindowDropsEverythingAndReleasesTheWorker) {
    Open(true);
    std::promise<void> boxUp;
    std::promise<void> released;
    std::thread worker([&] {
        surface->SetStageText("before the box");
        surface->ShowMessageBox("held box", "text");  // returns once the window has gone
        released.set_value();
        surface->SetStageText("after the window");
        surface->SetProgressPos(5);
        surface->ShowMessageBox("never shown", "text");
        surface->RunFinished(true);
    });
    ASSERT_TRUE(WaitUntil([&] { return !boxes->seen.empty(); }));
    EXPECT_EQ(boxes->seen[0].stage, "before the box");
    QPointer<QWidget> held = boxes->held;
    ASSERT_TRUE(held);

    window.reset();
    std::future<void> releasedFuture = released.get_future();
    EXPECT_EQ(releasedFuture.wait_for(30s), std::future_status::ready);
    worker.join();
    EXPECT_FALSE(held);
    EXPECT_EQ(boxes->seen.size(), 1u);

    // Nothing is left queued for a window that no longer exists.
    std::weak_ptr<WindowSurface> bridge = surface;
    surface.reset();
    QCoreApplication::processEvents();
    EXPECT_TRUE(bridge.expired());
}

}  // namespace
