#include "imaging/dotimage.h"

#include <QVector>

#include <array>
#include <cstring>

namespace {

const QRgb kOpaqueWhite = 0xFFFFFFFFu;
const QRgb kOpaqueBlack = 0xFF000000u;

// The bits of the last byte of a row that lie inside the width; the leftmost
// dot is the top bit.
uchar lastByteMask(int width)
{
    const int rest = width % 8;
    return rest == 0 ? uchar(0xFF) : uchar(0xFF << (8 - rest));
}

// Format_MonoLSB keeps the leftmost dot in the lowest bit.
const std::array<uchar, 256>& bitReversal()
{
    static const std::array<uchar, 256> table = [] {
        std::array<uchar, 256> t{};
        for (int v = 0; v < 256; ++v) {
            int r = 0;
            for (int b = 0; b < 8; ++b)
                r |= ((v >> b) & 1) << (7 - b);
            t[size_t(v)] = uchar(r);
        }
        return t;
    }();
    return table;
}

// QImage::pixel reads a colour index outside the table as 0, which is not
// white.
bool whiteEntry(const QVector<QRgb>& table, int index)
{
    return index < table.size() && table.at(index) == kOpaqueWhite;
}

// A new 1-bit image with every byte 0. QImage::fill leaves the bytes that
// pad each row to whole words as they were allocated.
QImage blankDots(int w, int h)
{
    QImage dots(w, h, QImage::Format_Mono);
    if (!dots.isNull())
        std::memset(dots.bits(), 0, size_t(dots.sizeInBytes()));
    return dots;
}

// Sets the bit of every dot of a row, leftmost dot in the top bit of the
// first byte; `out` has been cleared.
template <typename IsDot>
void markRow(uchar* out, int width, IsDot isDot)
{
    for (int x = 0; x < width; ++x) {
        if (isDot(x))
            out[x >> 3] |= uchar(0x80 >> (x & 7));
    }
}

template <typename IsDot>
void markRows(const QImage& page, QImage* dots, IsDot isDot)
{
    for (int y = 0; y < page.height(); ++y) {
        const uchar* line = page.constScanLine(y);
        markRow(dots->scanLine(y), page.width(), [&](int x) { return isDot(line, x); });
    }
}

// A 1-bit page: each byte turns into dots at once, from which of the two
// colours is white.
void markMonoRows(const QImage& page, QImage* dots)
{
    const QVector<QRgb> table = page.colorTable();
    const bool white0 = whiteEntry(table, 0);
    const bool white1 = whiteEntry(table, 1);
    const bool lsbFirst = page.format() == QImage::Format_MonoLSB;
    const std::array<uchar, 256>& reversed = bitReversal();
    const int bytes = (page.width() + 7) / 8;
    const uchar tail = lastByteMask(page.width());
    for (int y = 0; y < page.height(); ++y) {
        const uchar* in = page.constScanLine(y);
        uchar* out = dots->scanLine(y);
        for (int i = 0; i < bytes; ++i) {
            const uchar bits = lsbFirst ? reversed[in[i]] : in[i];
            out[i] = uchar((white0 ? 0 : ~bits) | (white1 ? 0 : bits));
        }
        out[bytes - 1] &= tail;
    }
}

void copyRowBits(const uchar* src, int srcBytes, int srcBit, uchar* dst, int dstBit, int count)
{
    if (dstBit == 0) {
        const int shift = srcBit & 7;
        const int first = srcBit >> 3;
        const int bytes = (count + 7) / 8;
        for (int j = 0; j < bytes; ++j) {
            const int at = first + j;
            int value = src[at] << shift;
            if (shift != 0 && at + 1 < srcBytes)
                value |= src[at + 1] >> (8 - shift);
            dst[j] = uchar(value);
        }
        dst[bytes - 1] &= lastByteMask(count);
        return;
    }
    for (int i = 0; i < count; ++i) {
        const int s = srcBit + i;
        const int d = dstBit + i;
        if (src[s >> 3] & (0x80 >> (s & 7)))
            dst[d >> 3] |= uchar(0x80 >> (d & 7));
    }
}

} // namespace

QImage DotImage::fromPage(const QImage& page)
{
    if (page.isNull())
        return QImage();
    QImage dots = blankDots(page.width(), page.height());
    if (dots.isNull())
        return dots;

    switch (page.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        markMonoRows(page, &dots);
        break;
    case QImage::Format_Indexed8: {
        const QVector<QRgb> table = page.colorTable();
        std::array<bool, 256> white{};
        for (int i = 0; i < 256; ++i)
            white[size_t(i)] = whiteEntry(table, i);
        markRows(page, &dots, [&](const uchar* line, int x) { return !white[line[x]]; });
        break;
    }
    case QImage::Format_Grayscale8:
        markRows(page, &dots, [](const uchar* line, int x) { return line[x] != 0xFF; });
        break;
    case QImage::Format_RGB888:
        markRows(page, &dots, [](const uchar* line, int x) {
            const uchar* p = line + 3 * x;
            return (p[0] & p[1] & p[2]) != 0xFF;
        });
        break;
    case QImage::Format_RGB32:
        // Read back as opaque whatever its top byte holds.
        markRows(page, &dots, [](const uchar* line, int x) {
            return (reinterpret_cast<const QRgb*>(line)[x] & 0x00FFFFFFu) != 0x00FFFFFFu;
        });
        break;
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        // Premultiplied white is white only when opaque, so the stored word
        // decides as it stands.
        markRows(page, &dots,
                 [](const uchar* line, int x) { return reinterpret_cast<const QRgb*>(line)[x] != kOpaqueWhite; });
        break;
    default: {
        const QImage argb = page.convertToFormat(QImage::Format_ARGB32);
        markRows(argb, &dots,
                 [](const uchar* line, int x) { return reinterpret_cast<const QRgb*>(line)[x] != kOpaqueWhite; });
        break;
    }
    }
    return dots;
}

QImage DotImage::crop(const QImage& dots, int x, int y, int w, int h)
{
    if (dots.format() != QImage::Format_Mono || w <= 0 || h <= 0)
        return QImage();
    QImage out = blankDots(w, h);
    if (out.isNull())
        return out;

    const qint64 firstColumn = qMax<qint64>(x, 0);
    const qint64 endColumn = qMin<qint64>(qint64(x) + w, dots.width());
    const qint64 firstRow = qMax<qint64>(y, 0);
    const qint64 endRow = qMin<qint64>(qint64(y) + h, dots.height());
    if (firstColumn >= endColumn)
        return out;
    const int count = int(endColumn - firstColumn);
    const int dstBit = int(firstColumn - x);
    for (qint64 row = firstRow; row < endRow; ++row)
        copyRowBits(dots.constScanLine(int(row)), dots.bytesPerLine(), int(firstColumn), out.scanLine(int(row - y)),
                    dstBit, count);
    return out;
}

bool DotImage::holdsNoDot(const QImage& mono)
{
    if (mono.format() != QImage::Format_Mono)
        return false;
    const QVector<QRgb> table = mono.colorTable();
    // An index outside the table reads as 0x00000000.
    auto black = [&table](int index) {
        if (index >= table.size())
            return true;
        const QRgb c = table.at(index);
        return c == kOpaqueBlack || c == 0;
    };
    const bool black0 = black(0);
    const bool black1 = black(1);
    if (black0 && black1)
        return true;
    if (!black0 && !black1)
        return false;

    // The bits whose colour is not black: the set ones, or the clear ones.
    const int full = mono.width() / 8;
    const uchar tail = lastByteMask(mono.width());
    for (int y = 0; y < mono.height(); ++y) {
        const uchar* line = mono.constScanLine(y);
        for (int i = 0; i < full; ++i) {
            if (uchar(black0 ? line[i] : ~line[i]) != 0)
                return false;
        }
        if (mono.width() % 8 != 0 && (uchar(black0 ? line[full] : ~line[full]) & tail) != 0)
            return false;
    }
    return true;
}
