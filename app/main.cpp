#include "app/appconfig.h"
#include "app/outputmessage.h"

#include <QApplication>
#include <QDebug>

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

    return 0;
}
