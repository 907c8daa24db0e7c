#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/appconfig.h"
#include "app/keptforlife.h"
#include "app/prefs.h"
#include "app/stationpause.h"
#include "app/stationquit.h"
#include "intake/foldermonitoring.h"
#include "intake/handleimgqueuethread.h"
#include "intake/pscmdsendthread.h"
#include "jobs/sendimgqueuethread.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QShowEvent>
#include <QTimer>

#include <cmath>

namespace {

// The workers start this long after the window is first shown, so that the
// window is on screen before the first page is looked for.
const double kStartDelayMs = 2000.0;
// After the end-of-job commands, before the working files go.
const unsigned long kClosePauseMs = 1000;

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    str_filepath = APPConfig::path;
    job_id = APPConfig::job;

    ui->progressBar->setRange(1, 100);
    ui->progressBar->setValue(0);

    Prefs::ReadConfig();
    if (APPConfig::m_USBDevice.usb_Init(APPConfig::product_id) == 1) {
        qDebug() << "usb连接成功!";
    } else if (!APPConfig::g_Debug && APPConfig::g_Send) {
        qDebug() << "usb打开错误,打印程序退出!";
        StationQuit::endNow(StationQuit::PrinterNotOpened);
        return;
    } else {
        APPConfig::g_Send = false;
    }

    // Outside debug mode only the start reaches the day's log file; later
    // lines go to standard error.
    if (!APPConfig::g_Debug)
        qInstallMessageHandler(nullptr);

    const bool testMode = APPConfig::g_Debug && !APPConfig::bln_cmd;
    ui->btn_TestCut->setVisible(testMode);
    ui->btn_TestTemp->setVisible(testMode);

    APPConfig::m_PSCmdSendThread = nullptr;
    APPConfig::m_FolderMonitoring = nullptr;
}

MainWindow::~MainWindow() { delete ui; }

QString MainWindow::_jobFolder() const { return str_filepath + "/" + job_id; }

// The start is armed by the first show only: a window shown again (restored,
// for instance) must not start a second watcher that would queue every page
// still in the job folder once more.
void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (timer)
        return;
    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &MainWindow::DoWork);
    timer->setInterval(static_cast<int>(std::lround(kStartDelayMs * StationPause::scale())));
    // In test mode the operator starts the work with the test buttons.
    if (!(APPConfig::g_Debug && !APPConfig::bln_cmd))
        timer->start();
}

void MainWindow::DoWork()
{
    if (timer)
        timer->stop();
    qDebug() << QString("start task job id:%1").arg(str_filepath);
    if (QFileInfo::exists(str_filepath)) {
        Thread_Init();
        File_wacher_Init();
    } else if (APPConfig::bln_cmd) {
        _endWithoutPages();
    }
}

// Nothing can be printed any more: the job folder is gone, or the watcher
// has given up without ever finding a page.
void MainWindow::_endWithoutPages()
{
    qDebug() << "作业文件夹中没有页面，打印程序退出：" << _jobFolder();
    StationQuit::request(StationQuit::NoPages);
}

void MainWindow::Thread_Init()
{
    SendImgQueueThread* sender = APPConfig::m_SendImgQueueThread;
    if (!sender || !sender->isRunning()) {
        sender = keptForLife(new SendImgQueueThread());
        APPConfig::m_SendImgQueueThread = sender;
        connect(sender, &SendImgQueueThread::handleNum, this, &MainWindow::resultNum);
        connect(sender, &SendImgQueueThread::handleState, this, &MainWindow::setState);
        sender->start();
    }
    HandleImgQueueThread* preparer = APPConfig::m_HandleImgQueueThread;
    if (!preparer || !preparer->isRunning()) {
        preparer = keptForLife(new HandleImgQueueThread());
        APPConfig::m_HandleImgQueueThread = preparer;
        preparer->start();
    }
}

void MainWindow::File_wacher_Init()
{
    const QString folder = _jobFolder();
    qDebug() << QString("File_wacher_Init path::%1").arg(folder);
    auto* watcher = keptForLife(new FolderMonitoring(folder));
    APPConfig::m_FolderMonitoring = watcher;
    connect(watcher, &FolderMonitoring::handleCnt, this, &MainWindow::resultCnt);
    connect(watcher, &QThread::finished, this, &MainWindow::File_wacher_Close);
    watcher->start();
}

void MainWindow::File_wacher_Close()
{
    qDebug() << "File_wacher_Close";
    const FolderMonitoring* watcher = qobject_cast<const FolderMonitoring*>(sender());
    if (APPConfig::bln_cmd && watcher && watcher->pagesFound() == 0)
        _endWithoutPages();
}

void MainWindow::resultNum(int value)
{
    ui->lbl_Num->setText(QString::number(value));
    ui->progressBar->setValue(value);
}

void MainWindow::resultCnt(int value)
{
    ui->lbl_Cnt->setText(QString::number(value));
    ui->progressBar->setRange(0, value);
    qDebug() << QString("resultCnt::%1").arg(value);
}

void MainWindow::setState(QString str) { ui->lbl_State->setText(QString("打印机状态：%1").arg(str)); }

void MainWindow::closeEvent(QCloseEvent* event)
{
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, "确认", "确定要退出打印吗？", QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    event->accept();
    qDebug() << separatorLine();

    // The operator has ended the print: no further page may start, and the
    // preparation thread must not write into the folders cleared below.
    if (APPConfig::m_SendImgQueueThread)
        APPConfig::m_SendImgQueueThread->stop();
    if (APPConfig::m_HandleImgQueueThread)
        APPConfig::m_HandleImgQueueThread->stop();

    // A status read of the dispatch thread that waits on a silent printer
    // ends first, so that the end-of-job commands go out at once; later
    // polls see the link closed.
    APPConfig::m_USBDevice.interruptReads();
    if (APPConfig::m_USBDevice.bln_connect)
        APPConfig::m_USBDevice.SendEndOfJob();
    StationPause::ms(kClosePauseMs);

    APPConfig::ClearFiles(APPConfig::output());
    // A window without a job folder (opened with an empty path) has nothing
    // to clear; its path would otherwise name a folder under the root.
    if (!APPConfig::g_Debug && !str_filepath.isEmpty())
        APPConfig::ClearFiles(_jobFolder() + "/");
    // A command-line job ends here before all its pages were printed; a test
    // window of the chooser simply closes.
    StationQuit::request(APPConfig::bln_cmd ? StationQuit::ClosedByOperator : StationQuit::Printed);
}

QString MainWindow::_askTestFile(const QString& caption, const QString& filter)
{
    const QString path = QFileDialog::getOpenFileName(this, caption, "", filter);
    QMessageBox::information(this, "提示", path, QMessageBox::Ok);
    return path;
}

void MainWindow::_prepareTestPage()
{
    Prefs::ReadConfig();
    // Nothing goes to a printer that is not connected.
    if (APPConfig::g_Send)
        APPConfig::g_Send = APPConfig::m_USBDevice.bln_connect.load();
    APPConfig::SendTotal = 0;
    APPConfig::PrintNo = 0;
    APPConfig::PrintTotal = 1;
}

void MainWindow::on_btn_TestCut_clicked()
{
    Thread_Init();
    APPConfig::m_SendImgQueueThread->i_num = 0;
    APPConfig::m_HandleImgQueueThread->i_W = 0;

    const QString path = _askTestFile(tr("Open Image"), tr("(*.bmp)"));
    if (!QFile::exists(path))
        return;
    _prepareTestPage();
    APPConfig::m_SendImgQueueThread->i_num = 0;
    APPConfig::enqueueImgWork({path});
    qDebug() << "添加任务文件：" << path;
}

void MainWindow::on_btn_TestTemp_clicked()
{
    Thread_Init();
    APPConfig::m_SendImgQueueThread->i_num = 0;
    APPConfig::m_HandleImgQueueThread->i_W = 0;

    const QString path = _askTestFile(tr("Open Temp"), tr("(*.temp)"));
    if (!QFile::exists(path))
        return;
    _prepareTestPage();
    APPConfig::clearFolder(QDir(APPConfig::output()));
    job_id = "test";
    str_filepath = APPConfig::output();
    ConverPstoImage(path);
    File_wacher_Init();
}

void MainWindow::ConverPstoImage(QString path)
{
    const QString folder = str_filepath + "/" + job_id + "/";
    qDebug() << QString("gswin32c ConverPstoImage path::%1").arg(folder);
    // Pages of an earlier conversion must not be taken for new ones.
    if (!QDir(folder).exists())
        QDir().mkpath(folder);
    else
        APPConfig::ClearFiles(folder);

    auto* runner = keptForLife(new PSCmdSendThread(str_filepath, job_id, path));
    APPConfig::m_PSCmdSendThread = runner;
    runner->start();
}
