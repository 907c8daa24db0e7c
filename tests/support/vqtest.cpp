#include "vqtest.h"

#include "app/appconfig.h"

#include <QBuffer>
#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QSettings>

#include <cstdio>
#include <cstdlib>

namespace vqtest {

void requireSandbox()
{
    if (qgetenv("VQ_IN_SANDBOX") != "1") {
        fprintf(stderr, "This test writes the station's fixed folders; run it through tests/sandbox-run.\n");
        std::exit(2);
    }
}

QString writeTemplate(const QString& baseName, const QString& iniText)
{
    QDir().mkpath(APPConfig::syspath());
    const QString path = APPConfig::syspath() + "/" + baseName + ".ini";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write template %s", qPrintable(path));
    file.write(iniText.toUtf8());
    // QSettings keeps parsed files and re-reads one only when its size or
    // modification time changed; tests rewrite templates faster than the
    // clock ticks, so give every write a time of its own.
    static int writes = 0;
    file.flush();
    file.setFileTime(QDateTime::currentDateTime().addSecs(++writes), QFileDevice::FileModificationTime);
    return path;
}

void setActiveTemplate(const QString& baseName)
{
    QDir().mkpath(QFileInfo(APPConfig::config()).path());
    {
        QSettings settings(APPConfig::config(), QSettings::IniFormat);
        settings.setValue("Template", baseName);
    }
}

void clearStationFiles()
{
    QDir(APPConfig::syspath()).removeRecursively();
    QFile::remove(APPConfig::config());
    APPConfig::clearFolder(QDir(APPConfig::output()));
}

QString sourcePath(const QString& relative)
{
#ifdef VQ_SOURCE_DIR
    return QString(VQ_SOURCE_DIR) + "/" + relative;
#else
    return relative;
#endif
}

QStringList takePrintQueue()
{
    QMutexLocker lock(APPConfig::mutexM);
    QStringList entries = APPConfig::_imgIdsQueue;
    APPConfig::_imgIdsQueue.clear();
    return entries;
}

QByteArray encodedImage(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray bmpHeaders(qint32 width, qint32 height)
{
    QByteArray b;
    QDataStream s(&b, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s.writeRawData("BM", 2);
    s << quint32(54) << quint32(0) << quint32(54) << quint32(40) << width << height << quint16(1)
      << quint16(24) << quint32(0) << quint32(0) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
    return b;
}

namespace {
QMutex captureMutex;
QStringList* captured = nullptr;
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&captureMutex);
    captured = new QStringList;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    QMutexLocker lock(&captureMutex);
    delete captured;
    captured = nullptr;
}

void LogCapture::handler(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    QMutexLocker lock(&captureMutex);
    if (captured)
        captured->append(msg);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&captureMutex);
    return captured ? *captured : QStringList();
}

bool LogCapture::contains(const QString& text) const
{
    const QStringList all = lines();
    for (const QString& line : all)
        if (line.contains(text))
            return true;
    return false;
}

int LogCapture::count(const QString& text) const { return lines().count(text); }

void LogCapture::clear()
{
    QMutexLocker lock(&captureMutex);
    if (captured)
        captured->clear();
}

} // namespace vqtest
