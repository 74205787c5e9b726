// The console on POSIX: standard output as UTF-8 lines, keys from standard
// input (a terminal in non-canonical mode while polling, or a pipe), and a
// status line drawn with a carriage return and erase-to-end-of-line.
#pragma once

#include "system/console.h"

namespace updater {

class PosixConsole : public Console {
 public:
  bool Open() override;
  void WriteLine(std::string_view text) override;
  bool IsInteractive() override;
  void ShowStatus(std::string_view text) override;
  void ClearStatus() override;
  ConsoleKey ReadKey() override;
  void ShowErrorBox(std::string_view caption, std::string_view text) override;
};

}  // namespace updater
