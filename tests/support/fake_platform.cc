// Fakes of the platform for tests of the logic.
#include "support/fake_platform.h"

#include <gtest/gtest.h>

namespace updater::testing {

bool FakeConsole::Open() {
  ++openCount;
  return openResult;
}

void FakeConsole::WriteLine(std::string_view text) {
  statusShown = false;
  lines.emplace_back(text);
}

void FakeConsole::ShowStatus(std::string_view text) {
  statusShown = interactive;
  statuses.emplace_back(text);
}

void FakeConsole::ClearStatus() {
  statusShown = false;
  ++statusClears;
}

ConsoleKey FakeConsole::ReadKey() {
  ++keyPolls;
  if (keys.empty()) {
    ConsoleKey none;
    none.inputClosed = inputClosedWhenEmpty;
    return none;
  }
  ConsoleKey key = keys.front();
  keys.pop_front();
  return key;
}

void FakeConsole::ShowErrorBox(std::string_view, std::string_view text) {
  errorBoxes.emplace_back(text);
}

bool FakeProcesses::Start(const std::string& commandLine, const std::string& file,
                          const std::string& parameters, const std::string& workingFolder) {
  starts.push_back({commandLine, file, parameters, workingFolder});
  return startResult;
}

void FakeClock::Sleep(int milliseconds) {
  sleeps.push_back(milliseconds);
  now += static_cast<uint64_t>(milliseconds);
}

std::optional<uint32_t> FakeVersionResources::FileVersionMS(const std::string& path) {
  auto found = versions.find(path);
  if (found == versions.end()) return std::nullopt;
  return found->second;
}

FakePlatform::FakePlatform()
    : platform{console, RealPlatform().files, processes, clock, versions, RealPlatform().internet} {
}

int ExitCodeOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const ProcessExit& exit) {
    return exit.code;
  }
  ADD_FAILURE() << "the process did not end";
  return -1;
}

}  // namespace updater::testing
