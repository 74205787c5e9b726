// The running process and the processes it starts. A call that can fail
// takes a trailing `std::string* cause`, which it fills on failure with the
// cause as text for the log (null when the caller has no use for it).
#pragma once

#include <string>

namespace updater {

class Processes {
 public:
  virtual ~Processes() = default;

  // The whole command line of this process, the program's own path first, in
  // the form whose splitting rules give the parameters (see command_line.h).
  virtual std::string CommandLine() = 0;

  // The full path of the running executable.
  virtual std::string ExecutablePath() = 0;

  // Starts a program without waiting for it. `commandLine` is the quoted file
  // followed by the parameters; `file`, `parameters` and `workingFolder` are
  // its parts, for a platform that starts programs another way. An empty
  // working folder means this process's current folder. True when it started.
  [[nodiscard]] virtual bool Start(const std::string& commandLine, const std::string& file,
                                   const std::string& parameters, const std::string& workingFolder,
                                   std::string* cause) = 0;

  // Makes the network usable (Windows: Winsock 1.1). False when it is not.
  [[nodiscard]] virtual bool StartNetwork(std::string* cause) = 0;

  // Ends the process with `code` after releasing what the process holds.
  [[noreturn]] virtual void Exit(int code) = 0;
};

}  // namespace updater
