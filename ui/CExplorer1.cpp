#include "ui/CExplorer1.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QVBoxLayout>
#include <cstdlib>
#include <string>
#include <string_view>

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextBrowser>
#ifdef LV_WEBENGINE
#include <QWebEngineView>
#endif

namespace {

// Set to anything but "" or "0" to see what Qt and the browser engine print.
constexpr const char* kDiagnosticsVariable = "LV_WEBVIEW_DIAGNOSTICS";

bool DiagnosticsWanted() {
    const char* value = std::getenv(kDiagnosticsVariable);
    return value && *value && std::string_view(value) != "0";
}

// Qt's and the web engine's chatter (graphics back ends, engine start-up
// parameters, the page's script console) is of no use to a player. The
// launcher's own messages are written to stderr directly, never through
// Qt's logging, so dropping Qt's messages cannot hide them; fatal ones still
// end the program as Qt intends.
void DropQtMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

#ifndef LV_WEBENGINE
// A news page is small; anything far larger is not one.
constexpr qint64 kMaxPageBytes = 4 << 20;
constexpr int kFetchTimeoutMs = 30000;
#endif
}  // namespace

CExplorer1::CExplorer1(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::TabFocus);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
#ifndef LV_WEBENGINE
    browser_ = new QTextBrowser(this);
    browser_->setOpenExternalLinks(true);
    layout->addWidget(browser_);
#endif
}

void CExplorer1::PrepareApplication() {
    const bool quiet = !DiagnosticsWanted();
    if (quiet)
        qInstallMessageHandler(DropQtMessage);
#ifdef LV_WEBENGINE
    // The browser engine's sandbox refuses to start as root.
    if (::geteuid() == 0)
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The engine's own log goes to stderr past Qt: only fatal errors then.
    if (quiet) {
        std::string flags;
        if (const char* given = std::getenv("QTWEBENGINE_CHROMIUM_FLAGS"))
            flags = std::string(given) + " ";
        ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", (flags + "--log-level=3").c_str(), 1);
    }
#endif
}

void CExplorer1::Navigate(const QString& url) {
    url_ = url;
#ifdef LV_WEBENGINE
    // Created on first use so that a window that never navigates does not
    // start the engine.
    auto* view = new QWebEngineView(this);
    layout()->addWidget(view);
    view->setUrl(QUrl(url));
#else
    if (!network_)
        network_ = new QNetworkAccessManager(this);
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(kFetchTimeoutMs);
    QNetworkReply* reply = network_->get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxPageBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            ShowFetched(
                QStringLiteral("<h3>The news page could not be loaded.</h3><p>%1</p><p>%2</p>")
                    .arg(url_.toHtmlEscaped(), reply->errorString().toHtmlEscaped()));
            return;
        }
        ShowFetched(QString::fromUtf8(reply->readAll()));
    });
#endif
}

void CExplorer1::ShowFetched(const QString& html) {
    browser_->setHtml(html);
}
