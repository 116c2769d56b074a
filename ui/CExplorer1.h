#pragma once
// The news view in the upper part of the launcher window. With Qt WebEngine
// it is a real web view; without it, a light view that fetches the page once
// and shows its simple HTML. Either way nothing else waits for the page.

#include <QString>
#include <QWidget>

class QNetworkAccessManager;
class QTextBrowser;

class CExplorer1 : public QWidget {
  public:
    explicit CExplorer1(QWidget* parent);

    // Starts loading `url` and returns at once. A page that cannot be had
    // shows the view's own error.
    void Navigate(const QString& url);
    QString Url() const { return url_; }

    // Must run before QApplication is created (the web engine's needs).
    static void PrepareApplication();

  private:
    // The light view's parts (unused with the web engine).
    void ShowFetched(const QString& html);

    QString url_;
    QTextBrowser* browser_ = nullptr;
    QNetworkAccessManager* network_ = nullptr;
};
