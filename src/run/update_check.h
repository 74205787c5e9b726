// The update check: from server to server until one completes it, reading
// the server's state, list and catalogue, offering a newer updater first,
// then showing the version table, asking once, downloading and applying.
#pragma once

#include <string_view>

#include "run/check_session.h"
#include "run/run_services.h"
#include "run/run_settings.h"

namespace updater {

// How a full check ended.
// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] CheckOutcome {
  Completed,         // a server completed the check; the run goes on to "Update finished."
  Offered,           // -onlycheck: a server offers a newer updater or an update
  Declined,          // the user answered no; the run ends at the closing prompt
  ServersExhausted,  // every server failed ("Update failed!"); the run ends at the closing
                     // prompt; the session's FurthestFailure tells how far they got
  HandedOver,        // a new updater was started; this process ends at once
};
// clang-format on

// Asks a yes/no question and waits for "y" or "n" (any letter case), other
// keys ignored. Under -dontask and -silent the answer is yes without asking.
// A closed input answers no.
bool AskYesNo(const RunSettings& settings, RunServices& services, std::string_view question);

// The full check, over the session's servers: the first is the server in use
// (the -server value) when there is one, then list entries as the session's
// choice draws them, then the built-in default. The session's server in use
// is the last one tried, and its selected updates those of that server.
CheckOutcome RunUpdateCheck(const RunSettings& settings, RunServices& services,
                            CheckSession& session);

// The check of -onlycheck: no questions, no downloads, nothing written.
// Offered when a server offers a newer updater or at least one update of the
// main program is selected, Completed when a server offers nothing newer,
// ServersExhausted when every server failed.
CheckOutcome RunCheckOnly(const RunSettings& settings, RunServices& services,
                          CheckSession& session);

}  // namespace updater
