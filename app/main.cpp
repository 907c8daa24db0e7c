#include "app/appconfig.h"
#include "app/outputmessage.h"
#include "ui/chooseiniform.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QFileInfo>
#include <QScreen>

#include <cstdio>
#include <cstdlib>

namespace {

// Puts the window's frame in the middle of the default screen's work area.
void centreOnScreen(QWidget& window)
{
    QRect frame = window.frameGeometry();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

// The worker threads are never stopped: they end with the process. Leaving
// through exit() would destroy the shared state while they may still wake up
// and read it, so the process ends here once the event loop has returned.
[[noreturn]] void endProcess(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);

    APPConfig::path = "";
    const QStringList arguments = app.arguments();
    if (arguments.size() > 1) {
        APPConfig::path = arguments.at(1);
        APPConfig::job = "";
    }

    APPConfig::init();
    QCoreApplication::setLibraryPaths({"/usr/share/" + APPConfig::APP_str + "/plugins/"});
    qInstallMessageHandler(outputMessage);

    qDebug() << separatorLine();
    qDebug() << "File Path:" << APPConfig::path;
    qDebug() << "Job Number:" << APPConfig::job;

    // The argument is tested as given: when an entry of that name exists it
    // is the job, and its path is kept without surrounding blanks.
    if (!APPConfig::path.isEmpty() && QFileInfo::exists(APPConfig::path)) {
        APPConfig::bln_cmd = true;
        APPConfig::path = APPConfig::path.trimmed();
        MainWindow window(nullptr);
        centreOnScreen(window);
        window.setFixedSize(410, 238);
        window.setWindowFlag(Qt::Dialog, true);
        window.setWindowFlag(Qt::WindowStaysOnTopHint, true);
        window.show();
        endProcess(app.exec());
    }

    ChooseIniForm chooser(nullptr);
    centreOnScreen(chooser);
    chooser.show();
    endProcess(app.exec());
}
