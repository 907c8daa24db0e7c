#include "vqtest.h"
#include "uitest.h"

#include "app/stationpause.h"
#include "app/stationquit.h"
#include "ui/mainwindow.h"

#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>

using vqtest::ModalAnswers;

namespace {

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

void writeFile(const QString& path)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write("page");
}

// How the debug stream shows a QString value.
QString quoted(const QString& text) { return "\"" + text + "\""; }

QList<int> frameTypesSent()
{
    QList<int> types;
    for (const vqsim::Frame& frame : vqsim::frames())
        types.append(frame.type);
    return types;
}

// A small three-page PostScript file.
void writeThreePagePostScript(const QString& path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("%!PS\n<< /PageSize [72 72] >> setpagedevice\n"
               "1 1 3 { 10 mul 10 exch moveto 60 60 lineto stroke showpage } for\n");
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void widgetTree_data();
    void widgetTree();
    void progressFollowsTheWorkers_data();
    void progressFollowsTheWorkers();
    void testButtonsOnlyInTestMode_data();
    void testButtonsOnlyInTestMode();
    void startComesOnceAfterTheFirstShow_data();
    void startComesOnceAfterTheFirstShow();
    void closing_data();
    void closing();
    void closingStopsTheDispatchAndPreparationThreads();
    void testPictureQueuesTheChosenBitmap_data();
    void testPictureQueuesTheChosenBitmap();
    void testPostScriptPagesAreWatchedInTheJobFolder();

private:
    QTemporaryDir* m_jobs = nullptr;
    QString m_jobFolder;
};

void MainWindowTest::initTestCase()
{
    StationPause::setScale(0.01);
    StationQuit::setQuitsApplication(false);
    vqsim::setTimeScale(0.001);
    APPConfig::init();
}

void MainWindowTest::init()
{
    vqtest::clearStationFiles();
    vqtest::usePrinter("normal");
    vqtest::useTemplate(false, true);
    StationQuit::resetRequests();
    m_jobs = new QTemporaryDir;
    m_jobFolder = m_jobs->path() + "/job";
    QVERIFY(QDir().mkpath(m_jobFolder));
    APPConfig::path = m_jobs->path();
    APPConfig::job = "job";
    APPConfig::bln_cmd = false;
    APPConfig::bln_ImgW_Complete = false;
}

void MainWindowTest::cleanup()
{
    StationPause::setScale(0.01);
    vqtest::stopWorkers();
    APPConfig::m_USBDevice.usb_Close();
    delete m_jobs;
    m_jobs = nullptr;
}

void MainWindowTest::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");

    QTest::newRow("page being printed") << "lbl_Num" << "QLabel" << QRect(99, 58, 81, 41) << "当前页数";
    QTest::newRow("pages found") << "lbl_Cnt" << "QLabel" << QRect(224, 58, 121, 41) << "总页数";
    QTest::newRow("progress") << "progressBar" << "QProgressBar" << QRect(84, 109, 261, 23) << "";
    QTest::newRow("caption") << "label" << "QLabel" << QRect(30, 10, 72, 31) << "正在打印";
    QTest::newRow("slash") << "label_2" << "QLabel" << QRect(165, 63, 72, 31) << "/";
    QTest::newRow("bitmap test") << "btn_TestCut" << "QPushButton" << QRect(100, 5, 131, 41) << "图片打印测试";
    QTest::newRow("printer state") << "lbl_State" << "QLabel" << QRect(20, 150, 381, 41) << "打印机状态：";
    QTest::newRow("PostScript test") << "btn_TestTemp" << "QPushButton" << QRect(240, 5, 131, 41) << "temp打印测试";
    QTest::newRow("menu bar") << "menubar" << "QMenuBar" << QRect(0, 0, 410, 26) << "";
}

void MainWindowTest::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    MainWindow window;
    QCOMPARE(window.objectName(), QString("MainWindow"));
    QCOMPARE(window.windowTitle(), QString("打印状态"));
    QCOMPARE(window.size(), QSize(410, 238));
    QVERIFY(window.statusBar()->objectName() == "statusbar");

    QWidget* widget = window.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString(widget->metaObject()->className()), className);
    if (name == "menubar") {
        QCOMPARE(window.menuBar(), widget);
    } else {
        QCOMPARE(widget->parentWidget(), window.centralWidget());
        QCOMPARE(window.centralWidget()->objectName(), QString("centralwidget"));
    }
    QCOMPARE(widget->geometry(), geometry);
    if (auto* label = qobject_cast<QLabel*>(widget))
        QCOMPARE(label->text(), text);
    if (auto* button = qobject_cast<QPushButton*>(widget))
        QCOMPARE(button->text(), text);

    if (name == "progressBar") {
        auto* bar = static_cast<QProgressBar*>(widget);
        QCOMPARE(bar->minimum(), 1);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
    }
}

// Calls: "cnt N", "num N", "state TEXT"; expected after the last call.
void MainWindowTest::progressFollowsTheWorkers_data()
{
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("num");
    QTest::addColumn<QString>("cnt");
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");

    QTest::newRow("pages found") << QStringList{"cnt 4"} << "当前页数" << "4" << "打印机状态：" << 4 << 0;
    QTest::newRow("printing the second of four")
        << QStringList{"cnt 4", "num 1", "num 2"} << "2" << "4" << "打印机状态：" << 4 << 2;
    QTest::newRow("more pages found while printing")
        << QStringList{"cnt 2", "num 2", "cnt 5"} << "2" << "5" << "打印机状态：" << 5 << 2;
    QTest::newRow("printer state") << QStringList{"state 打印中"} << "当前页数" << "总页数" << "打印机状态：打印中"
                                   << 100 << 0;
}

void MainWindowTest::progressFollowsTheWorkers()
{
    QFETCH(QStringList, calls);
    QFETCH(QString, num);
    QFETCH(QString, cnt);
    QFETCH(QString, state);
    QFETCH(int, maximum);
    QFETCH(int, value);

    MainWindow window;
    vqtest::LogCapture log;
    for (const QString& call : calls) {
        const QString word = call.section(' ', 0, 0);
        const QString argument = call.section(' ', 1);
        if (word == "cnt")
            QMetaObject::invokeMethod(&window, "resultCnt", Q_ARG(int, argument.toInt()));
        else if (word == "num")
            QMetaObject::invokeMethod(&window, "resultNum", Q_ARG(int, argument.toInt()));
        else
            QMetaObject::invokeMethod(&window, "setState", Q_ARG(QString, argument));
    }
    QCOMPARE(window.findChild<QLabel*>("lbl_Num")->text(), num);
    QCOMPARE(window.findChild<QLabel*>("lbl_Cnt")->text(), cnt);
    QCOMPARE(window.findChild<QLabel*>("lbl_State")->text(), state);
    auto* bar = window.findChild<QProgressBar*>("progressBar");
    QCOMPARE(bar->maximum(), maximum);
    QCOMPARE(bar->value(), value);
    if (calls.first().startsWith("cnt"))
        QCOMPARE(log.count(quoted("resultCnt::" + calls.first().section(' ', 1))), 1);
}

void MainWindowTest::testButtonsOnlyInTestMode_data()
{
    QTest::addColumn<bool>("debug");
    QTest::addColumn<bool>("commandLine");
    QTest::addColumn<bool>("shown");

    QTest::newRow("test window in debug mode") << true << false << true;
    QTest::newRow("command-line job in debug mode") << true << true << false;
    QTest::newRow("test window") << false << false << false;
    QTest::newRow("command-line job") << false << true << false;
}

void MainWindowTest::testButtonsOnlyInTestMode()
{
    QFETCH(bool, debug);
    QFETCH(bool, commandLine);
    QFETCH(bool, shown);

    vqtest::useTemplate(debug, true);
    APPConfig::bln_cmd = commandLine;
    MainWindow window;
    QCOMPARE(!window.findChild<QPushButton*>("btn_TestCut")->isHidden(), shown);
    QCOMPARE(!window.findChild<QPushButton*>("btn_TestTemp")->isHidden(), shown);
}

void MainWindowTest::startComesOnceAfterTheFirstShow_data()
{
    QTest::addColumn<bool>("debug");
    QTest::addColumn<bool>("commandLine");
    QTest::addColumn<bool>("starts");

    QTest::newRow("command-line job") << false << true << true;
    QTest::newRow("command-line job in debug mode") << true << true << true;
    QTest::newRow("test window") << false << false << true;
    QTest::newRow("test window in debug mode: the test buttons start the work") << true << false << false;
}

void MainWindowTest::startComesOnceAfterTheFirstShow()
{
    QFETCH(bool, debug);
    QFETCH(bool, commandLine);
    QFETCH(bool, starts);

    vqtest::useTemplate(debug, true);
    APPConfig::bln_cmd = commandLine;
    APPConfig::path = m_jobFolder;
    APPConfig::job = "";
    for (int page = 1; page <= 4; ++page)
        writeFile(QString("%1/p%2.bmp").arg(m_jobFolder).arg(page));

    MainWindow window;
    vqtest::LogCapture log;
    const QString watcherLine = quoted(QString("File_wacher_Init path::%1/").arg(m_jobFolder));
    window.show();
    if (starts) {
        QTRY_COMPARE(window.findChild<QLabel*>("lbl_Cnt")->text(), QString("4"));
        auto* bar = window.findChild<QProgressBar*>("progressBar");
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 4);
        QCOMPARE(log.count(quoted("start task job id:" + m_jobFolder)), 1);
        QVERIFY(APPConfig::m_SendImgQueueThread && APPConfig::m_HandleImgQueueThread);
    }

    // Shown again, as after being restored: no second start.
    window.hide();
    window.show();
    QTest::qWait(300);
    QCOMPARE(log.count(watcherLine), starts ? 1 : 0);
    QCOMPARE(log.contains("start task job id:"), starts);
}

void MainWindowTest::closing_data()
{
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QByteArray>("printer");
    QTest::addColumn<bool>("debug");
    QTest::addColumn<QString>("job");
    QTest::addColumn<QList<int>>("framesSent");
    QTest::addColumn<bool>("outputCleared");
    QTest::addColumn<bool>("jobCleared");

    const QList<int> endOfJob{PC_TO_ARM_USB_SEND_OVER, PC_TO_ARM_USB_SEND_FIFO_RST};
    QTest::newRow("No keeps the job running") << false << QByteArray("normal") << false << "job" << QList<int>()
                                              << false << false;
    QTest::newRow("Yes ends the job on the printer")
        << true << QByteArray("normal") << false << "job" << endOfJob << true << true;
    QTest::newRow("Yes with the printer disconnected")
        << true << QByteArray("absent") << false << "job" << QList<int>() << true << true;
    QTest::newRow("Yes in debug mode keeps the job folder")
        << true << QByteArray("normal") << true << "job" << endOfJob << true << false;
    QTest::newRow("Yes without a job folder clears no folder under the root")
        << true << QByteArray("normal") << false << "" << endOfJob << true << false;
}

void MainWindowTest::closing()
{
    QFETCH(bool, yes);
    QFETCH(QByteArray, printer);
    QFETCH(bool, debug);
    QFETCH(QString, job);
    QFETCH(QList<int>, framesSent);
    QFETCH(bool, outputCleared);
    QFETCH(bool, jobCleared);

    vqtest::usePrinter(printer.constData());
    vqtest::useTemplate(debug, true);
    writeFile(m_jobFolder + "/page.bmp");
    writeFile(APPConfig::output() + "/work.bmp");
    if (job.isEmpty()) {
        // An empty path: the job name alone would name a folder under the
        // root, here the job folder (the sandbox keeps /tmp private).
        QVERIFY(m_jobFolder.startsWith("/"));
        APPConfig::path = "";
        APPConfig::job = m_jobFolder.mid(1);
    }

    MainWindow window;
    QCOMPARE(APPConfig::m_USBDevice.bln_connect.load(), printer == "normal");
    ModalAnswers answers({ModalAnswers::click(yes ? QMessageBox::Yes : QMessageBox::No)});
    window.close();

    QCOMPARE(answers.seen(), QStringList{"确认|确定要退出打印吗？"});
    QCOMPARE(StationQuit::requests(), yes ? 1 : 0);
    QCOMPARE(frameTypesSent(), framesSent);
    QCOMPARE(APPConfig::m_USBDevice.bln_connect.load(), printer == "normal" && !yes);
    QCOMPARE(vqsim::faults(), 0);
    QCOMPARE(filesIn(APPConfig::output()).isEmpty(), outputCleared);
    QCOMPARE(filesIn(m_jobFolder).isEmpty(), jobCleared);
}

void MainWindowTest::closingStopsTheDispatchAndPreparationThreads()
{
    MainWindow window;
    window.Thread_Init();
    SendImgQueueThread* sender = APPConfig::m_SendImgQueueThread;
    HandleImgQueueThread* preparer = APPConfig::m_HandleImgQueueThread;
    QVERIFY(preparer->isRunning());

    ModalAnswers answers({ModalAnswers::click(QMessageBox::Yes)});
    window.close();
    QCOMPARE(StationQuit::requests(), 1);
    QVERIFY(sender->m_bStop);
    QVERIFY(preparer->wait(30000));
    QVERIFY(sender->wait(30000));
}

void MainWindowTest::testPictureQueuesTheChosenBitmap_data()
{
    QTest::addColumn<bool>("choose");

    QTest::newRow("a bitmap chosen") << true;
    QTest::newRow("dialog cancelled") << false;
}

// The bitmap test on a station whose printer is missing: the page is
// prepared, and nothing is to be sent.
void MainWindowTest::testPictureQueuesTheChosenBitmap()
{
    QFETCH(bool, choose);

    vqtest::usePrinter("absent");
    vqtest::useTemplate(true, false);
    const QString bitmap = m_jobFolder + "/test.bmp";
    QImage page(200, 100, QImage::Format_RGB32);
    page.fill(Qt::white);
    QVERIFY(page.save(bitmap, "BMP"));

    MainWindow window;
    vqtest::LogCapture log;
    APPConfig::PrintNo = 7;
    APPConfig::PrintTotal = 9;
    ModalAnswers answers({choose ? ModalAnswers::chooseFile(bitmap) : ModalAnswers::cancel(),
                          ModalAnswers::click(QMessageBox::Ok)});
    window.findChild<QPushButton*>("btn_TestCut")->click();

    QCOMPARE(answers.seen(), (QStringList{"Open Image|(*.bmp)", "提示|" + (choose ? bitmap : QString())}));
    QCOMPARE(answers.unexpected(), 0);
    QVERIFY(APPConfig::m_SendImgQueueThread && APPConfig::m_HandleImgQueueThread);
    QCOMPARE(APPConfig::m_SendImgQueueThread->i_num.load(), 0);
    QCOMPARE(APPConfig::m_HandleImgQueueThread->i_W.load(), 0);
    if (!choose) {
        QCOMPARE(APPConfig::PrintTotal.load(), 9);
        QVERIFY(!log.contains("添加任务文件："));
        return;
    }
    QCOMPARE(APPConfig::PrintTotal.load(), 1);
    QCOMPARE(APPConfig::PrintNo.load(), 0);
    QVERIFY2(!APPConfig::g_Send, "the template sends, but no printer is connected");
    QVERIFY(log.lines().contains(QString("添加任务文件： \"%1\"").arg(bitmap)));
    // The preparation thread is woken and takes the page.
    QTRY_VERIFY(log.contains(QString("HandleImgQueueThread==== \"%1\"").arg(bitmap)));
}

void MainWindowTest::testPostScriptPagesAreWatchedInTheJobFolder()
{
    vqtest::useTemplate(true, true);
    const QString postScript = m_jobs->path() + "/three.temp";
    writeThreePagePostScript(postScript);
    writeFile(APPConfig::output() + "/left-over.bmp");

    // Polls far enough apart that the watcher does not give up while the
    // rasteriser starts.
    StationPause::setScale(0.5);
    MainWindow window;
    vqtest::LogCapture log;
    ModalAnswers answers({ModalAnswers::chooseFile(postScript), ModalAnswers::click(QMessageBox::Ok)});
    window.findChild<QPushButton*>("btn_TestTemp")->click();
    QCOMPARE(answers.seen(), (QStringList{"Open Temp|(*.temp)", "提示|" + postScript}));

    const QString jobFolder = APPConfig::output() + "/test/";
    QVERIFY(log.contains(QString("gswin32c ConverPstoImage path::%1").arg(jobFolder)));
    QVERIFY(!QFile::exists(APPConfig::output() + "/left-over.bmp"));
    QVERIFY(APPConfig::m_PSCmdSendThread && APPConfig::m_FolderMonitoring);
    QVERIFY(APPConfig::m_PSCmdSendThread->wait(60000));
    QTRY_COMPARE_WITH_TIMEOUT(window.findChild<QLabel*>("lbl_Cnt")->text(), QString("3"), 30000);
    StationPause::setScale(0.01);
    // Debug mode keeps the pages where the rasteriser put them.
    QCOMPARE(filesIn(jobFolder), (QStringList{"1.bmp", "2.bmp", "3.bmp"}));
}

VQ_TEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
