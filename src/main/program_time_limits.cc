// The time limits of the updater that ships: the defaults of TimeLimits.
#include "main/program_time_limits.h"

namespace updater {

TimeLimits ProgramTimeLimits() { return TimeLimits(); }

}  // namespace updater
