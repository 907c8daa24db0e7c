#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdio>

namespace vqsim {

// One usbmon event as Linux's binary (mmapped) interface records it and
// pcap stores it under linktype 220: 'S' when a transfer is submitted, 'C'
// when it completes. Bulk OUT data travels on the submission, bulk IN data
// on the completion.
struct UsbmonRecord {
    quint64 id = 0;             // pairs a submission with its completion
    char type = 'S';
    quint8 xferType = 3;        // 3 = bulk
    quint8 endpoint = 0;        // bit 7 set for IN
    quint8 devnum = 0;
    quint16 busnum = 0;
    qint64 tsSec = 0;
    qint32 tsUsec = 0;
    qint32 status = 0;          // -EINPROGRESS on submission, 0 or -errno on completion
    quint32 length = 0;         // asked (submission) or transferred (completion)
    quint32 xferFlags = 0;
    QByteArray data;            // the captured bytes (len_cap = data.size())
};

enum { kUsbmonHeaderSize = 64, kLinktypeUsbLinuxMmapped = 220 };

// Appends records to a pcap file; each record is flushed at once, so a file
// left by a killed process stays readable up to its last whole record.
class UsbmonWriter {
public:
    UsbmonWriter() = default;
    ~UsbmonWriter() { close(); }
    UsbmonWriter(const UsbmonWriter&) = delete;
    UsbmonWriter& operator=(const UsbmonWriter&) = delete;

    bool open(const QString& path, QString* error);
    bool isOpen() const { return m_file != nullptr; }
    void close();
    void write(const UsbmonRecord& record);

    // The 64-byte header, little-endian, as usbmon lays it out.
    static QByteArray header(const UsbmonRecord& record);

private:
    std::FILE* m_file = nullptr;
};

// Reads a little-endian pcap file of linktype 220. A record cut short at the
// end of the file ends the reading without an error.
bool readUsbmonCapture(const QString& path, QList<UsbmonRecord>* records, QString* error);

} // namespace vqsim
