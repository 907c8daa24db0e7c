#include "xdisplay.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>

namespace station {

VirtualDisplay::VirtualDisplay()
{
    // Xvfb writes the number it found free to the descriptor it is given.
    const QString numberFile = m_dir.path() + "/display";
    m_server.start("sh", {"-c", "exec Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>\"$0\"", numberFile});
    QElapsedTimer waited;
    waited.start();
    while (m_server.state() != QProcess::NotRunning && waited.elapsed() < 30000) {
        QFile file(numberFile);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray text = file.readAll();
            if (text.endsWith('\n')) {
                m_display = ":" + QString::fromLatin1(text.trimmed());
                return;
            }
        }
        m_server.waitForFinished(100);
    }
}

VirtualDisplay::~VirtualDisplay()
{
    m_server.terminate();
    if (!m_server.waitForFinished(10000))
        m_server.kill();
    m_server.waitForFinished(10000);
}

QString VirtualDisplay::errors() { return QString::fromLocal8Bit(m_server.readAllStandardError()); }

QString windowLine(const QString& display, const QString& title)
{
    QProcess xwininfo;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Titles come out as UTF-8 only in a UTF-8 locale.
    env.insert("LC_ALL", "C.UTF-8");
    xwininfo.setProcessEnvironment(env);
    xwininfo.start("xwininfo", {"-root", "-tree", "-display", display});
    if (!xwininfo.waitForFinished(10000))
        return {};
    for (const QString& line : QString::fromUtf8(xwininfo.readAllStandardOutput()).split('\n'))
        if (line.contains("\"" + title + "\":"))
            return line.trimmed();
    return {};
}

} // namespace station
