#pragma once
// The launcher window's layout (dialog template 102): its controls in tab
// order with their ids, initial texts and states, and rectangles in dialog
// units of the template font. The window converts the units with that font's
// metrics when it builds itself.

namespace layout {

enum class Kind { kNewsView, kProgressBar, kStaticText, kPushButton, kCheckBox };

struct Control {
    int id;
    Kind kind;
    const char* text;
    bool visible;
    bool enabled;
    int x, y, width, height;
};

inline constexpr const char* kCaption = "Lantern Vale Launcher";
inline constexpr int kWidth = 471;
inline constexpr int kHeight = 343;
// The template's font; where the family is missing the toolkit's sans-serif
// stands in with the same point size.
inline constexpr const char* kFontFamily = "MS Shell Dlg";
inline constexpr int kFontPointSize = 8;

inline constexpr int kNewsView = 1001;
inline constexpr int kProgress = 1003;
inline constexpr int kStageText = 1004;
inline constexpr int kPlay = 1005;
inline constexpr int kOptions = 1006;
inline constexpr int kTestClient = 1007;
inline constexpr int kDownloadPatch = 1008;
inline constexpr int kStatusText = 1013;
inline constexpr int kWindowedMode = 1014;

inline constexpr Control kControls[] = {
    {kNewsView, Kind::kNewsView, "", true, true, 7, 7, 457, 234},
    {kProgress, Kind::kProgressBar, "", true, true, 7, 256, 457, 14},
    {kStageText, Kind::kStaticText, "Patch Download Progress", true, true, 7, 246, 457, 8},
    {kPlay, Kind::kPushButton, "Play", true, false, 281, 294, 183, 42},
    {kOptions, Kind::kPushButton, "Options...", false, false, 60, 322, 50, 14},
    {kTestClient, Kind::kPushButton, "Test Client", false, false, 7, 322, 50, 14},
    {kDownloadPatch, Kind::kPushButton, "Download Patch", false, true, 208, 323, 68, 13},
    {kStatusText, Kind::kStaticText, "Static", true, true, 7, 274, 230, 9},
    {kWindowedMode, Kind::kCheckBox, "Start in Windowed Mode", true, true, 367, 280, 97, 10},
};

}  // namespace layout
