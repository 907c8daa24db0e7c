#include "app/outputmessage.h"

#include "app/appconfig.h"

#include <QFile>
#include <QMutex>
#include <QTextCodec>
#include <QTextStream>

#include <cstdio>

namespace {

QString levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug:");
    case QtWarningMsg:
        return QStringLiteral("Warning:");
    case QtCriticalMsg:
        return QStringLiteral("Critical:");
    case QtFatalMsg:
        return QStringLiteral("Fatal:");
    case QtInfoMsg:
        break;
    }
    return QString();
}

QTextCodec* gbk() { return QTextCodec::codecForName("GBK"); }

} // namespace

QString logFilePath(const QDateTime& when)
{
    return APPConfig::_logs() + "/" + when.toString("yyyy-MM-dd") + ".log";
}

QByteArray logFileLine(QtMsgType type, const QString& msg, const QDateTime& when)
{
    QTextCodec* codec = gbk();
    if (!codec)
        return QByteArray();
    const QString line = QString("%1 %2 %3").arg(when.toString("yyyy-MM-dd hh:mm:ss"), levelWord(type), msg);
    QByteArray bytes;
    QTextStream stream(&bytes, QIODevice::WriteOnly);
    stream.setCodec(codec);
    stream << line << "\r\n";
    stream.flush();
    return bytes;
}

void outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    Q_UNUSED(context);
    static QMutex mutex;
    QMutexLocker lock(&mutex);

    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray line = logFileLine(type, msg, now);

    const QByteArray echo = msg.toUtf8() + '\n';
    fwrite(echo.constData(), 1, size_t(echo.size()), stdout);
    fflush(stdout);

    // Log files are read as GBK: rather than store other bytes, say once on
    // the console that the file is not being written.
    if (line.isEmpty()) {
        static bool told = false;
        if (!told) {
            fputs("log file not written: the GBK codec is not available\n", stderr);
            told = true;
        }
        return;
    }
    QFile file(logFilePath(now));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        file.write(line);
        file.close();
    }
}
