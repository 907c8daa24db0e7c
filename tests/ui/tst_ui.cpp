#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "app/stationquit.h"
#include "intake/foldermonitoring.h"
#include "intake/handleimgqueuethread.h"
#include "intake/pscmdsendthread.h"
#include "jobs/sendimgqueuethread.h"
#include "ui/chooseiniform.h"
#include "ui/mainwindow.h"

#include <QtWidgets>

static const QString kJob = "/tmp/vendaquill-jobs/job";

static bool touch(const QString& path) { return QFile(path).open(QIODevice::WriteOnly); }
static QString text(QWidget& widget, const char* label) { return widget.findChild<QLabel*>(label)->text(); }
static QPushButton* button(QWidget& widget, const char* name) { return widget.findChild<QPushButton*>(name); }

// The answers to the next modal dialogs, in order: a message box is answered Yes, other dialogs get the text typed
// into their input field or file name field. A null string and any dialog beyond the answers are cancelled. Looks for
// a dialog every 10 ms once called (and so again if an answer did not close it).
static QStringList answers;
static void answerModalDialog()
{
    QTimer::singleShot(10, answerModalDialog);
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    const QString answer = dialog && !answers.isEmpty() ? answers.takeFirst() : QString();
    if (dialog && answer.isNull())
        dialog->reject();
    else if (auto* box = qobject_cast<QMessageBox*>(dialog))
        box->button(QMessageBox::Yes)->click();
    else if (dialog) {
        dialog->findChild<QLineEdit*>(qobject_cast<QFileDialog*>(dialog) ? "fileNameEdit" : "")->setText(answer);
        dialog->accept();
    }
}

class UiTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        vqtest::useFastClock();
        APPConfig::init();
        QDir().mkpath(kJob);
        MainWindow().Thread_Init(); // the workers the station keeps for life
        answerModalDialog();
    }
    // Stops and joins the workers a window started, so that the next test starts without any.
    void cleanup()
    {
        StationPause::setScale(0.001);
        APPConfig::m_SendImgQueueThread->stop();
        APPConfig::m_HandleImgQueueThread->stop();
        for (QThread* worker : std::initializer_list<QThread*> {APPConfig::m_SendImgQueueThread,
                 APPConfig::m_HandleImgQueueThread, APPConfig::m_PSCmdSendThread, APPConfig::m_FolderMonitoring})
            if (worker)
                worker->wait();
    }

    // The work starts 2 s (scaled) after the first show, not again when shown again, and not at all in a debug test
    // window (which alone shows the test buttons that start it, and here has no printer) or without a job path. Then
    // the window is closed, answering Yes or No.
    void windowFromStartToClose_data()
    {
        QTest::addColumn<bool>("debug");
        QTest::addColumn<bool>("cmd");
        QTest::addColumn<bool>("yes");
        // The job name alone would then name a folder under the root: here the job folder.
        QTest::addColumn<bool>("emptyPath");
        QTest::newRow("command-line job; Yes ends it") << false << true << true << false;
        QTest::newRow("command-line job, debug; Yes keeps the job folder") << true << true << true << false;
        QTest::newRow("test window; No keeps the job") << false << false << false << false;
        QTest::newRow("debug test window; Yes") << true << false << true << false;
        QTest::newRow("no job path; Yes clears no folder under the root") << false << false << true << true;
    }
    void windowFromStartToClose()
    {
        QFETCH(bool, debug);
        QFETCH(bool, cmd);
        QFETCH(bool, yes);
        QFETCH(bool, emptyPath);
        const bool testButtons = debug && !cmd;
        StationQuit::resetRequests();
        vqtest::usePrinter(testButtons ? "absent" : "normal");
        vqtest::writeTemplate("station", QString("[Mode]\nDebug=%1\n").arg(debug));
        APPConfig::bln_cmd = cmd;
        APPConfig::path = emptyPath ? "" : "/tmp/vendaquill-jobs";
        APPConfig::job = emptyPath ? kJob.mid(1) : "job";
        MainWindow window;
        QCOMPARE(button(window, "btn_TestCut")->isHidden(), !testButtons);
        QCOMPARE(button(window, "btn_TestTemp")->isHidden(), !testButtons);
        window.show();
        QCOMPARE(window.findChild<QTimer*>()->interval(), 2);
        QTRY_COMPARE(APPConfig::m_FolderMonitoring != nullptr, !testButtons && !emptyPath);
        FolderMonitoring* watcher = APPConfig::m_FolderMonitoring;
        window.hide();
        window.show();
        QTest::qWait(50);
        QCOMPARE(APPConfig::m_FolderMonitoring, watcher);

        // Files the watcher does not see: it has given up on the empty job folder.
        QVERIFY((!watcher || watcher->wait(10000)) && touch(kJob + "/p.txt") && touch(APPConfig::output() + "w.bmp"));
        // Nothing can be printed any more: a command-line job ends.
        QTRY_COMPARE(StationQuit::status(), cmd ? int(StationQuit::NoPages) : 0);
        StationQuit::resetRequests();
        answers = QStringList {yes ? "Yes" : QString()};
        window.close();
        QCOMPARE(StationQuit::requests(), int(yes));
        QCOMPARE(StationQuit::status(), yes && cmd ? int(StationQuit::ClosedByOperator) : 0);
        QCOMPARE(vqtest::framesReceived().size(), yes && !testButtons ? 2 : 0); // the end-of-job commands
        QCOMPARE(APPConfig::m_USBDevice.bln_connect.load(), !yes && !testButtons);
        QCOMPARE(QDir(APPConfig::output()).isEmpty(QDir::Files), yes);
        QCOMPARE(QDir(kJob).isEmpty(QDir::Files), yes && !debug && !emptyPath);
        QCOMPARE(APPConfig::m_SendImgQueueThread->m_bStop + APPConfig::m_HandleImgQueueThread->m_bStop, 2 * yes);
    }

    // Without its printer, a test window that would send outside debug mode
    // ends the station at once, as a job's window does.
    void testWindowWithoutPrinterEndsTheStation()
    {
        StationQuit::resetRequests();
        vqtest::usePrinter("absent");
        vqtest::writeTemplate("station", "[Mode]\nDebug=0\nSend=0\n");
        APPConfig::bln_cmd = false;
        MainWindow window;
        QCOMPARE(StationQuit::status(), int(StationQuit::PrinterNotOpened));
    }

    // Debug mode, the printer absent: a bitmap chosen is queued with sending turned off, a cancel queues nothing. A
    // PostScript file is rasterised into the working folder's job "test" and its pages are watched, prepared and
    // dispatched there, the labels following the workers.
    void testButtonsPrintABitmapOrAPostScriptFile()
    {
        vqtest::usePrinter("absent");
        vqtest::writeTemplate("station", "[Mode]\nDebug=1\n");
        QFile ps(kJob + "/3.temp"); // three pages of 9 x 9 points
        QVERIFY(ps.open(QIODevice::WriteOnly) && ps.write("%!PS\n<</PageSize[9 9]>>setpagedevice 3{showpage}repeat"));
        ps.close();
        QVERIFY(vqtest::pageWith({9, 9}, {}).save(kJob + "/t.bmp") && touch(APPConfig::output() + "old.bmp"));
        MainWindow window;
        APPConfig::PrintTotal = APPConfig::SendTotal = 9;
        answers = QStringList {QString(), QString(), kJob + "/t.bmp"}; // a cancel, then a choice
        button(window, "btn_TestCut")->click();
        QCOMPARE(APPConfig::PrintTotal.load(), 9);
        button(window, "btn_TestCut")->click();
        QTRY_VERIFY(APPConfig::PrintTotal == 1 && APPConfig::SendTotal == 1 && !APPConfig::g_Send);

        // A test page re-reads the template, which the workers must not be using; then polls far enough apart that the
        // watcher does not give up while Ghostscript starts.
        cleanup();
        StationPause::setScale(0.25);
        answers = QStringList {ps.fileName()};
        button(window, "btn_TestTemp")->click();
        emit APPConfig::m_SendImgQueueThread->handleState("打印中");
        QTRY_COMPARE_WITH_TIMEOUT(text(window, "lbl_Num") + "/" + text(window, "lbl_Cnt"), QString("3/3"), 30000);
        QCOMPARE(text(window, "lbl_State"), QString("打印机状态：打印中"));
        QCOMPARE(window.findChild<QProgressBar*>()->text(), QString("100%"));
        // The working folder was cleared for the test job. Again into the same job folder: the pages of the earlier run
        // go first.
        QVERIFY(!QFile::exists(APPConfig::output() + "old.bmp") && touch(APPConfig::output() + "test/7.bmp"));
        window.ConverPstoImage(ps.fileName());
        QVERIFY(APPConfig::m_PSCmdSendThread->wait(60000));
        QCOMPARE(QDir(APPConfig::output() + "test").entryList(QDir::Files), QStringList({"1.bmp", "2.bmp", "3.bmp"}));
    }

    // Templates written in the order given, each newer than the one before. Shown: the first listed, the one
    // selected, the label. Then "alpha" is chosen, and the access code typed: once unlocked, each
    // click of the test button opens a main window, both shown, the second keeping the link the first opened.
    void chooserSwitchesTemplatesAndOpensTestWindows_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("written");
        QTest::addColumn<QString>("active");
        QTest::addColumn<bool>("unlocked");
        QTest::addColumn<QString>("shown");
        const QStringList three {"alpha", "beta", "gamma"}, dotted {"two.part", "alpha"};
        QTest::newRow("preselected; the code") << "730264" << three << "beta" << true << "gamma beta 当前模板：beta";
        QTest::newRow("gone; a leading zero") << "0730264" << three << "delta" << true << "gamma gamma 当前模板：";
        QTest::newRow("dotted; a letter") << "730264a" << dotted << "two.part" << false << "alpha  当前模板：two.part";
        QTest::newRow("none active; another number") << "730265" << three << "" << false << "gamma gamma 当前模板：";
    }
    void chooserSwitchesTemplatesAndOpensTestWindows()
    {
        QFETCH(QString, typed);
        QFETCH(QStringList, written);
        QFETCH(QString, active);
        QFETCH(bool, unlocked);
        QFETCH(QString, shown);
        vqtest::clearStationFiles();
        vqtest::usePrinter("normal");
        for (const QString& name : written)
            vqtest::writeTemplate(name, "[Mode]\nDebug=1\n");
        vqtest::setActiveTemplate(active);
        ChooseIniForm form;
        auto* combo = form.findChild<QComboBox*>();
        QCOMPARE(QString("%1 %2 %3").arg(combo->itemText(0), combo->currentText(), text(form, "label")), shown);
        answers = QStringList {QString(), typed};
        combo->setCurrentText("alpha");
        button(form, "pushButton")->click();
        button(form, "pushButton_2")->click();
        const QString stored = QSettings(APPConfig::config(), QSettings::IniFormat).value("Template").toString();
        QCOMPARE(text(form, "label") + " " + stored, QString("当前模板：alpha alpha"));
        QCOMPARE(button(form, "btn_Test")->isHidden(), !unlocked);
        if (!unlocked)
            return;
        button(form, "btn_Test")->click();
        libusb_device_handle* const link = APPConfig::m_USBDevice.handle;
        button(form, "btn_Test")->click();
        QVERIFY(link && APPConfig::m_USBDevice.handle == link && APPConfig::m_USBDevice.bln_connect);
        const QWidgetList windows = QApplication::topLevelWidgets();
        const auto shownMainWindow = [](QWidget* w) { return qobject_cast<MainWindow*>(w) && w->isVisible(); };
        QCOMPARE(std::count_if(windows.begin(), windows.end(), shownMainWindow), 2);
        for (QWidget* window : windows)
            delete qobject_cast<MainWindow*>(window);
    }
};

VQ_TEST_MAIN(UiTest)
#include "tst_ui.moc"
