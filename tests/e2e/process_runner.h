// Runs a program as a child process for end-to-end tests (POSIX only): with
// pipes, or at a pseudo-terminal that the test types into.
#pragma once

#include <string>
#include <vector>

namespace updater::testing {

struct ProcessResult {
  int ExitCode = -1;  // -1 when it was killed or did not end in time
  std::string Output;
  std::string Errors;
  // RunMeasuredProcess: the most memory the program held at once, in KiB;
  // -1 when it was not measured.
  long PeakKilobytes = -1;
};

// Runs `arguments` (program first) in `folder` with `input` on its standard
// input and waits for it, killing it after `timeoutSeconds`.
ProcessResult RunProcess(const std::vector<std::string>& arguments, const std::string& folder,
                         const std::string& input = "", int timeoutSeconds = 120);

// RunProcess through the peak_memory program, which measures the program's
// own peak memory (a child of the test itself would count the test's too).
ProcessResult RunMeasuredProcess(const std::vector<std::string>& arguments,
                                 const std::string& folder, int timeoutSeconds = 120);

// The console lines in a run's output: UTF-16LE (ASCII text) with CR LF from
// the Windows build, LF-ended from the POSIX one. A last line without its end
// counts too.
std::vector<std::string> ConsoleLines(const std::string& output, bool windows);

// A child process that runs while the test watches what it does, with its
// standard streams on /dev/null; killed when destroyed.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& arguments, const std::string& folder);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // True once the process has ended (by itself or killed).
  bool Ended();
  // Ends it at once with SIGKILL, as a power cut or a task manager does, and
  // waits for it.
  void Kill();

 private:
  int pid_ = -1;
};

// The ids of the running processes whose command line holds `text`: what is
// left of a program (or of Wine running it) after it was killed.
std::vector<int> ProcessesRunning(const std::string& text);

// A child process whose standard streams are a pseudo-terminal of this size.
inline constexpr unsigned short kTerminalRows = 24;
inline constexpr unsigned short kTerminalColumns = 100;
class TerminalProcess {
 public:
  TerminalProcess(const std::vector<std::string>& arguments, const std::string& folder);
  ~TerminalProcess();

  // Reads what the program printed until `text` appears; false on timeout.
  bool WaitForOutput(const std::string& text, int timeoutSeconds = 60);
  void Type(const std::string& keys);
  void Signal(int signalNumber);
  // True when the process ended within the time; sets the exit code
  // (or -1 when a signal ended it).
  bool WaitForExit(int timeoutMilliseconds, int* exitCode);
  const std::string& Output() const { return output_; }
  // The terminal's current local-mode flags.
  unsigned LocalModes() const;
  // Waits until the program has switched echo off, as it does while it polls
  // for keys; false on timeout.
  bool WaitForKeyPolling(int timeoutSeconds = 30);

 private:
  void ReadAvailable(int timeoutMilliseconds);

  int master_ = -1;
  int slave_ = -1;  // kept open so the terminal outlives the child
  int pid_ = -1;
  std::string output_;
};

}  // namespace updater::testing
