// A stand-in for the parts of libusb-1.0 the station uses, backed by the
// simulated controller. It shows one device, 0x8866:VQSIM_PRODUCT_ID, with
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
#include "sim/usbmonpcap.h"

#include <libusb.h>

#include <QDateTime>
#include <QFile>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
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

using vqsim::Controller;
using vqsim::ControllerOptions;

const quint16 kVendor = 0x8866;
const quint8 kBulkIn = 0x81;
const quint8 kBulkOut = 0x02;
const quint8 kInterruptIn = 0x83;
const quint8 kBusNumber = 1;
const quint8 kDeviceNumber = 5;

enum class Scenario { Normal, Absent, ClaimFails, Silent, UnplugAfter, ShortWrite, InterruptFirst };

struct Simulator {
    std::mutex mutex;
    std::condition_variable replyQueued;
    bool configured = false;
    Scenario scenario = Scenario::Normal;
    int scenarioCount = 0;
    quint16 productId = 0x2019;
    std::unique_ptr<Controller> controller;
    vqsim::UsbmonWriter capture;
    QList<vqsim::Transfer> transfers;
    int outTransfers = 0;
    bool unplugged = false;
    double timeScale = 1.0;
    int failReads = 0;
    bool failConfig = false;
    int faults = 0;
    // Transfers and frames are kept only for programs that use the control
    // functions (tests); a preloaded station may run for hours.
    bool recording = false;
    QList<libusb_device_handle*> handles; // kept for good, so a stale pointer is never reused
    libusb_context context{};
    libusb_device device{};
    quint64 nextUrb = 0xffff888000001000ull;

    ~Simulator() { qDeleteAll(handles); }
};

Simulator& sim()
{
    static Simulator s;
    return s;
}

void report(const QString& text)
{
    std::fprintf(stderr, "vqsim: %s\n", qPrintable(text));
}

// Reads the VQSIM_* variables; the caller holds the mutex.
void configure(Simulator& s)
{
    s.configured = true;
    s.scenario = Scenario::Normal;
    s.scenarioCount = 0;
    ControllerOptions options;

    const QString scenario = QString::fromLocal8Bit(qgetenv("VQSIM_SCENARIO")).trimmed();
    const QString name = scenario.section(':', 0, 0);
    bool countOk = false;
    const int count = scenario.section(':', 1).toInt(&countOk);
    if (name.isEmpty() || name == "normal") {
    } else if (name == "absent") {
        s.scenario = Scenario::Absent;
    } else if (name == "claim-fails") {
        s.scenario = Scenario::ClaimFails;
    } else if (name == "busy") {
        options.busy = true;
    } else if (name == "silent") {
        s.scenario = Scenario::Silent;
    } else if (name == "never-receive") {
        options.neverReceive = true;
    } else if (name == "error-state") {
        options.errorState = true;
    } else if (name == "garbage-header") {
        options.garbageHeader = true;
    } else if (name == "interrupt-first") {
        s.scenario = Scenario::InterruptFirst;
    } else if ((name == "unplug-after" || name == "short-write") && countOk && count >= 0) {
        s.scenario = name == "unplug-after" ? Scenario::UnplugAfter : Scenario::ShortWrite;
        s.scenarioCount = count;
    } else {
        report(QString("VQSIM_SCENARIO \"%1\" not understood; the printer behaves normally").arg(scenario));
    }

    const QByteArray polls = qgetenv("VQSIM_PRINT_POLLS");
    if (!polls.isEmpty()) {
        bool ok = false;
        const int n = polls.toInt(&ok);
        if (ok && n >= 0)
            options.printPolls = n;
        else
            report(QString("VQSIM_PRINT_POLLS \"%1\" not understood; using 1").arg(QString::fromLocal8Bit(polls)));
    }

    s.productId = 0x2019;
    const QByteArray product = qgetenv("VQSIM_PRODUCT_ID");
    if (!product.isEmpty()) {
        bool ok = false;
        const uint id = QString::fromLocal8Bit(product).toUInt(&ok, 0);
        if (ok && id <= 0xFFFF)
            s.productId = static_cast<quint16>(id);
        else
            report(QString("VQSIM_PRODUCT_ID \"%1\" not understood; using 0x2019").arg(QString::fromLocal8Bit(product)));
    }

    s.controller.reset(new Controller(options));
    s.controller->setKeepFrames(s.recording);
    s.controller->setOutputDir(QString::fromLocal8Bit(qgetenv("VQSIM_OUT")));

    s.capture.close();
    const QString capturePath = QString::fromLocal8Bit(qgetenv("VQSIM_CAPTURE"));
    QString error;
    if (!capturePath.isEmpty() && !s.capture.open(capturePath, &error))
        report(error);

    s.unplugged = s.scenario == Scenario::UnplugAfter && s.scenarioCount == 0;
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

vqsim::UsbmonRecord usbmonRecord(quint64 id, char type, quint8 endpoint)
{
    vqsim::UsbmonRecord r;
    r.id = id;
    r.type = type;
    r.endpoint = endpoint;
    r.busnum = kBusNumber;
    r.devnum = kDeviceNumber;
    r.xferFlags = (endpoint & 0x80) ? 0x200 : 0; // URB_DIR_IN
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    r.tsSec = now / 1000;
    r.tsUsec = static_cast<qint32>((now % 1000) * 1000);
    return r;
}

// usbmon reports a completion's status as a negative errno.
qint32 completionStatus(int result)
{
    switch (result) {
    case LIBUSB_SUCCESS: return 0;
    case LIBUSB_ERROR_TIMEOUT: return -2;    // the URB was unlinked (ENOENT)
    case LIBUSB_ERROR_NO_DEVICE: return -19; // ENODEV
    case LIBUSB_ERROR_OVERFLOW: return -75;  // EOVERFLOW
    default: return -71;                     // EPROTO
    }
}

bool hasEndpoint(const Simulator& s, quint8 endpoint)
{
    return endpoint == kBulkIn || endpoint == kBulkOut
        || (endpoint == kInterruptIn && s.scenario == Scenario::InterruptFirst);
}

// Waits for a reply of the controller on the bulk IN endpoint, or for the
// scaled timeout.
bool waitForReply(Simulator& s, std::unique_lock<std::mutex>& lock, unsigned int timeout, bool mayAnswer)
{
    auto ready = [&] { return mayAnswer && s.controller->hasReply(); };
    if (timeout == 0) {
        s.replyQueued.wait(lock, ready);
        return true;
    }
    const auto wait = std::chrono::microseconds(static_cast<qint64>(timeout * 1000.0 * s.timeScale));
    return s.replyQueued.wait_for(lock, wait, ready);
}

libusb_endpoint_descriptor endpointDescriptor(quint8 address, quint8 attributes)
{
    libusb_endpoint_descriptor e;
    std::memset(&e, 0, sizeof e);
    e.bLength = LIBUSB_DT_ENDPOINT_SIZE;
    e.bDescriptorType = LIBUSB_DT_ENDPOINT;
    e.bEndpointAddress = address;
    e.bmAttributes = attributes;
    e.wMaxPacketSize = (attributes & 3) == LIBUSB_TRANSFER_TYPE_BULK ? 512 : 64;
    e.bInterval = (attributes & 3) == LIBUSB_TRANSFER_TYPE_INTERRUPT ? 4 : 0;
    return e;
}

} // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx)
{
    auto lock = lockConfigured();
    if (ctx)
        *ctx = &sim().context;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context*)
{
    auto lock = lockConfigured();
    sim().controller->flush();
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context*, uint16_t vendor_id, uint16_t product_id)
{
    auto lock = lockConfigured();
    Simulator& s = sim();
    if (s.scenario == Scenario::Absent || s.unplugged || vendor_id != kVendor || product_id != s.productId)
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

    QList<libusb_endpoint_descriptor> endpoints;
    if (s.scenario == Scenario::InterruptFirst)
        endpoints.append(endpointDescriptor(kInterruptIn, LIBUSB_TRANSFER_TYPE_INTERRUPT));
    endpoints.append(endpointDescriptor(kBulkIn, LIBUSB_TRANSFER_TYPE_BULK));
    endpoints.append(endpointDescriptor(kBulkOut, LIBUSB_TRANSFER_TYPE_BULK));

    auto* ep = new libusb_endpoint_descriptor[endpoints.size()];
    for (int i = 0; i < endpoints.size(); ++i)
        ep[i] = endpoints.at(i);
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
    if (!usable(s, dev_handle) || s.unplugged)
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface_number != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (s.scenario == Scenario::ClaimFails)
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
    const quint64 urb = s.nextUrb += 0x40;
    vqsim::Transfer t;
    t.endpoint = endpoint;
    t.length = length;
    t.timeout = timeout;

    vqsim::UsbmonRecord submit = usbmonRecord(urb, 'S', endpoint);
    submit.status = -115; // EINPROGRESS
    submit.length = static_cast<quint32>(length);
    if (!in) {
        t.data = QByteArray(reinterpret_cast<const char*>(data), length);
        submit.data = t.data;
    }
    s.capture.write(submit);

    QByteArray delivered;
    if (s.unplugged) {
        t.result = LIBUSB_ERROR_NO_DEVICE;
    } else if (!hasEndpoint(s, endpoint)) {
        t.result = LIBUSB_ERROR_IO;
    } else if (!in) {
        ++s.outTransfers;
        t.transferred = length;
        if (s.scenario == Scenario::ShortWrite && s.outTransfers == s.scenarioCount)
            t.transferred = length / 2;
        s.controller->receive(t.data.left(t.transferred));
        if (s.controller->hasReply())
            s.replyQueued.notify_all();
        if (s.scenario == Scenario::UnplugAfter && s.outTransfers >= s.scenarioCount)
            s.unplugged = true;
        t.result = LIBUSB_SUCCESS;
    } else {
        bool mayAnswer = endpoint == kBulkIn && s.scenario != Scenario::Silent;
        if (s.failReads > 0) {
            --s.failReads;
            mayAnswer = false;
        }
        if (!waitForReply(s, lock, timeout, mayAnswer)) {
            t.result = LIBUSB_ERROR_TIMEOUT;
        } else if (s.unplugged) {
            t.result = LIBUSB_ERROR_NO_DEVICE;
        } else {
            const QByteArray reply = s.controller->takeReply();
            delivered = reply.left(length);
            t.transferred = delivered.size();
            t.result = reply.size() > length ? LIBUSB_ERROR_OVERFLOW : LIBUSB_SUCCESS;
        }
        t.data = delivered;
        if (t.transferred > 0)
            std::memcpy(data, delivered.constData(), static_cast<size_t>(t.transferred));
    }

    vqsim::UsbmonRecord complete = usbmonRecord(urb, 'C', endpoint);
    complete.status = completionStatus(t.result);
    complete.length = static_cast<quint32>(t.transferred);
    complete.data = delivered;
    s.capture.write(complete);

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
    s.controller->flush();
}

} // extern "C"

namespace vqsim {

void reset()
{
    auto lock = lockConfigured();
    Simulator& s = sim();
    s.controller->flush();
    for (libusb_device_handle* h : s.handles)
        h->open = false;
    s.transfers.clear();
    s.outTransfers = 0;
    s.failReads = 0;
    s.failConfig = false;
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
    s.controller->setKeepFrames(true);
}

QList<Transfer> transfers()
{
    auto lock = lockConfigured();
    return sim().transfers;
}

QList<Frame> frames()
{
    auto lock = lockConfigured();
    return sim().controller->frames();
}

QList<PageRecord> pages()
{
    auto lock = lockConfigured();
    return sim().controller->pages();
}

void scriptStatus(const QList<StatusAnswer>& answers)
{
    auto lock = lockConfigured();
    sim().controller->scriptStatus(answers);
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
    sim().controller->flush();
}

} // namespace vqsim
