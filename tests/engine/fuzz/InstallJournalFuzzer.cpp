// libFuzzer target for the installation journal's parser: any bytes give a record or a reason, never a
// crash; an accepted record names only places inside the program folder and reads back the same once
// written again.

#include "InstallJournal.h"
#include "TransactionConstants.h"

#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool staysInside(const QString &path)
{
    return !path.isEmpty() && !path.startsWith(QLatin1Char('/')) && !path.contains(QLatin1Char('\\')) &&
           !path.contains(QLatin1Char(':')) && !path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

bool sameRecord(const InstallJournal::Record &a, const InstallJournal::Record &b)
{
    if (a.stage != b.stage || a.backupFolder != b.backupFolder || a.files.size() != b.files.size())
        return false;
    for (int i = 0; i < a.files.size(); ++i) {
        const InstallJournal::BackedUpFile &x = a.files.at(i);
        const InstallJournal::BackedUpFile &y = b.files.at(i);
        if (x.path != y.path || x.size != y.size || x.link != y.link)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const InstallJournal::Reading reading = InstallJournal::parse(bytes);
    check(reading.record.has_value() == reading.error.isEmpty());
    if (!reading.record)
        return 0;
    const InstallJournal::Record &record = *reading.record;
    check(record.backupFolder.startsWith(transaction::BackupMarker) && staysInside(record.backupFolder) &&
          !record.backupFolder.contains(QLatin1Char('/')));
    for (const InstallJournal::BackedUpFile &file : record.files)
        check(staysInside(file.path) && file.size >= 0);
    const InstallJournal::Reading again = InstallJournal::parse(InstallJournal::serialize(record));
    check(again.record.has_value() && sameRecord(*again.record, record));
    return 0;
}
