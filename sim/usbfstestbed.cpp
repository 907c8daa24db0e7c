#include "sim/usbfstestbed.h"

#include "sim/report.h"

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

namespace vqsim {

namespace {

// The ioctl handler speaks for the launcher, in whose process it runs.
const char kTool[] = "vqsim-usbfs";

// Holds the testbed's copies of a URB and its buffer while the kernel would
// hold the URB: from submission until it is reaped.
struct UrbMemory {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;

    ~UrbMemory()
    {
        if (buffer)
            g_object_unref(buffer);
        if (urb)
            g_object_unref(urb);
    }
};

// One ioctl of the program: its request, its argument, and the program's
// memory read for it. What was read stays held until the ioctl has been
// completed, which writes changes back into the program.
class Call {
public:
    explicit Call(UMockdevIoctlClient* client)
        : client(client), request(umockdev_ioctl_client_get_request(client)),
          arg(umockdev_ioctl_client_get_arg(client))
    {
    }
    ~Call()
    {
        for (UMockdevIoctlData* data : m_held)
            g_object_unref(data);
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // The `size` bytes the pointer at `offset` in `parent` points to; null
    // (and a report) when the program's memory cannot be read.
    UMockdevIoctlData* resolve(UMockdevIoctlData* parent, gsize offset, gsize size)
    {
        GError* error = nullptr;
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(parent, offset, size, &error);
        if (!data) {
            report(QString("cannot read the program's memory for ioctl 0x%1: %2")
                       .arg(request, 0, 16)
                       .arg(error ? error->message : "unknown error"),
                   kTool);
            g_clear_error(&error);
            return nullptr;
        }
        m_held.push_back(data);
        return data;
    }
    UMockdevIoctlData* resolveArgument(gsize size) { return resolve(arg, 0, size); }

    UMockdevIoctlClient* const client;
    const gulong request;
    UMockdevIoctlData* const arg;

private:
    std::vector<UMockdevIoctlData*> m_held;
};

int submitUrb(UsbfsDevice* device, Call& call)
{
    UMockdevIoctlData* urbData = call.resolveArgument(sizeof(usbdevfs_urb));
    if (!urbData)
        return -EFAULT;
    auto memory = std::make_shared<UrbMemory>();
    memory->urb = UMOCKDEV_IOCTL_DATA(g_object_ref(urbData));

    usbdevfs_urb urb;
    std::memcpy(&urb, urbData->data, sizeof urb);
    SubmittedUrb submitted;
    submitted.address = urbData->client_addr;
    submitted.type = urb.type;
    submitted.endpoint = urb.endpoint;
    submitted.length = urb.buffer_length;
    if (urb.buffer_length > 0) {
        UMockdevIoctlData* buffer =
            call.resolve(urbData, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb.buffer_length));
        if (!buffer)
            return -EFAULT;
        memory->buffer = UMOCKDEV_IOCTL_DATA(g_object_ref(buffer));
        if (!(urb.endpoint & 0x80))
            submitted.outData = QByteArray(reinterpret_cast<const char*>(buffer->data), buffer->data_len);
    }
    submitted.memory = memory;
    return device->submit(call.client, submitted);
}

// The kernel writes status and length into the program's URB, the IN bytes
// into its buffer, and the URB's address into the pointer the argument
// points to.
int reapUrb(UsbfsDevice* device, Call& call)
{
    ReapedUrb reaped;
    const int result = device->reap(call.client, &reaped);
    if (result != 0)
        return result;
    auto* memory = static_cast<UrbMemory*>(reaped.memory.get());
    auto* urb = reinterpret_cast<usbdevfs_urb*>(memory->urb->data);
    urb->status = reaped.status;
    urb->actual_length = reaped.actualLength;
    if (memory->buffer && !reaped.inData.isEmpty())
        std::memcpy(memory->buffer->data, reaped.inData.constData(),
                    static_cast<size_t>(qMin(reaped.inData.size(), memory->buffer->data_len)));
    UMockdevIoctlData* pointer = call.resolveArgument(sizeof(void*));
    if (!pointer || !umockdev_ioctl_data_set_ptr(pointer, 0, memory->urb)) {
        report("cannot hand a reaped URB back to the program", kTool);
        return -EFAULT;
    }
    return 0;
}

template <typename T>
bool readArgument(Call& call, T* value)
{
    UMockdevIoctlData* data = call.resolveArgument(sizeof(T));
    if (!data)
        return false;
    std::memcpy(value, data->data, sizeof(T));
    return true;
}

int answer(UsbfsDevice* device, Call& call)
{
    switch (call.request) {
    case USBDEVFS_GET_CAPABILITIES: {
        quint32 caps = 0;
        const int result = device->capabilities(&caps);
        if (result != 0)
            return result;
        UMockdevIoctlData* data = call.resolveArgument(sizeof caps);
        if (!data)
            return -EFAULT;
        std::memcpy(data->data, &caps, sizeof caps);
        return 0;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        usbdevfs_disconnect_claim claim;
        if (!readArgument(call, &claim))
            return -EFAULT;
        return device->claimInterface(call.client, claim.interface);
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        unsigned int interface = 0;
        if (!readArgument(call, &interface))
            return -EFAULT;
        return call.request == USBDEVFS_CLAIMINTERFACE ? device->claimInterface(call.client, interface)
                                                       : device->releaseInterface(call.client, interface);
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        // No kernel driver is bound, so there is none to name or detach.
        return -ENODATA;
    case USBDEVFS_SUBMITURB:
        return submitUrb(device, call);
    case USBDEVFS_REAPURBNDELAY:
        return reapUrb(device, call);
    case USBDEVFS_DISCARDURB: {
        // The argument is the URB's address itself.
        quint64 address = 0;
        std::memcpy(&address, call.arg->data,
                    qMin<size_t>(sizeof address, static_cast<size_t>(call.arg->data_len)));
        return device->discard(call.client, address);
    }
    default:
        break;
    }
    static std::set<gulong> reported;
    if (reported.insert(call.request).second)
        report(QString("ioctl 0x%1 not emulated; the program gets ENOTTY").arg(call.request, 0, 16), kTool);
    return -ENOTTY;
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData)
{
    Call call(client);
    const int result = answer(static_cast<UsbfsDevice*>(userData), call);
    // Every ioctl completes at once: the preload lets the program make no
    // other call on the node while one is outstanding.
    umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? -result : 0);
    return TRUE;
}

void onClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData)
{
    static_cast<UsbfsDevice*>(userData)->closed(client);
}

QByteArray rootHubDescriptors()
{
    // A USB 2.0 root hub: one configuration, one hub interface with its
    // interrupt status endpoint.
    static const unsigned char d[] = {
        18, 1, 0x00, 0x02, 9, 0, 1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x06, 0, 0, 0, 1,
        9, 2, 25, 0, 1, 1, 0, 0xE0, 0,
        9, 4, 0, 0, 1, 9, 0, 0, 0,
        7, 5, 0x81, 3, 4, 0, 12,
    };
    return QByteArray(reinterpret_cast<const char*>(d), sizeof d);
}

// One USB device on bus 1 in umockdev's record format. The testbed's
// add_device would check the parent against the real /sys (it expects to
// run under its own preload); the record format takes the path as given.
// Text attributes end in a newline, as the kernel writes them (the format
// spells it as a backslash and an n).
QByteArray usbDeviceRecord(const QByteArray& sysPath, int devnum, const QByteArray& descriptors, quint16 vendor,
                           quint16 product)
{
    const int bus = SimDevice::kBusNumber;
    const QByteArray node
        = QString("bus/usb/%1/%2").arg(bus, 3, 10, QChar('0')).arg(devnum, 3, 10, QChar('0')).toLatin1();
    const QByteArray vid = QByteArray::number(vendor, 16).rightJustified(4, '0');
    const QByteArray pid = QByteArray::number(product, 16).rightJustified(4, '0');
    QByteArray r;
    r += "P: " + sysPath + "\n";
    r += "N: " + node + "\n";
    r += "E: DEVNAME=/dev/" + node + "\n";
    r += "E: DEVTYPE=usb_device\n";
    r += "E: SUBSYSTEM=usb\n";
    r += "E: BUSNUM=" + QByteArray::number(bus).rightJustified(3, '0') + "\n";
    r += "E: DEVNUM=" + QByteArray::number(devnum).rightJustified(3, '0') + "\n";
    r += "E: PRODUCT=" + QByteArray::number(vendor, 16) + "/" + QByteArray::number(product, 16) + "/100\n";
    r += "A: busnum=" + QByteArray::number(bus) + "\\n\n";
    r += "A: devnum=" + QByteArray::number(devnum) + "\\n\n";
    r += "A: speed=480\\n\n";
    r += "A: bConfigurationValue=1\\n\n";
    r += "A: bNumConfigurations=1\\n\n";
    r += "A: idVendor=" + vid + "\\n\n";
    r += "A: idProduct=" + pid + "\\n\n";
    r += "H: descriptors=" + descriptors.toHex().toUpper() + "\n";
    r += "\n";
    return r;
}

// Puts `what` and the GError's message into `error`, clears the GError and
// gives false, for setUp to return.
bool fail(const QString& what, GError** gerror, QString* error)
{
    *error = QString("%1: %2").arg(what, *gerror ? (*gerror)->message : "unknown error");
    g_clear_error(gerror);
    return false;
}

} // namespace

const char UsbfsTestbed::kPreload[] = "libumockdev-preload.so.0";

UsbfsTestbed::UsbfsTestbed(UsbfsDevice* device)
    : m_device(device), m_testbed(umockdev_testbed_new()), m_handler(umockdev_ioctl_base_new()),
      m_node(device->devicePath().toLatin1())
{
}

UsbfsTestbed::~UsbfsTestbed()
{
    if (m_attached)
        umockdev_testbed_detach_ioctl(m_testbed, m_node.constData(), nullptr);
    g_object_unref(m_handler);
    g_object_unref(m_testbed);
}

bool UsbfsTestbed::setUp(QString* error)
{
    // The handler must be in place before the device node exists.
    g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(onIoctl), m_device);
    g_signal_connect(m_handler, "client-vanished", G_CALLBACK(onClientVanished), m_device);
    GError* gerror = nullptr;
    m_attached = umockdev_testbed_attach_ioctl(m_testbed, m_node.constData(), m_handler, &gerror);
    if (!m_attached)
        return fail(QString("cannot attach to %1").arg(m_device->devicePath()), &gerror, error);

    QByteArray devices = usbDeviceRecord("/devices/usb1", 1, rootHubDescriptors(), 0x1d6b, 0x0002);
    if (!m_device->absent())
        devices += usbDeviceRecord("/devices/usb1/1-1", SimDevice::kDeviceNumber, m_device->descriptors(),
                                   SimDevice::kVendor, m_device->productId());
    if (!umockdev_testbed_add_from_string(m_testbed, devices.constData(), &gerror))
        return fail("cannot add the devices", &gerror, error);

    if (!m_device->absent()) {
        gchar* root = umockdev_testbed_get_root_dir(m_testbed);
        const QString node = QString::fromLocal8Bit(root) + m_device->devicePath();
        g_free(root);
        if (!m_reapSignal.create(node, error))
            return false;
        m_device->setReapSignal(&m_reapSignal);
    }
    return true;
}

} // namespace vqsim
