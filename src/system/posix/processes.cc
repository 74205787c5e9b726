// The running process and the programs it starts, on POSIX.
#include "system/posix/processes.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "system/command_line.h"
#include "system/posix/posix_platform.h"
#include "system/posix/system_error.h"

extern char** environ;

namespace updater {

namespace {

std::vector<std::string> g_arguments;

// Gives each closed standard descriptor /dev/null. A program started with
// standard output closed would otherwise get its first opened file (the
// support log) as descriptor 1, and every console line would land in it.
void FillClosedStandardDescriptors() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor: the closed one.
    int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != descriptor) close(opened);
  }
}

}  // namespace

void InitPosixPlatform(int argc, char** argv) {
  FillClosedStandardDescriptors();
  g_arguments.assign(argv, argv + argc);
}

std::string NativePath(const std::string& path) {
  std::string native = path;
  for (char& c : native)
    if (c == '\\') c = '/';
  return native;
}

std::string PosixProcesses::CommandLine() {
  // Rebuilt so that the updater's splitting rule gives back the arguments.
  return JoinCommandLine(g_arguments);
}

std::string PosixProcesses::ExecutablePath() {
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return g_arguments.empty() ? std::string() : g_arguments[0];
  return std::string(buffer.data(), static_cast<size_t>(length));
}

bool PosixProcesses::Start(const std::string& commandLine, const std::string& /*file*/,
                           const std::string& /*parameters*/, const std::string& workingFolder,
                           std::string* cause) {
  // The command line is split by the same rule the started updater uses, so
  // a program receives exactly the parameters a Windows program would.
  std::vector<std::string> arguments = SplitCommandLine(commandLine);
  if (arguments.empty()) {
    if (cause) *cause = ErrnoCause("posix_spawn", "(empty command line)", EINVAL);
    return false;
  }
  arguments[0] = NativePath(arguments[0]);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::string folder = NativePath(workingFolder);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  pid_t child = 0;
  int error = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0 && cause) *cause = ErrnoCause("posix_spawn", arguments[0], error);
  return error == 0;
}

bool PosixProcesses::StartNetwork(std::string* /*cause*/) {
  return true;  // sockets need no start-up on POSIX
}

void PosixProcesses::Exit(int code) {
  std::fflush(nullptr);
  std::exit(code);
}

}  // namespace updater
