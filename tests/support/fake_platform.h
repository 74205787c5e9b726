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
  int Code;
};

class FakeConsole : public Console {
 public:
  bool Open() override;
  void WriteLine(std::string_view text) override;
  bool IsInteractive() override { return Interactive; }
  void ShowStatus(std::string_view text) override;
  void ClearStatus() override;
  ConsoleKey ReadKey() override;
  void ShowErrorBox(std::string_view caption, std::string_view text) override;

  bool OpenResult = true;
  int OpenCount = 0;
  std::vector<std::string> Lines;
  bool Interactive = false;
  // Every status shown and every clear, recorded even when not interactive,
  // so that a test sees a caller that draws without asking.
  std::vector<std::string> Statuses;
  int StatusClears = 0;
  // A status is on the screen: shown while interactive, not yet cleared or
  // erased by a line.
  bool StatusShown = false;
  std::vector<std::string> ErrorBoxes;  // the texts shown
  std::deque<ConsoleKey> Keys;          // played in order; then no key
  bool InputClosedWhenEmpty = false;
  int KeyPolls = 0;
};

class FakeProcesses : public Processes {
 public:
  struct Launch {
    std::string CommandLine, File, Parameters, WorkingFolder;
  };

  std::string CommandLine() override { return GivenCommandLine; }
  std::string ExecutablePath() override { return GivenExecutablePath; }
  // A refused start or network gives the cause "fake start refused".
  bool Start(const std::string& commandLine, const std::string& file, const std::string& parameters,
             const std::string& workingFolder, std::string* cause) override;
  bool StartNetwork(std::string* cause) override;
  [[noreturn]] void Exit(int code) override { throw ProcessExit{code}; }

  std::string GivenCommandLine = "\"C:\\App\\Updater.exe\"";
  std::string GivenExecutablePath = "C:\\App\\Updater.exe";
  bool StartResult = true;
  bool NetworkResult = true;
  std::vector<Launch> Starts;
};

class FakeClock : public Clock {
 public:
  void Sleep(int milliseconds) override;
  uint64_t Milliseconds() override { return Now; }
  int64_t UnixMilliseconds() override { return WallStart + static_cast<int64_t>(Now); }

  uint64_t Now = 0;
  int64_t WallStart = 1765000000000;  // 2025-12-06T05:46:40Z
  std::vector<int> Sleeps;
};

class FakeVersionResources : public VersionResources {
 public:
  bool Load() override { return LoadResult; }
  std::optional<uint32_t> FileVersionMS(const std::string& path) override;

  bool LoadResult = true;
  std::map<std::string, uint32_t> Versions;  // path -> dwFileVersionMS
};

struct FakePlatform {
  FakePlatform();

  FakeConsole Console;
  FakeProcesses Processes;
  FakeClock Clock;
  FakeVersionResources Versions;
  updater::Platform Platform;
};

// Runs `body`, which must end the process, and returns the exit code. Fails
// the test when the body returns instead.
int ExitCodeOf(const std::function<void()>& body);

}  // namespace updater::testing
