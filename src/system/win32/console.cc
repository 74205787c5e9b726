// The console on Windows.
#include "system/win32/console.h"

#include <windows.h>
#include <winsock2.h>

#include "system/win32/wide_text.h"

namespace updater {

namespace {

// Runs on a thread of the system's when the user closes the console window:
// release the network and let the system end the process.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_CLOSE_EVENT) WSACleanup();
  return FALSE;
}

bool Usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

}  // namespace

bool Win32Console::Open() {
  // Handles the process was started with (redirected to a file or a pipe)
  // stay in use; the new console takes the place of those that are missing.
  HANDLE inheritedInput = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE inheritedOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  // Fails when the process already has a console; that one is used then.
  AllocConsole();
  input_ = Usable(inheritedInput) ? inheritedInput : GetStdHandle(STD_INPUT_HANDLE);
  output_ = Usable(inheritedOutput) ? inheritedOutput : GetStdHandle(STD_OUTPUT_HANDLE);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  return Usable(output_);
}

void Win32Console::WriteLine(std::string_view text) {
  std::wstring line = Utf8ToWide(text);
  line += L"\r\n";
  DWORD written = 0;
  if (!WriteConsoleW(output_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    // Redirected to a file or a pipe: the same text as raw UTF-16LE bytes.
    WriteFile(output_, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
              nullptr);
  }
  FlushFileBuffers(output_);
}

ConsoleKey Win32Console::ReadKey() {
  DWORD pending = 0;
  if (!GetNumberOfConsoleInputEvents(input_, &pending) || pending == 0) return {};
  for (DWORD i = 0; i < pending; ++i) {
    INPUT_RECORD record{};
    DWORD read = 0;
    if (!ReadConsoleInputW(input_, &record, 1, &read) || read == 0) break;
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
    wchar_t character = record.Event.KeyEvent.uChar.UnicodeChar;
    ConsoleKey key;
    if (character != 0) key.text = WideToUtf8(std::wstring_view(&character, 1));
    return key;
  }
  return {};
}

void Win32Console::ShowErrorBox(std::string_view caption, std::string_view text) {
  // The box is owned by the foreground window only when that is ours.
  HWND owner = GetForegroundWindow();
  DWORD ownerProcess = 0;
  if (owner) GetWindowThreadProcessId(owner, &ownerProcess);
  if (ownerProcess != GetCurrentProcessId()) owner = nullptr;
  MessageBoxW(owner, Utf8ToWide(text).c_str(), Utf8ToWide(caption).c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace updater
