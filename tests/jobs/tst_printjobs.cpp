#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "app/stationquit.h"
#include "jobs/sendimgqueuethread.h"
#include "pixelrules.h"
#include "sim/vqsim.h"

#include <QPainter>
#include <QSignalSpy>

#include <cstring>

namespace {

// Pages of three blobs, far enough apart to be cut as three units. Head 0
// inks the upper band of a blob, head 1 the lower; the composite has both.
const int kBlobX[3] = {40, 900, 1800};
const QRect kHeadBand[2] = {QRect(0, 100, 60, 40), QRect(0, 150, 60, 40)};

QString workFile(const QString& name) { return APPConfig::output() + "/" + name; }

// `heads` per blob, e.g. "01,0,": blob 1 inked by both heads, blob 2 by
// head 0, blob 3 by none.
QImage pageOf(int head, const QString& heads)
{
    QImage page(2400, 300, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter painter(&page);
    const QStringList blobs = heads.split(',');
    for (int i = 0; i < blobs.size(); ++i)
        for (int h : {0, 1})
            if ((head == h || head < 0) && blobs.at(i).contains(QString::number(h)))
                painter.fillRect(kHeadBand[h].translated(kBlobX[i], 0), Qt::black);
    return page;
}

QString save(const QImage& image, const QString& name)
{
    image.save(workFile(name), "BMP");
    return workFile(name);
}

// The composite always carries every blob, so a page whose heads print
// nothing still has units.
QStringList twoHeadEntry(const QString& heads, const QString& composite = "01,01,01")
{
    return {save(pageOf(-1, composite), "src.bmp") + ":::-1", save(pageOf(0, heads), "src_0.bmp") + ":::0",
            save(pageOf(1, heads), "src_1.bmp") + ":::1"};
}

void printPage(SendImgQueueThread* thread, bool twoHeads, const QString& heads = "01,01,01")
{
    if (twoHeads)
        thread->_handleMuiltImgFile(twoHeadEntry(heads, heads));
    else
        thread->_handleImgFile(save(pageOf(-1, heads), "page.bmp"));
}

BMP_CutResult_t cutOf(const QImage& dots)
{
    const QByteArray bmp = vqtest::encodedImage(dots);
    BMP_CutResult_t result;
    std::memset(&result, 0, sizeof result);
    CAppBmpCut().OS_Apps_BmpCut(quint8(APPConfig::g_type), reinterpret_cast<const quint8*>(bmp.constData()),
                                quint32(bmp.size()), reinterpret_cast<quint8*>(&result));
    return result;
}

// Every received unit must be the crop of the named head's dot image with
// the rectangle and position the cutter found on the composite.
void verifyUnits(const vqsim::PageRecord& page, const QString& heads, bool twoHeads)
{
    const BMP_CutResult_t cut = cutOf(pixelrules::dots(pageOf(-1, "01,01,01")));
    QCOMPARE(int(cut._total), 3);
    const QStringList blobs = heads.split(',');
    int k = 0;
    for (int i = 0; i < 3; ++i) {
        for (int head : {0, 1}) {
            if (twoHeads ? !blobs.at(i).contains(QString::number(head)) : head == 0)
                continue;
            QVERIFY(k < page.units.size());
            const vqsim::UnitRecord& got = page.units.at(k);
            const ImageUnitInfo_t& u = cut._image_unit_info[i];
            const QImage source = pixelrules::dots(pageOf(twoHeads ? head : -1, heads));
            QVERIFY2(got.malformed.isEmpty(), qPrintable(got.malformed));
            QCOMPARE(int(got.SliceNo), k);
            QCOMPARE(int(got.Head), head);
            QCOMPARE(got.PosXmm, float(u._pos_x_mm));
            QCOMPARE(got.PosYmm, float(u._pos_y_mm));
            QCOMPARE(got.Width, quint16(u._w));
            QCOMPARE(got.Height, quint16(u._h));
            QCOMPARE(got.rows, pixelrules::bits(pixelrules::crop(source, QRect(u._x, u._y, u._w, u._h))));
            ++k;
        }
    }
    QCOMPARE(int(page.SliceAmount), k);
    QCOMPARE(page.units.size(), k);
}

QList<quint8> frameTypes()
{
    QList<quint8> types;
    for (const vqsim::Frame& f : vqsim::frames())
        types << f.type;
    return types;
}

QStringList texts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

void enqueue(const QString& entry)
{
    QMutexLocker lock(APPConfig::mutexM);
    APPConfig::_imgIdsQueue.enqueue(entry);
}

// A started dispatch loop, stopped and joined however the test ends.
struct RunningLoop {
    SendImgQueueThread thread;
    RunningLoop() { thread.start(); }
    ~RunningLoop()
    {
        thread.stop();
        thread.wait(20000);
    }
};

} // namespace

class PrintJobsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pageGoesOutAsCutUnits_data();
    void pageGoesOutAsCutUnits();
    void pageThatCannotBePrintedSendsNoTask_data();
    void pageThatCannotBePrintedSendsNoTask();
    void unsentPageIsStillCutLoggedAndDumped_data();
    void unsentPageIsStillCutLoggedAndDumped();
    void refusedEntryUsesPageNumberAndSendsNothing_data();
    void refusedEntryUsesPageNumberAndSendsNothing();
    void refusedTaskIsNotReportedAsSent();
    void dispatchLoopCleansUpAfterEachEntry_data();
    void dispatchLoopCleansUpAfterEachEntry();
    void commandLineJobQuitsOncePreparedPagesArePrinted();
};

void PrintJobsTest::initTestCase()
{
    APPConfig::init();
    StationPause::setScale(0.001);
    vqsim::setTimeScale(0.001);
    StationQuit::setQuitsApplication(false);
}

void PrintJobsTest::init()
{
    for (const char* name : {"VQSIM_SCENARIO", "VQSIM_PRINT_POLLS", "VQSIM_OUT", "VQSIM_CAPTURE"})
        qunsetenv(name);
    vqsim::reset();
    QCOMPARE(APPConfig::m_USBDevice.usb_Init(0x2019), 1);
    APPConfig::clearFolder(QDir(APPConfig::output()));
    APPConfig::g_Send = true;
    APPConfig::g_Debug = false;
    APPConfig::g_type = DEV_TYPE_TRV_B20;
    APPConfig::PrintTotal = 9;
    APPConfig::bln_cmd = false;
    APPConfig::bln_ImgW_Complete = false;
    StationQuit::resetRequests();
}

void PrintJobsTest::cleanup()
{
    APPConfig::m_USBDevice.usb_Close();
    QCOMPARE(vqsim::faults(), 0);
}

void PrintJobsTest::pageGoesOutAsCutUnits_data()
{
    QTest::addColumn<bool>("twoHeads");
    QTest::addColumn<QString>("heads");
    QTest::newRow("one head, three units") << false << "01,01,01";
    QTest::newRow("two heads, dots for both in every unit") << true << "01,01,01";
    QTest::newRow("two heads, dots for head 0 only in unit 2") << true << "01,0,01";
    QTest::newRow("two heads, dots for head 1 only in unit 1") << true << "1,01,01";
    QTest::newRow("two heads, both empty") << true << ",,";
}

void PrintJobsTest::pageGoesOutAsCutUnits()
{
    QFETCH(bool, twoHeads);
    QFETCH(QString, heads);
    SendImgQueueThread thread;
    QSignalSpy numbers(&thread, &SendImgQueueThread::handleNum);
    QSignalSpy states(&thread, &SendImgQueueThread::handleState);
    for (int pageNo = 1; pageNo <= 2; ++pageNo) {
        vqtest::LogCapture log;
        if (twoHeads)
            thread._handleMuiltImgFile(twoHeadEntry(heads));
        else
            printPage(&thread, false, heads);

        QCOMPARE(vqsim::pages().size(), pageNo);
        const vqsim::PageRecord got = vqsim::pages().last();
        QCOMPARE(int(got.PageNo), pageNo);
        QCOMPARE(int(got.TotalPages), 9);
        QCOMPARE(APPConfig::PrintNo.load(), pageNo);
        QCOMPARE(numbers.last().at(0).toInt(), pageNo);
        verifyUnits(got, heads, twoHeads);
        if (!twoHeads)
            QVERIFY(log.lines().filter("发送图元").isEmpty());
    }
    QVERIFY(texts(states).contains("发送打印任务"));
    QCOMPARE(texts(states).last(), QString("当前页打印完成"));
    QCOMPARE(frameTypes().mid(0, 2), (QList<quint8>{PC_TO_ARM_USB_RD_DEV_STATE, PC_TO_ARM_USB_SEND_TASK}));
    QCOMPARE(StationQuit::requests(), 0);
}

void PrintJobsTest::pageThatCannotBePrintedSendsNoTask_data()
{
    QTest::addColumn<bool>("twoHeads");
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QString>("heads");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QStringList>("shown");
    const QString busy = "打印机正处于忙碌状态！";
    const QString unreadable = "无法读取打印机状态！";
    const QString unreadableShown = "无法读取打印机状态，停止打印！";
    QTest::newRow("white page") << false << QByteArray("normal") << ",," << "No IMAGE UNIT" << QStringList{};
    QTest::newRow("white two-head page") << true << QByteArray("normal") << ",," << "No IMAGE UNIT" << QStringList{};
    QTest::newRow("link closed by the window") << false << QByteArray("closed") << "01,01,01"
                                               << "Printer link closed, page not sent" << QStringList{};
    QTest::newRow("busy, one head") << false << QByteArray("busy") << "01,01,01" << busy
                                    << QStringList{"打印机正处于忙碌状态，停止打印！"};
    QTest::newRow("busy, two heads") << true << QByteArray("busy") << "01,01,01" << busy << QStringList{busy};
    QTest::newRow("silent, one head") << false << QByteArray("silent") << "01,01,01" << unreadable
                                      << QStringList{unreadableShown};
    QTest::newRow("silent, two heads") << true << QByteArray("silent") << "01,01,01" << unreadable
                                       << QStringList{unreadableShown};
}

void PrintJobsTest::pageThatCannotBePrintedSendsNoTask()
{
    QFETCH(bool, twoHeads);
    QFETCH(QByteArray, scenario);
    QFETCH(QString, heads);
    QFETCH(QString, logged);
    QFETCH(QStringList, shown);
    APPConfig::m_USBDevice.usb_Close();
    if (scenario != "closed") {
        qputenv("VQSIM_SCENARIO", scenario);
        vqsim::reset();
        QCOMPARE(APPConfig::m_USBDevice.usb_Init(0x2019), 1);
    }

    SendImgQueueThread thread;
    QSignalSpy states(&thread, &SendImgQueueThread::handleState);
    vqtest::LogCapture log;
    printPage(&thread, twoHeads, heads);

    QCOMPARE(texts(states), shown);
    const QStringList lines = log.lines();
    const int at = lines.indexOf(logged);
    QVERIFY2(at >= 0, qPrintable(lines.join('\n')));
    if (shown.isEmpty()) {
        QVERIFY(vqsim::transfers().isEmpty());
        QCOMPARE(bool(APPConfig::m_USBDevice.bln_connect), scenario != "closed");
        QCOMPARE(StationQuit::requests(), 0);
        return;
    }
    // The whole run ends: end of job, buffer reset, link closed, quit.
    QCOMPARE(lines.value(at + 1), QString(separatorLine()));
    QCOMPARE(frameTypes(), (QList<quint8>{PC_TO_ARM_USB_RD_DEV_STATE, PC_TO_ARM_USB_SEND_OVER,
                                           PC_TO_ARM_USB_SEND_FIFO_RST}));
    QVERIFY(!APPConfig::m_USBDevice.bln_connect);
    QCOMPARE(StationQuit::requests(), 1);
}

void PrintJobsTest::unsentPageIsStillCutLoggedAndDumped_data()
{
    QTest::addColumn<bool>("twoHeads");
    QTest::addColumn<bool>("debug");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("lines");
    const QString unit1 = "x:32 y:43 w:320 h:204 posx:4.64mm posy:1.35fmm\"";
    QTest::newRow("one head, debugging")
        << false << true << QStringList{"SliceBmp_1.bmp", "SliceBmp_2.bmp", "SliceBmp_3.bmp"}
        << QStringList{"\"SliceBmp Save:slice1-" + unit1};
    QTest::newRow("two heads, debugging")
        << true << true
        << QStringList{"SliceBmp_0_1.bmp", "SliceBmp_0_2.bmp", "SliceBmp_0_3_unuse.bmp", "SliceBmp_1_1.bmp",
                       "SliceBmp_1_2_unuse.bmp", "SliceBmp_1_3_unuse.bmp"}
        << QStringList{"\"SliceBmp_1 Save:slice1-" + unit1, "\"SliceBmp_0 Save:slice1-" + unit1,
                       "发送图元 1 \"" + workFile("SliceBmp_1_1.bmp") + "\"", "发送图元 1 喷头 1", "发送图元 2 喷头 0"};
    QTest::newRow("two heads") << true << false << QStringList{}
                               << QStringList{"发送图元 0 \"\"", "发送图元 0 喷头 0", "发送图元 2 喷头 0"};
}

void PrintJobsTest::unsentPageIsStillCutLoggedAndDumped()
{
    QFETCH(bool, twoHeads);
    QFETCH(bool, debug);
    QFETCH(QStringList, files);
    QFETCH(QStringList, lines);
    APPConfig::g_Send = false;
    APPConfig::g_Debug = debug;
    SendImgQueueThread thread;
    vqtest::LogCapture log;
    if (twoHeads)
        thread._handleMuiltImgFile(twoHeadEntry("01,0,"));
    else
        printPage(&thread, false);

    QVERIFY(vqsim::transfers().isEmpty());
    QCOMPARE(sorted(QDir(APPConfig::output()).entryList({"SliceBmp*"}, QDir::Files)), sorted(files));
    QCOMPARE(QFile::exists(workFile("g_Print_src_mono_1.bmp")), twoHeads);
    QCOMPARE(log.lines().filter(" Save:slice").size(), twoHeads ? 6 : 3);
    for (const QString& line : lines)
        QVERIFY2(log.lines().contains(line), qPrintable(line + "\n" + log.lines().join('\n')));
}

void PrintJobsTest::refusedEntryUsesPageNumberAndSendsNothing_data()
{
    // C, 0 and 1 stand for the paths of the composite and the two heads.
    QTest::addColumn<QStringList>("elements");
    QTest::addColumn<QString>("logged");
    QTest::newRow("no head 1") << QStringList{"C:::-1", "0:::0"} << "不存在1号喷头数据！";
    QTest::newRow("no head 0") << QStringList{"C:::-1", "1:::1"} << "不存在0号喷头数据！";
    QTest::newRow("no composite") << QStringList{"0:::0", "1:::1"} << "不存在-1号喷头数据！";
    QTest::newRow("trailing bar") << QStringList{"C:::-1", "0:::0", "1:::1", ""} << "图像有问题 1 \"\"";
    QTest::newRow("key twice") << QStringList{"C:::-1", "0:::0", "1:::1:::1"} << "图像有问题 1 \"1:::1:::1\"";
    QTest::newRow("missing bitmap") << QStringList{"C:::-1", "0:::0", "/none.bmp:::1"} << "图像有问题 1 \"/none.bmp\"";
    QTest::newRow("one head, missing bitmap") << QStringList{"/none.bmp"} << "图像有问题 1 \"/none.bmp\"";
}

void PrintJobsTest::refusedEntryUsesPageNumberAndSendsNothing()
{
    QFETCH(QStringList, elements);
    QFETCH(QString, logged);
    const QStringList entry = twoHeadEntry("01,01,01");
    const QString paths[3] = {entry.at(0).section(":::", 0, 0), entry.at(1).section(":::", 0, 0),
                              entry.at(2).section(":::", 0, 0)};
    const QString codes = "C01";
    for (QString& e : elements)
        if (!e.isEmpty() && codes.contains(e.at(0)))
            e.replace(0, 1, paths[codes.indexOf(e.at(0))]);
    logged.replace("\"1:::", "\"" + paths[2] + ":::");
    // A mono page file left by an earlier page must never be cut again.
    pixelrules::dots(pageOf(-1, "01,01,01")).save(workFile("g_Print_src_mono.bmp"), "BMP");

    SendImgQueueThread thread;
    QSignalSpy numbers(&thread, &SendImgQueueThread::handleNum);
    vqtest::LogCapture log;
    if (elements.size() == 1)
        thread._handleImgFile(elements.first());
    else
        thread._handleMuiltImgFile(elements);

    QCOMPARE(numbers.size(), 1);
    QVERIFY2(log.lines().contains(logged), qPrintable(log.lines().join('\n')));
    QVERIFY(log.lines().filter("BMP_CutResult").isEmpty());
    QVERIFY(vqsim::transfers().isEmpty());
    QVERIFY(QDir(APPConfig::output()).entryList({"g_Print_src_mono_*"}).isEmpty());
}

void PrintJobsTest::refusedTaskIsNotReportedAsSent()
{
    APPConfig::PrintTotal = 0; // the printer takes no page number above the page count
    SendImgQueueThread thread;
    vqtest::LogCapture log;
    printPage(&thread, false);

    QVERIFY(log.lines().contains("\"Send SysPrintTask Failed: pageno=1 > pageamount=0\""));
    QVERIFY(!log.lines().contains("Send SysPrintTask Success"));
    QVERIFY(!frameTypes().contains(PC_TO_ARM_USB_SEND_TASK));
    // The units still go out; the supervision then finds no task received.
    QCOMPARE(frameTypes().count(PC_TO_ARM_USB_SEND_IMAGE_UNIT), 3);
    QVERIFY(log.lines().contains("发送图元失败!"));
    QCOMPARE(StationQuit::requests(), 1);
}

void PrintJobsTest::dispatchLoopCleansUpAfterEachEntry_data()
{
    QTest::addColumn<bool>("twoHeads");
    QTest::addColumn<bool>("debug");
    QTest::addColumn<QStringList>("left");
    QTest::newRow("one head") << false << false << QStringList{};
    // The per-head mono files keep their names and are overwritten.
    QTest::newRow("two heads") << true << false << QStringList{"g_Print_src_mono_0.bmp", "g_Print_src_mono_1.bmp"};
    QTest::newRow("one head, debugging")
        << false << true
        << QStringList{"SliceBmp_1.bmp", "SliceBmp_2.bmp", "SliceBmp_3.bmp", "g_Print_src_mono.bmp", "page.bmp"};
}

void PrintJobsTest::dispatchLoopCleansUpAfterEachEntry()
{
    QFETCH(bool, twoHeads);
    QFETCH(bool, debug);
    QFETCH(QStringList, left);
    APPConfig::g_Debug = debug;
    APPConfig::g_Send = false;
    const QString entry = twoHeads ? twoHeadEntry("01,01,01").join('|') : save(pageOf(-1, "01,01,01"), "page.bmp");
    vqtest::LogCapture log;
    {
        RunningLoop loop;
        enqueue(entry);
        QTRY_COMPARE_WITH_TIMEOUT(loop.thread.i_num.load(), 1, 20000);
    }

    QVERIFY(log.lines().contains(QString("SendImgQueueThread==== \"%1\" 0").arg(entry)));
    QCOMPARE(log.lines().filter(twoHeads ? "SliceBmp_0 Save" : "SliceBmp Save").size(), 3);
    QCOMPARE(sorted(QDir(APPConfig::output()).entryList(QDir::Files)), sorted(left));
    QVERIFY(log.lines().last().startsWith("exit SendImgQueueThread id:"));
}

void PrintJobsTest::commandLineJobQuitsOncePreparedPagesArePrinted()
{
    APPConfig::bln_cmd = true;
    APPConfig::SendTotal = 3;
    // The watcher has found a fourth page that is still being prepared.
    APPConfig::bln_ImgW_Complete = false;
    const QImage page = pageOf(-1, "01,,");
    vqtest::LogCapture log;
    for (int i = 1; i <= 3; ++i)
        enqueue(save(page, QString("page%1.bmp").arg(i)));
    RunningLoop loop;
    QTRY_COMPARE_WITH_TIMEOUT(log.count("*** Print Over!"), 3, 30000);
    QTest::qWait(200); // many idle polls
    QCOMPARE(StationQuit::requests(), 0);
    QVERIFY(!log.lines().contains(separatorLine()));

    enqueue(save(page, "page4.bmp"));
    APPConfig::SendTotal = 4;
    APPConfig::bln_ImgW_Complete = true;
    QTRY_VERIFY_WITH_TIMEOUT(StationQuit::requests() >= 2, 30000); // asked again after every idle poll
    QCOMPARE(loop.thread.i_num.load(), 4);
    QCOMPARE(vqsim::pages().size(), 4);
    QVERIFY(log.lines().contains(separatorLine()));
}

VQ_TEST_MAIN(PrintJobsTest)
#include "tst_printjobs.moc"
