#include "jobpages.h"

#include "outcome.h"
#include "pages.h"

namespace reliability {

namespace {

// Blocks are 320 dots wide with wide gaps, so each is an image unit of its
// own, and lie above the band the one-head sample leaves out.
const int kBlockWidth = 320;
const int kBlockXs[] = {640, 1920, 3200};

} // namespace

QImage smallUnitsPage()
{
    QList<QRect> blocks;
    for (int x : kBlockXs)
        blocks << QRect(x, station::mmToDots(30), kBlockWidth, station::mmToDots(5));
    return station::pageWithBlocks(blocks);
}

QImage tallUnitPage()
{
    return station::pageWithBlocks(
        {QRect(kBlockXs[0], station::mmToDots(20), kBlockWidth, station::mmToDots(100))});
}

void prepareJob(const QString& folder, const QList<QImage>& pages)
{
    station::clearStation();
    station::installTemplate("station", station::sampleTemplate("a4-one-head.ini"));
    if (!station::writeJob(folder, pages))
        qFatal("cannot write the job into %s", qPrintable(folder));
}

station::Launch launchOn(station::Link link, const QString& jobFolder, const QString& dir)
{
    station::Launch launch;
    launch.link = link;
    launch.arguments = QStringList{jobFolder};
    launch.resultsDir = dir + "/results";
    launch.timeoutMs = kRunBoundSeconds * 1000;
    return launch;
}

} // namespace reliability
