#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "app/stationquit.h"
#include "jobs/sendimgqueuethread.h"
#include "sim/vqsim.h"

#include <thread>

using Script = QList<vqsim::StatusAnswer>; // {reception, state} answers to status requests
Q_DECLARE_METATYPE(Script)

// Every transfer as "endpoint:length@timeout", then for a frame (OUT, 0x7e
// first) its bytes, for other OUT data its first byte, for IN "=" the count
// that arrived; a run of equal transfers as one with "*n".
static QStringList wire()
{
    QStringList seen;
    for (const vqsim::Transfer& t : vqsim::transfers()) {
        const QString detail = t.isOut() ? t.data.left(t.data.startsWith('\x7e') ? 64 : 1).toHex()
                                         : "=" + QByteArray::number(t.transferred);
        const QString s = QString("%1:%2@%3 %4")
                              .arg(t.endpoint, 2, 16, QChar('0'))
                              .arg(t.length)
                              .arg(t.timeout)
                              .arg(detail)
                              .trimmed();
        if (!seen.isEmpty() && seen.last().section(" *", 0, 0) == s)
            seen.last() = s + " *" + QString::number(qMax(1, seen.last().section(" *", 1).toInt()) + 1);
        else
            seen << s;
    }
    return seen;
}

// Runs one word of a row's calls on the link and answers what the call
// returned; the words that set the scene answer nothing.
static QString run(USBDevice& usb, const QString& word)
{
    const QStringList a = word.split(':');
    const int n = a.value(1).toInt();
    // com:CCPAYLOAD, the command code first, then the payload, in hex
    QByteArray bytes = QByteArray::fromHex(a.value(1).toLatin1());
    // send:N, the bytes of 512-byte chunk k are all k + 1
    QByteArray data;
    for (int k = 0; a[0] == "send" && k * 512 < n; ++k)
        data += QByteArray(qMin(512, n - k * 512), char(k + 1));
    libusb_device_handle* const before = usb.handle;
    const int opened = a[0] == "init" ? usb.usb_Init(a.value(1, "2019").toUShort(nullptr, 16)) : 0;
    // status:N, the first N reads time out
    vqsim::failNextReads(a[0] == "status" ? n : 0);
    // A second init tells whether it kept the handle.
    if (a[0] == "init")
        return QString::number(opened) + (!before ? "" : usb.handle == before ? ",same" : ",new");
    if (a[0] == "send")
        return QString::number(usb.Send(reinterpret_cast<quint8*>(data.data()), quint32(n)));
    if (a[0] == "com")
        return QString::number(
            usb.SendCom(quint8(bytes[0]), reinterpret_cast<quint8*>(bytes.data()) + 1, quint32(bytes.size() - 1)));
    if (a[0] == "task") // task:PAGES:PAGE:UNITS
        return QString::number(usb.SendSysPrintTask(n, a[2].toInt(), 1, a[3].toInt()));
    if (SysDeviceStatus_t status {}; a[0] == "status")
        return usb.ReadStatus(&status) ? QString("%1/%2").arg(status.TemplateRec).arg(status.SysState) : "0";
    if (a[0] == "close")
        usb.usb_Close();
    else if (a[0] == "busy")
        usb.m_bBusy_Flg = true;
    else if (a[0] == "no-config")
        vqsim::failConfigDescriptor(true);
    return QString();
}

class PrinterTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        vqtest::useFastClock();
        StationQuit::resetRequests();
    }

    // Each row runs its calls on a fresh link to a printer (0xNNNN: a normal
    // one of that product id): the answers, the handles left open, the wire.
    void linkCalls_data()
    {
        QTest::addColumn<QString>("printer");
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QString>("answers");
        QTest::addColumn<QStringList>("wire");
        const QString request = "02:16@1000 7e120000100000000000000000000000", reply = "81:42@10000 =42",
                      none = "81:42@10000 =0";
        const QString task = "02:18@1000 7e40000012000000030002000501", taskReply = "81:13@10000 =13", end = "00000000";
        QTest::newRow("second model only") << "0x2020"
                                           << "init:2020 close init"
                                           << "1 -1 open:0" << QStringList {};
        QTest::newRow("no printer") << "absent"
                                    << "init"
                                    << "-1 open:0" << QStringList {};
        QTest::newRow("unreadable configuration") << "normal"
                                                  << "no-config init"
                                                  << "-1 open:0" << QStringList {};
        QTest::newRow("claim refused, no handle left") << "claim-fails"
                                                       << "init init"
                                                       << "-1 -1,new open:1" << QStringList {};
        QTest::newRow("interrupt IN listed first") << "interrupt-first"
                                                   << "init status"
                                                   << "1 0 open:1" << QStringList {request, "83:42@10000 =0 *4"};
        QTest::newRow("second init keeps the link, payload copied")
            << "normal"
            << "init init com:410a7e00ff"
            << "1 1,same 1 open:1" << QStringList {"02:16@1000 7e410000100000000a7e00ff00000000"};
        QTest::newRow("tasks") << "normal"
                               << "init task:3:2:5 task:3:3:5 task:65539:65538:5 task:3:4:5 task:65537:2:5"
                               << "1 1 1 1 0 0 open:1"
                               << QStringList {task + end, taskReply, "02:18@1000 7e40000012000000030003000501" + end,
                                      taskReply, task + end, taskReply};
        QTest::newRow("chunks") << "normal"
                                << "init send:1 send:512 send:513 send:1024"
                                << "1 1 512 513 1024 open:1"
                                << QStringList {"02:1@1000 01", "02:512@1000 01", "02:512@5000 01", "02:1@5000 02",
                                       "02:512@5000 01", "02:512@5000 02", "02:0@5000"};
        QTest::newRow("short chunk") << "short-write:2"
                                     << "init send:1024"
                                     << "1 768 open:1" << QStringList {"02:512@5000 01", "02:512@5000 02", "02:0@5000"};
        QTest::newRow("unplugged, single packet") << "unplug-after:1"
                                                  << "init send:16 send:16"
                                                  << "1 16 0 open:1" << QStringList {"02:16@1000 01 *2"};
        QTest::newRow("unplugged, long write")
            << "unplug-after:2"
            << "init send:1536"
            << "1 1024 open:1" << QStringList {"02:512@5000 01", "02:512@5000 02", "02:512@5000 03", "02:0@5000"};
        QTest::newRow("read retries") << "normal"
                                      << "init status:3 status:4"
                                      << "1 0/2 0 open:1"
                                      << QStringList {request, none + " *3", reply, request, none + " *4"};
        QTest::newRow("silent printer") << "silent"
                                        << "init status"
                                        << "1 0 open:1" << QStringList {request, none + " *4"};
        QTest::newRow("status from byte 8, bulk endpoints") << "garbage-header"
                                                            << "init status"
                                                            << "1 0/2 open:1" << QStringList {request, reply};
        QTest::newRow("frame written short") << "short-write:1"
                                             << "init com:1200000000 com:1200000000"
                                             << "1 0 1 open:1" << QStringList {request + " *2"};
        QTest::newRow("busy link refuses") << "normal"
                                           << "init busy com:4200000000"
                                           << "1 0 open:1 busy" << QStringList {};
        QTest::newRow("closed link untouched") << "normal"
                                               << "init close send:16 send:1024 com:42 status close"
                                               << "1 0 0 0 0 open:0" << QStringList {};
    }
    void linkCalls()
    {
        QFETCH(QString, printer);
        QFETCH(QString, calls);
        qputenv("VQSIM_PRODUCT_ID", printer.startsWith("0x") ? printer.toLatin1() : "0x2019");
        vqtest::usePrinter(printer.startsWith("0x") ? "normal" : qPrintable(printer));
        USBDevice usb;
        QStringList answers;
        for (const QString& word : calls.split(' '))
            answers << run(usb, word);
        QTEST(QString("%1 open:%2%3")
                  .arg(answers.join(' '))
                  .arg(vqsim::openHandles())
                  .arg(usb.m_bBusy_Flg ? " busy" : "")
                  .simplified(),
            "answers");
        QTEST(wire(), "wire");
        QCOMPARE(vqsim::faults(), 0);
    }

    // The supervision of a page: the states shown, the frames sent, the end.
    void pageIsWatchedUntilPrinted_data()
    {
        QTest::addColumn<QString>("printer");
        QTest::addColumn<Script>("script");
        QTest::addColumn<bool>("printed");
        QTest::addColumn<QStringList>("states");
        QTest::addColumn<QList<int>>("frames");
        const QString standby = "待机", printing = "打印中", done = "当前页打印完成";
        QTest::newRow("received, then printed") << "normal" << Script {{0, 2}, {0, 2}, {1, 6}, {1, 6}, {0, 2}} << true
                                                << QStringList {standby, standby, printing, printing, standby, done}
                                                << QList<int> {0x12, 0x12, 0x12, 0x12, 0x12};
        QTest::newRow("never received") << "normal" << Script {{0, 2}, {0, 2}, {0, 2}, {0, 2}, {1, 6}} << false
                                        << QStringList {standby, standby, standby, standby, "打印失败！停止打印"}
                                        << QList<int> {0x12, 0x12, 0x12, 0x12, 0x42, 0x43};
        QTest::newRow("status unreadable")
            << "silent" << Script {} << false << QStringList {"无法读取打印机状态，停止打印！"}
            << QList<int> {0x12, 0x42, 0x43};
        QTest::newRow("fault shown, the wait goes on; unknown state")
            << "normal" << Script {{1, 7}, {1, 9}, {0, 0}} << true << QStringList {"故障", "", "", done}
            << QList<int> {0x12, 0x12, 0x12};
        QTest::newRow("other reception values neither count nor advance")
            << "normal" << Script {{2, 2}, {2, 2}, {2, 2}, {2, 2}, {1, 6}, {2, 6}, {0, 2}} << true
            << QStringList {standby, standby, standby, standby, printing, printing, standby, done}
            << QList<int> {0x12, 0x12, 0x12, 0x12, 0x12, 0x12, 0x12};
    }
    void pageIsWatchedUntilPrinted()
    {
        QFETCH(QString, printer);
        QFETCH(Script, script);
        QFETCH(bool, printed);
        vqtest::usePrinter(qPrintable(printer));
        QCOMPARE(APPConfig::m_USBDevice.usb_Init(0x2019), 1);
        vqsim::scriptStatus(script);
        SendImgQueueThread supervisor;
        QStringList states;
        QObject::connect(&supervisor, &SendImgQueueThread::handleState, [&](const QString& s) { states << s; });

        QCOMPARE(supervisor.checkPrintJob(), printed);

        QTEST(states, "states");
        QTEST(vqtest::framesReceived(), "frames"); // after an abort: end of job, buffer reset
        // After an abort the link is closed and the station asked to quit.
        QCOMPARE(QString("open:%1 quits:%2 faults:%3")
                     .arg(vqsim::openHandles())
                     .arg(StationQuit::requests())
                     .arg(vqsim::faults()),
            printed ? "open:1 quits:0 faults:0" : "open:0 quits:1 faults:0");
    }

    // The window closes the link while the supervision waits for a reply or
    // between two polls: the supervision ends and leaves the rest to it.
    void linkClosedDuringAPollOrARead_data()
    {
        QTest::addColumn<QString>("printer");
        QTest::addColumn<int>("polls"); // status requests before the close
        QTest::newRow("while a read waits") << "silent" << 1;
        QTest::newRow("while polling") << "busy" << 2;
    }
    void linkClosedDuringAPollOrARead()
    {
        QFETCH(QString, printer);
        QFETCH(int, polls);
        vqtest::usePrinter(qPrintable(printer));
        vqsim::setTimeScale(0.1); // a read of the silent printer waits 1 s, and the
        StationPause::setScale(0.05); // 0.1 s between its attempts let the close take the link
        QCOMPARE(APPConfig::m_USBDevice.usb_Init(0x2019), 1);
        SendImgQueueThread supervisor;
        QStringList states;
        QObject::connect(&supervisor, &SendImgQueueThread::handleState, [&](const QString& s) { states << s; });
        bool printed = true;
        std::thread poller([&] { printed = supervisor.checkPrintJob(); });
        const bool polled = QTest::qWaitFor([&] { return vqtest::framesReceived().count(0x12) >= polls; }, 20000);
        APPConfig::m_USBDevice.usb_Close();
        poller.join();

        QVERIFY(polled && !printed);
        QCOMPARE(QString("quits:%1 faults:%2").arg(StationQuit::requests()).arg(vqsim::faults()),
            QString("quits:0 faults:0"));
        QVERIFY(!vqtest::framesReceived().contains(0x42) && !states.join(' ').contains("停止打印")); // no abort
    }
};

VQ_TEST_MAIN(PrinterTest)
#include "tst_printer.moc"
