#include "sim/usbfsdevice.h"

#include <QFile>
#include <QtEndian>

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vqsim {

namespace {

const int kPipePage = 4096;

} // namespace

ReapSignal::~ReapSignal()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ReapSignal::create(const QString& path, QString* error)
{
    const QByteArray name = QFile::encodeName(path);
    ::unlink(name.constData());
    if (::mkfifo(name.constData(), 0666) != 0) {
        *error = QString("cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // Opened for reading and writing, so the FIFO never blocks an open and
    // never reports a hang-up while the program has it open.
    m_fd = ::open(name.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        *error = QString("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // One page: full and empty are then one write and one read apart.
    ::fcntl(m_fd, F_SETPIPE_SZ, kPipePage);
    setReady(false);
    return true;
}

void ReapSignal::setReady(bool ready)
{
    if (m_fd < 0 || ready == m_ready)
        return;
    m_ready = ready;
    if (ready)
        drain();
    else
        fill();
}

void ReapSignal::fill()
{
    static const char zeros[kPipePage] = {};
    while (::write(m_fd, zeros, sizeof zeros) > 0) {
    }
}

void ReapSignal::drain()
{
    char buffer[kPipePage];
    while (::read(m_fd, buffer, sizeof buffer) > 0) {
    }
}

const quint32 UsbfsDevice::kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION
    | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

UsbfsDevice::UsbfsDevice(const DeviceSettings& settings)
{
    m_printer.configure(settings, false);
}

QString UsbfsDevice::devicePath() const
{
    return QString("/dev/bus/usb/%1/%2")
        .arg(SimDevice::kBusNumber, 3, 10, QChar('0'))
        .arg(SimDevice::kDeviceNumber, 3, 10, QChar('0'));
}

QByteArray UsbfsDevice::descriptors() const
{
    const QList<EndpointInfo> endpoints = m_printer.endpoints();
    QByteArray d(18, '\0');
    char* p = d.data();
    p[0] = 18;
    p[1] = 1;                                  // device
    qToLittleEndian<quint16>(0x0200, p + 2);   // USB 2.0
    p[7] = 64;                                 // control endpoint packet size
    qToLittleEndian<quint16>(SimDevice::kVendor, p + 8);
    qToLittleEndian<quint16>(m_printer.productId(), p + 10);
    qToLittleEndian<quint16>(0x0100, p + 12);  // device release
    p[17] = 1;                                 // one configuration

    const int total = 9 + 9 + 7 * endpoints.size();
    QByteArray c(9 + 9, '\0');
    char* q = c.data();
    q[0] = 9;
    q[1] = 2;                                  // configuration
    qToLittleEndian<quint16>(static_cast<quint16>(total), q + 2);
    q[4] = 1;                                  // one interface
    q[5] = 1;                                  // bConfigurationValue
    q[7] = static_cast<char>(0xC0);            // self-powered
    q[8] = 50;                                 // 100 mA
    q[9] = 9;
    q[10] = 4;                                 // interface 0, alternate setting 0
    q[13] = static_cast<char>(endpoints.size());
    q[14] = static_cast<char>(0xFF);           // the vendor's own class
    for (const EndpointInfo& e : endpoints) {
        char ep[7] = {7, 5};
        ep[2] = static_cast<char>(e.address);
        ep[3] = static_cast<char>(e.attributes);
        qToLittleEndian<quint16>(e.maxPacketSize, ep + 4);
        ep[6] = static_cast<char>(e.interval);
        c.append(ep, sizeof ep);
    }
    return d + c;
}

void UsbfsDevice::setReapSignal(ReapSignal* signal)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signal = signal;
    signalReaping();
}

int UsbfsDevice::capabilities(quint32* caps)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_printer.unplugged())
        return -ENODEV;
    *caps = kCapabilities;
    return 0;
}

int UsbfsDevice::claimInterface(const void*, unsigned int interface)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_printer.unplugged())
        return -ENODEV;
    if (interface != 0)
        return -ENOENT;
    if (m_printer.claimRefused())
        return -EBUSY;
    return 0;
}

int UsbfsDevice::releaseInterface(const void*, unsigned int interface)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_printer.unplugged())
        return -ENODEV;
    return interface == 0 ? 0 : -EINVAL;
}

int UsbfsDevice::submit(const void* client, const SubmittedUrb& submitted)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (submitted.type != USBDEVFS_URB_TYPE_BULK && submitted.type != USBDEVFS_URB_TYPE_INTERRUPT)
        return -EINVAL;
    if (submitted.length < 0)
        return -EINVAL;

    Urb urb;
    urb.client = client;
    urb.submitted = submitted;
    urb.captureId = m_printer.newTransferId();
    const bool in = submitted.endpoint & 0x80;
    m_printer.recordSubmission(urb.captureId, submitted.endpoint, submitted.length,
                               in ? QByteArray() : submitted.outData);

    // Refused URBs are recorded as transfers that failed at once, as the
    // stand-in records them, so both captures hold the same transfers.
    if (m_printer.unplugged()) {
        m_printer.recordCompletion(urb.captureId, submitted.endpoint, TransferStatus::NoDevice, 0, QByteArray());
        return -ENODEV;
    }
    if (!m_printer.hasEndpoint(submitted.endpoint)) {
        m_printer.recordCompletion(urb.captureId, submitted.endpoint, TransferStatus::NoEndpoint, 0, QByteArray());
        return -ENOENT;
    }

    if (in) {
        m_pending.push_back(urb);
        answerReads();
    } else {
        const int taken = m_printer.write(submitted.outData);
        complete(urb, TransferStatus::Done, taken, QByteArray());
        if (m_printer.unplugged())
            unplugPending();
        else
            answerReads();
    }
    signalReaping();
    return 0;
}

int UsbfsDevice::reap(const void* client, ReapedUrb* reaped)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_completed.begin(); it != m_completed.end(); ++it) {
        if (it->client != client)
            continue;
        reaped->address = it->submitted.address;
        reaped->status = it->status;
        reaped->actualLength = it->actualLength;
        reaped->inData = it->inData;
        reaped->memory = it->submitted.memory;
        m_completed.erase(it);
        signalReaping();
        return 0;
    }
    return m_printer.unplugged() ? -ENODEV : -EAGAIN;
}

int UsbfsDevice::discard(const void* client, quint64 address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_printer.unplugged())
        return -ENODEV;
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->client == client && it->submitted.address == address) {
            Urb urb = *it;
            m_pending.erase(it);
            complete(urb, TransferStatus::TimedOut, 0, QByteArray());
            signalReaping();
            return 0;
        }
    }
    // Already complete (or never submitted): the kernel says the same.
    return -EINVAL;
}

void UsbfsDevice::closed(const void* client)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.remove_if([client](const Urb& u) { return u.client == client; });
    for (auto it = m_completed.begin(); it != m_completed.end();)
        it = it->client == client ? m_completed.erase(it) : it + 1;
    m_printer.writePageFiles();
    signalReaping();
}

void UsbfsDevice::finish()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_printer.writePageFiles();
}

// The caller holds the mutex.
void UsbfsDevice::complete(Urb urb, TransferStatus status, int actualLength, const QByteArray& inData)
{
    urb.status = SimDevice::errnoStatus(status);
    urb.actualLength = actualLength;
    urb.inData = inData;
    m_printer.recordCompletion(urb.captureId, urb.submitted.endpoint, status, actualLength, inData);
    m_completed.push_back(urb);
}

// Pending reads take the controller's replies in the order they were
// submitted. The caller holds the mutex.
void UsbfsDevice::answerReads()
{
    for (auto it = m_pending.begin(); it != m_pending.end() && m_printer.hasReply();) {
        if (!m_printer.answers(it->submitted.endpoint)) {
            ++it;
            continue;
        }
        QByteArray delivered;
        const TransferStatus status = m_printer.takeReply(it->submitted.length, &delivered);
        Urb urb = *it;
        it = m_pending.erase(it);
        complete(urb, status, delivered.size(), delivered);
    }
}

// An unplugged device ends every URB in flight; they can still be reaped.
// The caller holds the mutex.
void UsbfsDevice::unplugPending()
{
    while (!m_pending.empty()) {
        Urb urb = m_pending.front();
        m_pending.pop_front();
        complete(urb, TransferStatus::NoDevice, 0, QByteArray());
    }
}

// The caller holds the mutex.
void UsbfsDevice::signalReaping()
{
    if (m_signal)
        m_signal->setReady(!m_completed.empty());
}

} // namespace vqsim
