// Opens the printer, asks for its status once and closes the link: the
// smallest real use of the station's USB code.

#include "printer/usbdevice.h"

#include <cstdio>

int main()
{
    USBDevice usb;
    if (usb.usb_Init(0x2019) != 1) {
        std::fprintf(stderr, "printer not found\n");
        return 1;
    }
    SysDeviceStatus_t status{};
    const bool read = usb.ReadStatus(&status);
    usb.usb_Close();
    if (!read) {
        std::fprintf(stderr, "status unreadable\n");
        return 1;
    }
    std::printf("TemplateRec=%d SysState=%d\n", status.TemplateRec, status.SysState);
    return 0;
}
