#include "pages.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QStringList>

#include <cmath>

namespace station {

namespace {

QList<Span> spansOf(const QVector<bool>& inked)
{
    QList<Span> spans;
    for (int i = 0; i < inked.size(); ++i) {
        if (!inked.at(i))
            continue;
        if (!spans.isEmpty() && spans.last().to == i)
            spans.last().to = i + 1;
        else
            spans.append({i, i + 1});
    }
    return spans;
}

QImage grey(const QImage& picture) { return picture.convertToFormat(QImage::Format_Grayscale8); }

} // namespace

int mmToDots(double mm) { return static_cast<int>(std::lround(mm * 600.0 / 25.4)); }

QImage pageWithBlocks(const QList<QRect>& blocks)
{
    QImage page(kPageWidth, kPageHeight, QImage::Format_Mono);
    page.setDotsPerMeterX(23622);   // 600 dpi
    page.setDotsPerMeterY(23622);
    // Index 0 white, 1 black, as a rasteriser's 1-bit pages have it; fill()
    // of a 1-bit image takes the index, not a colour.
    page.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    page.fill(0);
    QPainter painter(&page);
    for (const QRect& block : blocks)
        painter.fillRect(block, Qt::black);
    return page;
}

bool writeJob(const QString& folder, const QList<QImage>& pages)
{
    if (!QDir().mkpath(folder))
        return false;
    const QDateTime first = QDateTime::currentDateTime().addSecs(-100);
    for (int i = 0; i < pages.size(); ++i) {
        const QString path = QString("%1/%2.bmp").arg(folder).arg(i + 1);
        if (!pages.at(i).save(path, "BMP"))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite) || !file.setFileTime(first.addSecs(i), QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

QList<Span> inkedColumns(const QImage& picture)
{
    const QImage g = grey(picture);
    QVector<bool> inked(g.width(), false);
    for (int y = 0; y < g.height(); ++y) {
        const uchar* row = g.constScanLine(y);
        for (int x = 0; x < g.width(); ++x)
            if (row[x] < 128)
                inked[x] = true;
    }
    return spansOf(inked);
}

QList<Span> inkedRowsFromBottom(const QImage& picture)
{
    const QImage g = grey(picture);
    QVector<bool> inked(g.height(), false);
    for (int y = 0; y < g.height(); ++y) {
        const uchar* row = g.constScanLine(y);
        for (int x = 0; x < g.width() && !inked[g.height() - 1 - y]; ++x)
            if (row[x] < 128)
                inked[g.height() - 1 - y] = true;
    }
    return spansOf(inked);
}

bool spansMatch(const QList<Span>& actual, const QList<Span>& expected, int tolerance)
{
    if (actual.size() != expected.size())
        return false;
    for (int i = 0; i < actual.size(); ++i)
        if (std::abs(actual.at(i).from - expected.at(i).from) > tolerance
            || std::abs(actual.at(i).to - expected.at(i).to) > tolerance)
            return false;
    return true;
}

QString spansText(const QList<Span>& spans)
{
    QStringList parts;
    for (const Span& s : spans)
        parts << QString("%1..%2").arg(s.from).arg(s.to);
    return parts.join(", ");
}

} // namespace station
