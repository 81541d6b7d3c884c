#include "app/FormTemplate.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>
#include <cstdint>
#include <cstdlib>

namespace cadentor {

namespace {

// In the order of reading the form, top to bottom and left to right: the Tab order.
constexpr ControlTemplate controls[] = {
    {"title", ControlKind::StaticText, "COMポート制御 イベントシーケンサ", {4, 5, 182, 8}, false},
    {"load", ControlKind::PushButton, "&Load", {6, 18, 50, 14}, true},
    {"automatic", ControlKind::PushButton, "&Automatic", {60, 18, 50, 30}, true},
    {"manual", ControlKind::PushButton, "&MANUAL", {114, 18, 50, 14}, true},
    {"picture", ControlKind::Picture, "", {183, 15, 114, 33}, false},
    {"commandList", ControlKind::PushButton, "&Command List", {6, 34, 50, 14}, true},
    {"initialize", ControlKind::PushButton, "&Initialize", {114, 34, 50, 14}, true},
    {"manualExec", ControlKind::PushButton, "Manual &Exec", {60, 50, 50, 14}, true},
    {"resetSeq", ControlKind::PushButton, "&Reset Seq.", {114, 50, 50, 14}, true},
    {"portInfo", ControlKind::Edit, "", {167, 52, 134, 39}, true},
    {"exit", ControlKind::PushButton, "E&xit", {6, 66, 50, 14}, true},
    {"skipError", ControlKind::CheckBox, "SkipError", {64, 69, 43, 10}, true},
    {"timeLabel", ControlKind::StaticText, "CurrentTime:", {9, 83, 129, 8}, false},
    {"list", ControlKind::ListView, "", {9, 97, 293, 151}, true},
};

} // namespace

std::span<const ControlTemplate> formControls() {
    return controls;
}

QFont formFont() {
    const QStringList families = QFontDatabase::families();
    for (const QString& name : {QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic")}) {
        if (families.contains(name, Qt::CaseInsensitive)) {
            QFont font(name);
            font.setPointSize(9);
            return font;
        }
    }
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(9);
    return font;
}

DialogBaseUnits dialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(width / 26 + 1) / 2, metrics.height()};
}

int mulDiv(int a, int b, int c) {
    if (c == 0)
        return -1;
    const std::int64_t product = static_cast<std::int64_t>(a) * b;
    const std::int64_t half = std::llabs(c) / 2;
    const bool negative = (product < 0) != (c < 0);
    const std::int64_t magnitude = (std::llabs(product) + half) / std::llabs(c);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

QRect unitsToPixels(const QRect& units, DialogBaseUnits base) {
    return {mulDiv(units.x(), base.x, 4), mulDiv(units.y(), base.y, 8),
            mulDiv(units.width(), base.x, 4), mulDiv(units.height(), base.y, 8)};
}

QSize unitsToPixels(const QSize& units, DialogBaseUnits base) {
    return {mulDiv(units.width(), base.x, 4), mulDiv(units.height(), base.y, 8)};
}

} // namespace cadentor
