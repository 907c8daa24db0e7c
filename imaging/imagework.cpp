#include "imaging/imagework.h"

#include "app/appconfig.h"
#include "app/prefs.h"
#include "imaging/dotimage.h"

#include <QDebug>
#include <QPainter>
#include <QTransform>

namespace {

bool isOpaqueBlackOrWhite(QRgb c) { return c == 0xFF000000u || c == 0xFFFFFFFFu; }

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

// What tells the log lines and dump files of one head's print source from
// those of the whole page's; all empty for the whole page.
struct HeadMarks {
    QString sliceNote;  // ends each slice line
    QString turnNote;   // ends the rotation and mirroring lines, set off by two blanks
    QString dumpSuffix; // ends the name of each dump file, before ".bmp"
};

HeadMarks headMarks(int head, bool perHead)
{
    if (!perHead)
        return HeadMarks();
    return {QString(" 喷头::%1").arg(head), QString("  喷头::%1").arg(head), QString("_%1").arg(head)};
}

// Lays the template's slices of the page (with perHead, only those of `head`)
// on white 1-bit paper of Width x Height dots. A page whose bits mean the
// same on the paper is copied a byte at a time; any other is drawn by Qt's
// painter.
QImage placeSlices(const QImage& work, int Width, int Height, int head, bool perHead, const HeadMarks& marks)
{
    const QList<SliceArea_t>& slices = APPConfig::m_SliceAreas;
    QImage canvas(Width, Height, QImage::Format_Mono);
    canvas.fill(1);
    qDebug() << QString("图像切片重组") + marks.sliceNote;

    const bool bitCopy = !canvas.isNull() && ImageWork::_bitCopyMatchesPainter(work);
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
            DotImage::copySlice(&canvas, work, s);
        else if (painter.isActive())
            painter.drawImage(QPoint(s.new_x, s.new_y), work, QRect(s.x, s.y, s.width, s.height));
        const QString line = QString("图像切片重组 %1 new_x:%2 new_y:%3 x:%4 y:%5 width:%6 height:%7")
                                 .arg(i + 1)
                                 .arg(s.new_x)
                                 .arg(s.new_y)
                                 .arg(s.x)
                                 .arg(s.y)
                                 .arg(s.width)
                                 .arg(s.height);
        qDebug() << line + marks.sliceNote;
    }
    if (painter.isActive())
        painter.end();
    saveDump(canvas, QString("/g2_CutMeg") + marks.dumpSuffix + ".bmp");
    return canvas;
}

// The template's rotation and mirroring, each logged and, in debug mode,
// dumped.
QImage turnAsTemplate(QImage source, const HeadMarks& marks)
{
    const bool hadAlpha = source.hasAlphaChannel();
    source = ImageWork::img_Rotate(source, APPConfig::g_Rotate);
    if (!hadAlpha && source.hasAlphaChannel())
        source = onWhitePaper(source);
    qDebug() << QString("图像旋转： 角度:%1").arg(APPConfig::g_Rotate) + marks.turnNote;
    saveDump(source, QString("/g3_Rotate") + marks.dumpSuffix + ".bmp");
    return source;
}

QImage mirrorAsTemplate(QImage source, const HeadMarks& marks)
{
    const bool x = APPConfig::g_MirroreX > 0;
    const bool y = APPConfig::g_MirroreY > 0;
    source = ImageWork::img_Mirrore(source, x, y);
    qDebug() << QString("图像翻转： 水平:%1 垂直:%2").arg(int(x)).arg(int(y)) + marks.turnNote;
    saveDump(source, QString("/g4_Mirrore") + marks.dumpSuffix + ".bmp");
    return source;
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
            return DotImage::rotated90(image);
        if (angle == 270 || angle == -90)
            return DotImage::rotated90(image).mirrored(true, true);
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
    const HeadMarks marks = headMarks(head, perHead);
    QImage source;
    if (!APPConfig::m_SliceAreas.isEmpty())
        source = placeSlices(work, Width, Height, head, perHead, marks);
    else
        source = work.scaled(Width, Height, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (APPConfig::g_Rotate > 0)
        source = turnAsTemplate(source, marks);
    if (APPConfig::g_MirroreX > 0 || APPConfig::g_MirroreY > 0)
        source = mirrorAsTemplate(source, marks);
    saveDump(source, QString("/g5_Print_src") + marks.dumpSuffix + ".bmp");
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
