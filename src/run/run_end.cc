// The exit codes of a run's ends.
#include "run/run_end.h"

namespace updater {

int64_t ExitCodeOf(const RunEnd& end, int64_t checkResult, bool distinctCodes) {
  const bool atPrompt = end.Ending == RunEnding::ClosingPrompt;
  if (!distinctCodes) return atPrompt ? checkResult : 0;
  switch (end.Outcome) {
    case RunOutcome::Done:
      return atPrompt ? checkResult : 0;
    case RunOutcome::EveryServerFailed:
      return 2;
    case RunOutcome::DownloadFailed:
      return 3;
    case RunOutcome::ApplyFailed:
      return 4;
    case RunOutcome::FatalError:
      return 5;
    case RunOutcome::HandedOver:
      return 6;
  }
  return 5;  // not reached: every outcome has its code
}

}  // namespace updater
