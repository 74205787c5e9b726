// Fakes of the platform for tests of the logic.
#include "support/fake_platform.h"

#include <gtest/gtest.h>

namespace updater::testing {

bool FakeConsole::Open() {
  ++OpenCount;
  return OpenResult;
}

void FakeConsole::WriteLine(std::string_view text) {
  StatusShown = false;
  Lines.emplace_back(text);
}

void FakeConsole::ShowStatus(std::string_view text) {
  StatusShown = Interactive;
  Statuses.emplace_back(text);
}

void FakeConsole::ClearStatus() {
  StatusShown = false;
  ++StatusClears;
}

ConsoleKey FakeConsole::ReadKey() {
  ++KeyPolls;
  if (Keys.empty()) {
    ConsoleKey none;
    none.InputClosed = InputClosedWhenEmpty;
    return none;
  }
  ConsoleKey key = Keys.front();
  Keys.pop_front();
  return key;
}

void FakeConsole::ShowErrorBox(std::string_view, std::string_view text) {
  ErrorBoxes.emplace_back(text);
}

bool FakeProcesses::Start(const std::string& commandLine, const std::string& file,
                          const std::string& parameters, const std::string& workingFolder,
                          std::string* cause) {
  Starts.push_back({commandLine, file, parameters, workingFolder});
  if (!StartResult && cause) *cause = "fake start refused";
  return StartResult;
}

bool FakeProcesses::StartNetwork(std::string* cause) {
  if (!NetworkResult && cause) *cause = "fake start refused";
  return NetworkResult;
}

void FakeClock::Sleep(int milliseconds) {
  Sleeps.push_back(milliseconds);
  Now += static_cast<uint64_t>(milliseconds);
}

std::optional<uint32_t> FakeVersionResources::FileVersionMS(const std::string& path) {
  auto found = Versions.find(path);
  if (found == Versions.end()) return std::nullopt;
  return found->second;
}

FakePlatform::FakePlatform()
    : Platform{Console, RealPlatform().Files, Processes, Clock, Versions, RealPlatform().Internet} {
}

int ExitCodeOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const ProcessExit& exit) {
    return exit.Code;
  }
  ADD_FAILURE() << "the process did not end";
  return -1;
}

}  // namespace updater::testing
