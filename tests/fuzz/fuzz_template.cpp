// The template loader on arbitrary ini text, written as the active template.
// A template whose paper and slices stay within a small page is then used to
// lay out a page: a 1-bit page (the bit copy) must come out exactly as the
// plain painter draws it, and a colour page (the painter) must lay out too.

#include "fuzzsupport.h"

#include "app/appconfig.h"
#include "app/prefs.h"
#include "imaging/imagework.h"
#include "vqtest.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPainter>

#include <cstdlib>

namespace {

const int kPageW = 333;
const int kPageH = 217;
// Layouts are tried only on templates whose canvas stays small (paper in
// millimetres) and whose values keep the plain painter's rectangles far from
// the int limits.
const int kMaxPaperMm = 60;
const int kMaxSlices = 24;
const int kMaxDots = 100000;
const double kMaxScale = 4.0;

QImage monoPage, colourPage;

QImage makeMonoPage()
{
    QImage page(kPageW, kPageH, QImage::Format_Mono);
    quint32 seed = 11;
    for (int y = 0; y < kPageH; ++y)
        for (int x = 0; x < kPageW; ++x) {
            seed = seed * 1103515245u + 12345u;
            page.setPixel(x, y, (seed >> 8) % 3 == 0 ? 0 : 1);
        }
    return page;
}

bool small(const SliceArea_t& s)
{
    for (int v : {s.new_x, s.new_y, s.x, s.y, s.width, s.height})
        if (std::abs(qint64(v)) > kMaxDots)
            return false;
    return true;
}

bool layoutIsSmall()
{
    if (APPConfig::paperW > kMaxPaperMm || APPConfig::paperH > kMaxPaperMm)
        return false;
    if (APPConfig::g_Scale > kMaxScale || APPConfig::m_SliceAreas.size() > kMaxSlices)
        return false;
    for (const SliceArea_t& s : qAsConst(APPConfig::m_SliceAreas))
        if (!small(s))
            return false;
    return true;
}

// The composition drawn the plain way, for templates without scaling,
// rotation or mirroring: QPainter onto a white 1-bit canvas.
QImage painted(const QImage& page, int head, bool perHead)
{
    int w = Prefs::MillimetreToDot(APPConfig::paperW);
    int h = Prefs::MillimetreToDot(APPConfig::paperH);
    if (w <= 0)
        w = page.width();
    if (h <= 0)
        h = page.height();
    QImage canvas(w, h, QImage::Format_Mono);
    canvas.fill(1);
    QPainter painter(&canvas);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    for (const SliceArea_t& s : qAsConst(APPConfig::m_SliceAreas))
        if (!perHead || s.pt == head)
            painter.drawImage(QPoint(s.new_x, s.new_y), page, QRect(s.x, s.y, s.width, s.height));
    painter.end();
    return canvas;
}

bool transformed()
{
    return (APPConfig::g_Scale > 0 && APPConfig::g_Scale != 1.0) || APPConfig::g_Rotate > 0 ||
           APPConfig::g_MirroreX > 0 || APPConfig::g_MirroreY > 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vqfuzz::start(true);
    QDir().mkpath(APPConfig::syspath());
    vqtest::setActiveTemplate("fuzz");
    monoPage = makeMonoPage();
    colourPage = monoPage.convertToFormat(QImage::Format_RGB32);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The bytes as they are, not as text: a template may be in any encoding.
    // Parsed files are cached by size and modification time, so every
    // template gets a time of its own.
    const QString path = APPConfig::syspath() + "/fuzz.ini";
    if (!vqfuzz::writeFile(path, vqfuzz::bytes(data, size)))
        vqfuzz::fail("cannot write the template", path);
    static qint64 writes = 0;
    QFile file(path);
    file.open(QIODevice::ReadWrite);
    file.setFileTime(QDateTime::fromSecsSinceEpoch(1000000000 + ++writes), QFileDevice::FileModificationTime);
    file.close();
    Prefs::ReadConfig();
    if (APPConfig::m_Template_path.isEmpty())
        vqfuzz::fail("the active template was not found");
    // Debug dumps would only write more files.
    APPConfig::g_Debug = false;
    if (!layoutIsSmall() || APPConfig::m_SliceAreas.isEmpty())
        return 0;

    const QMap<int, QImage> fromMono = ImageWork::img_GetPrintSrc(monoPage);
    ImageWork::img_GetPrintSrc(colourPage);
    if (transformed())
        return 0;
    const bool perHead = fromMono.size() > 1;
    for (auto it = fromMono.constBegin(); it != fromMono.constEnd(); ++it) {
        const bool composite = it.key() == -1 || !perHead;
        const QImage expected = painted(monoPage, it.key(), !composite);
        if (it.value() != expected)
            vqfuzz::fail("the bit copy differs from the painter", QString("head %1").arg(it.key()));
    }
    return 0;
}
