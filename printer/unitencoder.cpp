#include "printer/unitencoder.h"

#include "imaging/dotimage.h"

#include <QtEndian>

#include <cstring>

namespace {

const quint16 kHorizontalDpi = 300;
const int kDescriptorSize = int(sizeof(SysSlice_t));
const int kMaxRun = 255;

quint32 floatBits(float value)
{
    quint32 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

} // namespace

SysSlice_t UnitEncoder::descriptor(quint8 SliceNo, quint16 Width, quint16 Height, float PosXmm, float PosYmm,
                                   quint8 Head)
{
    SysSlice_t slice;
    slice.SliceNo = SliceNo;
    slice.PosXmm = PosXmm;
    slice.PosYmm = PosYmm;
    slice.Head = Head;
    slice.ColorDepth = 0;
    slice.Type = 0;
    slice.DPI_HOR = kHorizontalDpi;
    slice.Width = Width;
    slice.Height = Height;
    return slice;
}

QByteArray UnitEncoder::rawUnit(const QImage& unit, const SysSlice_t& slice)
{
    const int stride = unit.bytesPerLine();
    const int rows = unit.height();
    QByteArray raw(kDescriptorSize + rows * stride, '\0');
    uchar* p = reinterpret_cast<uchar*>(raw.data());
    p[0] = slice.SliceNo;
    qToLittleEndian<quint32>(floatBits(slice.PosXmm), p + 1);
    qToLittleEndian<quint32>(floatBits(slice.PosYmm), p + 5);
    p[9] = slice.Head;
    p[10] = slice.ColorDepth;
    qToLittleEndian<quint16>(slice.Type, p + 11);
    qToLittleEndian<quint16>(slice.DPI_HOR, p + 13);
    qToLittleEndian<quint16>(slice.Width, p + 15);
    qToLittleEndian<quint16>(slice.Height, p + 17);

    // The printer reads whole words; a bit past the width would print.
    const bool clearPadding = unit.format() == QImage::Format_Mono;
    const int usedBytes = (unit.width() + 7) / 8;
    const uchar tailMask = DotImage::lastByteMask(unit.width());
    for (int r = 0; r < rows; ++r) {
        uchar* line = p + kDescriptorSize + r * stride;
        std::memcpy(line, unit.constScanLine(r), size_t(stride));
        if (clearPadding && usedBytes > 0) {
            line[usedBytes - 1] &= tailMask;
            std::memset(line + usedBytes, 0, size_t(stride - usedBytes));
        }
    }
    return raw;
}

QByteArray UnitEncoder::runLength(const QByteArray& raw)
{
    QByteArray pairs;
    if (raw.isEmpty())
        return pairs;
    pairs.reserve(raw.size() / 4 + 16);
    char value = raw.at(0);
    int count = 1;
    for (int k = 1; k < raw.size(); ++k) {
        if (raw.at(k) == value && count < kMaxRun) {
            ++count;
            continue;
        }
        pairs.append(char(count));
        pairs.append(value);
        value = raw.at(k);
        count = 1;
    }
    pairs.append(char(count));
    pairs.append(value);
    return pairs;
}

QByteArray UnitEncoder::payload(const QImage& unit, const SysSlice_t& slice)
{
    return runLength(rawUnit(unit, slice));
}
