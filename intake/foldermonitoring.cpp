#include "intake/foldermonitoring.h"

#include "app/appconfig.h"
#include "app/stationpause.h"

#include <QDebug>
#include <QDir>
#include <QSet>

#include <algorithm>

namespace {
// Empty polls tolerated over the watcher's life; the next one ends it.
constexpr int kEmptyPollsTolerated = 10;
} // namespace

FolderMonitoring::FolderMonitoring(QString path)
    : folder_(path)
{
}

void FolderMonitoring::run()
{
    if (folder_.isEmpty())
        return;
    qDebug() << "FolderMonitoring RUN======================";
    do {
        StationPause::ms(2000);
    } while (onFolderModified(folder_));
    qDebug() << "FolderMonitoring Exit======================";
}

bool FolderMonitoring::onFolderModified(const QString& path)
{
    if (path != folder_)
        return false;

    // Newest first; a missing or unreadable folder lists as empty.
    const QFileInfoList listing =
        QDir(folder_).entryInfoList({"*.*"}, QDir::Files, QDir::Time);

    // A file is known by its path alone: rewriting it in place does not make
    // it new, but one that was gone for a poll and came back does.
    QSet<QString> known;
    for (const QFileInfo& info : qAsConst(fileInfoList_))
        known.insert(info.filePath());
    QFileInfoList fresh;
    for (const QFileInfo& info : listing)
        if (!known.contains(info.filePath()))
            fresh.append(info);

    if (fresh.isEmpty()) {
        if (++i_no_cnt > kEmptyPollsTolerated)
            return false;
        fileInfoList_ = listing;
        return true;
    }

    i_cnt += fresh.size();
    emit handleCnt(i_cnt.load());
    // The total is raised before the batch is queued, so the preparation
    // thread never measures a page of this batch against the old total. New
    // pages also mean the job is no longer fully prepared: the dispatch
    // thread must not end the run before they are printed.
    APPConfig::PrintTotal = i_cnt.load();
    APPConfig::bln_ImgW_Complete = false;

    std::reverse(fresh.begin(), fresh.end());
    QStringList paths;
    for (const QFileInfo& info : qAsConst(fresh))
        paths.append(info.filePath());
    APPConfig::enqueueImgWork(paths);

    fileInfoList_ = listing;
    return true;
}
