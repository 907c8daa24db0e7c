// The whole station as a user runs it: the real, unmodified binary on a job
// folder, with the simulated printer behind the preloaded stand-in or the
// real libusb on the emulated usbfs device. Each case checks what the
// printer received (page files, the capture read back with tshark), what
// the operator saw, what the station left on disk, and how it ended.
//
// Station runs take real time (2-second start and polls, 500 ms per unit, a
// silent printer about a minute), so the cases are few; CMakeLists.txt
// splits them over several ctest entries that run side by side.

#include "vqtest.h"

#include "pages.h"
#include "stationrun.h"
#include "wire.h"
#include "xdisplay.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cmath>

using namespace station;

namespace {

// Inked columns are 320 dots wide (ten words) with wide blank gaps, so each
// one is an image unit of its own; they run from 20 mm to 270 mm down the
// page.
const int kColumnWidth = 320;
const int kInkTop = mmToDots(20);
const int kInkBottom = mmToDots(270);
// The cutter's blank margin above and below a unit, in rows of 290.3 dpi.
const double kMarginMm = 57 * 25.4 / 290.3;
// Padded width of an A4 print source as the cutter sees it (4961 dots).
const int kCutWidth = 4992;
// Where a unit begins, from the page's bottom or top edge: where the ink
// ends, less the margin.
const double kUnitFromBottomMm = (297 - 270) - kMarginMm;
const double kUnitFromTopMm = 20 - kMarginMm;

QRect column(int x, int width = kColumnWidth) { return QRect(x, kInkTop, width, kInkBottom - kInkTop); }

double dotsToMm(int dots) { return dots * 25.4 / 600.0; }

struct ExpectedUnit {
    int head = 0;
    int width = 0;
    double posXmm = 0;
    double posYmm = 0;
};

struct JobCase {
    QString name;
    QString templateText;
    QStringList printer;                       // VQSIM_* settings
    QList<QList<QRect>> pages;                 // inked blocks of each page
    QString wire;                              // wireSummary() of the run
    QList<QList<ExpectedUnit>> units;          // per page, in arrival order
    // Per page: head -> inked columns of its picture. Empty: the pictures
    // are not compared (the simulator draws units placed from the left).
    QList<QMap<int, QList<Span>>> pictureColumns;
    QList<Span> pictureRows;                   // from the bottom, every page
    QStringList workingFilesLeft;              // in the working folder after the job
};

// Rows of an A4 page printed through the one-head sample: the band between
// 140 mm and 150 mm is left out.
QList<Span> oneHeadSampleRows()
{
    const int bandTop = mmToDots(140), bandBottom = mmToDots(150);
    return {{kPageHeight - kInkBottom, kPageHeight - bandBottom}, {kPageHeight - bandTop, kPageHeight - kInkTop}};
}

ExpectedUnit leftReferenced(int head, int x, int width)
{
    return {head, width, kUnitFromBottomMm, dotsToMm(x)};
}

JobCase threePageJob()
{
    JobCase c;
    c.name = "three pages";
    c.templateText = sampleTemplate("a4-one-head.ini");
    QStringList wire;
    for (int page = 1; page <= 3; ++page) {
        QList<QRect> blocks;
        QList<ExpectedUnit> units;
        QList<Span> columns;
        wire << "S" << QString("T3/%1x%1").arg(page);
        for (int k = 0; k < page; ++k) {
            const int x = 640 + 1280 * k;
            blocks << column(x);
            // 320 dots are widened to the next 300-dot quantum, 608 in words.
            units << leftReferenced(1, x, 608);
            columns << Span{x, x + kColumnWidth};
            wire << QString("U%1h1").arg(k);
        }
        wire << "S" << "S";
        c.pages << blocks;
        c.units << units;
        c.pictureColumns << QMap<int, QList<Span>>{{1, columns}};
    }
    c.wire = wire.join(' ');
    c.pictureRows = oneHeadSampleRows();
    return c;
}

// Head 0 prints the left half of the page, head 1 the right half; the
// middle column straddles the seam at 105 mm (2480 dots), so its unit goes
// to both heads and the outer ones to one head each.
JobCase twoHeadJob()
{
    JobCase c;
    c.name = "two heads";
    c.templateText = sampleTemplate("a4-two-head.ini");
    const int seam = 2480;
    c.pages << QList<QRect>{column(640), column(2400, 160), column(3840)};
    c.units << QList<ExpectedUnit>{leftReferenced(0, 640, 608), leftReferenced(0, 2400, 320),
                                   leftReferenced(1, 2400, 320), leftReferenced(1, 3840, 608)};
    c.wire = "S T1/1x4 U0h0 U1h0 U2h1 U3h1 S S";
    c.pictureColumns << QMap<int, QList<Span>>{{0, {{640, 960}, {2400, seam}}}, {1, {{seam, 2560}, {3840, 4160}}}};
    c.pictureRows = {{kPageHeight - kInkBottom, kPageHeight - kInkTop}};
    // The heads' dot images stay to be looked at until the next start, one
    // pair however many pages; no print source stays.
    c.workingFilesLeft = QStringList{"g_Print_src_mono_0.bmp", "g_Print_src_mono_1.bmp"};
    return c;
}

// Models whose cutter places units from the right edge: they arrive
// rightmost first, positioned from the right (type 1 from the bottom edge,
// type 3 from the top edge).
JobCase rightReferencedJob(const QString& model, const QStringList& printer, double posXmm)
{
    JobCase c;
    c.name = model;
    c.templateText = sampleTemplate("a4-one-head.ini", {"M=TRV-B20", "M=" + model});
    c.printer = printer;
    QList<QRect> blocks;
    QList<ExpectedUnit> units;
    for (int k = 0; k < 3; ++k) {
        const int x = 640 + 1280 * k;
        blocks << column(x);
        // Widened to the left: the unit ends where the column ends.
        units.prepend({1, 608, posXmm, dotsToMm(kCutWidth - x - kColumnWidth)});
    }
    c.pages << blocks;
    c.units << units;
    c.pictureColumns << QMap<int, QList<Span>>{};
    c.wire = "S T1/1x3 U0h1 U1h1 U2h1 S S";
    return c;
}

QJsonObject readJson(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

QList<ExpectedUnit> unitsOf(const QJsonArray& units)
{
    QList<ExpectedUnit> list;
    for (const QJsonValue& v : units) {
        const QJsonObject u = v.toObject();
        list.append({u["Head"].toInt(), u["Width"].toInt(), u["PosXmm"].toDouble(), u["PosYmm"].toDouble()});
    }
    return list;
}

bool unitsMatch(const QList<ExpectedUnit>& actual, const QList<ExpectedUnit>& expected)
{
    if (actual.size() != expected.size())
        return false;
    for (int i = 0; i < expected.size(); ++i) {
        const ExpectedUnit& a = actual.at(i);
        const ExpectedUnit& e = expected.at(i);
        // Positions go through the resampling to 290.3 rows per inch and
        // single precision; a row there is 0.09 mm, a dot 0.04 mm.
        if (a.head != e.head || a.width != e.width || std::abs(a.posXmm - e.posXmm) > 0.3
            || std::abs(a.posYmm - e.posYmm) > 0.1)
            return false;
    }
    return true;
}

QString unitsText(const QList<ExpectedUnit>& units)
{
    QStringList parts;
    for (const ExpectedUnit& u : units)
        parts << QString("head %1 width %2 x %3 y %4")
                     .arg(u.head)
                     .arg(u.width)
                     .arg(u.posXmm, 0, 'f', 2)
                     .arg(u.posYmm, 0, 'f', 2);
    return parts.join("; ");
}

QString separator() { return QString(103, '-'); }

// The lines the station logs at every start, in the day's log file:
// timestamp, level word, message.
bool hasStartLines(const QStringList& log, const QString& jobFolder)
{
    const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Debug: ");
    QStringList messages;
    for (const QString& line : log)
        if (stamp.match(line).hasMatch())
            messages << line.mid(27);
    const int at = messages.indexOf(separator());
    return at >= 0 && messages.mid(at + 1, 2)
                          == QStringList{"File Path: \"" + jobFolder + "\"", "Job Number: \"\""};
}

Run runJob(const JobCase& job, Link link, const QString& dir)
{
    clearStation();
    installTemplate("station", job.templateText);
    QList<QImage> pages;
    for (const QList<QRect>& blocks : job.pages)
        pages << pageWithBlocks(blocks);
    if (!writeJob(dir + "/job", pages))
        qFatal("cannot write the job into %s", qPrintable(dir));
    Launch launch;
    launch.link = link;
    launch.arguments = QStringList{dir + "/job"};
    launch.environment = job.printer;
    launch.resultsDir = dir + "/results";
    return runStation(launch);
}

// Captures of the stand-in runs of this process, by case, so that a usbfs
// run is compared with the stand-in run of the same job.
QMap<QString, QList<UsbRecord>>& standInCaptures()
{
    static QMap<QString, QList<UsbRecord>> captures;
    return captures;
}

QStringList recordTexts(const QList<UsbRecord>& records)
{
    QStringList texts;
    for (const UsbRecord& r : records)
        texts << r.text();
    return texts;
}

bool toolInstalled(const QString& name) { return !QStandardPaths::findExecutable(name).isEmpty(); }

} // namespace

Q_DECLARE_METATYPE(JobCase)
Q_DECLARE_METATYPE(station::Link)

class StationTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();

    void jobIsPrinted_data();
    void jobIsPrinted();
    void abortEndsTheRun_data();
    void abortEndsTheRun();
    void windowsAppearOnScreen_data();
    void windowsAppearOnScreen();

private:
    void requireLink(Link link);
};

void StationTest::initTestCase()
{
    QVERIFY2(toolInstalled("tshark"), "tshark is missing (packaging/install-deps installs it)");
    QVERIFY2(QFileInfo(VQ_STATION_BINARY).isExecutable(), VQ_STATION_BINARY);
    QVERIFY2(QFileInfo(VQ_SIM_PRELOAD).exists(), VQ_SIM_PRELOAD);
}

void StationTest::requireLink(Link link)
{
    if (link == Link::Usbfs && !usbfsLauncherBuilt())
        QSKIP("the emulated usbfs device (sim/vqsim-usbfs) is not built");
}

void StationTest::jobIsPrinted_data()
{
    QTest::addColumn<JobCase>("job");
    QTest::addColumn<Link>("link");

    for (Link link : {Link::StandIn, Link::Usbfs}) {
        for (const JobCase& job : {threePageJob(), twoHeadJob()})
            QTest::newRow(qPrintable(job.name + "/" + linkName(link))) << job << link;
    }
    // Type 1 is the model with its own product id: the printer answers to
    // 0x2020 only, so the page prints only when the station asks for it.
    QTest::newRow("TRV-A20/stand-in") << rightReferencedJob("TRV-A20", {"VQSIM_PRODUCT_ID=0x2020"}, kUnitFromBottomMm)
                                      << Link::StandIn;
    QTest::newRow("TRV-C20/stand-in") << rightReferencedJob("TRV-C20", {}, kUnitFromTopMm) << Link::StandIn;
}

void StationTest::jobIsPrinted()
{
    QFETCH(JobCase, job);
    QFETCH(Link, link);
    requireLink(link);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Run run = runJob(job, link, dir.path());

    QVERIFY2(run.endedByItself && !run.crashed, qPrintable(run.describe()));
    QCOMPARE(run.exitCode, 0);

    // What the printer received: one task per page with its units.
    const int total = job.pages.size();
    for (int page = 1; page <= total; ++page) {
        const QJsonObject manifest = readJson(QString("%1/page-%2.json").arg(run.pagesDir).arg(page));
        QVERIFY2(!manifest.isEmpty(), qPrintable(QString("no page file for page %1").arg(page)));
        QCOMPARE(manifest["TotalPages"].toInt(), total);
        QCOMPARE(manifest["PageNo"].toInt(), page);
        QCOMPARE(manifest["TemplateSum"].toInt(), 1);
        QCOMPARE(manifest["SliceAmount"].toInt(), job.units.at(page - 1).size());
        QCOMPARE(manifest["unitsReceived"].toInt(), job.units.at(page - 1).size());
        QCOMPARE(manifest["malformedUnits"].toInt(), 0);
        const QList<ExpectedUnit> units = unitsOf(manifest["units"].toArray());
        QVERIFY2(unitsMatch(units, job.units.at(page - 1)),
                 qPrintable(QString("page %1 units: %2\nexpected: %3")
                                .arg(page)
                                .arg(unitsText(units), unitsText(job.units.at(page - 1)))));

        // What the heads print is the page's ink, where the page has it.
        const QMap<int, QList<Span>> columns = job.pictureColumns.at(page - 1);
        for (auto head = columns.begin(); head != columns.end(); ++head) {
            const QImage picture(QString("%1/page-%2-head-%3.png").arg(run.pagesDir).arg(page).arg(head.key()));
            QVERIFY2(!picture.isNull(), qPrintable(QString("no picture of page %1 head %2").arg(page).arg(head.key())));
            const QList<Span> inked = inkedColumns(picture);
            QVERIFY2(spansMatch(inked, head.value(), 0),
                     qPrintable(QString("page %1 head %2 columns %3, expected %4")
                                    .arg(page)
                                    .arg(head.key())
                                    .arg(spansText(inked), spansText(head.value()))));
            // Rows pass through 290.3 rows per inch and back: a row there is
            // about two here. Columns keep their 600 dpi and stay exact.
            const QList<Span> rows = inkedRowsFromBottom(picture);
            QVERIFY2(spansMatch(rows, job.pictureRows, 3),
                     qPrintable(QString("page %1 head %2 rows %3, expected %4")
                                    .arg(page)
                                    .arg(head.key())
                                    .arg(spansText(rows), spansText(job.pictureRows))));
        }
    }
    QVERIFY(!QFile::exists(QString("%1/page-%2.json").arg(run.pagesDir).arg(total + 1)));

    // The order on the wire: status, task and units of each page, then the
    // polls until it is printed; no end-of-job commands after a good job.
    QString error;
    const QList<UsbRecord> records = readCapture(run.capture, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(wireSummary(records), job.wire);

    // What the operator saw.
    QStringList numbers{"当前页数"};
    for (int page = 1; page <= total; ++page)
        numbers << QString::number(page);
    QCOMPARE(run.labels.value("lbl_Num"), numbers);
    QCOMPARE(run.labels.value("lbl_Cnt"), (QStringList{"总页数", QString::number(total)}));
    QVERIFY2(run.labels.value("lbl_State").contains("打印机状态：打印中"),
             qPrintable(run.labels.value("lbl_State").join(" | ")));
    QCOMPARE(run.labels.value("lbl_State").value(run.labels.value("lbl_State").size() - 1),
             QString("打印机状态：当前页打印完成"));

    // What it left: an empty job folder and no page's working files.
    QCOMPARE(filesIn(dir.path() + "/job"), QStringList());
    QCOMPARE(filesIn(kWorkDir), job.workingFilesLeft);
    QVERIFY2(hasStartLines(run.logLines, dir.path() + "/job"), qPrintable(run.logLines.join('\n')));

    if (link == Link::StandIn) {
        standInCaptures().insert(job.name, records);
    } else {
        // The real libusb must put the same transfers on the bus as the
        // stand-in, in the same order.
        if (!standInCaptures().contains(job.name)) {
            QTemporaryDir standInDir;
            QVERIFY(standInDir.isValid());
            const Run standIn = runJob(job, Link::StandIn, standInDir.path());
            QVERIFY2(standIn.endedByItself, qPrintable(standIn.describe()));
            standInCaptures().insert(job.name, readCapture(standIn.capture, &error));
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        QCOMPARE(recordTexts(records), recordTexts(standInCaptures().value(job.name)));
    }
}

void StationTest::abortEndsTheRun_data()
{
    QTest::addColumn<Link>("link");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QStringList>("printer");
    QTest::addColumn<QString>("wire");
    QTest::addColumn<int>("statusReads");
    QTest::addColumn<QString>("errorLine");   // on standard error
    QTest::addColumn<QString>("logLine");     // in the day's log file
    QTest::addColumn<QString>("stateText");   // last text of the state label
    QTest::addColumn<int>("pageFiles");
    QTest::addColumn<bool>("pageStaysInJob");

    for (Link link : {Link::StandIn, Link::Usbfs}) {
        const QString on = "/" + linkName(link);
        // A printer still holding a task: refused before anything is sent.
        QTest::newRow(qPrintable("busy" + on))
            << link << "TRV-B20" << QStringList{"VQSIM_SCENARIO=busy"} << "S E R" << 1 << "打印机正处于忙碌状态！"
            << "" << "打印机状态：打印机正处于忙碌状态，停止打印！" << 0 << false;
        // No reply: four read attempts of 10 s with 2 s pauses.
        QTest::newRow(qPrintable("silent" + on))
            << link << "TRV-B20" << QStringList{"VQSIM_SCENARIO=silent"} << "S E R" << 4 << "无法读取打印机状态！"
            << "" << "打印机状态：无法读取打印机状态，停止打印！" << 0 << false;
        // The units arrive but the printer never says so: four polls.
        QTest::newRow(qPrintable("never receives" + on))
            << link << "TRV-B20" << QStringList{"VQSIM_SCENARIO=never-receive"}
            << "S T1/1x3 U0h1 U1h1 U2h1 S S S S E R" << 5 << "发送图元失败!" << ""
            << "打印机状态：打印失败！停止打印" << 1 << false;
        // No printer: the station ends before its window shows, and the
        // page stays where the job put it.
        QTest::newRow(qPrintable("absent" + on))
            << link << "TRV-B20" << QStringList{"VQSIM_SCENARIO=absent"} << "" << 0 << "" << "usb打开错误,打印程序退出!"
            << "" << 0 << true;
    }
    QTest::newRow("printer of another model/stand-in")
        << Link::StandIn << "TRV-A20" << QStringList{} << "" << 0 << "" << "usb打开错误,打印程序退出!" << "" << 0 << true;
}

void StationTest::abortEndsTheRun()
{
    QFETCH(Link, link);
    QFETCH(QString, model);
    QFETCH(QStringList, printer);
    QFETCH(QString, wire);
    QFETCH(int, statusReads);
    QFETCH(QString, errorLine);
    QFETCH(QString, logLine);
    QFETCH(QString, stateText);
    QFETCH(int, pageFiles);
    QFETCH(bool, pageStaysInJob);
    requireLink(link);

    JobCase job;
    job.templateText = sampleTemplate("a4-one-head.ini", {"M=TRV-B20", "M=" + model});
    job.printer = printer;
    job.pages << QList<QRect>{column(640), column(1920), column(3200)};

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Run run = runJob(job, link, dir.path());

    QVERIFY2(run.endedByItself && !run.crashed, qPrintable(run.describe()));
    QCOMPARE(run.exitCode, 0);

    QString error;
    const QList<UsbRecord> records = readCapture(run.capture, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(wireSummary(records), wire);
    QCOMPARE(station::statusReads(records), statusReads);

    if (!errorLine.isEmpty())
        QVERIFY2(run.standardError.split('\n').contains(errorLine), qPrintable(run.describe()));
    if (!logLine.isEmpty()) {
        bool logged = false;
        for (const QString& line : run.logLines)
            logged = logged || line.endsWith(" Debug: " + logLine);
        QVERIFY2(logged, qPrintable(run.logLines.join('\n')));
    }
    if (!stateText.isEmpty())
        QCOMPARE(run.labels.value("lbl_State").value(run.labels.value("lbl_State").size() - 1), stateText);

    QStringList pages = filesIn(run.pagesDir).filter(QRegularExpression("^page-\\d+\\.json$"));
    QCOMPARE(pages.size(), pageFiles);
    if (pageStaysInJob)
        QCOMPARE(filesIn(dir.path() + "/job"), QStringList{"1.bmp"});
}

void StationTest::windowsAppearOnScreen_data()
{
    QTest::addColumn<bool>("withJob");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("size");

    QTest::newRow("no argument: template chooser") << false << "模板" << "522x215";
    QTest::newRow("job folder: status window") << true << "打印状态" << "410x238";
}

void StationTest::windowsAppearOnScreen()
{
    QFETCH(bool, withJob);
    QFETCH(QString, title);
    QFETCH(QString, size);

    QVERIFY2(toolInstalled("Xvfb") && toolInstalled("xwininfo"),
             "Xvfb or xwininfo is missing (packaging/install-deps installs them)");
    VirtualDisplay screen;
    QVERIFY2(!screen.display().isEmpty(), qPrintable("Xvfb did not start: " + screen.errors()));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    clearStation();
    installTemplate("a4-one-head", sampleTemplate("a4-one-head.ini"));
    installTemplate("a4-two-head", sampleTemplate("a4-two-head.ini"));

    Launch launch;
    launch.display = screen.display();
    launch.resultsDir = dir.path() + "/results";
    if (withJob) {
        QVERIFY(writeJob(dir.path() + "/job", {pageWithBlocks({column(640)})}));
        launch.arguments = QStringList{dir.path() + "/job"};
    }
    launch.endsByItself = withJob;
    QString line;
    launch.whileRunning = [&](QProcess& process) {
        QElapsedTimer waited;
        waited.start();
        while (line.isEmpty() && process.state() == QProcess::Running && waited.elapsed() < 60000) {
            line = windowLine(screen.display(), title);
            if (line.isEmpty())
                process.waitForFinished(200);
        }
    };
    const Run run = runStation(launch);

    QVERIFY2(!line.isEmpty(), qPrintable("no window titled " + title + "\n" + run.describe()));
    const QRegularExpression geometry("\\s(\\d+x\\d+)\\+-?\\d+\\+-?\\d+\\s");
    QCOMPARE(geometry.match(line + " ").captured(1), size);
    if (withJob) {
        // The job still prints and ends by itself on a real screen.
        QVERIFY2(run.endedByItself && !run.crashed, qPrintable(run.describe()));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(QFile::exists(run.pagesDir + "/page-1.json"));
    }
}

VQ_TEST_MAIN(StationTest)
#include "tst_station.moc"
