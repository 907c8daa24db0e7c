#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "app/stationquit.h"
#include "jobs/sendimgqueuethread.h"
#include "sim/vqsim.h"

#include <QSignalSpy>

#include <thread>

namespace {

const char* const kLineSeparator = "---";

// "rec:state,rec:state,..." as scripted status answers.
QList<vqsim::StatusAnswer> parseScript(const QString& script)
{
    QList<vqsim::StatusAnswer> answers;
    for (const QString& item : script.split(',', Qt::SkipEmptyParts)) {
        vqsim::StatusAnswer a;
        a.templateRec = item.section(':', 0, 0).toInt();
        a.sysState = item.section(':', 1, 1).toInt();
        answers.append(a);
    }
    return answers;
}

QList<quint8> frameTypes()
{
    QList<quint8> types;
    for (const vqsim::Frame& f : vqsim::frames())
        types.append(f.type);
    return types;
}

// True when `expected` appear in `lines` in this order (others may come
// between); "---" stands for the separator line.
bool inOrder(const QStringList& lines, const QStringList& expected)
{
    int at = 0;
    for (const QString& line : lines) {
        if (at == expected.size())
            break;
        const QString want = expected.at(at) == kLineSeparator ? QString(separatorLine()) : expected.at(at);
        if (line == want)
            ++at;
    }
    return at == expected.size();
}

} // namespace

class SupervisionTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void pageIsWatchedUntilPrinted_data();
    void pageIsWatchedUntilPrinted();
    void closeFromAnotherThreadDuringPoll_data();
    void closeFromAnotherThreadDuringPoll();
};

void SupervisionTest::initTestCase()
{
    StationPause::setScale(0.001);
    vqsim::setTimeScale(0.001);
    StationQuit::setQuitsApplication(false);
}

void SupervisionTest::init()
{
    qunsetenv("VQSIM_CAPTURE");
    qunsetenv("VQSIM_OUT");
    qunsetenv("VQSIM_PRODUCT_ID");
    StationQuit::resetRequests();
}

void SupervisionTest::cleanup()
{
    APPConfig::m_USBDevice.usb_Close();
}

void SupervisionTest::pageIsWatchedUntilPrinted_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QByteArray>("printPolls");
    QTest::addColumn<bool>("sendTask");
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("polls");
    QTest::addColumn<QStringList>("states");
    QTest::addColumn<QStringList>("logLines");
    QTest::addColumn<bool>("endsRun");

    const QString standby = "待机";
    const QString printing = "打印中";
    const QString done = "当前页打印完成";

    QTest::newRow("received on the third poll, printed on the fifth")
        << QByteArray("normal") << QByteArray() << false << "0:2,0:2,1:6,1:6,0:2" << true << 5
        << QStringList{standby, standby, printing, printing, standby, done}
        << QStringList{"\"Printer State:TemplateRec =0, TemplateUse=0, SysState=2!\"", "*** STATE_STANDBY!",
                       "\"Printer State:TemplateRec =1, TemplateUse=0, SysState=6!\"", "*** STATE_PRINTING!",
                       "*** Print Image Receive Over!", "\"Printer State:TemplateRec =0, TemplateUse=0, SysState=2!\"",
                       "*** Print Over!"}
        << false;
    QTest::newRow("never received")
        << QByteArray("normal") << QByteArray() << false << "0:2,0:2,0:2,0:2,1:6" << false << 4
        << QStringList{standby, standby, standby, standby, "打印失败！停止打印"}
        << QStringList{"发送图元失败!", kLineSeparator, "***Send PC_TO_ARM_USB_SEND_FIFO_RST!"} << true;
    QTest::newRow("status unreadable")
        << QByteArray("silent") << QByteArray() << false << QString() << false << 1
        << QStringList{"无法读取打印机状态，停止打印！"} << QStringList{"读取打印机状态失败!", kLineSeparator} << true;
    QTest::newRow("printer fault is shown, the wait goes on")
        << QByteArray("normal") << QByteArray() << false << "1:7,1:7,0:7" << true << 3
        << QStringList{"故障", "故障", "故障", done} << QStringList{"*** STATE_ERR!", "*** Print Over!"} << false;
    QTest::newRow("unknown state shows an empty text")
        << QByteArray("normal") << QByteArray() << false << "1:9,0:0" << true << 2
        << QStringList{QString(), QString(), done} << QStringList{"*** default!", "*** default!"} << false;
    QTest::newRow("other reception values neither count nor advance")
        << QByteArray("normal") << QByteArray() << false << "2:2,2:2,2:2,2:2,1:6,0:2" << true << 6
        << QStringList{standby, standby, standby, standby, printing, standby, done} << QStringList{"*** Print Over!"} << false;

    // The simulated printer's own behaviour after a task of no units.
    QTest::newRow("simulated page, one printing poll")
        << QByteArray("normal") << QByteArray() << true << QString() << true << 2
        << QStringList{printing, standby, done} << QStringList{"*** Print Image Receive Over!", "*** Print Over!"} << false;
    QTest::newRow("simulated page printed between two polls")
        << QByteArray("normal") << QByteArray("0") << true << QString() << false << 4
        << QStringList{standby, standby, standby, standby, "打印失败！停止打印"} << QStringList{"发送图元失败!"} << true;
    QTest::newRow("simulated printer in error while printing")
        << QByteArray("error-state") << QByteArray("2") << true << QString() << true << 3
        << QStringList{"故障", "故障", standby, done} << QStringList{"*** STATE_ERR!", "*** Print Over!"} << false;
}

void SupervisionTest::pageIsWatchedUntilPrinted()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QByteArray, printPolls);
    QFETCH(bool, sendTask);
    QFETCH(QString, script);
    QFETCH(int, polls);
    QFETCH(QStringList, logLines);
    QFETCH(bool, endsRun);

    qputenv("VQSIM_SCENARIO", scenario);
    if (printPolls.isEmpty())
        qunsetenv("VQSIM_PRINT_POLLS");
    else
        qputenv("VQSIM_PRINT_POLLS", printPolls);
    vqsim::reset();
    USBDevice& usb = APPConfig::m_USBDevice;
    QCOMPARE(usb.usb_Init(0x2019), 1);
    if (sendTask)
        QVERIFY(usb.SendSysPrintTask(1, 1, 1, 0));
    vqsim::scriptStatus(parseScript(script));
    const int framesBefore = vqsim::frames().size();

    SendImgQueueThread thread;
    QSignalSpy states(&thread, &SendImgQueueThread::handleState);
    vqtest::LogCapture log;
    QTEST(thread.checkPrintJob(), "result");

    QStringList shown;
    for (const QList<QVariant>& args : states)
        shown << args.at(0).toString();
    QTEST(shown, "states");
    QVERIFY2(inOrder(log.lines(), logLines), qPrintable(log.lines().join('\n')));

    const QList<quint8> sent = frameTypes().mid(framesBefore);
    QCOMPARE(sent.count(PC_TO_ARM_USB_RD_DEV_STATE), polls);
    if (endsRun) {
        QCOMPARE(sent.mid(polls), (QList<quint8>{PC_TO_ARM_USB_SEND_OVER, PC_TO_ARM_USB_SEND_FIFO_RST}));
        QVERIFY(!usb.bln_connect);
        QVERIFY(usb.handle == nullptr);
        QCOMPARE(StationQuit::requests(), 1);
    } else {
        QCOMPARE(sent.size(), polls);
        QVERIFY(usb.bln_connect);
        QCOMPARE(StationQuit::requests(), 0);
    }
    QCOMPARE(vqsim::faults(), 0);
}

void SupervisionTest::closeFromAnotherThreadDuringPoll_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<int>("pollsBeforeClose");
    // A silent printer: the close comes while a read waits for its reply.
    QTest::newRow("during a read") << QByteArray("silent") << 1;
    // A printer that keeps its task: the close comes between or during polls.
    QTest::newRow("while polling") << QByteArray("busy") << 2;
}

void SupervisionTest::closeFromAnotherThreadDuringPoll()
{
    QFETCH(QByteArray, scenario);
    QFETCH(int, pollsBeforeClose);
    qputenv("VQSIM_SCENARIO", scenario);
    qunsetenv("VQSIM_PRINT_POLLS");
    vqsim::reset();
    vqsim::setTimeScale(0.1); // a read attempt of a silent printer lasts 1 s
    USBDevice& usb = APPConfig::m_USBDevice;
    QCOMPARE(usb.usb_Init(0x2019), 1);

    SendImgQueueThread thread;
    QSignalSpy states(&thread, &SendImgQueueThread::handleState);
    vqtest::LogCapture log;
    bool result = true;
    std::thread poller([&] { result = thread.checkPrintJob(); });
    QTRY_VERIFY_WITH_TIMEOUT(frameTypes().count(PC_TO_ARM_USB_RD_DEV_STATE) >= pollsBeforeClose, 20000);
    usb.usb_Close();
    poller.join();
    vqsim::setTimeScale(0.001);

    QVERIFY(!result);
    QCOMPARE(vqsim::faults(), 0);
    QVERIFY(log.contains("Printer link closed, print supervision ends"));
    // Whoever closed the link ends the run; the supervision adds nothing.
    QCOMPARE(StationQuit::requests(), 0);
    for (const QList<QVariant>& args : states)
        QVERIFY(!args.at(0).toString().contains("停止打印"));
    QVERIFY(!frameTypes().contains(PC_TO_ARM_USB_SEND_OVER));
}

VQ_TEST_MAIN(SupervisionTest)
#include "tst_supervision.moc"
