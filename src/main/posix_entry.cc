// The program's entry point on POSIX: the platform's backend, then the run.
#include "run/program.h"
#include "run/run_main.h"
#include "system/posix/posix_platform.h"

// Each program built from this entry names the publisher's key whose
// signatures it requires (empty: none).
#ifndef UPDATER_PUBLIC_KEY
#error "UPDATER_PUBLIC_KEY must be defined for the program"
#endif

int main(int argc, char** argv) {
  updater::InitPosixPlatform(argc, argv);
  updater::Program program(updater::RealPlatform());
  program.Services.PublicKey = UPDATER_PUBLIC_KEY;
  updater::RunMain(program);
}
