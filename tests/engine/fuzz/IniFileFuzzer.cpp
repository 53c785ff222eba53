// libFuzzer target for the config.ini editor: any file and any value. Every edit either
// reads back as asked or changes nothing, and a second update changes nothing more.

#include "IniFile.h"

#include <cstdint>
#include <cstdlib>

namespace {

const QString Section = QStringLiteral("App");
const QString Key = QStringLiteral("Version");
const QString Removed = QStringLiteral("LastCheckTime");

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool setChecked(IniFile &ini, const QString &value)
{
    const QByteArray before = ini.content();
    const bool set = ini.setValue(Section, Key, value);
    check(set ? ini.rawValue(Section, Key) == QString::fromLatin1(IniFile::escapedValue(value))
              : ini.content() == before);
    return set;
}

bool removeChecked(IniFile &ini)
{
    const QByteArray before = ini.content();
    const bool removed = ini.remove(QStringLiteral("Update"), Removed);
    check(removed ? ini.rawValue(QStringLiteral("Update"), Removed).isEmpty() : ini.content() == before);
    return removed;
}

// Sets the version and removes a key of another section, all or nothing, as the update does.
QByteArray update(const QByteArray &content, const QString &value)
{
    IniFile ini(content);
    return setChecked(ini, value) && removeChecked(ini) ? ini.content() : content;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first line is the value, the rest the file.
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const int lineEnd = input.indexOf('\n');
    const QString value = QString::fromUtf8(input.constData(), lineEnd < 0 ? input.size() : lineEnd);
    const QByteArray content = lineEnd < 0 ? QByteArray() : input.mid(lineEnd + 1);

    const QByteArray once = update(content, value);
    check(update(once, value) == once);
    return 0;
}
