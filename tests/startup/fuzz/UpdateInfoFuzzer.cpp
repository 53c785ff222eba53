// libFuzzer target for the update-information parser: any bytes must end in exactly one verdict,
// and the verdict must agree with the values read.

#include "UpdateInfoParser.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

bool allEmpty(const UpdateInfo &info)
{
    return info.appPath.isEmpty() && info.newVersion.isEmpty() && info.downloadUrl.isEmpty() &&
           info.mode.isEmpty() && info.memo.isEmpty() && info.sha256.isEmpty();
}

// A version with a control character or a line break counts as missing.
bool hasRequiredValues(const UpdateInfo &info)
{
    const bool versionUsable = !info.newVersion.isEmpty() &&
                               std::none_of(info.newVersion.cbegin(), info.newVersion.cend(), [](QChar c) {
                                   return c.unicode() < 0x20 ||
                                          (c.unicode() >= 0x7f && c.unicode() <= 0x9f) ||
                                          c.unicode() == 0x2028 || c.unicode() == 0x2029;
                               });
    return !info.appPath.isEmpty() && versionUsable && !info.downloadUrl.isEmpty();
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
