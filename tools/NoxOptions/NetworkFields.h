#pragma once
// The options program's fields for the player's connection settings: the
// bandwidth cap and the proxy, kept in NoxPatch2011_Settings.cfg beside the
// options file.

#include <QObject>

#include "state/Settings.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QVBoxLayout;
class QWidget;

class NetworkFields : public QObject {
  public:
    // Loads the settings file and adds the fields to `layout`.
    NetworkFields(QWidget* window, QVBoxLayout* layout);

    // Writes the file when a field changed. False, after telling the player,
    // when a field holds something the launcher could not use: the window
    // then stays open.
    bool Save();

  private:
    QWidget* window_;
    Settings settings_;
    bool readable_ = true;
    QCheckBox* capped_;
    QDoubleSpinBox* rate_;
    QComboBox* unit_;
    QLineEdit* proxy_;
};
