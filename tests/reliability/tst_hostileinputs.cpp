// Hostile inputs through the whole station: the real binary on a job
// folder that holds something other than a well-made page, or that changes
// under it, printing on the simulated printer (stand-in link; what arrives
// in the job folder does not depend on the link).
//
// Whatever the input, the station must not crash or hang, must say in one
// log line which file it refused and why, and must still print every good
// page of the job. Outside debug mode the station's lines after its start go
// to standard error, which the harness keeps.

#include "vqtest.h"

#include "jobpages.h"
#include "outcome.h"
#include "stationrun.h"

#include <QDataStream>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <functional>

#include <sys/mount.h>

using namespace station;
using reliability::Outcome;
using reliability::endsByItself;

namespace {

const QString kPrinted = "打印机状态：当前页打印完成";
// The state label as the window opens; no page reached the printer.
const QString kNothingSent = "打印机状态：";
const QString kOnePagePrinted = "page 1: 3 of 3 units";

// Written before the job's pages, so that the station meets it first.
void writeOlderFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    file.setFileTime(QDateTime::currentDateTime().addSecs(-200), QFileDevice::FileModificationTime);
}

// A 1-bit BMP whose header declares a page of `width` x `height` pixels,
// of which only four rows follow.
QByteArray oversizedBmp(qint32 width, qint32 height)
{
    const quint32 rowBytes = quint32(width + 31) / 32 * 4;
    QByteArray bmp;
    QDataStream out(&bmp, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("BM", 2);
    out << quint32(qMin<quint64>(62 + quint64(rowBytes) * quint32(height), 0xFFFFFFFFu)) << quint32(0)
        << quint32(62);                                  // rows start after the two colours
    out << quint32(40) << width << height << quint16(1) << quint16(1) // info header, 1 plane, 1 bit
        << quint32(0) << quint32(0) << qint32(0) << qint32(0) << quint32(2) << quint32(0);
    out << quint32(0) << quint32(0x00FFFFFF);                         // black, white
    return bmp + QByteArray(int(rowBytes) * 4, '\0');
}

// Waits until the station has written the line `text` on standard error,
// without taking the output from the harness.
bool waitForOutput(QProcess& process, const QByteArray& text, int timeoutMs)
{
    process.setReadChannel(QProcess::StandardError);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < timeoutMs && process.state() == QProcess::Running) {
        if (process.peek(process.bytesAvailable()).contains("\n" + text + "\n"))
            return true;
        process.waitForReadyRead(100);
    }
    return false;
}

bool waitUntilGone(const QString& path, QProcess& process, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (QFile::exists(path) && waited.elapsed() < timeoutMs && process.state() == QProcess::Running)
        QThread::msleep(20);
    return !QFile::exists(path);
}


// A small tmpfs over the station's working folder for as long as it lives.
// The test runs as root of its own namespace (tests/sandbox-run), so the
// mount is seen by the station it starts and by nothing outside.
class FullWorkingFolder {
public:
    FullWorkingFolder()
    {
        QDir().mkpath(kWorkDir);
        m_mounted = ::mount("tmpfs", kWorkDir.toLocal8Bit().constData(), "tmpfs", 0, "size=64k") == 0;
    }
    ~FullWorkingFolder()
    {
        if (m_mounted)
            ::umount2(kWorkDir.toLocal8Bit().constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    bool m_mounted = false;
};

} // namespace

Q_DECLARE_METATYPE(reliability::Outcome)

class HostileInputsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();

    void refusedFileIsNamedAndTheJobGoesOn_data();
    void refusedFileIsNamedAndTheJobGoesOn();
    void oversizedPageIsRefusedBeforeDecoding_data();
    void oversizedPageIsRefusedBeforeDecoding();
    void pageWrittenSlowlyIsPrintedWhole();
    void jobFolderDeletedDuringTheJob();
    void fullWorkingFolderIsLogged();

private:
    // Runs the station on `jobFolder`, records the row and checks it.
    void check(int order, const QString& caseName, const QString& jobFolder, const Outcome& expected,
               const std::function<void(Launch&)>& adjust = {});
    QTemporaryDir m_dir;
};

void HostileInputsTest::initTestCase()
{
    QVERIFY2(QFileInfo(VQ_STATION_BINARY).isExecutable(), VQ_STATION_BINARY);
    QVERIFY2(QFileInfo(VQ_SIM_PRELOAD).exists(), VQ_SIM_PRELOAD);
}

void HostileInputsTest::check(int order, const QString& caseName, const QString& jobFolder, const Outcome& expected,
                              const std::function<void(Launch&)>& adjust)
{
    Launch launch = reliability::launchOn(Link::StandIn, jobFolder, QFileInfo(jobFolder).path());
    if (adjust)
        adjust(launch);
    const Run run = runStation(launch);
    const Outcome observed = reliability::observe(run, jobFolder, expected);
    const QStringList differences = reliability::differences(expected, observed);

    reliability::Row row;
    row.section = 1;
    row.order = order;
    row.caseName = caseName;
    row.link = linkName(Link::StandIn);
    row.expected = expected.lines();
    row.observed = observed.lines();
    row.asExpected = differences.isEmpty();
    reliability::record(row);

    QVERIFY2(differences.isEmpty(), qPrintable(differences.join('\n') + "\n" + run.describe()));
}

void HostileInputsTest::refusedFileIsNamedAndTheJobGoesOn_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("refusal");

    const QByteArray page = vqtest::encodedImage(reliability::smallUnitsPage());
    QTest::newRow("a text file named like a bitmap")
        << 10 << "text.bmp" << QByteArray("These are not the pixels you are looking for.\n") << "图像文件无法读取：";
    // The station waits for the rest of it, within its bound, then refuses it.
    QTest::newRow("a bitmap cut off halfway") << 20 << "cut.bmp" << page.left(page.size() / 2)
                                             << "图像文件不完整，不处理：";
    QTest::newRow("an empty file") << 30 << "empty.bmp" << QByteArray() << "图像文件无法读取：";
}

// The refused file comes first; the good page after it still prints.
void HostileInputsTest::refusedFileIsNamedAndTheJobGoesOn()
{
    QFETCH(int, order);
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(QString, refusal);

    const QString job = m_dir.path() + "/" + QString::number(order) + "/job";
    reliability::prepareJob(job, {reliability::smallUnitsPage()});
    writeOlderFile(job + "/" + fileName, content);
    // The printer hears of two pages; the refused one is never sent.
    check(order, QTest::currentDataTag(), job,
          endsByItself({QString("%1 \"JOB/%2\"").arg(refusal, fileName), "*** Print Over!"}, kPrinted,
                 "S T2/1x3 U0h1 U1h1 U2h1 S S", kOnePagePrinted, "empty"));
}

void HostileInputsTest::oversizedPageIsRefusedBeforeDecoding_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("refusal");

    // Qt's reader takes no BMP header of more than 16384 x 16384 pixels and
    // reports no size for it; the station reads the size from the header.
    QTest::newRow("a bitmap declaring 60000 × 60000 pixels") << 40 << 60000 << 60000
                                                              << "图像尺寸超出上限，不处理：";
    // A header Qt takes, of a page wider than the station's limit.
    QTest::newRow("a bitmap declaring 30000 × 8000 pixels") << 41 << 30000 << 8000
                                                             << "图像尺寸超出上限，不处理：";
}

// Refused from its header alone: one bit per pixel, the page would take
// 450 MB (60000 x 60000) or 30 MB (30000 x 8000) decoded, and several times
// that laid out; the station's peak stays far below.
void HostileInputsTest::oversizedPageIsRefusedBeforeDecoding()
{
    QFETCH(int, order);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QString, refusal);

    const QString job = QString("%1/%2/job").arg(m_dir.path()).arg(order);
    reliability::prepareJob(job, {});
    writeOlderFile(job + "/huge.bmp", oversizedBmp(width, height));
    Outcome expected =
        endsByItself({QString("%1 \"JOB/huge.bmp\"").arg(refusal)}, kNothingSent, "nothing", "nothing", "empty");
    expected.memory = "peak below 256 MB";
    check(order, QTest::currentDataTag(), job, expected, [](Launch& launch) { launch.samplePeakMemory = true; });
}

// The page is listed while only its header and first rows are there; the
// rest follows in pieces, with pauses longer than the station's settle time.
void HostileInputsTest::pageWrittenSlowlyIsPrintedWhole()
{
    const QString job = m_dir.path() + "/slow/job";
    reliability::prepareJob(job, {});
    const QByteArray page = vqtest::encodedImage(reliability::smallUnitsPage());
    const int pieces = 6;
    const int first = page.size() / 4;
    bool listedUnfinished = false;
    check(50, "a page written slowly while listed", job,
          endsByItself({"*** Print Over!"}, kPrinted, "S T1/1x3 U0h1 U1h1 U2h1 S S", kOnePagePrinted, "empty"),
          [&](Launch& launch) {
              launch.whileRunning = [&](QProcess& process) {
                  QFile file(job + "/1.bmp");
                  if (!file.open(QIODevice::WriteOnly))
                      return;
                  file.write(page.left(first));
                  file.flush();
                  listedUnfinished = waitForOutput(process, "\"resultCnt::1\"", 60000);
                  const int step = (page.size() - first + pieces - 1) / pieces;
                  for (int at = first; at < page.size(); at += step) {
                      QThread::msleep(700);
                      file.write(page.mid(at, step));
                      file.flush();
                  }
              };
          });
    QVERIFY2(listedUnfinished, "the station did not list the page while it was written");
}

// Page 1 is prepared; then the folder goes with pages 2 and 3 in it.
void HostileInputsTest::jobFolderDeletedDuringTheJob()
{
    const QString job = m_dir.path() + "/deleted/job";
    const QImage page = reliability::smallUnitsPage();
    reliability::prepareJob(job, {page, page, page});
    bool deleted = false;
    check(60, "the job folder deleted during the job", job,
          endsByItself({"图像文件无法读取： \"JOB/2.bmp\"", "图像文件无法读取： \"JOB/3.bmp\"", "*** Print Over!"}, kPrinted,
                 "S T3/1x3 U0h1 U1h1 U2h1 S S", kOnePagePrinted, "gone"),
          [&](Launch& launch) {
              launch.whileRunning = [&](QProcess& process) {
                  if (waitUntilGone(job + "/1.bmp", process, 60000))
                      deleted = QDir(job).removeRecursively();
              };
          });
    QVERIFY2(deleted, "the job folder could not be deleted after page 1 was taken");
}

// No room for the page's print source: the failed save is logged and
// nothing half-written reaches the printer.
void HostileInputsTest::fullWorkingFolderIsLogged()
{
    const QString job = m_dir.path() + "/full/job";
    reliability::prepareJob(job, {reliability::smallUnitsPage()});
    FullWorkingFolder full;
    QVERIFY2(full.mounted(), "cannot mount a tmpfs on the working folder (run through tests/sandbox-run)");
    check(70, "the working folder full", job,
          endsByItself({"保存图像失败："}, kNothingSent, "nothing", "nothing", "empty"));
}

VQ_TEST_MAIN(HostileInputsTest)
#include "tst_hostileinputs.moc"
