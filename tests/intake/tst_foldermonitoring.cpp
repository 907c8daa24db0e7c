#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "intake/foldermonitoring.h"

#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

// Modification times are set explicitly, so the oldest-first order does not
// depend on how fast the test writes.
void writeFile(const QString& path, int secondsAgo)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(path.toUtf8());
    QVERIFY(file.flush());   // a later flush would move the time again
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-secondsAgo),
                             QFileDevice::FileModificationTime));
}

QStringList takeWorkQueue()
{
    QMutexLocker lock(APPConfig::mutexM);
    QStringList paths = APPConfig::_imgWorkQueue;
    APPConfig::_imgWorkQueue.clear();
    return paths;
}

} // namespace

class FolderMonitoringTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { StationPause::setScale(0.01); }
    void init()
    {
        takeWorkQueue();
        APPConfig::PrintTotal = 1;
        APPConfig::bln_ImgW_Complete = false;
    }

    void pollQueuesNewFilesOldestFirst_data();
    void pollQueuesNewFilesOldestFirst();
    void endsOnEleventhEmptyPollCountedOverItsLife();
    void newPagesReopenAPreparedJob();
    void threadQueuesThePagesThenEnds();
};

// Steps: "add NAME AGE" writes a file last modified AGE seconds ago,
// "rewrite NAME AGE" writes it again in place, "remove NAME", "mkdir NAME",
// and "poll" runs one poll, which must ask to go on.
void FolderMonitoringTest::pollQueuesNewFilesOldestFirst_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("counts");
    QTest::addColumn<QStringList>("queued");

    QTest::newRow("five pages at the first poll")
        << QStringList{"add p1.bmp 20", "add p2.bmp 50", "add p3.bmp 10", "add p4.bmp 40",
                       "add p5.bmp 30", "poll"}
        << QList<int>{5} << QStringList{"p2.bmp", "p4.bmp", "p5.bmp", "p1.bmp", "p3.bmp"};
    QTest::newRow("three, then two")
        << QStringList{"add a.bmp 9", "add b.bmp 8", "add c.bmp 7", "poll", "add d.bmp 6",
                       "add e.bmp 5", "poll"}
        << QList<int>{3, 5} << QStringList{"a.bmp", "b.bmp", "c.bmp", "d.bmp", "e.bmp"};
    QTest::newRow("no dot, hidden, sub-folder")
        << QStringList{"add readme 3", "add .hidden.bmp 2", "mkdir sub.d", "add page.bmp 1", "poll"}
        << QList<int>{1} << QStringList{"page.bmp"};
    QTest::newRow("rewritten in place")
        << QStringList{"add a.bmp 9", "poll", "rewrite a.bmp 1", "poll"}
        << QList<int>{1} << QStringList{"a.bmp"};
    QTest::newRow("gone for a poll, then back")
        << QStringList{"add a.bmp 9", "add b.bmp 8", "poll", "remove a.bmp", "poll", "add a.bmp 1", "poll"}
        << QList<int>{2, 3} << QStringList{"a.bmp", "b.bmp", "a.bmp"};
}

void FolderMonitoringTest::pollQueuesNewFilesOldestFirst()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, counts);
    QFETCH(QStringList, queued);

    QTemporaryDir dir;
    FolderMonitoring watcher(dir.path());
    QSignalSpy spy(&watcher, &FolderMonitoring::handleCnt);
    QStringList seen;
    for (const QString& step : steps) {
        const QStringList w = step.split(' ');
        const QString name = w.value(1);
        if (w[0] == "add" || w[0] == "rewrite")
            writeFile(dir.filePath(name), w[2].toInt());
        else if (w[0] == "remove")
            QVERIFY(QFile::remove(dir.filePath(name)));
        else if (w[0] == "mkdir")
            QVERIFY(QDir(dir.path()).mkdir(name));
        else
            QVERIFY(watcher.onFolderModified(dir.path()));
        seen += takeWorkQueue();
    }

    QList<int> emitted;
    for (const QList<QVariant>& args : qAsConst(spy))
        emitted.append(args.at(0).toInt());
    QCOMPARE(emitted, counts);
    QStringList expected;
    for (const QString& name : queued)
        expected.append(dir.path() + "/" + name);
    QCOMPARE(seen, expected);
    QCOMPARE(APPConfig::PrintTotal.load(), counts.last());
}

void FolderMonitoringTest::endsOnEleventhEmptyPollCountedOverItsLife()
{
    QTemporaryDir dir;
    FolderMonitoring watcher(dir.path());
    QVERIFY(!watcher.onFolderModified(dir.path() + "/other"));
    for (int i = 0; i < 4; ++i)
        QVERIFY(watcher.onFolderModified(dir.path()));
    writeFile(dir.filePath("page.bmp"), 1);
    QVERIFY(watcher.onFolderModified(dir.path()));
    for (int i = 0; i < 6; ++i)
        QVERIFY(watcher.onFolderModified(dir.path()));
    QVERIFY2(!watcher.onFolderModified(dir.path()), "eleventh empty poll, a page found between");
}

void FolderMonitoringTest::newPagesReopenAPreparedJob()
{
    QTemporaryDir dir;
    FolderMonitoring watcher(dir.path());
    writeFile(dir.filePath("p1.bmp"), 2);
    QVERIFY(watcher.onFolderModified(dir.path()));
    APPConfig::bln_ImgW_Complete = true;
    QVERIFY(watcher.onFolderModified(dir.path()));
    QVERIFY(APPConfig::bln_ImgW_Complete);

    writeFile(dir.filePath("p2.bmp"), 1);
    QVERIFY(watcher.onFolderModified(dir.path()));
    QCOMPARE(APPConfig::PrintTotal.load(), 2);
    QVERIFY2(!APPConfig::bln_ImgW_Complete, "the run must not end before the late page prints");
}

void FolderMonitoringTest::threadQueuesThePagesThenEnds()
{
    QTemporaryDir dir;
    for (int i = 0; i < 5; ++i)
        writeFile(dir.filePath(QString("page%1.bmp").arg(i)), 10 - i);

    vqtest::LogCapture log;
    FolderMonitoring watcher(dir.path());
    QSignalSpy counts(&watcher, &FolderMonitoring::handleCnt);
    QSignalSpy finished(&watcher, &QThread::finished);
    watcher.start();
    QVERIFY(watcher.wait(60000));

    QCOMPARE(finished.count(), 1);
    QCOMPARE(counts.count(), 1);
    QCOMPARE(counts.first().at(0).toInt(), 5);
    QCOMPARE(takeWorkQueue().size(), 5);
    QCOMPARE(log.lines(), QStringList({"FolderMonitoring RUN======================",
                                       "FolderMonitoring Exit======================"}));
}

VQ_TEST_MAIN(FolderMonitoringTest)
#include "tst_foldermonitoring.moc"
