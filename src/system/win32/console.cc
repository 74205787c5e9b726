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

// The longest start of `text` of at most `columns` UTF-16 units that does not
// split a surrogate pair.
std::wstring_view CutToColumns(std::wstring_view text, size_t columns) {
  if (text.size() <= columns) return text;
  bool splitsPair = columns > 0 && text[columns - 1] >= 0xd800 && text[columns - 1] <= 0xdbff;
  return text.substr(0, splitsPair ? columns - 1 : columns);
}

// Fills the cursor's row with spaces from `column` to its end; the cursor
// stays where it is.
void BlankRowFrom(HANDLE output, const CONSOLE_SCREEN_BUFFER_INFO& screen, SHORT column) {
  if (column >= screen.dwSize.X) return;
  DWORD filled = 0;
  FillConsoleOutputCharacterW(output, L' ', static_cast<DWORD>(screen.dwSize.X - column),
                              COORD{column, screen.dwCursorPosition.Y}, &filled);
}

// The console's own input or output, whatever the standard handles are.
HANDLE OpenConsoleDevice(const wchar_t* device) {
  return CreateFileW(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

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
  // A process attached to a console (AllocConsole refused) may still have no
  // standard handles, for instance when its starter passed none: the console
  // itself is then opened by its device names.
  if (!Usable(output_)) output_ = OpenConsoleDevice(L"CONOUT$");
  if (!Usable(input_)) input_ = OpenConsoleDevice(L"CONIN$");
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  return Usable(output_);
}

void Win32Console::WriteLine(std::string_view text) {
  ClearStatus();
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

bool Win32Console::IsInteractive() {
  // Only a real console has a mode; a file or a pipe (the raw UTF-16 bytes of
  // WriteLine's fallback) has none.
  DWORD mode = 0;
  return Usable(output_) && GetConsoleMode(output_, &mode);
}

void Win32Console::ShowStatus(std::string_view text) {
  CONSOLE_SCREEN_BUFFER_INFO screen{};
  if (!IsInteractive() || !GetConsoleScreenBufferInfo(output_, &screen)) return;
  // One column stays free: a character in the last column moves the cursor
  // to the next row, where a carriage return could not reach the status.
  std::wstring wide = Utf8ToWide(text);
  std::wstring status = L"\r";
  status += CutToColumns(wide, static_cast<size_t>(screen.dwSize.X > 1 ? screen.dwSize.X - 1 : 0));
  DWORD written = 0;
  if (!WriteConsoleW(output_, status.data(), static_cast<DWORD>(status.size()), &written, nullptr))
    return;
  statusShown_ = true;
  // The rest of a longer status shown before.
  if (GetConsoleScreenBufferInfo(output_, &screen))
    BlankRowFrom(output_, screen, screen.dwCursorPosition.X);
}

void Win32Console::ClearStatus() {
  if (!statusShown_) return;
  statusShown_ = false;
  CONSOLE_SCREEN_BUFFER_INFO screen{};
  if (!GetConsoleScreenBufferInfo(output_, &screen)) return;
  BlankRowFrom(output_, screen, 0);
  SetConsoleCursorPosition(output_, COORD{0, screen.dwCursorPosition.Y});
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
    if (character != 0) key.Text = WideToUtf8(std::wstring_view(&character, 1));
    return key;
  }
  return {};
}

void Win32Console::ShowErrorBox(std::string_view caption, std::string_view text) {
  ClearStatus();
  // The box is owned by the foreground window only when that is ours.
  HWND owner = GetForegroundWindow();
  DWORD ownerProcess = 0;
  if (owner) GetWindowThreadProcessId(owner, &ownerProcess);
  if (ownerProcess != GetCurrentProcessId()) owner = nullptr;
  MessageBoxW(owner, Utf8ToWide(text).c_str(), Utf8ToWide(caption).c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace updater
