#pragma once

#include <QStringList>

namespace startup {

// The public keys packages must be signed with, from the built-in ';'-separated list. Logs once when there
// is none, since packages are then installed without a signature check.
QStringList packagePublicKeys(const char *builtInKeys);

} // namespace startup
