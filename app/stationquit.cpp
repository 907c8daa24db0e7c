#include "app/stationquit.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {
std::atomic<int> quitRequests{0};
std::atomic<int> firstEnding{-1};
std::atomic<bool> quitsApplication{true};

int record(int ending)
{
    ++quitRequests;
    int expected = -1;
    firstEnding.compare_exchange_strong(expected, ending);
    return firstEnding.load();
}
} // namespace

namespace StationQuit {

void request(Ending ending)
{
    const int status = record(ending);
    QCoreApplication* app = QCoreApplication::instance();
    if (quitsApplication && app)
        QMetaObject::invokeMethod(app, [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
}

void endNow(int status)
{
    status = record(status);
    if (!quitsApplication)
        return;
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

int requests() { return quitRequests.load(); }

int status() { return firstEnding.load() < 0 ? 0 : firstEnding.load(); }

void setQuitsApplication(bool quits) { quitsApplication = quits; }

void resetRequests()
{
    quitRequests = 0;
    firstEnding = -1;
}

} // namespace StationQuit
