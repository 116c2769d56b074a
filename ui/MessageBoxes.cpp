#include "ui/MessageBoxes.h"

#include <QMessageBox>

void MessageBoxes::ShowOwned(QWidget* owner, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

QWidget* MessageBoxes::ShowOwnerless(const QString& caption, const QString& text,
                                     std::function<void()> dismissed) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // A message box is application-modal by default; this one must leave the
    // launcher window usable, closable included.
    box->setWindowModality(Qt::NonModal);
    // finished() also comes from the close box and Escape: any dismissal
    // releases the run.
    QObject::connect(box, &QDialog::finished, box,
                     [dismissed = std::move(dismissed)] { dismissed(); });
    box->show();
    return box;
}
