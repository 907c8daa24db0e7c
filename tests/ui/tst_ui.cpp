#include "vqtest.h"

#include "app/appconfig.h"
#include "app/prefs.h"
#include "app/stationpause.h"
#include "app/stationquit.h"
#include "intake/foldermonitoring.h"
#include "intake/handleimgqueuethread.h"
#include "intake/pscmdsendthread.h"
#include "jobs/sendimgqueuethread.h"
#include "ui/chooseiniform.h"
#include "ui/mainwindow.h"

#include <QtWidgets>

static const QString kJobs = "/tmp/vendaquill-jobs", kJob = kJobs + "/job", kPostScript = kJob + "/three.temp";
static bool write(const QString& path, const QByteArray& bytes = {})
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}
static QString text(QWidget& widget, const char* label) { return widget.findChild<QLabel*>(label)->text(); }
static QPushButton* button(QWidget& widget, const char* name) { return widget.findChild<QPushButton*>(name); }
// The station's template: its debug switch, and its switch that turns sending off.
static void useTemplate(bool debug, bool sendingOff)
{
    vqtest::writeTemplate("station", QString("[Mode]\nDebug=%1\nSend=%2\n").arg(debug).arg(sendingOff));
}

// The answers to the next modal dialogs, in order: "Yes", "No" and "Ok" click that button, other text is typed into
// an input dialog or a file dialog's name field. A null string, any dialog beyond the answers and a dialog still
// open 2 s after its answer are cancelled.
static QStringList answers;
static void answerModalDialog()
{
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || dialog->property("answered").toBool())
        return;
    dialog->setProperty("answered", true);
    // From an event of its own, so that the answers go on while a dialog runs another.
    QTimer::singleShot(0, dialog, [dialog, a = answers.isEmpty() ? QString() : answers.takeFirst()] {
        if (a.isNull())
            return dialog->reject();
        if (auto* box = qobject_cast<QMessageBox*>(dialog))
            return box->button(a == "Yes" ? QMessageBox::Yes : a == "No" ? QMessageBox::No : QMessageBox::Ok)->click();
        dialog->findChild<QLineEdit*>(qobject_cast<QFileDialog*>(dialog) ? "fileNameEdit" : "")->setText(a),
            dialog->accept();
    });
    QTimer::singleShot(2000, dialog, &QDialog::reject);
}

class UiTest : public QObject {
    Q_OBJECT
    QTimer m_answering;

private slots:
    void initTestCase()
    {
        vqtest::useFastClock(), APPConfig::init(), m_answering.callOnTimeout(answerModalDialog), m_answering.start(10);
    }
    void init()
    {
        vqtest::clearStationFiles(), vqtest::usePrinter("normal"), StationQuit::resetRequests(),
            APPConfig::bln_cmd = false;
        QDir(kJobs).removeRecursively(), QDir().mkpath(kJob), APPConfig::_imgWorkQueue.clear(),
            APPConfig::_imgIdsQueue.clear();
    }
    // Stops and joins the workers a window started, so that the next test starts without any.
    void cleanup()
    {
        StationPause::setScale(0.001);
        if (SendImgQueueThread* sender = APPConfig::m_SendImgQueueThread)
            sender->stop(), sender->wait();
        if (HandleImgQueueThread* preparer = APPConfig::m_HandleImgQueueThread)
            preparer->stop(), preparer->wait();
        for (QThread* worker :
            std::initializer_list<QThread*> {APPConfig::m_PSCmdSendThread, APPConfig::m_FolderMonitoring})
            if (worker)
                worker->wait();
    }

    // The work starts 2 s (scaled) after the first show, not again when shown again, and not at all in a debug test
    // window (which alone shows the test buttons that start it) or without a job path. Then the window is closed.
    void windowFromStartToClose_data()
    {
        QTest::addColumn<bool>("debug");
        QTest::addColumn<bool>("cmd");
        QTest::addColumn<QByteArray>("printer");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>(
            "emptyPath"); // the job name alone would name a folder under the root: here the job folder
        QTest::newRow("command-line job; Yes ends it") << false << true << QByteArray("normal") << "Yes" << false;
        QTest::newRow("command-line job, debug; Yes keeps the job folder")
            << true << true << QByteArray("normal") << "Yes" << false;
        QTest::newRow("test window; No keeps the job") << false << false << QByteArray("normal") << "No" << false;
        QTest::newRow("debug test window; Yes, the printer absent")
            << true << false << QByteArray("absent") << "Yes" << false;
        QTest::newRow("no job path; Yes clears no folder under the root")
            << false << false << QByteArray("normal") << "Yes" << true;
    }
    void windowFromStartToClose()
    {
        QFETCH(bool, debug);
        QFETCH(bool, cmd);
        QFETCH(QByteArray, printer);
        QFETCH(QString, answer);
        QFETCH(bool, emptyPath);
        const bool testButtons = debug && !cmd, yes = answer == "Yes";
        vqtest::usePrinter(printer), useTemplate(debug, true), APPConfig::bln_cmd = cmd;
        APPConfig::path = emptyPath ? "" : kJobs, APPConfig::job = emptyPath ? kJob.mid(1) : "job";
        MainWindow window;
        QVERIFY(button(window, "btn_TestCut")->isHidden() != testButtons
            && button(window, "btn_TestTemp")->isHidden() != testButtons);
        window.show();
        QCOMPARE(window.findChild<QTimer*>()->interval(), 2);
        QTRY_COMPARE(APPConfig::m_FolderMonitoring != nullptr, !testButtons && !emptyPath);
        FolderMonitoring* watcher = APPConfig::m_FolderMonitoring;
        window.hide(), window.show(), QTest::qWait(50);
        QCOMPARE(APPConfig::m_FolderMonitoring, watcher);

        // Files the watcher does not see: it has given up on the empty job folder.
        QVERIFY(
            (!watcher || watcher->wait(10000)) && write(kJob + "/page.txt") && write(APPConfig::output() + "work.bmp"));
        window.Thread_Init(), answers = QStringList {answer}, window.close();
        QCOMPARE(StationQuit::requests(), int(yes));
        QCOMPARE(vqtest::framesReceived(),
            (yes && printer == "normal" ? QList<int> {PC_TO_ARM_USB_SEND_OVER, PC_TO_ARM_USB_SEND_FIFO_RST}
                                        : QList<int>()));
        QCOMPARE(APPConfig::m_USBDevice.bln_connect.load(), !yes && printer == "normal");
        QCOMPARE(QDir(APPConfig::output()).isEmpty(QDir::Files), yes);
        QCOMPARE(QDir(kJob).isEmpty(QDir::Files), yes && !debug && !emptyPath);
        QCOMPARE(APPConfig::m_SendImgQueueThread->m_bStop + APPConfig::m_HandleImgQueueThread->m_bStop, 2 * yes);
    }

    // Debug mode, the printer absent: a bitmap chosen is queued with sending turned off, a cancel queues nothing. A
    // PostScript file is rasterised into the working folder's job "test" and its pages are watched, prepared and
    // dispatched there, the labels following the workers.
    void testButtons()
    {
        vqtest::usePrinter("absent"), useTemplate(true, false);
        QVERIFY(write(kPostScript,
                    "%!PS\n<< /PageSize [72 72] >> setpagedevice\n1 1 3 { 10 mul 10 exch moveto 60 60 lineto stroke "
                    "showpage } for\n")
            && vqtest::pageWith({200, 100}, {{10, 10, 50, 50}}).save(kJob + "/test.bmp")
            && write(APPConfig::output() + "left-over.bmp"));
        MainWindow window;
        APPConfig::PrintTotal = 9, APPConfig::SendTotal = 9;
        for (const QString& chosen : {QString(), kJob + "/test.bmp"}) {
            answers = QStringList {chosen, "Ok"}, button(window, "btn_TestCut")->click();
            QCOMPARE(APPConfig::PrintTotal.load(), chosen.isNull() ? 9 : 1);
        }
        QTRY_VERIFY(APPConfig::SendTotal == 1 && !APPConfig::g_Send && text(window, "lbl_Num") == "1");

        // A test page re-reads the template, which the workers must not be using; then polls far enough apart that the
        // watcher does not give up while Ghostscript starts.
        cleanup(), StationPause::setScale(0.25);
        answers = QStringList {kPostScript, "Ok"}, button(window, "btn_TestTemp")->click();
        emit APPConfig::m_SendImgQueueThread->handleState("打印中");
        auto* bar = window.findChild<QProgressBar*>();
        QTRY_COMPARE_WITH_TIMEOUT(QString("%1/%2 %3 %4..%5:%6")
                                      .arg(text(window, "lbl_Num"), text(window, "lbl_Cnt"), text(window, "lbl_State"))
                                      .arg(bar->minimum())
                                      .arg(bar->maximum())
                                      .arg(bar->value()),
            QString("3/3 打印机状态：打印中 0..3:3"), 30000);
        // The working folder was cleared for the test job. Again into the same job folder: the pages of the earlier run
        // go first.
        QVERIFY(!QFile::exists(APPConfig::output() + "left-over.bmp") && write(APPConfig::output() + "test/7.bmp"));
        window.ConverPstoImage(kPostScript);
        QVERIFY(APPConfig::m_PSCmdSendThread->wait(60000));
        QCOMPARE(QDir(APPConfig::output() + "test").entryList(QDir::Files), QStringList({"1.bmp", "2.bmp", "3.bmp"}));
    }

    // Templates written in the order given, each newer than the one before. Shown: the number listed, the first
    // listed, the one selected, the label; then, "alpha" chosen, the label and the template the next load takes.
    void chooserListsTemplatesNewestFirst_data()
    {
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("active");
        QTest::addColumn<QString>("shown");
        QTest::newRow("the active one preselected") << "alpha beta gamma"
                                                    << "beta"
                                                    << "3 gamma beta 当前模板：beta | 当前模板：alpha alpha.ini";
        QTest::newRow("active file gone") << "alpha beta gamma"
                                          << "delta"
                                          << "3 gamma gamma 当前模板： | 当前模板：alpha alpha.ini";
        QTest::newRow("none active") << "alpha beta gamma"
                                     << ""
                                     << "3 gamma gamma 当前模板： | 当前模板：alpha alpha.ini";
        QTest::newRow("a name with a further dot") << "two.part alpha"
                                                   << "two.part"
                                                   << "2 alpha  当前模板：two.part | 当前模板：alpha alpha.ini";
        QTest::newRow("empty folder") << ""
                                      << "alpha"
                                      << "0   当前模板： | 当前模板： ";
    }
    void chooserListsTemplatesNewestFirst()
    {
        QFETCH(QString, written);
        QFETCH(QString, active);
        QFETCH(QString, shown);
        for (const QString& name : written.split(' ', Qt::SkipEmptyParts))
            vqtest::writeTemplate(name, "[Mode]\nDebug=1\n");
        vqtest::setActiveTemplate(active);
        ChooseIniForm form;
        auto* combo = form.findChild<QComboBox*>();
        const QString listed = QString("%1 %2 %3 %4")
                                   .arg(combo->count())
                                   .arg(combo->itemText(0), combo->currentText(), text(form, "label"));
        answers = QStringList {"Ok"}, combo->setCurrentText("alpha"), button(form, "pushButton")->click(),
        Prefs::ReadConfig();
        QCOMPARE(listed + " | " + text(form, "label") + " " + QFileInfo(APPConfig::Template()).fileName(), shown);
    }

    // Once unlocked, each click of the test button opens a main window, both shown, the second keeping the link the
    // first opened.
    void accessCodeUnlocksTheTestButton_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("unlocked");
        QTest::newRow("the code") << "730264" << true;
        QTest::newRow("with a leading zero") << "0730264" << true;
        QTest::newRow("followed by a letter") << "730264a" << false;
        QTest::newRow("another number") << "730265" << false;
        QTest::newRow("nothing typed") << "" << false;
        QTest::newRow("cancelled") << QString() << false;
    }
    void accessCodeUnlocksTheTestButton()
    {
        QFETCH(QString, typed);
        QFETCH(bool, unlocked);
        vqtest::writeTemplate("test", "[Mode]\nDebug=1\nSend=1\n");
        ChooseIniForm form;
        answers = QStringList {typed}, button(form, "pushButton_2")->click();
        QCOMPARE(button(form, "btn_Test")->isHidden(), !unlocked);
        if (!unlocked)
            return;
        button(form, "btn_Test")->click();
        libusb_device_handle* const link = APPConfig::m_USBDevice.handle;
        button(form, "btn_Test")->click();
        QVERIFY(link && APPConfig::m_USBDevice.handle == link && APPConfig::m_USBDevice.bln_connect);
        const QWidgetList windows = QApplication::topLevelWidgets();
        QCOMPARE(std::count_if(windows.begin(), windows.end(),
                     [](QWidget* w) { return qobject_cast<MainWindow*>(w) && w->isVisible(); }),
            2);
        for (QWidget* window : windows)
            delete qobject_cast<MainWindow*>(window);
    }
};

VQ_TEST_MAIN(UiTest)
#include "tst_ui.moc"
