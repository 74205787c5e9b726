// How a run ends. The stages return what happened; the run sequence alone
// turns it into the end of the process and its exit code.
#pragma once

#include <cstdint>
#include <string>

namespace updater {

enum class RunEnding {
  ClosingPrompt,  // "Press enter to end program.", then the exit code of the check
  Exit,           // a plain exit, no prompt
  Fatal,          // an error box (when the user may be asked)
};

// What the run came to. Without -exitcodes every outcome ends with 0 (1 after
// a -onlycheck run that found updates); with it, each has its own code.
enum class RunOutcome {
  Done,               // the run did what it was asked, or the user said no
  EveryServerFailed,  // no server answered with a usable catalogue
  DownloadFailed,     // a server had updates, none could be downloaded whole
  ApplyFailed,        // packages were downloaded and could not be installed
  FatalError,         // the run could not start its work (no console, no
                      // network, another updater, the hand-over failed)
  HandedOver,         // a new updater goes on with this run's options
};

struct [[nodiscard]] RunEnd {
  RunEnding Ending = RunEnding::ClosingPrompt;
  std::string FatalText;  // for RunEnding::Fatal
  RunOutcome Outcome = RunOutcome::Done;

  static RunEnd ClosingPrompt(RunOutcome outcome = RunOutcome::Done) {
    return {RunEnding::ClosingPrompt, {}, outcome};
  }
  static RunEnd Exit(RunOutcome outcome = RunOutcome::Done) {
    return {RunEnding::Exit, {}, outcome};
  }
  static RunEnd Fatal(std::string text) {
    return {RunEnding::Fatal, std::move(text), RunOutcome::FatalError};
  }
};

// The exit code of `end`: with `distinctCodes` (-exitcodes) the code of its
// outcome, 0 for Done at an Exit, `checkResult` for Done at the closing
// prompt; without, `checkResult` at the closing prompt and 0 otherwise.
int64_t ExitCodeOf(const RunEnd& end, int64_t checkResult, bool distinctCodes);

}  // namespace updater
