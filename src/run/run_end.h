// How a run ends. The stages return what happened; the run sequence alone
// turns it into the end of the process.
#pragma once

#include <string>

namespace updater {

enum class RunEnding {
  ClosingPrompt,  // "Press enter to end program.", then the exit code of the check
  Exit,           // a plain exit with exit code 0, no prompt
  Fatal,          // an error box (when the user may be asked), exit code 0
};

struct [[nodiscard]] RunEnd {
  RunEnding Ending = RunEnding::ClosingPrompt;
  std::string FatalText;  // for RunEnding::Fatal

  static RunEnd ClosingPrompt() { return {RunEnding::ClosingPrompt, {}}; }
  static RunEnd Exit() { return {RunEnding::Exit, {}}; }
  static RunEnd Fatal(std::string text) { return {RunEnding::Fatal, std::move(text)}; }
};

}  // namespace updater
