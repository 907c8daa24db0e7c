#include "outcome.h"

#include "wire.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace reliability {

namespace {

// A day's log line: "yyyy-MM-dd hh:mm:ss Debug: message".
const QRegularExpression kLogStamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\w+: ");

QString ending(const station::Run& run)
{
    if (!run.started)
        return "not started";
    if (run.crashed)
        return "crashed";
    if (!run.endedByItself)
        return "still running, ended";
    return QString("exit %1").arg(run.exitCode);
}

QString lastState(const station::Run& run)
{
    if (!run.labels.contains("lbl_Num"))
        return "(no window)";
    return run.labels.value("lbl_State").value(run.labels.value("lbl_State").size() - 1);
}

// One entry per print task the printer took, as the simulator recorded it.
QString printerRecord(const QString& pagesDir)
{
    QStringList pages;
    for (int n = 1;; ++n) {
        QFile file(QString("%1/page-%2.json").arg(pagesDir).arg(n));
        if (!file.open(QIODevice::ReadOnly))
            break;
        const QJsonObject page = QJsonDocument::fromJson(file.readAll()).object();
        QString text = QString("page %1: %2 of %3 units")
                           .arg(n)
                           .arg(page["unitsReceived"].toInt())
                           .arg(page["SliceAmount"].toInt());
        if (page["malformedUnits"].toInt() > 0)
            text += QString(", %1 malformed").arg(page["malformedUnits"].toInt());
        pages << text;
    }
    return pages.isEmpty() ? "nothing" : pages.join("; ");
}

QString folderContents(const QString& folder)
{
    if (!QDir(folder).exists())
        return "gone";
    const QStringList names = station::filesIn(folder);
    return names.isEmpty() ? "empty" : names.join(", ");
}

// Table cells are one line each; a "|" would end the cell.
QString cell(QString text)
{
    text.replace('\t', ' ').replace('\n', ' ').replace('\r', ' ');
    return text.replace("|", "\\|");
}

} // namespace

QStringList Outcome::lines() const
{
    QList<QPair<QString, QString>> fields{{"ending", ending}, {"time", time}};
    for (const QString& line : log)
        fields.append({"log", line});
    fields += {{"state", state},         {"shown", shown},          {"wire", wire},
               {"printer", printer},     {"job folder", jobFolder}, {"memory", memory}};
    QStringList out;
    for (const auto& field : fields)
        if (!field.second.isNull())
            out << field.first + ": " + (field.second.isEmpty() ? "(empty)" : field.second);
    return out;
}

Outcome endsByItself(const QStringList& log, const QString& state, const QString& wire, const QString& printer,
                     const QString& jobFolder)
{
    Outcome o;
    o.ending = "exit 0";
    o.time = QString("within %1 s").arg(kRunBoundSeconds);
    o.log = log;
    o.state = state;
    o.wire = wire;
    o.printer = printer;
    o.jobFolder = jobFolder;
    return o;
}

QStringList linesStartingWith(const station::Run& run, const QString& jobFolder, const QString& text)
{
    QStringList candidates = run.standardError.split('\n');
    for (const QString& line : run.logLines)
        candidates << QString(line).remove(kLogStamp);
    QStringList found;
    for (QString line : candidates) {
        line.replace(jobFolder, "JOB");
        if (line.startsWith(text))
            found << line;
    }
    return found;
}

Outcome observe(const station::Run& run, const QString& jobFolder, const Outcome& expected)
{
    Outcome o;
    o.ending = ending(run);
    o.time = QString("after %1 s").arg((run.elapsedMs + 500) / 1000);
    for (const QString& text : expected.log) {
        const QStringList found = linesStartingWith(run, jobFolder, text);
        if (found.size() > 1)
            o.log << QString("%1 logged %2 times").arg(text).arg(found.size());
        else
            o.log << found.value(0, "none");
    }
    if (!expected.state.isNull())
        o.state = lastState(run);
    if (!expected.shown.isNull())
        o.shown = run.labels.value("lbl_State").contains(expected.shown) ? expected.shown : "not shown";
    if (!expected.wire.isNull()) {
        QString error;
        const QList<station::UsbRecord> records = station::readCapture(run.capture, &error);
        o.wire = error.isEmpty() ? station::wireSummary(records, true) : error;
        if (o.wire.isEmpty())
            o.wire = "nothing";
    }
    if (!expected.printer.isNull())
        o.printer = printerRecord(run.pagesDir);
    if (!expected.jobFolder.isNull())
        o.jobFolder = folderContents(jobFolder);
    if (!expected.memory.isNull())
        o.memory = QString("peak %1 MB").arg((run.peakMemoryKb + 1023) / 1024);
    return o;
}

QStringList differences(const Outcome& expected, const Outcome& observed)
{
    QStringList out;
    auto compare = [&out](const char* name, const QString& want, const QString& got) {
        if (want != got)
            out << QString("%1: expected \"%2\", observed \"%3\"").arg(name, want, got);
    };
    compare("ending", expected.ending, observed.ending);
    for (int i = 0; i < expected.log.size(); ++i) {
        const QString got = observed.log.value(i);
        if (!got.startsWith(expected.log.at(i)) || got.endsWith(" times"))
            out << QString("log: expected one line starting \"%1\", observed \"%2\"").arg(expected.log.at(i), got);
    }
    compare("state", expected.state, observed.state);
    compare("shown", expected.shown, observed.shown);
    compare("wire", expected.wire, observed.wire);
    compare("printer", expected.printer, observed.printer);
    compare("job folder", expected.jobFolder, observed.jobFolder);
    // "peak below N MB" against "peak M MB".
    const QRegularExpression megabytes("(\\d+) MB");
    if (!expected.memory.isNull()
        && megabytes.match(observed.memory).captured(1).toLongLong()
               >= megabytes.match(expected.memory).captured(1).toLongLong())
        out << QString("memory: expected %1, observed %2").arg(expected.memory, observed.memory);
    return out;
}

void record(const Row& row)
{
    const QString folder = QString::fromLocal8Bit(qgetenv("VQ_RELIABILITY_RESULTS"));
    if (folder.isEmpty())
        return;
    QFile file(QString("%1/%2-%3-%4.row").arg(folder).arg(row.section).arg(row.order, 3, 10, QChar('0')).arg(row.link));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning("cannot write the result row %s", qPrintable(file.fileName()));
        return;
    }
    QStringList expected, observed;
    for (const QString& line : row.expected)
        expected << cell(line);
    for (const QString& line : row.observed)
        observed << cell(line);
    const QStringList fields{QString::number(row.section), cell(row.caseName), cell(row.link),
                             expected.join("<br>"), observed.join("<br>"),
                             row.asExpected ? "as expected" : "**differs**"};
    file.write(fields.join('\t').toUtf8() + '\n');
}

} // namespace reliability
