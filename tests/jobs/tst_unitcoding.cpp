#include "vqtest.h"

#include "jobs/dotimage.h"
#include "jobs/sendimgqueuethread.h"
#include "jobs/unitencoder.h"
#include "pixelrules.h"

#include <cstring>
#include <random>

namespace {

using pixelrules::bits;
using pixelrules::zeroMono;

// Every stored byte random, most of them 0xFF, so white, near-white and
// alpha-only differences all occur; padding bytes are filled too.
QImage randomImage(int w, int h, QImage::Format format, quint32 seed)
{
    std::mt19937 random(seed);
    QImage image(w, h, format);
    if (format == QImage::Format_Indexed8) {
        QVector<QRgb> table;
        for (int i = 0; i < 256; ++i)
            table << (i % 4 == 0 ? 0xFFFFFFFFu : i % 4 == 1 ? 0x00FFFFFFu : i % 4 == 2 ? 0xFFFFFFFEu : random());
        image.setColorTable(table);
    }
    for (int y = 0; y < h; ++y) {
        uchar* line = image.scanLine(y);
        for (int i = 0; i < image.bytesPerLine(); ++i)
            line[i] = random() % 10 < 8 ? 0xFF : uchar(random());
    }
    return image;
}

QImage monoWithTable(const QImage& image, QRgb c0, QRgb c1)
{
    QImage copy = image;
    copy.setColorTable({c0, c1});
    return copy;
}

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

} // namespace

class UnitCodingTest : public QObject {
    Q_OBJECT
private slots:
    void dotImageMatchesPixelRule_data();
    void dotImageMatchesPixelRule();
    void cropMatchesPixelCopy_data();
    void cropMatchesPixelCopy();
    void emptinessMatchesPixelRule_data();
    void emptinessMatchesPixelRule();
    void unitCodesByteForByte_data();
    void unitCodesByteForByte();
    void runsSplitAt255_data();
    void runsSplitAt255();
    void paddingBitsGoOutAsZero();
};

void UnitCodingTest::dotImageMatchesPixelRule_data()
{
    QTest::addColumn<QImage>("page");
    const QImage mono = randomImage(37, 9, QImage::Format_Mono, 1);
    QTest::newRow("1-bit, black and white") << monoWithTable(mono, 0xFF000000u, 0xFFFFFFFFu);
    QTest::newRow("1-bit, white first") << monoWithTable(mono, 0xFFFFFFFFu, 0xFF000000u);
    QTest::newRow("1-bit, both white") << monoWithTable(mono, 0xFFFFFFFFu, 0xFFFFFFFFu);
    QTest::newRow("1-bit, neither colour opaque white") << monoWithTable(mono, 0x00FFFFFFu, 0xFEFFFFFFu);
    QTest::newRow("1-bit lsb first") << monoWithTable(randomImage(45, 5, QImage::Format_MonoLSB, 2), 0xFFFFFFFFu,
                                                      0xFF000000u);
    const QList<QImage::Format> formats = {
        QImage::Format_Indexed8,    QImage::Format_Grayscale8,  QImage::Format_RGB888,
        QImage::Format_RGB32,       QImage::Format_ARGB32,      QImage::Format_ARGB32_Premultiplied,
        QImage::Format_RGB16,       QImage::Format_RGBA8888,    QImage::Format_RGBX8888,
        QImage::Format_Grayscale16, QImage::Format_RGBA64,      QImage::Format_A2RGB30_Premultiplied,
        QImage::Format_Alpha8,      QImage::Format_ARGB4444_Premultiplied,
    };
    for (QImage::Format f : formats) {
        for (int w : {1, 33, 70}) {
            QTest::addRow("format %d, width %d", int(f), w) << randomImage(w, 7, f, quint32(f * 100 + w));
        }
    }
    QImage argb(3, 1, QImage::Format_ARGB32);
    argb.setPixel(0, 0, 0xFFFFFFFFu);
    argb.setPixel(1, 0, 0xFEFFFFFFu);
    argb.setPixel(2, 0, 0x00FFFFFFu);
    QTest::newRow("white differing only in alpha") << argb;
}

void UnitCodingTest::dotImageMatchesPixelRule()
{
    QFETCH(QImage, page);
    const QImage dots = DotImage::fromPage(page);
    QCOMPARE(dots.format(), QImage::Format_Mono);
    QCOMPARE(dots.colorTable(), (QVector<QRgb>{0xFF000000u, 0xFFFFFFFFu}));
    QCOMPARE(bits(dots), bits(pixelrules::dots(page)));
}

void UnitCodingTest::cropMatchesPixelCopy_data()
{
    QTest::addColumn<QRect>("rect");
    QTest::newRow("inside, byte aligned") << QRect(8, 3, 40, 10);
    QTest::newRow("inside, odd offset and width") << QRect(5, 1, 23, 7);
    QTest::newRow("whole image") << QRect(0, 0, 77, 20);
    QTest::newRow("past the right edge") << QRect(60, 2, 64, 5);
    QTest::newRow("past the bottom") << QRect(3, 15, 30, 12);
    QTest::newRow("left of the image") << QRect(-5, 0, 20, 4);
    QTest::newRow("wholly outside") << QRect(100, 30, 32, 3);
}

void UnitCodingTest::cropMatchesPixelCopy()
{
    QFETCH(QRect, rect);
    // Source bits past the width are set on purpose: they must not leak in.
    const QImage dots = randomImage(77, 20, QImage::Format_Mono, 7);
    const QImage crop = DotImage::crop(dots, rect.x(), rect.y(), rect.width(), rect.height());
    QCOMPARE(crop.size(), rect.size());
    QCOMPARE(bits(crop), bits(pixelrules::crop(dots, rect)));
}

void UnitCodingTest::emptinessMatchesPixelRule_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<bool>("empty");
    const QImage blank = zeroMono(QSize(45, 3));
    QImage oneDot = blank;
    oneDot.setPixel(44, 2, 1);
    QImage padding = blank;
    padding.scanLine(1)[7] = 0x07; // bits past a width of 45 only
    QImage full = blank;
    std::memset(full.bits(), 0xFF, size_t(full.sizeInBytes()));
    QTest::newRow("no bit set") << blank << true;
    QTest::newRow("last dot set") << oneDot << false;
    QTest::newRow("only padding set") << padding << true;
    QTest::newRow("all set, white first") << monoWithTable(full, 0xFFFFFFFFu, 0xFF000000u) << true;
    QTest::newRow("transparent black") << monoWithTable(oneDot, 0x00000000u, 0xFF000000u) << true;
    QTest::newRow("random") << randomImage(50, 4, QImage::Format_Mono, 3) << false;
}

void UnitCodingTest::emptinessMatchesPixelRule()
{
    QFETCH(QImage, image);
    QFETCH(bool, empty);
    SendImgQueueThread thread;
    QCOMPARE(pixelrules::allBlack(image), empty);
    QCOMPARE(thread.isAllBlack(image), empty);

    vqtest::LogCapture log;
    QVERIFY(!thread.isAllBlack(image.convertToFormat(QImage::Format_RGB32)));
    QVERIFY(!thread.isAllBlack(QImage()));
    QCOMPARE(log.count("Image format is not Format_Mono."), 2);
}

void UnitCodingTest::unitCodesByteForByte_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("payload");
    // The descriptor's own bytes join runs; the high byte of Height runs on
    // into the row bytes.
    QTest::newRow("one zero row") << 1 << hex("00000000000000000000000000" "2c01" "2000" "0100" "00000000")
                                  << hex("0d00" "012c" "0101" "0120" "0100" "0101" "0500");
    QTest::newRow("ten zero rows") << 10
                                   << hex("00000000000000000000000000" "2c01" "2000" "0a00") + QByteArray(40, '\0')
                                   << hex("0d00" "012c" "0101" "0120" "0100" "010a" "2900");
    QTest::newRow("null image, descriptor alone") << 0 << hex("00000000000000000000000000" "2c01" "2000" "0000")
                                                  << hex("0d00" "012c" "0101" "0120" "0300");
}

void UnitCodingTest::unitCodesByteForByte()
{
    QFETCH(int, rows);
    QFETCH(QByteArray, raw);
    QImage unit;
    if (rows > 0)
        unit = zeroMono(QSize(32, rows));
    const SysSlice_t slice = UnitEncoder::descriptor(0, 32, quint16(rows), 0.0f, 0.0f, 0);
    QCOMPARE(UnitEncoder::rawUnit(unit, slice), raw);
    QTEST(UnitEncoder::payload(unit, slice), "payload");
}

void UnitCodingTest::runsSplitAt255_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("pairs");
    QTest::newRow("300 equal") << QByteArray(300, '\x07') << hex("ff07" "2d07");
    QTest::newRow("255 equal") << QByteArray(255, '\x07') << hex("ff07");
    QTest::newRow("600 equal") << QByteArray(600, '\x07') << hex("ff07" "ff07" "5a07");
    QTest::newRow("no equal neighbours") << hex("0102010203") << hex("0101" "0102" "0101" "0102" "0103");
}

void UnitCodingTest::runsSplitAt255()
{
    QFETCH(QByteArray, raw);
    QTEST(UnitEncoder::runLength(raw), "pairs");
}

void UnitCodingTest::paddingBitsGoOutAsZero()
{
    QImage unit(20, 2, QImage::Format_Mono);
    // Every bit, the 12 after the last dot of each row too.
    std::memset(unit.bits(), 0xFF, size_t(unit.sizeInBytes()));
    const QByteArray raw = UnitEncoder::rawUnit(unit, UnitEncoder::descriptor(0, 20, 2, 0, 0, 1));
    QCOMPARE(raw.mid(19), hex("fffff000" "fffff000"));
}

VQ_TEST_MAIN(UnitCodingTest)
#include "tst_unitcoding.moc"
