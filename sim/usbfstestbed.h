#pragma once

// The emulated device's surroundings: a umockdev testbed (a private /sys and
// /dev under a temporary folder) holding a root hub and the printer, with an
// ioctl handler on the printer's device node. The handler reads each usbdevfs
// ioctl's argument from the program's memory, has the UsbfsDevice answer it
// and writes the answer back, as the kernel would.
//
// Creating the testbed sets UMOCKDEV_DIR in this process's environment; a
// program started afterwards with kPreload first in LD_PRELOAD sees the
// testbed's devices instead of the machine's.

#include "sim/usbfsdevice.h"

#include <umockdev.h>

#include <QByteArray>
#include <QString>

namespace vqsim {

// The root hub, the printer (unless the scenario makes it absent) and the
// handler on the printer's node; removed again, with the testbed's folder,
// when destroyed.
class UsbfsTestbed {
public:
    static const char kPreload[];

    explicit UsbfsTestbed(UsbfsDevice* device);
    ~UsbfsTestbed();
    UsbfsTestbed(const UsbfsTestbed&) = delete;
    UsbfsTestbed& operator=(const UsbfsTestbed&) = delete;

    // False, with the reason in `error`, when the testbed cannot be built.
    bool setUp(QString* error);

private:
    UsbfsDevice* m_device;
    UMockdevTestbed* m_testbed;
    UMockdevIoctlBase* m_handler;
    const QByteArray m_node;
    bool m_attached = false;
    ReapSignal m_reapSignal;
};

} // namespace vqsim
