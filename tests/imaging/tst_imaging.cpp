#include "vqtest.h"

#include "app/appconfig.h"
#include "imaging/cappbmpcut.h"
#include "imaging/dotimage.h"
#include "imaging/imagework.h"
#include "pixelrules.h"

#include <QPainter>

Q_DECLARE_METATYPE(SliceArea_t)

namespace {

// The active template's page settings; the paper in 600-dpi dots, 0 for the page's own size.
void setLayout(const QList<SliceArea_t>& slices, QSize paper, QList<int> turn = {0, 0, 0}, double scale = 0)
{
    APPConfig::m_SliceAreas = slices;
    APPConfig::paperW = paper.width() * 25.4 / 600;
    APPConfig::paperH = paper.height() * 25.4 / 600;
    APPConfig::g_Rotate = turn[0];
    APPConfig::g_MirroreX = turn[1];
    APPConfig::g_MirroreY = turn[2];
    APPConfig::g_Scale = scale;
}

// A 1-bit BMP as the station writes it. Ink rectangles are in pixels and stored rows (row 0 is the bottom one) and
// may reach past the width.
QByteArray bitmap(const QList<QRect>& inks, int w = 1024, int h = 400)
{
    QImage image = pixelrules::zeroMono(QSize(w, h));
    for (const QRect& r : inks)
        for (int n = r.top(); n <= r.bottom(); ++n)
            for (int x = r.left(); x <= r.right(); ++x)
                image.scanLine(h - 1 - n)[x / 8] |= uchar(0x80 >> (x % 8));
    return vqtest::encodedImage(image);
}

// Word columns a..b (counted from 1) over stored rows row..row+rows-1.
QRect words(int a, int b, int row = 100, int rows = 50) { return {(a - 1) * 32, row, (b - a + 1) * 32, rows}; }

} // namespace

class ImagingTest : public QObject {
    Q_OBJECT
private slots:
    void printSourcesMatchThePlainWay_data()
    {
        // Slices: new_x, new_y, x, y, width, height, head; turn: angle, mirror x, mirror y.
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QList<SliceArea_t>>("slices");
        QTest::addColumn<QList<int>>("turn");
        // Quarter turns of whole 1-bit pages, done block-wise, as Qt does them.
        for (const char* kind : {"mono", "inverted", "grey"})
            for (QSize size : {QSize(1, 1), QSize(7, 13), QSize(13, 7), QSize(33, 65), QSize(1001, 517)})
                for (int angle : {90, 270, 180})
                    QTest::addRow("%s %dx%d by %d", kind, size.width(), size.height(), angle)
                        << QString(kind) << size << QList<SliceArea_t> {} << QList {angle, 0, 0};
        // Slices of a 1001 x 777 page onto 997 x 803 paper: 1-bit black and white pages are bit-copied, every
        // other kind painted.
        const QList<QPair<const char*, QList<SliceArea_t>>> layouts {
            {"odd offsets", {{3, 5, 17, 11, 301, 203}, {517, 401, 250, 300, 333, 301}}},
            {"crossing the page edge", {{100, 50, 900, 700, 301, 203}, {0, 0, 995, 0, 100, 777}}},
            {"overlapping", {{10, 10, 0, 0, 400, 300}, {203, 151, 501, 333, 400, 300}, {13, 9, 700, 2, 99, 501}}},
            {"negative", {{-37, -11, 5, 9, 300, 200}, {40, 30, -13, -21, 300, 200}, {-5, 600, -9, 700, 90, 300}}},
            {"zero and negative sizes", {{7, 9, 950, 10, 0, 50}, {300, 20, 100, 730, 60, -5}}},
            {"past the paper", {{990, 20, 0, 0, 300, 300}, {20, 790, 0, 0, 300, 300}, {5000, 5000, 0, 0, 10, 10}}},
            {"whole page", {{0, 0, 0, 0, 1001, 777}}}};
        for (const QString kind : {"mono", "inverted", "grey", "lsb", "transparent"})
            for (const auto& [name, slices] : layouts)
                QTest::addRow("%s, %s", qPrintable(kind), name)
                    << kind << QSize(1001, 777) << slices << QList {0, 0, 0};
        // Each head its own source, all of them turned and mirrored; head 0 is always made, here blank.
        const QList<SliceArea_t> twoHeads {{0, 20, 0, 10, 140, 193, 1}, {150, 20, 170, 10, 140, 193, 2}};
        for (const QList<int>& turn : QList<QList<int>> {
                 {0, 0, 0}, {90, 0, 0}, {180, 0, 0}, {270, 0, 1}, {-90, 0, 0}, {0, 1, 0}, {0, 2, 5}, {0, -1, -1}})
            QTest::addRow("heads 1 and 2; turned %d, mirrored %d %d", turn[0], turn[1], turn[2])
                << "mono" << QSize(1001, 777) << twoHeads << turn;
    }
    void printSourcesMatchThePlainWay()
    {
        QFETCH(QString, kind);
        QFETCH(QSize, size);
        QFETCH(QList<SliceArea_t>, slices);
        QFETCH(QList<int>, turn);
        // Every byte random, so that each bit position occurs; a resolution of its own on each axis. Grey spoils
        // the first palette entry, transparent the second: only pure black and white may be bit-copied.
        const QHash<QString, QVector<QRgb>> colours {{"inverted", {0xFFFFFFFFu, 0xFF000000u}},
            {"grey", {0xFF808080u, 0xFFFFFFFFu}}, {"transparent", {0xFF000000u, 0x00FFFFFFu}}};
        QImage page(size, kind == "lsb" ? QImage::Format_MonoLSB : QImage::Format_Mono);
        page.setColorTable(colours.value(kind, page.colorTable())); // black and white unless named
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(page.bits()), page.sizeInBytes() / 4);
        page.setDotsPerMeterX(23622);
        page.setDotsPerMeterY(11429);
        QCOMPARE(ImageWork::_bitCopyMatchesPainter(page), kind == "mono" || kind == "inverted");
        setLayout(slices, slices.isEmpty() ? QSize() : QSize(997, 803), turn);
        const QMap<int, QImage> sources = ImageWork::img_GetPrintSrc(page);
        // Heads 1 and 2 have head 0 made too, and the composite (-1).
        QCOMPARE(sources.keys(), slices.value(0).pt ? QList<int>({-1, 0, 1, 2}) : QList<int>({0}));
        // The plain way: QPainter onto white paper. A single source and the composite (-1) hold every slice, a head
        // only its own.
        QImage paper(997, 803, QImage::Format_Mono);
        paper.fill(1);
        for (int key : sources.keys()) {
            QImage ref = slices.isEmpty() ? page : paper.copy();
            QPainter painter(&ref);
            for (const SliceArea_t& s : slices)
                if (key < 0 || sources.size() == 1 || s.pt == key)
                    painter.drawImage(QPoint(s.new_x, s.new_y), page, QRect(s.x, s.y, s.width, s.height));
            painter.end();
            ref = ref.transformed(QTransform().rotate(qMax(turn[0], 0)), Qt::FastTransformation);
            ref = ref.mirrored(turn[1] > 0, turn[2] > 0);
            const QImage& got = sources[key];
            QVERIFY2(got == ref, qPrintable(QString("source %1").arg(key)));
            QCOMPARE(QSize(got.dotsPerMeterX(), got.dotsPerMeterY()), QSize(ref.dotsPerMeterX(), ref.dotsPerMeterY()));
        }
    }

    void pageIsScaledAndTurnedOnWhitePaper()
    {
        // A scale of 0, below 0 or of 1.0 (which would only cost time) keeps the page; the paper width, when set,
        // wins over the scaled one.
        for (double scale : {0.0, 1.0, -2.0, 0.5}) {
            setLayout({}, QSize(scale == 0.5 ? 640 : 0, 0), {0, 0, 0}, scale);
            vqtest::LogCapture log;
            const QSize size = ImageWork::img_GetPrintSrc(QImage(300, 200, QImage::Format_RGB888)).value(0).size();
            QCOMPARE(qMakePair(size, log.contains("图像缩放")),
                qMakePair(scale == 0.5 ? QSize(640, 100) : QSize(300, 200), scale == 0.5));
        }
        // The intake's resampling to the printer's resolution, each axis on its own.
        QCOMPARE(ImageWork::img_DotsPerMeter(QImage(200, 100, QImage::Format_Mono), 1200, 300).size(), QSize(400, 50));
        // A free rotation leaves white paper, not ink, in the corners.
        setLayout({}, QSize(), {30, 0, 0});
        const QImage t = ImageWork::img_GetPrintSrc(pixelrules::zeroMono(QSize(400, 300))).value(0);
        QCOMPARE(QList<QRgb>({t.pixel(0, 0), t.pixel(200, 150)}), QList<QRgb>({0xFFFFFFFFu, 0xFF000000u}));
    }

    void dotImageMatchesPixelRules_data()
    {
        QTest::addColumn<QImage>("page");
        // Every stored byte random, most of them 0xFF, so that white, near-white and alpha-only differences all occur;
        // the bytes that pad rows are filled too. An indexed image gets a table of such colours.
        auto randomImage = [](QSize size, QImage::Format format, quint32 seed, QVector<QRgb> colours = {}) {
            QImage image(size, format);
            QRandomGenerator random(seed);
            for (int i = 0; format == QImage::Format_Indexed8 && i < 256; ++i)
                colours << QVector<QRgb> {0xFFFFFFFFu, 0x00FFFFFFu, 0xFFFFFFFEu, random()}[i % 4];
            image.setColorTable(colours);
            std::generate(image.bits(), image.bits() + image.sizeInBytes(),
                [&random] { return uchar(random.bounded(10) < 8 ? 0xFF : random()); });
            return image;
        };
        // 45 dots wide: bytes 0-5 of a row hold them, 6-7 pad. Every byte 0 but `bytes` from byte `at` on (counted
        // from the start of the first row).
        auto blank = [](int at, const QByteArray& bytes, QVector<QRgb> colours = {0xFF000000u, 0xFFFFFFFFu}) {
            QImage image = pixelrules::zeroMono({45, 3});
            image.setColorTable(colours);
            std::memcpy(image.bits() + at, bytes.constData(), size_t(bytes.size()));
            return image;
        };
        // The bits past the width are set too.
        const QSize size(77, 20);
        QTest::newRow("1-bit") << randomImage(size, QImage::Format_Mono, 1, {0xFF000000u, 0xFFFFFFFFu});
        QTest::newRow("1-bit, white first") << randomImage(size, QImage::Format_Mono, 1, {0xFFFFFFFFu, 0xFF000000u});
        QTest::newRow("1-bit, both white") << randomImage(size, QImage::Format_Mono, 1, {0xFFFFFFFFu, 0xFFFFFFFFu});
        QTest::newRow("1-bit, no white") << randomImage(size, QImage::Format_Mono, 1, {0x00FFFFFFu, 0xFEFFFFFFu});
        QTest::newRow("1-bit lsb first") << randomImage(size, QImage::Format_MonoLSB, 2, {0xFFFFFFFFu, 0xFF000000u});
        QTest::newRow("last dot set") << blank(21, "\x08");
        QTest::newRow("no dot, padding bits and bytes set") << blank(13, "\x07\xFF\xFF");
        QTest::newRow("all set, white first") << blank(0, QByteArray(24, '\xFF'), {0xFFFFFFFFu, 0xFF000000u});
        QTest::newRow("transparent black") << blank(21, "\x08", {0u, 0xFF000000u});
        // Each format the dot image reads on its own, and one that it converts first.
        for (QImage::Format f :
            {QImage::Format_Indexed8, QImage::Format_Grayscale8, QImage::Format_RGB888, QImage::Format_RGB32,
                QImage::Format_ARGB32, QImage::Format_ARGB32_Premultiplied, QImage::Format_RGB16})
            for (int w : {1, 33, 70})
                QTest::addRow("format %d, width %d", int(f), w) << randomImage({w, 7}, f, quint32(f * 100 + w));
    }
    void dotImageMatchesPixelRules()
    {
        QFETCH(QImage, page);
        QCOMPARE(pixelrules::bits(DotImage::fromPage(page)), pixelrules::bits(pixelrules::dots(page)));
        // A 1-bit image is cropped as it stands, padding bits and all; any other as its dot image.
        const QImage source = page.format() == QImage::Format_Mono ? page : DotImage::fromPage(page);
        for (const QRect& r : {QRect(8, 3, 40, 10), QRect(5, 1, 23, 7), source.rect(), QRect(60, 2, 64, 5),
                 QRect(3, 15, 30, 12), QRect(-5, 0, 20, 4), QRect(100, 30, 32, 3)})
            QCOMPARE(pixelrules::bits(DotImage::crop(source, r.x(), r.y(), r.width(), r.height())),
                pixelrules::bits(pixelrules::crop(source, r)));
        // Only a 1-bit unit can hold no dot (and no other page here is all black).
        QCOMPARE(DotImage::holdsNoDot(page), pixelrules::allBlack(page));
    }

    void cutterFindsUnitsOrRefusesTheBitmap_data()
    {
        // The units (with "@", their place in mm), or "refused: " and the reason logged.
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("bmp");
        QTest::addColumn<QString>("expected");
        const QByteArray two = bitmap({words(1, 1), words(20, 20)}, 1600);
        // Window by window: 10 blank words join and 416 dots widen to two quanta of 300 in whole words, 11 split;
        // 2400 dots are kept; widening right stops at the padded edge. Room for both margins; none below, room
        // that just fits, none above.
        const QList<QRect> windows {
            words(3, 5), words(15, 15), words(26, 27, 30, 10), words(39, 113, 57, 10), words(124, 124, 380, 20)};
        QTest::newRow("windows, widths and margins")
            << 2 << bitmap(windows, 3968) << "(64,193 608x164) (800,303 320x67) (1216,276 2400x124) (3648,0 320x77)";
        QTest::newRow("the margin above that just fits") << 2 << bitmap({words(1, 1, 323, 20)}) << "(0,0 320x134)";
        QTest::newRow("too narrow a bitmap narrows") << 2 << bitmap({words(1, 2)}, 256) << "(0,193 0x164)";
        QTest::newRow("ink only past the width: no unit") << 2 << bitmap({{1010, 40, 1, 1}}, 1000, 100) << "";
        QTest::newRow("the last real pixel is a unit") << 2 << bitmap({{999, 40, 1, 1}}, 1000, 100) << "(680,2 320x58)";
        QTest::newRow("widest, all inked") << 2 << bitmap({{0, 0, 999 * 32, 2}}, 999 * 32, 2) << "(0,0 31800x2)";
        QTest::newRow("A20: rightmost first, widened left, placed from the bottom and right edges")
            << 1 << two << "(320,193 320x164) @ 3.76231503 40.6399994 (0,193 320x164) @ 3.76231503 54.1866684";
        QTest::newRow("B20: leftmost first, placed from the bottom and left edges")
            << 2 << two << "(0,193 320x164) @ 3.76231503 0 (608,193 320x164) @ 3.76231503 25.7386665";
        QTest::newRow("C20: rightmost first, placed from the top and right edges")
            << 3 << two << "(320,193 320x164) @ 16.8866692 40.6399994 (0,193 320x164) @ 16.8866692 54.1866684";
        QTest::newRow("unknown type writes only the count") << 9 << two << "(0,0 0x0) (0,0 0x0)";
        QTest::newRow("65535 rows") << 2 << bitmap({{0, 65534, 1, 1}}, 32, 65535) << "(0,0 0x58)";
        QTest::newRow("shorter than the headers") << 2 << two.left(53) << "refused: 不足文件头和信息头";
        QTest::newRow("rows cut short by one byte") << 2 << two.chopped(1) << "refused: 不足像素数据结尾";
        // Header fields at their byte offsets, set to what the cutter must refuse.
        for (const auto& [name, offset, value, reason] :
            std::initializer_list<std::tuple<const char*, int, qint32, const char*>> {
                {"pixel offset past the end", 10, 0x7FFFFFF0, "不足像素数据结尾"},
                {"8 bits per pixel", 28, 8, "只接受1位"}, {"compressed", 30, 1, "只接受不压缩"},
                {"top-down", 22, -20, "自下而上"}, {"no rows", 22, 0, "自下而上"},
                {"65536 rows", 22, 65536, "超过65535行"}, {"wider than 999 words", 18, 999 * 32 + 1, "超过999字"}}) {
            QByteArray bmp = two;
            qToLittleEndian(value, bmp.data() + offset);
            QTest::newRow(name) << 2 << bmp << QString("refused: ") + reason;
        }
    }
    void cutterFindsUnitsOrRefusesTheBitmap()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, bmp);
        QFETCH(QString, expected);
        // An exact-size copy (a byte too far is past the buffer), cut into a result filled with 0xAB.
        QVector<quint8> exact(bmp.begin(), bmp.end());
        BMP_CutResult_t r;
        std::memset(&r, 0xAB, sizeof r);
        vqtest::LogCapture log;
        QStringList units;
        // A refusal logs one line, giving the reason.
        if (CAppBmpCut().OS_Apps_BmpCut(quint8(type), exact.data(), quint32(exact.size()), (quint8*)&r) == 1)
            units << (log.lines().size() == 1 && log.contains(expected.mid(9)) ? expected : log.lines().join('|'));
        // A refusal, and a bitmap without ink, leave the result as it was.
        const int total = r._total == 0xAB ? 0 : r._total;
        for (const ImageUnitInfo_t& u : QVector<ImageUnitInfo_t>(r._image_unit_info, r._image_unit_info + total)) {
            units << QString("(%1,%2 %3x%4)").arg(u._x).arg(u._y).arg(u._w).arg(u._h);
            // To nine digits, which tell every float apart.
            if (expected.contains('@'))
                units << QString::asprintf("@ %.9g %.9g", double(u._pos_x_mm), double(u._pos_y_mm));
        }
        QCOMPARE(units.join(' '), expected);
        QCOMPARE(quint16(r._image_unit_info[total]._x), quint16(0xABAB)); // nothing written past the count
    }

    void moreThan50InkWindowsLoseNoInk()
    {
        QList<QRect> inks; // 60 one-word windows, 11 blank words apart
        for (int i = 0; i < 60; ++i)
            inks << words(1 + 12 * i, 1 + 12 * i, 20 + i, 3);
        const QByteArray bmp = bitmap(inks, 720 * 32, 200);
        vqtest::LogCapture log;
        BMP_CutResult_t r;
        CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_B20, (const quint8*)bmp.constData(), quint32(bmp.size()), (quint8*)&r);
        // 50 units, one line saying so, the last reaching from its window to the last ink.
        const ImageUnitInfo_t& last = r._image_unit_info[49];
        QCOMPARE(QList<int>({r._total, log.count("并入第50"), last._x, last._w}), QList<int>({50, 1, 18816, 3904}));
    }
};

VQ_TEST_MAIN(ImagingTest)
#include "tst_imaging.moc"
