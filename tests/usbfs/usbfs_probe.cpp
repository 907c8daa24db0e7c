// usbfs_probe MODE [ARGS]
//
// The station's own USB link (USBDevice) on whatever libusb the process
// gets: the real one, reaching the simulated printer through vqsim-usbfs, or
// the stand-in when libvqsim.so is preloaded. It prints one line per step,
// so runs under the two can be compared line by line.
//
//   init          usb_Init and nothing more
//   exchange      a status request, a print task of three image units (the
//                 second one's frame is 1024 bytes, so a zero-length packet
//                 follows it), then two status requests
//   rounds N LEN  N rounds of a status request and a read of LEN bytes, each
//                 one libusb_bulk_transfer, with libusb's result
//   read MS       a status request, then one 42-byte read with an MS timeout
//   write LEN     a status request padded to LEN bytes as one transfer, then
//                 a 42-byte read

#include "printer/usbdevice.h"
#include "sim/rle.h"

#include <libusb.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QtEndian>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const quint16 kProduct = 0x2019;

// An image unit whose frame (payload + 12) is exactly `frameSize` bytes: a
// 32-dot wide unit whose row bytes cycle through four values, so every row
// byte is one run, with a few runs of two to hit the size.
QByteArray unitPayload(quint8 sliceNo, int frameSize)
{
    const int pairsWanted = (frameSize - 12) / 2;
    for (int height = 1; height < 1000; ++height) {
        QByteArray block(19, '\0');
        block[0] = static_cast<char>(sliceNo);
        const float posX = 2.0f + sliceNo, posY = 3.0f;
        quint32 bits;
        std::memcpy(&bits, &posX, 4);
        qToLittleEndian<quint32>(bits, block.data() + 1);
        std::memcpy(&bits, &posY, 4);
        qToLittleEndian<quint32>(bits, block.data() + 5);
        block[9] = 1;
        qToLittleEndian<quint16>(300, block.data() + 13);
        qToLittleEndian<quint16>(32, block.data() + 15);
        qToLittleEndian<quint16>(static_cast<quint16>(height), block.data() + 17);
        QByteArray rows(4 * height, '\0');
        for (int i = 0; i < rows.size(); ++i)
            rows[i] = static_cast<char>(0x11 * (1 + i % 4));
        const int extra = vqsim::runLengthEncode(block + rows).size() / 2 - pairsWanted;
        if (extra < 0)
            continue;
        for (int j = 0; j < extra && 2 * j + 1 < rows.size(); ++j)
            rows[2 * j + 1] = rows[2 * j];
        const QByteArray payload = vqsim::runLengthEncode(block + rows);
        if (payload.size() + 12 == frameSize)
            return payload;
    }
    std::fprintf(stderr, "no unit gives a frame of %d bytes\n", frameSize);
    std::exit(3);
}

void printStatus(USBDevice& usb)
{
    SysDeviceStatus_t status{};
    if (usb.ReadStatus(&status))
        std::printf("status TemplateRec=%d SysState=%d\n", status.TemplateRec, status.SysState);
    else
        std::printf("status unreadable\n");
}

int exchange(USBDevice& usb)
{
    printStatus(usb);
    const QByteArray units[] = {unitPayload(0, 60), unitPayload(1, 1024), unitPayload(2, 700)};
    std::printf("task %d\n", usb.SendSysPrintTask(1, 1, 1, 3) ? 1 : 0);
    for (const QByteArray& unit : units) {
        QByteArray copy = unit;
        usb.SendImageUnit(reinterpret_cast<quint8*>(copy.data()), static_cast<quint32>(copy.size()));
        std::printf("unit frame %d\n", copy.size() + 12);
    }
    printStatus(usb);
    printStatus(usb);
    return 0;
}

int transfer(USBDevice& usb, quint8 endpoint, QByteArray* data, unsigned int timeout)
{
    int transferred = 0;
    const int result = libusb_bulk_transfer(usb.handle, endpoint, reinterpret_cast<unsigned char*>(data->data()),
                                            data->size(), &transferred, timeout);
    std::printf("%s %s %d\n", endpoint & 0x80 ? "in" : "out", libusb_error_name(result), transferred);
    return result;
}

QByteArray statusRequest(int frameSize = 16)
{
    QByteArray frame(frameSize, '\0');
    frame[0] = 0x7E;
    frame[1] = 0x12;
    qToLittleEndian<quint32>(static_cast<quint32>(frameSize), frame.data() + 4);
    return frame;
}

int rounds(USBDevice& usb, int count, int readLength)
{
    for (int i = 0; i < count; ++i) {
        QByteArray request = statusRequest();
        transfer(usb, usb.endpoint_out, &request, 1000);
        QByteArray reply(readLength, '\0');
        transfer(usb, usb.endpoint_in, &reply, 1000);
    }
    return 0;
}

int longWrite(USBDevice& usb, int length)
{
    QByteArray request = statusRequest(length);
    transfer(usb, usb.endpoint_out, &request, 5000);
    QByteArray reply(42, '\0');
    transfer(usb, usb.endpoint_in, &reply, 1000);
    return 0;
}

int timedRead(USBDevice& usb, unsigned int timeout)
{
    QByteArray request = statusRequest();
    transfer(usb, usb.endpoint_out, &request, 1000);
    QElapsedTimer clock;
    clock.start();
    QByteArray reply(42, '\0');
    transfer(usb, usb.endpoint_in, &reply, timeout);
    // Waiting at least the timeout is part of the result; how much longer
    // depends on the machine's load.
    std::printf("waited %s\n", clock.elapsed() >= static_cast<qint64>(timeout) ? "the timeout" : "less than the timeout");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const QByteArray mode = argc > 1 ? argv[1] : "";
    USBDevice usb;
    const int init = usb.usb_Init(kProduct);
    std::printf("init %d\n", init);
    int status = 0;
    if (init == 1) {
        if (mode == "exchange")
            status = exchange(usb);
        else if (mode == "rounds" && argc > 3)
            status = rounds(usb, std::atoi(argv[2]), std::atoi(argv[3]));
        else if (mode == "write" && argc > 2)
            status = longWrite(usb, std::atoi(argv[2]));
        else if (mode == "read" && argc > 2)
            status = timedRead(usb, static_cast<unsigned int>(std::atoi(argv[2])));
        else if (mode != "init")
            status = 2;
    }
    usb.usb_Close();
    std::fflush(stdout);
    return status;
}
