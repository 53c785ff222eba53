#include "PathSafety.h"

#include "FileSafety.h"
#include "StartupConstants.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QTextCodec>

#include <clocale>
#include <cstring>

namespace startup {

namespace {

constexpr int Utf8Mib = 106;
constexpr char Utf8CharacterLocale[] = "C.UTF-8";

bool isPlainCLocale(const char *name)
{
    return name && (std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0);
}

} // namespace

std::string platformPath(const QString &path)
{
    return QDir::fromNativeSeparators(path).toUtf8().toStdString();
}

QString realPath(const QString &path)
{
    if (path.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? path : folder + QLatin1Char('/') + info.fileName();
}

bool isTrustedProgramFolder(const QString &folder)
{
    const std::string why = platform::whyProgramFolderUntrusted(platformPath(folder));
    if (why.empty())
        return true;
    qCritical().noquote() << LogProgramFolderUntrusted << QString::fromStdString(why);
    return false;
}

// The elevated copy may start without LANG (pkexec clears the environment). Qt then still takes names as
// UTF-8, but the C library stays in its "C" locale, where libarchive cannot turn a package's non-ASCII
// names into file names. Only the character conversion changes; a locale the user chose is kept, and so is
// a Qt that converts as the system does (Windows, whose file names are UTF-16 anyway).
void convertNamesAsUtf8()
{
    if (QTextCodec::codecForLocale()->mibEnum() != Utf8Mib ||
        !isPlainCLocale(std::setlocale(LC_CTYPE, nullptr)))
        return;
    std::setlocale(LC_CTYPE, Utf8CharacterLocale);
}

} // namespace startup
