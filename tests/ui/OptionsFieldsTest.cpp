// The options program's connection fields against a real settings file: what
// the player changes is written, everything else in the file stays as it
// stood, and a proxy the launcher could not use keeps the window open.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include "NetworkFields.h"
#include "TestFolder.h"
#include "state/Settings.h"

namespace {

const char kPlayersFile[] =
    "# set by hand\n"
    "limit_rate = 300 KiB/s\n"
    "future_key = kept\n";

struct OptionsWindow {
    OptionsWindow() : layout(new QVBoxLayout(&window)), fields(&window, layout) {}
    template <class T>
    T* Field() {
        return window.findChild<T*>();
    }
    QWidget window;
    QVBoxLayout* layout;
    NetworkFields fields;
};

}  // namespace

TEST(OptionsFields, OnlyWhatThePlayerChangedIsWritten) {
    TestFolder game;
    WriteFile(Settings::kFileName, kPlayersFile);
    {
        // Opened and closed with OK: the file keeps its own words.
        OptionsWindow options;
        EXPECT_TRUE(options.Field<QCheckBox>()->isChecked());
        EXPECT_DOUBLE_EQ(options.Field<QDoubleSpinBox>()->value(), 300.0);
        EXPECT_TRUE(options.fields.Save());
        EXPECT_EQ(ReadFile(Settings::kFileName), kPlayersFile);
    }
    {
        OptionsWindow options;
        options.Field<QComboBox>()->setCurrentIndex(1);
        options.Field<QDoubleSpinBox>()->setValue(2.0);
        options.Field<QLineEdit>()->setText("http://10.0.0.1:3128");
        EXPECT_TRUE(options.fields.Save());
        EXPECT_EQ(ReadFile(Settings::kFileName),
                  "# set by hand\nlimit_rate = 2 MiB/s\nfuture_key = kept\n"
                  "proxy = http://10.0.0.1:3128\n");
    }
    {
        OptionsWindow options;
        options.Field<QCheckBox>()->setChecked(false);
        options.Field<QLineEdit>()->clear();
        EXPECT_TRUE(options.fields.Save());
        EXPECT_EQ(ReadFile(Settings::kFileName),
                  "# set by hand\nlimit_rate = off\nfuture_key = kept\n");
    }
}

TEST(OptionsFields, TheFieldsOfferNoCapBelowTheLauncherLeast) {
    TestFolder game;
    OptionsWindow options;
    auto* rate = options.Field<QDoubleSpinBox>();
    options.Field<QComboBox>()->setCurrentIndex(0);
    rate->setValue(1.0);
    EXPECT_EQ(rate->value() * 1024, 16 * 1024);
    options.Field<QComboBox>()->setCurrentIndex(1);
    rate->setValue(0.1);
    EXPECT_DOUBLE_EQ(rate->value(), 0.1);
    // No file until something is set.
    EXPECT_TRUE(options.fields.Save());
    EXPECT_FALSE(FileExists(Settings::kFileName));
}

TEST(OptionsFields, AProxyTheLauncherCannotUseKeepsTheWindowAndTheFile) {
    TestFolder game;
    WriteFile(Settings::kFileName, kPlayersFile);
    OptionsWindow options;
    options.Field<QLineEdit>()->setText("ftp://10.0.0.1");
    // The warning is modal: dismiss it once it is up.
    bool warned = false;
    QTimer dismiss;
    QObject::connect(&dismiss, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            warned = true;
            box->close();
        }
    });
    dismiss.start(20);
    EXPECT_FALSE(options.fields.Save());
    EXPECT_TRUE(warned);
    EXPECT_EQ(ReadFile(Settings::kFileName), kPlayersFile);
}
