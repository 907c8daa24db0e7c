#include "app/appconfig.h"
#include "app/outputmessage.h"
#include "app/stationquit.h"
#include "ui/chooseiniform.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QFileInfo>
#include <QScreen>

namespace {

// Puts the window's frame in the middle of the default screen's work area.
void centreOnScreen(QWidget& window)
{
    QRect frame = window.frameGeometry();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
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
        // The worker threads are never stopped: the process ends here, without
        // destroying the shared state they may still read.
        StationQuit::endNow(app.exec());
    }

    ChooseIniForm chooser(nullptr);
    centreOnScreen(chooser);
    chooser.show();
    StationQuit::endNow(app.exec());
    return 0;
}
