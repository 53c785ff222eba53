#include "ScopedPauseScale.h"

#include "PauseScale.h"

ScopedPauseScale::ScopedPauseScale(double scale) : saved(engine::pauseScale())
{
    engine::setPauseScale(scale);
}

ScopedPauseScale::~ScopedPauseScale()
{
    engine::setPauseScale(saved);
}
