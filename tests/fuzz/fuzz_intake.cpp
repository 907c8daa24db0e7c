// Page intake on arbitrary small files, through the preparation thread's own
// per-page work (without the thread and without the wait for a writer to
// finish). The first byte picks the template the page is laid out with and
// the file's suffix; the rest is the page file.
//
// Whatever the file holds, the page is either prepared (its print entry
// queued, its print sources saved, the input removed) or refused with a log
// line that names it, the input left where it was.

#include "fuzzsupport.h"

#include "app/appconfig.h"
#include "app/prefs.h"
#include "intake/handleimgqueuethread.h"
#include "vqtest.h"

#include <QDir>
#include <QFile>
#include <QVector>

namespace {

// Small papers keep every run quick; between them the templates take every
// path of the layout: one head and two, slices and none, scaling, quarter
// and free rotations, mirroring.
const char* const kTemplates[] = {
    "[Mode]\nM=TRV-B20\n[Paper]\nWidth=30\nHeight=40\n[SliceAmount]\nAmount=2\n"
    "[Slice1]\nX=0\nY=0\nW=30\nH=18\nnewX=0\nnewY=0\nPt=0\n"
    "[Slice2]\nX=0\nY=20\nW=30\nH=20\nnewX=0\nnewY=20\nPt=0\n",

    "[Mode]\nM=TRV-B20\n[Paper]\nWidth=30\nHeight=40\n[SliceAmount]\nAmount=2\n"
    "[Slice1]\nX=0\nY=0\nW=15\nH=40\nnewX=0\nnewY=0\nPt=0\n"
    "[Slice2]\nX=15\nY=0\nW=15\nH=40\nnewX=15\nnewY=0\nPt=1\n",

    "[Mode]\nM=TRV-A20\nScale=0.5\nRotate=90\nMirroreX=1\n[Paper]\nWidth=40\nHeight=30\n"
    "[SliceAmount]\nAmount=1\n[Slice1]\nX=-2\nY=-2\nW=50\nH=50\nnewX=1\nnewY=1\nPt=0\n",

    "[Mode]\nM=TRV-C20\nRotate=45\n[Paper]\nWidth=25\nHeight=25\n",

    "[Mode]\nM=TRV-C20\nRotate=270\nMirroreY=1\n[Paper]\nWidth=30\nHeight=30\n[SliceAmount]\nAmount=3\n"
    "[Slice1]\nX=0\nY=0\nW=10\nH=30\nnewX=20\nnewY=0\nPt=1\n"
    "[Slice2]\nX=10\nY=0\nW=10\nH=30\nnewX=10\nnewY=0\nPt=0\n"
    "[Slice3]\nX=20\nY=0\nW=10\nH=30\nnewX=0\nnewY=0\nPt=2\n",
};
const int kTemplateCount = int(sizeof kTemplates / sizeof kTemplates[0]);
const char* const kSuffixes[] = {"bmp", "png", "jpg"};

// The template values the layout reads, as the loader left them.
struct Layout {
    QList<SliceArea_t> slices;
    double paperW = 0, paperH = 0, gXAXIS_DPI = 0, gYAXIS_DPI = 0, g_Scale = 0;
    int g_mode = 0, g_type = 0, g_MirroreX = 0, g_MirroreY = 0, g_Rotate = 0;

    static Layout loaded()
    {
        Layout l;
        l.slices = APPConfig::m_SliceAreas;
        l.paperW = APPConfig::paperW;
        l.paperH = APPConfig::paperH;
        l.gXAXIS_DPI = APPConfig::gXAXIS_DPI;
        l.gYAXIS_DPI = APPConfig::gYAXIS_DPI;
        l.g_Scale = APPConfig::g_Scale;
        l.g_mode = APPConfig::g_mode;
        l.g_type = APPConfig::g_type;
        l.g_MirroreX = APPConfig::g_MirroreX;
        l.g_MirroreY = APPConfig::g_MirroreY;
        l.g_Rotate = APPConfig::g_Rotate;
        return l;
    }
    void apply() const
    {
        APPConfig::m_SliceAreas = slices;
        APPConfig::paperW = paperW;
        APPConfig::paperH = paperH;
        APPConfig::gXAXIS_DPI = gXAXIS_DPI;
        APPConfig::gYAXIS_DPI = gYAXIS_DPI;
        APPConfig::g_Scale = g_Scale;
        APPConfig::g_mode = g_mode;
        APPConfig::g_type = g_type;
        APPConfig::g_MirroreX = g_MirroreX;
        APPConfig::g_MirroreY = g_MirroreY;
        APPConfig::g_Rotate = g_Rotate;
        APPConfig::g_Debug = false;
    }
};
QVector<Layout> layouts;

// Set while a page is prepared: whether some log line named it.
QString pagePath;
bool pageNamed = false;

void watchLog(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    if (!pagePath.isEmpty() && msg.contains(pagePath))
        pageNamed = true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vqfuzz::start(true);
    for (int i = 0; i < kTemplateCount; ++i) {
        const QString name = QString("fuzz-intake-%1").arg(i);
        vqtest::writeTemplate(name, kTemplates[i]);
        vqtest::setActiveTemplate(name);
        Prefs::ReadConfig();
        layouts.append(Layout::loaded());
    }
    qInstallMessageHandler(watchLog);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const int choice = data[0];
    layouts.at(choice % kTemplateCount).apply();
    const QString suffix = kSuffixes[choice / kTemplateCount % 3];

    pagePath = vqfuzz::privateDir() + "/page." + suffix;
    if (!vqfuzz::writeFile(pagePath, vqfuzz::bytes(data + 1, size - 1)))
        vqfuzz::fail("cannot write the page", pagePath);
    pageNamed = false;

    HandleImgQueueThread preparation;
    preparation._preparePage(pagePath);

    const QStringList entries = vqtest::takePrintQueue();
    const bool inputLeft = QFile::exists(pagePath);
    if (entries.size() > 1)
        vqfuzz::fail("one page queued more than once", entries.join(" / "));
    if (entries.isEmpty()) {
        if (!inputLeft)
            vqfuzz::fail("a page was neither queued nor left in the job folder", pagePath);
        if (!pageNamed)
            vqfuzz::fail("a page was refused without a log line naming it", pagePath);
    } else {
        if (inputLeft)
            vqfuzz::fail("a queued page was left in the job folder", pagePath);
        for (const QString& element : entries.first().split("|")) {
            const QString source = element.split(":::").first();
            if (!QFile::exists(source))
                vqfuzz::fail("a print entry names a file that is not there", element);
        }
    }

    QFile::remove(pagePath);
    pagePath.clear();
    APPConfig::clearFolder(QDir(APPConfig::output()));
    return 0;
}
