#include "vqtest.h"

#include "app/appconfig.h"
#include "app/outputmessage.h"
#include "app/prefs.h"

#include <thread>
#include <unistd.h>

// An empty file, and its folder.
static void touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile(path).open(QIODevice::WriteOnly);
}

static QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Every value differs from the loader's default. Slice 1: the default width
// (W=0) and height (none); slice 2: a negative width.
static const char* const kFull = "[Mode]\nM=TRV-A20X\nScale=0.5\nRotate=90\nMirroreX=1\nMirroreY=2\nDebug=3\n"
                                 "Send=0\n[Offset]\nX=1.5\nY=-2\n[Paper]\nWidth=210\nHeight=297\n[SliceAmount]\n"
                                 "Amount=2\n[Slice1]\nnewX=25.4\nnewY=1\nW=0\nPt=3\n[Slice2]\nnewX=105\nX=10\nY=20\n"
                                 "W=-5\nH=297\nPt=1\n";

// What the template loader left, as " key=value " words; the slices follow
// their count in order, as "slice=newX,newY,x,y,width,height,head" in dots.
static QString loaded()
{
    using C = APPConfig;
    QString words;
    QTextStream out(&words);
    out << " template=" << C::Template().section('/', -1) << " scale=" << C::g_Scale << " rotate=" << C::g_Rotate
        << " mirror=" << C::g_MirroreX << ',' << C::g_MirroreY << " debug=" << C::g_Debug << " send=" << C::g_Send
        << " offset=" << C::offsetx << ',' << C::offsety << " paper=" << C::paperW << 'x' << C::paperH
        << " model=" << C::g_mode << ',' << C::g_type << ',' << QString::number(C::product_id, 16)
        << " slices=" << C::m_SliceAreas.size() << ' ';
    for (const SliceArea_t& a : C::m_SliceAreas)
        out << "slice=" << a.new_x << ',' << a.new_y << ',' << a.x << ',' << a.y << ',' << a.width << ',' << a.height
            << ',' << a.pt << ' ';
    return words;
}

class AppTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { APPConfig::init(); }
    void init() { vqtest::clearStationFiles(); }

    void applicationWordFollowsTheFoldersPresent()
    {
        // Each row: the folders present under /usr/share, "=", the word chosen.
        // The last row leaves the usual station for the tests that follow.
        for (const QString r : {"kestro=kestro", "vendaquill kestro=kestro", "=vendaquill", "vendaquill=vendaquill"}) {
            const QString word = r.section('=', 1);
            for (const QString w : {"vendaquill", "kestro"})
                QDir("/usr/share/" + w).removeRecursively();
            for (const QString& w : r.section('=', 0, 0).split(' ', Qt::SkipEmptyParts))
                QDir().mkpath("/usr/share/" + w);
            touch("/tmp/" + word + "/20240307090503_Print_src.bmp"); // left by the last run

            APPConfig::init();

            QCOMPARE(APPConfig::config(), "/usr/share/" + word + "/sys.ini");
            QCOMPARE(entries("/usr/share/" + word) + entries("/tmp/" + word), (QStringList {"logs", "sys"}));
        }
    }

    void filesAreClearedAndLogsPruned()
    {
        const QString dir = "/tmp/vendaquill/job";
        for (const char* name : {"1.bmp", "notes", ".hidden.bmp", "sub.dir/2.bmp", "sub.dir/deeper/3"})
            touch(dir + "/" + name);
        QVERIFY(APPConfig::ClearFiles(dir) && APPConfig::ClearFiles(dir + "/missing"));
        QCOMPARE(entries(dir), (QStringList {".hidden.bmp", "notes", "sub.dir"})); // plain files with a dot only
        QFile::remove(dir + "/.hidden.bmp");
        APPConfig::clearFolder(QDir(dir)); // the whole tree, but not its top
        QVERIFY(QFileInfo(dir).isDir() && entries(dir).isEmpty());

        // Logs are kept for 21 midnights (not 21 times 24 hours) after their
        // creation; a name without a dot is no log.
        const QString log = APPConfig::_logs() + "/2024-03-07.log", undotted = APPConfig::_logs() + "/README";
        touch(log);
        touch(undotted);
        const QDate born = APPConfig::creationTime(QFileInfo(log)).date();
        APPConfig::_removeLogFileIfNeed(QDateTime(born.addDays(21), QTime(0, 0, 1)));
        QVERIFY(QFile::exists(log));
        APPConfig::_removeLogFileIfNeed(QDateTime(born.addDays(22), QTime(0, 0, 1)));
        QVERIFY(!QFile::exists(log) && QFile::exists(undotted));
    }

    void logLinesReachTheDayFileWhole()
    {
        // Every level by its QtMsgType value (info has no word): the message in GBK, a CRLF.
        const QList<QByteArray> levels = {"Debug:", "Warning:", "Critical:", "Fatal:", ""};
        for (int type = 0; type < levels.size(); ++type)
            QCOMPARE(logFileLine(QtMsgType(type), "打印中", QDateTime(QDate(2024, 3, 7), QTime(9, 5, 3))),
                "2024-03-07 09:05:03 " + levels[type] + " \xb4\xf2\xd3\xa1\xd6\xd0\r\n");

        // Two threads log through the handler at once: every message is echoed
        // in UTF-8 and appended to the day's file in GBK, as a whole line.
        const QString message = "切换成功 100%s %d %1"; // a percent sign is no placeholder
        QTemporaryFile screen;
        QVERIFY(screen.open());
        const int console = dup(STDOUT_FILENO);
        dup2(screen.handle(), STDOUT_FILENO);
        auto log300 = [&] {
            for (int i = 0; i < 300; ++i)
                outputMessage(QtDebugMsg, {}, message);
        };
        std::thread other(log300);
        log300();
        other.join();
        dup2(console, STDOUT_FILENO);
        close(console);
        screen.seek(0);
        QCOMPARE(screen.readAll().count(message.toUtf8() + "\n"), 600);
        QFile day(APPConfig::_logs() + "/" + QDate::currentDate().toString(Qt::ISODate) + ".log");
        QVERIFY(day.open(QIODevice::ReadOnly));
        QCOMPARE(day.readAll().count(" Debug: " + QTextCodec::codecForName("GBK")->fromUnicode(message) + "\r\n"), 600);
    }

    // Every row loads kFull first, then the row's template (none when empty)
    // written as "t", "b", "a" and "a.old", the system ini naming `active`.
    void templateIsLoaded_data()
    {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<QString>("active");
        QTest::addColumn<QStringList>("expected"); // words of loaded() and "naming=" log lines naming the template
        auto row = [](const QString& name, const QString& ini, const QStringList& expected,
                       const QString& active = "t") { QTest::newRow(qPrintable(name)) << ini << active << expected; };
        const QString defaults = "scale=0 rotate=0 mirror=0,0 debug=0 send=1 offset=0,0 paper=0x0 model=0,2,2019";
        row("full", kFull,
            {"template=t.ini scale=0.5 rotate=90 mirror=1,2 debug=1 send=1 offset=1.5,-2 paper=210x297 "
             "model=1,1,2020 slices=2 slice=600,24,0,0,6424,6141,3 slice=2480,0,236,472,-117,7016,1"});
        row("nothing of the first, garbled lengths",
            "[SliceAmount]\nAmount=1\n[Slice1]\nnewX=1e300\nnewY=-1e300\nX=nan\nY=-1\nW=10\nH=10\n",
            {"template=t.ini " + defaults + " slices=1 slice=2147483647,-2147483648,0,-23,236,236,0"});
        row("no template", "", {"template= " + defaults + " slices=0"});
        for (const QString m : {"TRV-A20X=1,1,2020", "HW-K2A=1,1,2020", "TRV-A20=1,1,2020", "TRV-B20=0,2,2019",
                 "HW-K2B=0,2,2019", "TRV-C20=2,3,2019", "TRV-D20=2,3,2019", "hw-k2a=0,2,2019", "XYZ=0,2,2019"})
            row(m, "[Mode]\nM=" + m.section('=', 0, 0), {"model=" + m.section('=', 1)});
        for (const QString v : {"2=debug=1 send=0", "1=debug=1 send=0", "0=debug=0 send=1", "-1=debug=0 send=1"})
            row(v, QString("[Mode]\nSend=%1\nDebug=%1\n").arg(v.section('=', 0, 0)), {v.section('=', 1)});
        // The named template; without a name, or when it is missing, the first by name.
        for (const QString c : {"b=b.ini", "=a.ini", "gone=a.ini", "a.old=a.old.ini"})
            row("active " + c, "[Mode]\n", {"template=" + c.section('=', 1)}, c.section('=', 0, 0));
        // A garbled slice count: the first 1000 slices are read, and it is said once.
        for (const QString n : {"1000", "1001", "2147483647"})
            row(n + " slices", "[SliceAmount]\nAmount=" + n, {"naming=" + QString::number(n != "1000"), "slices=1000"});
    }
    void templateIsLoaded()
    {
        QFETCH(QString, ini);
        QFETCH(QString, active);
        QFETCH(QStringList, expected);
        vqtest::LogCapture log;
        vqtest::writeTemplate("full", kFull);
        Prefs::ReadConfig();
        vqtest::clearStationFiles();
        for (const QString& name : ini.isEmpty() ? QStringList() : QStringList {"t", "b", "a", "a.old"})
            vqtest::writeTemplate(name, ini);
        QDir().mkpath(APPConfig::syspath() + "/0dir.ini"); // a folder is no template
        vqtest::setActiveTemplate(active);

        Prefs::ReadConfig();

        const QString words = loaded() + QString("naming=%1 ").arg(log.count(APPConfig::syspath()));
        for (const QString& e : expected)
            QVERIFY2(words.contains(" " + e + " "), qPrintable(words.left(300)));
        QCOMPARE(QPoint(Prefs::MillimetreToDot(25.4, true), Prefs::MillimetreToDot(25.4, false)), QPoint(600, 290));
    }
};

VQ_TEST_MAIN(AppTest)
#include "tst_app.moc"
