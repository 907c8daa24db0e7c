#include "printer/usbdevice.h"

#include "app/stationpause.h"

#include <libusb.h>

#include <QDebug>
#include <QThread>
#include <QtEndian>

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const uint16_t kVendorId = 0x8866;
const quint32 kChunkSize = 512;
const unsigned int kSingleWriteTimeoutMs = 1000;
const unsigned int kChunkWriteTimeoutMs = 5000;
const unsigned int kReadTimeoutMs = 10000;
// A read waits in slices of this long, so that the window's close can end it
// between two slices instead of behind the whole wait.
const unsigned int kReadSliceMs = 250;
const int kReadAttempts = 4;
const unsigned long kReadRetryPauseMs = 2000;
const unsigned long kEndOfJobPauseMs = 100;

// Header (head, command, two reserved bytes, FrameSize) and the checksum
// field that follows the payload.
const quint32 kFrameOverhead = 12;
const quint32 kStatusReplySize = 42;
const quint32 kShortReplySize = 13;

} // namespace

// The first IN and the first OUT endpoint of interface 0 that is not a
// control endpoint win, whatever their transfer type.
void USBDevice::_takeEndpoints(const libusb_config_descriptor& config)
{
    if (config.bNumInterfaces == 0 || config.interface[0].num_altsetting == 0)
        return;
    const libusb_interface_descriptor& alt = config.interface[0].altsetting[0];
    for (int i = 0; i < alt.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[i];
        if ((ep.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_CONTROL)
            continue;
        if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
            if (endpoint_in == 0)
                endpoint_in = ep.bEndpointAddress;
        } else if (endpoint_out == 0) {
            endpoint_out = ep.bEndpointAddress;
        }
    }
}

int USBDevice::usb_Init(uint16_t product_id)
{
    data_buf[0] = 0xAA;
    data_buf[sizeof data_buf - 1] = 0xED;

    // A second window (the chooser's test mode opens one per click) finds
    // the printer already open and keeps using that link, unless the operator
    // switched to a template of another model in between: its printer
    // answers to another product id.
    if (bln_connect && product_id == m_productId)
        return 1;
    usb_Close();
    endpoint_in = 0;
    endpoint_out = 0;
    m_readsInterrupted = false;

    m_libraryOpen = libusb_init(nullptr) == LIBUSB_SUCCESS;
    if (!m_libraryOpen) {
        qDebug() << "USB library could not be started, printer not opened";
        return -1;
    }
    libusb_device_handle* opened = libusb_open_device_with_vid_pid(nullptr, kVendorId, product_id);
    {
        std::lock_guard<std::mutex> lock(m_handleMutex);
        handle = opened;
    }
    if (!opened)
        return -1;

    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(libusb_get_device(opened), 0, &config) != LIBUSB_SUCCESS || !config) {
        qDebug() << "USB configuration descriptor unreadable, printer not opened";
        std::lock_guard<std::mutex> lock(m_handleMutex);
        libusb_close(opened);
        handle = nullptr;
        return -1;
    }

    _takeEndpoints(*config);
    libusb_free_config_descriptor(config);
    if (endpoint_in == 0 || endpoint_out == 0)
        qDebug() << "USB interface 0 lacks an IN or an OUT endpoint";

    libusb_set_auto_detach_kernel_driver(opened, 1);
    std::lock_guard<std::mutex> lock(m_handleMutex);
    if (libusb_claim_interface(opened, 0) < 0)
        return -1;
    m_productId = product_id;
    bln_connect = true;
    return 1;
}

// Closing the handle also ends the claim of interface 0.
int USBDevice::usb_Close()
{
    std::lock_guard<std::mutex> lock(m_handleMutex);
    bln_connect = false;
    if (handle)
        libusb_close(handle);
    handle = nullptr;
    if (m_libraryOpen)
        libusb_exit(nullptr);
    m_libraryOpen = false;
    return 1;
}

bool USBDevice::_transfer(uint8_t endpoint, quint8* data, int length, unsigned int timeout, int* result, int* transferred)
{
    *result = LIBUSB_ERROR_NO_DEVICE;
    *transferred = 0;
    std::lock_guard<std::mutex> lock(m_handleMutex);
    if (!bln_connect || !handle)
        return false;
    *result = libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
    return true;
}

quint32 USBDevice::Send(quint8* pSendBuf, quint32 SendNum)
{
    if (!bln_connect) {
        qDebug() << "USB link closed, nothing sent";
        return 0;
    }
    int result = 0;
    int transferred = 0;
    if (SendNum <= kChunkSize) {
        _transfer(endpoint_out, pSendBuf, static_cast<int>(SendNum), kSingleWriteTimeoutMs, &result, &transferred);
        if (result < 0) {
            std::printf("*** bulk_transfer failed! \n");
            std::fflush(stdout);
            return 0;
        }
        // What the device took, so that a short write shows as one.
        return static_cast<quint32>(transferred);
    }

    // Longer writes go out in 512-byte transfers and a last one with the
    // rest; when the rest is 0 that last transfer is a zero-length packet,
    // which tells the printer the frame has ended.
    quint32 total = 0;
    const quint32 chunks = SendNum / kChunkSize;
    for (quint32 i = 0; i < chunks; ++i) {
        _transfer(endpoint_out, pSendBuf + i * kChunkSize, static_cast<int>(kChunkSize), kChunkWriteTimeoutMs, &result,
                  &transferred);
        total += static_cast<quint32>(qMax(transferred, 0));
    }
    _transfer(endpoint_out, pSendBuf + chunks * kChunkSize, static_cast<int>(SendNum % kChunkSize),
              kChunkWriteTimeoutMs, &result, &transferred);
    total += static_cast<quint32>(qMax(transferred, 0));
    return total;
}

bool USBDevice::Read(quint8* pReadBuf, quint32 ReadNum)
{
    if (ReadNum > static_cast<quint32>(INT_MAX))
        return false;
    const int wanted = static_cast<int>(ReadNum);
    for (int failures = 0;;) {
        m_bBusy_Flg = true;
        const ReadResult result = _readAttempt(pReadBuf, wanted);
        m_bBusy_Flg = false;
        if (result == ReadResult::Closed) {
            qDebug() << "USB link closed, nothing read";
            return false;
        }
        if (result == ReadResult::Interrupted)
            return false;
        if (result == ReadResult::Whole)
            return true;
        ++failures;
        StationPause::ms(kReadRetryPauseMs);
        if (failures >= kReadAttempts)
            return false;
    }
}

// One attempt: up to the read timeout for `wanted` bytes, in slices. Only the
// delivered count decides; an error other than a timeout ends the attempt at
// once, as it ends a single transfer.
USBDevice::ReadResult USBDevice::_readAttempt(quint8* buffer, int wanted)
{
    int got = 0;
    for (unsigned int waited = 0; waited < kReadTimeoutMs;) {
        if (m_readsInterrupted)
            return ReadResult::Interrupted;
        const unsigned int slice = qMin(kReadSliceMs, kReadTimeoutMs - waited);
        int result = 0;
        int transferred = 0;
        if (!_transfer(endpoint_in, buffer + got, wanted - got, slice, &result, &transferred))
            return ReadResult::Closed;
        got += qMax(transferred, 0);
        if (got == wanted)
            return ReadResult::Whole;
        if (result != LIBUSB_ERROR_TIMEOUT)
            return ReadResult::Failed;
        waited += slice;
    }
    return ReadResult::Failed;
}

void USBDevice::interruptReads()
{
    m_readsInterrupted = true;
    // A read in flight ends within one slice.
    for (int waited = 0; m_bBusy_Flg && waited < 2 * int(kReadSliceMs); waited += 10)
        QThread::msleep(10);
}

bool USBDevice::SendCom(quint8 com, quint8* ptr_data, quint32 data_num)
{
    if (m_bBusy_Flg.exchange(true))
        return false;
    if (data_num > static_cast<quint32>(INT_MAX) - kFrameOverhead || (data_num > 0 && !ptr_data)) {
        m_bBusy_Flg = false;
        qDebug() << QString("command 0x%1: payload of %2 bytes refused").arg(com, 2, 16, QChar('0')).arg(data_num);
        return false;
    }
    const quint32 frameSize = data_num + kFrameOverhead;
    std::vector<quint8> frame(frameSize, 0);
    frame[0] = 0x7E;
    frame[1] = com;
    qToLittleEndian<quint32>(frameSize, frame.data() + 4);
    if (data_num > 0)
        std::memcpy(frame.data() + 8, ptr_data, data_num);
    const quint32 sent = Send(frame.data(), frameSize);
    m_bBusy_Flg = false;
    // A frame the printer took only in part leaves it waiting for the rest,
    // which it then takes from the frames that follow.
    if (sent != frameSize && bln_connect)
        qDebug() << QString("命令帧未完整发送：0x%1 %2/%3 字节").arg(com, 2, 16, QChar('0')).arg(sent).arg(frameSize);
    return sent == frameSize;
}

bool USBDevice::SendSysPrintTask(int pageamount, int pageno, int TemplateSum, int SliceAmount)
{
    SysPrintTask_t task;
    task.TotalPages = static_cast<quint16>(pageamount);
    task.PageNo = static_cast<quint16>(pageno);
    task.SliceAmount = static_cast<quint8>(SliceAmount);
    task.TemplateSum = static_cast<quint8>(TemplateSum);
    if (refusesTask(pageamount, pageno))
        return false;

    qDebug() << "***Send PC_TO_ARM_USB_SEND_TASK! ";
    quint8 payload[sizeof(SysPrintTask_t)];
    qToLittleEndian<quint16>(task.TotalPages, payload);
    qToLittleEndian<quint16>(task.PageNo, payload + 2);
    payload[4] = task.SliceAmount;
    payload[5] = task.TemplateSum;
    // A task or unit the printer did not take whole cannot print as sent,
    // and no reply to it is worth waiting for: the caller ends the page.
    if (!SendCom(PC_TO_ARM_USB_SEND_TASK, payload, sizeof payload))
        return false;
    quint8 reply[kShortReplySize];
    Read(reply, sizeof reply);
    return true;
}

bool USBDevice::SendImageUnit(quint8* pReadBuf, quint32 data_num)
{
    qDebug() << "***Send PC_TO_ARM_USB_SEND_IMAGE_UNIT! ";
    if (!SendCom(PC_TO_ARM_USB_SEND_IMAGE_UNIT, pReadBuf, data_num))
        return false;
    quint8 reply[kShortReplySize];
    Read(reply, sizeof reply);
    return true;
}

bool USBDevice::ReadStatus(SysDeviceStatus_t* status)
{
    quint32 tmp = 0;
    SendCom(PC_TO_ARM_USB_RD_DEV_STATE, reinterpret_cast<quint8*>(&tmp), sizeof tmp);
    quint8 reply[200] = {};
    if (!Read(reply, kStatusReplySize))
        return false;
    // Header and trailer are not examined: controllers fill them differently.
    if (status) {
        std::memcpy(status, reply + 8, sizeof(SysDeviceStatus_t));
        status->PenRealPosXsteps = qFromLittleEndian(status->PenRealPosXsteps);
        status->PenRealPosYsteps = qFromLittleEndian(status->PenRealPosYsteps);
        status->PenRealPosZsteps = qFromLittleEndian(status->PenRealPosZsteps);
        status->PenRealPosSsteps = qFromLittleEndian(status->PenRealPosSsteps);
        status->SensorState = qFromLittleEndian(status->SensorState);
        status->ErrCode = qFromLittleEndian(status->ErrCode);
    }
    return true;
}

void USBDevice::SendEndOfJob()
{
    quint32 tmp = 0;
    SendCom(PC_TO_ARM_USB_SEND_OVER, reinterpret_cast<quint8*>(&tmp), sizeof tmp);
    StationPause::ms(kEndOfJobPauseMs);
    SendCom(PC_TO_ARM_USB_SEND_FIFO_RST, reinterpret_cast<quint8*>(&tmp), sizeof tmp);
    StationPause::ms(kEndOfJobPauseMs);
    usb_Close();
}
