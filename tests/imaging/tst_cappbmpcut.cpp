#include "vqtest.h"

#include "imaging/cappbmpcut.h"

#include <QBuffer>
#include <QImage>
#include <QRegularExpression>

#include <cstring>
#include <vector>

namespace {

// A 1-bit bottom-up BMP built byte by byte, so that tests control every header
// field and the padding bits past the width. Ink rectangles are in pixels and
// stored rows (row 0 is the bottom row) and may reach into the padding.
QByteArray bitmap(int width, int height, const QList<QRect>& inks)
{
    const int rowBytes = (width + 31) / 32 * 4;
    std::vector<quint8> px(size_t(rowBytes) * height, 0);
    for (const QRect& r : inks)
        for (int n = r.top(); n <= r.bottom(); ++n)
            for (int x = r.left(); x <= r.right(); ++x)
                px[size_t(n) * rowBytes + x / 8] |= quint8(0x80 >> (x % 8));
    QByteArray out("BM");
    auto put = [&out](quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.append(char(value >> (8 * i)));
    };
    put(quint32(62 + px.size()), 4); // file size
    put(0, 4);                       // reserved
    put(62, 4);                      // pixel data offset
    put(40, 4);
    put(quint32(width), 4);
    put(quint32(height), 4);
    put(1, 2); // planes
    put(1, 2); // bits per pixel
    put(0, 4); // no compression
    put(quint32(px.size()), 4);
    for (int i = 0; i < 4; ++i)
        put(0, 4);
    put(0x000000, 4); // palette: index 0 black, index 1 white
    put(0xFFFFFF, 4);
    return out.append(reinterpret_cast<const char*>(px.data()), int(px.size()));
}

// Overwrites a little-endian header field of `bytes` bytes.
QByteArray withField(QByteArray bmp, int offset, qint64 value, int bytes = 4)
{
    for (int i = 0; i < bytes; ++i)
        bmp[offset + i] = char((value >> (8 * i)) & 0xFF);
    return bmp;
}

// Cuts through the checked entry point into *result and, in a second pass,
// through the unchecked one; true when both agree byte for byte.
bool cutBoth(quint8 type, QByteArray bmp, BMP_CutResult_t* result, quint8 fill = 0)
{
    BMP_CutResult_t unchecked;
    std::memset(result, fill, sizeof(*result));
    std::memset(&unchecked, fill, sizeof(unchecked));
    CAppBmpCut cutter;
    cutter.OS_Apps_BmpCut(type, reinterpret_cast<const quint8*>(bmp.constData()), quint32(bmp.size()),
                          reinterpret_cast<quint8*>(result));
    cutter.OS_Apps_BmpCut(type, reinterpret_cast<quint8*>(bmp.data()), reinterpret_cast<quint8*>(&unchecked));
    return std::memcmp(result, &unchecked, sizeof(unchecked)) == 0;
}

QString describe(const BMP_CutResult_t& r, int count, int first = 0)
{
    QStringList parts;
    for (int i = first; i < count; ++i) {
        const ImageUnitInfo_t u = r._image_unit_info[i];
        parts << QString("(%1,%2 %3x%4)").arg(u._x).arg(u._y).arg(u._w).arg(u._h);
    }
    return parts.join(' ');
}

QRect words(int first, int last, int row, int rows) { return QRect((first - 1) * 32, row, (last - first + 1) * 32, rows); }

} // namespace

class CAppBmpCutTest : public QObject {
    Q_OBJECT
private slots:
    void cutsUnits_data();
    void cutsUnits();
    void ordersUnitsByDeviceType_data();
    void ordersUnitsByDeviceType();
    void allWhitePageLeavesResultUntouched();
    void surplusWindowsMergeIntoTheLastSoNoInkIsLost();
    void refusesMalformedBitmap_data();
    void refusesMalformedBitmap();
    void cutsTheStationsOwnBmpEncoding();
    void widensToTheQuantum_data();
    void widensToTheQuantum();
    void placesUnitInMillimetres_data();
    void placesUnitInMillimetres();
    void logsTypeSizeAndUnits();
};

void CAppBmpCutTest::cutsUnits_data()
{
    QTest::addColumn<QByteArray>("bmp");
    QTest::addColumn<QString>("expected"); // units as (x,y wxh), y from the top
    QTest::newRow("gap of 11 words splits")
        << bitmap(1024, 400, {words(3, 5, 100, 50), words(16, 17, 100, 50)}) << "(64,193 320x164) (480,193 320x164)";
    QTest::newRow("gap of 10 words joins")
        << bitmap(1024, 400, {words(3, 5, 100, 50), words(15, 15, 100, 50)}) << "(64,193 608x164)";
    QTest::newRow("32 widens to 320") << bitmap(1024, 400, {words(10, 10, 100, 50)}) << "(288,193 320x164)";
    QTest::newRow("320 widens to 608") << bitmap(1024, 400, {words(10, 19, 100, 50)}) << "(288,193 608x164)";
    QTest::newRow("2400 kept") << bitmap(3200, 400, {words(1, 75, 100, 50)}) << "(0,193 2400x164)";
    QTest::newRow("widening right stops at the padded edge")
        << bitmap(1024, 400, {words(32, 32, 100, 50)}) << "(704,193 320x164)";
    QTest::newRow("too narrow a bitmap narrows to 0") << bitmap(256, 400, {words(1, 2, 100, 50)}) << "(0,193 0x164)";
    QTest::newRow("no room for the lower margin") << bitmap(1024, 400, {words(1, 1, 30, 10)}) << "(0,303 320x67)";
    QTest::newRow("lower margin just fits") << bitmap(1024, 400, {words(1, 1, 57, 10)}) << "(0,276 320x124)";
    QTest::newRow("no room for the upper margin") << bitmap(1024, 400, {words(1, 1, 380, 20)}) << "(0,0 320x77)";
    QTest::newRow("ink past a 1000-pixel width is no unit") << bitmap(1000, 100, {QRect(1010, 40, 1, 1)}) << "";
    QTest::newRow("last pixel of a 1000-pixel row, moved inside the width")
        << bitmap(1000, 100, {QRect(999, 40, 1, 1)}) << "(680,2 320x58)";
    QTest::newRow("padding counts for the rows of an inked column")
        << bitmap(1000, 100, {QRect(999, 40, 1, 1), QRect(1010, 80, 1, 1)}) << "(680,19 320x41)";
    QTest::newRow("widest bitmap, every column inked")
        << bitmap(CAppBmpCut::MAX_ROW_WORDS * 32, 2, {QRect(0, 0, CAppBmpCut::MAX_ROW_WORDS * 32, 2)})
        << "(0,0 31800x2)";
}

void CAppBmpCutTest::cutsUnits()
{
    QFETCH(QByteArray, bmp);
    QFETCH(QString, expected);
    BMP_CutResult_t result;
    QVERIFY(cutBoth(DEV_TYPE_TRV_B20, bmp, &result));
    QCOMPARE(describe(result, result._total), expected);
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
    BMP_CutResult_t result;
    QVERIFY(cutBoth(quint8(type), bitmap(1600, 400, {words(1, 1, 30, 10), words(20, 20, 30, 10), words(40, 40, 30, 10)}),
                    &result, 0xAB));
    QCOMPARE(int(result._total), 3);
    QCOMPARE(describe(result, 3), expected);
    QCOMPARE(quint16(result._image_unit_info[3]._x), quint16(0xABAB)); // past the count nothing is written
}

void CAppBmpCutTest::allWhitePageLeavesResultUntouched()
{
    vqtest::LogCapture log;
    BMP_CutResult_t result;
    std::memset(&result, 0xAB, sizeof(result));
    const QByteArray bmp = bitmap(1000, 300, {});
    QCOMPARE(int(CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_A20, reinterpret_cast<const quint8*>(bmp.constData()),
                                             quint32(bmp.size()), reinterpret_cast<quint8*>(&result))),
             0);
    QCOMPARE(describe(result, 1), QString("(43947,43947 43947x43947)"));
    QCOMPARE(int(result._total), 0xAB);
    QCOMPARE(log.lines(), QStringList({"//-----------------------------// 图像处理：",
                                       "//-----------------------------// 设 备  类 型：DEV_TYPE_TRV_A20",
                                       "\"//-----------------------------// 原        图：bmp_W=1024  bmp_H=300\""}));
}

void CAppBmpCutTest::surplusWindowsMergeIntoTheLastSoNoInkIsLost()
{
    // 60 one-word windows, 11 blank words apart.
    QList<QRect> inks;
    for (int i = 0; i < 60; ++i)
        inks << words(1 + 12 * i, 1 + 12 * i, 20 + i, 3);
    vqtest::LogCapture log;
    BMP_CutResult_t result;
    QVERIFY(cutBoth(DEV_TYPE_TRV_B20, bitmap(720 * 32, 200, inks), &result));
    QCOMPARE(int(result._total), 50);
    QCOMPARE(describe(result, 50, 49), QString("(18816,61 3904x127)"));
    for (const QRect& ink : inks) {
        bool covered = false;
        for (const ImageUnitInfo_t& u : result._image_unit_info)
            covered = covered || (ink.left() >= u._x && ink.right() < u._x + u._w);
        QVERIFY2(covered, qPrintable(QString("ink at %1 left out").arg(ink.left())));
    }
    QVERIFY(log.contains("其余墨迹并入第50个图元"));
}

void CAppBmpCutTest::refusesMalformedBitmap_data()
{
    QTest::addColumn<QByteArray>("bmp");
    QTest::addColumn<QString>("reason"); // empty: accepted
    QTest::addColumn<bool>("inHeaders"); // the unchecked entry point refuses it too

    const QByteArray good = bitmap(100, 20, {QRect(10, 5, 20, 5)});
    QTest::newRow("exact length accepted") << good << "" << false;
    QTest::newRow("65535 rows accepted") << bitmap(32, 65535, {QRect(0, 65534, 1, 1)}) << "" << false;
    QTest::newRow("shorter than the headers") << good.left(53) << "不足文件头和信息头" << false;
    QTest::newRow("rows cut short by one byte") << good.left(good.size() - 1) << "不足像素数据结尾" << false;
    QTest::newRow("pixel offset past the end") << withField(good, 10, 0x7FFFFFF0) << "不足像素数据结尾" << false;
    QTest::newRow("8 bits per pixel") << withField(good, 28, 8, 2) << "只接受1位" << true;
    QTest::newRow("compressed") << withField(good, 30, 1) << "只接受不压缩" << true;
    QTest::newRow("top-down") << withField(good, 22, -20) << "自下而上" << true;
    QTest::newRow("no rows") << withField(good, 22, 0) << "自下而上" << true;
    QTest::newRow("65536 rows") << withField(good, 22, 65536) << "超过65535行" << true;
    QTest::newRow("wider than 999 words") << withField(good, 18, 999 * 32 + 1) << "超过999字" << true;
}

void CAppBmpCutTest::refusesMalformedBitmap()
{
    QFETCH(QByteArray, bmp);
    QFETCH(QString, reason);
    QFETCH(bool, inHeaders);
    // An exact-size copy, so that one byte too far is past the buffer.
    std::vector<quint8> exact(bmp.begin(), bmp.end());
    BMP_CutResult_t result;
    std::memset(&result, 0, sizeof(result));
    vqtest::LogCapture log;
    const quint8 rc = CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_B20, exact.data(), quint32(exact.size()),
                                                  reinterpret_cast<quint8*>(&result));
    QCOMPARE(int(rc), reason.isEmpty() ? 0 : 1);
    QCOMPARE(int(result._total), reason.isEmpty() ? 1 : 0);
    if (reason.isEmpty())
        return;
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(log.lines().first().contains(reason), qPrintable(log.lines().first()));
    if (inHeaders) {
        QCOMPARE(int(CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_B20, exact.data(), reinterpret_cast<quint8*>(&result))), 1);
        QCOMPARE(int(result._total), 0);
    }
}

void CAppBmpCutTest::cutsTheStationsOwnBmpEncoding()
{
    // A dot image as the print jobs write it: bit 1 is a dot, rows top first
    // in memory, stored bottom-up by the BMP writer.
    QImage dots(500, 300, QImage::Format_Mono);
    dots.fill(0);
    for (int y = 200; y < 210; ++y)
        for (int x = 40; x < 60; ++x)
            dots.setPixel(x, y, 1);
    QByteArray bmp;
    QBuffer buffer(&bmp);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(dots.save(&buffer, "BMP"));
    // Rows 200..209 from the top are stored rows 90..99; with both margins
    // the unit takes 124 rows from stored row 33.
    BMP_CutResult_t result;
    QVERIFY(cutBoth(DEV_TYPE_TRV_B20, bmp, &result));
    QCOMPARE(describe(result, result._total), QString("(32,143 320x124)"));
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
    const ImageUnitInfo_t unit{320, 100, 600, 200, 99.0f, 99.0f};
    const ImageUnitInfo_t out = CAppBmpCut::_placeUnit(unit, quint8(type), 4960, 3394);
    QCOMPARE(float(out._pos_x_mm), posX);
    QCOMPARE(float(out._pos_y_mm), posY);
}

void CAppBmpCutTest::logsTypeSizeAndUnits()
{
    const QByteArray bmp = bitmap(1024, 400, {words(3, 5, 100, 50)});
    BMP_CutResult_t result{};
    vqtest::LogCapture log;
    CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_C20, reinterpret_cast<const quint8*>(bmp.constData()),
                                quint32(bmp.size()), reinterpret_cast<quint8*>(&result));
    const QStringList lines = log.lines();
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(1), QString("//-----------------------------// 设 备  类 型：DEV_TYPE_TRV_C20"));
    // Widened left from 64 to 0; 43 stored rows below, 193 rows from the top.
    QCOMPARE(lines.at(3), QString("\"//-----------------------------// slice0：x=0 y=193 |w=320 h=164 "
                                  "|posX=16.89 mm  posY=29.80 mm\""));
    QVERIFY(QRegularExpression("^\"//-----------------------------// 图像处理用时:\\d+ms\"$").match(lines.at(4)).hasMatch());
}

VQ_TEST_MAIN(CAppBmpCutTest)
#include "tst_cappbmpcut.moc"
