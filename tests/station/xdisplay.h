#pragma once

// A virtual X screen for the tests that look at the station's windows as a
// window manager would see them.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace station {

// Xvfb on a display number of its own choosing, so that tests running side
// by side do not meet; ended when the object goes.
class VirtualDisplay {
public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // ":N", or empty when the server did not come up.
    QString display() const { return m_display; }
    QString errors();

private:
    QTemporaryDir m_dir;
    QProcess m_server;
    QString m_display;
};

// The line `xwininfo -root -tree` gives for the window of that title, or an
// empty text when there is none.
QString windowLine(const QString& display, const QString& title);

} // namespace station
