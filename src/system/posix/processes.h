// The running process and the programs it starts, on POSIX.
#pragma once

#include "system/processes.h"

namespace updater {

class PosixProcesses : public Processes {
 public:
  std::string CommandLine() override;
  std::string ExecutablePath() override;
  bool Start(const std::string& commandLine, const std::string& file, const std::string& parameters,
             const std::string& workingFolder, std::string* cause) override;
  bool StartNetwork(std::string* cause) override;
  [[noreturn]] void Exit(int code) override;
};

}  // namespace updater
