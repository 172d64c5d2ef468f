// Paints the launcher's gear and writes it as a Windows icon file with one 128 x 128,
// 32-bit image. The painting uses no time, randomness or fonts, so the same build on
// the same machine writes the same bytes every time; other processors may round an edge
// pixel one step apart, which --check allows.

#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPointF>
#include <QSaveFile>
#include <QtMath>

#include <cstdio>

namespace {

constexpr int side = 128;
constexpr int teeth = 8;
constexpr double outerRadius = 57.5; // tooth tips
constexpr double rootRadius = 44.0;  // between the teeth
constexpr double holeRadius = 18.0;
constexpr double hubRadius = 28.5;
constexpr double outlineWidth = 6.0;
// Shares of one tooth period, going round: root, rising flank, tip, falling flank.
constexpr double rootShare = 0.40;
constexpr double flankShare = 0.10;
constexpr double tipShare = 0.40;

QPointF polar(double radius, double angle)
{
    const double centre = side / 2.0;
    return { centre + radius * qCos(angle), centre + radius * qSin(angle) };
}

void addArc(QPainterPath &path, double radius, double from, double to)
{
    constexpr int steps = 12;
    for (int i = 1; i <= steps; ++i)
        path.lineTo(polar(radius, from + (to - from) * i / steps));
}

// The gear's outline, a tooth pointing straight up, with the hole as a second subpath.
QPainterPath gearShape()
{
    const double period = 2 * M_PI / teeth;
    // Centre the first tip on the top of the picture.
    const double start = -M_PI / 2 - period * (rootShare + flankShare + tipShare / 2);
    QPainterPath path;
    path.moveTo(polar(rootRadius, start));
    for (int i = 0; i < teeth; ++i) {
        double angle = start + i * period;
        addArc(path, rootRadius, angle, angle + rootShare * period);
        angle += (rootShare + flankShare) * period;
        path.lineTo(polar(outerRadius, angle));
        addArc(path, outerRadius, angle, angle + tipShare * period);
        angle += (tipShare + flankShare) * period;
        path.lineTo(polar(rootRadius, angle));
    }
    path.closeSubpath();
    path.addEllipse(polar(0, 0), holeRadius, holeRadius);
    path.setFillRule(Qt::OddEvenFill);
    return path;
}

QImage paintGear()
{
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    // Brushed metal lit from the upper left, mid-toned so that it stands out on light
    // and on dark title bars alike; the dark outline keeps the teeth apart at 16 px.
    QLinearGradient metal(polar(outerRadius, -M_PI * 3 / 4), polar(outerRadius, M_PI / 4));
    metal.setColorAt(0.0, QColor(0xc4, 0xcb, 0xd3));
    metal.setColorAt(0.5, QColor(0x94, 0x9c, 0xa6));
    metal.setColorAt(1.0, QColor(0x66, 0x6d, 0x77));
    const QColor outline(0x2a, 0x2f, 0x36);

    painter.setPen(QPen(outline, outlineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(metal);
    painter.drawPath(gearShape());

    // A raised hub around the hole: a lighter ring lit from the other side, edged in
    // the outline colour.
    QLinearGradient hub(polar(hubRadius, -M_PI * 3 / 4), polar(hubRadius, M_PI / 4));
    hub.setColorAt(0.0, QColor(0x7a, 0x82, 0x8c));
    hub.setColorAt(1.0, QColor(0xd0, 0xd6, 0xdd));
    QPainterPath ring;
    ring.addEllipse(polar(0, 0), hubRadius, hubRadius);
    ring.addEllipse(polar(0, 0), holeRadius, holeRadius);
    painter.setPen(QPen(outline, outlineWidth / 2));
    painter.setBrush(hub);
    painter.drawPath(ring);
    painter.end();

    return image.convertToFormat(QImage::Format_ARGB32);
}

void appendLe16(QByteArray &out, quint16 value)
{
    out.append(char(value & 0xff)).append(char(value >> 8));
}

void appendLe32(QByteArray &out, quint32 value)
{
    appendLe16(out, quint16(value & 0xffff));
    appendLe16(out, quint16(value >> 16));
}

// One-image icon file: header, directory entry, then the image as a bottom-up 32-bit
// bitmap whose height counts the colour rows and the mask rows together.
QByteArray iconFile(const QImage &image)
{
    constexpr int headerSize = 6 + 16;
    constexpr int infoSize = 40;
    constexpr int colourSize = side * side * 4;
    constexpr int maskStride = side / 8; // 128 bits fill whole 32-bit words
    constexpr int maskSize = maskStride * side;
    constexpr int imageSize = infoSize + colourSize + maskSize;

    QByteArray out;
    out.reserve(headerSize + imageSize);
    appendLe16(out, 0); // reserved
    appendLe16(out, 1); // icon
    appendLe16(out, 1); // one image

    out.append(char(side & 0xff)).append(char(side & 0xff)); // 128 fits, 256 would be 0
    out.append(char(0)).append(char(0)); // no palette, reserved
    appendLe16(out, 1);  // planes
    appendLe16(out, 32); // bits per pixel
    appendLe32(out, imageSize);
    appendLe32(out, headerSize);

    appendLe32(out, infoSize);
    appendLe32(out, side);
    appendLe32(out, side * 2);
    appendLe16(out, 1);
    appendLe16(out, 32);
    appendLe32(out, 0); // uncompressed
    appendLe32(out, colourSize + maskSize);
    for (int i = 0; i < 4; ++i)
        appendLe32(out, 0); // resolution and palette fields unused

    for (int y = side - 1; y >= 0; --y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < side; ++x) {
            out.append(char(qBlue(line[x]))).append(char(qGreen(line[x])));
            out.append(char(qRed(line[x]))).append(char(qAlpha(line[x])));
        }
    }
    // The mask marks the fully transparent pixels, for readers that ignore alpha.
    for (int y = side - 1; y >= 0; --y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int byte = 0; byte < maskStride; ++byte) {
            unsigned bits = 0;
            for (int bit = 0; bit < 8; ++bit) {
                if (qAlpha(line[byte * 8 + bit]) == 0)
                    bits |= 0x80u >> bit;
            }
            out.append(char(bits));
        }
    }
    return out;
}

// The picture stored in a file that iconFile() wrote.
QImage storedImage(const QByteArray &bytes)
{
    constexpr int pixelsAt = 6 + 16 + 40;
    QImage image(side, side, QImage::Format_ARGB32);
    if (bytes.size() < pixelsAt + side * side * 4)
        return QImage();
    const auto *pixel = reinterpret_cast<const uchar *>(bytes.constData()) + pixelsAt;
    for (int y = side - 1; y >= 0; --y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < side; ++x, pixel += 4)
            line[x] = qRgba(pixel[2], pixel[1], pixel[0], pixel[3]);
    }
    return image;
}

// Whether the file is laid out exactly as this program writes it, and its picture is the
// gear painted now, every channel within two steps.
bool holdsTheGear(const QByteArray &bytes)
{
    const QImage stored = storedImage(bytes);
    if (stored.isNull() || iconFile(stored) != bytes)
        return false;
    const QImage painted = paintGear();
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const QRgb a = stored.pixel(x, y);
            const QRgb b = painted.pixel(x, y);
            if (qAbs(qRed(a) - qRed(b)) > 2 || qAbs(qGreen(a) - qGreen(b)) > 2 || qAbs(qBlue(a) - qBlue(b)) > 2
                || qAbs(qAlpha(a) - qAlpha(b)) > 2)
                return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--check") == 0) {
        QFile file(QFile::decodeName(argv[2]));
        if (file.open(QIODevice::ReadOnly) && holdsTheGear(file.readAll()))
            return 0;
        std::fprintf(stderr, "gear-icon: %s does not hold the gear this program paints\n", argv[2]);
        return 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.ico | --check FILE.ico\n", argc > 0 ? argv[0] : "gear-icon");
        return 2;
    }
    const QByteArray bytes = iconFile(paintGear());
    QSaveFile file(QFile::decodeName(argv[1]));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        std::fprintf(stderr, "gear-icon: cannot write %s: %s\n", argv[1],
                     qPrintable(file.errorString()));
        return 1;
    }
    return 0;
}
