#include "wire.h"

#include <QBitArray>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QtEndian>


namespace station {

namespace {

const char kFrameHead = 0x7E;
const int kFrameOverhead = 12;      // head, code, two reserved, size; crc
const int kDescriptorSize = 19;

// tshark shows the URB type as S, 'S' or its code 83, by version.
QString urbType(QString field)
{
    field.remove('\'');
    if (field == "83")
        return "S";
    if (field == "67")
        return "C";
    return field;
}

// The first `size` bytes of a run-length coded block (pairs of count and
// value); fewer when the block is shorter.
QByteArray decodeHead(const QByteArray& pairs, int size)
{
    QByteArray out;
    for (int i = 0; i + 1 < pairs.size() && out.size() < size; i += 2)
        out.append(QByteArray(static_cast<uchar>(pairs.at(i)), pairs.at(i + 1)));
    return out.left(size);
}

QString frameWord(quint8 code, const QByteArray& payload)
{
    switch (code) {
    case 0x12:
        return "S";
    case 0x40:
        if (payload.size() < 6)
            return "T?";
        return QString("T%1/%2x%3")
            .arg(qFromLittleEndian<quint16>(payload.constData()))
            .arg(qFromLittleEndian<quint16>(payload.constData() + 2))
            .arg(static_cast<quint8>(payload.at(4)));
    case 0x41: {
        const QByteArray descriptor = decodeHead(payload, kDescriptorSize);
        if (descriptor.size() < kDescriptorSize)
            return "U?";
        return QString("U%1h%2").arg(static_cast<quint8>(descriptor.at(0))).arg(static_cast<quint8>(descriptor.at(9)));
    }
    case 0x42:
        return "E";
    case 0x43:
        return "R";
    default:
        return QString("?%1").arg(code, 2, 16, QChar('0'));
    }
}

} // namespace

QString UsbRecord::text() const
{
    return QString("%1 ep 0x%2 urb %3 data %4 status %5 %6")
        .arg(urbType)
        .arg(endpoint, 2, 16, QChar('0'))
        .arg(urbLength)
        .arg(dataLength)
        .arg(status)
        .arg(QString::fromLatin1(data.toHex()));
}

QList<UsbRecord> readCapture(const QString& path, QString* error)
{
    if (!QFile::exists(path))
        return {};
    QProcess tshark;
    tshark.start("tshark", {"-r", path, "-T", "fields", "-e", "usb.urb_type", "-e", "usb.endpoint_address", "-e",
                            "usb.urb_len", "-e", "usb.data_len", "-e", "usb.urb_status", "-e", "usb.capdata", "-e",
                            "usb.urb_id"});
    if (!tshark.waitForFinished(120000) || tshark.exitStatus() != QProcess::NormalExit || tshark.exitCode() != 0) {
        *error = QString("tshark could not read %1: %2%3")
                     .arg(path, tshark.errorString(), QString::fromLocal8Bit(tshark.readAllStandardError()));
        return {};
    }
    QList<UsbRecord> records;
    const QList<QByteArray> lines = tshark.readAllStandardOutput().split('\n');
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> f = line.split('\t');
        if (f.size() < 7) {
            *error = "tshark gave a line of too few fields: " + QString::fromLatin1(line);
            return {};
        }
        UsbRecord r;
        r.urbType = urbType(QString::fromLatin1(f.at(0)));
        r.endpoint = f.at(1).toInt(nullptr, 0);
        r.urbLength = f.at(2).toInt();
        r.dataLength = f.at(3).toInt();
        r.status = f.at(4).toInt();
        r.data = QByteArray::fromHex(QByteArray(f.at(5)).replace(':', ""));
        r.id = QString::fromLatin1(f.at(6));
        records.append(r);
    }
    return records;
}

QString wireSummary(const QList<UsbRecord>& records, bool markUndelivered)
{
    // How many bytes of each OUT transfer the device took: the length its
    // completion reports, none when it failed or never completed.
    QMap<QString, int> taken;
    for (const UsbRecord& r : records)
        if (r.urbType == "C" && r.isOut())
            taken.insert(r.id, r.status == 0 ? r.urbLength : 0);

    // The station's writes, in order; frames may span several transfers.
    QByteArray out;
    QBitArray delivered;
    for (const UsbRecord& r : records) {
        if (r.urbType != "S" || !r.isOut())
            continue;
        const int from = out.size();
        out.append(r.data);
        delivered.resize(out.size());
        delivered.fill(true, from, from + qMin(r.data.size(), taken.value(r.id, 0)));
    }

    QStringList words;
    int at = 0;
    while (at < out.size()) {
        if (out.at(at) != kFrameHead || out.size() - at < kFrameOverhead) {
            words << "junk";
            break;
        }
        const quint32 size = qFromLittleEndian<quint32>(out.constData() + at + 4);
        if (size < static_cast<quint32>(kFrameOverhead) || size > static_cast<quint32>(out.size() - at)) {
            words << "junk";
            break;
        }
        const QByteArray payload = out.mid(at + 8, static_cast<int>(size) - kFrameOverhead);
        QString word = frameWord(static_cast<quint8>(out.at(at + 1)), payload);
        if (markUndelivered) {
            bool whole = true;
            for (int i = at; i < at + static_cast<int>(size) && whole; ++i)
                whole = delivered.testBit(i);
            if (!whole)
                word += "!";
        }
        words << word;
        at += static_cast<int>(size);
    }
    return words.join(' ');
}

int statusReads(const QList<UsbRecord>& records)
{
    int reads = 0;
    for (const UsbRecord& r : records)
        if (r.urbType == "S" && !r.isOut() && r.urbLength == 42)
            ++reads;
    return reads;
}

} // namespace station
