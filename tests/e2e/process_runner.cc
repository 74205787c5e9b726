// Child processes for end-to-end tests.
#include "e2e/process_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace updater::testing {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> ArgumentVector(std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return argv;
}

int ExitCodeFromStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& arguments, const std::string& folder,
                         const std::string& input, int timeoutSeconds) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {};
  std::vector<std::string> copy = arguments;
  std::vector<char*> argv = ArgumentVector(copy);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (chdir(folder.c_str()) != 0) _exit(126);
    setenv("TERM", "xterm", 1);  // a terminal that can erase, whatever runs the tests
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // The input is small; write it whole and close, so the program sees its end.
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
  }
  close(in[1]);

  ProcessResult result;
  auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && Clock::now() < deadline) {
    if (poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
      if (count <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.Output : result.Errors).append(buffer, static_cast<size_t>(count));
      }
    }
  }
  for (pollfd& fd : fds)
    if (fd.fd >= 0) close(fd.fd);
  int status = 0;
  while (Clock::now() < deadline && waitpid(pid, &status, WNOHANG) == 0) usleep(10000);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return result;
  }
  result.ExitCode = ExitCodeFromStatus(status);
  return result;
}

ProcessResult RunMeasuredProcess(const std::vector<std::string>& arguments,
                                 const std::string& folder, int timeoutSeconds) {
  char name[] = "/tmp/peak_memory_XXXXXX";
  const int file = mkstemp(name);
  if (file < 0) return {};
  close(file);
  std::vector<std::string> measured = {PEAK_MEMORY, name};
  measured.insert(measured.end(), arguments.begin(), arguments.end());
  ProcessResult result = RunProcess(measured, folder, "", timeoutSeconds);
  if (FILE* peak = std::fopen(name, "r")) {
    if (std::fscanf(peak, "%ld", &result.PeakKilobytes) != 1) result.PeakKilobytes = -1;
    std::fclose(peak);
  }
  unlink(name);
  return result;
}

std::vector<std::string> ConsoleLines(const std::string& output, bool windows) {
  std::string text;
  if (windows) {
    for (size_t i = 0; i < output.size(); i += 2) text += output[i];
  } else {
    text = output;
  }
  const std::string end = windows ? "\r\n" : "\n";
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t found; (found = text.find(end, start)) != std::string::npos;
       start = found + end.size())
    lines.push_back(text.substr(start, found - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& arguments,
                                     const std::string& folder) {
  std::vector<std::string> copy = arguments;
  std::vector<char*> argv = ArgumentVector(copy);
  pid_ = fork();
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
    if (chdir(folder.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
}

BackgroundProcess::~BackgroundProcess() { Kill(); }

bool BackgroundProcess::Ended() {
  int status = 0;
  if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
  return pid_ <= 0;
}

void BackgroundProcess::Kill() {
  if (Ended()) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::vector<int> ProcessesRunning(const std::string& text) {
  std::vector<int> found;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return found;
  while (dirent* entry = readdir(processes)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    std::ifstream file(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
    const std::string commandLine{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    if (commandLine.find(text) != std::string::npos) found.push_back(pid);
  }
  closedir(processes);
  return found;
}

TerminalProcess::TerminalProcess(const std::vector<std::string>& arguments,
                                 const std::string& folder) {
  winsize size{kTerminalRows, kTerminalColumns, 0, 0};
  if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
  std::vector<std::string> copy = arguments;
  std::vector<char*> argv = ArgumentVector(copy);
  pid_ = fork();
  if (pid_ == 0) {
    setsid();
    ioctl(slave_, TIOCSCTTY, 0);
    dup2(slave_, 0);
    dup2(slave_, 1);
    dup2(slave_, 2);
    close(master_);
    if (slave_ > 2) close(slave_);
    if (chdir(folder.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
}

TerminalProcess::~TerminalProcess() {
  if (pid_ > 0) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void TerminalProcess::ReadAvailable(int timeoutMilliseconds) {
  pollfd fd{master_, POLLIN, 0};
  if (poll(&fd, 1, timeoutMilliseconds) <= 0) return;
  char buffer[4096];
  ssize_t count = read(master_, buffer, sizeof buffer);
  if (count > 0) output_.append(buffer, static_cast<size_t>(count));
}

bool TerminalProcess::WaitForOutput(const std::string& text, int timeoutSeconds) {
  auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  while (output_.find(text) == std::string::npos) {
    if (Clock::now() >= deadline) return false;
    ReadAvailable(100);
  }
  return true;
}

void TerminalProcess::Type(const std::string& keys) {
  if (write(master_, keys.data(), keys.size()) < 0) {
  }
}

void TerminalProcess::Signal(int signalNumber) { kill(pid_, signalNumber); }

bool TerminalProcess::WaitForExit(int timeoutMilliseconds, int* exitCode) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  while (true) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      *exitCode = ExitCodeFromStatus(status);
      pid_ = -1;
      ReadAvailable(0);
      return true;
    }
    if (Clock::now() >= deadline) return false;
    ReadAvailable(20);
  }
}

bool TerminalProcess::WaitForKeyPolling(int timeoutSeconds) {
  auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  while (LocalModes() & ECHO) {
    if (Clock::now() >= deadline) return false;
    ReadAvailable(20);
  }
  return true;
}

unsigned TerminalProcess::LocalModes() const {
  termios modes{};
  tcgetattr(slave_, &modes);
  return static_cast<unsigned>(modes.c_lflag);
}

}  // namespace updater::testing
