#include "imaging/dotimage.h"

#include "app/appconfig.h"

#include <QTransform>
#include <QVector>

#include <array>
#include <cstring>

namespace {

const QRgb kOpaqueWhite = 0xFFFFFFFFu;
const QRgb kOpaqueBlack = 0xFF000000u;

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
    const uchar tail = DotImage::lastByteMask(page.width());
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

// Eight bits of a 1-bit row starting at bit pos; bits past the end of the
// row read as 0.
inline uchar bitsAt(const uchar* row, int rowBytes, qint64 pos)
{
    const qint64 b = pos >> 3;
    const int shift = int(pos & 7);
    if (shift == 0)
        return row[b];
    const uchar next = b + 1 < rowBytes ? row[b + 1] : 0;
    return uchar((row[b] << shift) | (next >> (8 - shift)));
}

// What writeRowBits XORs the source's bits with: copied as stored, or inverted.
const uchar kAsStored = 0x00;
const uchar kInverted = 0xFF;

// Writes n bits into dst from bit dx on and leaves its other bits as they
// are: the source's bits from sx on, each XORed with flip; a null source
// writes fill. A whole byte at a time, whatever the two bit offsets: only
// the first and the last byte of dst are partly written.
void writeRowBits(uchar* dst, qint64 dx, const uchar* src, int srcBytes, qint64 sx, qint64 n, uchar flip,
                  uchar fill)
{
    while (n > 0) {
        const int offset = int(dx & 7);
        if (offset == 0 && n >= 8) {
            uchar* out = dst + (dx >> 3);
            const qint64 whole = n >> 3;
            for (qint64 j = 0; j < whole; ++j)
                out[j] = src ? uchar(bitsAt(src, srcBytes, sx + 8 * j) ^ flip) : fill;
            dx += 8 * whole;
            sx += 8 * whole;
            n -= 8 * whole;
            continue;
        }
        const int take = int(qMin<qint64>(8 - offset, n));
        const uchar bits = src ? uchar(bitsAt(src, srcBytes, sx) ^ flip) : fill;
        const uchar mask = uchar((0xFF >> offset) & (0xFF << (8 - offset - take)));
        uchar& out = dst[dx >> 3];
        out = uchar((out & ~mask) | ((bits >> offset) & mask));
        dx += take;
        sx += take;
        n -= take;
    }
}

// A stretch of a slice along one axis: where it starts on the page, how
// long it is, where it starts on the canvas.
struct Span {
    qint64 source;
    qint64 length;
    qint64 target;
};

// One axis of QPainter::drawImage's clipping: a source length of 0 or less
// reaches to the page's edge, the source is clipped to the page (moving the
// target along) and the target to the canvas.
Span clipLikePainter(qint64 source, qint64 length, qint64 target, int pageSize, int canvasSize)
{
    if (length <= 0)
        length = pageSize - source;
    if (source < 0) {
        target -= source;
        length += source;
        source = 0;
    }
    if (source + length > pageSize)
        length = pageSize - source;
    if (target < 0) {
        source -= target;
        length += target;
        target = 0;
    }
    length = qMin(length, canvasSize - target);
    return {source, length, target};
}

// 8 x 8 bit-matrix transpose (rows most significant bit first): out[i] bit
// (7 - k) = in[k] bit (7 - i).
inline void transpose8(const uchar in[8], uchar out[8])
{
    quint32 x = quint32(in[0]) << 24 | quint32(in[1]) << 16 | quint32(in[2]) << 8 | in[3];
    quint32 y = quint32(in[4]) << 24 | quint32(in[5]) << 16 | quint32(in[6]) << 8 | in[7];
    quint32 t = (x ^ (x >> 7)) & 0x00AA00AAu;
    x = x ^ t ^ (t << 7);
    t = (y ^ (y >> 7)) & 0x00AA00AAu;
    y = y ^ t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCCu;
    x = x ^ t ^ (t << 14);
    t = (y ^ (y >> 14)) & 0x0000CCCCu;
    y = y ^ t ^ (t << 14);
    t = (x & 0xF0F0F0F0u) | ((y >> 4) & 0x0F0F0F0Fu);
    y = ((x << 4) & 0xF0F0F0F0u) | (y & 0x0F0F0F0Fu);
    x = t;
    out[0] = uchar(x >> 24);
    out[1] = uchar(x >> 16);
    out[2] = uchar(x >> 8);
    out[3] = uchar(x);
    out[4] = uchar(y >> 24);
    out[5] = uchar(y >> 16);
    out[6] = uchar(y >> 8);
    out[7] = uchar(y);
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
    default: {
        // Premultiplied white is white only when opaque, so the stored word
        // decides as it stands.
        const bool argb = page.format() == QImage::Format_ARGB32
            || page.format() == QImage::Format_ARGB32_Premultiplied;
        markRows(argb ? page : page.convertToFormat(QImage::Format_ARGB32), &dots,
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
        writeRowBits(out.scanLine(int(row - y)), dstBit, dots.constScanLine(int(row)), dots.bytesPerLine(), firstColumn,
                     count, kAsStored, 0);
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

QImage DotImage::rotated90(const QImage& mono)
{
    const int w = mono.width();
    const int h = mono.height();
    QImage out(h, w, QImage::Format_Mono);
    if (out.isNull())
        return mono.transformed(QTransform().rotate(90), Qt::FastTransformation);
    out.setColorTable(mono.colorTable());
    out.setDotsPerMeterX(mono.dotsPerMeterX());
    out.setDotsPerMeterY(mono.dotsPerMeterY());
    out.setDevicePixelRatio(mono.devicePixelRatio());
    for (const QString& key : mono.textKeys())
        out.setText(key, mono.text(key));
    out.fill(0);

    // Output pixel (h - 1 - y, x) is input pixel (x, y): output byte j of
    // rows 8 bx .. 8 bx + 7 comes from input byte bx of rows h - 1 - 8 j - k.
    const int inBytes = (w + 7) / 8;
    const int outBytes = (h + 7) / 8;
    uchar* const outBits = out.bits();
    const size_t outStride = size_t(out.bytesPerLine());
    uchar block[8];
    uchar turned[8];
    for (int j = 0; j < outBytes; ++j) {
        const uchar* rows[8];
        for (int k = 0; k < 8; ++k) {
            const int y = h - 1 - 8 * j - k;
            rows[k] = y >= 0 ? mono.constScanLine(y) : nullptr;
        }
        for (int bx = 0; bx < inBytes; ++bx) {
            for (int k = 0; k < 8; ++k)
                block[k] = rows[k] ? rows[k][bx] : 0;
            transpose8(block, turned);
            const int firstRow = 8 * bx;
            const int count = qMin(8, w - firstRow);
            for (int i = 0; i < count; ++i)
                outBits[size_t(firstRow + i) * outStride + size_t(j)] = turned[i];
        }
    }
    return out;
}

void DotImage::copySlice(QImage* canvas, const QImage& page, const SliceArea_t& slice)
{
    const Span across = clipLikePainter(slice.x, slice.width, slice.new_x, page.width(), canvas->width());
    const Span down = clipLikePainter(slice.y, slice.height, slice.new_y, page.height(), canvas->height());
    if (across.length <= 0 || down.length <= 0)
        return;

    // Canvas index 1 is white, index 0 black: each page index lands on the
    // canvas index of its colour.
    const uchar dot0 = page.color(0) == kOpaqueWhite ? 1 : 0;
    const uchar dot1 = page.color(1) == kOpaqueWhite ? 1 : 0;
    const bool constant = dot0 == dot1;
    const uchar flip = dot0 ? kInverted : kAsStored;
    const uchar fill = dot0 ? 0xFF : 0x00;
    const int pageBytes = page.bytesPerLine();
    for (qint64 row = 0; row < down.length; ++row) {
        const uchar* src = constant ? nullptr : page.constScanLine(int(down.source + row));
        writeRowBits(canvas->scanLine(int(down.target + row)), across.target, src, pageBytes, across.source,
                     across.length, flip, fill);
    }
}

uchar DotImage::lastByteMask(int width)
{
    const int rest = width % 8;
    return rest == 0 ? uchar(0xFF) : uchar(0xFF << (8 - rest));
}
