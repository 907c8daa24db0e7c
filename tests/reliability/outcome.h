#pragma once

// How a whole-station run ended, in the terms a user, the operator and the
// printer see it, written the same way for what a case expects and for what
// a run showed, so the two can be compared field by field and shown side by
// side in docs/reliability.md.

#include "stationrun.h"

#include <QString>
#include <QStringList>

namespace reliability {

struct Outcome {
    QString ending;     // "exit 0", "exit 3", "crashed", "still running, ended"
    QString time;       // "within 180 s" expected, "after 52 s" observed;
                        // not compared: a run past its bound is "still running"
    QStringList log;    // lines that say what happened (their start); each
                        // must be logged exactly once
    QString state;      // last text of the state label; "(no window)" if none
    QString shown;      // a state text shown on the way, when it matters
    QString wire;       // station::wireSummary with undelivered frames marked
    QString printer;    // what the printer recorded, page by page
    QString jobFolder;  // what is left in the job folder: "empty" or names
    QString memory;     // "peak below 256 MB" expected, "peak 80 MB" observed

    // One field per line, "wire: S T1/1x3 ..."; empty fields are left out.
    QStringList lines() const;
};

// A station run is ended after this long and then counts as hung.
const int kRunBoundSeconds = 180;

// A run expected to end by itself with exit status 0 within the bound.
Outcome endsByItself(const QStringList& log, const QString& state, const QString& wire, const QString& printer,
                     const QString& jobFolder = "empty");

// The outcome of `run`, in the fields `expected` has. Paths under
// `jobFolder` read as JOB, so that lines naming a page compare across runs.
// For each expected log line the observed one is the line, on standard error
// or in the day's log, that starts with it; "none" when there is none, and
// "logged N times" when there are several.
Outcome observe(const station::Run& run, const QString& jobFolder, const Outcome& expected);

// The fields of `observed` that differ from `expected`, one per line.
QStringList differences(const Outcome& expected, const Outcome& observed);

// Lines on standard error and in the day's log (without its time stamp) that
// start with `text`, paths under `jobFolder` read as JOB.
QStringList linesStartingWith(const station::Run& run, const QString& jobFolder, const QString& text);

// A row of docs/reliability.md. Written only when VQ_RELIABILITY_RESULTS
// names a folder (tests/reliability/refresh-table sets it), one file per
// row, so that test programs running side by side never share a file.
struct Row {
    int section = 0;    // 1 hostile inputs, 2 printer faults
    int order = 0;      // place within the section
    QString caseName;
    QString link;
    QStringList expected;
    QStringList observed;
    bool asExpected = false;
};
void record(const Row& row);

} // namespace reliability
