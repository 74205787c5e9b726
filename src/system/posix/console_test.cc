// The status line of the POSIX console at a real pseudo-terminal and at a
// pipe: what stays on the screen is exactly the written lines.
#include "system/posix/console.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/terminal_screen.h"

namespace updater {
namespace {

using Rows = std::vector<std::string>;
using testing::Screen;

constexpr unsigned short kColumns = 40;
const std::string kLongStatus =
    "45% 12.3 MB of 27.4 MB, 2.1 MB/s, 7 s left, and more text than fits in a row";

// Reads what has arrived at `fd` until it stays quiet for a moment.
std::string ReadAvailable(int fd) {
  std::string bytes;
  pollfd ready{fd, POLLIN, 0};
  char buffer[4096];
  for (ssize_t count; poll(&ready, 1, 200) > 0 && (count = read(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, static_cast<size_t>(count));
  return bytes;
}

// Runs `body` in a child process whose standard output is `output`; returns
// how the child ended (a wait status).
int RunChild(int output, const std::function<void()>& body) {
  pid_t child = fork();
  if (child == 0) {
    dup2(output, STDOUT_FILENO);
    body();
    _exit(0);
  }
  int status = -1;
  waitpid(child, &status, 0);
  return status;
}

TEST(PosixConsoleStatus, ATerminalKeepsOnlyTheLinesEvenWhenTheProcessIsStopped) {
  setenv("TERM", "xterm", 1);  // not "dumb", as a test runner may say
  int master, slave;
  winsize size{24, kColumns, 0, 0};
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
  int status = RunChild(slave, [] {
    PosixConsole console;
    console.WriteLine("first line");
    console.ShowStatus(kLongStatus);  // cut, or it would wrap into a row of its own
    console.ShowStatus("short status");
    console.WriteLine("second line");
    console.ShowStatus("cleared status");
    console.ClearStatus();
    console.ShowStatus("status at the end");
    raise(SIGTERM);
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  std::string bytes = ReadAvailable(master);
  EXPECT_NE(bytes.find("status at the end"), std::string::npos) << "no status was drawn";
  EXPECT_EQ(Screen(bytes, kColumns), (Rows{"first line", "second line", ""}));
  close(master);
  close(slave);
}

TEST(PosixConsoleStatus, APipeGetsTheLinesOnly) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  RunChild(pipeEnds[1], [] {
    PosixConsole console;
    console.WriteLine("first line");
    console.ShowStatus("status");
    console.WriteLine("second line");
    console.ClearStatus();
  });
  close(pipeEnds[1]);
  EXPECT_EQ(ReadAvailable(pipeEnds[0]), "first line\nsecond line\n");
  close(pipeEnds[0]);
}

}  // namespace
}  // namespace updater
