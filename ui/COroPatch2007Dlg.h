#pragma once
// The launcher window: news view, patch progress, and the buttons that start
// a patch run, the game, the test client and the options program.

#include <QDialog>
#include <QIcon>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "state/OptionsFile.h"

class CExplorer1;
class MessageBoxes;
class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class WindowSurface;

class COroPatch2007Dlg : public QDialog {
    Q_OBJECT

  public:
    static constexpr unsigned kCountdownTimerId = 1;
    static constexpr unsigned kLaunchTimerId = 2;
    static constexpr const char* kOptionsWindowTitle = "Lantern Vale Launcher Options";
    static constexpr const char* kOptionsProgram = "NoxOptions.exe";
    static constexpr const char* kWindowedModeMarker = "windowed_mode.txt";

    explicit COroPatch2007Dlg(QWidget* parent = nullptr);
    ~COroPatch2007Dlg() override;

    // Runs once, when the window is first shown.
    bool OnInitDialog();
    void StartPlayCountdown();
    void StopPlayCountdown();
    void OnDownloadPatch();
    long OnStartDownloadMessage(uintptr_t wParam, intptr_t lParam);
    long OnPatchFinished(uintptr_t wParam, intptr_t lParam);
    void OnTimer(unsigned id);
    void UpdateTestClientButton();
    bool StartUpdatedLauncher();
    QIcon OnQueryDragIcon() const { return m_icon; }

    void OnPlay();
    void OnTestClient();
    void OnOptionsButton();
    void OnWindowedMode();

    // The control with a template id (1001 to 1014), or null.
    QWidget* Control(int id) const;
    // Replaces the message boxes (tests record them instead of showing them).
    void SetMessageBoxes(std::shared_ptr<MessageBoxes> boxes);
    MessageBoxes& Boxes() const { return *m_boxes; }
    // The bridge the current or last run reports through.
    std::weak_ptr<WindowSurface> Surface() const { return m_surface; }
    bool RunActive() const { return m_patchThread != std::thread::id(); }
    const std::string& GameExe() const { return m_gameExe; }
    const std::string& TestClient() const { return m_testClient; }

    // Every way the window ends (close box, Escape, the launch timer, the
    // self-update) comes through here.
    void done(int result) override;

  protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    friend class WindowSurface;

    void BuildControls();
    unsigned SetTimer(unsigned id, int milliseconds);
    void KillTimer(unsigned id);
    // Ends the window, and with it the launcher.
    void DestroyWindow();
    void MessageBox(const char* text, const char* caption);
    // Refuses (with its message) while the options program's window is open.
    bool OptionsWindowOpen();
    void LaunchProgram(const std::string& path, const char* missingText, int closeAfterMs);
    void EnableButtons(bool play, bool testClient, bool options, bool download);
    // The worker's end of a run, on the GUI thread: takes back the shared
    // fields and handles WM_APP.
    void TakeRunResult(bool success);
    Q_INVOKABLE void DrainSurface();

    QIcon m_icon;
    CExplorer1* m_newsView = nullptr;
    QLabel* m_stageText = nullptr;
    QProgressBar* m_progress = nullptr;
    // The running worker's id; a default id means no run is active.
    std::thread::id m_patchThread;
    OptionsFile m_options;
    unsigned m_countdownTimer = 0;
    int m_countdown = 3;
    std::string m_gameExe;
    std::string m_testClient;
    // The successor program the last run fetched, as named on the disk.
    std::string m_newLauncherExe;
    unsigned m_launchTimer = 0;
    QPushButton* m_downloadButton = nullptr;
    QPushButton* m_playButton = nullptr;
    QPushButton* m_optionsButton = nullptr;
    QLabel* m_statusText = nullptr;
    bool m_launcherUpdatePending = false;
    QPushButton* m_testClientButton = nullptr;
    QCheckBox* m_windowedCheck = nullptr;

    std::shared_ptr<WindowSurface> m_surface;
    std::shared_ptr<MessageBoxes> m_boxes;
    std::map<int, QWidget*> m_controls;
    std::map<unsigned, int> m_qtTimers;  // our timer id -> Qt's
    bool m_initialised = false;
    bool m_closed = false;
    // Repaints are capped at the display's pace: a download moves the bar and
    // the megabyte text thousands of times a second, and painting each of
    // those would hold up the run that waits for every update.
    std::chrono::steady_clock::time_point m_lastRepaint{};
    bool m_repaintScheduled = false;
};
