#include "sim/pagefiles.h"

#include "sim/report.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vqsim {
namespace PageFiles {

namespace {

const double kDotsPerInch = 600.0;
const double kRowsPerInch = 290.3;
const int kMaxDots = 16384;
const int kMaxRows = 8192;

struct Placement {
    int left = 0;
    int bottom = 0;
    bool ok = false;
};

Placement place(const UnitRecord& u)
{
    Placement p;
    if (!u.malformed.isEmpty() || !std::isfinite(u.PosXmm) || !std::isfinite(u.PosYmm))
        return p;
    const double left = std::round(u.PosYmm * kDotsPerInch / 25.4);
    const double bottom = std::round(u.PosXmm * kRowsPerInch / 25.4);
    if (left < 0 || bottom < 0 || left + u.Width > kMaxDots || bottom + u.Height > kMaxRows)
        return p;
    p.left = static_cast<int>(left);
    p.bottom = static_cast<int>(bottom);
    p.ok = true;
    return p;
}

// ORs `width` bits of `src` (leftmost dot in the top bit of byte 0) into
// `dst` starting at bit column `left`.
void orBits(uchar* dst, const uchar* src, int left, int width)
{
    const int shift = left % 8;
    uchar* out = dst + left / 8;
    const int fullBytes = width / 8;
    for (int i = 0; i < fullBytes; ++i) {
        out[i] |= src[i] >> shift;
        if (shift)
            out[i + 1] |= static_cast<uchar>(src[i] << (8 - shift));
    }
    const int rest = width % 8;
    if (rest) {
        const uchar last = src[fullBytes] & static_cast<uchar>(0xFF << (8 - rest));
        out[fullBytes] |= last >> shift;
        if (shift + rest > 8)
            out[fullBytes + 1] |= static_cast<uchar>(last << (8 - shift));
    }
}

bool writeFile(const QString& path, const QByteArray& bytes, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QString("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

QJsonObject manifest(const PageRecord& page)
{
    QJsonArray units;
    for (const UnitRecord& u : page.units) {
        QJsonObject o;
        if (u.descriptorRead) {
            o["SliceNo"] = u.SliceNo;
            o["Head"] = u.Head;
            o["PosXmm"] = static_cast<double>(u.PosXmm);
            o["PosYmm"] = static_cast<double>(u.PosYmm);
            o["Width"] = u.Width;
            o["Height"] = u.Height;
            o["DPI_HOR"] = u.DPI_HOR;
        }
        if (!u.sha256.isEmpty())
            o["sha256"] = u.sha256;
        if (!u.malformed.isEmpty())
            o["malformed"] = u.malformed;
        units.append(o);
    }
    QJsonObject o;
    o["page"] = page.number;
    o["TotalPages"] = page.TotalPages;
    o["PageNo"] = page.PageNo;
    o["SliceAmount"] = page.SliceAmount;
    o["TemplateSum"] = page.TemplateSum;
    o["unitsReceived"] = page.units.size();
    o["malformedUnits"] = page.malformedCount();
    o["units"] = units;
    return o;
}

QList<int> heads(const PageRecord& page)
{
    QList<int> result;
    for (const UnitRecord& u : page.units)
        if (place(u).ok && !result.contains(u.Head))
            result.append(u.Head);
    std::sort(result.begin(), result.end());
    return result;
}

QImage picture(const PageRecord& page, int head)
{
    int width = 0;
    int rows = 0;
    for (const UnitRecord& u : page.units) {
        const Placement p = place(u);
        if (p.ok && u.Head == head) {
            width = qMax(width, p.left + u.Width);
            rows = qMax(rows, p.bottom + u.Height);
        }
    }
    if (width == 0 || rows == 0)
        return QImage();

    QImage canvas(width, rows, QImage::Format_Mono);
    canvas.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    canvas.fill(0);
    for (const UnitRecord& u : page.units) {
        const Placement p = place(u);
        if (!p.ok || u.Head != head)
            continue;
        const int top = rows - p.bottom - u.Height;
        const uchar* src = reinterpret_cast<const uchar*>(u.rows.constData());
        for (int r = 0; r < u.Height; ++r)
            orBits(canvas.scanLine(top + r), src + r * u.stride(), p.left, u.Width);
    }

    // Rows repeated to 600 per inch (nearest row), so the page keeps its shape.
    const int height = static_cast<int>(std::lround(rows * kDotsPerInch / kRowsPerInch));
    QImage out(width, height, QImage::Format_Mono);
    out.setColorTable(canvas.colorTable());
    const int line = qMin(out.bytesPerLine(), canvas.bytesPerLine());
    for (int y = 0; y < height; ++y) {
        const int from = qMin(rows - 1, static_cast<int>(y * kRowsPerInch / kDotsPerInch));
        std::memcpy(out.scanLine(y), canvas.constScanLine(from), static_cast<size_t>(line));
    }
    const int dotsPerMetre = static_cast<int>(std::lround(kDotsPerInch / 0.0254));
    out.setDotsPerMeterX(dotsPerMetre);
    out.setDotsPerMeterY(dotsPerMetre);
    return out;
}

bool write(const QString& dir, const PageRecord& page, QString* error)
{
    if (!QDir().mkpath(dir)) {
        *error = QString("cannot create %1").arg(dir);
        return false;
    }
    const QString base = QString("%1/page-%2").arg(dir).arg(page.number);
    if (!writeFile(base + ".json", QJsonDocument(manifest(page)).toJson(), error))
        return false;
    for (int head : heads(page)) {
        const QString path = QString("%1-head-%2.png").arg(base).arg(head);
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || !picture(page, head).save(&file, "PNG") || !file.commit()) {
            *error = QString("cannot write %1").arg(path);
            return false;
        }
    }
    return true;
}

} // namespace PageFiles

void PageWriter::write(const PageRecord& page) const
{
    if (m_dir.isEmpty())
        return;
    QString error;
    if (!PageFiles::write(m_dir, page, &error))
        report(error);
}

} // namespace vqsim
