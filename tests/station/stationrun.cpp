#include "stationrun.h"

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTextCodec>

namespace station {

const QString kShareDir = "/usr/share/vendaquill";
const QString kWorkDir = "/tmp/vendaquill";

namespace {

QString logFileOf(const QDate& day) { return kShareDir + "/logs/" + day.toString("yyyy-MM-dd") + ".log"; }

qint64 sizeOf(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() ? info.size() : 0;
}

// The log's lines written since `offset`, decoded from GBK; a line that does
// not end in CR LF is kept with a mark, so that a test sees the fault.
QStringList logLinesSince(const QString& path, qint64 offset)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return {};
    const QByteArray bytes = file.readAll();
    QTextCodec* gbk = QTextCodec::codecForName("GBK");
    QStringList lines;
    int start = 0;
    while (start < bytes.size()) {
        const int end = bytes.indexOf("\r\n", start);
        const int bare = bytes.indexOf('\n', start);
        if (end < 0 || (bare >= 0 && bare < end)) {
            lines << "(no CR LF) " + gbk->toUnicode(bytes.mid(start, bare < 0 ? -1 : bare - start));
            if (bare < 0)
                break;
            start = bare + 1;
            continue;
        }
        lines << gbk->toUnicode(bytes.mid(start, end - start));
        start = end + 2;
    }
    return lines;
}

QMap<QString, QStringList> labelsShown(const QString& standardError)
{
    QMap<QString, QStringList> labels;
    for (const QString& line : standardError.split('\n')) {
        if (!line.startsWith("vqwatch "))
            continue;
        const QString rest = line.mid(8);
        labels[rest.section(' ', 0, 0)] << rest.section(' ', 1);
    }
    return labels;
}

// The process and every descendant, as /proc lists their children.
QList<qint64> processTree(qint64 root)
{
    QList<qint64> tree{root};
    for (int i = 0; i < tree.size(); ++i) {
        const QString taskDir = QString("/proc/%1/task").arg(tree.at(i));
        for (const QString& task : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile children(taskDir + "/" + task + "/children");
            if (!children.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray& pid : children.readAll().simplified().split(' '))
                if (!pid.isEmpty() && !tree.contains(pid.toLongLong()))
                    tree.append(pid.toLongLong());
        }
    }
    return tree;
}

// The largest peak resident size (VmHWM, in kB) among the processes.
qint64 peakResidentKb(const QList<qint64>& pids)
{
    qint64 peak = 0;
    for (qint64 pid : pids) {
        QFile status(QString("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                peak = qMax(peak, line.mid(6).trimmed().split(' ').value(0).toLongLong());
    }
    return peak;
}

// Waits for the process to end, following its memory when asked: the peak
// so far is read every 20 ms while it runs.
bool waitForEnd(QProcess& process, int timeoutMs, bool sampleMemory, qint64* peakKb)
{
    if (!sampleMemory)
        return process.waitForFinished(timeoutMs);
    QElapsedTimer waited;
    waited.start();
    while (process.state() != QProcess::NotRunning) {
        *peakKb = qMax(*peakKb, peakResidentKb(processTree(process.processId())));
        if (waited.elapsed() > timeoutMs)
            return false;
        process.waitForFinished(20);
    }
    return true;
}

} // namespace

QString linkName(Link link) { return link == Link::StandIn ? "stand-in" : "usbfs"; }

bool usbfsLauncherBuilt() { return QFileInfo(VQ_SIM_USBFS).isExecutable(); }

QString Run::describe() const
{
    QString text = QString("started %1, ended by itself %2, exit code %3%4")
                       .arg(started)
                       .arg(endedByItself)
                       .arg(exitCode)
                       .arg(crashed ? " (crashed)" : "");
    const QStringList tail = standardError.split('\n').mid(qMax(0, standardError.count('\n') - 15));
    return text + "\nlast lines on standard error:\n" + tail.join('\n');
}

Run runStation(const Launch& launch)
{
    Run run;
    QDir().mkpath(launch.resultsDir);
    run.capture = launch.resultsDir + "/capture.pcap";
    run.pagesDir = launch.resultsDir + "/pages";

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("LD_PRELOAD");
    env.insert("LC_ALL", "C.UTF-8");
    env.insert("VQSIM_CAPTURE", run.capture);
    env.insert("VQSIM_OUT", run.pagesDir);
    env.insert("QT_PLUGIN_PATH", VQ_LABEL_WATCH_DIR);
    env.insert("QT_QPA_GENERIC_PLUGINS", "vqlabelwatch");
    if (launch.display.isEmpty()) {
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("DISPLAY");
    } else {
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", launch.display);
    }
    for (const QString& assignment : launch.environment)
        env.insert(assignment.section('=', 0, 0), assignment.section('=', 1));

    QProcess process;
    if (launch.link == Link::StandIn) {
        env.insert("LD_PRELOAD", VQ_SIM_PRELOAD);
        process.setProgram(VQ_STATION_BINARY);
        process.setArguments(launch.arguments);
    } else {
        process.setProgram(VQ_SIM_USBFS);
        process.setArguments(QStringList{VQ_STATION_BINARY} + launch.arguments);
    }
    process.setProcessEnvironment(env);

    const QDate day = QDate::currentDate();
    const qint64 logOffset = sizeOf(logFileOf(day));

    QElapsedTimer clock;
    clock.start();
    process.start();
    run.started = process.waitForStarted(30000);
    if (run.started) {
        if (launch.whileRunning)
            launch.whileRunning(process);
        if (launch.endsByItself) {
            const int left = static_cast<int>(qMax<qint64>(0, launch.timeoutMs - clock.elapsed()));
            run.endedByItself = process.state() == QProcess::NotRunning
                                || waitForEnd(process, left, launch.samplePeakMemory, &run.peakMemoryKb);
            if (!run.endedByItself)
                qWarning("the station did not end within %d s; ending it", launch.timeoutMs / 1000);
        }
        if (process.state() != QProcess::NotRunning) {
            run.endedByItself = false;
            // The usbfs launcher passes a terminate on to the station.
            process.terminate();
            if (!process.waitForFinished(10000)) {
                process.kill();
                process.waitForFinished(10000);
            }
        }
        run.elapsedMs = clock.elapsed();
        run.crashed = process.exitStatus() == QProcess::CrashExit;
        run.exitCode = process.exitCode();
    }
    run.standardOutput = QString::fromUtf8(process.readAllStandardOutput());
    run.standardError = QString::fromUtf8(process.readAllStandardError());
    run.labels = labelsShown(run.standardError);

    // A run across midnight starts one log file and continues in the next.
    run.logLines = logLinesSince(logFileOf(day), logOffset);
    if (QDate::currentDate() != day)
        run.logLines += logLinesSince(logFileOf(QDate::currentDate()), 0);
    return run;
}

void installTemplate(const QString& baseName, const QString& iniText)
{
    QDir().mkpath(kShareDir + "/sys");
    QFile file(kShareDir + "/sys/" + baseName + ".ini");
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(iniText.toUtf8()) < 0)
        qFatal("cannot write the template %s", qPrintable(file.fileName()));
    file.close();
    QFile system(kShareDir + "/sys.ini");
    if (!system.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write the system ini");
    system.write("[General]\nTemplate=" + baseName.toUtf8() + "\n");
}

void clearStation()
{
    QDir(kShareDir + "/sys").removeRecursively();
    QFile::remove(kShareDir + "/sys.ini");
    for (const QString& name : filesIn(kWorkDir))
        QFile::remove(kWorkDir + "/" + name);
}

QString sampleTemplate(const QString& fileName, const QStringList& replacements)
{
    QFile file(QString(VQ_SOURCE_DIR) + "/packaging/templates/" + fileName);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("sample template %s missing", qPrintable(fileName));
    QString text = QString::fromUtf8(file.readAll());
    for (int i = 0; i + 1 < replacements.size(); i += 2) {
        if (!text.contains(replacements.at(i)))
            qFatal("sample template %s has no %s", qPrintable(fileName), qPrintable(replacements.at(i)));
        text.replace(replacements.at(i), replacements.at(i + 1));
    }
    return text;
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace station
