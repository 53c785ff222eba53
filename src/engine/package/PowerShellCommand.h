#pragma once

#include <QString>

namespace engine {

// The Expand-Archive script for one package and target folder: both paths in the
// system's separators, each character PowerShell takes for a single quote (' and U+2018 to U+201B)
// doubled as its single-quoted literals need.
QString expandArchiveScript(const QString &packagePath, const QString &targetFolder);

// The text PowerShell's -EncodedCommand expects: the script's UTF-16 code units
// as little-endian bytes (no byte-order mark), in standard Base64 with padding.
QString encodePowerShellCommand(const QString &script);

} // namespace engine
