#pragma once

// Runs the real station binary the way a user starts it, with the simulated
// printer behind one of the two USB links, and collects what it left: exit
// status, output, the capture, the simulator's page files, the labels the
// operator saw and the lines it added to the day's log file.

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

namespace station {

// The station's fixed folders, as an operator finds them.
extern const QString kShareDir;     // templates, system ini, logs
extern const QString kWorkDir;      // working files of the pages

enum class Link {
    StandIn,   // the simulator's libusb preloaded into the station
    Usbfs,     // the real libusb against the emulated usbfs device
};

QString linkName(Link link);
bool usbfsLauncherBuilt();

struct Launch {
    Link link = Link::StandIn;
    QStringList arguments;          // the job folder, or nothing
    QStringList environment;        // extra NAME=value for the printer
    QString resultsDir;             // capture and page files go here
    QString display;                // an X display; offscreen when empty
    int timeoutMs = 4 * 60 * 1000;
    // Runs while the station is up.
    std::function<void(QProcess&)> whileRunning;
    // False for a station that waits for an operator (the template
    // chooser): it is ended (terminate, then kill) after whileRunning.
    bool endsByItself = true;
    // Follow the peak resident memory of the station's processes.
    bool samplePeakMemory = false;
};

struct Run {
    bool started = false;
    bool endedByItself = false;     // within the timeout, without being ended
    int exitCode = -1;
    bool crashed = false;
    QString standardOutput;
    QString standardError;
    QString capture;                // path of the simulator's capture
    QString pagesDir;               // the simulator's page files
    QMap<QString, QStringList> labels;  // label name -> texts shown, in order
    QStringList logLines;           // lines added to the day's log, decoded
    qint64 elapsedMs = 0;           // from the start to the end of the process
    qint64 peakMemoryKb = 0;        // largest VmHWM seen, when sampled

    // Why a run did not end as it should, for failure messages.
    QString describe() const;
};

Run runStation(const Launch& launch);

// Templates in the station's template folder; the named one becomes active.
void installTemplate(const QString& baseName, const QString& iniText);
// Removes the templates, the system ini and the working files.
void clearStation();
// A sample template from packaging/templates, with `replacements` applied
// (pairs of "from", "to").
QString sampleTemplate(const QString& fileName, const QStringList& replacements = {});

QStringList filesIn(const QString& folder);

} // namespace station
