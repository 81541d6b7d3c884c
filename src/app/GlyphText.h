#pragma once
// Single lines of printable ASCII placed without shaping them on every paint. The time label
// changes at the screen's rate and the list repaints its rows while a run goes on; shaping each
// text anew was most of what those repaints cost. Here a font's glyph for each character is
// looked up once, and the step from one glyph to the next once for each pair of characters that
// meet, as shaping places them, so that kerning is kept. A text with any other character, or
// with a pair the font draws as one glyph, is left to the caller to draw the usual way.

#include <QFont>
#include <QGlyphRun>
#include <QRawFont>
#include <QStringView>
#include <optional>
#include <vector>

namespace cadentor {

class GlyphText {
public:
    struct Line {
        QGlyphRun glyphs; // its baseline starts at (0, 0)
        qreal width;      // to the end of the last character's advance
        qreal ascent;     // of the font, as a line of text has it
        qreal descent;
    };

    // `text` in `font`; nothing when it is empty or cannot be placed here.
    std::optional<Line> layout(const QFont& font, QStringView text);

private:
    void setFont(const QFont& font);
    // For characters in the range only.
    static std::size_t pairIndex(QChar a, QChar b);
    quint32 glyph(QChar c) const;
    // Learns the steps of the pairs in `text` from one shaping of it, when it shapes as one glyph
    // a character.
    void learnSteps(QStringView text);
    // The step from the glyph of `a` to that of `b`; infinite when the pair does not shape as
    // those two glyphs.
    qreal step(QChar a, QChar b);

    std::optional<QFont> font_;
    QRawFont raw_;
    qreal ascent_ = 0, descent_ = 0;
    std::vector<quint32> glyphs_; // by character; empty when the font cannot be used
    std::vector<qreal> advances_; // of each character alone
    std::vector<qreal> steps_;    // by pair, NaN until shaped
};

} // namespace cadentor
