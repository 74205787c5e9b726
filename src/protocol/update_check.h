// The update check: from server to server until one completes it, reading
// the server's state, list and catalogue, offering a newer updater first,
// then showing the version table, asking once, downloading and applying.
#pragma once

#include <string_view>

#include "protocol/server_list.h"
#include "run/program.h"

namespace updater {

// Asks a yes/no question and waits for "y" or "n" (any letter case), other
// keys ignored. Under -dontask and -silent the answer is yes without asking.
// A closed input answers no.
bool AskYesNo(Program& program, std::string_view question);

// The full check. Returns when a server completed it; ends the process
// through EndProgram when the user answers no or every server failed, and
// through the hand-over when a new updater was started.
void RunUpdateCheck(Program& program);
// The same with the server choice given, so a test can fix the order.
void RunUpdateCheck(Program& program, ServerChoice& choice);

// The check of -onlycheck: no questions, no downloads, nothing written.
// Returns 1 when a server offers a newer updater or at least one update of
// the main program is selected, 0 otherwise (also when every server failed).
int RunCheckOnly(Program& program);
int RunCheckOnly(Program& program, ServerChoice& choice);

}  // namespace updater
