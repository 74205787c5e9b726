// The console on POSIX.
#include "system/posix/console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

namespace updater {

namespace {

// While the updater waits for a key at a terminal, the terminal is in
// non-canonical mode without echo, so that single keys arrive and nothing
// typed shows. The mode lasts from the first poll until the next line is
// written or the process ends, whichever way it ends.
termios g_savedTerminal;
volatile sig_atomic_t g_terminalChanged = 0;

void RestoreTerminal() {
  if (g_terminalChanged) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    g_terminalChanged = 0;
  }
}

// Returns to the start of the line and erases it: how a status line is
// replaced or removed without ever writing a line end.
constexpr char kEraseLine[] = "\r\033[K";

// Set while a status line is on the screen, so that the end of the process
// (a normal exit or a signal) erases it too.
volatile sig_atomic_t g_statusShown = 0;

// Only async-signal-safe calls: this runs inside signal handlers.
void EraseStatusAtEnd() {
  if (g_statusShown) {
    g_statusShown = 0;
    ssize_t ignored = write(STDOUT_FILENO, kEraseLine, sizeof kEraseLine - 1);
    (void)ignored;
  }
}

extern "C" void RestoreTerminalAtExit() {
  EraseStatusAtEnd();
  RestoreTerminal();
}

extern "C" void RestoreTerminalAndDie(int signalNumber) {
  EraseStatusAtEnd();
  RestoreTerminal();
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void InstallRestoreHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  atexit(RestoreTerminalAtExit);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction action {};
    action.sa_handler = RestoreTerminalAndDie;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
  }
}

// Puts the terminal into key-polling mode; false when it is not a terminal
// whose mode can be changed.
bool EnterKeyPollingMode() {
  if (g_terminalChanged) return true;
  InstallRestoreHandlers();
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  g_savedTerminal = saved;
  g_terminalChanged = 1;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
    g_terminalChanged = 0;
    return false;
  }
  return true;
}

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a failed console write is not reported
    done += static_cast<size_t>(written);
  }
}

// Columns of the terminal on standard output; 80 when it does not say.
size_t TerminalColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The longest start of `text` that fills at most `columns` columns, counting
// one column per character and never splitting a UTF-8 sequence.
std::string_view CutToColumns(std::string_view text, size_t columns) {
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    bool startsCharacter = (static_cast<unsigned char>(text[i]) & 0xc0) != 0x80;
    if (startsCharacter && ++characters > columns) return text.substr(0, i);
  }
  return text;
}

bool InputPending() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  int ready;
  do {
    ready = poll(&input, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (input.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL));
}

// Reads one byte; 0 at the end of the input, -1 on failure.
int ReadByte(unsigned char* byte) {
  ssize_t count;
  do {
    count = read(STDIN_FILENO, byte, 1);
  } while (count < 0 && errno == EINTR);
  return static_cast<int>(count);
}

// Turns the bytes of one key press into the key's text. Enter is a carriage
// return whichever line end the terminal delivers; escape sequences (arrow
// and function keys) produce no character.
ConsoleKey KeyFromInput(bool terminal) {
  ConsoleKey key;
  unsigned char byte = 0;
  int count = ReadByte(&byte);
  if (count <= 0) {
    key.InputClosed = count == 0 || errno == EBADF || errno == EIO;
    return key;
  }
  if (byte == '\n' || byte == '\r') {
    key.Text = "\r";
    return key;
  }
  if (byte == 0x1b && terminal) {
    while (InputPending() && ReadByte(&byte) > 0) {
    }
    return key;
  }
  key.Text.push_back(static_cast<char>(byte));
  // The rest of a UTF-8 sequence.
  int following = byte >= 0xf0 ? 3 : byte >= 0xe0 ? 2 : byte >= 0xc0 ? 1 : 0;
  for (int i = 0; i < following && InputPending() && ReadByte(&byte) > 0; ++i)
    key.Text.push_back(static_cast<char>(byte));
  return key;
}

}  // namespace

bool PosixConsole::Open() {
  InstallRestoreHandlers();
  return fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

void PosixConsole::WriteLine(std::string_view text) {
  RestoreTerminal();  // the program has moved on from waiting for a key
  // One write for the erase and the line, so the screen never shows the
  // line's row empty in between.
  std::string line = g_statusShown ? kEraseLine : "";
  g_statusShown = 0;
  line += text;
  line += '\n';
  WriteAll(STDOUT_FILENO, line);
}

bool PosixConsole::IsInteractive() {
  if (!isatty(STDOUT_FILENO)) return false;
  // A terminal that declares itself dumb (an editor's shell window) shows
  // escape sequences as text instead of erasing.
  const char* terminalType = getenv("TERM");
  return terminalType == nullptr || strcmp(terminalType, "dumb") != 0;
}

void PosixConsole::ShowStatus(std::string_view text) {
  if (!IsInteractive()) return;
  InstallRestoreHandlers();
  // One column stays free: a character in the last column makes some
  // terminals wrap, and a carriage return could no longer reach the
  // status's start.
  std::string status = kEraseLine;
  status += CutToColumns(text, TerminalColumns() - 1);
  g_statusShown = 1;
  WriteAll(STDOUT_FILENO, status);
}

void PosixConsole::ClearStatus() {
  if (!g_statusShown) return;
  g_statusShown = 0;
  WriteAll(STDOUT_FILENO, kEraseLine);
}

ConsoleKey PosixConsole::ReadKey() {
  if (fcntl(STDIN_FILENO, F_GETFD) == -1) {
    ConsoleKey closed;
    closed.InputClosed = true;
    return closed;
  }
  if (!isatty(STDIN_FILENO)) {
    if (!InputPending()) return {};
    return KeyFromInput(false);
  }
  if (!EnterKeyPollingMode()) return {};
  if (!InputPending()) return {};
  return KeyFromInput(true);
}

void PosixConsole::ShowErrorBox(std::string_view caption, std::string_view text) {
  ClearStatus();  // standard error usually shares the status's screen
  std::string line(caption);
  line += ": ";
  line += text;
  line += '\n';
  WriteAll(STDERR_FILENO, line);
}

}  // namespace updater
