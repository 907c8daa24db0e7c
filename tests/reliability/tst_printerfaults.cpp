// Printer faults through the whole station: the real binary prints a
// one-page job on the simulated printer while the printer misbehaves in
// each of the ways the simulator offers, under the preloaded libusb
// stand-in and under the real libusb on the emulated usbfs device.
//
// What the station must do follows from its link, protocol and
// supervision rules: a printer that cannot be opened ends the run before
// the window shows; a status reply that does not come (four reads of 10 s
// with 2 s pauses) stops the print with "无法读取打印机状态，停止打印！"; a
// task the printer does not report received by the fourth poll, or a task
// or unit it did not take whole, stops it with "打印失败！停止打印"; both
// send end of job and buffer reset before the link closes. State texts of the printer are shown and never change
// the course of the print. No run may hang, crash or end silently.
//
// The job's one page has three small units, each one USB transfer, so the
// OUT transfers run: 1 status request, 2 print task, 3..5 units 0..2, then
// one status request per poll. unplug-after:N and short-write:N hit the
// frame of that number.

#include "vqtest.h"

#include "jobpages.h"
#include "outcome.h"
#include "stationrun.h"

#include <QTemporaryDir>

using namespace station;
using reliability::Outcome;
using reliability::endsByItself;

namespace {

const QString kPrinted = "打印机状态：当前页打印完成";
const QString kUnreadable = "打印机状态：无法读取打印机状态，停止打印！";
// The printer did not report the task received, or did not take it whole.
const QString kNotSent = "打印机状态：打印失败！停止打印";

enum class Page { SmallUnits, TallUnit };


Outcome withShown(Outcome o, const QString& shown)
{
    o.shown = shown;
    return o;
}

} // namespace

Q_DECLARE_METATYPE(reliability::Outcome)
Q_DECLARE_METATYPE(station::Link)
Q_DECLARE_METATYPE(Page)

class PrinterFaultsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void stationEndsAsTheRulesSay_data();
    void stationEndsAsTheRulesSay();
};

void PrinterFaultsTest::initTestCase()
{
    QVERIFY2(QFileInfo(VQ_STATION_BINARY).isExecutable(), VQ_STATION_BINARY);
    QVERIFY2(QFileInfo(VQ_SIM_PRELOAD).exists(), VQ_SIM_PRELOAD);
}

void PrinterFaultsTest::stationEndsAsTheRulesSay_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<Page>("page");
    QTest::addColumn<Link>("link");
    QTest::addColumn<Outcome>("expected");

    struct Case {
        int order;
        QString name;
        QString scenario;
        Page page;
        Outcome expected;
    };
    const QString printedWire = "S T1/1x3 U0h1 U1h1 U2h1 S S";
    // A formatted line: the log shows it in double quotes.
    const QString cutUnit = "\"命令帧未完整发送：0x41";
    const QList<Case> cases{
        // The link cannot be opened: the station ends before its window
        // shows and the page stays for the next start.
        {30, "claim of the interface refused", "claim-fails", Page::SmallUnits,
         endsByItself({"usb打开错误,打印程序退出!"}, "(no window)", "nothing", "nothing", "1.bmp")},
        // A fault state is shown, and the page, which the printer still
        // prints, is finished as usual.
        {70, "printer in its error state while printing", "error-state", Page::SmallUnits,
         withShown(endsByItself({"*** Print Over!"}, kPrinted, printedWire, "page 1: 3 of 3 units"),
                   "打印机状态：故障")},
        // Unplugged: from then on every transfer fails at once. A status read
        // gives up after four attempts and 8 s of pauses and stops the print;
        // a task or unit that does not go out stops it at once.
        {80, "unplugged after the status request", "unplug-after:1", Page::SmallUnits,
         endsByItself({"无法读取打印机状态！"}, kUnreadable, "S E! R!", "nothing")},
        {81, "unplugged after the print task", "unplug-after:2", Page::SmallUnits,
         endsByItself({cutUnit + " 0/", "发送图元失败!"}, kNotSent, "S T1/1x3 U0h1! E! R!", "page 1: 0 of 3 units")},
        {82, "unplugged in the middle of a unit", "unplug-after:4", Page::TallUnit,
         endsByItself({cutUnit + " 1024/", "发送图元失败!"}, kNotSent, "S T1/1x1 U0h1! E! R!",
                      "page 1: 0 of 1 units")},
        {83, "unplugged between two units", "unplug-after:3", Page::SmallUnits,
         endsByItself({cutUnit + " 0/", "发送图元失败!"}, kNotSent, "S T1/1x3 U0h1 U1h1! E! R!",
                      "page 1: 1 of 3 units")},
        {84, "unplugged while the page prints", "unplug-after:7", Page::SmallUnits,
         withShown(endsByItself({"读取打印机状态失败!"}, kUnreadable, "S T1/1x3 U0h1 U1h1 U2h1 S S E! R!",
                                "page 1: 3 of 3 units"),
                   "打印机状态：打印中")},
        // Header and trailer of a status reply are not looked at.
        {90, "status replies with garbage headers", "garbage-header", Page::SmallUnits,
         endsByItself({"*** Print Over!"}, kPrinted, printedWire, "page 1: 3 of 3 units")},
        // Half a status request: the printer never answers it.
        {100, "status request cut short", "short-write:1", Page::SmallUnits,
         endsByItself({"\"命令帧未完整发送：0x12 8/16", "无法读取打印机状态！"}, kUnreadable, "S! E R", "nothing")},
        // Half a print task or half a unit: the page cannot print as sent.
        // The printer takes the next bytes (here of the end-of-job command)
        // as the rest of the frame; the buffer reset after it is the
        // station's way to clear them.
        {101, "print task cut short", "short-write:2", Page::SmallUnits,
         endsByItself({"\"命令帧未完整发送：0x40 9/18", "发送图元失败!"}, kNotSent, "S T1/1x3! E R",
                      "page 1: 0 of 0 units")},
        {102, "image unit cut short", "short-write:3", Page::SmallUnits,
         endsByItself({cutUnit, "发送图元失败!"}, kNotSent, "S T1/1x3 U0h1! E R", "page 1: 0 of 3 units")},
        {103, "status poll cut short", "short-write:6", Page::SmallUnits,
         endsByItself({"\"命令帧未完整发送：0x12 8/16", "读取打印机状态失败!"}, kUnreadable,
                      "S T1/1x3 U0h1 U1h1 U2h1 S! E R", "page 1: 3 of 3 units")},
        // The first IN endpoint is an interrupt endpoint that never answers:
        // taken as the link's IN endpoint, the status cannot be read.
        {110, "interrupt endpoint listed first", "interrupt-first", Page::SmallUnits,
         endsByItself({"无法读取打印机状态！"}, kUnreadable, "S E R", "nothing")},
    };
    // CMakeLists.txt runs each case, by its name, in one of its entries.
    for (Link link : {Link::StandIn, Link::Usbfs})
        for (const Case& c : cases)
            QTest::newRow(qPrintable(c.name + "/" + linkName(link)))
                << c.order << c.scenario << c.page << link << c.expected;
}

void PrinterFaultsTest::stationEndsAsTheRulesSay()
{
    QFETCH(int, order);
    QFETCH(QString, scenario);
    QFETCH(Page, page);
    QFETCH(Link, link);
    QFETCH(Outcome, expected);
    if (link == Link::Usbfs && !usbfsLauncherBuilt())
        QSKIP("the emulated usbfs device (sim/vqsim-usbfs) is not built");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString job = dir.path() + "/job";
    reliability::prepareJob(job, {page == Page::SmallUnits ? reliability::smallUnitsPage()
                                                           : reliability::tallUnitPage()});
    Launch launch = reliability::launchOn(link, job, dir.path());
    launch.environment << "VQSIM_SCENARIO=" + scenario;
    const Run run = runStation(launch);
    const Outcome observed = reliability::observe(run, job, expected);
    const QStringList differences = reliability::differences(expected, observed);

    reliability::Row row;
    row.section = 2;
    row.order = order;
    row.caseName = QString("%1 (`%2`)").arg(QString::fromUtf8(QTest::currentDataTag()).section('/', 0, 0), scenario);
    row.link = linkName(link);
    row.expected = expected.lines();
    row.observed = observed.lines();
    row.asExpected = differences.isEmpty();
    reliability::record(row);

    QVERIFY2(differences.isEmpty(), qPrintable(differences.join('\n') + "\n" + run.describe()));
}

VQ_TEST_MAIN(PrinterFaultsTest)
#include "tst_printerfaults.moc"
