#pragma once

// What the product stand-in needs from the system beyond the process table: one implementation for POSIX
// and one for Windows, so that the stand-in itself is the same source on both.

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace standins {

std::string currentDirectory();

// Appends the text with one write, so that lines of processes writing at the same time do not mix.
bool appendToFile(const std::string &path, const std::string &text);

// Lets go of the caller's standard streams: whoever started this process may wait for their end.
void detachStandardStreams();

// Starts this executable again with no arguments, detached from the caller (its service), and returns
// once that copy has called tellStarterServiceIsReady(), or false when it could not be started.
bool startServiceCopy();
void tellStarterServiceIsReady();

// True when the process, another one than this, runs this executable as its service: with no arguments
// or with "run" (POSIX), from the same executable file (Windows, where the daemon's file runs only as its
// service or for one of its short commands).
bool isServiceOf(pid_t pid, const std::string &executable);

// Runs the program with its arguments (argv style, null-terminated) and waits for its end; false when it
// could not be started.
bool runToEnd(char **argv);

// The last bytes of this process's executable file, count at most; empty when it cannot be read.
std::string ownExecutableTail(std::size_t count);

// Ends this process the way a crash does, without a core dump or an error report: killed by SIGSEGV (POSIX),
// with the exception code of an access violation as its exit code (Windows).
[[noreturn]] void crash();

} // namespace standins
