#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationquit.h"
#include "jobs/dotimage.h"
#include "jobs/sendimgqueuethread.h"
#include "jobs/unitencoder.h"
#include "pixelrules.h"
#include "sim/vqsim.h"

namespace {

// Every stored byte random, most of them 0xFF, so that white, near-white and
// alpha-only differences all occur; the bytes that pad rows are filled too.
QImage randomImage(int w, int h, QImage::Format format, quint32 seed)
{
    QImage image(w, h, format);
    QRandomGenerator random(seed);
    for (int i = 0; format == QImage::Format_Indexed8 && i < 256; ++i)
        image.setColorCount(256),
            image.setColor(i, QVector<QRgb> {0xFFFFFFFFu, 0x00FFFFFFu, 0xFFFFFFFEu, random()}[i % 4]);
    std::generate(image.bits(), image.bits() + image.sizeInBytes(),
        [&] { return uchar(random.bounded(10) < 8 ? 0xFF : random()); });
    return image;
}

QImage withTable(QImage image, QRgb c0, QRgb c1) { return image.setColorTable({c0, c1}), image; }
QImage withBytes(QImage image, int row, int at, uchar value, int count = 1)
{
    return memset(image.scanLine(row) + at, value, count), image;
}

// A 2400 x 300 page of three blobs, far enough apart to be cut as three
// units. `heads` tells per blob which heads ink it ("01,0," : blob 1 both,
// blob 2 head 0, blob 3 none); head 0 inks its upper band, head 1 its lower,
// the whole page (-1) both.
QImage pageOf(int head = -1, const QString& heads = "01,01,01")
{
    QList<QRect> inked;
    for (int i = 0; i < heads.split(',').size(); ++i)
        for (int h : {0, 1})
            if ((head == h || head < 0) && heads.split(',')[i].contains(QString::number(h)))
                inked << QRect(40 + 880 * i, 100 + 50 * h, 60, 40);
    return vqtest::pageWith(QSize(2400, 300), inked);
}

QPair<QSize, QByteArray> sizeAndBits(const QImage& image) { return {image.size(), pixelrules::bits(image)}; }
QString saved(const QImage& image, const QString& name)
{
    return image.save(APPConfig::output() + name, "BMP"), APPConfig::output() + name;
}

// What the printer should get, as the digests of the units it decodes: for
// every unit the cutter finds on the whole page, each head's crop of its own
// dots if it holds a dot (for one head: the page's, to head 1), coded with
// the unit's rectangle and place.
QStringList expectedUnits(const QString& heads, bool twoHeads)
{
    const QByteArray bmp = vqtest::encodedImage(pixelrules::dots(pageOf()));
    BMP_CutResult_t cut {};
    CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_B20, (const quint8*)bmp.constData(), quint32(bmp.size()), (quint8*)&cut);
    QStringList units;
    for (const ImageUnitInfo_t& u : QVector<ImageUnitInfo_t>(cut._image_unit_info, cut._image_unit_info + cut._total))
        for (int head : {0, 1}) {
            const QImage crop
                = pixelrules::crop(pixelrules::dots(pageOf(twoHeads ? head : -1, heads)), {u._x, u._y, u._w, u._h});
            const SysSlice_t slice
                = UnitEncoder::descriptor(quint8(units.size()), u._w, u._h, u._pos_x_mm, u._pos_y_mm, quint8(head));
            if (twoHeads ? !pixelrules::allBlack(crop) : head == 1)
                units
                    << QCryptographicHash::hash(UnitEncoder::rawUnit(crop, slice), QCryptographicHash::Sha256).toHex();
        }
    return units;
}

// The command code of each frame the station began to write and "r" for each
// wait for a reply (a read and its retries), in order.
QString exchanges()
{
    QString out;
    qint64 left = 0; // bytes of the frame being written still to come
    for (const vqsim::Transfer& t : vqsim::transfers())
        if (!t.isOut())
            out += out.endsWith(" r") ? "" : " r";
        else if ((left -= t.data.size()) < 0 && t.data.size() >= 8)
            out += " " + QString::number(quint8(t.data[1]), 16),
                left = qFromLittleEndian<quint32>(t.data.constData() + 4) - t.data.size();
    return out.mid(1);
}

} // namespace

class JobsTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        APPConfig::init(), vqtest::useFastClock(); // and an empty working folder
        vqtest::usePrinter("normal");
        QCOMPARE(APPConfig::m_USBDevice.usb_Init(0x2019), 1);
        APPConfig::g_Debug = APPConfig::bln_cmd = APPConfig::bln_ImgW_Complete = false;
        APPConfig::g_Send = true, APPConfig::PrintTotal = 9, StationQuit::resetRequests();
    }
    // The station never uses a closed link.
    void cleanup()
    {
        APPConfig::m_USBDevice.usb_Close();
        QCOMPARE(vqsim::faults(), 0);
    }

    void scanLineFormsMatchPixelRules_data()
    {
        QTest::addColumn<QImage>("image");
        const QImage blank = pixelrules::zeroMono(QSize(45, 3)); // 45 dots: bytes 0-5 hold them, 6-7 pad
        const QRgb white = 0xFFFFFFFFu, black = 0xFF000000u;
        QTest::newRow("1-bit, black and white") << withTable(randomImage(37, 9, QImage::Format_Mono, 1), black, white);
        QTest::newRow("1-bit, white first") << withTable(randomImage(37, 9, QImage::Format_Mono, 1), white, black);
        QTest::newRow("1-bit, both white") << withTable(randomImage(37, 9, QImage::Format_Mono, 1), white, white);
        QTest::newRow("1-bit, neither opaque white")
            << withTable(randomImage(37, 9, QImage::Format_Mono, 1), 0x00FFFFFFu, 0xFEFFFFFFu);
        QTest::newRow("1-bit lsb first") << withTable(randomImage(45, 5, QImage::Format_MonoLSB, 2), white, black);
        QTest::newRow("1-bit with the bits past the width set") << randomImage(77, 20, QImage::Format_Mono, 7);
        QTest::newRow("no bit set") << blank;
        QTest::newRow("last dot set") << withBytes(blank, 2, 5, 0x08);
        QTest::newRow("only whole padding bytes set") << withBytes(blank, 1, 6, 0xFF, 2);
        QTest::newRow("padding bits in the last byte with dots set") << withBytes(blank, 1, 5, 0x07);
        QTest::newRow("all set, white first") << withTable(withBytes(blank, 0, 0, 0xFF, 3 * 8), white, black);
        QTest::newRow("transparent black") << withTable(withBytes(blank, 2, 5, 0x08), 0u, black);
        // Each format the dot image reads on its own, and three that it converts first.
        for (QImage::Format f : {QImage::Format_Indexed8, QImage::Format_Grayscale8, QImage::Format_RGB888,
                 QImage::Format_RGB32, QImage::Format_ARGB32, QImage::Format_ARGB32_Premultiplied, QImage::Format_RGB16,
                 QImage::Format_RGBA8888, QImage::Format_Grayscale16})
            for (int w : {1, 33, 70})
                QTest::addRow("format %d, width %d", int(f), w) << randomImage(w, 7, f, quint32(f * 100 + w));
    }
    void scanLineFormsMatchPixelRules()
    {
        QFETCH(QImage, image);
        QCOMPARE(pixelrules::bits(DotImage::fromPage(image)), pixelrules::bits(pixelrules::dots(image)));
        // A 1-bit image is cropped as it stands, padding bits and all; any other as its dot image.
        const QImage source = image.format() == QImage::Format_Mono ? image : DotImage::fromPage(image);
        for (const QRect& r : {QRect(8, 3, 40, 10), QRect(5, 1, 23, 7), source.rect(), QRect(60, 2, 64, 5),
                 QRect(3, 15, 30, 12), QRect(-5, 0, 20, 4), QRect(100, 30, 32, 3)})
            QCOMPARE(sizeAndBits(DotImage::crop(source, r.x(), r.y(), r.width(), r.height())),
                sizeAndBits(pixelrules::crop(source, r)));
        QCOMPARE(SendImgQueueThread().isAllBlack(image),
            image.format() == QImage::Format_Mono && pixelrules::allBlack(image));
    }

    void unitsAreCodedByteForByte()
    {
        const auto hex = [](const char* digits) { return QByteArray::fromHex(digits); };
        const QImage row = pixelrules::zeroMono({32, 1});
        // Slice 3 at 1.5 mm, -2 mm for head 1; ColorDepth, Type 0; 300 dpi; 32 x 1 dots; then the row.
        QCOMPARE(UnitEncoder::rawUnit(row, UnitEncoder::descriptor(3, 32, 1, 1.5f, -2.0f, 1)),
            hex("03 0000c03f 000000c0 01 00 0000 2c01 2000 0100 00000000"));
        // The descriptor's own bytes join the runs, and the high byte of its Height runs on into the rows.
        QCOMPARE(UnitEncoder::payload(row, UnitEncoder::descriptor(0, 32, 1, 0, 0, 0)),
            hex("0d00 012c 0101 0120 0100 0101 0500"));
        QCOMPARE(UnitEncoder::payload(QImage(), UnitEncoder::descriptor(0, 32, 0, 0, 0, 0)),
            hex("0d00 012c 0101 0120 0300"));
        // The printer reads whole words: bits past the width go out as 0, whatever the image holds there.
        QCOMPARE(UnitEncoder::rawUnit(withBytes(pixelrules::zeroMono({20, 2}), 0, 0, 0xFF, 8),
                     UnitEncoder::descriptor(0, 20, 2, 0, 0, 1))
                     .mid(19),
            hex("fffff000 fffff000"));
        // Runs longer than 255 are split.
        QCOMPARE(UnitEncoder::runLength(QByteArray(255, 7)), hex("ff07"));
        QCOMPARE(UnitEncoder::runLength(QByteArray(300, 7)), hex("ff07 2d07"));
        QCOMPARE(UnitEncoder::runLength(QByteArray(600, 7)), hex("ff07 ff07 5a07"));
        QCOMPARE(UnitEncoder::runLength(hex("0102010203")), hex("0101 0102 0101 0102 0103"));
    }

    void pageGoesOutAsCutUnitsOrNotAtAll_data()
    {
        // entry: C for the whole page, 0 and 1 for the heads' sources; heads: dots per blob, "" for a white page;
        // outcome: the last state shown or, when none is, a line logged; pages: the job's page count.
        QTest::addColumn<QStringList>("entry");
        QTest::addColumn<QString>("heads");
        QTest::addColumn<QByteArray>("scenario");
        QTest::addColumn<QString>("exchanges");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("pages");
        auto row = [](const char* name, QStringList entry, QString heads, QString exchanges, QString outcome,
                       const char* scenario = "normal", int pages = 9) {
            QTest::newRow(name) << entry << heads << QByteArray(scenario) << exchanges << outcome << pages;
        };
        auto printed = [](int units) { return "12 r 40 r " + QString("41 r ").repeated(units) + "12 r 12 r"; };
        const QStringList one {"C"}, two {"C:::-1", "0:::0", "1:::1"};
        // ended: the status request, then the end of the job and the buffer reset.
        const QString all = "01,01,01", done = "当前页打印完成", failed = "打印失败！停止打印", ended = "12 r 42 43";
        row("one head, three units", one, all, printed(3), done);
        row("two heads, dots for both in every unit", two, all, printed(6), done);
        row("two heads, dots for head 0 only in unit 2", two, "01,0,01", printed(5), done);
        row("two heads, dots for head 1 only in unit 1", two, "1,01,01", printed(5), done);
        row("two heads, both empty", two, ",,", printed(0), done);
        row("white page, one head", one, "", "", "No IMAGE UNIT");
        row("white page, two heads", two, "", "", "No IMAGE UNIT");
        row("link closed before the page", one, all, "", "Printer link closed, page not sent", "closed");
        row("busy, one head", one, all, ended, "打印机正处于忙碌状态，停止打印！", "busy");
        row("busy, two heads", two, all, ended, "打印机正处于忙碌状态！", "busy");
        row("silent, one head", one, all, ended, "无法读取打印机状态，停止打印！", "silent");
        row("silent, two heads", two, all, ended, "无法读取打印机状态，停止打印！", "silent");
        // A frame cut short: no reply awaited for it, nothing after it but the end of the job.
        row("task half written, one head", one, all, "12 r 40 42 43", failed, "short-write:2");
        row("task half written, two heads", two, all, "12 r 40 42 43", failed, "short-write:2");
        row("first unit half written, one head", one, all, "12 r 40 r 41 42 43", failed, "short-write:3");
        row("unplugged before the second unit, two heads", two, all, "12 r 40 r 41 r 41 42 43", failed,
            "unplug-after:3");
        row("page number above the page count", one, all, "12 r 41 r 41 r 41 r 12 r 12 r 12 r 12 r 42 43", failed,
            "normal", 0); // no task sent
        // Refused entries send nothing; the mono page file of an earlier page is never cut instead.
        row("no head 1", {"C:::-1", "0:::0"}, all, "", "不存在1号喷头数据");
        row("no head 0", {"C:::-1", "1:::1"}, all, "", "不存在0号喷头数据");
        row("no composite", {"0:::0", "1:::1"}, all, "", "不存在-1号喷头数据");
        row("trailing bar", two + QStringList {""}, all, "", "图像有问题");
        row("key twice", {"C:::-1", "0:::0", "1:::1:::1"}, all, "", "图像有问题");
        row("missing bitmap", {"C:::-1", "0:::0", "/none.bmp:::1"}, all, "", "图像有问题");
        row("one head, missing bitmap", {"/none.bmp"}, all, "", "图像有问题");
    }
    void pageGoesOutAsCutUnitsOrNotAtAll()
    {
        QFETCH(QStringList, entry);
        QFETCH(QString, heads);
        QFETCH(QByteArray, scenario);
        QFETCH(QString, outcome);
        QFETCH(int, pages);
        vqtest::usePrinter(scenario == "closed" ? "normal" : scenario.constData());
        QVERIFY(scenario == "closed" || APPConfig::m_USBDevice.usb_Init(0x2019) == 1);
        APPConfig::PrintTotal = pages;
        saved(pageOf(), "g_Print_src_mono.bmp"); // an earlier page's, never to be cut again
        saved(pageOf(-1, heads.isEmpty() ? "" : "01,01,01"), "C"), saved(pageOf(0, heads), "0"),
            saved(pageOf(1, heads), "1");
        for (QString& element : entry) // named by its code letter in the working folder, unless absolute or empty
            element.prepend(element.isEmpty() || element[0] == '/' ? "" : APPConfig::output());

        SendImgQueueThread thread;
        QSignalSpy numbers(&thread, &SendImgQueueThread::handleNum), states(&thread, &SendImgQueueThread::handleState);
        vqtest::LogCapture log;
        entry.size() == 1 ? thread._handleImgFile(entry[0]) : thread._handleMuiltImgFile(entry);

        QTEST(exchanges(), "exchanges");
        QVERIFY2(states.isEmpty() ? log.contains(outcome) : states.last().at(0) == outcome, qPrintable(outcome));
        // Every entry takes a page number. A run that ends closes the link and asks once to quit.
        const bool ended = !states.isEmpty() && outcome != "当前页打印完成";
        QCOMPARE(QList<int>({numbers.size(), numbers.value(0).value(0).toInt(), APPConfig::m_USBDevice.bln_connect,
                     StationQuit::requests()}),
            QList<int>({1, 1, !ended && scenario != "closed", ended}));
        if (outcome == "当前页打印完成") {
            QStringList received {
                QString("page %1 of %2").arg(vqsim::pages().value(0).PageNo).arg(vqsim::pages().value(0).TotalPages)};
            for (const vqsim::UnitRecord& u : vqsim::pages().value(0).units)
                received << u.sha256;
            QCOMPARE(received, QStringList {"page 1 of 9"} + expectedUnits(heads, entry.size() > 1));
        }
    }

    void dispatchLoopRunsACommandLineJob()
    {
        auto enqueue = [](const QString& entry) {
            QMutexLocker lock(APPConfig::mutexM);
            APPConfig::_imgIdsQueue.enqueue(entry);
        };
        vqtest::LogCapture log;
        APPConfig::g_Debug = true, APPConfig::bln_cmd = true,
        APPConfig::SendTotal = 1; // debugging the first page; one prepared so far
        SendImgQueueThread loop;
        const auto stopped = qScopeGuard([&loop] { loop.stop(), loop.wait(); });
        enqueue(saved(pageOf(), "page1.bmp"));
        loop.start();
        QTRY_VERIFY(log.contains("*** Print Over!")); // the page's files are dealt with right after
        QVERIFY(!QTest::qWaitFor(
            [] { return StationQuit::requests() > 0; }, 100)); // many idle polls, no quit: more pages to come
        APPConfig::g_Debug
            = false; // the files of a one-head page go, of a two-head page all but the mono file per head
        enqueue(saved(pageOf(), "page2.bmp"));
        enqueue(saved(pageOf(), "page3.bmp") + ":::-1|" + saved(pageOf(), "h0.bmp") + ":::0|"
            + saved(pageOf(), "h1.bmp") + ":::1");
        APPConfig::SendTotal = 3, APPConfig::bln_ImgW_Complete = true;
        QTRY_VERIFY(StationQuit::requests() >= 2); // once all is printed, asked again after every idle poll
        QCOMPARE(QPoint(vqsim::pages().size(), vqsim::pages().value(2).PageNo), QPoint(3, 3));
        QCOMPARE(QDir(APPConfig::output()).entryList({"*.bmp"}),
            QStringList({"g_Print_src_mono_0.bmp", "g_Print_src_mono_1.bmp", "page1.bmp", "SliceBmp_1.bmp",
                "SliceBmp_2.bmp", "SliceBmp_3.bmp"}));
    }
};

VQ_TEST_MAIN(JobsTest)
#include "tst_jobs.moc"
