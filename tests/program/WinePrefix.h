#pragma once

#include "ProcessRun.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A Wine prefix of a test's own in the build folder, set up as the Windows machine the updater expects:
// the Windows stand-ins replace Wine's taskkill, tasklist and powershell (which differ from Windows' where
// the updater depends on them) and add tar (bsdtar, as Windows ships it). Its processes are the only ones
// its programs see, so the stand-ins cannot touch another test's. Every process still running in the
// prefix is ended with the object.
class WinePrefix final
{
    Q_DISABLE_COPY_MOVE(WinePrefix)

public:
    // Creates the prefix the first time (tens of seconds) and reuses it afterwards. Every program of the
    // prefix runs on the X display given: Wine's desktop process starts with the prefix's first program,
    // and one started without a display leaves every later window of the prefix undrawn.
    WinePrefix(const QString &folder, const QString &standinsFolder, const QString &display);
    ~WinePrefix();

    // False when the prefix could not be made ready; the reason is in errorText().
    bool isValid() const { return error.isEmpty(); }
    QString errorText() const { return error; }

    static QString wineProgram();
    // The host path of a path on drive C:, e.g. "C:/Program Files" -> "<prefix>/drive_c/Program Files".
    QString hostPath(const QString &windowsPath) const;
    // The given environment with this prefix and its display selected, Wine's own messages and installers
    // silenced, and none of the host's settings that would mislead a Windows program.
    QProcessEnvironment environmentFor(QProcessEnvironment environment) const;
    // Starts a Windows program detached, with its own folder as working folder.
    bool startDetached(const QString &windowsProgram) const;
    ProcessRun run(const QString &windowsProgram, const QStringList &arguments) const;
    // Ends every process of the prefix, and waits until they are gone.
    void endProcesses() const;

private:
    bool create();
    bool installStandins(const QString &standinsFolder);

    QString root;
    QString displayName;
    QString error;
};
