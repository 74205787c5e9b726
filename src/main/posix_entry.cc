// The program's entry point on POSIX: the platform's backend, then the run.
#include "main/program_time_limits.h"
#include "protocol/built_in_keys.h"
#include "run/program.h"
#include "run/run_main.h"
#include "system/posix/posix_platform.h"

int main(int argc, char** argv) {
  updater::InitPosixPlatform(argc, argv);
  updater::Program program(updater::RealPlatform());
  program.Services.PublicKeyLines = updater::ProgramPublicKeys();
  program.Services.Limits = updater::ProgramTimeLimits();
  updater::RunMain(program);
}
