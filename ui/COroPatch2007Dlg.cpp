#include "ui/COroPatch2007Dlg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTimerEvent>
#include <algorithm>
#include <system_error>

#include "fileset/FilesToPatch.h"
#include "patch/LocalTrust.h"
#include "patch/PatchRun.h"
#include "patch/PatchServer.h"
#include "patch/Trust.h"
#include "platform/Platform.h"
#include "res/LauncherLayout.h"
#include "ui/CExplorer1.h"
#include "ui/MessageBoxes.h"
#include "ui/WindowFinder.h"
#include "ui/WindowSurface.h"

namespace {

const char kNewsUrl[] = "http://" LV_NEWS_HOST "/lanternvale_launcher/";

const char kCloseOptionsText[] =
    "You must close the Launcher Options window before playing or downloading a patch.";
const char kCloseOptionsCaption[] = "Need to close the options window";
const char kStartFailedText[] =
    "The Launcher got some weird error when it tried to start the game program.  The Launcher "
    "is not sure what the error is.  After you click OK, try closing and reopening the "
    "Launcher.  Maybe that'll straighten things out so that clicking on Play will work.";
const char kPatchFailedStatus[] = "Patch not successful.  Click Download Patch to try again.";

// A program name from the local manifest as it may be started: one that the
// name check would reject (absolute, leaving the folder, the launcher's own
// files) counts as no program. The check runs on a copy so that the name
// stays as the manifest wrote it.
std::string StartableName(const std::string& name) {
    if (name.empty())
        return name;
    FilesToPatch::File file;
    file.name = name;
    file.CheckName();
    return file.rejected ? std::string() : name;
}

// Rounds like the native conversion of dialog units.
int MulDiv(int value, int numerator, int denominator) {
    return (value * numerator + denominator / 2) / denominator;
}

}  // namespace

// The application's main window, in the task bar: an ordinary top-level
// window, not a dialog of the program's hidden leader window. As such a
// dialog, a window manager that shows one window at a time kept handing the
// focus back to it while its own message box was up, the toolkit kept passing
// it on to the box, and the box was never painted.
COroPatch2007Dlg::COroPatch2007Dlg(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_icon(QStringLiteral(":/lv/lantern.png")),
      m_surface(std::make_shared<WindowSurface>(this)),
      m_boxes(std::make_shared<MessageBoxes>()) {
    setWindowTitle(QString::fromUtf8(layout::kCaption));
    BuildControls();
}

COroPatch2007Dlg::~COroPatch2007Dlg() {
    // A run may outlive the window; from here on it reaches nothing of it.
    m_surface->Detach();
    // The options are written back as the file holds them now: the options
    // program may have saved new values while the launcher ran, and the
    // launcher itself never changes them.
    m_options.Reload();
}

void COroPatch2007Dlg::BuildControls() {
    QFont font(QString::fromUtf8(layout::kFontFamily), layout::kFontPointSize);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);
    // The native dialog base units: average width of the Latin letters and
    // the line height of the template font.
    const QFontMetrics metrics(font);
    const int baseX = (metrics.horizontalAdvance(
                           QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                           26 +
                       1) /
                      2;
    const int baseY = metrics.height();
    setFixedSize(MulDiv(layout::kWidth, baseX, 4), MulDiv(layout::kHeight, baseY, 8));

    for (const layout::Control& control : layout::kControls) {
        const QString text = QString::fromUtf8(control.text);
        QWidget* widget = nullptr;
        switch (control.kind) {
            case layout::Kind::kNewsView:
                widget = m_newsView = new CExplorer1(this);
                break;
            case layout::Kind::kProgressBar:
                widget = m_progress = new QProgressBar(this);
                m_progress->setRange(0, 100);
                m_progress->setValue(0);
                m_progress->setTextVisible(false);
                break;
            case layout::Kind::kStaticText: {
                auto* label = new QLabel(text, this);
                label->setTextFormat(Qt::PlainText);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                widget = label;
                break;
            }
            case layout::Kind::kPushButton:
                widget = new QPushButton(text, this);
                break;
            case layout::Kind::kCheckBox:
                widget = m_windowedCheck = new QCheckBox(text, this);
                break;
        }
        widget->setGeometry(MulDiv(control.x, baseX, 4), MulDiv(control.y, baseY, 8),
                            MulDiv(control.width, baseX, 4), MulDiv(control.height, baseY, 8));
        widget->setEnabled(control.enabled);
        if (!control.visible)
            widget->hide();
        m_controls[control.id] = widget;
    }
    // Enter belongs to the dialog, never to a button (see keyPressEvent).
    for (QPushButton* button : findChildren<QPushButton*>()) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    m_stageText = static_cast<QLabel*>(m_controls[layout::kStageText]);
    m_statusText = static_cast<QLabel*>(m_controls[layout::kStatusText]);
    m_playButton = static_cast<QPushButton*>(m_controls[layout::kPlay]);
    m_optionsButton = static_cast<QPushButton*>(m_controls[layout::kOptions]);
    m_testClientButton = static_cast<QPushButton*>(m_controls[layout::kTestClient]);
    m_downloadButton = static_cast<QPushButton*>(m_controls[layout::kDownloadPatch]);

    connect(m_playButton, &QPushButton::clicked, this, [this] { OnPlay(); });
    connect(m_optionsButton, &QPushButton::clicked, this, [this] { OnOptionsButton(); });
    connect(m_testClientButton, &QPushButton::clicked, this, [this] { OnTestClient(); });
    connect(m_downloadButton, &QPushButton::clicked, this, [this] { OnDownloadPatch(); });
    connect(m_windowedCheck, &QCheckBox::clicked, this, [this] { OnWindowedMode(); });
}

QWidget* COroPatch2007Dlg::Control(int id) const {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

void COroPatch2007Dlg::SetMessageBoxes(std::shared_ptr<MessageBoxes> boxes) {
    m_boxes = std::move(boxes);
}

bool COroPatch2007Dlg::event(QEvent* event) {
    if (event->type() == QEvent::UpdateRequest) {
        // Controls take their new values at once; the pixels follow at most
        // once a frame. A held-back request is sent again when the frame is due.
        constexpr auto kFrame = std::chrono::milliseconds(16);
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastRepaint < kFrame) {
            if (!m_repaintScheduled) {
                m_repaintScheduled = true;
                const auto wait =
                    std::chrono::ceil<std::chrono::milliseconds>(kFrame - (now - m_lastRepaint));
                QTimer::singleShot(wait, this, [this] {
                    m_repaintScheduled = false;
                    QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest));
                });
            }
            return true;
        }
        m_lastRepaint = now;
    }
    return QDialog::event(event);
}

void COroPatch2007Dlg::keyPressEvent(QKeyEvent* event) {
    // The dialog keys: Enter and Escape both close the window, whichever
    // control has the focus, and neither starts anything.
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            if (modifiers == Qt::NoModifier) {
                DestroyWindow();
                return;
            }
            break;
        default:
            break;
    }
    QDialog::keyPressEvent(event);
}

void COroPatch2007Dlg::showEvent(QShowEvent* event) {
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void COroPatch2007Dlg::done(int result) {
    // Closing ends the launcher: a run still going must not reach the window
    // any more, and no timer fires into it.
    m_closed = true;
    m_surface->Detach();
    for (const auto& [id, qtId] : m_qtTimers)
        killTimer(qtId);
    m_qtTimers.clear();
    QDialog::done(result);
}

bool COroPatch2007Dlg::OnInitDialog() {
    setWindowIcon(m_icon);
    m_newsView->Navigate(QString::fromUtf8(kNewsUrl));

    bool startRun = m_options.autoDownload;
    if (platform::CanOpenForRead(kRestartedMarker)) {
        platform::DeleteFileByName(kRestartedMarker);
        startRun = true;
    }
    m_windowedCheck->setChecked(platform::CanOpenForRead(kWindowedModeMarker));

    if (startRun) {
        // WM_APP + 1: the run starts from the event loop, once the window is up.
        QMetaObject::invokeMethod(
            this, [this] { OnStartDownloadMessage(0, 0); }, Qt::QueuedConnection);
    }
    m_stageText->setText(QString());
    m_statusText->setText(QString());

    if (!startRun) {
        // With a key, a local manifest the local statement does not sign
        // names no program.
        FilesToPatch localManifest;
        LoadVerifiedLocalManifest(localManifest);
        localManifest.GetGameExe(m_gameExe);
        m_gameExe = StartableName(m_gameExe);
        if (!m_gameExe.empty()) {
            m_playButton->setEnabled(true);
            if (m_options.autoPlay)
                StartPlayCountdown();
        } else {
            m_playButton->setEnabled(false);
        }
        localManifest.GetTestClient(m_testClient);
        m_testClient = StartableName(m_testClient);
        m_testClientButton->setEnabled(!m_testClient.empty());
    }
    return true;
}

unsigned COroPatch2007Dlg::SetTimer(unsigned id, int milliseconds) {
    KillTimer(id);
    // Coarse timers may fire up to 5% early; the countdown and the close
    // delay must not.
    const int qtId = startTimer(milliseconds, Qt::PreciseTimer);
    if (qtId == 0)
        return 0;
    m_qtTimers[id] = qtId;
    return id;
}

void COroPatch2007Dlg::KillTimer(unsigned id) {
    auto it = m_qtTimers.find(id);
    if (it == m_qtTimers.end())
        return;
    killTimer(it->second);
    m_qtTimers.erase(it);
}

void COroPatch2007Dlg::timerEvent(QTimerEvent* event) {
    for (const auto& [id, qtId] : m_qtTimers) {
        if (qtId == event->timerId()) {
            OnTimer(id);
            return;
        }
    }
    QDialog::timerEvent(event);
}

void COroPatch2007Dlg::StartPlayCountdown() {
    if (m_countdownTimer != 0)
        return;
    m_countdown = 3;
    m_countdownTimer = SetTimer(kCountdownTimerId, 1000);
    m_playButton->setText(QString::asprintf("Play (%d)", m_countdown));
}

void COroPatch2007Dlg::StopPlayCountdown() {
    if (m_countdownTimer == 0)
        return;
    KillTimer(m_countdownTimer);
    m_countdownTimer = 0;
    m_playButton->setText(QStringLiteral("Play"));
}

void COroPatch2007Dlg::OnTimer(unsigned id) {
    if (m_launchTimer != 0 && id == m_launchTimer) {
        KillTimer(m_launchTimer);
        m_launchTimer = 0;
        DestroyWindow();
    } else if (m_countdownTimer != 0 && id == m_countdownTimer) {
        --m_countdown;
        m_playButton->setText(QString::asprintf("Play (%d)", m_countdown));
        if (m_countdown <= 0) {
            KillTimer(m_countdownTimer);
            m_countdownTimer = 0;
            m_playButton->setText(QStringLiteral("Play"));
            OnPlay();
        }
    }
}

void COroPatch2007Dlg::DestroyWindow() {
    done(QDialog::Rejected);
}

void COroPatch2007Dlg::MessageBox(const char* text, const char* caption) {
    m_boxes->ShowOwned(this, QString::fromUtf8(caption), QString::fromUtf8(text));
}

bool COroPatch2007Dlg::OptionsWindowOpen() {
    if (!ui::FindTopLevelWindow(kOptionsWindowTitle))
        return false;
    MessageBox(kCloseOptionsText, kCloseOptionsCaption);
    // Looked up again: the player may have closed it while the box was up.
    if (std::optional<uint32_t> window = ui::FindTopLevelWindow(kOptionsWindowTitle))
        ui::RestoreAndRaise(*window);
    return true;
}

void COroPatch2007Dlg::EnableButtons(bool play, bool testClient, bool options, bool download) {
    m_playButton->setEnabled(play);
    m_testClientButton->setEnabled(testClient);
    m_optionsButton->setEnabled(options);
    m_downloadButton->setEnabled(download);
}

void COroPatch2007Dlg::OnDownloadPatch() {
    m_launcherUpdatePending = false;
    if (RunActive() || m_closed)
        return;
    if (OptionsWindowOpen())
        return;
    StopPlayCountdown();
    m_gameExe.clear();
    // With a key, a failed run leaves no program to start from an earlier
    // one: the test client goes as the game program does.
    if (TrustRequired())
        m_testClient.clear();
    EnableButtons(false, false, false, false);
    m_downloadButton->setText(QStringLiteral("Downloading..."));

    m_surface->HandOver(m_launcherUpdatePending, m_gameExe, m_testClient);
    m_surface->m_newLauncherExe.clear();
    try {
        // Never joined: closing the window ends the launcher whatever the
        // run is doing.
        std::thread worker([surface = m_surface] { PatchThreadProc(surface.get()); });
        m_patchThread = worker.get_id();
        worker.detach();
    } catch (const std::system_error&) {
        // No worker: end as a failed run so that the buttons come back.
        OnPatchFinished(0, 0);
    }
}

long COroPatch2007Dlg::OnStartDownloadMessage(uintptr_t, intptr_t) {
    OnDownloadPatch();
    return 0;
}

void COroPatch2007Dlg::DrainSurface() {
    m_surface->Drain();
}

void COroPatch2007Dlg::TakeRunResult(bool success) {
    m_surface->TakeBack(&m_launcherUpdatePending, &m_gameExe, &m_testClient);
    // Written by the worker before its last call; that call's hand-over
    // under the bridge's lock orders it before this read.
    m_newLauncherExe = m_surface->m_newLauncherExe;
    OnPatchFinished(success ? 1 : 0, 0);
}

long COroPatch2007Dlg::OnPatchFinished(uintptr_t wParam, intptr_t) {
    const bool success = wParam != 0;
    m_patchThread = std::thread::id();
    m_downloadButton->setEnabled(true);
    m_downloadButton->setText(success ? QStringLiteral("Redownload Patch")
                                      : QStringLiteral("Download Patch"));
    m_optionsButton->setEnabled(true);
    if (success) {
        if (StartUpdatedLauncher()) {
            DestroyWindow();
            return 0;
        }
        m_playButton->setEnabled(true);
        UpdateTestClientButton();
        m_statusText->setText(QString());
    } else {
        m_statusText->setText(QString::fromUtf8(kPatchFailedStatus));
        m_playButton->setEnabled(!m_gameExe.empty());
        UpdateTestClientButton();
    }
    return 0;
}

void COroPatch2007Dlg::UpdateTestClientButton() {
    if (!m_testClient.empty()) {
        m_testClientButton->show();
        m_testClientButton->setEnabled(true);
    } else {
        m_testClientButton->setEnabled(false);
    }
}

bool COroPatch2007Dlg::StartUpdatedLauncher() {
    if (!m_launcherUpdatePending)
        return false;
    const std::string successor = m_newLauncherExe.empty() ? kNewLauncherExe : m_newLauncherExe;
    if (!platform::CanOpenForRead(successor))
        return false;
    if (!platform::CreateEmptyFile(kUpdatingMarker)) {
        MessageBox("Could not write NoxPatch2011_updating.txt", "Error");
        return false;
    }
    if (!platform::StartProgram(successor)) {
        MessageBox("Could not start updated patch program", "Error");
        return false;
    }
    return true;
}

void COroPatch2007Dlg::LaunchProgram(const std::string& path, const char* missingText,
                                     int closeAfterMs) {
    const std::string name = StartableName(path);
    // With a key, a program the verified manifest does not name, or whose
    // bytes are not the published ones, counts as no program.
    if (name.empty() || !MayStartProgram(name)) {
        MessageBox(missingText, "Error");
        return;
    }
    // A manifest may separate folders with a backslash, as the run's name
    // check already reads it.
    std::string program = name;
    std::replace(program.begin(), program.end(), '\\', '/');
    m_playButton->setEnabled(false);
    m_optionsButton->setEnabled(false);
    m_downloadButton->setEnabled(false);
    m_testClientButton->setEnabled(false);
    if (platform::StartProgram(program)) {
        m_launchTimer = SetTimer(kLaunchTimerId, closeAfterMs);
        return;
    }
    MessageBox(kStartFailedText, "Uh oh!");
    m_playButton->setEnabled(true);
    m_optionsButton->setEnabled(true);
    m_downloadButton->setEnabled(true);
    UpdateTestClientButton();
}

void COroPatch2007Dlg::OnPlay() {
    if (OptionsWindowOpen())
        return;
    StopPlayCountdown();
    LaunchProgram(m_gameExe, "The Game EXE is not set.", 3000);
}

void COroPatch2007Dlg::OnTestClient() {
    if (OptionsWindowOpen())
        return;
    StopPlayCountdown();
    LaunchProgram(m_testClient, "There is no Test Client available at this time.", 6000);
}

void COroPatch2007Dlg::OnOptionsButton() {
    StopPlayCountdown();
    if (!MayStartProgram(kOptionsProgram) || !platform::StartProgram(kOptionsProgram))
        MessageBox("This Launcher got some weird error when it tried to start the Options window.",
                   "Uh oh!");
}

void COroPatch2007Dlg::OnWindowedMode() {
    if (m_windowedCheck->isChecked())
        platform::CreateEmptyFile(kWindowedModeMarker);
    else
        platform::DeleteFileByName(kWindowedModeMarker);
}
