#pragma once

// The simulated printer as a Linux usbfs device node (/dev/bus/usb/BBB/DDD):
// what the kernel does for the usbdevfs ioctls a real libusb issues, with
// the same device model (controller, scenario rules, capture) as the libusb
// stand-in behind the endpoints. It knows nothing of how the ioctls reach
// it; the ioctl handler of the umockdev testbed (sim/usbfstestbed.h) carries
// them here from the program.
//
// Every call answers at once, as the kernel does for these ioctls: an IN URB
// without a reply to give stays queued here, not as an ioctl in progress,
// until a reply arrives, the program discards it (its timeout) or the
// device is unplugged.

#include "sim/simdevice.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <list>
#include <memory>
#include <mutex>

namespace vqsim {

// A program waits for URBs to reap in poll() on the device node, for
// POLLOUT. The emulated node is a FIFO of one page that is kept full while
// no URB waits and emptied while one does: POLLOUT then means "a URB is
// ready to reap", so a waiting program sleeps instead of spinning on the
// reap call.
class ReapSignal {
public:
    ReapSignal() = default;
    ~ReapSignal();
    ReapSignal(const ReapSignal&) = delete;
    ReapSignal& operator=(const ReapSignal&) = delete;

    // Puts the FIFO in place of whatever is at `path`; not ready at first.
    bool create(const QString& path, QString* error);
    void setReady(bool ready);

private:
    void fill();
    void drain();

    int m_fd = -1;
    bool m_ready = true;
};

// A URB as the program submitted it.
struct SubmittedUrb {
    quint64 address = 0;   // where the program keeps it; reaping hands it back
    quint8 type = 0;       // USBDEVFS_URB_TYPE_*
    quint8 endpoint = 0;
    int length = 0;
    QByteArray outData;    // the bytes of an OUT URB
    // The carrier's hold on the program's URB and buffer, kept until the
    // URB is reaped or the program closes the node.
    std::shared_ptr<void> memory;
};

// A URB handed back by reaping: what the kernel writes into the program's
// URB (status, actual_length) and buffer (the bytes of an IN URB).
struct ReapedUrb {
    quint64 address = 0;
    int status = 0;        // 0 or a negative errno
    int actualLength = 0;
    QByteArray inData;
    std::shared_ptr<void> memory;
};

class UsbfsDevice {
public:
    // Capabilities libusb asks for: zero-length packets, no packet size
    // limit and scatter-gather make every transfer one URB of its full
    // length; reaping works after an unplug, as with the kernel.
    static const quint32 kCapabilities;

    explicit UsbfsDevice(const DeviceSettings& settings);

    // The device as sysfs shows it.
    bool absent() const { return m_printer.absent(); }
    quint16 productId() const { return m_printer.productId(); }
    QString devicePath() const;
    // Device descriptor and configuration descriptor, as sysfs holds them in
    // the "descriptors" attribute (little-endian, as on the bus).
    QByteArray descriptors() const;

    void setReapSignal(ReapSignal* signal);

    // The ioctls; each returns 0 or a negative errno. `client` tells the
    // program's open files apart.
    int capabilities(quint32* caps);
    int claimInterface(const void* client, unsigned int interface);
    int releaseInterface(const void* client, unsigned int interface);
    int submit(const void* client, const SubmittedUrb& urb);
    int reap(const void* client, ReapedUrb* reaped);
    int discard(const void* client, quint64 address);

    // The program closed the node: its URBs are forgotten and the page
    // files written, as when the stand-in's handle is closed.
    void closed(const void* client);
    // Writes outstanding page files (the program has ended).
    void finish();

private:
    struct Urb {
        const void* client = nullptr;
        SubmittedUrb submitted;
        quint64 captureId = 0;
        int status = 0;
        int actualLength = 0;
        QByteArray inData;
    };

    void complete(Urb urb, TransferStatus status, int actualLength, const QByteArray& inData);
    void answerReads();
    void unplugPending();
    void signalReaping();

    mutable std::mutex m_mutex;
    SimDevice m_printer;
    std::list<Urb> m_pending;    // submitted, not yet complete, in submission order
    std::deque<Urb> m_completed; // waiting to be reaped, in completion order
    ReapSignal* m_signal = nullptr;
};

} // namespace vqsim
