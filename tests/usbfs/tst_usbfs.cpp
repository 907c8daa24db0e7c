// The station's USB link on the real libusb, through the emulated usbfs
// device, against the same link on the preloaded stand-in: the probe must
// print the same, leave the same transfers in the capture and the same page
// files under both.
//
// The emulated device runs its program with a preload of its own; a probe
// built with AddressSanitizer needs ASAN_OPTIONS=verify_asan_link_order=0
// for that, which vqsim-usbfs adds to the program's environment.

#include "vqtest.h"

#include "sim/usbmonpcap.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

namespace {

enum class Carrier { StandIn, Usbfs };

struct ProbeRun {
    bool finished = false;
    int exitCode = -1;
    QStringList lines;
    QString capture;
    QString pages;
};

ProbeRun runUnder(Carrier carrier, const QString& program, const QStringList& args, const QStringList& environment,
                  const QString& workDir)
{
    ProbeRun run;
    run.capture = workDir + "/capture.pcap";
    run.pages = workDir + "/pages";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& assignment : environment)
        env.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
    env.insert("VQSIM_CAPTURE", run.capture);
    env.insert("VQSIM_OUT", run.pages);

    QProcess process;
    if (carrier == Carrier::StandIn) {
        env.insert("LD_PRELOAD", VQ_SIM_PRELOAD);
        process.setProgram(program);
        process.setArguments(args);
    } else {
        process.setProgram(VQ_SIM_USBFS);
        process.setArguments(QStringList{program} + args);
    }
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start();
    run.finished = process.waitForFinished(120000);
    if (!run.finished)
        process.kill();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.lines = QString::fromLocal8Bit(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return run;
}

ProbeRun runProbe(Carrier carrier, const QStringList& args, const QStringList& environment, const QString& workDir)
{
    return runUnder(carrier, VQ_USBFS_PROBE, args, environment, workDir);
}

// Every record without what differs between two runs (ids, times).
QStringList transfers(const QString& capturePath)
{
    QList<vqsim::UsbmonRecord> records;
    QString error;
    if (!QFile::exists(capturePath))
        return {"no capture"};
    if (!vqsim::readUsbmonCapture(capturePath, &records, &error))
        return {error};
    QStringList list;
    for (const vqsim::UsbmonRecord& r : records) {
        list << QString("%1 ep 0x%2 status %3 length %4 data %5")
                    .arg(r.type)
                    .arg(r.endpoint, 2, 16, QChar('0'))
                    .arg(r.status)
                    .arg(r.length)
                    .arg(QString::fromLatin1(r.data.toHex()));
    }
    return list;
}

QMap<QString, QByteArray> files(const QString& dir)
{
    QMap<QString, QByteArray> map;
    for (const QString& name : QDir(dir).entryList(QDir::Files)) {
        QFile file(dir + "/" + name);
        if (file.open(QIODevice::ReadOnly))
            map.insert(name, file.readAll());
    }
    return map;
}

double childCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

class UsbfsTest : public QObject {
    Q_OBJECT
private slots:
    void sameResultsUnderBothDevices_data();
    void sameResultsUnderBothDevices();
    void waitingForAReplyCostsLittleCpu();
    void launcherReturnsTheProgramsExitStatus_data();
    void launcherReturnsTheProgramsExitStatus();
};

void UsbfsTest::sameResultsUnderBothDevices_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("expected");

    const QString ok = "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    const QStringList exchanged{"task 1", "unit frame 60", "unit frame 1024", "unit frame 700"};

    QTest::newRow("page of three units, one followed by a zero-length packet")
        << QStringList{} << QStringList{"exchange"}
        << QStringList{"init 1", "status TemplateRec=0 SysState=2"} + exchanged
               + QStringList{"status TemplateRec=1 SysState=6", "status TemplateRec=0 SysState=2"};
    QTest::newRow("busy printer")
        << QStringList{"VQSIM_SCENARIO=busy"} << QStringList{"exchange"}
        << QStringList{"init 1", "status TemplateRec=1 SysState=6"} + exchanged
               + QStringList{"status TemplateRec=1 SysState=6", "status TemplateRec=1 SysState=6"};
    QTest::newRow("a long write is one transfer")
        << QStringList{} << QStringList{"write", "65536"}
        << QStringList{"init 1", "out " + ok + " 65536", "in " + ok + " 42"};
    QTest::newRow("reply longer than the read")
        << QStringList{} << QStringList{"rounds", "1", "13"}
        << QStringList{"init 1", "out " + ok + " 16", "in LIBUSB_ERROR_OVERFLOW 13"};
    QTest::newRow("silent printer: the read times out")
        << QStringList{"VQSIM_SCENARIO=silent"} << QStringList{"read", "300"}
        << QStringList{"init 1", "out " + ok + " 16", "in LIBUSB_ERROR_TIMEOUT 0", "waited the timeout"};
    QTest::newRow("interrupt endpoint first: never answers")
        << QStringList{"VQSIM_SCENARIO=interrupt-first"} << QStringList{"read", "300"}
        << QStringList{"init 1", "out " + ok + " 16", "in LIBUSB_ERROR_TIMEOUT 0", "waited the timeout"};
    QTest::newRow("unplugged after two writes")
        << QStringList{"VQSIM_SCENARIO=unplug-after:2"} << QStringList{"rounds", "3", "42"}
        << QStringList{"init 1", "out " + ok + " 16", "in " + ok + " 42", "out " + ok + " 16",
                       "in LIBUSB_ERROR_NO_DEVICE 0", "out LIBUSB_ERROR_NO_DEVICE 0", "in LIBUSB_ERROR_NO_DEVICE 0"};
    QTest::newRow("unplugged from the start")
        << QStringList{"VQSIM_SCENARIO=unplug-after:0"} << QStringList{"init"} << QStringList{"init -1"};
    QTest::newRow("short write")
        << QStringList{"VQSIM_SCENARIO=short-write:1"} << QStringList{"rounds", "1", "42"}
        << QStringList{"init 1", "out " + ok + " 8", "in LIBUSB_ERROR_TIMEOUT 0"};
    QTest::newRow("absent printer")
        << QStringList{"VQSIM_SCENARIO=absent"} << QStringList{"init"} << QStringList{"init -1"};
    QTest::newRow("interface claimed by another")
        << QStringList{"VQSIM_SCENARIO=claim-fails"} << QStringList{"init"} << QStringList{"init -1"};
    QTest::newRow("other product id")
        << QStringList{"VQSIM_PRODUCT_ID=0x2020"} << QStringList{"init"} << QStringList{"init -1"};
}

void UsbfsTest::sameResultsUnderBothDevices()
{
    QFETCH(QStringList, environment);
    QFETCH(QStringList, args);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QDir().mkpath(dir.path() + "/stand-in");
    QDir().mkpath(dir.path() + "/usbfs");
    const ProbeRun standIn = runProbe(Carrier::StandIn, args, environment, dir.path() + "/stand-in");
    const ProbeRun usbfs = runProbe(Carrier::Usbfs, args, environment, dir.path() + "/usbfs");

    QVERIFY(standIn.finished && usbfs.finished);
    QCOMPARE(standIn.exitCode, 0);
    QCOMPARE(standIn.lines, expected);
    QCOMPARE(usbfs.exitCode, 0);
    QCOMPARE(usbfs.lines, expected);
    QCOMPARE(transfers(usbfs.capture), transfers(standIn.capture));
    QCOMPARE(files(usbfs.pages), files(standIn.pages));
}

// While the program waits for a reply, the emulated node must not report
// POLLOUT: libusb would then call the reap ioctl in a loop. The margin is
// wide: a spinning wait costs about as much CPU as it lasts.
void UsbfsTest::waitingForAReplyCostsLittleCpu()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const double cpuBefore = childCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    const ProbeRun run = runProbe(Carrier::Usbfs, {"read", "3000"}, {"VQSIM_SCENARIO=silent"}, dir.path());
    const double wallSeconds = wall.elapsed() / 1000.0;
    const double cpuSeconds = childCpuSeconds() - cpuBefore;

    QVERIFY(run.finished);
    QVERIFY2(run.lines.contains("in LIBUSB_ERROR_TIMEOUT 0"), qPrintable(run.lines.join(" | ")));
    QVERIFY(run.lines.contains("waited the timeout"));
    QVERIFY2(cpuSeconds < wallSeconds / 4,
             qPrintable(QString("%1 s of CPU in %2 s").arg(cpuSeconds).arg(wallSeconds)));
}

void UsbfsTest::launcherReturnsTheProgramsExitStatus_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<int>("status");

    QTest::newRow("success") << QStringList{"sh", "-c", "exit 0"} << 0;
    QTest::newRow("failure") << QStringList{"sh", "-c", "exit 3"} << 3;
    QTest::newRow("ended by a signal") << QStringList{"sh", "-c", "kill -TERM $$"} << 128 + 15;
    QTest::newRow("no such program") << QStringList{"/nonexistent/program"} << 127;
}

void UsbfsTest::launcherReturnsTheProgramsExitStatus()
{
    QFETCH(QStringList, command);
    QFETCH(int, status);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const ProbeRun run = runUnder(Carrier::Usbfs, command.first(), command.mid(1), {}, dir.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, status);
}

VQ_TEST_MAIN(UsbfsTest)
#include "tst_usbfs.moc"
