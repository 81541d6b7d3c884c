#include "app/GlyphText.h"

#include <QTextLayout>
#include <cmath>
#include <limits>

namespace cadentor {

namespace {

constexpr char16_t first = u' ';
constexpr int count = 95; // ' ' to '~'

// `text` laid out as one line in `font`: its glyph runs, and the line's measures when asked.
QList<QGlyphRun> shape(const QFont& font, const QString& text,
                       GlyphText::Line* measures = nullptr) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    if (measures)
        *measures = {QGlyphRun(), line.naturalTextWidth(), line.ascent(), line.descent()};
    return layout.glyphRuns();
}

} // namespace

void GlyphText::setFont(const QFont& font) {
    font_ = font;
    glyphs_.clear();
    advances_.clear();
    steps_.assign(count * count, std::numeric_limits<qreal>::quiet_NaN());
    // Every character once, unkerned: its glyph, and its advance up to the next one.
    QFont unkerned = font;
    unkerned.setKerning(false);
    QString all;
    for (int i = 0; i < count; ++i)
        all.append(QChar(first + i));
    Line measures;
    const QList<QGlyphRun> runs = shape(unkerned, all, &measures);
    // Glyph 0: the font has none for that character.
    if (runs.size() != 1 || runs[0].glyphIndexes().size() != count ||
        runs[0].glyphIndexes().contains(0u))
        return;
    const QList<quint32> indexes = runs[0].glyphIndexes();
    const QList<QPointF> positions = runs[0].positions();
    for (int i = 0; i < count; ++i) {
        glyphs_.push_back(indexes[i]);
        advances_.push_back((i + 1 < count ? positions[i + 1].x() : measures.width) -
                            positions[i].x());
    }
    raw_ = runs[0].rawFont();
    ascent_ = measures.ascent;
    descent_ = measures.descent;
}

std::size_t GlyphText::pairIndex(QChar a, QChar b) {
    return static_cast<std::size_t>((a.unicode() - first) * count + (b.unicode() - first));
}

quint32 GlyphText::glyph(QChar c) const {
    return glyphs_[c.unicode() - first];
}

qreal GlyphText::step(QChar a, QChar b) {
    qreal& known = steps_[pairIndex(a, b)];
    if (std::isnan(known)) {
        known = std::numeric_limits<qreal>::infinity();
        const QChar pair[] = {a, b};
        const QList<QGlyphRun> runs = shape(*font_, QString(pair, 2));
        if (runs.size() == 1 && runs[0].rawFont() == raw_ &&
            runs[0].glyphIndexes() == QList<quint32>{glyph(a), glyph(b)})
            known = runs[0].positions()[1].x() - runs[0].positions()[0].x();
    }
    return known;
}

void GlyphText::learnSteps(QStringView text) {
    // Usually the text shapes as one glyph a character, and gives all of its steps at once;
    // else step() takes the pairs one by one.
    const QList<QGlyphRun> runs = shape(*font_, text.toString());
    if (runs.size() != 1 || runs[0].rawFont() != raw_ ||
        runs[0].glyphIndexes().size() != text.size())
        return;
    const QList<quint32> indexes = runs[0].glyphIndexes();
    for (qsizetype i = 0; i < text.size(); ++i)
        if (indexes[i] != glyph(text[i]))
            return;
    const QList<QPointF> positions = runs[0].positions();
    for (qsizetype i = 1; i < text.size(); ++i)
        steps_[pairIndex(text[i - 1], text[i])] = positions[i].x() - positions[i - 1].x();
}

std::optional<GlyphText::Line> GlyphText::layout(const QFont& font, QStringView text) {
    if (!font_ || *font_ != font)
        setFont(font);
    if (glyphs_.empty() || text.isEmpty())
        return std::nullopt;
    for (const QChar c : text)
        if (c.unicode() < first || c.unicode() >= first + count)
            return std::nullopt;
    bool learnt = false;
    QList<quint32> indexes;
    QList<QPointF> positions;
    indexes.reserve(text.size());
    positions.reserve(text.size());
    qreal x = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (i > 0) {
            // A pair not known yet: first all of the text's pairs from one shaping of it.
            if (!learnt && std::isnan(steps_[pairIndex(text[i - 1], text[i])])) {
                learnSteps(text);
                learnt = true;
            }
            const qreal next = step(text[i - 1], text[i]);
            if (std::isinf(next))
                return std::nullopt;
            x += next;
        }
        indexes.push_back(glyph(text[i]));
        positions.push_back(QPointF(x, 0));
    }
    Line line{QGlyphRun(), x + advances_[text.back().unicode() - first], ascent_, descent_};
    line.glyphs.setRawFont(raw_);
    line.glyphs.setGlyphIndexes(indexes);
    line.glyphs.setPositions(positions);
    return line;
}

} // namespace cadentor
