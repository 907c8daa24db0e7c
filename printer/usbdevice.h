#pragma once

#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <mutex>

struct libusb_device_handle;
struct libusb_config_descriptor;

// Command codes of the printer's controller. The station sends only the
// status request, the print task, the image unit, end of job and FIFO reset.
enum FrameType_t : quint8 {
    PC_TO_ARM_USB_BEEP = 0x01,
    PC_TO_ARM_USB_SPEED_TEST = 0x02,
    PC_TO_ARM_USB_BREAK_USB = 0x03,
    PC_TO_ARM_USB_RD_DEV_MODE = 0x10,
    PC_TO_ARM_USB_RD_HARDWARE_PARA = 0x11,
    PC_TO_ARM_USB_RD_DEV_STATE = 0x12,
    PC_TO_ARM_USB_RD_FUNC_PARA = 0x13,
    PC_TO_ARM_USB_RD_USER_RECORD = 0x14,
    PC_TO_ARM_USB_RD_INK_INFO = 0x15,
    PC_TO_ARM_USB_RD_DEBUG_PARA = 0x16,
    PC_TO_ARM_USB_FACTORY_SET = 0x1F,
    PC_TO_ARM_USB_STEP_CTRL = 0x20,
    PC_TO_ARM_USB_PEN_ORIGIN = 0x21,
    PC_TO_ARM_USB_PEN_MOVE = 0x22,
    PC_TO_ARM_USB_S_READY = 0x23,
    PC_TO_ARM_USB_HOLD = 0x24,
    PC_TO_ARM_USB_RELEASE = 0x25,
    PC_TO_ARM_USB_PT_OPEN = 0x30,
    PC_TO_ARM_USB_PT_CLOSE = 0x31,
    PC_TO_ARM_USB_PT_RD_STATE = 0x32,
    PC_TO_ARM_USB_PT_TEST = 0x33,
    PC_TO_ARM_USB_PT_SPEED = 0x34,
    PC_TO_ARM_USB_PT_ORIGIN = 0x35,
    PC_TO_ARM_USB_RETURN_GAP_SET = 0x36,
    PC_TO_ARM_USB_AutoPrt = 0x37,
    PC_TO_ARM_USB_PT_RANGE_SET = 0x38,
    PC_TO_ARM_USB_SEND_TASK = 0x40,
    PC_TO_ARM_USB_SEND_IMAGE_UNIT = 0x41,
    PC_TO_ARM_USB_SEND_OVER = 0x42,
    PC_TO_ARM_USB_SEND_FIFO_RST = 0x43,
};

// In-memory description of a command frame; on the wire the payload bytes
// stand where the pointer is.
struct Com_Struct_t {
    quint8 Head;
    quint8 FrameType;
    quint8 Reserve1;
    quint8 Reserve2;
    quint32 FrameSize;
    quint8* PSTNData;
    quint32 crc;
};

#pragma pack(push, 1)
struct SysPrintTask_t {
    quint16 TotalPages;
    quint16 PageNo;
    quint8 SliceAmount;
    quint8 TemplateSum;
};
static_assert(sizeof(SysPrintTask_t) == 6, "print task is 6 bytes on the wire");

struct SysSlice_t {
    quint8 SliceNo;
    float PosXmm;
    float PosYmm;
    quint8 Head;
    quint8 ColorDepth;
    quint16 Type;
    quint16 DPI_HOR;
    quint16 Width;
    quint16 Height;
};
static_assert(sizeof(SysSlice_t) == 19, "slice descriptor is 19 bytes on the wire");

struct SysDeviceStatus_t {
    quint8 UsbState;
    quint8 SysState;
    quint8 InkState;
    quint8 MotorState;
    quint32 PenRealPosXsteps;
    quint32 PenRealPosYsteps;
    quint32 PenRealPosZsteps;
    quint32 PenRealPosSsteps;
    quint32 SensorState;
    quint8 TemplateRec;
    quint8 TemplateUse;
    quint32 ErrCode;
};
static_assert(sizeof(SysDeviceStatus_t) == 30, "status record is 30 bytes on the wire");
#pragma pack(pop)

// The station's one link to the printer: libusb bulk transfers on the first
// interface of the device 0x8866:product_id.
//
// The dispatch thread and the GUI thread share the one instance. A mutex is
// held around every single libusb call on the handle (each bulk transfer, the
// claim, the close), never across the pauses between read attempts, so the
// handle is never used while or after it is closed: once usb_Close has run,
// Send, Read and SendCom fail at once without calling libusb. In turn a close
// from the GUI thread waits for a transfer in flight, at most that transfer's
// timeout (a quarter second for a slice of a read, 5 s for a write).
class USBDevice {
public:
    USBDevice() = default;
    USBDevice(const USBDevice&) = delete;
    USBDevice& operator=(const USBDevice&) = delete;

    int usb_Init(uint16_t product_id);
    int usb_Close();
    quint32 Send(quint8* pSendBuf, quint32 SendNum);
    bool Read(quint8* pReadBuf, quint32 ReadNum);

    bool SendCom(quint8 com, quint8* ptr_data, quint32 data_num);
    // Both read the printer's 13-byte reply, which is not examined. False
    // when the frame did not go out whole (then no reply is read), and for a
    // task whose page number is above the page count (then nothing is sent).
    bool SendSysPrintTask(int pageamount, int pageno, int TemplateSum, int SliceAmount);
    // A task whose page number, as sent, is above its page count is never sent.
    static bool refusesTask(int pageamount, int pageno) { return quint16(pageno) > quint16(pageamount); }
    bool SendImageUnit(quint8* pReadBuf, quint32 data_num);

    // Status request and reply: true when the 42-byte reply arrived, and
    // then `status` holds its bytes 8..37.
    bool ReadStatus(SysDeviceStatus_t* status);
    // End of job, buffer reset, then the link is closed.
    void SendEndOfJob();
    // Ends the read in flight, if any, and every later one at once, so that
    // the link is free for the end-of-job commands; waits for the read to end
    // (at most about half a second). Reopening the link lifts it.
    void interruptReads();

    std::atomic<bool> m_bBusy_Flg{false};
    std::atomic<bool> bln_connect{false};
    libusb_device_handle* handle = nullptr;
    uint8_t endpoint_in = 0;
    uint8_t endpoint_out = 0;
    uint8_t data_buf[32] = {};

private:
    void _takeEndpoints(const libusb_config_descriptor& config);
    enum class ReadResult { Whole, Failed, Closed, Interrupted };
    ReadResult _readAttempt(quint8* buffer, int wanted);

    // One bulk transfer under the mutex; false, without calling libusb, when
    // the link is not open.
    bool _transfer(uint8_t endpoint, quint8* data, int length, unsigned int timeout, int* result, int* transferred);

    std::mutex m_handleMutex;
    bool m_libraryOpen = false;
    uint16_t m_productId = 0;
    std::atomic<bool> m_readsInterrupted{false};
};
