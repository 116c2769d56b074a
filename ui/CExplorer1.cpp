#include "ui/CExplorer1.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QVBoxLayout>
#include <cstdlib>

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextBrowser>
#ifdef LV_WEBENGINE
#include <QWebEngineView>
#endif

namespace {
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
#ifdef LV_WEBENGINE
    // The browser engine's sandbox refuses to start as root.
    if (::geteuid() == 0)
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
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
