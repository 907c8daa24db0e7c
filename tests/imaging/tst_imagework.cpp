#include "vqtest.h"

#include "app/appconfig.h"
#include "app/prefs.h"
#include "imaging/imagework.h"

#include <QPainter>
#include <QTransform>

namespace {

quint32 nextRandom(quint32& seed)
{
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
}

// Pages of every kind the station may be given, filled with a fixed
// pseudo-random pattern so that every bit position is exercised.
QImage makePage(const QString& kind, int w, int h, quint32 seed = 7)
{
    QImage page;
    if (kind.startsWith("mono")) {
        page = QImage(w, h, kind == "mono lsb" ? QImage::Format_MonoLSB : QImage::Format_Mono);
        if (kind == "mono inverted palette")
            page.setColorTable({0xFFFFFFFFu, 0xFF000000u});
        else if (kind == "mono grey palette")
            page.setColorTable({0xFF808080u, 0xFFFFFFFFu});
        else if (kind == "mono transparent palette")
            page.setColorTable({0x00000000u, 0xFFFFFFFFu});
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                page.setPixel(x, y, nextRandom(seed) % 3 == 0 ? 0 : 1);
        return page;
    }
    const QImage::Format format = kind == "grey8"   ? QImage::Format_Grayscale8
                                  : kind == "rgb888" ? QImage::Format_RGB888
                                                     : QImage::Format_ARGB32;
    page = QImage(w, h, format);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const quint32 r = nextRandom(seed);
            const int level = int(r % 4) * 85;
            page.setPixel(x, y, qRgba(level, int(r >> 4) & 0xFF, level, format == QImage::Format_ARGB32 ? int(r >> 12) & 0xFF : 255));
        }
    return page;
}

SliceArea_t slice(int new_x, int new_y, int x, int y, int width, int height, int pt = 0)
{
    return {new_x, new_y, x, y, width, height, pt};
}

// The canvas drawn the plain way: QPainter onto a white 1-bit image.
QImage paintedCanvas(const QImage& page, const QList<SliceArea_t>& slices, QSize size, int onlyHead = -99)
{
    QImage canvas(size, QImage::Format_Mono);
    canvas.fill(1);
    QPainter painter(&canvas);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    for (const SliceArea_t& s : slices)
        if (onlyHead == -99 || s.pt == onlyHead)
            painter.drawImage(QPoint(s.new_x, s.new_y), page, QRect(s.x, s.y, s.width, s.height));
    painter.end();
    return canvas;
}

// Paper sizes in millimetres that come out as whole dots.
double mmFor(int dots) { return dots * 25.4 / 600.0; }

} // namespace

Q_DECLARE_METATYPE(SliceArea_t)

class ImageWorkTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void transformSizes_data();
    void transformSizes();
    void quarterTurnsMatchQt_data();
    void quarterTurnsMatchQt();
    void compositionMatchesPainter_data();
    void compositionMatchesPainter();
    void headsGetTheirOwnSources_data();
    void headsGetTheirOwnSources();
    void scaleAndPaperSize_data();
    void scaleAndPaperSize();
    void turnsAndMirrorsEverySource_data();
    void turnsAndMirrorsEverySource();
    void turnedPageKeepsWhitePaperInTheCorners();
    void logsAndDumpsPerHead();
};

void ImageWorkTest::initTestCase() { APPConfig::init(); }

void ImageWorkTest::init()
{
    APPConfig::g_Scale = 0;
    APPConfig::paperW = 0;
    APPConfig::paperH = 0;
    APPConfig::m_SliceAreas.clear();
    APPConfig::g_Rotate = 0;
    APPConfig::g_MirroreX = 0;
    APPConfig::g_MirroreY = 0;
    APPConfig::g_Debug = false;
}

void ImageWorkTest::transformSizes_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QSize>("input");
    QTest::addColumn<double>("a");
    QTest::addColumn<double>("b");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("A4 to printer resolution") << "dpm" << QSize(4960, 7016) << 600.0 << 290.3 << QSize(4960, 3394);
    QTest::newRow("dpm 0 keeps width") << "dpm" << QSize(200, 100) << 0.0 << 300.0 << QSize(200, 50);
    QTest::newRow("dpm 0 keeps height") << "dpm" << QSize(200, 100) << 300.0 << 0.0 << QSize(100, 100);
    QTest::newRow("scale 1.0") << "scale" << QSize(101, 101) << 1.0 << 0.0 << QSize(101, 101);
    QTest::newRow("scale 0.5 truncates") << "scale" << QSize(101, 101) << 0.5 << 0.0 << QSize(50, 50);
    QTest::newRow("scale -1 keeps size") << "scale" << QSize(101, 101) << -1.0 << 0.0 << QSize(101, 101);
    QTest::newRow("rotate 90") << "rotate" << QSize(200, 100) << 90.0 << 0.0 << QSize(100, 200);
    QTest::newRow("rotate 0") << "rotate" << QSize(200, 100) << 0.0 << 0.0 << QSize(200, 100);
}

void ImageWorkTest::transformSizes()
{
    QFETCH(QString, op);
    QFETCH(QSize, input);
    QFETCH(double, a);
    QFETCH(double, b);
    QFETCH(QSize, expected);
    QImage image(input, QImage::Format_Mono);
    image.fill(1);
    QImage out;
    if (op == "dpm")
        out = ImageWork::img_DotsPerMeter(image, a, b);
    else if (op == "scale")
        out = ImageWork::img_Scale(image, a);
    else
        out = ImageWork::img_Rotate(image, int(a));
    QCOMPARE(out.size(), expected);
}

void ImageWorkTest::quarterTurnsMatchQt_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("angle");
    const QList<QSize> sizes{{1, 1}, {7, 13}, {13, 7}, {8, 8}, {33, 65}, {200, 100}, {1001, 517}};
    for (const QString kind : {"mono", "mono inverted palette", "mono grey palette"})
        for (const QSize& size : sizes)
            for (int angle : {90, 270, -90, 180})
                QTest::addRow("%s %dx%d by %d", qPrintable(kind), size.width(), size.height(), angle)
                    << kind << size << angle;
}

void ImageWorkTest::quarterTurnsMatchQt()
{
    QFETCH(QString, kind);
    QFETCH(QSize, size);
    QFETCH(int, angle);
    QImage image = makePage(kind, size.width(), size.height(), quint32(size.width() * 31 + angle));
    image.setDotsPerMeterX(23622);
    image.setDotsPerMeterY(11429);
    const QImage expected = image.transformed(QTransform().rotate(angle), Qt::FastTransformation);
    const QImage turned = ImageWork::img_Rotate(image, angle);
    QCOMPARE(turned.format(), expected.format());
    QCOMPARE(turned.colorTable(), expected.colorTable());
    QCOMPARE(turned.dotsPerMeterX(), expected.dotsPerMeterX());
    QCOMPARE(turned.dotsPerMeterY(), expected.dotsPerMeterY());
    QVERIFY(turned == expected);
}

void ImageWorkTest::compositionMatchesPainter_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("bitCopy");
    QTest::addColumn<QList<SliceArea_t>>("slices");
    QTest::addColumn<QSize>("canvas");

    // The page is 1001 x 777 dots.
    const QList<QPair<const char*, QList<SliceArea_t>>> layouts{
        {"inside at odd offsets", {slice(3, 5, 17, 11, 301, 203), slice(517, 401, 250, 300, 333, 301)}},
        {"crossing the page edge", {slice(100, 50, 900, 700, 301, 203), slice(0, 0, 995, 0, 100, 777)}},
        {"overlapping", {slice(10, 10, 0, 0, 400, 300), slice(203, 151, 501, 333, 400, 300),
                         slice(13, 9, 700, 2, 99, 501)}},
        {"negative positions", {slice(-37, -11, 5, 9, 300, 200), slice(40, 30, -13, -21, 300, 200),
                                slice(-5, 600, -9, 700, 90, 300)}},
        {"zero and negative sizes", {slice(7, 9, 950, 10, 0, 50), slice(300, 20, 100, 730, 60, -5)}},
        {"past the canvas", {slice(990, 20, 0, 0, 300, 300), slice(20, 790, 0, 0, 300, 300),
                             slice(5000, 5000, 0, 0, 10, 10)}},
        {"whole page", {slice(0, 0, 0, 0, 1001, 777)}},
    };
    const QList<QPair<const char*, bool>> kinds{
        {"mono", true},          {"mono inverted palette", true},     {"mono grey palette", false},
        {"mono lsb", false},     {"mono transparent palette", false}, {"grey8", false},
        {"rgb888", false},       {"argb32", false},
    };
    for (const auto& kind : kinds)
        for (const auto& layout : layouts)
            QTest::addRow("%s, %s", kind.first, layout.first)
                << QString(kind.first) << kind.second << layout.second << QSize(997, 803);
    QTest::newRow("mono, canvas narrower than the page")
        << "mono" << true << layouts.at(0).second << QSize(601, 391);
}

void ImageWorkTest::compositionMatchesPainter()
{
    QFETCH(QString, kind);
    QFETCH(bool, bitCopy);
    QFETCH(QList<SliceArea_t>, slices);
    QFETCH(QSize, canvas);
    const QImage page = makePage(kind, 1001, 777);
    QCOMPARE(ImageWork::_bitCopyMatchesPainter(page), bitCopy);

    APPConfig::m_SliceAreas = slices;
    APPConfig::paperW = mmFor(canvas.width());
    APPConfig::paperH = mmFor(canvas.height());
    const QMap<int, QImage> sources = ImageWork::img_GetPrintSrc(page);
    QCOMPARE(sources.keys(), QList<int>{0});
    const QImage expected = paintedCanvas(page, slices, canvas);
    QCOMPARE(sources[0].format(), QImage::Format_Mono);
    QCOMPARE(sources[0].size(), canvas);
    QVERIFY(sources[0] == expected);
}

void ImageWorkTest::headsGetTheirOwnSources_data()
{
    QTest::addColumn<QList<int>>("heads"); // head of each slice, in template order
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<QStringList>("headings");
    QTest::newRow("no slices") << QList<int>{} << QList<int>{0} << QStringList{};
    QTest::newRow("all on head 0") << QList<int>{0, 0} << QList<int>{0} << QStringList{"图像切片重组"};
    QTest::newRow("heads 0 and 1") << QList<int>{0, 1} << QList<int>{-1, 0, 1}
                                   << QStringList{"图像切片重组 喷头::0", "图像切片重组 喷头::1", "图像切片重组"};
    QTest::newRow("heads 1 and 2, head 0 blank")
        << QList<int>{1, 2} << QList<int>{-1, 0, 1, 2}
        << QStringList{"图像切片重组 喷头::0", "图像切片重组 喷头::1", "图像切片重组 喷头::2", "图像切片重组"};
    QTest::newRow("head 2 listed before head 1")
        << QList<int>{2, 1, 2} << QList<int>{-1, 0, 1, 2}
        << QStringList{"图像切片重组 喷头::0", "图像切片重组 喷头::2", "图像切片重组 喷头::1", "图像切片重组"};
}

void ImageWorkTest::headsGetTheirOwnSources()
{
    QFETCH(QList<int>, heads);
    QFETCH(QList<int>, keys);
    QFETCH(QStringList, headings);
    const QImage page = makePage("mono", 600, 400);
    QList<SliceArea_t> slices;
    for (int i = 0; i < heads.size(); ++i)
        slices << slice(i * 150, 20, i * 170, 10, 140, 300, heads[i]);
    APPConfig::m_SliceAreas = slices;

    vqtest::LogCapture log;
    const QMap<int, QImage> sources = ImageWork::img_GetPrintSrc(page);
    QCOMPARE(sources.keys(), keys);

    QStringList seen;
    for (const QString& line : log.lines())
        if (line.startsWith("\"图像切片重组") && !line.contains("new_x"))
            seen << line.mid(1, line.size() - 2);
    QCOMPARE(seen, headings);

    // Without slices the page itself; a single source or the composite holds
    // every slice; a head's own source only its slices (blank when none).
    for (int key : keys) {
        const int only = key == -1 || keys.size() == 1 ? -99 : key;
        const QImage expected = slices.isEmpty() ? page : paintedCanvas(page, slices, page.size(), only);
        QVERIFY2(sources[key] == expected, qPrintable(QString::number(key)));
    }
}

void ImageWorkTest::scaleAndPaperSize_data()
{
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("paperW");
    QTest::addColumn<QSize>("expected");
    QTest::addColumn<QString>("scaleLine"); // empty: no scaling logged
    QTest::newRow("no scale, no paper") << 0.0 << 0.0 << QSize(300, 200) << "";
    QTest::newRow("scale exactly 1.0") << 1.0 << 0.0 << QSize(300, 200) << "";
    QTest::newRow("negative scale") << -2.0 << 0.0 << QSize(300, 200) << "";
    QTest::newRow("half") << 0.5 << 0.0 << QSize(150, 100) << "图像缩放：0.5";
    QTest::newRow("six significant digits") << 1.23456789 << 0.0 << QSize(370, 246) << "图像缩放：1.23457";
    QTest::newRow("paper width with height of the scaled page") << 0.5 << mmFor(640) << QSize(640, 100)
                                                                 << "图像缩放：0.5";
}

void ImageWorkTest::scaleAndPaperSize()
{
    QFETCH(double, scale);
    QFETCH(double, paperW);
    QFETCH(QSize, expected);
    QFETCH(QString, scaleLine);
    APPConfig::g_Scale = scale;
    APPConfig::paperW = paperW;
    const QImage page = makePage("rgb888", 300, 200);

    vqtest::LogCapture log;
    const QMap<int, QImage> sources = ImageWork::img_GetPrintSrc(page);
    QCOMPARE(sources.keys(), QList<int>{0});
    QCOMPARE(sources[0].size(), expected);
    QCOMPARE(log.contains("图像缩放："), !scaleLine.isEmpty());
    if (!scaleLine.isEmpty())
        QCOMPARE(log.count("\"" + scaleLine + "\""), 1);
    QCOMPARE(log.count(QString("\"打印原图像素 w:%1 h:%2\"").arg(expected.width()).arg(expected.height())), 1);
}

void ImageWorkTest::turnsAndMirrorsEverySource_data()
{
    QTest::addColumn<int>("rotate");
    QTest::addColumn<int>("mirrorX");
    QTest::addColumn<int>("mirrorY");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("quarter turn") << 90 << 0 << 0 << QStringList{"图像旋转： 角度:90"};
    QTest::newRow("three quarters and top to bottom")
        << 270 << 0 << 1 << QStringList{"图像旋转： 角度:270", "图像翻转： 水平:0 垂直:1"};
    QTest::newRow("half turn") << 180 << 0 << 0 << QStringList{"图像旋转： 角度:180"};
    QTest::newRow("negative angle is no turn") << -90 << 0 << 0 << QStringList{};
    QTest::newRow("left to right") << 0 << 1 << 0 << QStringList{"图像翻转： 水平:1 垂直:0"};
    QTest::newRow("both ways") << 0 << 2 << 5 << QStringList{"图像翻转： 水平:1 垂直:1"};
    QTest::newRow("negative flags are off") << 0 << -1 << -1 << QStringList{};
}

void ImageWorkTest::turnsAndMirrorsEverySource()
{
    QFETCH(int, rotate);
    QFETCH(int, mirrorX);
    QFETCH(int, mirrorY);
    QFETCH(QStringList, lines);
    APPConfig::g_Rotate = rotate;
    APPConfig::g_MirroreX = mirrorX;
    APPConfig::g_MirroreY = mirrorY;
    const QImage page = makePage("mono", 331, 213);
    const QList<SliceArea_t> slices{slice(0, 0, 0, 0, 200, 213, 0), slice(200, 0, 200, 0, 131, 213, 1)};
    APPConfig::m_SliceAreas = slices;

    vqtest::LogCapture log;
    const QMap<int, QImage> sources = ImageWork::img_GetPrintSrc(page);
    QCOMPARE(sources.keys(), (QList<int>{-1, 0, 1}));
    for (int key : sources.keys()) {
        QImage expected = paintedCanvas(page, slices, page.size(), key == -1 ? -99 : key);
        if (rotate > 0)
            expected = expected.transformed(QTransform().rotate(rotate), Qt::FastTransformation);
        expected = expected.mirrored(mirrorX > 0, mirrorY > 0);
        QVERIFY2(sources[key] == expected, qPrintable(QString::number(key)));
    }
    const QStringList logged = log.lines();
    for (const QString& line : lines) {
        QCOMPARE(logged.count("\"" + line + "\""), 1);
        for (int head : {0, 1})
            QCOMPARE(logged.count(QString("\"%1  喷头::%2\"").arg(line).arg(head)), 1);
    }
    QCOMPARE(log.contains("图像旋转"), rotate > 0);
    QCOMPARE(log.contains("图像翻转"), mirrorX > 0 || mirrorY > 0);
}

void ImageWorkTest::turnedPageKeepsWhitePaperInTheCorners()
{
    QImage page(400, 300, QImage::Format_Mono);
    page.fill(0);
    APPConfig::m_SliceAreas = {slice(0, 0, 0, 0, 400, 300)};
    APPConfig::g_Rotate = 30;
    const QImage turned = ImageWork::img_GetPrintSrc(page)[0];
    QVERIFY(turned.width() > 400);
    QVERIFY(!turned.hasAlphaChannel());
    int black = 0;
    for (int y = 0; y < turned.height(); ++y)
        for (int x = 0; x < turned.width(); ++x) {
            const QRgb c = turned.pixel(x, y);
            QVERIFY2(c == 0xFFFFFFFFu || c == 0xFF000000u, qPrintable(QString::number(c, 16)));
            black += c == 0xFF000000u;
        }
    QCOMPARE(turned.pixel(0, 0), 0xFFFFFFFFu);
    QCOMPARE(turned.pixel(turned.width() - 1, turned.height() - 1), 0xFFFFFFFFu);
    // The page itself stays black: its area, give or take its edges.
    QVERIFY(qAbs(black - 400 * 300) < 2000);
}

void ImageWorkTest::logsAndDumpsPerHead()
{
    APPConfig::g_Debug = true;
    APPConfig::g_Scale = 0.5;
    APPConfig::g_Rotate = 90;
    APPConfig::g_MirroreX = 1;
    APPConfig::m_SliceAreas = {slice(0, 0, 0, 0, 100, 80, 1), slice(100, 0, 100, 0, 50, 80, 0)};
    APPConfig::clearFolder(QDir(APPConfig::output()));

    vqtest::LogCapture log;
    const QMap<int, QImage> sources = ImageWork::img_GetPrintSrc(makePage("mono", 300, 160));
    QCOMPARE(log.lines(),
             QStringList({"\"图像缩放：0.5\"",
                          "\"打印原图像素 w:150 h:80\"",
                          "\"图像切片重组 喷头::0\"",
                          "\"图像切片重组 2 new_x:100 new_y:0 x:100 y:0 width:50 height:80 喷头::0\"",
                          "\"图像旋转： 角度:90  喷头::0\"",
                          "\"图像翻转： 水平:1 垂直:0  喷头::0\"",
                          "\"图像切片重组 喷头::1\"",
                          "\"图像切片重组 1 new_x:0 new_y:0 x:0 y:0 width:100 height:80 喷头::1\"",
                          "\"图像旋转： 角度:90  喷头::1\"",
                          "\"图像翻转： 水平:1 垂直:0  喷头::1\"",
                          "\"图像切片重组\"",
                          "\"图像切片重组 1 new_x:0 new_y:0 x:0 y:0 width:100 height:80\"",
                          "\"图像切片重组 2 new_x:100 new_y:0 x:100 y:0 width:50 height:80\"",
                          "\"图像旋转： 角度:90\"",
                          "\"图像翻转： 水平:1 垂直:0\""}));

    const QString out = APPConfig::output();
    for (const char* name : {"g1_Scale", "g2_CutMeg_0", "g3_Rotate_0", "g4_Mirrore_0", "g5_Print_src_0",
                                "g2_CutMeg_1", "g3_Rotate_1", "g4_Mirrore_1", "g5_Print_src_1", "g2_CutMeg",
                                "g3_Rotate", "g4_Mirrore", "g5_Print_src"})
        QVERIFY2(QFile::exists(out + "/" + name + ".bmp"), name);
    QVERIFY(QImage(out + "/g5_Print_src_1.bmp") == sources[1]);
    QVERIFY(QImage(out + "/g5_Print_src.bmp") == sources[-1]);
}

VQ_TEST_MAIN(ImageWorkTest)
#include "tst_imagework.moc"
