// A stand-in for the parts of libusb-1.0 the station uses, backed by the
// shared device model. It shows one device, 0x8866:VQSIM_PRODUCT_ID, with
// one interface whose alternate setting 0 has a bulk IN (0x81) and a bulk
// OUT (0x02) endpoint (scenario interrupt-first lists an interrupt IN, 0x83,
// before them). Results and `transferred` counts follow libusb:
//  - a read with no reply to give waits for its timeout (times the time
//    scale) and returns LIBUSB_ERROR_TIMEOUT with 0 transferred; a timeout
//    of 0 waits without limit, as libusb does;
//  - a reply longer than the read returns LIBUSB_ERROR_OVERFLOW;
//  - short-write:N: the Nth OUT transfer returns 0 (success) with half its
//    length transferred, and only that half reaches the controller;
//  - unplug-after:N: after N OUT transfers every transfer and claim returns
//    LIBUSB_ERROR_NO_DEVICE and the device can no longer be opened;
//  - a transfer on an endpoint the device does not have returns
//    LIBUSB_ERROR_IO;
//  - a call with a closed or unknown handle returns LIBUSB_ERROR_NO_DEVICE
//    and is counted as a fault (real libusb would use freed memory).

#include "sim/vqsim.h"
#include "sim/report.h"
#include "sim/simdevice.h"

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

struct libusb_context {
    int unused;
};
struct libusb_device {
    int unused;
};
struct libusb_device_handle {
    bool open = true;
};

namespace {

using vqsim::SimDevice;
using vqsim::TransferStatus;
using vqsim::report;

struct Simulator {
    std::mutex mutex;
    std::condition_variable replyQueued;
    bool configured = false;
    SimDevice printer;
    QList<vqsim::Transfer> transfers;
    double timeScale = 1.0;
    int failReads = 0;
    bool failConfig = false;
    bool failInit = false;
    int faults = 0;
    // Transfers and frames are kept only for programs that use the control
    // functions (tests); a preloaded station may run for hours.
    bool recording = false;
    QList<libusb_device_handle*> handles; // kept for good, so a stale pointer is never reused
    libusb_context context{};
    libusb_device device{};

    ~Simulator() { qDeleteAll(handles); }
};

Simulator& sim()
{
    static Simulator s;
    return s;
}

// Reads the VQSIM_* variables; the caller holds the mutex.
void configure(Simulator& s)
{
    s.configured = true;
    s.printer.configure(vqsim::DeviceSettings::fromEnvironment(), s.recording);
}

std::unique_lock<std::mutex> lockConfigured()
{
    Simulator& s = sim();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.configured)
        configure(s);
    return lock;
}

bool usable(Simulator& s, libusb_device_handle* handle)
{
    if (handle && handle->open && s.handles.contains(handle))
        return true;
    ++s.faults;
    report("call with a closed or unknown device handle");
    return false;
}

int libusbResult(TransferStatus status)
{
    switch (status) {
    case TransferStatus::Done: return LIBUSB_SUCCESS;
    case TransferStatus::Overflow: return LIBUSB_ERROR_OVERFLOW;
    case TransferStatus::TimedOut: return LIBUSB_ERROR_TIMEOUT;
    case TransferStatus::NoDevice: return LIBUSB_ERROR_NO_DEVICE;
    case TransferStatus::NoEndpoint: break;
    }
    return LIBUSB_ERROR_IO;
}

// Waits for a reply of the controller on the bulk IN endpoint, or for the
// scaled timeout.
bool waitForReply(Simulator& s, std::unique_lock<std::mutex>& lock, unsigned int timeout, bool mayAnswer)
{
    auto ready = [&] { return mayAnswer && s.printer.hasReply(); };
    if (timeout == 0) {
        s.replyQueued.wait(lock, ready);
        return true;
    }
    const auto wait = std::chrono::microseconds(static_cast<qint64>(timeout * 1000.0 * s.timeScale));
    return s.replyQueued.wait_for(lock, wait, ready);
}

libusb_endpoint_descriptor endpointDescriptor(const vqsim::EndpointInfo& info)
{
    libusb_endpoint_descriptor e;
    std::memset(&e, 0, sizeof e);
    e.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    e.bDescriptorType = LIBUSB_DT_ENDPOINT;
    e.bEndpointAddress = info.address;
    e.bmAttributes = info.attributes;
    e.wMaxPacketSize = info.maxPacketSize;
    e.bInterval = info.interval;
    return e;
}

} // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx)
{
    auto lock = lockConfigured();
    if (sim().failInit)
        return LIBUSB_ERROR_NO_MEM;
    if (ctx)
        *ctx = &sim().context;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context*)
{
    auto lock = lockConfigured();
    sim().printer.writePageFiles();
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context*, uint16_t vendor_id, uint16_t product_id)
{
    auto lock = lockConfigured();
    Simulator& s = sim();
    if (s.printer.absent() || s.printer.unplugged() || vendor_id != SimDevice::kVendor
        || product_id != s.printer.productId())
        return nullptr;
    libusb_device_handle* handle = new libusb_device_handle;
    s.handles.append(handle);
    return handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* dev_handle)
{
    auto lock = lockConfigured();
    Simulator& s = sim();
    usable(s, dev_handle);
    return &s.device;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index, libusb_config_descriptor** config)
{
    auto lock = lockConfigured();
    Simulator& s = sim();
    if (dev != &s.device || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (config_index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (s.failConfig)
        return LIBUSB_ERROR_IO;

    const QList<vqsim::EndpointInfo> endpoints = s.printer.endpoints();
    auto* ep = new libusb_endpoint_descriptor[endpoints.size()];
    for (int i = 0; i < endpoints.size(); ++i)
        ep[i] = endpointDescriptor(endpoints.at(i));
    auto* alt = new libusb_interface_descriptor;
    std::memset(alt, 0, sizeof *alt);
    alt->bLength = LIBUSB_DT_INTERFACE_SIZE;
    alt->bDescriptorType = LIBUSB_DT_INTERFACE;
    alt->bNumEndpoints = static_cast<uint8_t>(endpoints.size());
    alt->bInterfaceClass = 0xFF; // the vendor's own class
    alt->endpoint = ep;
    auto* iface = new libusb_interface;
    iface->altsetting = alt;
    iface->num_altsetting = 1;
    auto* c = new libusb_config_descriptor;
    std::memset(c, 0, sizeof *c);
    c->bLength = LIBUSB_DT_CONFIG_SIZE;
    c->bDescriptorType = LIBUSB_DT_CONFIG;
    c->bNumInterfaces = 1;
    c->bConfigurationValue = 1;
    c->interface = iface;
    *config = c;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config)
{
    if (!config)
        return;
    delete[] config->interface->altsetting->endpoint;
    delete config->interface->altsetting;
    delete config->interface;
    delete config;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int)
{
    auto lock = lockConfigured();
    return usable(sim(), dev_handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number)
{
    auto lock = lockConfigured();
    Simulator& s = sim();
    if (!usable(s, dev_handle) || s.printer.unplugged())
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface_number != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (s.printer.claimRefused())
        return LIBUSB_ERROR_BUSY;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* actual_length, unsigned int timeout)
{
    auto lock = lockConfigured();
    Simulator& s = sim();
    if (actual_length)
        *actual_length = 0;
    if (!usable(s, dev_handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (length < 0 || (length > 0 && !data))
        return LIBUSB_ERROR_INVALID_PARAM;

    const bool in = endpoint & 0x80;
    SimDevice& printer = s.printer;
    const quint64 id = printer.newTransferId();
    vqsim::Transfer t;
    t.endpoint = endpoint;
    t.length = length;
    t.timeout = timeout;
    if (!in)
        t.data = QByteArray(reinterpret_cast<const char*>(data), length);
    printer.recordSubmission(id, endpoint, length, t.data);

    TransferStatus status = TransferStatus::Done;
    QByteArray delivered;
    if (printer.unplugged()) {
        status = TransferStatus::NoDevice;
    } else if (!printer.hasEndpoint(endpoint)) {
        status = TransferStatus::NoEndpoint;
    } else if (!in) {
        t.transferred = printer.write(t.data);
        if (printer.hasReply())
            s.replyQueued.notify_all();
    } else {
        bool mayAnswer = printer.answers(endpoint);
        if (s.failReads > 0) {
            --s.failReads;
            mayAnswer = false;
        }
        if (!waitForReply(s, lock, timeout, mayAnswer)) {
            status = TransferStatus::TimedOut;
        } else if (printer.unplugged()) {
            status = TransferStatus::NoDevice;
        } else {
            status = printer.takeReply(length, &delivered);
            t.transferred = delivered.size();
        }
        t.data = delivered;
        if (t.transferred > 0)
            std::memcpy(data, delivered.constData(), static_cast<size_t>(t.transferred));
    }
    t.result = libusbResult(status);
    printer.recordCompletion(id, endpoint, status, t.transferred, delivered);

    if (actual_length)
        *actual_length = t.transferred;
    if (s.recording)
        s.transfers.append(t);
    return t.result;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle)
{
    if (!dev_handle)
        return;
    auto lock = lockConfigured();
    Simulator& s = sim();
    if (usable(s, dev_handle))
        dev_handle->open = false;
    s.printer.writePageFiles();
}

} // extern "C"

namespace vqsim {

void reset()
{
    auto lock = lockConfigured();
    Simulator& s = sim();
    s.printer.writePageFiles();
    for (libusb_device_handle* h : s.handles)
        h->open = false;
    s.transfers.clear();
    s.failReads = 0;
    s.failConfig = false;
    s.failInit = false;
    s.faults = 0;
    s.recording = true;
    configure(s);
}

void setTimeScale(double scale)
{
    auto lock = lockConfigured();
    Simulator& s = sim();
    s.timeScale = scale;
    s.recording = true;
    s.printer.controller().setKeepFrames(true);
}

QList<Transfer> transfers()
{
    auto lock = lockConfigured();
    return sim().transfers;
}

QList<Frame> frames()
{
    auto lock = lockConfigured();
    return sim().printer.controller().frames();
}

QList<PageRecord> pages()
{
    auto lock = lockConfigured();
    return sim().printer.controller().pages();
}

void scriptStatus(const QList<StatusAnswer>& answers)
{
    auto lock = lockConfigured();
    sim().printer.controller().scriptStatus(answers);
}

void failNextReads(int count)
{
    auto lock = lockConfigured();
    sim().failReads = count;
}

void failConfigDescriptor(bool fail)
{
    auto lock = lockConfigured();
    sim().failConfig = fail;
}

void failLibraryInit(bool fail)
{
    auto lock = lockConfigured();
    sim().failInit = fail;
}

int faults()
{
    auto lock = lockConfigured();
    return sim().faults;
}

int openHandles()
{
    auto lock = lockConfigured();
    int n = 0;
    for (const libusb_device_handle* h : sim().handles)
        n += h->open ? 1 : 0;
    return n;
}

void flushPages()
{
    auto lock = lockConfigured();
    sim().printer.writePageFiles();
}

} // namespace vqsim
