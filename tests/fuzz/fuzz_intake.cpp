// Page intake on arbitrary small files, through the preparation thread's own
// per-page work (without the thread and without the wait for a writer to
// finish). The first byte picks the template and the file's suffix; the rest
// is the page file. Whatever the file holds, the page is either queued with
// its print files (the input removed) or refused with a log line that names
// it (the input left where it was).

#include "fuzzsupport.h"

#include "app/prefs.h"
#include "intake/handleimgqueuethread.h"

#include <QDir>
#include <QFile>

#include <tuple>
#include <vector>

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
const char* const kSuffixes[] = {"bmp", "png", "jpg"};

// The template values the preparation reads. Each template is loaded once and
// its values kept: loading one for every input would take most of the run.
auto layout()
{
    return std::tie(APPConfig::m_SliceAreas, APPConfig::paperW, APPConfig::paperH, APPConfig::gXAXIS_DPI,
        APPConfig::gYAXIS_DPI, APPConfig::g_Scale, APPConfig::g_Rotate, APPConfig::g_MirroreX, APPConfig::g_MirroreY);
}
template <typename... T> std::tuple<T...> copied(const std::tuple<T&...>& values) { return values; }
std::vector<decltype(copied(layout()))> layouts;

QString pagePath;
bool pageNamed = false;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    vqfuzz::start();
    for (const char* text : kTemplates) {
        vqtest::writeTemplate("fuzz-intake", text);
        vqtest::setActiveTemplate("fuzz-intake");
        Prefs::ReadConfig();
        layouts.push_back(copied(layout()));
    }
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& msg) {
        pageNamed = pageNamed || (!pagePath.isEmpty() && msg.contains(pagePath));
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    layout() = layouts[data[0] % 5];
    pagePath = QDir::temp().filePath(QString("page.") + kSuffixes[data[0] / 5 % 3]);
    QFile page(pagePath);
    if (!page.open(QIODevice::WriteOnly)
        || page.write(reinterpret_cast<const char*>(data) + 1, qint64(size) - 1) != qint64(size) - 1)
        vqfuzz::fail("cannot write the page", pagePath);
    page.close();
    pageNamed = false;

    HandleImgQueueThread()._preparePage(pagePath);
    const QStringList entries = APPConfig::takeAllPrintEntries();
    if (entries.isEmpty() && !(page.exists() && pageNamed))
        vqfuzz::fail("a page was neither queued nor left with a log line naming it", pagePath);
    if (entries.size() > 1 || (!entries.isEmpty() && page.exists()))
        vqfuzz::fail("a page was queued twice or left in the job folder once queued", entries.join(" / "));
    for (const QString& element : entries.value(0).split('|', Qt::SkipEmptyParts))
        if (!QFile::exists(element.section(":::", 0, 0)))
            vqfuzz::fail("a print entry names a file that is not there", element);

    page.remove();
    pagePath.clear();
    APPConfig::clearFolder(QDir(APPConfig::output()));
    return 0;
}
