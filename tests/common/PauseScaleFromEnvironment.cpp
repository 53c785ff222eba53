// Linked into every test executable and into FarlinkUpdaterUnderTest, never into the shipped updater:
// before main runs, FARLINK_PAUSE_SCALE (a factor between 0 and 1) shortens the fixed pauses of the
// installation and of the restart. CTest sets it for every test; a test that times a pause sets its own
// scale with engine::setPauseScale.

#include "PauseScale.h"

#include <QByteArray>

namespace {

[[maybe_unused]] const bool pauseScaleRead = [] {
    bool valid = false;
    const double scale = qgetenv("FARLINK_PAUSE_SCALE").toDouble(&valid);
    if (valid)
        engine::setPauseScale(scale);
    return valid;
}();

} // namespace
