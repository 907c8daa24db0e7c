#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "app/stationquit.h"
#include "jobs/sendimgqueuethread.h"
#include "pixelrules.h"
#include "printer/unitencoder.h"
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
    int repeats = 1;
    for (const vqsim::Transfer& t : vqsim::transfers()) {
        const QString detail = t.isOut() ? t.data.left(t.data.startsWith('\x7e') ? 64 : 1).toHex()
                                         : "=" + QByteArray::number(t.transferred);
        const QString where = QString("%1:%2@%3").arg(t.endpoint, 2, 16, QChar('0')).arg(t.length).arg(t.timeout);
        const QString s = (where + " " + detail).trimmed();
        repeats = !seen.isEmpty() && seen.last().section(" *", 0, 0) == s ? repeats + 1 : 1;
        if (repeats == 1)
            seen << s;
        else
            seen.last() = s + " *" + QString::number(repeats);
    }
    return seen;
}

// Runs one word of a row's calls on the link and answers what the call
// returned; the words that set the scene answer nothing.
static QString run(USBDevice& usb, const QString& word)
{
    const QStringList a = word.split(':');
    const int n = a.value(1).toInt();
    if (a[0] == "init") { // init:PRODUCT in hex (2019 when left out); a second init tells whether it kept the handle
        libusb_device_handle* const before = usb.handle;
        const int opened = usb.usb_Init(a.value(1, "2019").toUShort(nullptr, 16));
        return QString::number(opened) + (!before ? "" : usb.handle == before ? ",same" : ",new");
    }
    if (a[0] == "send") { // send:N, the bytes of 512-byte chunk k are all k + 1
        QByteArray data;
        for (int k = 0; k * 512 < n; ++k)
            data += QByteArray(qMin(512, n - k * 512), char(k + 1));
        return QString::number(usb.Send(reinterpret_cast<quint8*>(data.data()), quint32(n)));
    }
    if (a[0] == "com") { // com:CCPAYLOAD, the command code first, then the payload, in hex
        QByteArray bytes = QByteArray::fromHex(a.value(1).toLatin1());
        auto* payload = reinterpret_cast<quint8*>(bytes.data()) + 1;
        return QString::number(usb.SendCom(quint8(bytes[0]), payload, quint32(bytes.size() - 1)));
    }
    if (a[0] == "task") // task:PAGES:PAGE:UNITS
        return QString::number(usb.SendSysPrintTask(n, a.value(2).toInt(), 1, a.value(3).toInt()));
    if (a[0] == "status") { // status:N, the first N read slices time out
        vqsim::failNextReads(n);
        SysDeviceStatus_t status {};
        return usb.ReadStatus(&status) ? QString("%1/%2").arg(status.TemplateRec).arg(status.SysState) : "0";
    }
    if (a[0] == "close")
        usb.usb_Close();
    else if (a[0] == "busy")
        usb.m_bBusy_Flg = true;
    else if (a[0] == "no-config")
        vqsim::failConfigDescriptor(true);
    else if (a[0] == "no-library")
        vqsim::failLibraryInit(true);
    return QString();
}

class PrinterTest : public QObject {
    Q_OBJECT
private slots:
    // Set once: the last test, linkClosedDuringAPollOrARead, slows the clocks down for itself.
    void initTestCase() { vqtest::useFastClock(); }
    void init() { StationQuit::resetRequests(); }

    // Each row runs its calls on a fresh link to a printer (0xNNNN: a normal
    // one of that product id) and expects the answers with the handles left
    // open, then the wire.
    void linkCallsPutTheirFramesOnTheWire_data()
    {
        QTest::addColumn<QString>("printer");
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QStringList>("expected"); // the answers, then the wire
        auto row = [](const char* name, const char* printer, const char* calls, const QStringList& expected) {
            QTest::newRow(name) << QString(printer) << QString(calls) << expected;
        };
        const QString request = "02:16@1000 7e120000100000000000000000000000", reply = "81:42@250 =42";
        // A read waits 10 s in slices of 250 ms.
        const QString none = "81:42@250 =0", taskReply = "81:13@250 =13";
        const QString task = "02:18@1000 7e4000001200000003000200050100000000";
        row("second model only", "0x2020", "init:2020 close init", {"1 -1 open:0"});
        row("unreadable configuration", "normal", "no-config init", {"-1 open:0"});
        row("library fails to start", "normal", "no-library init", {"-1 open:0"});
        row("another model's printer asked for", "normal", "init init:2020", {"1 -1,new open:0"});
        row("claim refused, no handle left", "claim-fails", "init init", {"-1 -1,new open:1"});
        row("interrupt IN first", "interrupt-first", "init status", {"1 0 open:1", request, "83:42@250 =0 *160"});
        row("second init keeps the link, payload copied", "normal", "init init com:410a7e00ff",
            {"1 1,same 1 open:1", "02:16@1000 7e410000100000000a7e00ff00000000"});
        row("tasks", "normal", "init task:3:2:5 task:3:3:5 task:65539:65538:5 task:3:4:5 task:65537:2:5",
            {"1 1 1 1 0 0 open:1", task, taskReply, "02:18@1000 7e4000001200000003000300050100000000", taskReply, task,
                taskReply});
        row("chunks", "normal", "init send:1 send:512 send:513 send:1024",
            {"1 1 512 513 1024 open:1", "02:1@1000 01", "02:512@1000 01", "02:512@5000 01", "02:1@5000 02",
                "02:512@5000 01", "02:512@5000 02", "02:0@5000"});
        row("short chunk", "short-write:2", "init send:1024",
            {"1 768 open:1", "02:512@5000 01", "02:512@5000 02", "02:0@5000"});
        row("unplugged, one packet", "unplug-after:1", "init send:16 send:16", {"1 16 0 open:1", "02:16@1000 01 *2"});
        row("unplugged, long write", "unplug-after:2", "init send:1536",
            {"1 1024 open:1", "02:512@5000 01", "02:512@5000 02", "02:512@5000 03", "02:0@5000"});
        row("read retries", "normal", "init status:120 status:160",
            {"1 0/2 0 open:1", request, none + " *120", reply, request, none + " *160"});
        row("status from byte 8, bulk endpoints", "garbage-header", "init status", {"1 0/2 open:1", request, reply});
        row("short frame", "short-write:1", "init com:1200000000 com:1200000000", {"1 0 1 open:1", request + " *2"});
        row("busy link refuses", "normal", "init busy com:4200000000", {"1 0 open:1 busy"});
        row("closed link", "normal", "init close send:16 send:1024 com:42 status close", {"1 0 0 0 0 open:0"});
    }
    void linkCallsPutTheirFramesOnTheWire()
    {
        QFETCH(QString, printer);
        QFETCH(QString, calls);
        qputenv("VQSIM_PRODUCT_ID", printer.startsWith("0x") ? printer.toLatin1() : "0x2019");
        vqtest::usePrinter(printer.startsWith("0x") ? "normal" : qPrintable(printer));
        USBDevice usb;
        QStringList answers;
        for (const QString& word : calls.split(' '))
            answers << run(usb, word);
        answers << QString("open:%1").arg(vqsim::openHandles()) << (usb.m_bBusy_Flg ? "busy" : "");
        QTEST(QStringList(answers.join(' ').simplified()) + wire(), "expected");
        QCOMPARE(vqsim::faults(), 0);
    }

    void unitsAreCodedByteForByte()
    {
        // Slice 3 at 1.5 mm, -2 mm (floats) for head 1; ColorDepth 0, Type 0; 300 dpi; 20 x 70 dots; then the rows, all
        // 0 but the last, set padding and all. One run-length stream, the descriptor included: the high byte of its
        // Height runs on into the rows, the 277 zeros are split after 255, and the bits past the width go out as 0
        // (the printer reads whole words, so such a bit would print).
        QImage unit = pixelrules::zeroMono({20, 70});
        std::memset(unit.scanLine(69), 0xFF, 4);
        QCOMPARE(UnitEncoder::payload(unit, UnitEncoder::descriptor(3, 20, 70, 1.5f, -2, 1)),
            QByteArray::fromHex("0103 020001c0013f 030001c0 0101 0300 012c0101 01140100 0146ff001600 02ff01f00100"));
    }

    // The supervision of a page: the states shown, the frames sent, the end.
    void pageIsWatchedUntilPrinted_data()
    {
        QTest::addColumn<QString>("printer");
        QTest::addColumn<Script>("script");
        QTest::addColumn<QString>("outcome"); // the states shown; the frames sent; the end
        auto row = [](const char* name, const char* printer, Script script, QString outcome) {
            QTest::newRow(name) << QString(printer) << script << outcome;
        };
        const QString printed = "printed open:1 quits:0 faults:0", aborted = "aborted open:0 quits:1 faults:0 ending:5";
        row("received, then printed", "normal", {{0, 2}, {0, 2}, {1, 6}, {1, 6}, {0, 2}},
            "待机,待机,打印中,打印中,待机,当前页打印完成 | 12 12 12 12 12 | " + printed);
        row("never received", "normal", {{0, 2}, {0, 2}, {0, 2}, {0, 2}, {1, 6}},
            "待机,待机,待机,待机,打印失败！停止打印 | 12 12 12 12 42 43 | " + aborted);
        row("status unreadable", "silent", {}, "无法读取打印机状态，停止打印！ | 12 42 43 | " + aborted);
        row("fault shown, the wait goes on; unknown state", "normal", {{1, 7}, {1, 9}, {0, 0}},
            "故障,,,当前页打印完成 | 12 12 12 | " + printed);
        row("other reception values", "normal", {{2, 2}, {2, 2}, {2, 2}, {2, 2}, {1, 6}, {2, 6}, {0, 2}},
            "待机,待机,待机,待机,打印中,打印中,待机,当前页打印完成 | 12 12 12 12 12 12 12 | " + printed);
    }
    void pageIsWatchedUntilPrinted()
    {
        QFETCH(QString, printer);
        QFETCH(Script, script);
        vqtest::usePrinter(qPrintable(printer));
        QCOMPARE(APPConfig::m_USBDevice.usb_Init(0x2019), 1);
        vqsim::scriptStatus(script);
        SendImgQueueThread supervisor;
        QStringList states;
        QObject::connect(&supervisor, &SendImgQueueThread::handleState, [&](const QString& s) { states << s; });

        const bool printed = supervisor.checkPrintJob();

        QStringList frames;
        for (int type : vqtest::framesReceived())
            frames << QString::number(type, 16);
        // After an abort: end of job, buffer reset, the link closed and the station asked to quit.
        const QString end = QString("%1 open:%2 quits:%3 faults:%4")
                                .arg(printed ? "printed" : "aborted")
                                .arg(vqsim::openHandles())
                                .arg(StationQuit::requests())
                                .arg(vqsim::faults())
            + (printed ? "" : QString(" ending:%1").arg(StationQuit::status()));
        QTEST(states.join(',') + " | " + frames.join(' ') + " | " + end, "outcome");
    }

    // The window closes the link while the supervision waits for a reply or
    // between two polls: the supervision ends and leaves the rest to it.
    void linkClosedDuringAPollOrARead_data()
    {
        QTest::addColumn<QString>("printer");
        QTest::addColumn<int>("polls"); // status requests before the close
        QTest::addColumn<QString>("frames");
        QTest::newRow("while a read waits") << "silent" << 1 << "12";
        QTest::newRow("while polling") << "busy" << 2 << "12 12";
        // As the window closes: the read waiting on a silent printer ends at
        // once, and the end-of-job commands go out behind it.
        QTest::newRow("a waiting read interrupted") << "silent" << 1 << "12 42 43";
    }
    void linkClosedDuringAPollOrARead()
    {
        QFETCH(QString, printer);
        QFETCH(int, polls);
        QFETCH(QString, frames);
        const bool interrupt = frames.contains("42");
        vqtest::usePrinter(qPrintable(printer));
        vqsim::setTimeScale(interrupt ? 1.0 : 0.1); // a read of the silent printer waits 10 s or 1 s, and
        StationPause::setScale(0.05); // 0.1 s between its attempts let the close take the link
        QCOMPARE(APPConfig::m_USBDevice.usb_Init(0x2019), 1);
        SendImgQueueThread supervisor;
        bool printed = true;
        std::thread poller([&] { printed = supervisor.checkPrintJob(); });
        const bool polled = QTest::qWaitFor([&] { return vqtest::framesReceived().count(0x12) >= polls; }, 20000);
        QElapsedTimer closing;
        closing.start();
        if (interrupt) {
            supervisor.stop();
            APPConfig::m_USBDevice.interruptReads();
            APPConfig::m_USBDevice.SendEndOfJob();
        }
        APPConfig::m_USBDevice.usb_Close();
        QVERIFY2(closing.elapsed() < 2000, "the close waited for the read");
        poller.join();

        // Neither an abort nor a quit: the window ends the run.
        QVERIFY(polled && !printed);
        QStringList sent;
        for (int type : vqtest::framesReceived())
            sent << QString::number(type, 16);
        QCOMPARE(sent.join(' '), frames);
        QCOMPARE(QString("quits:%1 faults:%2").arg(StationQuit::requests()).arg(vqsim::faults()), "quits:0 faults:0");
    }
};

VQ_TEST_MAIN(PrinterTest)
#include "tst_printer.moc"
