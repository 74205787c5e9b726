// Text services on Windows: CharLowerBuffW and the system's ANSI code page.
#include "system/text.h"

#include <windows.h>

#include "system/win32/wide_text.h"

namespace updater {

std::string LowerCaseText(std::string_view text) {
  std::wstring wide = Utf8ToWide(text);
  if (!wide.empty()) CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
  return WideToUtf8(wide);
}

std::string AnsiToUtf8(std::string_view ansi) {
  if (ansi.empty()) return std::string();
  int length =
      MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), length);
  return WideToUtf8(wide);
}

}  // namespace updater
