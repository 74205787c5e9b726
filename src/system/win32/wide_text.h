// UTF-8 and UTF-16 conversion for the Windows backend. This header and the
// backend's sources are the only places that see <windows.h>.
#pragma once

#include <string>
#include <string_view>

namespace updater {

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

}  // namespace updater
