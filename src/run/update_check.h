// The update check: from server to server until one completes it, reading
// the server's state, list and catalogue, offering a newer updater first,
// then showing the version table, asking once, downloading and applying.
#pragma once

#include <string_view>

#include "protocol/server_list.h"
#include "run/program.h"

namespace updater {

// How a full check ended.
enum class CheckOutcome {
  Completed,         // a server completed the check; the run goes on to "Update finished."
  Declined,          // the user answered no; the run ends at the closing prompt
  ServersExhausted,  // every server failed ("Update failed!"); the run ends at the closing prompt
  HandedOver,        // a new updater was started; this process ends at once
};

// Asks a yes/no question and waits for "y" or "n" (any letter case), other
// keys ignored. Under -dontask and -silent the answer is yes without asking.
// A closed input answers no.
bool AskYesNo(Program& program, std::string_view question);

// The full check.
CheckOutcome RunUpdateCheck(Program& program);
// The same with the server choice given, so a test can fix the order.
CheckOutcome RunUpdateCheck(Program& program, ServerChoice& choice);

// The check of -onlycheck: no questions, no downloads, nothing written.
// Returns 1 when a server offers a newer updater or at least one update of
// the main program is selected, 0 otherwise (also when every server failed).
int RunCheckOnly(Program& program);
int RunCheckOnly(Program& program, ServerChoice& choice);

}  // namespace updater
