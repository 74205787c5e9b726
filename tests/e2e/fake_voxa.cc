// Stands in for the main program in end-to-end tests of the Windows build:
// records its command line and current folder in launched.txt (UTF-8) beside
// itself, so that a start by hand never leaves the file anywhere else.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
  utf8.resize(static_cast<size_t>(length > 0 ? length - 1 : 0));
  return utf8;
}

}  // namespace

int main() {
  wchar_t folder[1024];
  GetCurrentDirectoryW(1024, folder);
  std::string record = Utf8(GetCommandLineW()) + "\n" + Utf8(folder) + "\n";
  wchar_t recordPath[1024];
  DWORD length = GetModuleFileNameW(nullptr, recordPath, 1024);
  if (length == 0 || length >= 1024) return 1;
  std::wstring path(recordPath, length);
  path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"launched.txt";
  std::FILE* out = _wfopen(path.c_str(), L"wb");
  if (!out) return 1;
  std::fwrite(record.data(), 1, record.size(), out);
  std::fclose(out);
  return 0;
}
