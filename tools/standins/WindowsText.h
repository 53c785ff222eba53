#pragma once

// UTF-8 and Windows' UTF-16 text, for the Windows stand-ins.

#include <string>

namespace standins {

std::string utf8Of(const std::wstring &text);
std::wstring wideOf(const std::string &utf8);

} // namespace standins
