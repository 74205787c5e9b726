// Starts the program named by its first argument with "-dontask -onlyapply",
// with no standard handles at all, in this process's console, and waits for
// it: the case of a starter that passes its console but no handles.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\" -dontask -onlyapply";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;  // and every handle null
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return 3;
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 4;
  GetExitCodeProcess(process.hProcess, &code);
  return static_cast<int>(code);
}
