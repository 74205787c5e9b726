// The time limits a program's entry point gives the run: each updater
// program links the one source that defines them.
#pragma once

#include "transfer/http_get_request.h"

namespace updater {

// The limits of every request of the run. The shipped updater's are the
// defaults of TimeLimits; a test program links short ones.
TimeLimits ProgramTimeLimits();

}  // namespace updater
