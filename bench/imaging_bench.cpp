// Times the preparation of one A4 page at 600 dpi (4960 x 7016 dots): the
// print sources of a one-head and a two-head template with their resampling
// to the printer's resolution, and the cutter on the resampled page. Prints
// the median of several runs per case and the process's peak memory.

#include "app/appconfig.h"
#include "app/prefs.h"
#include "imaging/cappbmpcut.h"
#include "imaging/imagework.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kPageWidth = 4960;
constexpr int kPageHeight = 7016;
constexpr int kRuns = 7;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// A page of text-like ink: lines of words made of vertical strokes, inside
// 5 mm margins, with a blank band across the middle.
QImage monoPage()
{
    QImage page(kPageWidth, kPageHeight, QImage::Format_Mono);
    page.fill(1);
    quint32 seed = 2024;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const int margin = 120;
    for (int top = margin; top + 50 < kPageHeight - margin; top += 80) {
        if (top > 3300 && top < 3700)
            continue;
        int x = margin + int(next() % 200);
        while (x < kPageWidth - margin - 400) {
            const int wordWidth = 100 + int(next() % 300);
            for (int y = top; y < top + 50; ++y) {
                uchar* row = page.scanLine(y);
                for (int px = x; px < x + wordWidth; ++px)
                    if (px % 7 < 3)
                        row[px >> 3] &= uchar(~(0x80 >> (px & 7)));
            }
            x += wordWidth + 40 + int(next() % 40);
        }
    }
    return page;
}

// A blank page with one small mark near its top edge: the cutter's column
// scans then walk almost every row of every column.
QImage sparsePage()
{
    QImage page(kPageWidth, kPageHeight, QImage::Format_Mono);
    page.fill(1);
    for (int y = 200; y < 250; ++y)
        for (int x = 300; x < 350; ++x)
            page.setPixel(x, y, 0);
    return page;
}

// The same page in colour, with a coloured heading band and a grey box.
QImage colourPage(const QImage& mono)
{
    QImage page = mono.convertToFormat(QImage::Format_RGB888);
    QPainter painter(&page);
    painter.fillRect(QRect(120, 120, kPageWidth - 240, 300), QColor(200, 30, 40));
    painter.fillRect(QRect(600, 5000, 1500, 900), QColor(128, 128, 128));
    painter.end();
    return page;
}

void useTemplate(const QList<SliceArea_t>& slices)
{
    APPConfig::m_SliceAreas = slices;
    APPConfig::paperW = 210;
    APPConfig::paperH = 297;
    APPConfig::g_Scale = 0;
    APPConfig::g_Debug = false;
}

SliceArea_t sliceMm(double newX, double newY, double x, double y, double w, double h, int head)
{
    SliceArea_t s;
    s.new_x = Prefs::MillimetreToDot(newX);
    s.new_y = Prefs::MillimetreToDot(newY);
    s.x = Prefs::MillimetreToDot(x);
    s.y = Prefs::MillimetreToDot(y);
    s.width = Prefs::MillimetreToDot(w);
    s.height = Prefs::MillimetreToDot(h);
    s.pt = head;
    return s;
}

// The page as the print job hands it to the cutter: a 1-bit BMP in which a
// set bit is a dot, i.e. every pixel that is not white.
QByteArray dotBitmap(const QImage& source)
{
    QImage dots(source.size(), QImage::Format_Mono);
    dots.fill(0);
    const QImage argb = source.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < argb.height(); ++y) {
        const QRgb* in = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        uchar* out = dots.scanLine(y);
        for (int x = 0; x < argb.width(); ++x)
            if (in[x] != 0xFFFFFFFFu)
                out[x >> 3] |= uchar(0x80 >> (x & 7));
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    dots.save(&buffer, "BMP");
    return bytes;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Figures {
    double prepareMs;
    double cutMs;
    int units;
};

Figures run(const QImage& page)
{
    std::vector<double> prepare;
    std::vector<double> cut;
    QImage toCut;
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QMap<int, QImage> sources = ImageWork::img_GetPrintSrc(page);
        QMap<int, QImage> resampled;
        for (auto it = sources.cbegin(); it != sources.cend(); ++it)
            resampled.insert(it.key(), ImageWork::img_DotsPerMeter(it.value(), 600, 290.3));
        prepare.push_back(double(timer.nsecsElapsed()) / 1e6);
        toCut = resampled.first(); // the composite (-1) or the only source (0)
    }

    const QByteArray bmp = dotBitmap(toCut);
    BMP_CutResult_t result;
    for (int i = 0; i < kRuns; ++i) {
        std::memset(&result, 0, sizeof(result));
        QElapsedTimer timer;
        timer.start();
        CAppBmpCut().OS_Apps_BmpCut(DEV_TYPE_TRV_B20, reinterpret_cast<const quint8*>(bmp.constData()),
                                    quint32(bmp.size()), reinterpret_cast<quint8*>(&result));
        cut.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return {median(prepare), median(cut), result._total};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);

    const QImage mono = monoPage();
    const QImage colour = colourPage(mono);
    const QImage sparse = sparsePage();
    const QList<SliceArea_t> oneHead{sliceMm(0, 0, 0, 0, 210, 140, 0), sliceMm(0, 150, 0, 150, 210, 147, 0)};
    const QList<SliceArea_t> twoHeads{sliceMm(0, 0, 0, 0, 105, 297, 0), sliceMm(105, 0, 105, 0, 105, 297, 1)};

    struct Case {
        const char* name;
        const QList<SliceArea_t>* slices;
        const QImage* page;
        int rotate;
        int mirrorX;
    };
    const Case cases[] = {
        {"one head, 1-bit page", &oneHead, &mono, 0, 0},
        {"one head, 24-bit page", &oneHead, &colour, 0, 0},
        {"two heads, 1-bit page", &twoHeads, &mono, 0, 0},
        {"two heads, 24-bit page", &twoHeads, &colour, 0, 0},
        {"one head, 1-bit, turned 90 and mirrored", &oneHead, &mono, 90, 1},
        {"one head, 1-bit, one mark near the top", &oneHead, &sparse, 0, 0},
    };

    std::printf("A4 page %d x %d dots at 600 dpi, median of %d runs\n", kPageWidth, kPageHeight, kRuns);
    std::printf("%-42s %22s %12s %6s\n", "case", "sources + resampling", "cutter", "units");
    for (const Case& c : cases) {
        useTemplate(*c.slices);
        APPConfig::g_Rotate = c.rotate;
        APPConfig::g_MirroreX = c.mirrorX;
        const Figures f = run(*c.page);
        std::printf("%-42s %19.1f ms %9.2f ms %6d\n", c.name, f.prepareMs, f.cutMs, f.units);
    }

    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory: %.0f MiB\n", double(usage.ru_maxrss) / 1024.0);
    return 0;
}
