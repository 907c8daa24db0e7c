// The cutter's entry for files read from disk, on arbitrary bytes: the first
// byte is the device type (the three models and unknown ones), the rest the
// BMP file. libFuzzer hands over a copy of exactly the input's length, so
// reading past the file is caught.

#include "fuzzsupport.h"

#include "imaging/cappbmpcut.h"

#include <QtEndian>

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vqfuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const quint8* file = data + 1;
    static const BMP_CutResult_t untouched {};
    BMP_CutResult_t result {};
    if (CAppBmpCut().OS_Apps_BmpCut(data[0], file, quint32(size - 1), reinterpret_cast<quint8*>(&result)) != 0) {
        if (std::memcmp(&result, &untouched, sizeof result) != 0)
            vqfuzz::fail("a refused bitmap left units behind");
        return 0;
    }
    if (result._total > CAppBmpCut::CUT_UNIT_MAX)
        vqfuzz::fail("more units than the printer takes", QString::number(result._total));
    // Each unit is cropped from the page: it lies inside the bitmap's rows,
    // padded to whole 32-bit words.
    const quint32 paddedWidth = (qFromLittleEndian<quint32>(file + 18) + 31) / 32 * 32;
    const qint32 height = qFromLittleEndian<qint32>(file + 22);
    for (int i = 0; i < result._total; ++i) {
        const ImageUnitInfo_t& u = result._image_unit_info[i];
        if (quint32(u._x) + u._w > paddedWidth || qint64(u._y) + u._h > height)
            vqfuzz::fail(
                "unit outside the bitmap", QString("%1: %2,%3 %4x%5").arg(i).arg(u._x).arg(u._y).arg(u._w).arg(u._h));
    }
    return 0;
}
