#pragma once

namespace startup {

// For a process without administrator rights: asks for an elevated copy of the updater with the
// same arguments and tells the exit code. When the request fails (the user declined the prompt,
// for one) a warning box explains why, and the exit code is 1 once it is closed.
int requestElevatedCopy();

} // namespace startup
