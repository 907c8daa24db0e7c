#include "vqtest.h"

#include "imaging/cappbmpcut.h"

#include <QBuffer>
#include <QImage>
#include <QtEndian>

#include <cstring>
#include <vector>

namespace {

// A 1-bit bottom-up BMP built byte by byte, so that tests control every
// header field and the padding bits past the width.
struct Bitmap {
    int width;
    int height;
    int rowBytes;
    std::vector<quint8> pixels;

    Bitmap(int w = 0, int h = 0) : width(w), height(h), rowBytes((w + 31) / 32 * 4), pixels(size_t(rowBytes) * h, 0) {}

    // Sets ink at pixel x of stored row n (0 is the bottom row); x may lie in
    // the padding of the last word.
    void ink(int x, int storedRow) { pixels[size_t(storedRow) * rowBytes + x / 8] |= quint8(0x80 >> (x % 8)); }
    void inkRect(int x, int storedRow, int w, int h)
    {
        for (int n = storedRow; n < storedRow + h; ++n)
            for (int i = x; i < x + w; ++i)
                ink(i, n);
    }
    // Ink across whole word columns (1-based, inclusive) in stored rows.
    void inkWords(int firstWord, int lastWord, int storedRow, int rows)
    {
        inkRect((firstWord - 1) * 32, storedRow, (lastWord - firstWord + 1) * 32, rows);
    }

    QByteArray file() const
    {
        const int offBits = 14 + 40 + 8;
        uchar p[offBits] = {};
        p[0] = 'B';
        p[1] = 'M';
        qToLittleEndian<quint32>(quint32(offBits + pixels.size()), p + 2);
        qToLittleEndian<quint32>(quint32(offBits), p + 10);
        qToLittleEndian<quint32>(40, p + 14);
        qToLittleEndian<quint32>(quint32(width), p + 18);
        qToLittleEndian<qint32>(height, p + 22);
        qToLittleEndian<quint16>(1, p + 26);
        qToLittleEndian<quint16>(1, p + 28);
        qToLittleEndian<quint32>(quint32(pixels.size()), p + 34);
        p[58] = p[59] = p[60] = 0xFF; // palette: index 0 black, index 1 white
        QByteArray out(reinterpret_cast<const char*>(p), offBits);
        out.append(reinterpret_cast<const char*>(pixels.data()), int(pixels.size()));
        return out;
    }
};

struct Unit {
    int x, y, w, h;
};

QList<Unit> unitsOf(const BMP_CutResult_t& r, int count)
{
    QList<Unit> out;
    for (int i = 0; i < count; ++i) {
        const ImageUnitInfo_t u = r._image_unit_info[i];
        out.append({u._x, u._y, u._w, u._h});
    }
    return out;
}

QString describe(const QList<Unit>& units)
{
    QStringList parts;
    for (const Unit& u : units)
        parts << QString("(%1,%2 %3x%4)").arg(u.x).arg(u.y).arg(u.w).arg(u.h);
    return parts.join(' ');
}

BMP_CutResult_t cut(quint8 type, const QByteArray& bmp)
{
    BMP_CutResult_t result;
    std::memset(&result, 0, sizeof(result));
    CAppBmpCut cutter;
    cutter.OS_Apps_BmpCut(type, reinterpret_cast<const quint8*>(bmp.constData()), quint32(bmp.size()),
                          reinterpret_cast<quint8*>(&result));
    return result;
}

// Overwrites a little-endian header field of `bytes` bytes.
void setField(QByteArray& bmp, int offset, qint64 value, int bytes = 4)
{
    for (int i = 0; i < bytes; ++i)
        bmp[offset + i] = char((value >> (8 * i)) & 0xFF);
}

} // namespace

Q_DECLARE_METATYPE(Bitmap)

class CAppBmpCutTest : public QObject {
    Q_OBJECT
private slots:
    void cutsUnits_data();
    void cutsUnits();
    void ordersUnitsByDeviceType_data();
    void ordersUnitsByDeviceType();
    void allWhitePageLeavesResultUntouched();
    void surplusWindowsMergeIntoTheLastSoNoInkIsLost();
    void widestBitmapStaysWithinTables();
    void refusesMalformedBitmap_data();
    void refusesMalformedBitmap();
    void uncheckedEntryRefusesTopDownBitmap();
    void bothEntryPointsCutAlike();
    void cutsTheStationsOwnBmpEncoding();
    void widensToTheQuantum_data();
    void widensToTheQuantum();
    void placesUnitInMillimetres_data();
    void placesUnitInMillimetres();
    void logsTypeSizeAndUnits();
};

void CAppBmpCutTest::cutsUnits_data()
{
    QTest::addColumn<Bitmap>("bitmap");
    QTest::addColumn<QString>("expected"); // units as (x,y wxh), type 2 order

    {
        Bitmap b(1024, 400);
        b.inkWords(3, 5, 100, 50);
        b.inkWords(16, 17, 100, 50);
        QTest::newRow("gap of 11 words splits") << b << "(64,193 320x164) (480,193 320x164)";
    }
    {
        Bitmap b(1024, 400);
        b.inkWords(3, 5, 100, 50);
        b.inkWords(15, 15, 100, 50);
        QTest::newRow("gap of 10 words joins") << b << "(64,193 608x164)";
    }
    {
        Bitmap b(1024, 400);
        b.inkWords(10, 10, 100, 50);
        QTest::newRow("32 widens to 320") << b << "(288,193 320x164)";
    }
    {
        Bitmap b(1024, 400);
        b.inkWords(10, 19, 100, 50);
        QTest::newRow("320 widens to 608") << b << "(288,193 608x164)";
    }
    {
        Bitmap b(3200, 400);
        b.inkWords(1, 75, 100, 50);
        QTest::newRow("2400 kept") << b << "(0,193 2400x164)";
    }
    {
        Bitmap b(1024, 400);
        b.inkWords(32, 32, 100, 50);
        QTest::newRow("right widening stops at the padded edge") << b << "(704,193 320x164)";
    }
    {
        Bitmap b(256, 400);
        b.inkWords(1, 2, 100, 50);
        QTest::newRow("too narrow a bitmap narrows to 0") << b << "(0,193 0x164)";
    }
    {
        Bitmap b(1024, 400);
        b.inkWords(1, 1, 30, 10);
        QTest::newRow("no room for the lower margin") << b << "(0,303 320x67)";
    }
    {
        Bitmap b(1024, 400);
        b.inkWords(1, 1, 57, 10);
        QTest::newRow("lower margin just fits") << b << "(0,276 320x124)";
    }
    {
        Bitmap b(1024, 400);
        b.inkWords(1, 1, 380, 20);
        QTest::newRow("no room for the upper margin") << b << "(0,0 320x77)";
    }
    {
        Bitmap b(1000, 100);
        b.ink(1010, 40);
        QTest::newRow("ink past the width is no unit") << b << "";
    }
    {
        Bitmap b(1000, 100);
        b.ink(999, 40);
        QTest::newRow("last pixel of a 1000-wide row moves inside the width") << b << "(680,2 320x58)";
    }
    {
        Bitmap b(1000, 100);
        b.ink(999, 40);
        b.ink(1010, 80);
        QTest::newRow("padding counts for the rows of an inked column") << b << "(680,19 320x41)";
    }
}

void CAppBmpCutTest::cutsUnits()
{
    QFETCH(Bitmap, bitmap);
    QFETCH(QString, expected);
    const BMP_CutResult_t result = cut(DEV_TYPE_TRV_B20, bitmap.file());
    QCOMPARE(describe(unitsOf(result, result._total)), expected);
}

void CAppBmpCutTest::ordersUnitsByDeviceType_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");
    QTest::newRow("A20 rightmost first, widened left") << 1 << "(960,303 320x67) (320,303 320x67) (0,303 320x67)";
    QTest::newRow("B20 leftmost first, widened right") << 2 << "(0,303 320x67) (608,303 320x67) (1248,303 320x67)";
    QTest::newRow("C20 rightmost first, widened left") << 3 << "(960,303 320x67) (320,303 320x67) (0,303 320x67)";
    QTest::newRow("unknown type writes only the count") << 9 << "(0,0 0x0) (0,0 0x0) (0,0 0x0)";
}

void CAppBmpCutTest::ordersUnitsByDeviceType()
{
    QFETCH(int, type);
    QFETCH(QString, expected);
    Bitmap b(1600, 400);
    b.inkWords(1, 1, 30, 10);
    b.inkWords(20, 20, 30, 10);
    b.inkWords(40, 40, 30, 10);
    BMP_CutResult_t result;
    std::memset(&result, 0xAB, sizeof(result));
    const QByteArray bmp = b.file();
    CAppBmpCut().OS_Apps_BmpCut(quint8(type), reinterpret_cast<const quint8*>(bmp.constData()), quint32(bmp.size()),
                                reinterpret_cast<quint8*>(&result));
    QCOMPARE(int(result._total), 3);
    QCOMPARE(describe(unitsOf(result, 3)), expected);
    QCOMPARE(result._image_unit_info[3]._x, quint16(0xABAB)); // past the count nothing is written
}

void CAppBmpCutTest::allWhitePageLeavesResultUntouched()
{
    vqtest::LogCapture log;
    BMP_CutResult_t result;
    std::memset(&result, 0xAB, sizeof(result));
    BMP_CutResult_t before = result;
    const QByteArray bmp = Bitmap(1000, 300).file();
    const quint8 rc = CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_A20, reinterpret_cast<const quint8*>(bmp.constData()),
                                                  quint32(bmp.size()), reinterpret_cast<quint8*>(&result));
    QCOMPARE(int(rc), 0);
    QVERIFY(std::memcmp(&result, &before, sizeof(result)) == 0);
    QCOMPARE(log.lines(), QStringList({"//-----------------------------// 图像处理：",
                                       "//-----------------------------// 设 备  类 型：DEV_TYPE_TRV_A20",
                                       "\"//-----------------------------// 原        图：bmp_W=1024  bmp_H=300\""}));
}

void CAppBmpCutTest::surplusWindowsMergeIntoTheLastSoNoInkIsLost()
{
    // 60 one-word windows, 11 blank words apart.
    Bitmap b(720 * 32, 200);
    QList<int> inkedWords;
    for (int i = 0; i < 60; ++i) {
        inkedWords << 1 + 12 * i;
        b.inkWords(1 + 12 * i, 1 + 12 * i, 20 + i, 3);
    }
    vqtest::LogCapture log;
    const BMP_CutResult_t result = cut(DEV_TYPE_TRV_B20, b.file());
    QCOMPARE(int(result._total), 50);
    const ImageUnitInfo_t last = result._image_unit_info[49];
    QCOMPARE(int(last._x), 588 * 32);
    QCOMPARE(int(last._w), 3904);
    for (int word : inkedWords) {
        const int px = (word - 1) * 32;
        bool covered = false;
        for (int i = 0; i < 50; ++i) {
            const ImageUnitInfo_t u = result._image_unit_info[i];
            covered = covered || (px >= u._x && px + 32 <= u._x + u._w);
        }
        QVERIFY2(covered, qPrintable(QString("word %1 left out").arg(word)));
    }
    QVERIFY(log.contains("其余墨迹并入第50个图元"));
}

void CAppBmpCutTest::widestBitmapStaysWithinTables()
{
    Bitmap b(CAppBmpCut::MAX_ROW_WORDS * 32, 2);
    b.inkRect(0, 0, b.width, 2);
    const BMP_CutResult_t result = cut(DEV_TYPE_TRV_B20, b.file());
    QCOMPARE(int(result._total), 1);
    QCOMPARE(int(result._image_unit_info[0]._x), 0);
}

void CAppBmpCutTest::refusesMalformedBitmap_data()
{
    QTest::addColumn<QByteArray>("bmp");
    QTest::addColumn<QString>("reason"); // empty: accepted

    Bitmap b(100, 20);
    b.inkRect(10, 5, 20, 5);
    const QByteArray good = b.file();

    QTest::newRow("exact length accepted") << good << "";
    QTest::newRow("shorter than the headers") << good.left(53) << "不足文件头和信息头";
    QTest::newRow("rows cut short by one byte") << good.left(good.size() - 1) << "不足像素数据结尾";
    QByteArray bmp = good;
    setField(bmp, 10, 0x7FFFFFF0);
    QTest::newRow("pixel offset past the end") << bmp << "不足像素数据结尾";
    bmp = good;
    setField(bmp, 28, 8, 2);
    QTest::newRow("8 bits per pixel") << bmp << "只接受1位";
    bmp = good;
    setField(bmp, 30, 1);
    QTest::newRow("compressed") << bmp << "只接受不压缩";
    bmp = good;
    setField(bmp, 22, -20);
    QTest::newRow("top-down") << bmp << "自下而上";
    bmp = good;
    setField(bmp, 22, 0);
    QTest::newRow("no rows") << bmp << "自下而上";
    bmp = good;
    setField(bmp, 22, 65536);
    QTest::newRow("65536 rows") << bmp << "超过65535行";
    bmp = good;
    setField(bmp, 18, 999 * 32 + 1);
    QTest::newRow("wider than 999 words") << bmp << "超过999字";

    Bitmap tall(32, 65535);
    tall.ink(0, 65534);
    QTest::newRow("65535 rows accepted") << tall.file() << "";
}

void CAppBmpCutTest::refusesMalformedBitmap()
{
    QFETCH(QByteArray, bmp);
    QFETCH(QString, reason);
    BMP_CutResult_t result;
    std::memset(&result, 0, sizeof(result));
    // An exact-size copy, so that reading one byte too far is reading past it.
    std::vector<quint8> exact(bmp.begin(), bmp.end());
    vqtest::LogCapture log;
    const quint8 rc = CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_B20, exact.data(), quint32(exact.size()),
                                                  reinterpret_cast<quint8*>(&result));
    if (reason.isEmpty()) {
        QCOMPARE(int(rc), 0);
        QCOMPARE(int(result._total), 1);
        return;
    }
    QCOMPARE(int(rc), 1);
    QCOMPARE(int(result._total), 0);
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(log.lines().first().contains(reason), qPrintable(log.lines().first()));
}

void CAppBmpCutTest::uncheckedEntryRefusesTopDownBitmap()
{
    Bitmap b(64, 10);
    b.inkRect(0, 0, 64, 10);
    QByteArray bmp = b.file();
    setField(bmp, 22, -10);
    BMP_CutResult_t result;
    std::memset(&result, 0, sizeof(result));
    vqtest::LogCapture log;
    const quint8 rc = CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_B20, reinterpret_cast<quint8*>(bmp.data()),
                                                  reinterpret_cast<quint8*>(&result));
    QCOMPARE(int(rc), 1);
    QCOMPARE(int(result._total), 0);
    QCOMPARE(log.lines().size(), 1);
}

void CAppBmpCutTest::bothEntryPointsCutAlike()
{
    // Four inked patches, each more than 10 words from the next.
    Bitmap b(2000, 500);
    quint32 seed = 12345;
    for (int i = 0; i < 4; ++i) {
        seed = seed * 1103515245u + 12345u;
        b.inkRect(i * 500 + int(seed % 50), int((seed >> 12) % 480), 1 + int(seed % 60), 1 + int((seed >> 20) % 15));
    }
    QByteArray bmp = b.file();
    for (quint8 type : {quint8(1), quint8(2), quint8(3)}) {
        BMP_CutResult_t checked;
        BMP_CutResult_t unchecked;
        std::memset(&checked, 0, sizeof(checked));
        std::memset(&unchecked, 0, sizeof(unchecked));
        CAppBmpCut cutter;
        cutter.OS_Apps_BmpCut(type, reinterpret_cast<const quint8*>(bmp.constData()), quint32(bmp.size()),
                              reinterpret_cast<quint8*>(&checked));
        cutter.OS_Apps_BmpCut(type, reinterpret_cast<quint8*>(bmp.data()), reinterpret_cast<quint8*>(&unchecked));
        QCOMPARE(int(checked._total), 4);
        QVERIFY(std::memcmp(&checked, &unchecked, sizeof(checked)) == 0);
    }
}

void CAppBmpCutTest::cutsTheStationsOwnBmpEncoding()
{
    // The dot image as the print jobs write it: bit 1 is a dot, rows from
    // the top in memory, saved bottom-up by the BMP writer.
    QImage dots(500, 300, QImage::Format_Mono);
    dots.fill(0);
    for (int y = 200; y < 210; ++y)
        for (int x = 40; x < 60; ++x)
            dots.setPixel(x, y, 1);
    QByteArray bmp;
    QBuffer buffer(&bmp);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(dots.save(&buffer, "BMP"));
    const BMP_CutResult_t result = cut(DEV_TYPE_TRV_B20, bmp);
    // Inked rows 200..209 from the top are stored rows 90..99; margins below
    // and above make it 143 rows from stored row 33.
    QCOMPARE(describe(unitsOf(result, result._total)), QString("(32,143 320x124)"));
}

void CAppBmpCutTest::widensToTheQuantum_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("expectedX");
    QTest::addColumn<int>("expectedW");
    QTest::newRow("A20 left from 100 stops at 0") << 1 << 100 << 32 << 0 << 320;
    QTest::newRow("C20 left from 400") << 3 << 400 << 32 << 112 << 320;
    QTest::newRow("B20 right from 100") << 2 << 100 << 32 << 100 << 320;
    QTest::newRow("B20 right against the edge") << 2 << 4900 << 32 << 4640 << 320;
    QTest::newRow("other types widen right") << 7 << 4900 << 32 << 4640 << 320;
    QTest::newRow("exact quantum kept") << 1 << 96 << 2400 << 96 << 2400;
    QTest::newRow("no room narrows") << 2 << 0 << 4960 << 0 << 4800;
}

void CAppBmpCutTest::widensToTheQuantum()
{
    QFETCH(int, type);
    QFETCH(int, x);
    QFETCH(int, w);
    QFETCH(int, expectedX);
    QFETCH(int, expectedW);
    ImageUnitInfo_t unit{};
    unit._x = quint16(x);
    unit._w = quint16(w);
    const ImageUnitInfo_t out = CAppBmpCut::_quantiseWidth(unit, quint8(type), 4960);
    QCOMPARE(int(out._x), expectedX);
    QCOMPARE(int(out._w), expectedW);
}

void CAppBmpCutTest::placesUnitInMillimetres_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<float>("posX");
    QTest::addColumn<float>("posY");
    // Unit at x 320, y 100 (from the top), 600 x 200 on a 4960 x 3394 page.
    QTest::newRow("A20 bottom and right edges") << 1 << 270.7117004394531f << 171.02667236328125f;
    QTest::newRow("B20 bottom and left edges") << 2 << 270.7117004394531f << 13.546667098999023f;
    QTest::newRow("C20 top and right edges") << 3 << 8.7495698928833f << 171.02667236328125f;
    QTest::newRow("unknown type at 0, 0") << 0 << 0.0f << 0.0f;
}

void CAppBmpCutTest::placesUnitInMillimetres()
{
    QFETCH(int, type);
    QFETCH(float, posX);
    QFETCH(float, posY);
    ImageUnitInfo_t unit{};
    unit._x = 320;
    unit._y = 100;
    unit._w = 600;
    unit._h = 200;
    unit._pos_x_mm = 99.0f;
    unit._pos_y_mm = 99.0f;
    const ImageUnitInfo_t out = CAppBmpCut::_placeUnit(unit, quint8(type), 4960, 3394);
    QCOMPARE(out._pos_x_mm, posX);
    QCOMPARE(out._pos_y_mm, posY);
}

void CAppBmpCutTest::logsTypeSizeAndUnits()
{
    Bitmap b(1024, 400);
    b.inkWords(3, 5, 100, 50);
    vqtest::LogCapture log;
    cut(DEV_TYPE_TRV_C20, b.file());
    const QStringList lines = log.lines();
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(1), QString("//-----------------------------// 设 备  类 型：DEV_TYPE_TRV_C20"));
    // Widened left from 64 to 0; 43 stored rows below, 193 rows from the top.
    QCOMPARE(lines.at(3), QString("\"//-----------------------------// slice0：x=0 y=193 |w=320 h=164 "
                                  "|posX=16.89 mm  posY=29.80 mm\""));
    QVERIFY(lines.at(4).startsWith("\"//-----------------------------// 图像处理用时:"));
    QVERIFY(lines.at(4).endsWith("ms\""));
}

VQ_TEST_MAIN(CAppBmpCutTest)
#include "tst_cappbmpcut.moc"
