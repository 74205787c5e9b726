// The running process and the programs it starts, on Windows.
#include "system/win32/processes.h"

#include <windows.h>
#include <winsock2.h>

// <shellapi.h> needs the types of <windows.h>.
#include <shellapi.h>

#include <vector>

#include "system/win32/system_error.h"
#include "system/win32/wide_text.h"

namespace updater {

namespace {

constexpr DWORD kModulePathUnits = 1024;

std::wstring FolderOf(const std::wstring& file) {
  size_t separator = file.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : file.substr(0, separator + 1);
}

}  // namespace

std::string Win32Processes::CommandLine() { return WideToUtf8(GetCommandLineW()); }

std::string Win32Processes::ExecutablePath() {
  wchar_t buffer[kModulePathUnits];
  DWORD length = GetModuleFileNameW(nullptr, buffer, kModulePathUnits);
  return WideToUtf8(std::wstring_view(buffer, length));
}

bool Win32Processes::Start(const std::string& commandLine, const std::string& file,
                           const std::string& parameters, const std::string& workingFolder,
                           std::string* cause) {
  std::wstring line = Utf8ToWide(commandLine);
  std::vector<wchar_t> mutableLine(line.begin(), line.end());
  mutableLine.push_back(L'\0');
  std::wstring folder = Utf8ToWide(workingFolder);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                     nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
  }
  std::string failure = Win32Cause("CreateProcessW", commandLine, GetLastError());
  // Not a program CreateProcessW can start: let the shell open it.
  std::wstring wideFile = Utf8ToWide(file);
  std::wstring wideParameters = Utf8ToWide(parameters);
  std::wstring shellFolder = folder.empty() ? FolderOf(wideFile) : folder;
  SHELLEXECUTEINFOW shell{};
  shell.cbSize = sizeof shell;
  shell.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  shell.lpFile = wideFile.c_str();
  shell.lpParameters = wideParameters.empty() ? nullptr : wideParameters.c_str();
  shell.lpDirectory = shellFolder.empty() ? nullptr : shellFolder.c_str();
  shell.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&shell)) {
    if (cause) *cause = failure + "; " + Win32Cause("ShellExecuteExW", file, GetLastError());
    return false;
  }
  if (shell.hProcess) CloseHandle(shell.hProcess);
  return true;
}

bool Win32Processes::StartNetwork(std::string* cause) {
  WSADATA data;
  int error = WSAStartup(MAKEWORD(1, 1), &data);
  if (error != 0 && cause)
    *cause = Win32Cause("WSAStartup", "1.1", static_cast<unsigned long>(error));
  return error == 0;
}

void Win32Processes::Exit(int code) {
  WSACleanup();
  ExitProcess(static_cast<UINT>(code));
}

}  // namespace updater
