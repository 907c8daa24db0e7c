#pragma once

// The simulated printer as a USB device, whatever carries its transfers: the
// libusb stand-in calls it from libusb_bulk_transfer, the emulated usbfs
// device from the URBs a real libusb submits. It holds the controller with
// the page writer beside it, the VQSIM_* settings with their scenario rules,
// and the capture, so both ways of reaching the printer behave and record
// alike.

#include "sim/controller.h"
#include "sim/usbmonpcap.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

namespace vqsim {

enum class Scenario { Normal, Absent, ClaimFails, Silent, UnplugAfter, ShortWrite, InterruptFirst };

// What the VQSIM_* variables ask for.
struct DeviceSettings {
    Scenario scenario = Scenario::Normal;
    int scenarioCount = 0; // N of unplug-after:N and short-write:N
    quint16 productId = 0x2019;
    ControllerOptions controller;
    QString capturePath;
    QString outputDir;

    // Reads VQSIM_SCENARIO, VQSIM_PRINT_POLLS, VQSIM_PRODUCT_ID,
    // VQSIM_CAPTURE and VQSIM_OUT; a value that cannot be understood is
    // reported on standard error and the default is used.
    static DeviceSettings fromEnvironment();
};

struct EndpointInfo {
    quint8 address = 0;
    quint8 attributes = 0; // transfer type in the two low bits
    quint16 maxPacketSize = 0;
    quint8 interval = 0;
};

// How a transfer ended; each carrier turns it into its own result codes.
enum class TransferStatus { Done, Overflow, TimedOut, NoDevice, NoEndpoint };

class SimDevice {
public:
    static const quint16 kVendor = 0x8866;
    static const quint8 kBulkIn = 0x81;
    static const quint8 kBulkOut = 0x02;
    static const quint8 kInterruptIn = 0x83;
    static const quint8 kBusNumber = 1;
    static const quint8 kDeviceNumber = 5;

    // Starts afresh with these settings: a new controller whose pages go to
    // the settings' output folder, the capture file opened anew, no OUT
    // transfer counted. Frames are kept for tests to read only when
    // `keepFrames` is set (a long run keeps none).
    void configure(const DeviceSettings& settings, bool keepFrames);

    const DeviceSettings& settings() const { return m_settings; }
    Scenario scenario() const { return m_settings.scenario; }
    quint16 productId() const { return m_settings.productId; }

    bool absent() const { return m_settings.scenario == Scenario::Absent; }
    bool claimRefused() const { return m_settings.scenario == Scenario::ClaimFails; }
    bool unplugged() const { return m_unplugged; }

    // Interface 0, alternate setting 0, in descriptor order.
    QList<EndpointInfo> endpoints() const;
    bool hasEndpoint(quint8 address) const;

    // An OUT transfer: the bytes the printer takes (all of them, or half on
    // the short-write:N transfer) go to the controller. Counts the transfer
    // for unplug-after:N, which unplugs the device once N have been taken.
    int write(const QByteArray& data);

    // Whether a read on `endpoint` can ever be answered (only the bulk IN
    // carries replies, and a silent printer gives none).
    bool answers(quint8 endpoint) const;
    bool hasReply() const { return m_controller->hasReply(); }
    // Hands the next reply to a read of `length` bytes: Done, or Overflow
    // when the reply is longer (then `delivered` holds the first `length`).
    TransferStatus takeReply(int length, QByteArray* delivered);

    Controller& controller() { return *m_controller; }
    const Controller& controller() const { return *m_controller; }

    // Writes the files of the pages changed since their files were last
    // written: the carriers call it when the link closes or the program ends.
    void writePageFiles() { m_controller->handOverChangedPages(); }

    // The capture: a submission record when a transfer starts, a completion
    // record when it ends, under one id. Bulk OUT data goes with the
    // submission, bulk IN data with the completion.
    quint64 newTransferId() { return m_nextId += 0x40; }
    void recordSubmission(quint64 id, quint8 endpoint, int length, const QByteArray& outData);
    void recordCompletion(quint64 id, quint8 endpoint, TransferStatus status, int transferred,
                          const QByteArray& inData);

    // usbmon reports a completion's status as a negative errno.
    static qint32 errnoStatus(TransferStatus status);

private:
    DeviceSettings m_settings;
    std::unique_ptr<Controller> m_controller{new Controller};
    UsbmonWriter m_capture;
    int m_outTransfers = 0;
    bool m_unplugged = false;
    quint64 m_nextId = 0xffff888000001000ull;
};

} // namespace vqsim
