#pragma once

#include "printer/usbdevice.h"

#include <QByteArray>
#include <QImage>

// Turns one image unit into the payload the printer takes: the 19-byte slice
// descriptor followed by the unit's scan lines, run-length coded as a whole.
class UnitEncoder {
public:
    UnitEncoder() = delete;

    // The descriptor of a unit: ColorDepth and Type 0, DPI_HOR 300.
    static SysSlice_t descriptor(quint8 SliceNo, quint16 Width, quint16 Height, float PosXmm, float PosYmm,
                                 quint8 Head);

    // The descriptor in wire order (little-endian, packed), then every scan
    // line of the image from the top, bytesPerLine() bytes each. For a
    // Format_Mono unit the bits after the last dot of a row go out as 0,
    // whatever the image holds there.
    static QByteArray rawUnit(const QImage& unit, const SysSlice_t& slice);

    // (count, value) byte pairs, counts 1..255, taken greedily from the first
    // byte; a run of equal bytes longer than 255 is split. Empty for an
    // empty input.
    static QByteArray runLength(const QByteArray& raw);

    // rawUnit, run-length coded: what one unit transfer carries.
    static QByteArray payload(const QImage& unit, const SysSlice_t& slice);
};
