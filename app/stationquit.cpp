#include "app/stationquit.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>

namespace {
std::atomic<int> quitRequests{0};
std::atomic<bool> quitsApplication{true};
} // namespace

namespace StationQuit {

void request()
{
    ++quitRequests;
    QCoreApplication* app = QCoreApplication::instance();
    if (quitsApplication && app)
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
}

int requests() { return quitRequests.load(); }

void setQuitsApplication(bool quits) { quitsApplication = quits; }

void resetRequests() { quitRequests = 0; }

} // namespace StationQuit
