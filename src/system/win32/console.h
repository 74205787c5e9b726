// The console on Windows: a console of the process's own (AllocConsole),
// UTF-16 writes with a raw fallback for redirected output, a status line
// redrawn in place on a real console, and key events.
#pragma once

#include "system/console.h"

namespace updater {

class Win32Console : public Console {
 public:
  bool Open() override;
  void WriteLine(std::string_view text) override;
  bool IsInteractive() override;
  void ShowStatus(std::string_view text) override;
  void ClearStatus() override;
  ConsoleKey ReadKey() override;
  void ShowErrorBox(std::string_view caption, std::string_view text) override;

 private:
  void* input_ = nullptr;
  void* output_ = nullptr;
  bool statusShown_ = false;
};

}  // namespace updater
