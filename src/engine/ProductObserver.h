#pragma once

#include "InstallTransaction.h"

namespace engine {

// What the program folder's transaction does to the product itself, through the product's own commands:
// restart its daemon, stop it for a rollback after a failed trial, record the failed version in config.ini,
// tell whether its daemon's service runs and, when startMainProgram is set, start the old main program
// after that rollback (the installation's own recovery leaves that to the restart that follows it).
InstallTransaction::Observer productObserver(bool startMainProgram);

} // namespace engine
