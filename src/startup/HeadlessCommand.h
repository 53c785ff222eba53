#pragma once

#include <QString>

#include <functional>

namespace startup {

// What a run without a window says when it cannot start.
struct HeadlessTexts
{
    const char *usage;
    const char *needsAdministrator;
};

// Whether argv[1] is option: FarlinkUpdater <option> <main executable>. Read from the raw arguments, before
// any application object exists, since such a run opens no window.
bool isHeadlessCommand(int argc, char *argv[], const QString &option);

// The frame of a run without a window: its log file (its only record, as it has no console), the command
// line, the administrator check and the program folder's trust, then work with the main executable's real
// path. 1 for a bad command line, 2 without administrator rights or for a folder that anyone but
// administrators can change (which is not touched), otherwise what work returns.
int runHeadlessCommand(int argc, char *argv[], const HeadlessTexts &texts,
                       const std::function<int(const QString &program)> &work);

} // namespace startup
