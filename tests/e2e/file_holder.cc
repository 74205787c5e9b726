// Holds a file open without sharing for a while, as a program that keeps its
// data file open does: file_holder FILE MILLISECONDS READY_MARK. Opens FILE
// with share mode 0, creates READY_MARK once it holds it, sleeps, closes it
// and ends. Exit code 0; 2 for wrong arguments, 3 when FILE could not be
// opened (no mark is made then).
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  HANDLE held = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 3;
  HANDLE mark = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
  Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
  CloseHandle(held);
  return 0;
}
