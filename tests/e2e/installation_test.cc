// The fixture of the end-to-end suites that run an installation's updater.
#include "e2e/installation_test.h"

#include <algorithm>
#include <filesystem>

#include "e2e/process_runner.h"

namespace updater::testing {

namespace fs = std::filesystem;

bool Contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void MakePackage(const std::string& path, const FileTree& files, const std::string& method) {
  TempFolder staging;
  FileTree native;
  for (const auto& [name, content] : files) {
    std::string file = name;
    std::replace(file.begin(), file.end(), '\\', '/');
    native[file] = content;
  }
  WriteFileTree(staging.Path(), native);
  fs::create_directories(fs::path(path).parent_path());
  const ProcessResult made =
      RunProcess({MXUPACK, "create", path, staging.Path(), "--method", method}, staging.Path());
  ASSERT_EQ(made.ExitCode, 0) << made.Errors;
}

void InstallationTest::SetUp() {
  build_ = GetParam()();
  if (!BuildAvailable(build_)) GTEST_SKIP() << "no Windows build tree";
  program_ = temp_.Path() + "VOXA app/";
}

void InstallationTest::Install(const std::string& updater, bool withVoxa) {
  fs::remove_all(program_);
  fs::create_directories(program_ + "Update");
  fs::copy_file(updater.empty() ? build_.Updater : updater, program_ + "Updater.exe");
  if (withVoxa) fs::copy_file(build_.Voxa100, program_ + "VOXA.exe");
}

std::vector<std::string> InstallationTest::Command(const Lines& parameters) const {
  return BuildCommand(build_, program_ + "Updater.exe", parameters);
}

Lines InstallationTest::OutputLines(const std::string& output) const {
  return ConsoleLines(output, build_.Windows);
}

std::string InstallationTest::ShownFolder() const {
  if (!build_.Windows) return program_;
  std::string shown = "Z:" + program_;
  std::replace(shown.begin(), shown.end(), '/', '\\');
  return shown;
}

}  // namespace updater::testing
