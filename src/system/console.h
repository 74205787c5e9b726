// The updater's console: line output, key polling and the error message box.
#pragma once

#include <string>
#include <string_view>

namespace updater {

// One poll of the console input.
struct ConsoleKey {
  // The character of the first pending key press (UTF-8), or empty when no key
  // that produces a character was pending.
  std::string text;
  // The input has ended (a closed pipe or file): no key will ever come.
  bool inputClosed = false;
};

class Console {
 public:
  virtual ~Console() = default;

  // Creates or attaches the console and takes its handles. False when there is
  // no console to write to at all.
  virtual bool Open() = 0;

  // Writes one line (UTF-8 text without a line end) and flushes it.
  virtual void WriteLine(std::string_view text) = 0;

  // Takes the first pending key press without waiting and without echo.
  virtual ConsoleKey ReadKey() = 0;

  // A modal error message box (or its stand-in where there is no desktop).
  virtual void ShowErrorBox(std::string_view caption, std::string_view text) = 0;
};

}  // namespace updater
