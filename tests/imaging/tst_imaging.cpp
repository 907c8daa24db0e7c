#include "vqtest.h"

#include "app/appconfig.h"
#include "imaging/cappbmpcut.h"
#include "imaging/imagework.h"
#include "pixelrules.h"

#include <QPainter>

Q_DECLARE_METATYPE(SliceArea_t)

namespace {

// A page of a kind the station may be given, every byte random so that each
// bit position, and for colour kinds white, grey and alpha, occurs.
QImage makePage(const QString& kind, int w, int h, quint32 seed = 7)
{
    const QMap<QString, QImage::Format> formats {{"lsb", QImage::Format_MonoLSB}, {"grey8", QImage::Format_Grayscale8},
        {"rgb888", QImage::Format_RGB888}, {"argb32", QImage::Format_ARGB32}};
    const QMap<QString, QRgb> firstColour {{"inverted", 0xFFFFFFFFu}, {"grey", 0xFF808080u}, {"transparent", 0u}};
    QImage page(w, h, formats.value(kind, QImage::Format_Mono));
    if (firstColour.contains(kind))
        page.setColorTable({firstColour[kind], kind == "inverted" ? 0xFF000000u : 0xFFFFFFFFu});
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(page.bits()), page.sizeInBytes() / 4);
    page.setDotsPerMeterX(23622), page.setDotsPerMeterY(11429);
    return page;
}

double mm(int dots) { return dots * 25.4 / 600.0; }

// A 1-bit BMP as the station writes it. Ink rectangles are in pixels and
// stored rows (row 0 is the bottom one) and may reach past the width.
QByteArray bitmap(const QList<QRect>& inks, int w = 1024, int h = 400)
{
    QImage image = pixelrules::zeroMono(QSize(w, h));
    for (const QRect& r : inks)
        for (int n = r.top(); n <= r.bottom(); ++n)
            for (int x = r.left(); x <= r.right(); ++x)
                image.scanLine(h - 1 - n)[x / 8] |= uchar(0x80 >> (x % 8));
    return vqtest::encodedImage(image);
}

// Word columns first..last (counted from 1) over stored rows row..row+rows-1.
QRect words(int first, int last, int row = 100, int rows = 50)
{
    return {(first - 1) * 32, row, (last - first + 1) * 32, rows};
}

// The bitmap with the 32-bit header field at `offset` set to `value`.
QByteArray patched(QByteArray bmp, int offset, qint32 value)
{
    return qToLittleEndian(value, bmp.data() + offset), bmp;
}

// Cuts an exact-size copy (a byte too far is past the buffer) into a result
// filled with 0xAB.
quint8 cut(int type, const QByteArray& bmp, BMP_CutResult_t* result)
{
    QVector<quint8> exact(bmp.begin(), bmp.end());
    std::memset(result, 0xAB, sizeof *result);
    return CAppBmpCut().OS_Apps_BmpCut(quint8(type), exact.data(), quint32(exact.size()), (quint8*)result);
}

} // namespace

class ImagingTest : public QObject {
    Q_OBJECT
private slots:
    void printSourcesMatchThePlainWay_data()
    {
        // Slices: new_x, new_y, x, y, width, height, head; turn: angle, mirror x, mirror y; keys: the sources made.
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QList<SliceArea_t>>("slices");
        QTest::addColumn<QList<int>>("turn");
        QTest::addColumn<QList<int>>("keys");
        const QList<int> still {0, 0, 0}, one {0}, three {-1, 0, 1};
        const QList<SliceArea_t> twoHeads {{0, 20, 0, 10, 140, 193, 0}, {150, 20, 170, 10, 140, 193, 1}};
        // Quarter turns of whole 1-bit pages, done block-wise, as Qt does them.
        for (const char* kind : {"mono", "inverted", "grey"})
            for (const QSize& size : {QSize(1, 1), QSize(7, 13), QSize(13, 7), QSize(33, 65), QSize(1001, 517)})
                for (int angle : {90, 270, 180})
                    QTest::addRow("%s %dx%d by %d", kind, size.width(), size.height(), angle)
                        << QString(kind) << size << QList<SliceArea_t> {} << QList<int> {angle, 0, 0} << one;
        // Slices of a 1001 x 777 page onto 997 x 803 paper: 1-bit black and white pages are bit-copied, every
        // other kind painted.
        const QList<QPair<const char*, QList<SliceArea_t>>> layouts {
            {"odd offsets", {{3, 5, 17, 11, 301, 203}, {517, 401, 250, 300, 333, 301}}},
            {"crossing the page edge", {{100, 50, 900, 700, 301, 203}, {0, 0, 995, 0, 100, 777}}},
            {"overlapping", {{10, 10, 0, 0, 400, 300}, {203, 151, 501, 333, 400, 300}, {13, 9, 700, 2, 99, 501}}},
            {"negative positions",
                {{-37, -11, 5, 9, 300, 200}, {40, 30, -13, -21, 300, 200}, {-5, 600, -9, 700, 90, 300}}},
            {"zero and negative sizes", {{7, 9, 950, 10, 0, 50}, {300, 20, 100, 730, 60, -5}}},
            {"past the paper", {{990, 20, 0, 0, 300, 300}, {20, 790, 0, 0, 300, 300}, {5000, 5000, 0, 0, 10, 10}}},
            {"whole page", {{0, 0, 0, 0, 1001, 777}}}};
        for (const QString kind : {"mono", "inverted", "grey", "lsb", "transparent", "grey8", "rgb888", "argb32"})
            for (int i = 0; i < layouts.size(); ++i)
                if (kind == "mono" || kind == "inverted" || i == 1 || i == 3)
                    QTest::addRow("%s, %s", qPrintable(kind), layouts[i].first)
                        << kind << QSize(1001, 777) << layouts[i].second << still << one;
        // Each head its own source, all of them turned and mirrored.
        QTest::newRow("heads 1 and 2, head 0 blank, turned 270 and top to bottom")
            << "mono" << QSize(1001, 777)
            << QList<SliceArea_t> {{0, 20, 0, 10, 140, 193, 1}, {150, 20, 170, 10, 140, 193, 2}}
            << QList<int> {270, 0, 1} << QList<int> {-1, 0, 1, 2};
        for (const QList<int>& turn :
            QList<QList<int>> {still, {90, 0, 0}, {180, 0, 0}, {-90, 0, 0}, {0, 1, 0}, {0, 2, 5}, {0, -1, -1}})
            QTest::addRow("heads 0 and 1; turned %d, mirrored %d %d", turn[0], turn[1], turn[2])
                << "mono" << QSize(1001, 777) << twoHeads << turn << three;
    }
    void printSourcesMatchThePlainWay()
    {
        QFETCH(QString, kind);
        QFETCH(QSize, size);
        QFETCH(QList<SliceArea_t>, slices);
        QFETCH(QList<int>, turn);
        const QImage page = makePage(kind, size.width(), size.height(), quint32(size.width() * 31 + turn[0]));
        QCOMPARE(ImageWork::_bitCopyMatchesPainter(page), kind == "mono" || kind == "inverted");
        APPConfig::m_SliceAreas = slices;
        std::tie(APPConfig::g_Scale, APPConfig::paperW, APPConfig::paperH)
            = std::make_tuple(0, mm(997 * !slices.isEmpty()), mm(803 * !slices.isEmpty()));
        std::tie(APPConfig::g_Rotate, APPConfig::g_MirroreX, APPConfig::g_MirroreY)
            = std::make_tuple(turn[0], turn[1], turn[2]);
        const QMap<int, QImage> sources = ImageWork::img_GetPrintSrc(page);
        QTEST(sources.keys(), "keys");
        // The plain way: QPainter onto white paper. A single source and the
        // composite (-1) hold every slice, a head only its own.
        for (int key : sources.keys()) {
            QImage expected(997, 803, QImage::Format_Mono);
            expected.fill(1);
            QPainter painter(&expected);
            for (const SliceArea_t& s : slices)
                if (key < 0 || sources.size() == 1 || s.pt == key)
                    painter.drawImage(QPoint(s.new_x, s.new_y), page, QRect(s.x, s.y, s.width, s.height));
            painter.end();
            expected = (slices.isEmpty() ? page : expected)
                           .transformed(QTransform().rotate(qMax(turn[0], 0)), Qt::FastTransformation);
            QVERIFY2(sources[key] == expected.mirrored(turn[1] > 0, turn[2] > 0),
                qPrintable(QString::number(key))); // and colours
            QCOMPARE(QPoint(sources[key].dotsPerMeterX(), sources[key].dotsPerMeterY()),
                QPoint(expected.dotsPerMeterX(), expected.dotsPerMeterY()));
        }
    }

    void pageScaleAndFreeRotation()
    {
        // A scale of 0, below 0 or of 1.0 (which would only cost time) keeps the page; the paper width, when set, wins.
        for (double scale : {0.0, 1.0, -2.0, 0.5}) {
            std::tie(APPConfig::g_Scale, APPConfig::paperW) = std::make_pair(scale, mm(scale == 0.5 ? 640 : 0));
            APPConfig::m_SliceAreas.clear(), APPConfig::paperH = APPConfig::g_Rotate = 0;
            vqtest::LogCapture log;
            const QSize size = ImageWork::img_GetPrintSrc(makePage("rgb888", 300, 200)).value(0).size();
            QCOMPARE(qMakePair(size, log.contains("图像缩放")),
                qMakePair(scale == 0.5 ? QSize(640, 100) : QSize(300, 200), scale == 0.5));
        }
        // The intake's resampling to the printer's resolution, each axis on its own.
        QCOMPARE(ImageWork::img_DotsPerMeter(QImage(200, 100, QImage::Format_Mono), 1200, 300).size(), QSize(400, 50));
        // A free rotation leaves white paper, not ink, in the corners.
        std::tie(APPConfig::g_Scale, APPConfig::paperW, APPConfig::g_Rotate) = std::make_tuple(0, 0, 30);
        const QImage t = ImageWork::img_GetPrintSrc(pixelrules::zeroMono(QSize(400, 300))).value(0);
        QCOMPARE(QList<QRgb>(
                     {t.pixel(0, 0), t.pixel(t.width() - 1, t.height() - 1), t.pixel(t.width() / 2, t.height() / 2)}),
            QList<QRgb>({0xFFFFFFFFu, 0xFFFFFFFFu, 0xFF000000u}));
    }

    void cutsUnits_data()
    {
        // The units (with "@", their place in mm), or "refused: " and the reason logged.
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("bmp");
        QTest::addColumn<QString>("expected");
        const QByteArray good = bitmap({QRect(10, 5, 20, 5)}, 100, 20);
        const QByteArray three = bitmap({words(1, 1, 30, 10), words(20, 20, 30, 10), words(40, 40, 30, 10)}, 1600);
        QTest::newRow("inked words 10 apart join, 11 apart split")
            << 2 << bitmap({words(3, 5), words(15, 15), words(26, 27)}) << "(64,193 608x164) (704,193 320x164)";
        QTest::newRow("320 widens to 608, 2400 kept, widening right stops at the padded edge")
            << 2 << bitmap({words(1, 10), words(22, 96), words(108, 108)}, 108 * 32)
            << "(0,193 608x164) (672,193 2400x164) (3136,193 320x164)";
        QTest::newRow("no room below, room below just fits, no room above")
            << 2 << bitmap({words(1, 1, 30, 10), words(13, 13, 57, 10), words(25, 25, 380, 20)})
            << "(0,303 320x67) (384,276 320x124) (704,0 320x77)";
        QTest::newRow("too narrow a bitmap narrows") << 2 << bitmap({words(1, 2)}, 256) << "(0,193 0x164)";
        QTest::newRow("white page, ink only past the width: no unit")
            << 2 << bitmap({{1010, 40, 1, 1}}, 1000, 100) << "";
        QTest::newRow("the last real pixel is a unit") << 2 << bitmap({{999, 40, 1, 1}}, 1000, 100) << "(680,2 320x58)";
        QTest::newRow("widest bitmap, every column inked")
            << 2 << bitmap({{0, 0, 999 * 32, 2}}, 999 * 32, 2) << "(0,0 31800x2)";
        QTest::newRow("A20 rightmost first, 32 widened left to 320")
            << 1 << three << "(960,303 320x67) (320,303 320x67) (0,303 320x67)";
        QTest::newRow("B20 leftmost first") << 2 << three << "(0,303 320x67) (608,303 320x67) (1248,303 320x67)";
        QTest::newRow("C20 rightmost first") << 3 << three << "(960,303 320x67) (320,303 320x67) (0,303 320x67)";
        QTest::newRow("unknown type writes only the count") << 9 << three << "(0,0 0x0) (0,0 0x0) (0,0 0x0)";
        QTest::newRow("A20 placed from the bottom and right edges")
            << 1 << bitmap({words(10, 10)}) << "(0,193 320x164) @ 3.76231503 29.8026676";
        QTest::newRow("B20 placed from the bottom and left edges")
            << 2 << bitmap({words(10, 10)}) << "(288,193 320x164) @ 3.76231503 12.1920004";
        QTest::newRow("C20 placed from the top and right edges")
            << 3 << bitmap({words(10, 10)}) << "(0,193 320x164) @ 16.8866692 29.8026676";
        QTest::newRow("exact length") << 2 << good << "(0,10 0x5)";
        QTest::newRow("65535 rows") << 2 << bitmap({{0, 65534, 1, 1}}, 32, 65535) << "(0,0 0x58)";
        QTest::newRow("shorter than the headers") << 2 << good.left(53) << "refused: 不足文件头和信息头";
        QTest::newRow("rows cut short by one byte") << 2 << good.chopped(1) << "refused: 不足像素数据结尾";
        for (const auto& [name, offset, value, reason] :
            std::initializer_list<std::tuple<const char*, int, qint32, const char*>> {
                {"pixel offset past the end", 10, 0x7FFFFFF0, "不足像素数据结尾"},
                {"8 bits per pixel", 28, 8, "只接受1位"}, {"compressed", 30, 1, "只接受不压缩"},
                {"top-down", 22, -20, "自下而上"}, {"no rows", 22, 0, "自下而上"},
                {"65536 rows", 22, 65536, "超过65535行"}, {"wider than 999 words", 18, 999 * 32 + 1, "超过999字"}})
            QTest::newRow(name) << 2 << patched(good, offset, value) << QString("refused: ") + reason;
    }
    void cutsUnits()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, bmp);
        QFETCH(QString, expected);
        vqtest::LogCapture log;
        BMP_CutResult_t r;
        const bool refused = cut(type, bmp, &r) == 1;
        // Units with y counted from the top, places in mm to nine digits (which tell every float apart). A refusal,
        // and a bitmap without ink, leave the result untouched.
        QStringList units;
        for (const ImageUnitInfo_t& u :
            QVector<ImageUnitInfo_t>(r._image_unit_info, r._image_unit_info + (r._total == 0xAB ? 0 : r._total)))
            units << QString("(%1,%2 %3x%4)").arg(u._x).arg(u._y).arg(u._w).arg(u._h)
                    + (expected.contains('@')
                            ? QString::asprintf(" @ %.9g %.9g", double(u._pos_x_mm), double(u._pos_y_mm))
                            : "");
        const bool oneLine
            = log.lines().size() == 1 && log.contains(expected.mid(9)); // a refusal logs one line, with its reason
        QCOMPARE(
            refused ? "refused: " + (oneLine ? expected.mid(9) : log.lines().join('|')) : units.join(' '), expected);
        QCOMPARE(quint16(r._image_unit_info[units.size()]._x), quint16(0xABAB)); // nothing past the count
    }

    void moreThan50InkWindowsLoseNoInk()
    {
        QList<QRect> inks; // 60 one-word windows, 11 blank words apart
        for (int i = 0; i < 60; ++i)
            inks << words(1 + 12 * i, 1 + 12 * i, 20 + i, 3);
        vqtest::LogCapture log;
        BMP_CutResult_t r;
        cut(DEV_TYPE_TRV_B20, bitmap(inks, 720 * 32, 200), &r);
        const ImageUnitInfo_t* units = r._image_unit_info;
        // 50 units, one line saying so, the last reaching from its window to the last ink.
        QCOMPARE(QList<int>({r._total, log.count("并入第50个图元"), units[49]._x, units[49]._w}),
            QList<int>({50, 1, 18816, 3904}));
        for (const QRect& ink : inks) // every inked column inside some unit
            QVERIFY(std::any_of(
                units, units + 50, [&ink](auto& u) { return ink.left() >= u._x && ink.right() < u._x + u._w; }));
    }
};

VQ_TEST_MAIN(ImagingTest)
#include "tst_imaging.moc"
