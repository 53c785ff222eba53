// libFuzzer target for the update-information parser: any bytes must end in exactly one verdict,
// and the verdict must agree with the values read.

#include "UpdateInfoParser.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool allEmpty(const UpdateInfo &info)
{
    return info.appPath.isEmpty() && info.newVersion.isEmpty() && info.downloadUrl.isEmpty() &&
           info.mode.isEmpty() && info.memo.isEmpty() && info.sha256.isEmpty();
}

bool hasRequiredValues(const UpdateInfo &info)
{
    return !info.appPath.isEmpty() && !info.newVersion.isEmpty() && !info.downloadUrl.isEmpty();
}

bool isConsistent(const startup::ParsedUpdateInfo &parsed, const QString &mode)
{
    switch (parsed.verdict) {
    case startup::InfoVerdict::Complete:
        return hasRequiredValues(parsed.info) && parsed.info.mode == mode;
    case startup::InfoVerdict::Incomplete:
        return !hasRequiredValues(parsed.info) && parsed.info.mode == mode;
    case startup::InfoVerdict::Malformed:
        return allEmpty(parsed.info);
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString mode = QStringLiteral("auto");
    // Not a copy and not NUL-terminated, so reads past the end show up.
    const QByteArray content = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    if (!isConsistent(startup::parseUpdateInfo(content, mode), mode))
        std::abort();
    return 0;
}
