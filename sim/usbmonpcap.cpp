#include "sim/usbmonpcap.h"

#include <QFile>
#include <QtEndian>

namespace vqsim {

namespace {

const quint32 kMagicMicro = 0xA1B2C3D4;
const quint32 kMagicNano = 0xA1B23C4D;
const quint32 kMagicPcapng = 0x0A0D0D0A;
const quint32 kSnapLength = 262144;

// flag_setup '-' says no setup packet was captured (bulk transfers have none);
// flag_data 0 says the data bytes follow, '<' and '>' that the direction has
// none at this stage.
char dataFlag(const UsbmonRecord& r)
{
    if (!r.data.isEmpty())
        return 0;
    const bool in = r.endpoint & 0x80;
    if (r.type == 'S' && in)
        return '<';
    if (r.type == 'C' && !in)
        return '>';
    return 0;
}

} // namespace

QByteArray UsbmonWriter::header(const UsbmonRecord& r)
{
    char p[kUsbmonHeaderSize] = {};
    qToLittleEndian<quint64>(r.id, p);
    p[8] = r.type;
    p[9] = static_cast<char>(r.xferType);
    p[10] = static_cast<char>(r.endpoint);
    p[11] = static_cast<char>(r.devnum);
    qToLittleEndian<quint16>(r.busnum, p + 12);
    p[14] = '-';
    p[15] = dataFlag(r);
    qToLittleEndian<qint64>(r.tsSec, p + 16);
    qToLittleEndian<qint32>(r.tsUsec, p + 24);
    qToLittleEndian<qint32>(r.status, p + 28);
    qToLittleEndian<quint32>(r.length, p + 32);
    qToLittleEndian<quint32>(static_cast<quint32>(r.data.size()), p + 36);
    // 40..47 setup bytes, 48 interval, 52 start_frame: zero for bulk.
    qToLittleEndian<quint32>(r.xferFlags, p + 56);
    // 60 ndesc: zero, no isochronous descriptors.
    return QByteArray(p, kUsbmonHeaderSize);
}

bool UsbmonWriter::open(const QString& path, QString* error)
{
    close();
    m_file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!m_file) {
        *error = QString("cannot create capture %1").arg(path);
        return false;
    }
    char global[24];
    qToLittleEndian<quint32>(kMagicMicro, global);
    qToLittleEndian<quint16>(2, global + 4);
    qToLittleEndian<quint16>(4, global + 6);
    qToLittleEndian<qint32>(0, global + 8);
    qToLittleEndian<quint32>(0, global + 12);
    qToLittleEndian<quint32>(kSnapLength, global + 16);
    qToLittleEndian<quint32>(kLinktypeUsbLinuxMmapped, global + 20);
    std::fwrite(global, 1, sizeof global, m_file);
    std::fflush(m_file);
    return true;
}

void UsbmonWriter::close()
{
    if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
}

void UsbmonWriter::write(const UsbmonRecord& record)
{
    if (!m_file)
        return;
    const QByteArray h = header(record);
    const quint32 size = static_cast<quint32>(h.size() + record.data.size());
    char rec[16];
    qToLittleEndian<quint32>(static_cast<quint32>(record.tsSec), rec);
    qToLittleEndian<quint32>(static_cast<quint32>(record.tsUsec), rec + 4);
    qToLittleEndian<quint32>(size, rec + 8);
    qToLittleEndian<quint32>(size, rec + 12);
    std::fwrite(rec, 1, sizeof rec, m_file);
    std::fwrite(h.constData(), 1, static_cast<size_t>(h.size()), m_file);
    std::fwrite(record.data.constData(), 1, static_cast<size_t>(record.data.size()), m_file);
    std::fflush(m_file);
}

bool readUsbmonCapture(const QString& path, QList<UsbmonRecord>* records, QString* error)
{
    records->clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QString("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray global = file.read(24);
    if (global.size() < 24) {
        *error = QString("%1 is too short for a pcap file").arg(path);
        return false;
    }
    const quint32 magic = qFromLittleEndian<quint32>(global.constData());
    if (magic == kMagicPcapng) {
        *error = QString("%1 is a pcapng file; save it in pcap format (linktype 220) first").arg(path);
        return false;
    }
    if (magic != kMagicMicro && magic != kMagicNano) {
        *error = QString("%1 is not a little-endian pcap file").arg(path);
        return false;
    }
    const quint32 linktype = qFromLittleEndian<quint32>(global.constData() + 20);
    if (linktype != kLinktypeUsbLinuxMmapped) {
        *error = QString("%1 has linktype %2, expected 220 (USB Linux, mmapped usbmon header)").arg(path).arg(linktype);
        return false;
    }
    for (;;) {
        const QByteArray rec = file.read(16);
        if (rec.size() < 16)
            break;
        const quint32 captured = qFromLittleEndian<quint32>(rec.constData() + 8);
        if (captured > kSnapLength * 4) {
            *error = QString("%1: record of %2 bytes, the file is damaged").arg(path).arg(captured);
            return false;
        }
        const QByteArray body = file.read(captured);
        if (static_cast<quint32>(body.size()) < captured || captured < kUsbmonHeaderSize)
            break;
        const char* p = body.constData();
        UsbmonRecord r;
        r.id = qFromLittleEndian<quint64>(p);
        r.type = p[8];
        r.xferType = static_cast<quint8>(p[9]);
        r.endpoint = static_cast<quint8>(p[10]);
        r.devnum = static_cast<quint8>(p[11]);
        r.busnum = qFromLittleEndian<quint16>(p + 12);
        r.tsSec = qFromLittleEndian<qint64>(p + 16);
        r.tsUsec = qFromLittleEndian<qint32>(p + 24);
        r.status = qFromLittleEndian<qint32>(p + 28);
        r.length = qFromLittleEndian<quint32>(p + 32);
        const quint32 lenCap = qFromLittleEndian<quint32>(p + 36);
        r.xferFlags = qFromLittleEndian<quint32>(p + 56);
        r.data = body.mid(kUsbmonHeaderSize, static_cast<int>(qMin<quint32>(lenCap, captured - kUsbmonHeaderSize)));
        records->append(r);
    }
    return true;
}

} // namespace vqsim
