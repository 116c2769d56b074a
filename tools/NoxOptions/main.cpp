// NoxOptions.exe: edits the launcher's two options. The launcher refuses to
// patch or play while this window is open, and finds it by its title.

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QVBoxLayout>

#include "state/OptionsFile.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    OptionsFile options;

    QDialog window;
    window.setWindowTitle(QStringLiteral("Lantern Vale Launcher Options"));
    auto* layout = new QVBoxLayout(&window);
    auto* download = new QCheckBox(QStringLiteral("Download updates when the launcher starts"));
    auto* play =
        new QCheckBox(QStringLiteral("Play automatically when there is nothing to download"));
    download->setChecked(options.autoDownload);
    play->setChecked(options.autoPlay);
    layout->addWidget(download);
    layout->addWidget(play);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &window, [&] {
        options.autoDownload = download->isChecked();
        options.autoPlay = play->isChecked();
        options.Save();
        window.accept();
    });
    window.exec();
    return 0;
}
