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
                DotImage::copySlice(&canvas, work, s);
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
