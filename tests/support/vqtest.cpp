#include "vqtest.h"

#include "app/appconfig.h"
#include "app/stationpause.h"
#include "app/stationquit.h"
#include "sim/vqsim.h"

#include <QBuffer>
#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QPainter>
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

void useFastClock()
{
    StationPause::setScale(0.001);
    vqsim::setTimeScale(0.001);
    StationQuit::setQuitsApplication(false);
}

QString sourcePath(const QString& relative) { return QString(VQ_SOURCE_DIR) + "/" + relative; }

QString sampleTemplate(const QString& fileName)
{
    QFile file(sourcePath("packaging/templates/" + fileName));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("sample template %s missing", qPrintable(fileName));
    return QString::fromUtf8(file.readAll());
}

QString writeTemplate(const QString& baseName, const QString& iniText)
{
    QDir().mkpath(APPConfig::syspath());
    const QString path = APPConfig::syspath() + "/" + baseName + ".ini";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write template %s", qPrintable(path));
    file.write(iniText.toUtf8());
    file.flush();
    // QSettings re-reads a file only when its size or modification time
    // changed; tests rewrite templates faster than the clock ticks.
    static int writes = 0;
    file.setFileTime(QDateTime::currentDateTime().addSecs(++writes), QFileDevice::FileModificationTime);
    return path;
}

void setActiveTemplate(const QString& baseName)
{
    QDir().mkpath(QFileInfo(APPConfig::config()).path());
    QSettings settings(APPConfig::config(), QSettings::IniFormat);
    settings.setValue("Template", baseName);
}

void clearStationFiles()
{
    QDir(APPConfig::syspath()).removeRecursively();
    QFile::remove(APPConfig::config());
    APPConfig::clearFolder(QDir(APPConfig::output()));
}

QImage pageWith(const QSize& size, const QList<QRect>& inked)
{
    QImage page(size, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter painter(&page);
    for (const QRect& r : inked)
        painter.fillRect(r, Qt::black);
    painter.end();
    return page;
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
    s << quint32(54) << quint32(0) << quint32(54) << quint32(40) << width << height << quint16(1) << quint16(24)
      << quint32(0) << quint32(0) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
    return b;
}

void usePrinter(const char* scenario)
{
    APPConfig::m_USBDevice.usb_Close();
    qputenv("VQSIM_SCENARIO", scenario);
    vqsim::reset();
}

QList<int> framesReceived()
{
    QList<int> types;
    for (const vqsim::Frame& f : vqsim::frames())
        types.append(f.type);
    return types;
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

int LogCapture::count(const QString& text) const { return lines().filter(text).size(); }

} // namespace vqtest
