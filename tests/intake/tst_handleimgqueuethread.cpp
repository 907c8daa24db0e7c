#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "imaging/imagework.h"
#include "intake/handleimgqueuethread.h"

#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>

namespace {

// A 20 x 30 mm paper: pages of 472 x 709 dots keep the tests quick.
constexpr int pageW = 472;
constexpr int pageH = 709;

void useTemplate(int heads)
{
    APPConfig::paperW = 20;
    APPConfig::paperH = 30;
    APPConfig::m_SliceAreas.clear();
    if (heads == 2) {
        APPConfig::m_SliceAreas.append({0, 0, 0, 0, pageW / 2, pageH, 0});
        APPConfig::m_SliceAreas.append({pageW / 2, 0, pageW / 2, 0, pageW / 2, pageH, 1});
    }
}

// Ink top left and bottom right, so heads and rows can be told apart.
QImage makePage()
{
    QImage page(pageW, pageH, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter painter(&page);
    painter.fillRect(10, 10, 100, 60, Qt::black);
    painter.fillRect(pageW - 120, pageH - 90, 100, 70, Qt::black);
    return page;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(bytes);
}

// Print sources in the working directory, debug dumps left out.
QStringList printSources()
{
    return QDir(APPConfig::output()).entryList(QDir::Files, QDir::Name).filter(QRegularExpression("^\\d{14}_"));
}

QImage asRgb(const QImage& image) { return image.convertToFormat(QImage::Format_RGB32); }

QImage expectedSource(const QImage& page, int key)
{
    return ImageWork::img_DotsPerMeter(ImageWork::img_GetPrintSrc(page).value(key), 600.0, 290.3);
}

int linesWith(const vqtest::LogCapture& log, const QString& text)
{
    return log.lines().filter(text).size();
}

// A started preparation thread; stopping it must wake it from its wait.
struct RunningThread {
    HandleImgQueueThread thread;
    RunningThread() { thread.start(); }
    ~RunningThread()
    {
        thread.stop();
        QVERIFY(thread.wait(60000));
    }
};

} // namespace

class HandleImgQueueThreadTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { APPConfig::init(); }
    void init();

    void pagePrepared_data();
    void pagePrepared();
    void refusedInputLeavesOneLogLine_data();
    void refusedInputLeavesOneLogLine();
    void headThatFailsToSaveQueuesNothing();
    void pageAccounting_data();
    void pageAccounting();
    void latePageRepeatsCompletion();
    void pageStillBeingWrittenIsPreparedWhole_data();
    void pageStillBeingWrittenIsPreparedWhole();

private:
    std::unique_ptr<QTemporaryDir> m_job;
    QString jobFile(const QString& name) const { return m_job->path() + "/" + name; }
};

void HandleImgQueueThreadTest::init()
{
    StationPause::setScale(0.01);
    m_job.reset(new QTemporaryDir);
    APPConfig::path = m_job->path();
    APPConfig::job = "";
    APPConfig::clearFolder(QDir(APPConfig::output()));
    vqtest::takePrintQueue();
    APPConfig::SendTotal = 0;
    APPConfig::PrintTotal = 1;
    APPConfig::bln_cmd = false;
    APPConfig::bln_ImgW_Complete = false;
    APPConfig::g_Debug = false;
    useTemplate(1);
}

void HandleImgQueueThreadTest::pagePrepared_data()
{
    QTest::addColumn<int>("heads");
    QTest::addColumn<bool>("debug");
    QTest::addColumn<QStringList>("elements");   // after the time stamp

    const QStringList one{"_Print_src.bmp"};
    const QStringList two{"_Print_src.bmp:::-1", "_Print_src_0.bmp:::0", "_Print_src_1.bmp:::1"};
    QTest::newRow("one head") << 1 << false << one;
    QTest::newRow("one head, debug") << 1 << true << one;
    QTest::newRow("two heads") << 2 << false << two;
    QTest::newRow("two heads, debug") << 2 << true << two;
}

void HandleImgQueueThreadTest::pagePrepared()
{
    QFETCH(int, heads);
    QFETCH(bool, debug);
    QFETCH(QStringList, elements);

    useTemplate(heads);
    APPConfig::g_Debug = debug;
    const QImage page = makePage();
    const QString input = jobFile("page.bmp");
    writeFile(input, vqtest::encodedImage(page));

    HandleImgQueueThread worker;
    worker._handleImgFile(input);

    const QStringList entries = vqtest::takePrintQueue();
    QCOMPARE(entries.size(), 1);
    const QStringList got = entries.first().split("|");
    QCOMPARE(got.size(), elements.size());
    const QString stamp = got.first().mid(APPConfig::output().size() + 1, 14);
    QVERIFY2(QRegularExpression("^\\d{14}$").match(stamp).hasMatch(), qPrintable(got.first()));
    for (int i = 0; i < got.size(); ++i) {
        QCOMPARE(got[i], APPConfig::output() + "/" + stamp + elements[i]);
        const int key = elements[i].contains(":::") ? elements[i].section(":::", 1).toInt() : 0;
        QCOMPARE(asRgb(QImage(got[i].section(":::", 0, 0))), asRgb(expectedSource(page, key)));
    }
    QCOMPARE(printSources().size(), elements.size());
    QCOMPARE(QFile::exists(input), debug);
    QCOMPARE(APPConfig::SendTotal.load(), 1);
}

void HandleImgQueueThreadTest::refusedInputLeavesOneLogLine_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");

    QTest::newRow("not an image") << QByteArray("some words\n") << "图像文件无法读取：";
    QTest::newRow("wider than any page") << vqtest::bmpHeaders(25000, 8) << "图像尺寸超出上限";
    QTest::newRow("declared 60000 x 60000") << vqtest::bmpHeaders(60000, 60000) << "图像尺寸超出上限";
    QTest::newRow("bitmap cut short") << vqtest::encodedImage(makePage()).left(20000) << "图像文件不完整";
}

void HandleImgQueueThreadTest::refusedInputLeavesOneLogLine()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);

    const QString input = jobFile("page.bmp");
    writeFile(input, bytes);
    vqtest::LogCapture log;
    HandleImgQueueThread worker;
    worker._handleImgFile(input);

    QVERIFY(vqtest::takePrintQueue().isEmpty());
    QCOMPARE(APPConfig::SendTotal.load(), 0);
    QVERIFY(printSources().isEmpty());
    QVERIFY(QFile::exists(input));
    QCOMPARE(log.lines().size(), 1);
    QVERIFY(log.lines().first().contains(input));
    QVERIFY2(log.lines().first().startsWith(reason), qPrintable(log.lines().first()));
}

void HandleImgQueueThreadTest::headThatFailsToSaveQueuesNothing()
{
    useTemplate(2);
    // A folder in the way of head 1's file, whatever the stamp of the next minute.
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = -1; s < 60; ++s)
        QDir().mkpath(APPConfig::output() + now.addSecs(s).toString("yyyyMMddhhmmss") + "_Print_src_1.bmp");
    const QString input = jobFile("page.bmp");
    writeFile(input, vqtest::encodedImage(makePage()));
    APPConfig::SendTotal = 7;

    vqtest::LogCapture log;
    HandleImgQueueThread worker;
    worker._handleImgFile(input);

    QVERIFY(vqtest::takePrintQueue().isEmpty());
    QCOMPARE(APPConfig::SendTotal.load(), 7);
    QVERIFY(QFile::exists(input));
    QCOMPARE(linesWith(log, "保存图像失败："), 1);
    const QStringList kept = printSources();
    QCOMPARE(kept.size(), 2);
    QVERIFY(kept[0].endsWith("_Print_src.bmp") && kept[1].endsWith("_Print_src_0.bmp"));
}

void HandleImgQueueThreadTest::pageAccounting_data()
{
    QTest::addColumn<bool>("cmd");
    QTest::addColumn<bool>("debug");
    QTest::addColumn<int>("printTotal");
    QTest::addColumn<int>("handled");
    QTest::addColumn<bool>("complete");

    // Each time two pages and one file that is no image are queued.
    QTest::newRow("command-line job") << true << false << 3 << 3 << true;
    QTest::newRow("command-line job, debug") << true << true << 3 << 3 << true;
    QTest::newRow("command-line job, more pages known") << true << false << 5 << 3 << false;
    QTest::newRow("no command-line job") << false << false << 3 << 0 << false;
}

void HandleImgQueueThreadTest::pageAccounting()
{
    QFETCH(bool, cmd);
    QFETCH(bool, debug);
    QFETCH(int, printTotal);
    QFETCH(int, handled);
    QFETCH(bool, complete);

    APPConfig::bln_cmd = cmd;
    APPConfig::g_Debug = debug;
    APPConfig::PrintTotal = printTotal;
    const QStringList queued{jobFile("p1.bmp"), jobFile("notes.txt"), jobFile("p2.bmp")};
    writeFile(queued[0], vqtest::encodedImage(makePage()));
    writeFile(queued[1], "not an image");
    writeFile(queued[2], vqtest::encodedImage(makePage()));
    writeFile(jobFile("late.bmp"), vqtest::encodedImage(makePage()));   // not seen by the watcher yet

    vqtest::LogCapture log;
    {
        RunningThread running;
        APPConfig::enqueueImgWork(queued);
        QTRY_COMPARE_WITH_TIMEOUT(linesWith(log, "HandleImgQueueThread===="), 3, 60000);
        running.thread.stop();
        QVERIFY(running.thread.wait(60000));
        QCOMPARE(running.thread.i_W.load(), handled);
    }

    const QStringList entries = vqtest::takePrintQueue();
    QCOMPARE(entries.size(), 2);
    QVERIFY2(entries[0] != entries[1], "pages must not share print-source files");
    QCOMPARE(APPConfig::SendTotal.load(), 2);
    QCOMPARE(APPConfig::bln_ImgW_Complete.load(), complete);
    QCOMPARE(log.count("HandleImgQueueThread Queue Over"), complete ? 1 : 0);
    QCOMPARE(QFile::exists(queued[0]), debug);
    QCOMPARE(QFile::exists(queued[1]), !complete || debug);
    QCOMPARE(QFile::exists(queued[2]), debug);
    QVERIFY2(QFile::exists(jobFile("late.bmp")), "a page not yet seen must survive the clearing");
    QCOMPARE(linesWith(log, queued[1]), 2);   // taken, and refused
}

void HandleImgQueueThreadTest::latePageRepeatsCompletion()
{
    APPConfig::bln_cmd = true;
    APPConfig::PrintTotal = 3;
    QStringList pages;
    for (int i = 1; i <= 4; ++i) {
        pages.append(jobFile(QString("p%1.bmp").arg(i)));
        writeFile(pages.last(), vqtest::encodedImage(makePage()));
    }

    vqtest::LogCapture log;
    RunningThread running;
    APPConfig::enqueueImgWork(pages.mid(0, 3));
    QTRY_VERIFY_WITH_TIMEOUT(APPConfig::bln_ImgW_Complete.load(), 60000);
    QCOMPARE(log.count("HandleImgQueueThread Queue Over"), 1);

    APPConfig::PrintTotal = 4;
    APPConfig::enqueueImgWork({pages[3]});
    QTRY_COMPARE_WITH_TIMEOUT(log.count("HandleImgQueueThread Queue Over"), 2, 60000);
    QCOMPARE(APPConfig::SendTotal.load(), 4);
    QCOMPARE(running.thread.i_W.load(), 4);
    const QStringList entries = vqtest::takePrintQueue();
    QCOMPARE(QSet<QString>(entries.begin(), entries.end()).size(), 4);
}

void HandleImgQueueThreadTest::pageStillBeingWrittenIsPreparedWhole_data()
{
    QTest::addColumn<double>("pauseScale");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<int>("pauseMs");
    // Real time: the writer's pauses are short against the settle interval,
    // so only the file's changing size and time show it is still at work.
    QTest::newRow("written in 30 pieces") << 1.0 << 30 << 50;
    // The writer stops half way for far longer than the settle interval (but
    // well within the wait's limit), as a rasteriser does between its pages:
    // only the length the bitmap's header declares shows it is unfinished.
    QTest::newRow("pausing half way") << 0.1 << 2 << 600;
}

void HandleImgQueueThreadTest::pageStillBeingWrittenIsPreparedWhole()
{
    QFETCH(double, pauseScale);
    QFETCH(int, pieces);
    QFETCH(int, pauseMs);
    StationPause::setScale(pauseScale);
    const QImage page = makePage();
    const QByteArray bytes = vqtest::encodedImage(page);
    const QString input = jobFile("slow.bmp");
    QFile file(input);
    QVERIFY(file.open(QIODevice::WriteOnly));

    // Rows run bottom-up, so the ink at the top of the page comes last.
    const int piece = bytes.size() / pieces + 1;
    file.write(bytes.left(piece));
    file.flush();
    std::unique_ptr<QThread> writer(QThread::create([&file, &bytes, piece, pauseMs] {
        for (int at = piece; at < bytes.size(); at += piece) {
            QThread::msleep(static_cast<unsigned long>(pauseMs));
            file.write(bytes.mid(at, piece));
            file.flush();
        }
    }));
    writer->start();

    RunningThread running;
    APPConfig::enqueueImgWork({input});
    QVERIFY(writer->wait(60000));
    QTRY_COMPARE_WITH_TIMEOUT(APPConfig::SendTotal.load(), 1, 60000);
    const QStringList entries = vqtest::takePrintQueue();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(asRgb(QImage(entries.first())), asRgb(expectedSource(page, 0)));
}

VQ_TEST_MAIN(HandleImgQueueThreadTest)
#include "tst_handleimgqueuethread.moc"
