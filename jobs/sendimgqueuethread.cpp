#include "jobs/sendimgqueuethread.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "app/stationquit.h"
#include "imaging/dotimage.h"
#include "printer/unitencoder.h"

#include <QDebug>
#include <QFile>
#include <QImageReader>
#include <QMap>

#include <cstring>

namespace {

const unsigned long kPollIntervalMs = 2000;
const unsigned long kAbortPauseMs = 2000;
const unsigned long kIdlePollMs = 2000;
const unsigned long kQuitPauseMs = 1000;
const unsigned long kUnsentPagePauseMs = 1000;
// The printer needs this long between two units.
const unsigned long kUnitPauseMs = 500;
// Polls that may still show TemplateRec 0 before the task counts as lost.
const int kReceivePollsTolerated = 3;
// Every unit of a single-head page is printed by this head.
const quint8 kSingleHead = 1;
const int kCompositeKey = -1;

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

// The dot image of the page being printed, as the cutter reads it.
QString monoPagePath() { return APPConfig::output() + "/g_Print_src_mono.bmp"; }

// The format is taken from the file's content, not from its name.
QImage loadImage(const QString& path)
{
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    return reader.read();
}

void logPrinterState(const SysDeviceStatus_t& status)
{
    qDebug() << QString("Printer State:TemplateRec =%1, TemplateUse=%2, SysState=%3!")
                    .arg(status.TemplateRec)
                    .arg(status.TemplateUse)
                    .arg(status.SysState);
}

QString dumpPath(const QString& name) { return APPConfig::output() + "/" + name; }

} // namespace

SendImgQueueThread::SendImgQueueThread()
    : QThread(nullptr)
{
}

void SendImgQueueThread::stop() { m_bStop = true; }

void SendImgQueueThread::run()
{
    qDebug() << "SendImgQueueThread RUN======================";
    while (!m_bStop) {
        QString entry;
        bool taken = false;
        while (!m_bStop && !(taken = APPConfig::takePrintEntry(&entry))) {
            StationPause::ms(kIdlePollMs);
            // Asked again after every idle poll until the event loop has
            // ended the process.
            if (_jobFinished(i_num)) {
                qDebug() << separatorLine();
                StationPause::ms(kQuitPauseMs);
                StationQuit::request(APPConfig::RefusedTotal > 0 ? StationQuit::PagesRefused : StationQuit::Printed);
            }
        }
        if (!taken)
            break;

        qDebug() << "SendImgQueueThread====" << entry << i_num.load();
        const QStringList parts = entry.split("|", Qt::KeepEmptyParts, Qt::CaseSensitive);
        m_pageDone = false;
        if (parts.size() == 1)
            _handleImgFile(entry);
        else
            _handleMuiltImgFile(parts);
        if (!m_pageDone)
            ++APPConfig::RefusedTotal;
        _cleanUpAfter(entry, parts);
    }
    qDebug() << "exit SendImgQueueThread id:" << QThread::currentThreadId();
}

bool SendImgQueueThread::_jobFinished(int started)
{
    return APPConfig::bln_cmd && APPConfig::bln_ImgW_Complete && started == APPConfig::SendTotal
        && APPConfig::printQueueIsEmpty();
}

// The print sources of a two-head page are named by its elements; they are
// as large as the page and would pile up in the working directory over a
// long job. The per-head mono files keep their names and are overwritten by
// the next page.
void SendImgQueueThread::_cleanUpAfter(const QString& entry, const QStringList& parts)
{
    if (APPConfig::g_Debug)
        return;
    if (QFile::exists(monoPagePath()))
        QFile::remove(monoPagePath());
    if (QFile::exists(entry))
        QFile::remove(entry);
    if (parts.size() < 2)
        return;
    for (const QString& element : parts) {
        const QStringList pathAndKey = element.split(":::");
        if (pathAndKey.size() == 2 && QFile::exists(pathAndKey.at(0)))
            QFile::remove(pathAndKey.at(0));
    }
}

void SendImgQueueThread::_handleImgFile(QString originalImage_path)
{
    const int pageNo = _startPage();
    const QImage page = loadImage(originalImage_path);
    if (page.isNull()) {
        qDebug() << "图像有问题" << pageNo << originalImage_path;
        return;
    }

    qDebug() << "保存反色图像";
    const QImage invertedImage = DotImage::fromPage(page);
    if (!_saveMonoPage(invertedImage))
        return;
    BMP_CutResult_t m_BMP_CutResult;
    if (!_cutMonoPage(&m_BMP_CutResult))
        return;
    const int total = m_BMP_CutResult._total;

    if (APPConfig::g_Send) {
        if (!_abortUnlessPrinterIsFree("打印机正处于忙碌状态，停止打印！"))
            return;
        if (!_sendTask(total)) {
            _stopCutPage();
            return;
        }
    }

    for (int i = 1; i <= total; ++i) {
        const ImageUnitInfo_t& u = m_BMP_CutResult._image_unit_info[i - 1];
        const QImage croppedImage = DotImage::crop(invertedImage, u._x, u._y, u._w, u._h);
        _logUnit("SliceBmp", i, u);
        if (APPConfig::g_Debug)
            croppedImage.save(dumpPath(QString("SliceBmp_%1.bmp").arg(i)), "BMP");
        if (!_transmitUnit(
                _encodeUnit(croppedImage, quint8(i - 1), u._w, u._h, u._pos_x_mm, u._pos_y_mm, kSingleHead))) {
            _stopCutPage();
            return;
        }
    }
    _finishPage();
}

// The units of a two-head page, per head: the crop of each unit that holds
// a dot, by unit number from 1, and in debug mode the file it was dumped to.
struct SendImgQueueThread::HeadUnits {
    QMap<int, QImage> crops[2];
    QMap<int, QString> dumps[2];

    int count() const { return crops[0].size() + crops[1].size(); }
};

void SendImgQueueThread::_handleMuiltImgFile(QStringList originalImage_list)
{
    const int pageNo = _startPage();
    QMap<int, QImage> dots;
    if (!_loadHeadDots(originalImage_list, pageNo, &dots) || !_saveHeadDots(&dots))
        return;
    BMP_CutResult_t cut;
    if (!_cutMonoPage(&cut))
        return;
    const HeadUnits units = _cropHeadUnits(dots, cut);

    if (APPConfig::g_Send && !_abortUnlessPrinterIsFree("打印机正处于忙碌状态！"))
        return;
    if ((APPConfig::g_Send && !_sendTask(units.count())) || !_sendHeadUnits(units, cut)) {
        _stopCutPage();
        return;
    }
    _finishPage();
}

// The dot images of the composite (-1) and of heads 0 and 1, from the
// elements "path:::key". Only dot images are kept: a page-sized colour
// bitmap per head would cost many times the memory.
bool SendImgQueueThread::_loadHeadDots(const QStringList& elements, int pageNo, QMap<int, QImage>* dots)
{
    for (const QString& element : elements) {
        const QStringList pathAndKey = element.split(":::", Qt::KeepEmptyParts, Qt::CaseSensitive);
        if (pathAndKey.size() != 2) {
            qDebug() << "图像有问题" << pageNo << element;
            return false;
        }
        const QImage image = loadImage(pathAndKey.at(0));
        if (image.isNull()) {
            qDebug() << "图像有问题" << pageNo << pathAndKey.at(0);
            return false;
        }
        // A key that is not a number counts as head 0.
        dots->insert(pathAndKey.at(1).toInt(), DotImage::fromPage(image));
    }
    // Units are found on the composite; without it there is no page to cut.
    for (int key : {0, 1, kCompositeKey}) {
        if (!dots->contains(key)) {
            qDebug() << QString("不存在%1号喷头数据！").arg(key).toUtf8().constData();
            return false;
        }
    }
    return true;
}

// The composite becomes the mono page file the cutter reads (and is then
// dropped); each head's dots are kept as its own mono file.
bool SendImgQueueThread::_saveHeadDots(QMap<int, QImage>* dots)
{
    for (auto it = dots->constBegin(); it != dots->constEnd(); ++it) {
        qDebug() << "保存反色图像";
        if (it.key() == kCompositeKey) {
            if (!_saveMonoPage(it.value()))
                return false;
        } else {
            it.value().save(APPConfig::output() + QString("/g_Print_src_mono_%1.bmp").arg(it.key()), "BMP");
        }
    }
    dots->remove(kCompositeKey);
    return true;
}

// Each unit the cutter found on the composite, cropped from each head's dots;
// a crop without a dot is not sent.
SendImgQueueThread::HeadUnits SendImgQueueThread::_cropHeadUnits(const QMap<int, QImage>& dots,
                                                                  const BMP_CutResult_t& cut)
{
    HeadUnits units;
    for (int head : {1, 0}) {
        const QString prefix = QString("SliceBmp_%1").arg(head);
        for (int i = 1; i <= cut._total; ++i) {
            const ImageUnitInfo_t& u = cut._image_unit_info[i - 1];
            const QImage crop = DotImage::crop(dots.value(head), u._x, u._y, u._w, u._h);
            _logUnit(qPrintable(prefix), i, u);
            const bool empty = isAllBlack(crop);
            if (!empty)
                units.crops[head].insert(i, crop);
            if (!APPConfig::g_Debug)
                continue;
            const QString dump = dumpPath(QString("%1_%2%3.bmp").arg(prefix).arg(i).arg(empty ? "_unuse" : ""));
            crop.save(dump, "BMP");
            if (!empty)
                units.dumps[head].insert(i, dump);
        }
    }
    return units;
}

// Unit by unit, head 0's crop before head 1's, numbered as they go out;
// false when the printer did not take one whole.
bool SendImgQueueThread::_sendHeadUnits(const HeadUnits& units, const BMP_CutResult_t& cut)
{
    int i_Send_No = 0;
    for (int i = 1; i <= cut._total; ++i) {
        const ImageUnitInfo_t& u = cut._image_unit_info[i - 1];
        for (int head : {0, 1}) {
            if (!units.crops[head].contains(i))
                continue;
            qDebug() << "发送图元" << i_Send_No << units.dumps[head].value(i);
            if (!Send_Image_Buff(units.crops[head].value(i), quint8(i_Send_No), u._w, u._h, u._pos_x_mm, u._pos_y_mm,
                                 quint8(head)))
                return false;
            ++i_Send_No;
        }
    }
    return true;
}

int SendImgQueueThread::_startPage()
{
    const int pageNo = ++i_num;
    emit handleNum(pageNo);
    APPConfig::PrintNo = pageNo;
    return pageNo;
}

bool SendImgQueueThread::_saveMonoPage(const QImage& dots)
{
    const QString path = monoPagePath();
    if (QFile::exists(path))
        QFile::remove(path);
    if (dots.save(path, "BMP"))
        return true;
    qDebug() << "保存反色图像失败：" << path << dots.width() << dots.height();
    return false;
}

bool SendImgQueueThread::_cutMonoPage(BMP_CutResult_t* result)
{
    QFile file(monoPagePath());
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "g_Print_src_mono.bmp 不存在";
        return false;
    }
    const QByteArray bytes = file.readAll();
    std::memset(result, 0, sizeof(*result));
    CAppBmpCut cutter;
    cutter.OS_Apps_BmpCut(quint8(APPConfig::g_type), reinterpret_cast<const quint8*>(bytes.constData()),
                          quint32(bytes.size()), reinterpret_cast<quint8*>(result));
    qDebug() << QString("BMP_CutResult::%1").arg(result->_total);
    file.close();
    if (result->_total == 0) {
        qDebug() << "No IMAGE UNIT";
        m_pageDone = true; // nothing to print
        return false;
    }
    return true;
}

bool SendImgQueueThread::_abortUnlessPrinterIsFree(const char* busyStateText)
{
    qDebug() << "准备打印任务";
    // The window closes the link when the operator ends the print, and an
    // abort closes it before the quit takes effect; either way the run is
    // ending and the printer is not to be asked again.
    if (!APPConfig::m_USBDevice.bln_connect) {
        qDebug() << "Printer link closed, page not sent";
        return false;
    }
    SysDeviceStatus_t SysDeviceStatus{};
    if (!APPConfig::m_USBDevice.ReadStatus(&SysDeviceStatus)) {
        if (_runEnding())
            return false;
        qDebug() << "无法读取打印机状态！";
        qDebug() << separatorLine();
        _abortPrint("无法读取打印机状态，停止打印！", StationQuit::PrinterUnreadable);
        return false;
    }
    logPrinterState(SysDeviceStatus);
    // The printer still holds an unfinished task.
    if (SysDeviceStatus.TemplateRec != 0) {
        qDebug() << "打印机正处于忙碌状态！";
        qDebug() << separatorLine();
        _abortPrint(busyStateText, StationQuit::PrinterBusy);
        return false;
    }
    return true;
}

bool SendImgQueueThread::_sendTask(int SliceAmount)
{
    emit handleState(QString("发送打印任务"));
    const int pageamount = APPConfig::PrintTotal;
    const int pageno = APPConfig::PrintNo;
    if (APPConfig::m_USBDevice.SendSysPrintTask(pageamount, pageno, 1, SliceAmount)) {
        qDebug() << "Send SysPrintTask Success";
        return true;
    }
    // A task the command layer refuses (its page number as sent is above the
    // page count) is not sent at all: the units still go, and the printer,
    // holding no task, is found out by the supervision.
    if (USBDevice::refusesTask(pageamount, pageno)) {
        qDebug() << QString("Send SysPrintTask Failed: pageno=%1 > pageamount=%2").arg(pageno).arg(pageamount);
        return true;
    }
    return false;
}

bool SendImgQueueThread::Send_Image_Buff(const QImage& croppedImage, quint8 SliceNo, quint16 Width, quint16 Height,
                                         float PosXmm, float PosYmm, quint8 pt)
{
    QByteArray payload = _encodeUnit(croppedImage, SliceNo, Width, Height, PosXmm, PosYmm, pt);
    qDebug() << "发送图元" << int(SliceNo) << "喷头" << int(pt);
    return _transmitUnit(std::move(payload));
}

QByteArray SendImgQueueThread::_encodeUnit(const QImage& croppedImage, quint8 SliceNo, quint16 Width, quint16 Height,
                                           float PosXmm, float PosYmm, quint8 pt)
{
    return UnitEncoder::payload(croppedImage, UnitEncoder::descriptor(SliceNo, Width, Height, PosXmm, PosYmm, pt));
}

bool SendImgQueueThread::_transmitUnit(QByteArray payload)
{
    if (!APPConfig::g_Send)
        return true;
    StationPause::ms(kUnitPauseMs);
    return APPConfig::m_USBDevice.SendImageUnit(reinterpret_cast<quint8*>(payload.data()), quint32(payload.size()));
}

void SendImgQueueThread::_logUnit(const char* prefix, int i, const ImageUnitInfo_t& u)
{
    qDebug() << (QString(prefix) + QString(" Save:slice%1-x:%2 y:%3 w:%4 h:%5 posx:%6mm posy:%7fmm")
                                       .arg(i)
                                       .arg(u._x)
                                       .arg(u._y)
                                       .arg(u._w)
                                       .arg(u._h)
                                       .arg(double(u._pos_x_mm), 0, 'f', 2)
                                       .arg(double(u._pos_y_mm), 0, 'f', 2));
}

void SendImgQueueThread::_finishPage()
{
    m_pageDone = true;
    if (APPConfig::g_Send)
        checkPrintJob();
    else
        StationPause::ms(kUnsentPagePauseMs);
}

bool SendImgQueueThread::isAllBlack(const QImage& image)
{
    if (image.format() != QImage::Format_Mono) {
        qDebug() << "Image format is not Format_Mono.";
        return false;
    }
    return DotImage::holdsNoDot(image);
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
            if (_runEnding()) {
                qDebug() << "Printer link closed, print supervision ends";
                return false;
            }
            qDebug() << "读取打印机状态失败!";
            qDebug() << separatorLine();
            _abortPrint("无法读取打印机状态，停止打印！", StationQuit::PrinterUnreadable);
            return false;
        }

        logPrinterState(SysDeviceStatus);
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
            _abortUnitsNotTaken(StationQuit::PrinterUnreadable);
            return false;
        }
    }
}

void SendImgQueueThread::_stopCutPage()
{
    // The window has closed the link: the run is ending already.
    if (!APPConfig::m_USBDevice.bln_connect) {
        qDebug() << "Printer link closed, page not sent";
        return;
    }
    _abortUnitsNotTaken(StationQuit::NotTakenWhole);
}

void SendImgQueueThread::_abortUnitsNotTaken(StationQuit::Ending ending)
{
    qDebug() << "发送图元失败!";
    qDebug() << separatorLine();
    qDebug() << "***Send PC_TO_ARM_USB_SEND_FIFO_RST!";
    _abortPrint("打印失败！停止打印", ending);
}

// Ends the whole run: the printer is told the job is over and its buffer is
// reset before the link closes and the application quits.
void SendImgQueueThread::_abortPrint(const char* stateText, StationQuit::Ending ending)
{
    emit handleState(QString(stateText));
    StationPause::ms(kAbortPauseMs);
    APPConfig::m_USBDevice.SendEndOfJob();
    StationQuit::request(ending);
}

// The window closes the link, or stops this thread before it interrupts a
// read in flight, when the operator ends the print; a read that failed then
// is no printer fault.
bool SendImgQueueThread::_runEnding() const
{
    return m_bStop || !APPConfig::m_USBDevice.bln_connect;
}
