#pragma once
// Helpers for the window tests: recorded message boxes, waiting on the event
// loop, the stand-in program, and an X server of their own.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FakeRun.h"
#include "ui/COroPatch2007Dlg.h"
#include "ui/MessageBoxes.h"

// Records every box instead of showing it and dismisses it at once, unless
// told to keep the run's boxes up.
class RecordingBoxes : public MessageBoxes {
  public:
    struct Box {
        bool owned;
        std::string caption;
        std::string text;
    };

    void ShowOwned(QWidget* owner, const QString& caption, const QString& text) override;
    QWidget* ShowOwnerless(const QString& caption, const QString& text,
                           std::function<void()> dismissed) override;

    std::vector<std::string> Captions() const;

    std::vector<Box> boxes;
};

// Runs the event loop until `done` holds or `limit` has passed.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(30));

// The window's buttons, texts and their states in one line, e.g.
// "play:on 'Play' | test:hidden,off | options:hidden,off | download:hidden,on
// 'Download Patch' | status ''".
std::string Describe(const COroPatch2007Dlg& window);

// Copies the stand-in program to `name` in the current folder.
void InstallFakeProgram(const std::string& name);
std::string FakeProgramBytes();

// Xvfb on a free display, for the tests that need a real X server.
class XServer {
  public:
    // Starts one, or nothing when Xvfb is not installed or will not start.
    static std::unique_ptr<XServer> Start();
    ~XServer();
    const std::string& Display() const { return display_; }

  private:
    XServer(int pid, std::string display) : pid_(pid), display_(std::move(display)) {}
    int pid_;
    std::string display_;
};
