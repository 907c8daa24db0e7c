#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationquit.h"
#include "jobs/sendimgqueuethread.h"
#include "pixelrules.h"
#include "printer/unitencoder.h"
#include "sim/vqsim.h"

namespace {

// A 2400 x 300 page of three blobs, far enough apart to be cut as three units; white when `heads` is empty. The
// whole page (-1) has every blob; `heads` tells per blob whether head 0 and head 1 ink it ("111001": blob 1 both,
// blob 2 head 0, blob 3 head 1), head 0 its upper band, head 1 its lower.
QImage pageOf(int head = -1, const QString& heads = "111111")
{
    QList<QRect> inked;
    for (int i = 0; i < heads.size(); ++i)
        if (head < 0 || (head == i % 2 && heads[i] == '1'))
            inked << QRect(40 + 880 * (i / 2), 100 + 50 * (i % 2), 60, 40);
    return vqtest::pageWith(QSize(2400, 300), inked);
}

// What the printer should get, as the digests of the units it decodes: for every unit the cutter finds on the whole
// page, each head's crop of its own dots if it holds a dot (for one head: the page's, to head 1), coded with the
// unit's rectangle and place.
QStringList expectedUnits(const QString& heads, bool twoHeads)
{
    const QByteArray bmp = vqtest::encodedImage(pixelrules::dots(pageOf()));
    BMP_CutResult_t cut {};
    CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_B20, (const quint8*)bmp.constData(), quint32(bmp.size()), (quint8*)&cut);
    QStringList units;
    for (const ImageUnitInfo_t& u : QVector<ImageUnitInfo_t>(cut._image_unit_info, cut._image_unit_info + cut._total))
        for (int head : {0, 1}) {
            const QImage dots = pixelrules::dots(pageOf(twoHeads ? head : -1, heads));
            const QImage crop = pixelrules::crop(dots, {u._x, u._y, u._w, u._h});
            const auto d = UnitEncoder::descriptor(units.size(), u._w, u._h, u._pos_x_mm, u._pos_y_mm, head);
            if (twoHeads ? !pixelrules::allBlack(crop) : head == 1)
                units << QCryptographicHash::hash(UnitEncoder::rawUnit(crop, d), QCryptographicHash::Sha256).toHex();
        }
    return units;
}

} // namespace

class JobsTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        APPConfig::init(); // and an empty working folder, made the current one
        QDir::setCurrent(APPConfig::output());
        vqtest::useFastClock();
        APPConfig::g_Send = true;
        APPConfig::PrintTotal = 9;
        StationQuit::resetRequests();
    }
    void cleanup() { QCOMPARE(vqsim::faults(), 0); } // the station never uses a closed link

    void pageGoesOutAsCutUnitsOrNotAtAll_data()
    {
        // entry: C for the whole page, 0 and 1 for the heads' sources; outcome: the exchanges, then the last state
        // shown or, when none is, the last line logged (after the page number shown, 1 for every entry); heads: see
        // pageOf, "" for a white page; pages: the job's page count.
        QTest::addColumn<QStringList>("entry");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QByteArray>("scenario");
        QTest::addColumn<QString>("heads");
        QTest::addColumn<int>("pages");
        auto row = [](const char* name, QStringList entry, QString outcome, const char* scenario = "normal",
                       QString heads = "111111", int pages = 9) {
            QTest::newRow(name) << entry << "page 1 " + outcome << QByteArray(scenario) << heads << pages;
        };
        auto printed = [](int n) { return "12 r 40 r " + QString("41 r ").repeated(n) + "12 r 12 r | 当前页打印完成"; };
        const QStringList one {"C"}, two {"C:::-1", "0:::0", "1:::1"};
        // A run that ends: the end of the job and the buffer reset, the link closed, one request to quit.
        const QString end = " 42 43 closed quit | ", failed = end + "打印失败！停止打印";
        row("one head, three units", one, printed(3));
        row("two heads: unit 1 both, unit 2 head 0, unit 3 head 1", two, printed(4), "normal", "111001");
        row("two heads, both empty", two, printed(0), "normal", "000000");
        row("white page, one head", one, "| No IMAGE UNIT", "normal", "");
        row("white page, two heads", two, "| No IMAGE UNIT", "normal", "");
        row("no printer, the link closed", one, "closed | Printer link closed, page not sent", "absent");
        row("busy, one head", one, "12 r" + end + "打印机正处于忙碌状态，停止打印！", "busy");
        row("busy, two heads", two, "12 r" + end + "打印机正处于忙碌状态！", "busy");
        row("silent", one, "12 r" + end + "无法读取打印机状态，停止打印！", "silent");
        // A frame cut short: no reply awaited for it, nothing after it but the end of the job.
        row("task half written, one head", one, "12 r 40" + failed, "short-write:2");
        row("task half written, two heads", two, "12 r 40" + failed, "short-write:2");
        row("first unit half written, one head", one, "12 r 40 r 41" + failed, "short-write:3");
        row("unplugged before the second unit, two heads", two, "12 r 40 r 41 r 41" + failed, "unplug-after:3");
        // A page number above the page count: no task is sent, and the printer, holding none, never reports the
        // page received.
        row("page above the count", one, "12 r 41 r 41 r 41 r 12 r 12 r 12 r 12 r" + failed, "normal", "111111", 0);
        // Refused entries send nothing; the mono page file of an earlier page is never cut instead.
        row("no head 1", {"C:::-1", "0:::0"}, "| 不存在1号喷头数据！");
        row("no head 0", {"C:::-1", "1:::1"}, "| 不存在0号喷头数据！");
        row("no composite", {"0:::0", "1:::1"}, "| 不存在-1号喷头数据！");
        row("trailing bar", two + QStringList {""}, "| 图像有问题 1 \"\"");
        row("key twice", {"C:::-1", "0:::0", "1:::1:::1"}, "| 图像有问题 1 \"1:::1:::1\"");
        row("missing bitmap", {"C:::-1", "0:::0", "/none.bmp:::1"}, "| 图像有问题 1 \"/none.bmp\"");
        row("one head, missing bitmap", {"/none.bmp"}, "| 图像有问题 1 \"/none.bmp\"");
    }
    void pageGoesOutAsCutUnitsOrNotAtAll()
    {
        QFETCH(QStringList, entry);
        QFETCH(QByteArray, scenario);
        QFETCH(QString, heads);
        QFETCH(int, pages);
        vqtest::usePrinter(scenario.constData());
        APPConfig::m_USBDevice.usb_Init(0x2019);
        APPConfig::PrintTotal = pages;
        pageOf().save("g_Print_src_mono.bmp", "BMP"); // an earlier page's, never to be cut again
        for (int head : {-1, 0, 1})
            pageOf(head, heads).save(head < 0 ? "C" : QString::number(head), "BMP");

        SendImgQueueThread thread;
        QSignalSpy numbers(&thread, &SendImgQueueThread::handleNum);
        QSignalSpy states(&thread, &SendImgQueueThread::handleState);
        vqtest::LogCapture log;
        if (entry.size() == 1)
            thread._handleImgFile(entry[0]);
        else
            thread._handleMuiltImgFile(entry);

        // The page number shown; the command code of each frame the station began to write (a write that starts
        // with the frame head 0x7E: the later chunks of the units sent here never do) and "r" for each wait for a
        // reply (a read and its retries), in order; "closed" when the link is closed, "quit" for each request to
        // quit; then the last state shown or, when none is, the last line logged.
        QString outcome = "page " + numbers.value(0).value(0).toString();
        for (const vqsim::Transfer& t : vqsim::transfers())
            if (!t.isOut())
                outcome += outcome.endsWith('r') ? "" : " r";
            else if (t.data.startsWith('\x7e'))
                outcome += " " + QString::number(quint8(t.data[1]), 16);
        outcome += APPConfig::m_USBDevice.bln_connect ? "" : " closed";
        outcome += QString(" quit").repeated(StationQuit::requests()) + " | ";
        outcome += states.isEmpty() ? log.lines().value(log.lines().size() - 1) : states.last().at(0).toString();
        QTEST(outcome, "outcome");
        const vqsim::PageRecord page = vqsim::pages().value(0);
        QStringList received {QString("page %1 of %2").arg(page.PageNo).arg(page.TotalPages)};
        for (const vqsim::UnitRecord& u : page.units)
            received << u.sha256;
        if (outcome.endsWith("当前页打印完成"))
            QCOMPARE(received, QStringList {"page 1 of 9"} + expectedUnits(heads, entry.size() > 1));
    }

    void dispatchLoopRunsACommandLineJob()
    {
        vqtest::usePrinter("normal");
        QCOMPARE(APPConfig::m_USBDevice.usb_Init(0x2019), 1);
        for (const QString name : {"page1", "page2", "page3", "h0", "h1"})
            pageOf().save(name + ".bmp", "BMP");
        vqtest::LogCapture log;
        APPConfig::bln_cmd = APPConfig::g_Debug = true; // debugging the first page, the only one prepared so far
        APPConfig::SendTotal = 1;
        APPConfig::enqueuePrintEntries({"page1.bmp"});
        SendImgQueueThread loop;
        loop.start();
        const auto stopped = qScopeGuard([&loop] {
            loop.stop();
            loop.wait();
        });
        QTRY_VERIFY(log.contains("*** Print Over!")); // the page's files are dealt with right after
        // Many idle polls, no quit: more pages are to come.
        QVERIFY(!QTest::qWaitFor([] { return StationQuit::requests() > 0; }, 100));
        // The files of a one-head page go, of a two-head page all but the mono file per head.
        APPConfig::g_Debug = false;
        APPConfig::enqueuePrintEntries({"page2.bmp", "page3.bmp:::-1|h0.bmp:::0|h1.bmp:::1"});
        APPConfig::SendTotal = 3;
        APPConfig::bln_ImgW_Complete = true;
        QTRY_VERIFY(StationQuit::requests() >= 2); // once all is printed, asked again after every idle poll
        QCOMPARE(QPoint(vqsim::pages().size(), vqsim::pages().value(2).PageNo), QPoint(3, 3));
        QCOMPARE(QDir().entryList({"*.bmp"}).join(' '),
            "g_Print_src_mono_0.bmp g_Print_src_mono_1.bmp page1.bmp SliceBmp_1.bmp SliceBmp_2.bmp SliceBmp_3.bmp");
    }
};

VQ_TEST_MAIN(JobsTest)
#include "tst_jobs.moc"
