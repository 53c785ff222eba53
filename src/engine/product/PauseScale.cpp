#include "PauseScale.h"

#include <QThread>
#include <QtMath>

#include <atomic>

namespace engine {

namespace {
// Read by the worker thread while the GUI thread may have set it; constant-initialised, so that a
// setting made during static initialisation is never overwritten.
std::atomic<double> currentScale{1.0};
} // namespace

void setPauseScale(double scale)
{
    if (scale >= 0.0 && scale <= 1.0)
        currentScale.store(scale);
}

double pauseScale()
{
    return currentScale.load();
}

int scaledPauseMs(int ms)
{
    return qCeil(ms * currentScale.load());
}

void pauseFor(int ms)
{
    QThread::msleep(static_cast<unsigned long>(scaledPauseMs(ms)));
}

} // namespace engine
