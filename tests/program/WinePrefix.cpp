#include "WinePrefix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString Wine = QStringLiteral("/usr/lib/wine/wine64");
const QString WineServer = QStringLiteral("/usr/lib/wine/wineserver");
const QString ReadyMarker = QStringLiteral("/.farlink-prefix-ready");
const QString System32 = QStringLiteral("C:/windows/system32");
// Wine prefers its builtin programs to files of the same name in system32; these must be the stand-ins.
const QString DllOverrides =
    QStringLiteral("mscoree,mshtml=;taskkill.exe,tasklist.exe,powershell.exe,tar.exe=n");
const QStringList Standins = {QStringLiteral("taskkill.exe"), QStringLiteral("tasklist.exe"),
                              QStringLiteral("powershell.exe"), QStringLiteral("tar.exe")};
// bsdtar and the PowerShell stand-in load zlib's DLL.
const QString Zlib = QStringLiteral("/usr/x86_64-w64-mingw32/lib/zlib1.dll");
constexpr int CreateMs = 180000;

bool replaceFile(const QString &source, const QString &target)
{
    QFile::remove(target);
    return QFile::copy(source, target);
}

} // namespace

WinePrefix::WinePrefix(const QString &folder, const QString &standinsFolder, const QString &display)
    : root(QFileInfo(folder).absoluteFilePath()), displayName(display)
{
    if (!QFileInfo::exists(Wine)) {
        error = QStringLiteral("wine64 not found at ") + Wine;
        return;
    }
    if (create())
        installStandins(standinsFolder);
}

WinePrefix::~WinePrefix()
{
    endProcesses();
}

QString WinePrefix::wineProgram()
{
    return Wine;
}

bool WinePrefix::create()
{
    if (QFileInfo::exists(root + ReadyMarker)) {
        // A run that was interrupted may have left its Windows programs running in this prefix.
        endProcesses();
        return true;
    }
    QDir().mkpath(root);
    const ProcessRun boot =
        runProcess(Wine, {QStringLiteral("wineboot"), QStringLiteral("-i")},
                   environmentFor(QProcessEnvironment::systemEnvironment()), root, CreateMs);
    endProcesses();
    if (!boot.succeeded()) {
        error = QStringLiteral("wineboot -i failed in ") + root + QLatin1Char('\n') +
                QString::fromLocal8Bit(boot.errors);
        return false;
    }
    QFile marker(root + ReadyMarker);
    marker.open(QIODevice::WriteOnly);
    return true;
}

bool WinePrefix::installStandins(const QString &standinsFolder)
{
    for (const QString &standin : Standins) {
        if (!replaceFile(standinsFolder + QLatin1Char('/') + standin,
                         hostPath(System32 + QLatin1Char('/') + standin))) {
            error = QStringLiteral("cannot install the stand-in ") + standinsFolder + QLatin1Char('/') +
                    standin + QStringLiteral(" (run tools/windows/build.sh)");
            return false;
        }
    }
    if (!replaceFile(Zlib, hostPath(System32 + QStringLiteral("/zlib1.dll")))) {
        error = QStringLiteral("cannot install ") + Zlib;
        return false;
    }
    return true;
}

QString WinePrefix::hostPath(const QString &windowsPath) const
{
    QString path = QDir::fromNativeSeparators(windowsPath);
    Q_ASSERT(path.startsWith(QLatin1String("C:/"), Qt::CaseInsensitive));
    return root + QStringLiteral("/drive_c") + path.mid(2);
}

QProcessEnvironment WinePrefix::environmentFor(QProcessEnvironment environment) const
{
    environment.insert(QStringLiteral("WINEPREFIX"), root);
    environment.insert(QStringLiteral("DISPLAY"), displayName);
    environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    environment.insert(QStringLiteral("WINEDLLOVERRIDES"), DllOverrides);
    // Wine passes the host's variables on to Windows programs: these must be Windows' own (the Windows Qt
    // has only its windows platform plugin, and the folders are Windows paths).
    for (const QString &name :
         {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("PROGRAMDATA"), QStringLiteral("TMPDIR")})
        environment.remove(name);
    return environment;
}

bool WinePrefix::startDetached(const QString &windowsProgram) const
{
    QProcess process;
    process.setProgram(Wine);
    process.setArguments({windowsProgram});
    process.setProcessEnvironment(environmentFor(QProcessEnvironment::systemEnvironment()));
    process.setWorkingDirectory(QFileInfo(hostPath(windowsProgram)).absolutePath());
    return process.startDetached();
}

ProcessRun WinePrefix::run(const QString &windowsProgram, const QStringList &arguments) const
{
    return runProcess(Wine, QStringList{windowsProgram} + arguments,
                      environmentFor(QProcessEnvironment::systemEnvironment()));
}

void WinePrefix::endProcesses() const
{
    const QProcessEnvironment environment = environmentFor(QProcessEnvironment::systemEnvironment());
    runProcess(WineServer, {QStringLiteral("-k")}, environment);
    runProcess(WineServer, {QStringLiteral("-w")}, environment);
}
