// The time limits of the updater the end-to-end tests of stalled and silent
// servers, and of files held open too long, run: the rules of the shipped
// ones, over seconds instead of half-minutes, so that a test waits a few
// seconds for each limit.
#include "main/program_time_limits.h"

namespace updater {

TimeLimits ProgramTimeLimits() {
  TimeLimits limits;
  limits.ConnectMilliseconds = 2000;
  limits.ResponseMilliseconds = 2000;
  limits.ReceiveMilliseconds = 2000;
  limits.RateWindowMilliseconds = 2000;
  limits.ServerFileMilliseconds = 8000;
  limits.HeldFileMilliseconds = 3000;
  return limits;
}

}  // namespace updater
