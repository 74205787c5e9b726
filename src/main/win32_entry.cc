// The program's entry point on Windows: a windowed program with a Unicode
// entry point.
#include <windows.h>

#include "main/program_time_limits.h"
#include "protocol/built_in_keys.h"
#include "run/program.h"
#include "run/run_main.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  updater::Program program(updater::RealPlatform());
  program.Services.PublicKeyLines = updater::ProgramPublicKeys();
  program.Services.Limits = updater::ProgramTimeLimits();
  updater::RunMain(program);
}
