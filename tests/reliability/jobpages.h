#pragma once

// The pages the reliability cases print, and the start of a run shared by
// them: the one-head sample template and a job folder of pages.

#include "stationrun.h"

#include <QImage>
#include <QList>
#include <QString>

namespace reliability {

// Three short inked blocks side by side: three image units small enough for
// one USB transfer each, so that a fault after the Nth transfer falls
// between two known frames (status, task, unit 0, unit 1, unit 2, polls).
QImage smallUnitsPage();
// One column down the page: one image unit of many 512-byte transfers.
QImage tallUnitPage();

// Installs the one-head sample template as the active one and writes the
// pages into `folder` as 1.bmp, 2.bmp, ... (oldest first).
void prepareJob(const QString& folder, const QList<QImage>& pages);

// A launch of the station on `jobFolder` with its results under `dir`,
// ended when it runs past kRunBoundSeconds.
station::Launch launchOn(station::Link link, const QString& jobFolder, const QString& dir);

} // namespace reliability
