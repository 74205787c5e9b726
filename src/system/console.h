// The updater's console: line output, a status line redrawn in place, key
// polling and the error message box.
#pragma once

#include <string>
#include <string_view>

namespace updater {

// One poll of the console input.
struct ConsoleKey {
  // The character of the first pending key press (UTF-8), or empty when no key
  // that produces a character was pending.
  std::string Text;
  // The input has ended (a closed pipe or file): no key will ever come.
  bool InputClosed = false;
};

class Console {
 public:
  virtual ~Console() = default;

  // Creates or attaches the console and takes its handles. False when there is
  // no console to write to at all.
  virtual bool Open() = 0;

  // Writes one line (UTF-8 text without a line end) and flushes it. A shown
  // status line is erased first, so the line takes its place.
  virtual void WriteLine(std::string_view text) = 0;

  // True only when lines reach a screen where a line can be redrawn in place
  // (not a file, a pipe or a terminal that cannot erase). A console that
  // cannot redraw keeps these defaults: never interactive, no status line.
  virtual bool IsInteractive() { return false; }

  // Shows `text` (one line of UTF-8, cut to the screen's width) as the status
  // line below the last written line, replacing the status shown before.
  // Does nothing when the console is not interactive.
  virtual void ShowStatus(std::string_view /*text*/) {}

  // Erases a shown status line; does nothing when none is shown.
  virtual void ClearStatus() {}

  // Takes the first pending key press without waiting and without echo.
  virtual ConsoleKey ReadKey() = 0;

  // A modal error message box (or its stand-in where there is no desktop).
  virtual void ShowErrorBox(std::string_view caption, std::string_view text) = 0;
};

}  // namespace updater
