#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "imaging/imagework.h"
#include "intake/foldermonitoring.h"
#include "intake/handleimgqueuethread.h"
#include "intake/pscmdsendthread.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <future>

// A page of 472 x 709 dots (the paper, when the template names none), inked top left and bottom right, so heads and
// rows can be told apart.
static QImage page() { return vqtest::pageWith({472, 709}, {{10, 10, 100, 60}, {352, 619, 100, 70}}); }

// Writes a file. Modification times are set explicitly, so oldest-first does not depend on how fast the test writes.
static void writeFile(const QString& path, const QByteArray& bytes, int secondsAgo = 0)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush(), qPrintable(path));
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-secondsAgo), QFileDevice::FileModificationTime));
}

class IntakeTest : public QObject {
    Q_OBJECT
    QScopedPointer<QTemporaryDir> m_dir;
    QString file(const QString& name) const { return m_dir->filePath(name); }
    const QByteArray m_path = qgetenv("PATH");

private slots:
    void initTestCase() { APPConfig::init(); }
    void init()
    {
        StationPause::setScale(0.001);
        m_dir.reset(new QTemporaryDir);
        QVERIFY(QDir::setCurrent(m_dir->path())); // where the installed rasteriser's path is relative
        APPConfig::path = m_dir->path();
        APPConfig::job = "";
        APPConfig::clearFolder(QDir(APPConfig::output()));
        APPConfig::m_SliceAreas.clear();
        APPConfig::paperW = 0;
        APPConfig::SendTotal = 0;
        APPConfig::bln_ImgW_Complete = false;
        APPConfig::g_Debug = false;
    }
    void cleanup() { qputenv("PATH", m_path); }

    // The page is written whole, or in pieces by another thread: a PNG pausing briefly against the settle interval,
    // in real time, so only the file's changing size and time show it is at work; a bitmap stopping a row short of
    // the end (its rows run bottom-up: the ink at the top comes last) for far longer, as a rasteriser does between
    // pages, so only the length its header declares shows it is unfinished. An input refused leaves one log line
    // naming it, and nothing queued.
    void pagePreparedOrRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("twoHeads");
        // The writer's pieces (bytes; 0: all at once), its pause (ms), the scale of the station's pauses; empty:
        // read without the wait.
        QTest::addColumn<QList<double>>("writer");
        QTest::addColumn<QString>("refusal");
        const QByteArray bmp = vqtest::encodedImage(page()), png = vqtest::encodedImage(page(), "PNG");
        const QByteArray jpegPage = vqtest::encodedImage(page(), "JPG");
        const QByteArray mono = vqtest::encodedImage(page().convertToFormat(QImage::Format_Mono));
        const QList<double> whole {0, 0, 0.001}, unwaited, pieces {png.size() / 30 + 1., 50, 1},
            rowShort {bmp.size() - 1416., 600, 0.1};
        // A JPEG of 40 x 40 made to declare 19999 x 19999 and cut short after the start of its scan: each side
        // within the limit, yet the decoder would fill 1.6 GB.
        QByteArray jpeg = vqtest::encodedImage(vqtest::pageWith({40, 40}, {}), "JPG");
        jpeg = jpeg.replace(jpeg.indexOf("\xFF\xC0") + 5, 4, "\x4e\x1f\x4e\x1f").left(jpeg.indexOf("\xFF\xDA") + 200);
        const QString tooLarge = "图像尺寸超出上限", tooMany = "图像像素数超出上限", unread = "图像文件无法读取";
        QTest::newRow("two heads, in pieces") << png << true << pieces << "";
        QTest::newRow("one head, a row short") << bmp << false << rowShort << "";
        QTest::newRow("not an image") << QByteArray("words") << false << whole << unread;
        QTest::newRow("too wide") << vqtest::bmpHeaders(25000, 8) << false << whole << tooLarge;
        QTest::newRow("no size from Qt") << vqtest::bmpHeaders(60000, 60000) << false << whole << tooLarge;
        QTest::newRow("bitmap cut short") << bmp.left(20000) << false << whole << "图像文件不完整";
        // Qt's readers fill these with grey; a bitmap short of its last row's padding they read whole.
        QTest::newRow("JPEG cut short") << jpegPage.left(jpegPage.size() - 40) << false << whole << "图像文件不完整";
        QTest::newRow("PNG cut short") << png.left(png.size() - 20) << false << whole << "图像文件不完整";
        QTest::newRow("1-bit bitmap short of its padding") << mono.left(mono.size() - 1) << false << whole << "";
        // Qt's painter would leave out everything past 32767 dots of the paper.
        QTest::newRow("paper too large") << bmp << false << whole << "打印图像尺寸超出上限";
        QTest::newRow("JPEG of 19999 x 19999") << jpeg << false << whole << tooMany;
        QTest::newRow("past the pixel limit") << vqtest::bmpHeaders(20000, 10001) << false << whole << tooMany;
        // Decoded, and found to have no rows (the wait would find it cut off).
        QTest::newRow("at the pixel limit") << vqtest::bmpHeaders(20000, 10000) << false << unwaited << unread;
        // The page whole or not at all.
        QTest::newRow("a head fails to save") << bmp << true << whole << "保存图像失败：";
    }
    void pagePreparedOrRefused()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, twoHeads);
        QFETCH(QList<double>, writer);
        QFETCH(QString, refusal);
        // Two slices, on heads 0 and 1 or both on head 0.
        APPConfig::m_SliceAreas = {{0, 0, 0, 0, 236, 709, 0}, {236, 0, 236, 0, 236, 709, twoHeads ? 1 : 0}};
        StationPause::setScale(writer.value(2, 0.001));
        APPConfig::paperW = refusal.startsWith("打印图像") ? 1400 : 0;
        // A folder in the way of head 1's file, whatever the stamp of the next minute.
        for (int s = -1; s < 60 && refusal == "保存图像失败："; ++s)
            QDir().mkpath(APPConfig::output() + QDateTime::currentDateTime().addSecs(s).toString("yyyyMMddhhmmss")
                + "_Print_src_1.bmp");
        const int piece = writer.value(0) > 0 ? int(writer[0]) : bytes.size();
        const QString path = file("page.bmp");
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && out.write(bytes.left(piece)) > 0);
        const auto writing = std::async(std::launch::async, [&] {
            for (int at = piece; at < bytes.size(); at += piece) {
                QThread::msleep(ulong(writer[1]));
                out.write(bytes.mid(at, piece));
            }
        });
        vqtest::LogCapture log;
        if (writer.isEmpty())
            HandleImgQueueThread()._preparePage(path);
        else
            HandleImgQueueThread()._handleImgFile(path);

        const QStringList entries = APPConfig::takeAllPrintEntries(), lines = log.lines();
        QCOMPARE(APPConfig::SendTotal.load(), entries.size());
        QCOMPARE(QFile::exists(path), !refusal.isEmpty());
        if (!refusal.isEmpty()) {
            // Nothing queued, and one line naming the input (a page laid out on heads has also logged its layout).
            QVERIFY2(entries.isEmpty()
                    && (twoHeads || (lines.size() == 1 && lines[0].startsWith(refusal) && lines[0].contains(path))),
                qPrintable(lines.join('\n')));
            return;
        }
        const QString base = entries.value(0).left(APPConfig::output().size() + 15) + "_Print_src";
        QCOMPARE(QString(entries.value(0)).remove(base), twoHeads ? ".bmp:::-1|_0.bmp:::0|_1.bmp:::1" : ".bmp");
        for (const QString& element : entries[0].split('|')) {
            const QImage layout = ImageWork::img_GetPrintSrc(page()).value(element.section(":::", 1).toInt());
            QCOMPARE(QImage(element.section(":::", 0, 0)).convertToFormat(QImage::Format_RGB32),
                ImageWork::img_DotsPerMeter(layout, 600, 290.3).convertToFormat(QImage::Format_RGB32));
        }
    }

    // A page and a file that is no image are queued; then the watcher finds a late page.
    void jobIsPreparedOnceEveryPageIsHandled_data()
    {
        QTest::addColumn<bool>("cmd");
        QTest::addColumn<bool>("debug");
        QTest::addColumn<int>("printTotal");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QString>("left");
        QTest::newRow("command-line job complete") << true << false << 2 << true << "";
        QTest::newRow("debug keeps the files") << true << true << 2 << true << "late.bmp notes.txt p1.bmp";
        QTest::newRow("more pages known") << true << false << 3 << false << "notes.txt";
        QTest::newRow("not a command-line job") << false << false << 2 << false << "notes.txt";
    }
    void jobIsPreparedOnceEveryPageIsHandled()
    {
        QFETCH(bool, cmd);
        QFETCH(bool, debug);
        QFETCH(int, printTotal);
        QFETCH(bool, complete);
        QFETCH(QString, left);
        APPConfig::bln_cmd = cmd;
        APPConfig::g_Debug = debug;
        APPConfig::PrintTotal = printTotal;
        for (const QString name : {"p1.bmp", "late.bmp", "notes.txt"})
            writeFile(file(name), name.endsWith(".txt") ? "not an image" : vqtest::encodedImage(page()));
        HandleImgQueueThread preparing;
        preparing.start();
        APPConfig::enqueueImgWork({file("p1.bmp"), file("notes.txt")});
        // Waits that do not end the test while the thread runs.
        const bool firstDone
            = QTest::qWaitFor([&] { return APPConfig::SendTotal == 1 && APPConfig::bln_ImgW_Complete == complete; });
        // A page the watcher has not seen yet (late.bmp) must survive the clearing. It is laid out on two heads, so
        // that the debug switch keeps the input of both kinds of page.
        APPConfig::m_SliceAreas = {{0, 0, 0, 0, 236, 709, 0}, {236, 0, 236, 0, 236, 709, 1}};
        APPConfig::PrintTotal = printTotal + 1;
        APPConfig::bln_ImgW_Complete = false;
        APPConfig::enqueueImgWork({file("late.bmp")});
        const bool lateDone = QTest::qWaitFor([] { return APPConfig::SendTotal == 2; });
        preparing.stop();
        QVERIFY(preparing.wait() && firstDone && lateDone); // stopped after the page in hand
        QCOMPARE(APPConfig::bln_ImgW_Complete.load(), complete);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).join(' '), left);
        // Pages never share print-source files: each has a stamp of its own.
        QCOMPARE(
            APPConfig::takeAllPrintEntries().replaceInStrings(QRegularExpression("_Print.*"), "").removeDuplicates(),
            0);
    }

    // One watcher polls the test folder: the files not listed at the poll before go onto the work queue, oldest
    // first, and are counted; a job prepared is reopened by new pages only. It gives up at its eleventh poll that
    // finds nothing new.
    void watcherQueuesNewFilesOldestFirst()
    {
        FolderMonitoring watcher(m_dir->path());
        QSignalSpy counted(&watcher, &FolderMonitoring::handleCnt);
        APPConfig::takeAllImgWork();
        const auto poll = [&](const QStringList& queued) {
            APPConfig::bln_ImgW_Complete = true;
            QVERIFY(watcher.onFolderModified(m_dir->path()));
            QCOMPARE(APPConfig::takeAllImgWork().replaceInStrings(m_dir->path() + "/", ""), queued);
            QCOMPARE(APPConfig::bln_ImgW_Complete.load(), queued.isEmpty());
        };
        QVERIFY(!watcher.onFolderModified(file("other"))); // not a poll
        // Each last modified as many seconds ago as its name says. Names without a dot and hidden files are never
        // listed (nor are folders, not even "." and "..").
        for (const QString name : {"2.b", "readme", "5.b", ".h.b", "1.b"})
            writeFile(file(name), "page", name.left(1).toInt());
        poll({"5.b", "2.b", "1.b"});
        writeFile(file("2.b"), "rewritten in place");
        QVERIFY(QFile::remove(file("5.b")));
        poll({});
        writeFile(file("5.b"), "back after a poll");
        poll({"5.b"});
        for (int empty = 2; empty <= 10; ++empty)
            poll({});
        QVERIFY(!watcher.onFolderModified(m_dir->path()));
        QCOMPARE(APPConfig::PrintTotal.load(), 4);
        QCOMPARE(counted.value(counted.size() - 1).value(0).toInt(), 4); // the running count
    }

    // Stand-ins below the test folder (the current folder: even the installed path is relative here), in the order
    // searched: the first is the program expected, a link to `program`; any other fails. The PostScript file makes
    // three pages, and tries to write outside its job folder: SAFER alone allows all of the temporary folder.
    void rasteriserFoundAndRun_data()
    {
        QTest::addColumn<QStringList>("fakes");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("logged");
        const QString installed = "C:/Vendaquill/gswin32c.exe", beside = "gswin32c.exe", onPath = "bin/gs";
        const QString in = "in.temp", yes = "/bin/true", no = "/bin/false", ok = "runCommandResult::OK";
        QTest::newRow("installed first") << QStringList {installed, beside, onPath} << in << yes << ok;
        QTest::newRow("beside the process") << QStringList {beside, onPath} << in << yes << ok;
        QTest::newRow("on PATH, failing") << QStringList {onPath} << in << no << "转换程序出错，退出码：1";
        QTest::newRow("none") << QStringList() << in << yes << "转换程序无法启动：";
        QTest::newRow("no input") << QStringList {beside} << "gone.temp" << yes << "temp文件不存在";
        QTest::newRow("Ghostscript") << QStringList {beside} << in << QStandardPaths::findExecutable("gs") << ok;
    }
    void rasteriserFoundAndRun()
    {
        QFETCH(QStringList, fakes);
        QFETCH(QString, input);
        QFETCH(QString, program);
        QFETCH(QString, logged);
        for (const QString& f : fakes)
            QVERIFY(QDir().mkpath(QFileInfo(f).path()) && QFile::link(f == fakes[0] ? program : "/bin/false", f));
        qputenv("PATH", file("bin").toLocal8Bit());
        qputenv("TMPDIR", "/tmp"); // as an operator's session may set it: the rasteriser must not inherit it
        writeFile(file("in.temp"), "%!PS\n<</PageSize[9 9]>>setpagedevice 3{showpage}repeat{(/tmp/new)(w)file}stopped");
        PSCmdSendThread runner(m_dir->path(), "", file(input));
        QCOMPARE(runner.rasteriserArguments().join(' ').remove(m_dir->path()),
            "-q -dQUIET -dSAFER -r600 -dBATCH -sDEVICE=bmpmono -dNOPAUSE -dNOPROMPT -sOutputFile=//%d.bmp /" + input);
        vqtest::LogCapture log;
        runner.start();
        QVERIFY(runner.wait(120000));
        QVERIFY2(log.contains(logged), qPrintable(log.lines().join('\n')));
        QCOMPARE(log.contains("runCommandResult::OK") && !log.contains("退出码"), logged == "runCommandResult::OK");
        // Three pages of 9 points square at 600 dpi from Ghostscript alone, and nothing outside the job folder.
        QCOMPARE(QImage(file("3.bmp")).size(), program.endsWith("/gs") ? QSize(75, 75) : QSize(0, 0));
        QVERIFY(!QFile::exists("/tmp/new"));
    }
};

VQ_TEST_MAIN(IntakeTest)
#include "tst_intake.moc"
