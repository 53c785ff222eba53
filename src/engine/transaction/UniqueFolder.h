#pragma once

#include "Platform.h"

#include <QString>

#include <functional>

// A new folder named base, or base_1, base_2 ... when the name is taken: anything that already has a name
// (a folder, a file, a link planted for the coming seconds) is passed over, never used or followed.
struct UniqueFolderTexts
{
    const char *nameTaken; // logged with each name passed over
    const char *failed;    // logged with the name that could not be made
};

// The folder made, or an empty text after a failure (logged).
QString createUniqueFolder(const QString &base,
                           const std::function<platform::FolderCreation(const std::string &path)> &create,
                           const UniqueFolderTexts &texts);
