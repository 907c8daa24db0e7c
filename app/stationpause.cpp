#include "app/stationpause.h"

#include <QThread>

#include <atomic>

namespace {
std::atomic<double> pauseScale{1.0};
}

namespace StationPause {

void ms(unsigned long milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds * pauseScale.load()));
}

void setScale(double scale) { pauseScale = scale; }

double scale() { return pauseScale.load(); }

} // namespace StationPause
