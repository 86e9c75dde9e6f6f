#pragma once
// The window's one typeface. Every label is set in "ＭＳ Ｐゴシック", 9.75 pt bold. Where that
// face is missing (any system but Japanese Windows), the name is mapped to IPAPGothic, a
// proportional Japanese Gothic face with the same role; fontconfig does not know the mapping.

#include <QFont>

namespace app {

inline constexpr const char16_t* kLabelFamily = u"ＭＳ Ｐゴシック";
inline constexpr const char* kSubstituteFamily = "IPAPGothic";

// Registers the substitute face. Call once at start, after the application object exists;
// calling it again does no harm.
void installFontSubstitutes();

// The labels' font: the family above, 9.75 pt, bold.
QFont labelFont();

// Makes the application's own font (the desktop's, for message boxes and tooltips) take the
// labels' face for any character it lacks, before the system's fallbacks: Japanese text in the
// messages is set in the same face as the window's, and the program does not load a second
// Japanese face for a message. A desktop font with Japanese of its own is used as it is. Call
// once, after installFontSubstitutes().
void preferLabelFaceForJapanese();

}  // namespace app
