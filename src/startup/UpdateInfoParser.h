#pragma once

#include "UpdateInfo.h"

#include <QByteArray>

namespace startup {

enum class InfoVerdict
{
    Complete,   // every required value is present
    Incomplete, // a JSON object, but app_path, new_version or download_url is empty, or a value is bad
    Malformed   // not JSON, or its top level is not an object
};

struct ParsedUpdateInfo
{
    InfoVerdict verdict = InfoVerdict::Malformed;
    UpdateInfo info; // empty when malformed
};

// Reads the contents of an update-information file. Touches nothing outside its arguments,
// so any byte sequence can be fed to it.
ParsedUpdateInfo parseUpdateInfo(const QByteArray &content, const QString &mode);

} // namespace startup
