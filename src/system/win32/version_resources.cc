// File versions on Windows, through Version.dll loaded at run time.
#include "system/win32/version_resources.h"

#include <windows.h>

#include <vector>

#include "system/win32/wide_text.h"

namespace updater {

namespace {

constexpr DWORD kFixedFileInfoSignature = 0xFEEF04BD;

using GetFileVersionInfoSizeFunction = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using GetFileVersionInfoFunction = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using VerQueryValueFunction = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

// Function pointers of different types convert only through a cast.
template <typename Function>
Function FunctionFrom(void* address) {
  return reinterpret_cast<Function>(reinterpret_cast<INT_PTR>(address));
}

void* FunctionAddress(HMODULE library, const char* name) {
  return reinterpret_cast<void*>(reinterpret_cast<INT_PTR>(GetProcAddress(library, name)));
}

}  // namespace

bool Win32VersionResources::Load() {
  if (getSize_ && getInfo_ && queryValue_) return true;
  HMODULE library = LoadLibraryW(L"Version.dll");
  if (!library) return false;
  getSize_ = FunctionAddress(library, "GetFileVersionInfoSizeW");
  getInfo_ = FunctionAddress(library, "GetFileVersionInfoW");
  queryValue_ = FunctionAddress(library, "VerQueryValueW");
  return getSize_ && getInfo_ && queryValue_;
}

std::optional<uint32_t> Win32VersionResources::FileVersionMS(const std::string& path) {
  if (!getSize_ || !getInfo_ || !queryValue_) return std::nullopt;
  const std::wstring widePath = Utf8ToWide(path);
  DWORD ignored = 0;
  const DWORD size =
      FunctionFrom<GetFileVersionInfoSizeFunction>(getSize_)(widePath.c_str(), &ignored);
  if (size == 0) return std::nullopt;  // missing file or no version resource
  std::vector<BYTE> info(size);
  // The fill's result is not examined: a failed fill leaves a block without
  // the fixed file information, which the query below rejects.
  FunctionFrom<GetFileVersionInfoFunction>(getInfo_)(widePath.c_str(), 0, size, info.data());
  void* value = nullptr;
  UINT valueSize = 0;
  if (!FunctionFrom<VerQueryValueFunction>(queryValue_)(info.data(), L"\\", &value, &valueSize) ||
      !value || valueSize < sizeof(VS_FIXEDFILEINFO))
    return std::nullopt;
  // Version.dll hands back whatever the block holds; a block without the
  // signature is no fixed file information, as the POSIX reader decides too.
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != kFixedFileInfoSignature) return std::nullopt;
  return fixed->dwFileVersionMS;
}

}  // namespace updater
