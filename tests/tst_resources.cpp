// The compiled-in resource bundle: its tree, the gear icon's bytes and storage, and the
// window icon made from it.

#include "mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLocale>
#include <QResource>
#include <QSet>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {

const QString gearPath = QStringLiteral(":/assets/gear.ico");
constexpr qsizetype gearSize = 67646;
constexpr int imageOffset = 22;

QByteArray readGear()
{
    QFile file(gearPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QSet<QString> rootEntries()
{
    const QStringList entries = QDir(QStringLiteral(":/")).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    return QSet<QString>(entries.begin(), entries.end());
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void bundleAddsOnlyAssets();
    void assetsHoldOnlyTheGear();
    void gearIsZlibCompressedWithTime();
    void gearFields_data();
    void gearFields();
    void gearMaskMarksTransparentPixels();
    void gearEqualsCommittedFile();
    void gearResolvesUnderAnyLocale_data();
    void gearResolvesUnderAnyLocale();
    void windowShowsTheGear();
};

// Qt's own bundles may stand at the root too; what matters is what ours adds, seen by
// taking it out for a moment.
void TestResources::bundleAddsOnlyAssets()
{
    const QSet<QString> withBundle = rootEntries();
    Q_CLEANUP_RESOURCE(resources);
    const QSet<QString> withoutBundle = rootEntries();
    const bool gearGone = !QFile::exists(gearPath);
    Q_INIT_RESOURCE(resources);

    QVERIFY(gearGone);
    QCOMPARE(withBundle - withoutBundle, QSet<QString>{ QStringLiteral("assets") });
    QVERIFY(QFile::exists(gearPath));
}

void TestResources::assetsHoldOnlyTheGear()
{
    const QStringList entries = QDir(QStringLiteral(":/assets")).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    QCOMPARE(entries, QStringList{ QStringLiteral("gear.ico") });
}

void TestResources::gearIsZlibCompressedWithTime()
{
    const QResource resource(gearPath);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::ZlibCompression);
    QCOMPARE(resource.uncompressedSize(), gearSize);
    // Only bundles of format version 2 and later record a modification time.
    QVERIFY(resource.lastModified().isValid());
    QVERIFY(resource.lastModified().toMSecsSinceEpoch() > 0);
}

// Little-endian fields of the icon file: its header, the directory entry and the
// bitmap header of the one image.
void TestResources::gearFields_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("size");
    QTest::addColumn<uint>("value");

    const struct { const char *name; int offset; int size; uint value; } fields[] = {
        { "reserved", 0, 2, 0 },
        { "type icon", 2, 2, 1 },
        { "one image", 4, 2, 1 },
        { "entry width", 6, 1, 128 },
        { "entry height", 7, 1, 128 },
        { "entry colours", 8, 1, 0 },
        { "entry reserved", 9, 1, 0 },
        { "entry planes", 10, 2, 1 },
        { "entry bits", 12, 2, 32 },
        { "entry bytes", 14, 4, 67624 },
        { "entry offset", 18, 4, imageOffset },
        { "bitmap header size", 22, 4, 40 },
        { "bitmap width", 26, 4, 128 },
        { "bitmap height, colour and mask", 30, 4, 256 },
        { "bitmap planes", 34, 2, 1 },
        { "bitmap bits", 36, 2, 32 },
        { "bitmap uncompressed", 38, 4, 0 },
        { "bitmap image size", 42, 4, 67584 },
        { "bitmap x resolution", 46, 4, 0 },
        { "bitmap y resolution", 50, 4, 0 },
        { "bitmap colours used", 54, 4, 0 },
        { "bitmap colours important", 58, 4, 0 },
    };
    for (const auto &field : fields)
        QTest::newRow(field.name) << field.offset << field.size << field.value;
}

void TestResources::gearFields()
{
    QFETCH(int, offset);
    QFETCH(int, size);
    QFETCH(uint, value);

    const QByteArray gear = readGear();
    QCOMPARE(gear.size(), gearSize);
    const uchar *at = reinterpret_cast<const uchar *>(gear.constData()) + offset;
    const uint actual = size == 1 ? *at : size == 2 ? qFromLittleEndian<quint16>(at)
                                                    : qFromLittleEndian<quint32>(at);
    QCOMPARE(actual, value);
}

// Both the colour rows and the mask rows run bottom-up; a mask bit is set exactly where
// the colour pixel is fully transparent.
void TestResources::gearMaskMarksTransparentPixels()
{
    const QByteArray gear = readGear();
    QCOMPARE(gear.size(), gearSize);
    const int colourStart = imageOffset + 40;
    const int maskStart = colourStart + 128 * 128 * 4;
    int transparent = 0;
    for (int row = 0; row < 128; ++row) {
        for (int x = 0; x < 128; ++x) {
            const uchar alpha = uchar(gear[colourStart + (row * 128 + x) * 4 + 3]);
            const bool masked = uchar(gear[maskStart + row * 16 + x / 8]) & (0x80 >> (x % 8));
            if (masked != (alpha == 0))
                QFAIL(qPrintable(QStringLiteral("mask disagrees at row %1, column %2").arg(row).arg(x)));
            transparent += masked;
        }
    }
    // A picture, not an empty or a solid square.
    QVERIFY(transparent > 0);
    QVERIFY(transparent < 128 * 128);
}

void TestResources::gearEqualsCommittedFile()
{
    QFile committed(QStringLiteral(GEAR_ICO));
    if (!committed.exists())
        QSKIP("the source tree's assets/gear.ico is not reachable from here");
    QVERIFY(committed.open(QIODevice::ReadOnly));
    QVERIFY(readGear() == committed.readAll());
}

void TestResources::gearResolvesUnderAnyLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany);
    QTest::newRow("Japanese") << QLocale(QLocale::Japanese, QLocale::Japan);
    QTest::newRow("Arabic") << QLocale(QLocale::Arabic, QLocale::Egypt);
    QTest::newRow("C") << QLocale::c();
}

void TestResources::gearResolvesUnderAnyLocale()
{
    QFETCH(QLocale, locale);
    const QLocale previous;
    QLocale::setDefault(locale);
    const QByteArray gear = readGear();
    const bool valid = QResource(gearPath).isValid();
    QLocale::setDefault(previous);

    QVERIFY(valid);
    QCOMPARE(gear.size(), gearSize);
}

void TestResources::windowShowsTheGear()
{
    MainWindow window;
    const QIcon icon = window.windowIcon();
    QVERIFY(!icon.isNull());
    QVERIFY(icon.availableSizes().contains(QSize(128, 128)));

    // Decoded by Qt's own icon reader: transparent corners and hole, an opaque body.
    const QImage image = icon.pixmap(QSize(128, 128)).toImage();
    QCOMPARE(image.size(), QSize(128, 128));
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(image.pixel(64, 64)), 0);
    QCOMPARE(qAlpha(image.pixel(64, 30)), 255);
}

int main(int argc, char *argv[])
{
    // The window writes override.cfg in the working directory and looks for the game's
    // files under the per-user data folder: keep both inside a throwaway folder.
    QTemporaryDir sandbox;
    if (!sandbox.isValid())
        return 1;
    qputenv("XDG_DATA_HOME", QFile::encodeName(sandbox.filePath(QStringLiteral("data"))));
    QApplication app(argc, argv);
    if (!QDir::setCurrent(sandbox.path()))
        return 1;
    TestResources test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_resources.moc"
