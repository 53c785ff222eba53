// Stand-in for Windows' tar (bsdtar, which reads zip archives): runs Debian's
// bsdtar from libarchive-tools with the same arguments.

#include <cerrno>
#include <cstring>
#include <iostream>
#include <unistd.h>

namespace {
constexpr int ExitCannotRun = 127;
}

int main(int, char **argv)
{
    argv[0] = const_cast<char *>("bsdtar");
    execvp("bsdtar", argv);
    std::cerr << "tar: cannot run bsdtar: " << std::strerror(errno) << '\n';
    return ExitCannotRun;
}
