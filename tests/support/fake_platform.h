// Fakes of the platform for tests of the logic: a console that records lines
// and status lines and plays scripted keys, processes that record starts and turn the end of
// the process into an exception the test can catch, a clock that only counts.
// Files and the internet are the real backends unless a test swaps them.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "system/platform.h"

namespace updater::testing {

// Thrown by FakeProcesses::Exit in place of ending the test process.
struct ProcessExit {
  int code;
};

class FakeConsole : public Console {
 public:
  bool Open() override;
  void WriteLine(std::string_view text) override;
  bool IsInteractive() override { return interactive; }
  void ShowStatus(std::string_view text) override;
  void ClearStatus() override;
  ConsoleKey ReadKey() override;
  void ShowErrorBox(std::string_view caption, std::string_view text) override;

  bool openResult = true;
  int openCount = 0;
  std::vector<std::string> lines;
  bool interactive = false;
  // Every status shown and every clear, recorded even when not interactive,
  // so that a test sees a caller that draws without asking.
  std::vector<std::string> statuses;
  int statusClears = 0;
  // A status is on the screen: shown while interactive, not yet cleared or
  // erased by a line.
  bool statusShown = false;
  std::vector<std::string> errorBoxes;  // the texts shown
  std::deque<ConsoleKey> keys;          // played in order; then no key
  bool inputClosedWhenEmpty = false;
  int keyPolls = 0;
};

class FakeProcesses : public Processes {
 public:
  struct Launch {
    std::string commandLine, file, parameters, workingFolder;
  };

  std::string CommandLine() override { return commandLine; }
  std::string ExecutablePath() override { return executablePath; }
  bool Start(const std::string& commandLine, const std::string& file, const std::string& parameters,
             const std::string& workingFolder) override;
  bool StartNetwork() override { return networkResult; }
  [[noreturn]] void Exit(int code) override { throw ProcessExit{code}; }
  std::string LastError() override { return "fake start refused"; }

  std::string commandLine = "\"C:\\App\\Updater.exe\"";
  std::string executablePath = "C:\\App\\Updater.exe";
  bool startResult = true;
  bool networkResult = true;
  std::vector<Launch> starts;
};

class FakeClock : public Clock {
 public:
  void Sleep(int milliseconds) override;
  uint64_t Milliseconds() override { return now; }
  int64_t UnixMilliseconds() override { return wallStart + static_cast<int64_t>(now); }

  uint64_t now = 0;
  int64_t wallStart = 1765000000000;  // 2025-12-06T05:46:40Z
  std::vector<int> sleeps;
};

class FakeVersionResources : public VersionResources {
 public:
  bool Load() override { return loadResult; }
  std::optional<uint32_t> FileVersionMS(const std::string& path) override;

  bool loadResult = true;
  std::map<std::string, uint32_t> versions;  // path -> dwFileVersionMS
};

struct FakePlatform {
  FakePlatform();

  FakeConsole console;
  FakeProcesses processes;
  FakeClock clock;
  FakeVersionResources versions;
  Platform platform;
};

// Runs `body`, which must end the process, and returns the exit code. Fails
// the test when the body returns instead.
int ExitCodeOf(const std::function<void()>& body);

}  // namespace updater::testing
