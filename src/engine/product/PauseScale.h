#pragma once

// Every fixed pause of the installation, of the product's restart and of the companion folder's removal
// is taken through here. The shipped updater always waits them in full (scale 1). Tests shorten them with
// setPauseScale, so that the suite does not spend minutes asleep; the black-box tests run a separate build
// of the executable that reads the scale from its environment (FarlinkUpdaterUnderTest), the shipped one
// never does.

namespace engine {

// A factor between 0 and 1; other values are ignored. Set it before the first pause is taken.
void setPauseScale(double scale);
// The scale in force.
double pauseScale();
// The pause or time limit ms (milliseconds) as it is to be waited now.
int scaledPauseMs(int ms);
// Sleeps the calling thread for the scaled pause.
void pauseFor(int ms);

} // namespace engine
