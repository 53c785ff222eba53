#pragma once

#include <QtGlobal>

// Sets the scale of the program's fixed pauses for as long as the object lives, then puts the earlier
// scale back. For tests that watch a pause from outside by polling and so need it long enough to be seen.
class ScopedPauseScale final
{
    Q_DISABLE_COPY_MOVE(ScopedPauseScale)

public:
    explicit ScopedPauseScale(double scale);
    ~ScopedPauseScale();

private:
    const double saved;
};
