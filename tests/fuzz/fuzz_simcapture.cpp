// The simulated printer's capture reader on arbitrary bytes, as a pcap file.
// What it reads is fed to the controller as the capture decoder does, and
// must read back the same when written out again.

#include "fuzzsupport.h"

#include "sim/controller.h"
#include "sim/usbmonpcap.h"

namespace {

bool sameRecord(const vqsim::UsbmonRecord& a, const vqsim::UsbmonRecord& b)
{
    return a.id == b.id && a.type == b.type && a.xferType == b.xferType && a.endpoint == b.endpoint &&
           a.devnum == b.devnum && a.busnum == b.busnum && a.tsSec == b.tsSec && a.tsUsec == b.tsUsec &&
           a.status == b.status && a.length == b.length && a.xferFlags == b.xferFlags && a.data == b.data;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vqfuzz::start(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = vqfuzz::privateDir() + "/capture.pcap";
    if (!vqfuzz::writeFile(path, vqfuzz::bytes(data, size)))
        vqfuzz::fail("cannot write the capture", path);

    QList<vqsim::UsbmonRecord> records;
    QString error;
    if (!vqsim::readUsbmonCapture(path, &records, &error)) {
        if (error.isEmpty())
            vqfuzz::fail("a capture refused without a reason");
        return 0;
    }

    vqsim::Controller controller;
    controller.setKeepFrames(false);
    for (const vqsim::UsbmonRecord& r : qAsConst(records)) {
        if (r.type == 'S' && !(r.endpoint & 0x80))
            controller.receive(r.data.left(int(qMin<quint32>(r.length, quint32(r.data.size())))));
        controller.discardReplies();
    }

    const QString copy = vqfuzz::privateDir() + "/copy.pcap";
    {
        vqsim::UsbmonWriter writer;
        if (!writer.open(copy, &error))
            vqfuzz::fail("cannot write the copy", error);
        for (const vqsim::UsbmonRecord& r : qAsConst(records))
            writer.write(r);
    }
    QList<vqsim::UsbmonRecord> again;
    if (!vqsim::readUsbmonCapture(copy, &again, &error))
        vqfuzz::fail("a written capture cannot be read", error);
    if (again.size() != records.size())
        vqfuzz::fail("a written capture reads back with another record count");
    for (int i = 0; i < records.size(); ++i)
        if (!sameRecord(records.at(i), again.at(i)))
            vqfuzz::fail("a written record reads back differently", QString::number(i));
    return 0;
}
