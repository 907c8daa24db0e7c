// The whole station as a user runs it: the real, unmodified binary on a job
// folder, the simulated printer preloaded in place of libusb, or behind the
// real libusb on the emulated usbfs device. Each row is an ending no test
// inside one process can reach: the binary's start, its threads, its quit
// through the event loop, the end when no printer opens, the real libusb.
// Runs take real time (2-second polls, 500 ms a unit), so rows are few;
// CMakeLists.txt gives each its own ctest entry so that their waits overlap.

#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationquit.h"
#include "sim/controller.h"
#include "sim/usbmonpcap.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

const int kRunBoundMs = 180000;

// A 1-bit A4 page at 600 dpi as a rasteriser writes it, with ink columns
// (x, width) from 20 mm to 270 mm down the page; columns far apart are image
// units of their own.
QByteArray pageWithColumns(const QList<QPair<int, int>>& columns)
{
    QImage page(4960, 7016, QImage::Format_Mono);
    page.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    page.fill(0);
    QPainter painter(&page);
    for (const auto& c : columns)
        painter.fillRect(c.first, 472, c.second, 5906, Qt::black);
    painter.end();
    return vqtest::encodedImage(page);
}

QByteArray threeColumns() { return pageWithColumns({{640, 320}, {1920, 320}, {3200, 320}}); }

QList<QPair<QString, QByteArray>> jobFiles(const QString& job)
{
    if (job == "three pages")
        return {{"1.bmp", pageWithColumns({{640, 320}})}, {"2.bmp", pageWithColumns({{640, 320}, {1920, 320}})},
            {"3.bmp", threeColumns()}};
    if (job == "two heads") // the middle column straddles the heads' seam at 2480
        return {{"1.bmp", pageWithColumns({{640, 320}, {2400, 160}, {3840, 320}})}};
    if (job == "hostile")
        return {{"text.bmp", "These are not the pixels you are looking for.\n"},
            {"cut.bmp", threeColumns().left(200000)}, {"huge.bmp", vqtest::bmpHeaders(60000, 60000)},
            {"page.bmp", threeColumns()}};
    return {{"1.bmp", threeColumns()}};
}

// Files written oldest first, a second apart, so the station takes them in
// this order.
void writeJob(const QString& folder, const QList<QPair<QString, QByteArray>>& files)
{
    QDir().mkpath(folder);
    const QDateTime first = QDateTime::currentDateTime().addSecs(-100);
    for (int i = 0; i < files.size(); ++i) {
        QFile file(folder + "/" + files.at(i).first);
        if (!file.open(QIODevice::WriteOnly) || file.write(files.at(i).second) != files.at(i).second.size())
            qFatal("cannot write the job");
        file.setFileTime(first.addSecs(i), QFileDevice::FileModificationTime);
    }
}

struct Run {
    QString job;
    bool ended = false; // by itself, in time, without crashing
    int exitCode = -1;
    QString output; // standard output and error
    QString capture;
    QString pages;
    QList<vqsim::UsbmonRecord> records;
};

// Starts the station on `job` as a user would and waits for it to end.
Run runStation(const QString& link, const QString& job, const QStringList& printer, const QString& results)
{
    Run run {job, false, -1, {}, results + "/capture.pcap", results + "/pages", {}};
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("VQSIM_CAPTURE", run.capture);
    env.insert("VQSIM_OUT", run.pages);
    for (const QString& setting : printer)
        env.insert(setting.section('=', 0, 0), setting.section('=', 1));
    if (link == "stand-in")
        env.insert("LD_PRELOAD", VQ_SIM_PRELOAD);
    QProcess station;
    station.setProcessEnvironment(env);
    station.setProcessChannelMode(QProcess::MergedChannels);
    if (link == "usbfs")
        station.start(VQ_SIM_USBFS, {VQ_STATION_BINARY, job});
    else
        station.start(VQ_STATION_BINARY, {job});
    run.ended = station.waitForFinished(kRunBoundMs) && station.exitStatus() == QProcess::NormalExit;
    if (station.state() != QProcess::NotRunning) {
        station.kill();
        station.waitForFinished();
    }
    run.exitCode = station.exitCode();
    run.output = QString::fromUtf8(station.readAll());
    QString error;
    if (QFile::exists(run.capture) && !vqsim::readUsbmonCapture(run.capture, &run.records, &error))
        run.output += error;
    return run;
}

// The command frames the station wrote, a word each: S status request,
// T3/2x5 task (3 pages, page 2, 5 units), U4h1 unit 4 for head 1, E end of
// job, R buffer reset. "!" marks a frame the printer did not take whole.
QString wireSummary(const QList<vqsim::UsbmonRecord>& records)
{
    QHash<quint64, QByteArray> submitted;
    QByteArray stream;
    QList<QPair<int, int>> cut; // stream ranges of transfers not taken whole
    for (const vqsim::UsbmonRecord& r : records) {
        if (r.endpoint & 0x80)
            continue;
        if (r.type == 'S') {
            submitted.insert(r.id, r.data);
            continue;
        }
        const QByteArray data = submitted.take(r.id);
        if (r.status != 0 || int(r.length) < data.size())
            cut.append({stream.size(), stream.size() + data.size()});
        stream += data;
    }
    const QMap<int, QString> names {{0x12, "S"}, {0x42, "E"}, {0x43, "R"}};
    QStringList words;
    for (int at = 0; at + 8 <= stream.size();) {
        const int size = int(qFromLittleEndian<quint32>(stream.constData() + at + 4));
        if (quint8(stream.at(at)) != 0x7E || size < 12 || at + size > stream.size())
            return words.join(' ') + " junk";
        const QByteArray payload = stream.mid(at + 8, size - 12);
        const int type = quint8(stream.at(at + 1));
        QString word = names.value(type, QString("?%1").arg(type, 2, 16, QChar('0')));
        if (type == 0x40)
            word = QString("T%1/%2x%3")
                       .arg(qFromLittleEndian<quint16>(payload.constData()))
                       .arg(qFromLittleEndian<quint16>(payload.constData() + 2))
                       .arg(quint8(payload.at(4)));
        if (type == 0x41)
            word = QString("U%1h%2").arg(vqsim::decodeUnit(payload).SliceNo).arg(vqsim::decodeUnit(payload).Head);
        for (const auto& range : cut)
            if (range.first < at + size && at < range.second)
                word += "!";
        words << word;
        at += size;
    }
    return words.join(' ');
}

// Transfers as they crossed the bus, without ids and times.
QStringList transfers(const QList<vqsim::UsbmonRecord>& records)
{
    QStringList texts;
    for (const vqsim::UsbmonRecord& r : records)
        texts << QString("%1 %2 %3 %4 ").arg(r.type).arg(r.endpoint).arg(r.length).arg(r.status) + r.data.toHex();
    return texts;
}

QJsonObject pageFile(const QString& dir, int page)
{
    QFile file(QString("%1/page-%2.json").arg(dir).arg(page));
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

// "head:from-to from-to" for each head's picture of a page: the columns the
// head inks, left to right.
QString inkedColumns(const QString& dir, int page)
{
    QStringList heads;
    for (int head = 0; head < 2; ++head) {
        const QImage picture = QImage(QString("%1/page-%2-head-%3.png").arg(dir).arg(page).arg(head))
                                   .convertToFormat(QImage::Format_Grayscale8);
        QStringList spans;
        for (int x = 0, from = -1; x <= picture.width() && !picture.isNull(); ++x) {
            bool inked = false;
            for (int y = 0; x < picture.width() && y < picture.height() && !inked; ++y)
                inked = picture.constScanLine(y)[x] < 128;
            if (inked && from < 0)
                from = x;
            if (!inked && from >= 0) {
                spans << QString("%1-%2").arg(from).arg(x);
                from = -1;
            }
        }
        if (!spans.isEmpty())
            heads << QString("%1:%2").arg(head).arg(spans.join(' '));
    }
    return heads.join(' ');
}

// Time stamps in names read as "STAMP".
QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name).replaceInStrings(QRegularExpression("^\\d{14}"), "STAMP");
}

struct Ending {
    QString templateText;
    QStringList printer; // VQSIM_* settings
    QString job;
    int exitCode = 0;
    QString wire;
    QStringList logged; // JOB stands for the job folder
    QStringList pictures; // inkedColumns() of each printed page
    QStringList jobLeft;
    QStringList workLeft; // in the working folder; "any" after an abort, which
                          // races the page's clean-up (the next start clears it)
};

} // namespace

Q_DECLARE_METATYPE(Ending)

class StationTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void stationEndsAsExpected_data();
    void stationEndsAsExpected();
    void realLibusbPutsTheSameTransfersOnTheBus();

private:
    Run runEnding(const Ending& e, const QString& link);
    QTemporaryDir m_dir;
    int m_runs = 0;
};

void StationTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    APPConfig::init();
}

void StationTest::stationEndsAsExpected_data()
{
    QTest::addColumn<Ending>("ending");
    const QString oneHead = vqtest::sampleTemplate("a4-one-head.ini");
    const QString unitsOfPage = "S T1/1x3 U0h1 U1h1 U2h1";
    QTest::newRow("three pages") << Ending {oneHead, {}, "three pages", 0,
        "S T3/1x1 U0h1 S S S T3/2x2 U0h1 U1h1 S S S T3/3x3 U0h1 U1h1 U2h1 S S", {"File Path: \"JOB\""},
        {"1:640-960", "1:640-960 1920-2240", "1:640-960 1920-2240 3200-3520"}, {}, {}};
    QTest::newRow("two heads") << Ending {vqtest::sampleTemplate("a4-two-head.ini"), {}, "two heads", 0,
        "S T1/1x4 U0h0 U1h0 U2h1 U3h1 S S", {}, {"0:640-960 2400-2480 1:2480-2560 3840-4160"}, {},
        {"g_Print_src_mono_0.bmp", "g_Print_src_mono_1.bmp"}};
    QTest::newRow("no printer") << Ending {oneHead, {"VQSIM_SCENARIO=absent"}, "one page",
        StationQuit::PrinterNotOpened, "", {"usb打开错误,打印程序退出!"}, {}, {"1.bmp"}, {}};
    QTest::newRow("printer never takes the task")
        << Ending {oneHead, {"VQSIM_SCENARIO=never-receive"}, "one page", StationQuit::PrinterUnreadable,
               unitsOfPage + " S S S S E R", {"发送图元失败!"}, {"1:640-960 1920-2240 3200-3520"}, {}, {"any"}};
    QTest::newRow("short write mid-page") << Ending {oneHead, {"VQSIM_SCENARIO=short-write:3"}, "one page",
        StationQuit::NotTakenWhole, "S T1/1x3 U0h1! E R", {"命令帧未完整发送：0x41"}, {}, {}, {"any"}};
    QTest::newRow("hostile job folder") << Ending {oneHead, {}, "hostile", StationQuit::PagesRefused,
        "S T4/1x3 U0h1 U1h1 U2h1 S S",
        {"图像文件无法读取： \"JOB/text.bmp\"", "图像文件不完整，不处理： \"JOB/cut.bmp\"",
            "图像尺寸超出上限，不处理： \"JOB/huge.bmp\""},
        {"1:640-960 1920-2240 3200-3520"}, {}, {}};
}

Run StationTest::runEnding(const Ending& e, const QString& link)
{
    vqtest::clearStationFiles();
    vqtest::writeTemplate("station", e.templateText);
    vqtest::setActiveTemplate("station");
    const QString dir = m_dir.filePath(QString::number(++m_runs));
    writeJob(dir + "/job", jobFiles(e.job));
    return runStation(link, dir + "/job", e.printer, dir);
}

void StationTest::stationEndsAsExpected()
{
    QFETCH(Ending, ending);
    const Run run = runEnding(ending, "stand-in");

    QVERIFY2(run.ended, qPrintable(run.output.right(3000)));
    QCOMPARE(run.exitCode, ending.exitCode);
    QCOMPARE(wireSummary(run.records), ending.wire);
    for (const QString& line : ending.logged)
        QVERIFY2(run.output.contains(QString(line).replace("JOB", run.job)),
            qPrintable(line + "\n" + run.output.right(3000)));
    for (int page = 1; page <= ending.pictures.size(); ++page) {
        const QJsonObject file = pageFile(run.pages, page);
        QCOMPARE(file["PageNo"].toInt(), page);
        QCOMPARE(file["unitsReceived"].toInt(), file["SliceAmount"].toInt());
        QCOMPARE(file["malformedUnits"].toInt(), 0);
        QCOMPARE(inkedColumns(run.pages, page), ending.pictures.at(page - 1));
    }
    QCOMPARE(filesIn(run.job), ending.jobLeft);
    if (ending.workLeft != QStringList {"any"})
        QCOMPARE(filesIn(APPConfig::output()), ending.workLeft);
}

// A page through the system's libusb and the emulated usbfs device: the
// same transfers in the same order as through the stand-in, and
// vqsim-decode rebuilds the same page from that capture.
void StationTest::realLibusbPutsTheSameTransfersOnTheBus()
{
    Ending onePage;
    onePage.templateText = vqtest::sampleTemplate("a4-one-head.ini");
    const Run standIn = runEnding(onePage, "stand-in");
    const Run usbfs = runEnding(onePage, "usbfs");
    QVERIFY2(usbfs.ended && usbfs.exitCode == 0, qPrintable(usbfs.output.right(3000)));
    QCOMPARE(wireSummary(usbfs.records), QString("S T1/1x3 U0h1 U1h1 U2h1 S S"));
    QCOMPARE(transfers(usbfs.records), transfers(standIn.records));
    const QString decoded = m_dir.filePath("decoded");
    QCOMPARE(QProcess::execute(VQ_SIM_DECODE, {usbfs.capture, decoded}), 0);
    QCOMPARE(pageFile(decoded, 1), pageFile(standIn.pages, 1));
    // The capture is one any usbmon reader takes.
    QCOMPARE(QProcess::execute("tshark", {"-r", usbfs.capture, "-c", "1", "-Q"}), 0);
}

VQ_TEST_MAIN(StationTest)
#include "tst_station.moc"
