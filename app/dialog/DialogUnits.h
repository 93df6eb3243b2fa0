// Dialog units: the dialogs are laid out in the units their templates use,
// which scale with the dialog font. One horizontal unit is a quarter of the
// font's average character width, one vertical unit an eighth of its height.
// The dialogs use an 8-point font, whose base units are 6 x 13 pixels at
// 96 dots per inch; they are fixed here rather than measured, so that the
// window keeps the same size whichever font the desktop substitutes.
#pragma once

#include <QFont>
#include <QRect>

namespace dlu {

constexpr int kBaseX = 6;   // average character width in pixels
constexpr int kBaseY = 13;  // character height in pixels
constexpr int kFontPoints = 8;

constexpr int X(int units) { return (units * kBaseX + 2) / 4; }
constexpr int Y(int units) { return (units * kBaseY + 4) / 8; }

inline QRect Rect(int x, int y, int width, int height) { return QRect(X(x), Y(y), X(width), Y(height)); }

// The dialog font: the desktop's sans-serif face at 8 points, in its
// condensed cut where there is one. The controls are laid out for the narrow
// 8-point faces of the recorder's PC; a full-width face would cut the dates
// in the pickers and the times in the list.
inline QFont Font(QFont base) {
    base.setPointSize(kFontPoints);
    base.setStretch(QFont::SemiCondensed);
    return base;
}

}  // namespace dlu
