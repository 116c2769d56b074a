#pragma once
// How the launcher shows its message boxes. The window's own boxes are modal
// and owned by it; the patch run's boxes have no owner and leave the window
// running. Tests put a recorder in place of the real boxes.

#include <QString>
#include <functional>

class QWidget;

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;

    // A modal box owned by `owner` with a single OK button; returns once it
    // has been dismissed.
    virtual void ShowOwned(QWidget* owner, const QString& caption, const QString& text);

    // A box with no owner and a single OK button that does not block the
    // event loop; `dismissed` runs on the GUI thread once it is dismissed.
    // Returns the box (or nothing) so that its owner-to-be can close it early.
    virtual QWidget* ShowOwnerless(const QString& caption, const QString& text,
                                   std::function<void()> dismissed);
};
