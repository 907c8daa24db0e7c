#pragma once

// Control of the simulated printer for programs that link the libusb
// stand-in statically (the station's tests). The stand-in reads its VQSIM_*
// variables at first use; reset() reads them again. Transfers and frames are
// kept from the first call of reset() or setTimeScale() on.

#include "sim/controller.h"
#include "sim/page.h"

#include <QByteArray>
#include <QList>

namespace vqsim {

// One libusb_bulk_transfer call as the stand-in saw it. `data` holds the
// bytes offered for OUT and the bytes delivered for IN.
struct Transfer {
    quint8 endpoint = 0;
    int length = 0;
    unsigned int timeout = 0;
    int result = 0;
    int transferred = 0;
    QByteArray data;

    bool isOut() const { return !(endpoint & 0x80); }
};

// Forgets the device state, the transfers and the pages, writes outstanding
// page files, and reads the VQSIM_* variables again. Handles opened before
// count as closed. The time scale stays.
void reset();

// Scales the waits of timed-out reads: 0.01 makes a 10-second timeout 100 ms.
void setTimeScale(double scale);

QList<Transfer> transfers();
QList<Frame> frames();
QList<PageRecord> pages();

// The next status requests get these answers, before the model's own.
void scriptStatus(const QList<StatusAnswer>& answers);
// The next `count` IN transfers time out even when a reply is waiting.
void failNextReads(int count);
// libusb_get_config_descriptor fails while set.
void failConfigDescriptor(bool fail);
// libusb_init fails while set.
void failLibraryInit(bool fail);

// Calls that used a closed or unknown handle (never made by sound code).
int faults();
int openHandles();

// Writes the page files of the pages changed since the last write.
void flushPages();

} // namespace vqsim
