// Draws the program's pictures into the directory given as the only argument (default: the
// current directory): the mode pictures 102, 103 and 105 (200 x 50, 8 bits per pixel) and the
// frame icon 106 at the usual icon sizes, 16 to 256 pixels (32 bits per pixel; the window uses
// 32 and 48, the installed menu icon all of them). resources/cadentor.svg is the icon's drawing
// on the same 48-unit grid: change both together. Run it by hand after changing a picture and
// commit the PNG files it writes:
//     cadentor_draw_resources resources/

#include <QDir>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <string>

namespace {

constexpr int width = 200;
constexpr int height = 50;

QFont captionFont(const QString& text, int maximumWidth) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setStyleHint(QFont::SansSerif);
    for (int pixels = 30; pixels > 8; --pixels) {
        font.setPixelSize(pixels);
        const QFontMetrics metrics(font);
        if (metrics.horizontalAdvance(text) <= maximumWidth && metrics.capHeight() <= 22)
            break;
    }
    return font;
}

// A word between two half-discs whose round sides face outwards, on black.
QImage modePicture(const QString& word, QColor wordColour, QColor discColour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(discColour);
    const int radius = 21;
    const QRectF left(4, height / 2.0 - radius, 2.0 * radius, 2.0 * radius);
    const QRectF right(width - 4 - 2.0 * radius, height / 2.0 - radius, 2.0 * radius, 2.0 * radius);
    painter.drawPie(left, 90 * 16, 180 * 16);
    painter.drawPie(right, -90 * 16, 180 * 16);

    const int textLeft = 4 + radius + 6;
    const int textWidth = width - 2 * textLeft;
    painter.setFont(captionFont(word, textWidth));
    painter.setPen(wordColour);
    painter.drawText(QRect(textLeft, 0, textWidth, height), Qt::AlignCenter, word);
    painter.end();
    return image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
}

// A rounded dark tile with a timeline: three marks on a line and a plug at its end.
QImage icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 48.0;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(24, 28, 40));
    painter.drawRoundedRect(QRectF(1 * unit, 1 * unit, 46 * unit, 46 * unit), 8 * unit, 8 * unit);

    painter.setPen(QPen(QColor(90, 160, 255), 3 * unit, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(8 * unit, 30 * unit), QPointF(40 * unit, 30 * unit));
    painter.setPen(Qt::NoPen);
    const QColor marks[] = {QColor(255, 140, 0), QColor(255, 255, 255), QColor(230, 40, 40)};
    for (int i = 0; i < 3; ++i) {
        painter.setBrush(marks[i]);
        painter.drawEllipse(QPointF((12 + 12 * i) * unit, 30 * unit), 4.5 * unit, 4.5 * unit);
    }
    painter.setBrush(QColor(255, 140, 0));
    QPainterPath play;
    play.moveTo(17 * unit, 8 * unit);
    play.lineTo(31 * unit, 15 * unit);
    play.lineTo(17 * unit, 22 * unit);
    play.closeSubpath();
    painter.drawPath(play);
    painter.end();
    return image;
}

bool save(const QImage& image, const QDir& directory, const char* name) {
    const QString path = directory.filePath(QString::fromLatin1(name));
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    const QDir directory(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath());
    const QColor orange(255, 140, 0), blue(40, 90, 255), red(230, 30, 30), white(255, 255, 255);
    bool ok =
        save(modePicture(QStringLiteral("AUTOMATIC"), orange, blue), directory, "bitmap105.png");
    ok = save(modePicture(QStringLiteral("MANUAL"), white, red), directory, "bitmap102.png") && ok;
    ok = save(modePicture(QStringLiteral("MANUAL"), red, red), directory, "bitmap103.png") && ok;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const std::string name = "icon106-" + std::to_string(size) + ".png";
        ok = save(icon(size), directory, name.c_str()) && ok;
    }
    return ok ? 0 : 1;
}
