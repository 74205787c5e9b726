// Waiting for files of the installation that another program holds open (a
// program still running, a virus scanner, a data file a program keeps open)
// while a package is applied: the step that failed on such a file is tried
// again in short waits, within one time for the whole apply.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "system/clock.h"
#include "system/file_system.h"
#include "system/report.h"

namespace updater {

// The longest single wait between two tries of a step.
inline constexpr int kHeldFileStepMilliseconds = 250;

class HeldFileWait {
 public:
  HeldFileWait(FileSystem& files, Report& report) : files_(files), report_(report) {}

  // Lets Retry wait, measured and slept on `clock`, up to `limitMilliseconds`
  // in all from one Restart to the next. Until this is called Retry never
  // waits, so that the tools that unpack packages fail at once as before.
  void Allow(Clock& clock, int64_t limitMilliseconds);
  // Gives the whole time again: each transaction of an apply has its own.
  void Restart();

  // Runs `step`, which acts on the files `paths` and fills its cause when it
  // fails, until it succeeds. After a failure while one of `paths` is held
  // open by another program (FileSystem::HeldOpenElsewhere) and time is
  // left, waits up to kHeldFileStepMilliseconds and runs it again. The first
  // wait for a file shows "Waiting for FILE, which another program has open
  // (up to N seconds)..." (N the time left); the log gets the cause, and
  // whether the file came free and after how long. True once the step
  // succeeded; false, with the step's last cause in `*cause`, when it failed
  // otherwise or the time ran out.
  [[nodiscard]] bool Retry(const std::vector<std::string>& paths,
                           const std::function<bool(std::string* cause)>& step, std::string* cause);

 private:
  // The first of `paths` held open by another program, or empty.
  std::string HeldOne(const std::vector<std::string>& paths);

  FileSystem& files_;
  Report& report_;
  Clock* clock_ = nullptr;
  int64_t limit_ = 0;
  int64_t spent_ = 0;                // waited since Restart
  std::set<std::string> announced_;  // the files whose wait was shown since Restart
};

}  // namespace updater
