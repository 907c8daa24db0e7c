#include "jobs/sendimgqueuethread.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "app/stationquit.h"

#include <QDebug>

namespace {

const unsigned long kPollIntervalMs = 2000;
const unsigned long kAbortPauseMs = 2000;
// Polls that may still show TemplateRec 0 before the task counts as lost.
const int kReceivePollsTolerated = 3;

struct PrinterState {
    const char* logLine;
    const char* text;
};

// SysState 1..7; any other value has no name.
const PrinterState kPrinterStates[] = {
    {"*** STATE_STARTING!", "启动中"},
    {"*** STATE_STANDBY!", "待机"},
    {"*** STATE_PAUSE_PC!", "暂停(上位机)"},
    {"*** STATE_PAUSE_LCD!", "暂停(按键)"},
    {"*** STATE_PRINT_READY!", "打印准备就绪"},
    {"*** STATE_PRINTING!", "打印中"},
    {"*** STATE_ERR!", "故障"},
};

} // namespace

SendImgQueueThread::SendImgQueueThread()
    : QThread(nullptr)
{
}

void SendImgQueueThread::stop() { m_bStop = true; }

void SendImgQueueThread::run()
{
    qDebug() << "SendImgQueueThread RUN======================";
}

bool SendImgQueueThread::checkPrintJob()
{
    USBDevice& usb = APPConfig::m_USBDevice;
    SysDeviceStatus_t SysDeviceStatus{};
    int m_TimerCheckItem = TIMER_CHECK_COMM_OVT;
    int i_TIMER_CHECK_COMM_OVT = 0;

    for (;;) {
        StationPause::ms(kPollIntervalMs);
        // The window closes the link when the operator ends the print and
        // quits by itself; the poll then stops without touching the printer.
        if (!usb.bln_connect) {
            qDebug() << "Printer link closed, print supervision ends";
            return false;
        }
        if (!usb.ReadStatus(&SysDeviceStatus)) {
            if (!usb.bln_connect) {
                qDebug() << "Printer link closed, print supervision ends";
                return false;
            }
            qDebug() << "读取打印机状态失败!";
            qDebug() << separatorLine();
            _abortPrint("无法读取打印机状态，停止打印！");
            return false;
        }

        qDebug() << QString("Printer State:TemplateRec =%1, TemplateUse=%2, SysState=%3!")
                        .arg(SysDeviceStatus.TemplateRec)
                        .arg(SysDeviceStatus.TemplateUse)
                        .arg(SysDeviceStatus.SysState);
        const int state = SysDeviceStatus.SysState;
        if (state >= 1 && state <= 7) {
            qDebug() << kPrinterStates[state - 1].logLine;
            emit handleState(QString(kPrinterStates[state - 1].text));
        } else {
            emit handleState(QString());
            qDebug() << "*** default!";
        }

        const int received = SysDeviceStatus.TemplateRec;
        if (received == 0 && m_TimerCheckItem == TIMER_CHECK_COMM_OVT)
            ++i_TIMER_CHECK_COMM_OVT;
        if (received == 1 && m_TimerCheckItem == TIMER_CHECK_COMM_OVT) {
            qDebug() << "*** Print Image Receive Over!";
            m_TimerCheckItem = TIMER_CHECK_PRINT_WAIT;
        }
        if (received == 0 && m_TimerCheckItem == TIMER_CHECK_PRINT_WAIT) {
            m_TimerCheckItem = TIMER_QUIT;
            qDebug() << "*** Print Over!";
            emit handleState(QString("当前页打印完成"));
            return true;
        }
        if (i_TIMER_CHECK_COMM_OVT > kReceivePollsTolerated) {
            qDebug() << "发送图元失败!";
            qDebug() << separatorLine();
            qDebug() << "***Send PC_TO_ARM_USB_SEND_FIFO_RST!";
            _abortPrint("打印失败！停止打印");
            return false;
        }
    }
}

// Ends the whole run: the printer is told the job is over and its buffer is
// reset before the link closes and the application quits.
void SendImgQueueThread::_abortPrint(const char* stateText)
{
    emit handleState(QString(stateText));
    StationPause::ms(kAbortPauseMs);
    APPConfig::m_USBDevice.SendEndOfJob();
    StationQuit::request();
}
