#include "imaging/imagework.h"

#include "app/appconfig.h"
#include "app/prefs.h"

#include <QDebug>
#include <QPainter>
#include <QTransform>

namespace {

// Eight bits of a 1-bit row (most significant bit first) starting at bit pos;
// bits past the end of the row read as 0.
inline uchar bitsAt(const uchar* row, int rowBytes, qint64 pos)
{
    const qint64 b = pos >> 3;
    const int shift = int(pos & 7);
    if (shift == 0)
        return row[b];
    const uchar next = b + 1 < rowBytes ? row[b + 1] : 0;
    return uchar((row[b] << shift) | (next >> (8 - shift)));
}

// Writes n bits into dst from bit dx on: the source's bits from sx on, each
// XORed with flip (0x00 copies, 0xFF inverts); a null source writes fill.
void writeRowBits(uchar* dst, qint64 dx, const uchar* src, int srcBytes, qint64 sx, qint64 n, uchar flip,
                  uchar fill)
{
    while (n > 0) {
        const int offset = int(dx & 7);
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

bool isOpaqueBlackOrWhite(QRgb c) { return c == 0xFF000000u || c == 0xFFFFFFFFu; }

// Draws one slice of a bit-copyable page onto the 1-bit canvas exactly as
// QPainter::drawImage(QPoint, QImage, QRect) does: a source width or height
// of 0 or less reaches to the page's edge, the source is clipped to the page
// (moving the target along) and the target to the canvas.
void copySliceBits(QImage& canvas, const QImage& page, const SliceArea_t& s)
{
    qint64 sx = s.x, sy = s.y, sw = s.width, sh = s.height;
    qint64 tx = s.new_x, ty = s.new_y;
    if (sw <= 0)
        sw = page.width() - sx;
    if (sh <= 0)
        sh = page.height() - sy;
    if (sx < 0) {
        tx -= sx;
        sw += sx;
        sx = 0;
    }
    if (sy < 0) {
        ty -= sy;
        sh += sy;
        sy = 0;
    }
    if (sx + sw > page.width())
        sw = page.width() - sx;
    if (sy + sh > page.height())
        sh = page.height() - sy;
    if (tx < 0) {
        sx -= tx;
        sw += tx;
        tx = 0;
    }
    if (ty < 0) {
        sy -= ty;
        sh += ty;
        ty = 0;
    }
    sw = qMin(sw, canvas.width() - tx);
    sh = qMin(sh, canvas.height() - ty);
    if (sw <= 0 || sh <= 0)
        return;

    // Canvas index 1 is white, index 0 black: each page index lands on the
    // canvas index of its colour.
    const uchar dot0 = page.color(0) == 0xFFFFFFFFu ? 1 : 0;
    const uchar dot1 = page.color(1) == 0xFFFFFFFFu ? 1 : 0;
    const bool constant = dot0 == dot1;
    const uchar flip = dot0 ? 0xFF : 0x00;
    const uchar fill = dot0 ? 0xFF : 0x00;
    const int pageBytes = page.bytesPerLine();
    for (qint64 row = 0; row < sh; ++row) {
        const uchar* src = constant ? nullptr : page.constScanLine(int(sy + row));
        writeRowBits(canvas.scanLine(int(ty + row)), tx, src, pageBytes, sx, sw, flip, fill);
    }
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

// A quarter turn clockwise of a 1-bit image, block by block, with the same
// pixels and metadata as QImage::transformed gives for a 90-degree rotation.
QImage rotated90Mono(const QImage& in)
{
    const int w = in.width();
    const int h = in.height();
    QImage out(h, w, QImage::Format_Mono);
    if (out.isNull())
        return in.transformed(QTransform().rotate(90), Qt::FastTransformation);
    out.setColorTable(in.colorTable());
    out.setDotsPerMeterX(in.dotsPerMeterX());
    out.setDotsPerMeterY(in.dotsPerMeterY());
    out.setDevicePixelRatio(in.devicePixelRatio());
    for (const QString& key : in.textKeys())
        out.setText(key, in.text(key));
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
            rows[k] = y >= 0 ? in.constScanLine(y) : nullptr;
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

// Rotation by an angle that is not a quarter turn leaves transparent corners
// around the turned page. Downstream every pixel that is not opaque white
// becomes a dot, so the corners are laid on white paper instead.
QImage onWhitePaper(const QImage& image)
{
    QImage paper(image.size(), QImage::Format_RGB32);
    if (paper.isNull())
        return image;
    paper.setDotsPerMeterX(image.dotsPerMeterX());
    paper.setDotsPerMeterY(image.dotsPerMeterY());
    paper.fill(Qt::white);
    QPainter painter(&paper);
    painter.drawImage(0, 0, image);
    painter.end();
    return paper;
}

void saveDump(const QImage& image, const QString& name)
{
    if (APPConfig::g_Debug)
        image.save(APPConfig::output() + name, "BMP");
}

} // namespace

QImage ImageWork::img_DotsPerMeter(QImage image, double Meter_X, double Meter_Y)
{
    int newWidth = image.width();
    int newHeight = image.height();
    if (Meter_X > 0)
        newWidth = int(Meter_X / 600 * image.width());
    if (Meter_Y > 0)
        newHeight = int(Meter_Y / 600 * image.height());
    return image.scaled(newWidth, newHeight, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

QImage ImageWork::img_Scale(QImage image, double scale)
{
    int newWidth = image.width();
    int newHeight = image.height();
    if (scale > 0) {
        newHeight = int(image.height() * scale);
        newWidth = int(image.width() * scale);
    }
    return image.scaled(newWidth, newHeight, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

QImage ImageWork::img_Rotate(QImage image, int angle)
{
    // Qt turns 1-bit images pixel by pixel; a quarter turn of a 600-dpi page
    // is done here block-wise with the identical result.
    if (image.format() == QImage::Format_Mono && !image.isNull()) {
        if (angle == 90)
            return rotated90Mono(image);
        if (angle == 270 || angle == -90)
            return rotated90Mono(image).mirrored(true, true);
    }
    QTransform matrix;
    matrix.rotate(double(angle));
    return image.transformed(matrix, Qt::FastTransformation);
}

QImage ImageWork::img_Mirrore(QImage image, bool X, bool Y) { return image.mirrored(X, Y); }

bool ImageWork::_bitCopyMatchesPainter(const QImage& image)
{
    return image.format() == QImage::Format_Mono && image.colorCount() == 2 &&
           isOpaqueBlackOrWhite(image.color(0)) && isOpaqueBlackOrWhite(image.color(1));
}

QImage ImageWork::_compose(const QImage& work, int Width, int Height, int head, bool perHead)
{
    const QList<SliceArea_t>& slices = APPConfig::m_SliceAreas;
    QImage source;
    if (!slices.isEmpty()) {
        QImage canvas(Width, Height, QImage::Format_Mono);
        canvas.fill(1);
        qDebug() << (perHead ? QString("图像切片重组 喷头::%1").arg(head) : QString("图像切片重组"));

        const bool bitCopy = !canvas.isNull() && _bitCopyMatchesPainter(work);
        QPainter painter;
        if (!bitCopy && !canvas.isNull()) {
            painter.begin(&canvas);
            painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        }
        for (int i = 0; i < slices.size(); ++i) {
            const SliceArea_t& s = slices.at(i);
            if (perHead && s.pt != head)
                continue;
            if (bitCopy)
                copySliceBits(canvas, work, s);
            else if (painter.isActive())
                painter.drawImage(QPoint(s.new_x, s.new_y), work, QRect(s.x, s.y, s.width, s.height));
            QString line = QString("图像切片重组 %1 new_x:%2 new_y:%3 x:%4 y:%5 width:%6 height:%7")
                               .arg(i + 1)
                               .arg(s.new_x)
                               .arg(s.new_y)
                               .arg(s.x)
                               .arg(s.y)
                               .arg(s.width)
                               .arg(s.height);
            if (perHead)
                line += QString(" 喷头::%1").arg(head);
            qDebug() << line;
        }
        if (painter.isActive())
            painter.end();
        saveDump(canvas, perHead ? QString("/g2_CutMeg_%1.bmp").arg(head) : QString("/g2_CutMeg.bmp"));
        source = canvas;
    } else {
        source = work.scaled(Width, Height, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }

    if (APPConfig::g_Rotate > 0) {
        const bool hadAlpha = source.hasAlphaChannel();
        source = img_Rotate(source, APPConfig::g_Rotate);
        if (!hadAlpha && source.hasAlphaChannel())
            source = onWhitePaper(source);
        qDebug() << (perHead ? QString("图像旋转： 角度:%1  喷头::%2").arg(APPConfig::g_Rotate).arg(head)
                             : QString("图像旋转： 角度:%1").arg(APPConfig::g_Rotate));
        saveDump(source, perHead ? QString("/g3_Rotate_%1.bmp").arg(head) : QString("/g3_Rotate.bmp"));
    }

    if (APPConfig::g_MirroreX > 0 || APPConfig::g_MirroreY > 0) {
        const bool x = APPConfig::g_MirroreX > 0;
        const bool y = APPConfig::g_MirroreY > 0;
        source = img_Mirrore(source, x, y);
        qDebug() << (perHead ? QString("图像翻转： 水平:%1 垂直:%2  喷头::%3").arg(int(x)).arg(int(y)).arg(head)
                             : QString("图像翻转： 水平:%1 垂直:%2").arg(int(x)).arg(int(y)));
        saveDump(source, perHead ? QString("/g4_Mirrore_%1.bmp").arg(head) : QString("/g4_Mirrore.bmp"));
    }

    saveDump(source, perHead ? QString("/g5_Print_src_%1.bmp").arg(head) : QString("/g5_Print_src.bmp"));
    return source;
}

QSize ImageWork::printSourceSize(const QSize& page)
{
    QSize size = page;
    if (APPConfig::g_Scale > 0 && APPConfig::g_Scale != 1.0)
        size = QSize(int(page.width() * APPConfig::g_Scale), int(page.height() * APPConfig::g_Scale));
    if (Prefs::MillimetreToDot(APPConfig::paperW) > 0)
        size.setWidth(Prefs::MillimetreToDot(APPConfig::paperW));
    if (Prefs::MillimetreToDot(APPConfig::paperH) > 0)
        size.setHeight(Prefs::MillimetreToDot(APPConfig::paperH));
    if (APPConfig::g_Rotate > 0)
        size = QTransform().rotate(APPConfig::g_Rotate).mapRect(QRectF(QPointF(0, 0), QSizeF(size))).size().toSize();
    return size;
}

QMap<int, QImage> ImageWork::img_GetPrintSrc(QImage image)
{
    QImage work = image;
    if (APPConfig::g_Scale > 0 && APPConfig::g_Scale != 1.0) {
        work = img_Scale(image, APPConfig::g_Scale);
        qDebug() << QString("图像缩放：%1").arg(APPConfig::g_Scale);
        saveDump(work, "/g1_Scale.bmp");
    }

    int Width = Prefs::MillimetreToDot(APPConfig::paperW);
    int Height = Prefs::MillimetreToDot(APPConfig::paperH);
    if (Width <= 0)
        Width = work.width();
    if (Height <= 0)
        Height = work.height();
    qDebug() << QString("打印原图像素 w:%1 h:%2").arg(Width).arg(Height);

    QList<int> heads{0};
    for (const SliceArea_t& s : APPConfig::m_SliceAreas)
        if (!heads.contains(s.pt))
            heads.append(s.pt);

    QMap<int, QImage> sources;
    if (heads.size() == 1) {
        sources.insert(0, _compose(work, Width, Height, 0, false));
        return sources;
    }
    for (int head : heads)
        sources.insert(head, _compose(work, Width, Height, head, true));
    sources.insert(-1, _compose(work, Width, Height, 0, false));
    return sources;
}
