// The running process and the processes it starts.
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
  virtual bool Start(const std::string& commandLine, const std::string& file,
                     const std::string& parameters, const std::string& workingFolder) = 0;

  // Makes the network usable (Windows: Winsock 1.1). False when it is not.
  virtual bool StartNetwork() = 0;

  // Ends the process with `code` after releasing what the process holds.
  [[noreturn]] virtual void Exit(int code) = 0;

  // The cause of the latest failed Start or StartNetwork, as text for the log.
  virtual std::string LastError() = 0;
};

}  // namespace updater
