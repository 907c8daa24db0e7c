#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "intake/foldermonitoring.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

// Modification times are set explicitly, relative to an hour ago, so the
// oldest-first order does not depend on how fast the test writes.
const QDateTime timeBase = QDateTime::currentDateTime().addSecs(-3600);

void writeFile(const QString& path, const QByteArray& content, int secondsAfterBase)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(content);
    QVERIFY(file.flush());   // a later flush would move the time again
    QVERIFY(file.setFileTime(timeBase.addSecs(secondsAfterBase), QFileDevice::FileModificationTime));
}

QStringList takeWorkQueue()
{
    QMutexLocker lock(APPConfig::mutexM);
    QStringList paths = APPConfig::_imgWorkQueue;
    APPConfig::_imgWorkQueue.clear();
    return paths;
}

QStringList fileNames(const QStringList& paths)
{
    QStringList names;
    for (const QString& p : paths)
        names.append(QFileInfo(p).fileName());
    return names;
}

} // namespace

class FolderMonitoringTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void pollQueuesNewFilesOldestFirst_data();
    void pollQueuesNewFilesOldestFirst();
    void endsOnEleventhEmptyPollCountedOverItsLife();
    void newPagesReopenAPreparedJob();
    void threadPollsUntilElevenEmptyPolls_data();
    void threadPollsUntilElevenEmptyPolls();
};

void FolderMonitoringTest::initTestCase()
{
    StationPause::setScale(0.01);
}

void FolderMonitoringTest::init()
{
    takeWorkQueue();
    APPConfig::PrintTotal = 1;
    APPConfig::bln_ImgW_Complete = false;
}

// Each step: "add NAME SECONDS" writes a file with that modification time,
// "rewrite NAME SECONDS" writes it again in place, "remove NAME",
// "mkdir NAME", and "poll" runs one poll, which must ask to go on.
void FolderMonitoringTest::pollQueuesNewFilesOldestFirst_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("counts");
    QTest::addColumn<QStringList>("queued");

    QTest::newRow("five pages at the first poll")
        << QStringList{"add p1.bmp 40", "add p2.bmp 10", "add p3.bmp 50", "add p4.bmp 20",
                       "add p5.bmp 30", "poll"}
        << QList<int>{5} << QStringList{"p2.bmp", "p4.bmp", "p5.bmp", "p1.bmp", "p3.bmp"};
    QTest::newRow("three then two")
        << QStringList{"add a.bmp 1", "add b.bmp 2", "add c.bmp 3", "poll", "add d.bmp 4",
                       "add e.bmp 5", "poll"}
        << QList<int>{3, 5} << QStringList{"a.bmp", "b.bmp", "c.bmp", "d.bmp", "e.bmp"};
    QTest::newRow("no dot, hidden and sub-folder ignored")
        << QStringList{"add readme 1", "add .hidden.bmp 2", "mkdir sub.d", "add page.bmp 3", "poll"}
        << QList<int>{1} << QStringList{"page.bmp"};
    QTest::newRow("rewritten in place")
        << QStringList{"add a.bmp 1", "poll", "rewrite a.bmp 9", "poll"}
        << QList<int>{1} << QStringList{"a.bmp"};
    QTest::newRow("gone for a poll, then back")
        << QStringList{"add a.bmp 1", "add b.bmp 2", "poll", "remove a.bmp", "poll", "add a.bmp 3", "poll"}
        << QList<int>{2, 3} << QStringList{"a.bmp", "b.bmp", "a.bmp"};
    QTest::newRow("empty folder")
        << QStringList{"poll", "poll"} << QList<int>{} << QStringList{};
}

void FolderMonitoringTest::pollQueuesNewFilesOldestFirst()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, counts);
    QFETCH(QStringList, queued);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    FolderMonitoring watcher(dir.path());
    QSignalSpy spy(&watcher, &FolderMonitoring::handleCnt);

    QStringList seen;
    for (const QString& step : steps) {
        const QStringList words = step.split(' ');
        const QString path = words.size() > 1 ? dir.filePath(words[1]) : QString();
        if (words[0] == "add" || words[0] == "rewrite")
            writeFile(path, words[0].toUtf8(), words[2].toInt());
        else if (words[0] == "remove")
            QVERIFY(QFile::remove(path));
        else if (words[0] == "mkdir")
            QVERIFY(QDir().mkdir(path));
        else if (words[0] == "poll")
            QVERIFY(watcher.onFolderModified(dir.path()));
        seen += takeWorkQueue();
    }

    QList<int> emitted;
    for (const QList<QVariant>& args : qAsConst(spy))
        emitted.append(args.at(0).toInt());
    QCOMPARE(emitted, counts);
    QCOMPARE(fileNames(seen), queued);
    for (const QString& p : qAsConst(seen))
        QCOMPARE(p, dir.path() + "/" + QFileInfo(p).fileName());
    QCOMPARE(APPConfig::PrintTotal.load(), counts.isEmpty() ? 1 : counts.last());
}

void FolderMonitoringTest::endsOnEleventhEmptyPollCountedOverItsLife()
{
    QTemporaryDir dir;
    FolderMonitoring watcher(dir.path());
    QVERIFY(!watcher.onFolderModified(dir.path() + "/other"));

    for (int i = 0; i < 4; ++i)
        QVERIFY(watcher.onFolderModified(dir.path()));
    writeFile(dir.filePath("page.bmp"), "x", 1);
    QVERIFY(watcher.onFolderModified(dir.path()));
    for (int i = 0; i < 6; ++i)
        QVERIFY(watcher.onFolderModified(dir.path()));
    // Ten empty polls so far, though a page came in between.
    QVERIFY(!watcher.onFolderModified(dir.path()));
    QCOMPARE(takeWorkQueue().size(), 1);
}

void FolderMonitoringTest::newPagesReopenAPreparedJob()
{
    QTemporaryDir dir;
    FolderMonitoring watcher(dir.path());
    writeFile(dir.filePath("p1.bmp"), "x", 1);
    QVERIFY(watcher.onFolderModified(dir.path()));

    APPConfig::bln_ImgW_Complete = true;
    QVERIFY(watcher.onFolderModified(dir.path()));
    QVERIFY2(APPConfig::bln_ImgW_Complete, "an empty poll changes nothing");

    writeFile(dir.filePath("p2.bmp"), "x", 2);
    QVERIFY(watcher.onFolderModified(dir.path()));
    QCOMPARE(APPConfig::PrintTotal.load(), 2);
    QVERIFY2(!APPConfig::bln_ImgW_Complete, "a page found late must be printed before the run ends");
}

void FolderMonitoringTest::threadPollsUntilElevenEmptyPolls_data()
{
    QTest::addColumn<QString>("folder");   // "" none, "missing", "pages"
    QTest::addColumn<int>("pages");
    QTest::addColumn<bool>("logs");

    QTest::newRow("five pages") << "pages" << 5 << true;
    QTest::newRow("missing folder") << "missing" << 0 << true;
    QTest::newRow("no folder given") << "" << 0 << false;
}

void FolderMonitoringTest::threadPollsUntilElevenEmptyPolls()
{
    QFETCH(QString, folder);
    QFETCH(int, pages);
    QFETCH(bool, logs);

    QTemporaryDir dir;
    QString path;
    if (folder == "pages")
        path = dir.path();
    else if (folder == "missing")
        path = dir.filePath("missing");
    for (int i = 0; i < pages; ++i)
        writeFile(dir.filePath(QString("page%1.bmp").arg(i)), "x", i);

    vqtest::LogCapture log;
    FolderMonitoring watcher(path);
    QSignalSpy counts(&watcher, &FolderMonitoring::handleCnt);
    QSignalSpy finished(&watcher, &QThread::finished);
    watcher.start();
    QVERIFY(watcher.wait(60000));

    QCOMPARE(finished.count(), 1);
    QCOMPARE(counts.count(), pages > 0 ? 1 : 0);
    if (pages > 0)
        QCOMPARE(counts.first().at(0).toInt(), pages);
    QCOMPARE(takeWorkQueue().size(), pages);
    QCOMPARE(log.count("FolderMonitoring RUN======================"), logs ? 1 : 0);
    QCOMPARE(log.count("FolderMonitoring Exit======================"), logs ? 1 : 0);
}

VQ_TEST_MAIN(FolderMonitoringTest)
#include "tst_foldermonitoring.moc"
