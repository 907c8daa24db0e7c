// vqsim-decode CAPTURE OUTDIR
//
// Reads a usbmon capture (pcap, linktype 220) of the station talking to a
// printer, simulated or real, feeds the bytes the station sent to the
// simulated controller and writes the same page-N.json and
// page-N-head-H.png files the simulator writes.

#include "sim/controller.h"
#include "sim/pagefiles.h"
#include "sim/report.h"
#include "sim/usbmonpcap.h"

#include <QHash>
#include <QPair>
#include <QString>

#include <cstdio>

namespace {

using vqsim::UsbmonRecord;

const char kTool[] = "vqsim-decode";

int fail(const QString& text, int status)
{
    vqsim::report(text, kTool);
    return status;
}

bool isBulkOut(const UsbmonRecord& r)
{
    return r.xferType == 3 && !(r.endpoint & 0x80);
}

// A capture of a real bus may hold other devices: the printer is the first
// one whose bulk OUT data starts like a command frame. (-1, -1) when none
// does.
QPair<int, int> findPrinter(const QList<UsbmonRecord>& records)
{
    for (const UsbmonRecord& r : records) {
        if (r.type == 'S' && isBulkOut(r) && !r.data.isEmpty() && static_cast<quint8>(r.data.at(0)) == 0x7E)
            return qMakePair(int(r.busnum), int(r.devnum));
    }
    return qMakePair(-1, -1);
}

struct Replay {
    int truncated = 0;  // transfers whose bytes were captured only in part
    int incomplete = 0; // transfers submitted but never completed
};

// Feeds `controller` what each completed bulk OUT transfer to `device`
// delivered, in completion order.
Replay replayOutTransfers(const QList<UsbmonRecord>& records, QPair<int, int> device, vqsim::Controller* controller)
{
    Replay replay;
    QHash<quint64, UsbmonRecord> submitted;
    for (const UsbmonRecord& r : records) {
        if (!isBulkOut(r) || r.busnum != device.first || r.devnum != device.second)
            continue;
        if (r.type == 'S') {
            submitted.insert(r.id, r);
            continue;
        }
        if (r.type != 'C' || !submitted.contains(r.id))
            continue;
        const UsbmonRecord s = submitted.take(r.id);
        if (static_cast<quint32>(s.data.size()) < qMin(s.length, r.length))
            ++replay.truncated;
        controller->receive(s.data.left(static_cast<int>(r.length)));
        controller->discardReplies();
    }
    replay.incomplete = submitted.size();
    return replay;
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

    QList<UsbmonRecord> records;
    QString error;
    if (!vqsim::readUsbmonCapture(capture, &records, &error))
        return fail(error, 2);
    const QPair<int, int> device = findPrinter(records);
    if (device.first < 0)
        return fail(QString("%1 holds no command frame sent to a printer").arg(capture), 3);

    vqsim::Controller controller;
    const vqsim::PageWriter writer(outDir);
    controller.setPageObserver([&writer](const vqsim::PageRecord& page) { writer.write(page); });
    controller.setKeepFrames(false);
    const Replay replay = replayOutTransfers(records, device, &controller);
    controller.handOverChangedPages();

    if (replay.truncated)
        vqsim::report(QString("%1 transfers were captured only in part").arg(replay.truncated), kTool);
    if (replay.incomplete)
        vqsim::report(QString("%1 transfers never completed and were left out").arg(replay.incomplete), kTool);
    for (const vqsim::PageRecord& page : controller.pages())
        std::printf("page %d: %d of %d units, %d malformed\n", page.number, page.units.size(), page.SliceAmount,
                    page.malformedCount());
    return 0;
}
