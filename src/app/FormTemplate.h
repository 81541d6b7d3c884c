#pragma once
// The layout of the main form: its controls in Tab order (the order of reading the form),
// their names, texts, kinds and rectangles in dialog units, and the conversion of dialog units
// to pixels from the form font's metrics.
//
// Dialog units follow the form font: a horizontal unit is a quarter of the font's average
// character width (of "A".."Z" and "a".."z"), a vertical unit an eighth of its height.

#include <QFont>
#include <QRect>
#include <QString>
#include <span>

namespace cadentor {

enum class ControlKind { StaticText, PushButton, Picture, Edit, ListView, CheckBox };

struct ControlTemplate {
    const char* name; // the widget's object name
    ControlKind kind;
    const char* text; // UTF-8
    QRect units;      // x, y, width, height in dialog units
    bool tabStop;
};

// Template 101: the form is 309 x 257 dialog units.
inline constexpr QSize formUnits{309, 257};
std::span<const ControlTemplate> formControls();

// The form font: "ＭＳ Ｐゴシック" 9 pt, else IPAPGothic 9 pt, else the default sans at 9 pt.
QFont formFont();

// Dialog base units of a font: x = (width of "A..Za..z" / 26 + 1) / 2, y = the font's height.
struct DialogBaseUnits {
    int x;
    int y;
};
DialogBaseUnits dialogBaseUnits(const QFont& font);

// a * b / c rounded to the nearest integer, halves away from zero.
int mulDiv(int a, int b, int c);

QRect unitsToPixels(const QRect& units, DialogBaseUnits base);
QSize unitsToPixels(const QSize& units, DialogBaseUnits base);

} // namespace cadentor
