#include "sim/simdevice.h"

#include "sim/pagefiles.h"
#include "sim/report.h"

#include <QDateTime>

namespace vqsim {

namespace {

const quint8 kTransferTypeBulk = 2;
const quint8 kTransferTypeInterrupt = 3;

EndpointInfo endpoint(quint8 address, quint8 type)
{
    EndpointInfo e;
    e.address = address;
    e.attributes = type;
    e.maxPacketSize = type == kTransferTypeBulk ? 512 : 64;
    e.interval = type == kTransferTypeInterrupt ? 4 : 0;
    return e;
}

} // namespace

DeviceSettings DeviceSettings::fromEnvironment()
{
    DeviceSettings s;

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
        s.controller.busy = true;
    } else if (name == "silent") {
        s.scenario = Scenario::Silent;
    } else if (name == "never-receive") {
        s.controller.neverReceive = true;
    } else if (name == "error-state") {
        s.controller.errorState = true;
    } else if (name == "garbage-header") {
        s.controller.garbageHeader = true;
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
            s.controller.printPolls = n;
        else
            report(QString("VQSIM_PRINT_POLLS \"%1\" not understood; using 1").arg(QString::fromLocal8Bit(polls)));
    }

    const QByteArray product = qgetenv("VQSIM_PRODUCT_ID");
    if (!product.isEmpty()) {
        bool ok = false;
        const uint id = QString::fromLocal8Bit(product).toUInt(&ok, 0);
        if (ok && id <= 0xFFFF)
            s.productId = static_cast<quint16>(id);
        else
            report(QString("VQSIM_PRODUCT_ID \"%1\" not understood; using 0x2019").arg(QString::fromLocal8Bit(product)));
    }

    s.capturePath = QString::fromLocal8Bit(qgetenv("VQSIM_CAPTURE"));
    s.outputDir = QString::fromLocal8Bit(qgetenv("VQSIM_OUT"));
    return s;
}

void SimDevice::configure(const DeviceSettings& settings, bool keepFrames)
{
    m_settings = settings;
    m_controller.reset(new Controller(settings.controller));
    m_controller->setKeepFrames(keepFrames);
    const PageWriter writer(settings.outputDir);
    m_controller->setPageObserver([writer](const PageRecord& page) { writer.write(page); });

    m_capture.close();
    QString error;
    if (!settings.capturePath.isEmpty() && !m_capture.open(settings.capturePath, &error))
        report(error);

    m_outTransfers = 0;
    m_unplugged = settings.scenario == Scenario::UnplugAfter && settings.scenarioCount == 0;
}

QList<EndpointInfo> SimDevice::endpoints() const
{
    QList<EndpointInfo> list;
    if (m_settings.scenario == Scenario::InterruptFirst)
        list.append(endpoint(kInterruptIn, kTransferTypeInterrupt));
    list.append(endpoint(kBulkIn, kTransferTypeBulk));
    list.append(endpoint(kBulkOut, kTransferTypeBulk));
    return list;
}

bool SimDevice::hasEndpoint(quint8 address) const
{
    for (const EndpointInfo& e : endpoints()) {
        if (e.address == address)
            return true;
    }
    return false;
}

int SimDevice::write(const QByteArray& data)
{
    ++m_outTransfers;
    int taken = data.size();
    if (m_settings.scenario == Scenario::ShortWrite && m_outTransfers == m_settings.scenarioCount)
        taken = data.size() / 2;
    m_controller->receive(data.left(taken));
    if (m_settings.scenario == Scenario::UnplugAfter && m_outTransfers >= m_settings.scenarioCount)
        m_unplugged = true;
    return taken;
}

bool SimDevice::answers(quint8 endpoint) const
{
    return endpoint == kBulkIn && m_settings.scenario != Scenario::Silent;
}

TransferStatus SimDevice::takeReply(int length, QByteArray* delivered)
{
    const QByteArray reply = m_controller->takeReply();
    *delivered = reply.left(length);
    return reply.size() > length ? TransferStatus::Overflow : TransferStatus::Done;
}

qint32 SimDevice::errnoStatus(TransferStatus status)
{
    switch (status) {
    case TransferStatus::Done: return 0;
    case TransferStatus::TimedOut: return -2;  // the URB was unlinked (ENOENT)
    case TransferStatus::NoDevice: return -19; // ENODEV
    case TransferStatus::Overflow: return -75; // EOVERFLOW
    case TransferStatus::NoEndpoint: break;
    }
    return -71; // EPROTO
}

namespace {

UsbmonRecord usbmonRecord(quint64 id, char type, quint8 endpoint)
{
    UsbmonRecord r;
    r.id = id;
    r.type = type;
    r.endpoint = endpoint;
    r.busnum = SimDevice::kBusNumber;
    r.devnum = SimDevice::kDeviceNumber;
    r.xferFlags = (endpoint & 0x80) ? 0x200 : 0; // URB_DIR_IN
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    r.tsSec = now / 1000;
    r.tsUsec = static_cast<qint32>((now % 1000) * 1000);
    return r;
}

} // namespace

void SimDevice::recordSubmission(quint64 id, quint8 endpoint, int length, const QByteArray& outData)
{
    UsbmonRecord r = usbmonRecord(id, 'S', endpoint);
    r.status = -115; // EINPROGRESS
    r.length = static_cast<quint32>(length);
    r.data = outData;
    m_capture.write(r);
}

void SimDevice::recordCompletion(quint64 id, quint8 endpoint, TransferStatus status, int transferred,
                                 const QByteArray& inData)
{
    UsbmonRecord r = usbmonRecord(id, 'C', endpoint);
    r.status = errnoStatus(status);
    r.length = static_cast<quint32>(transferred);
    r.data = inData;
    m_capture.write(r);
}

} // namespace vqsim
