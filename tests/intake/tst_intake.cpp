#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "imaging/imagework.h"
#include "intake/foldermonitoring.h"
#include "intake/handleimgqueuethread.h"
#include "intake/pscmdsendthread.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <thread>

// On a 20 x 30 mm paper (472 x 709 dots): ink top left and bottom right, so heads and rows can be told apart.
static QImage page() { return vqtest::pageWith({472, 709}, {{10, 10, 100, 60}, {352, 619, 100, 70}}); }

// Modification times are set explicitly, so oldest-first does not depend on how fast the test writes.
static void writeFile(const QString& path, const QByteArray& bytes, int secondsAgo = 0)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush(), qPrintable(path));
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-secondsAgo), QFileDevice::FileModificationTime));
}

// A running preparation thread, stopped and joined however the test ends.
struct Preparing : HandleImgQueueThread {
    Preparing() { start(); }
    ~Preparing() override { stop(), wait(); }
};

class IntakeTest : public QObject {
    Q_OBJECT
    QScopedPointer<QTemporaryDir> m_dir;
    QString file(const QString& name) const { return m_dir->filePath(name); }
    const QByteArray m_path = qgetenv("PATH");

private slots:
    void initTestCase() { APPConfig::init(); }
    void init()
    {
        StationPause::setScale(0.001), m_dir.reset(new QTemporaryDir);
        QVERIFY(QDir::setCurrent(m_dir->path())); // where the installed rasteriser's path is relative
        APPConfig::path = m_dir->path(), APPConfig::job = "";
        APPConfig::clearFolder(QDir(APPConfig::output())), vqtest::takePrintQueue(), APPConfig::_imgWorkQueue.clear();
        APPConfig::SendTotal = 0, APPConfig::PrintTotal = 1,
        APPConfig::bln_cmd = APPConfig::bln_ImgW_Complete = APPConfig::g_Debug = false;
        APPConfig::paperW = 20, APPConfig::paperH = 30, APPConfig::m_SliceAreas.clear();
    }
    void cleanup() { qputenv("PATH", m_path); }

    // A page is written at once, or in pieces by another thread: pausing briefly against the settle interval (in
    // real time), so only the file's changing size and time show it is at work; or stopping a row short of the end
    // for far longer (as a rasteriser does between pages), so only the length its header declares shows it is
    // unfinished.
    // An input refused leaves one log line naming it, and nothing queued.
    void pagePreparedOrRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("twoHeads");
        QTest::addColumn<bool>("debug");
        // The writer's pieces (bytes; 0: all at once), its pause (ms), the scale of the station's pauses; empty: read
        // without the wait.
        QTest::addColumn<QList<double>>("writer");
        QTest::addColumn<QString>("refusal");
        const QByteArray bmp = vqtest::encodedImage(page());
        const QList<double> whole {0, 0, 0.001};
        // A JPEG of 40 x 40 made to declare 19999 x 19999 and cut short after the start of its scan: each side
        // within the limit, yet the decoder would fill 1.6 GB.
        QByteArray jpeg = vqtest::encodedImage(vqtest::pageWith({40, 40}, {}), "JPG");
        jpeg = jpeg.replace(jpeg.indexOf("\xFF\xC0") + 5, 4, "\x4e\x1f\x4e\x1f").left(jpeg.indexOf("\xFF\xDA") + 200);
        QTest::newRow("two heads") << bmp << true << false << whole << "";
        QTest::newRow("two heads, debug") << bmp << true << true << whole << "";
        QTest::newRow("written in 30 pieces")
            << bmp << false << false << QList<double> {bmp.size() / 30 + 1., 50, 1} << "";
        QTest::newRow("pausing a row short of the end")
            << bmp << false << false << QList<double> {bmp.size() - 472 * 3., 600, 0.1} << "";
        QTest::newRow("not an image") << QByteArray("words") << false << false << whole << "图像文件无法读取：";
        QTest::newRow("wider than any page")
            << vqtest::bmpHeaders(25000, 8) << false << false << whole << "图像尺寸超出上限";
        QTest::newRow("no size from Qt's reader")
            << vqtest::bmpHeaders(60000, 60000) << false << false << whole << "图像尺寸超出上限";
        QTest::newRow("bitmap cut short") << bmp.left(20000) << false << false << whole << "图像文件不完整";
        QTest::newRow("900-byte JPEG of 19999 x 19999") << jpeg << false << false << whole << "图像像素数超出上限";
        QTest::newRow("one row past the pixel limit")
            << vqtest::bmpHeaders(20000, 10001) << false << false << whole << "图像像素数超出上限";
        // Decoded, and found to have no rows (the wait would find it cut off).
        QTest::newRow("at the pixel limit")
            << vqtest::bmpHeaders(20000, 10000) << false << false << QList<double>() << "图像文件无法读取";
        // The page whole or not at all.
        QTest::newRow("a head fails to save") << bmp << true << false << whole << "保存图像失败：";
    }
    void pagePreparedOrRefused()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, twoHeads);
        QFETCH(bool, debug);
        QFETCH(QList<double>, writer);
        QFETCH(QString, refusal);
        if (twoHeads)
            APPConfig::m_SliceAreas = {{0, 0, 0, 0, 236, 709, 0}, {236, 0, 236, 0, 236, 709, 1}};
        APPConfig::g_Debug = debug;
        StationPause::setScale(writer.value(2, 0.001));
        // A folder in the way of head 1's file, whatever the stamp of the next minute.
        for (int s = -1; s < 60 && refusal == "保存图像失败："; ++s)
            QDir().mkpath(APPConfig::output() + QDateTime::currentDateTime().addSecs(s).toString("yyyyMMddhhmmss")
                + "_Print_src_1.bmp");
        const int piece = writer.value(0) > 0 ? int(writer[0]) : bytes.size();
        const QString path = file("page.bmp");
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(bytes.left(piece)) > 0 && out.flush());
        // Rows run bottom-up, so the ink at the top of the page comes last.
        std::thread writing([&] {
            for (int at = piece; at < bytes.size(); at += piece)
                QThread::msleep(ulong(writer[1])), out.write(bytes.mid(at, piece)), out.flush();
        });
        vqtest::LogCapture log;
        writer.isEmpty() ? HandleImgQueueThread()._preparePage(path) : HandleImgQueueThread()._handleImgFile(path);
        writing.join();

        const QStringList entries = vqtest::takePrintQueue(), lines = log.lines(), refused = lines.filter(refusal);
        QCOMPARE(entries.size(), int(refusal.isEmpty()));
        QCOMPARE(APPConfig::SendTotal.load(), entries.size());
        QCOMPARE(QFile::exists(path), debug || !refusal.isEmpty());
        // A refusal is one log line naming the input (a page laid out on heads has also logged its layout).
        QVERIFY2(refusal.isEmpty()
                || (refused.size() == 1 && (lines.size() == 1 || twoHeads) && refused[0].startsWith(refusal)
                    && refused[0].contains(twoHeads ? APPConfig::output() : path)),
            qPrintable(lines.join('\n')));
        if (!refusal.isEmpty())
            return;
        const QString base = entries[0].left(APPConfig::output().size() + 15) + "_Print_src";
        QCOMPARE(
            entries[0], twoHeads ? base + ".bmp:::-1|" + base + "_0.bmp:::0|" + base + "_1.bmp:::1" : base + ".bmp");
        for (const QString& element : entries[0].split('|')) {
            const int head = element.section(":::", 1).toInt();
            const QImage expected
                = ImageWork::img_DotsPerMeter(ImageWork::img_GetPrintSrc(page()).value(head), 600, 290.3);
            QCOMPARE(QImage(element.section(":::", 0, 0)).convertToFormat(QImage::Format_RGB32),
                expected.convertToFormat(QImage::Format_RGB32));
        }
    }

    // A page and a file that is no image are queued; then the watcher finds a late page.
    void pageAccounting_data()
    {
        QTest::addColumn<bool>("cmd");
        QTest::addColumn<bool>("debug");
        QTest::addColumn<int>("printTotal");
        QTest::addColumn<bool>("complete");
        QTest::newRow("command-line job complete") << true << false << 2 << true;
        QTest::newRow("debug keeps the files") << true << true << 2 << true;
        QTest::newRow("more pages known") << true << false << 3 << false;
        QTest::newRow("not a command-line job") << false << false << 2 << false;
    }
    void pageAccounting()
    {
        QFETCH(bool, cmd);
        QFETCH(bool, debug);
        QFETCH(int, printTotal);
        QFETCH(bool, complete);
        APPConfig::bln_cmd = cmd, APPConfig::g_Debug = debug, APPConfig::PrintTotal = printTotal;
        for (const QString name : {"p1.bmp", "late.bmp", "notes.txt"})
            writeFile(file(name), name.endsWith(".txt") ? "not an image" : vqtest::encodedImage(page()));
        Preparing preparing;
        APPConfig::enqueueImgWork({file("p1.bmp"), file("notes.txt")});
        QTRY_COMPARE(APPConfig::bln_ImgW_Complete.load(), complete);
        // A page the watcher has not seen yet (late.bmp) must survive the clearing.
        APPConfig::PrintTotal = printTotal + 1, APPConfig::bln_ImgW_Complete = false;
        APPConfig::enqueueImgWork({file("late.bmp")});
        QTRY_COMPARE(APPConfig::SendTotal.load(), 2);
        QVERIFY((preparing.stop(), preparing.wait())); // after the page in hand
        QCOMPARE(preparing.i_W.load(), cmd ? 3 : 0);
        QCOMPARE(APPConfig::bln_ImgW_Complete.load(), complete);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).join(' '),
            debug          ? "late.bmp notes.txt p1.bmp"
                : complete ? ""
                           : "notes.txt");
        const QStringList entries = vqtest::takePrintQueue();
        QVERIFY2(entries.size() == 2 && entries[0] != entries[1], "pages must never share print-source files");
    }

    // Steps: "add NAME AGE" writes a file last modified AGE seconds ago, "remove NAME", "mkdir NAME", "poll N"
    // polls N times (each must go on), "end" polls once (which must end it), "other" polls another path, "run"
    // runs the watcher's thread to its end.
    void watcherQueuesNewFilesOldestFirst_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("total");
        QTest::addColumn<QString>("queued");
        QTest::newRow("three, then two") << "add 1.b 20,add 2.b 50,add 3.b 10,poll 1,add 4.b 40,add 5.b 5,poll 1" << 5
                                         << "2.b 1.b 3.b 4.b 5.b";
        QTest::newRow("no dot, hidden, sub-folder")
            << "add readme 3,add .h.b 2,mkdir sub.d,add p.b 1,poll 1" << 1 << "p.b";
        QTest::newRow("rewritten in place; gone for a poll, then back")
            << "add a.b 9,add b.b 8,poll 1,add a.b 1,remove b.b,poll 1,add b.b 1,poll 1" << 3 << "a.b b.b b.b";
        QTest::newRow("the thread queues the pages, then ends") << "add a.b 3,add b.b 2,run" << 2 << "a.b b.b";
        QTest::newRow("the eleventh empty poll ends it") << "other,poll 4,add p.b 1,poll 7,end" << 1 << "p.b";
    }
    void watcherQueuesNewFilesOldestFirst()
    {
        QFETCH(QString, steps);
        QFETCH(int, total);
        QFETCH(QString, queued);
        FolderMonitoring watcher(m_dir->path());
        QSignalSpy spy(&watcher, &FolderMonitoring::handleCnt);
        for (const QString& step : steps.split(',')) {
            const QStringList w = step.split(' ');
            if (w[0] == "add")
                writeFile(file(w[1]), "page", w[2].toInt());
            else if (w[0] == "remove" || w[0] == "mkdir")
                QVERIFY(w[0] == "remove" ? QFile::remove(file(w[1])) : QDir(m_dir->path()).mkdir(w[1]));
            else if (w[0] == "run")
                QVERIFY((watcher.start(), watcher.wait(60000)));
            else if (w[0] == "other" || w[0] == "end")
                QVERIFY(!watcher.onFolderModified(w[0] == "end" ? m_dir->path() : file("other")));
            for (int i = 0; w[0] == "poll" && i < w[1].toInt(); ++i) {
                const int found = spy.size();
                APPConfig::bln_ImgW_Complete = true; // a prepared job is reopened by new pages only
                QVERIFY(watcher.onFolderModified(m_dir->path()));
                QCOMPARE(APPConfig::bln_ImgW_Complete.load(), spy.size() == found);
            }
        }
        QCOMPARE(APPConfig::PrintTotal.load(), total);
        QCOMPARE(spy.value(spy.size() - 1).value(0).toInt(), total); // the running count
        QCOMPARE(QStringList(APPConfig::_imgWorkQueue).join(' ').remove(m_dir->path() + "/"), queued);
    }

    // Stand-ins below the test folder, the current folder: the program expected exits with `status`, any other fails.
    void rasteriserSearchOrder_data()
    {
        QTest::addColumn<QString>("fakes");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("logged");
        const QString ok = "runCommandResult::OK", installed = "C:/Vendaquill/gswin32c.exe", beside = "gswin32c.exe",
                      onPath = "bin/gs";
        QTest::newRow("installed first") << installed + " " + beside + " " + onPath << 0 << "in.temp" << installed
                                         << ok;
        QTest::newRow("beside the process") << beside + " " + onPath << 0 << "in.temp"
                                            << "%/" + beside << ok;
        QTest::newRow("gs on PATH") << onPath << 0 << "in.temp"
                                    << "%/" + onPath << ok;
        QTest::newRow("failing") << onPath << 1 << "in.temp"
                                 << "%/" + onPath << "转换程序出错，退出码：1";
        QTest::newRow("none") << "" << 0 << "in.temp"
                              << "%/" + beside << "转换程序无法启动：";
        QTest::newRow("missing input") << beside << 0 << "gone.temp"
                                       << "%/" + beside << "temp文件不存在";
    }
    void rasteriserSearchOrder()
    {
        QFETCH(QString, fakes);
        QFETCH(int, status);
        QFETCH(QString, input);
        QFETCH(QString, program);
        QFETCH(QString, logged);
        program.replace("%", m_dir->path());
        for (const QString& fake : fakes.split(' ', Qt::SkipEmptyParts))
            QVERIFY(QDir().mkpath(QFileInfo(fake).path())
                && QFile::link(QFileInfo(fake) == QFileInfo(program) && !status ? "/bin/true" : "/bin/false", fake));
        qputenv("PATH", file("bin").toLocal8Bit());
        writeFile(file("in.temp"), "%!PS\n");
        QCOMPARE(PSCmdSendThread::rasteriserProgram(), program);
        QCOMPARE(PSCmdSendThread(m_dir->path(), "job", "in.temp").rasteriserArguments().join(' '),
            "-q -dQUIET -dSAFER -r600 "
            "-dBATCH -sDEVICE=bmpmono -dNOPAUSE -dNOPROMPT -sOutputFile="
                + file("job/%d.bmp") + " in.temp");
        vqtest::LogCapture log;
        PSCmdSendThread runner(m_dir->path(), "job", file(input));
        QVERIFY((runner.start(), runner.wait(120000)));
        QVERIFY2(log.contains(logged), qPrintable(log.lines().join('\n')));
        QCOMPARE(log.contains("runCommandResult::OK") && !log.contains("退出码"), logged == "runCommandResult::OK");
    }

    // Real Ghostscript. The file also tries to write a new file outside its job folder and to plant one in the
    // station's working folder: SAFER alone allows all of the temporary folder.
    void postScriptCannotReachOutsideTheJob()
    {
        const QString fresh = file("new.txt"), planted = APPConfig::output() + "planted.txt";
        writeFile(file("in.temp"),
            QString("%!PS\n<< /PageSize [72 72] >> setpagedevice\n"
                    "{ (%1) (w) file (x) writestring } stopped pop\n"
                    "1 1 3 { 10 mul 10 exch moveto 60 60 lineto stroke showpage } for\n"
                    "(%2) (w) file\n")
                .arg(fresh, planted)
                .toUtf8());
        QVERIFY(QDir().mkpath(file("job")));
        PSCmdSendThread runner(m_dir->path(), "job", file("in.temp")); // into the job folder "job"
        QVERIFY((runner.start(), runner.wait(120000)));
        for (const char* name : {"1.bmp", "2.bmp", "3.bmp"}) {
            const QImage page(file("job/") + name); // 600-dpi, 1-bit pages of one inch square
            QVERIFY(page.depth() == 1 && page.size() == QSize(600, 600)
                && QPoint(page.dotsPerMeterX(), page.dotsPerMeterY()) * 0.0254 == QPoint(600, 600));
        }
        QVERIFY(!QFile::exists(fresh) && !QFile::exists(planted));
    }
};

VQ_TEST_MAIN(IntakeTest)
#include "tst_intake.moc"
