// The cutter's checked entry point on arbitrary bytes: the first byte is the
// device type (any value, the three models and unknown ones), the rest the
// BMP file as read from disk.

#include "fuzzsupport.h"

#include "imaging/cappbmpcut.h"

#include <QtEndian>

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vqfuzz::start(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const quint8 type = data[0];
    // A copy of exactly the file's length, so reading past it is caught.
    const QByteArray file = vqfuzz::bytes(data + 1, size - 1);

    BMP_CutResult_t result;
    std::memset(&result, 0, sizeof result);
    CAppBmpCut cutter;
    const quint8 status = cutter.OS_Apps_BmpCut(type, reinterpret_cast<const quint8*>(file.constData()),
                                                quint32(file.size()), reinterpret_cast<quint8*>(&result));

    if (status != 0) {
        const BMP_CutResult_t untouched{};
        if (std::memcmp(&result, &untouched, sizeof result) != 0)
            vqfuzz::fail("a refused bitmap left units behind");
        return 0;
    }
    if (result._total > CAppBmpCut::CUT_UNIT_MAX)
        vqfuzz::fail("more units than the printer takes", QString::number(result._total));

    // The dispatch crops every unit from the page: each must lie inside the
    // bitmap's padded rows.
    const quint32 width = qFromLittleEndian<quint32>(file.constData() + 14 + 4);
    const qint32 height = qFromLittleEndian<qint32>(file.constData() + 14 + 8);
    const quint32 paddedWidth = (width + 31) / 32 * 32;
    for (int i = 0; i < result._total; ++i) {
        const ImageUnitInfo_t& u = result._image_unit_info[i];
        if (quint32(u._x) + u._w > paddedWidth || qint64(u._y) + u._h > height)
            vqfuzz::fail("unit outside the bitmap",
                         QString("unit %1: x=%2 y=%3 w=%4 h=%5, bitmap %6 x %7")
                             .arg(i)
                             .arg(u._x)
                             .arg(u._y)
                             .arg(u._w)
                             .arg(u._h)
                             .arg(paddedWidth)
                             .arg(height));
    }
    return 0;
}
