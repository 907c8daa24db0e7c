#include "vqtest.h"

#include "app/appconfig.h"

#include <QDir>
#include <QFile>

namespace {

void touch(const QString& path)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write("x");
}

QStringList entriesOf(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class AppConfigTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup();

    void initChoosesTheApplicationWord_data();
    void initChoosesTheApplicationWord();
    void initEmptiesTheWorkingDirectory();

    void clearFilesRemovesOnlyDottedPlainFiles();
    void clearFilesOnMissingFolderIsTrue();
    void clearFolderEmptiesATreeButKeepsItsTop();

    void logPruningKeepsThreeWeeks_data();
    void logPruningKeepsThreeWeeks();
    void logPruningSparesNamesWithoutDot();
};

void AppConfigTest::cleanup()
{
    QDir("/usr/share/kestro").removeRecursively();
    QDir("/usr/share/vendaquill").removeRecursively();
    QDir("/tmp/kestro").removeRecursively();
    QDir("/tmp/vendaquill").removeRecursively();
}

void AppConfigTest::initChoosesTheApplicationWord_data()
{
    QTest::addColumn<bool>("vendaquillExists");
    QTest::addColumn<bool>("kestroExists");
    QTest::addColumn<QString>("word");
    QTest::newRow("neither") << false << false << "vendaquill";
    QTest::newRow("vendaquill only") << true << false << "vendaquill";
    QTest::newRow("kestro only") << false << true << "kestro";
    QTest::newRow("both") << true << true << "kestro";
}

void AppConfigTest::initChoosesTheApplicationWord()
{
    QFETCH(bool, vendaquillExists);
    QFETCH(bool, kestroExists);
    QFETCH(QString, word);
    if (vendaquillExists)
        QVERIFY(QDir().mkpath("/usr/share/vendaquill"));
    if (kestroExists)
        QVERIFY(QDir().mkpath("/usr/share/kestro"));

    APPConfig::init();

    QCOMPARE(APPConfig::APP_str, word);
    QCOMPARE(APPConfig::_logs(), "/usr/share/" + word + "/logs");
    QCOMPARE(APPConfig::config(), "/usr/share/" + word + "/sys.ini");
    QCOMPARE(APPConfig::syspath(), "/usr/share/" + word + "/sys");
    QCOMPARE(APPConfig::output(), "/tmp/" + word + "/");
    QVERIFY(QFileInfo(APPConfig::_logs()).isDir());
    QVERIFY(QFileInfo(APPConfig::syspath()).isDir());
    QVERIFY(QFileInfo(APPConfig::output()).isDir());
}

void AppConfigTest::initEmptiesTheWorkingDirectory()
{
    QVERIFY(QDir().mkpath("/tmp/vendaquill"));
    touch("/tmp/vendaquill/20240307090503_Print_src.bmp");
    touch("/tmp/vendaquill/g_Print_src_mono.bmp");

    APPConfig::init();

    QCOMPARE(entriesOf(APPConfig::output()), QStringList());
}

void AppConfigTest::clearFilesRemovesOnlyDottedPlainFiles()
{
    const QString dir = "/tmp/vendaquill/job";
    QVERIFY(QDir().mkpath(dir + "/sub.dir"));
    touch(dir + "/1.bmp");
    touch(dir + "/notes");
    touch(dir + "/.hidden.bmp");
    touch(dir + "/sub.dir/2.bmp");

    QVERIFY(APPConfig::ClearFiles(dir));

    QCOMPARE(entriesOf(dir), QStringList({".hidden.bmp", "notes", "sub.dir"}));
    QCOMPARE(entriesOf(dir + "/sub.dir"), QStringList({"2.bmp"}));
}

void AppConfigTest::clearFilesOnMissingFolderIsTrue()
{
    QVERIFY(APPConfig::ClearFiles("/tmp/vendaquill/no-such-folder"));
}

void AppConfigTest::clearFolderEmptiesATreeButKeepsItsTop()
{
    const QString top = "/tmp/vendaquill/tree";
    QVERIFY(QDir().mkpath(top + "/a/b/c"));
    touch(top + "/top.bmp");
    touch(top + "/plain");
    touch(top + "/a/one.bmp");
    touch(top + "/a/b/two");
    touch(top + "/a/b/c/three.bmp");

    APPConfig::clearFolder(QDir(top));

    QVERIFY(QFileInfo(top).isDir());
    QCOMPARE(entriesOf(top), QStringList());
}

void AppConfigTest::logPruningKeepsThreeWeeks_data()
{
    QTest::addColumn<int>("daysLater");
    QTest::addColumn<bool>("kept");
    QTest::newRow("same day") << 0 << true;
    QTest::newRow("21 days") << 21 << true;
    QTest::newRow("22 days") << 22 << false;
    QTest::newRow("a year") << 365 << false;
}

void AppConfigTest::logPruningKeepsThreeWeeks()
{
    QFETCH(int, daysLater);
    QFETCH(bool, kept);
    APPConfig::init();
    const QString file = APPConfig::_logs() + "/2024-03-07.log";
    touch(file);
    const QDateTime created = APPConfig::creationTime(QFileInfo(file));
    QVERIFY(created.isValid());

    // Just before midnight of the day that lies daysLater after the file's
    // creation: what counts is midnights passed, not hours.
    const QDateTime now(created.date().addDays(daysLater), QTime(23, 59, 59));
    APPConfig::_removeLogFileIfNeed(now);

    QCOMPARE(QFile::exists(file), kept);
}

void AppConfigTest::logPruningSparesNamesWithoutDot()
{
    APPConfig::init();
    const QString file = APPConfig::_logs() + "/README";
    touch(file);

    APPConfig::_removeLogFileIfNeed(QDateTime::currentDateTime().addDays(100));

    QVERIFY(QFile::exists(file));
}

VQ_TEST_MAIN(AppConfigTest)
#include "tst_appconfig.moc"
