// Causes of failed system calls on Windows.
#include "system/win32/system_error.h"

#include <windows.h>

#include "system/win32/wide_text.h"

namespace updater {

namespace {

// WinINet's error numbers; their texts live in wininet.dll, not the system.
constexpr DWORD kFirstInternetError = 12000;
constexpr DWORD kLastInternetError = 12999;

std::string MessageText(DWORD error) {
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE source = nullptr;
  if (error >= kFirstInternetError && error <= kLastInternetError)
    source = GetModuleHandleW(L"wininet.dll");
  flags |= source != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
  wchar_t* buffer = nullptr;
  DWORD length =
      FormatMessageW(flags, source, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer != nullptr ? buffer : L"", length);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    text.pop_back();
  return WideToUtf8(text);
}

}  // namespace

std::string Win32Cause(std::string_view call, std::string_view subject, unsigned long error) {
  std::string text(call);
  if (!subject.empty()) {
    text += ' ';
    text += subject;
  }
  text += ": error " + std::to_string(error);
  std::string message = MessageText(static_cast<DWORD>(error));
  if (!message.empty()) text += ": " + message;
  return text;
}

}  // namespace updater
