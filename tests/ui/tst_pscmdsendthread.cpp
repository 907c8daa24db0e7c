#include "vqtest.h"
#include "uitest.h"

#include "app/stationpause.h"
#include "intake/pscmdsendthread.h"
#include "ui/mainwindow.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

// Three pages of one inch square, 600 x 600 dots each at 600 dpi.
const QByteArray kThreePages = "%!PS\n<< /PageSize [72 72] >> setpagedevice\n"
                               "1 1 3 { 10 mul 10 exch moveto 60 60 lineto stroke showpage } for\n";

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(content);
}

// A stand-in rasteriser that writes its own path and its arguments, one a
// line, into the file named by VQ_RASTERISER_ARGS and exits with the status
// named by VQ_RASTERISER_STATUS.
void writeFakeRasteriser(const QString& path)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    writeFile(path, "#!/bin/sh\n"
                    "echo \"$0\" > \"$VQ_RASTERISER_ARGS\"\n"
                    "printf '%s\\n' \"$@\" >> \"$VQ_RASTERISER_ARGS\"\n"
                    "exit ${VQ_RASTERISER_STATUS:-0}\n");
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

QStringList readLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// Runs the thread to its end; true when runOK() came.
bool runToEnd(PSCmdSendThread& runner)
{
    QSignalSpy done(&runner, &PSCmdSendThread::runOK);
    runner.start();
    return runner.wait(120000) && done.count() == 1;
}

} // namespace

class PSCmdSendThreadTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void programAndArguments_data();
    void programAndArguments();
    void missingInputStartsNothing();
    void rasterisesEveryPageAt600DpiOneBit();
    void postScriptCannotReachOutsideTheJob_data();
    void postScriptCannotReachOutsideTheJob();
    void conversionPreparesTheJobFolder_data();
    void conversionPreparesTheJobFolder();

private:
    QTemporaryDir* m_dir = nullptr;
    QString m_startDir;
    QByteArray m_path;
};

void PSCmdSendThreadTest::initTestCase()
{
    StationPause::setScale(0.01);
    vqsim::setTimeScale(0.001);
    APPConfig::init();
    m_startDir = QDir::currentPath();
    m_path = qgetenv("PATH");
    QVERIFY2(!QStandardPaths::findExecutable("gs").isEmpty(), "Ghostscript (gs) is not installed");
}

void PSCmdSendThreadTest::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(QDir().mkpath(m_dir->path() + "/job"));
    QVERIFY(QDir().mkpath(m_dir->path() + "/cwd"));
    QVERIFY(QDir::setCurrent(m_dir->path() + "/cwd"));
    qputenv("VQ_RASTERISER_ARGS", (m_dir->path() + "/args.txt").toLocal8Bit());
    qunsetenv("VQ_RASTERISER_STATUS");
}

void PSCmdSendThreadTest::cleanup()
{
    QDir::setCurrent(m_startDir);
    qputenv("PATH", m_path);
    delete m_dir;
    m_dir = nullptr;
}

// Where the program is looked for, in order: the install folder (a path
// relative to the current folder on this system), the current folder, PATH.
// Fakes are placed below the test folder, whose folder "cwd" is the current
// one; the program run is named as the rasteriser gets it ($0).
void PSCmdSendThreadTest::programAndArguments_data()
{
    QTest::addColumn<QStringList>("fakes");
    QTest::addColumn<QString>("pathFolder");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("runs");

    const QString installed = "cwd/C:/Vendaquill/gswin32c.exe";
    const QString beside = "cwd/gswin32c.exe";
    const QString onPath = "bin/gs";
    QTest::newRow("installed program first")
        << QStringList{installed, beside, onPath} << "bin" << 0 << "C:/Vendaquill/gswin32c.exe" << true;
    QTest::newRow("then the one beside the process")
        << QStringList{beside, onPath} << "bin" << 0 << "%root/cwd/gswin32c.exe" << true;
    QTest::newRow("then gs from PATH") << QStringList{onPath} << "bin" << 0 << "%root/bin/gs" << true;
    QTest::newRow("a failing rasteriser is reported") << QStringList{onPath} << "bin" << 3 << "%root/bin/gs" << true;
    QTest::newRow("no program at all") << QStringList() << "none" << 0 << "%root/cwd/gswin32c.exe" << false;
}

void PSCmdSendThreadTest::programAndArguments()
{
    QFETCH(QStringList, fakes);
    QFETCH(QString, pathFolder);
    QFETCH(int, status);
    QFETCH(QString, program);
    QFETCH(bool, runs);

    const QString root = m_dir->path();
    program.replace("%root", root);
    for (const QString& fake : fakes)
        writeFakeRasteriser(root + "/" + fake);
    qputenv("PATH", (root + "/" + pathFolder).toLocal8Bit());
    qputenv("VQ_RASTERISER_STATUS", QByteArray::number(status));
    const QString input = root + "/in.temp";
    writeFile(input, kThreePages);

    PSCmdSendThread runner(root, "job", input);
    vqtest::LogCapture log;
    QVERIFY(runToEnd(runner));

    const QStringList arguments{"-q", "-dQUIET", "-dSAFER", "-r600", "-dBATCH", "-sDEVICE=bmpmono", "-dNOPAUSE",
                                "-dNOPROMPT", "-sOutputFile=" + root + "/job/%d.bmp", input};
    const QString commandLine = "runCommand:: \"" + program + " " + arguments.join(' ') + " \"";
    const QStringList lines = log.lines();
    QVERIFY2(lines.contains(commandLine), qPrintable(lines.join('\n')));

    if (!runs) {
        QVERIFY(log.contains("转换程序无法启动："));
        QVERIFY(!log.contains("runCommandResult::OK"));
        QVERIFY(!QFile::exists(root + "/args.txt"));
        return;
    }
    QCOMPARE(readLines(root + "/args.txt"), QStringList{program} + arguments);
    QCOMPARE(lines.indexOf("runCommandResult::OK"), lines.size() - 1);
    QCOMPARE(log.contains(QString("转换程序出错，退出码：%1").arg(status)), status != 0);
}

void PSCmdSendThreadTest::missingInputStartsNothing()
{
    writeFakeRasteriser(m_dir->path() + "/cwd/gswin32c.exe");
    const QString input = m_dir->path() + "/gone.temp";
    PSCmdSendThread runner(m_dir->path(), "job", input);
    vqtest::LogCapture log;
    QVERIFY(runToEnd(runner));
    QCOMPARE(log.lines(), QStringList{"\"temp文件不存在 path::" + input + "\""});
    QVERIFY(!QFile::exists(m_dir->path() + "/args.txt"));
}

void PSCmdSendThreadTest::rasterisesEveryPageAt600DpiOneBit()
{
    const QString input = m_dir->path() + "/three.temp";
    writeFile(input, kThreePages);
    PSCmdSendThread runner(m_dir->path(), "job", input);
    vqtest::LogCapture log;
    QVERIFY(runToEnd(runner));

    const QString job = m_dir->path() + "/job";
    QCOMPARE(QDir(job).entryList(QDir::Files, QDir::Name), (QStringList{"1.bmp", "2.bmp", "3.bmp"}));
    for (const QString name : {"1.bmp", "2.bmp", "3.bmp"}) {
        const QImage page(job + "/" + name);
        QVERIFY2(!page.isNull(), qPrintable(name));
        QCOMPARE(page.depth(), 1);
        QCOMPARE(page.size(), QSize(600, 600));
        QCOMPARE(qRound(page.dotsPerMeterX() * 0.0254), 600);
        QCOMPARE(qRound(page.dotsPerMeterY() * 0.0254), 600);
    }
    QVERIFY(!log.contains("转换程序出错"));
    QCOMPARE(log.lines().last(), QString("runCommandResult::OK"));
}

// %1 is a file outside the job folder that exists beforehand, %2 one that
// does not, %3 a new file in the station's working folder.
void PSCmdSendThreadTest::postScriptCannotReachOutsideTheJob_data()
{
    QTest::addColumn<QByteArray>("attempt");

    QTest::newRow("write a new file") << QByteArray("(%2) (w) file dup (stolen) writestring closefile");
    QTest::newRow("overwrite a file") << QByteArray("(%1) (w) file dup (stolen) writestring closefile");
    QTest::newRow("delete a file") << QByteArray("(%1) deletefile");
    QTest::newRow("write into the working folder")
        << QByteArray("(%3) (w) file dup (stolen) writestring closefile");
}

void PSCmdSendThreadTest::postScriptCannotReachOutsideTheJob()
{
    QFETCH(QByteArray, attempt);

    QTemporaryDir outside;
    const QString victim = outside.path() + "/precious.txt";
    const QString newFile = outside.path() + "/new.txt";
    const QString working = APPConfig::output() + "/planted.txt";
    writeFile(victim, "precious");
    const QByteArray statement =
        QString::fromLatin1(attempt).replace("%1", victim).replace("%2", newFile).replace("%3", working).toLocal8Bit();
    const QString input = m_dir->path() + "/escape.temp";
    writeFile(input, "%!PS\n<< /PageSize [72 72] >> setpagedevice\n" + statement + "\nshowpage\n");

    PSCmdSendThread runner(m_dir->path(), "job", input);
    vqtest::LogCapture log;
    QVERIFY(runToEnd(runner));

    QVERIFY(!QFile::exists(newFile));
    QVERIFY(!QFile::exists(working));
    QFile file(victim);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("precious"));
    QVERIFY(log.contains("转换程序出错"));
}

void PSCmdSendThreadTest::conversionPreparesTheJobFolder_data()
{
    QTest::addColumn<bool>("folderExists");

    QTest::newRow("missing folder is made with its parents") << false;
    QTest::newRow("pages of an earlier run are removed") << true;
}

void PSCmdSendThreadTest::conversionPreparesTheJobFolder()
{
    QFETCH(bool, folderExists);

    vqtest::clearStationFiles();
    vqtest::usePrinter("normal");
    vqtest::useTemplate(true, true);
    const QString parent = m_dir->path() + "/jobs/day";
    const QString job = parent + "/ps";
    if (folderExists) {
        QVERIFY(QDir().mkpath(job));
        writeFile(job + "/7.bmp", "old page");
    }
    const QString input = m_dir->path() + "/three.temp";
    writeFile(input, kThreePages);

    APPConfig::path = parent;
    APPConfig::job = "ps";
    MainWindow window;
    vqtest::LogCapture log;
    window.ConverPstoImage(input);
    QVERIFY(log.contains(QString("gswin32c ConverPstoImage path::%1/").arg(job)));
    PSCmdSendThread* runner = APPConfig::m_PSCmdSendThread;
    QVERIFY(runner);
    QVERIFY(runner->wait(120000));
    QCOMPARE(runner->m_temp_path, parent);
    QCOMPARE(runner->m_job_id, QString("ps"));
    QCOMPARE(runner->m_temp_file, input);
    QCOMPARE(QDir(job).entryList(QDir::Files, QDir::Name), (QStringList{"1.bmp", "2.bmp", "3.bmp"}));
    APPConfig::m_USBDevice.usb_Close();
}

VQ_TEST_MAIN(PSCmdSendThreadTest)
#include "tst_pscmdsendthread.moc"
