// vqsim-decode CAPTURE OUTDIR
//
// Reads a usbmon capture (pcap, linktype 220) of the station talking to a
// printer, simulated or real, feeds the bytes the station sent to the
// simulated controller and writes the same page-N.json and
// page-N-head-H.png files the simulator writes.

#include "sim/controller.h"
#include "sim/usbmonpcap.h"

#include <QHash>
#include <QPair>
#include <QString>

#include <cstdio>

namespace {

int fail(const QString& text, int status)
{
    std::fprintf(stderr, "vqsim-decode: %s\n", qPrintable(text));
    return status;
}

bool isBulkOut(const vqsim::UsbmonRecord& r)
{
    return r.xferType == 3 && !(r.endpoint & 0x80);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: vqsim-decode CAPTURE OUTDIR\n");
        return 1;
    }
    const QString capture = QString::fromLocal8Bit(argv[1]);
    const QString outDir = QString::fromLocal8Bit(argv[2]);

    QList<vqsim::UsbmonRecord> records;
    QString error;
    if (!vqsim::readUsbmonCapture(capture, &records, &error))
        return fail(error, 2);

    // A capture of a real bus may hold other devices: take the first one
    // whose bulk OUT data starts like a command frame.
    QPair<int, int> device(-1, -1);
    for (const vqsim::UsbmonRecord& r : records) {
        if (r.type == 'S' && isBulkOut(r) && !r.data.isEmpty() && static_cast<quint8>(r.data.at(0)) == 0x7E) {
            device = qMakePair(int(r.busnum), int(r.devnum));
            break;
        }
    }
    if (device.first < 0)
        return fail(QString("%1 holds no command frame sent to a printer").arg(capture), 3);

    vqsim::Controller controller;
    controller.setOutputDir(outDir);
    controller.setKeepFrames(false);
    QHash<quint64, vqsim::UsbmonRecord> submitted;
    int truncated = 0;
    for (const vqsim::UsbmonRecord& r : records) {
        if (!isBulkOut(r) || r.busnum != device.first || r.devnum != device.second)
            continue;
        if (r.type == 'S') {
            submitted.insert(r.id, r);
            continue;
        }
        if (r.type != 'C' || !submitted.contains(r.id))
            continue;
        const vqsim::UsbmonRecord s = submitted.take(r.id);
        if (static_cast<quint32>(s.data.size()) < qMin(s.length, r.length))
            ++truncated;
        controller.receive(s.data.left(static_cast<int>(r.length)));
        controller.discardReplies();
    }
    controller.flush();

    if (truncated)
        std::fprintf(stderr, "vqsim-decode: %d transfers were captured only in part\n", truncated);
    if (!submitted.isEmpty())
        std::fprintf(stderr, "vqsim-decode: %d transfers never completed and were left out\n", submitted.size());
    for (const vqsim::PageRecord& page : controller.pages())
        std::printf("page %d: %d of %d units, %d malformed\n", page.number, page.units.size(), page.SliceAmount,
                    page.malformedCount());
    return 0;
}
