// The program's entry point on Windows: a windowed program with a Unicode
// entry point.
#include <windows.h>

#include "run/program.h"
#include "run/run_main.h"

// Each program built from this entry names the publisher's key whose
// signatures it requires (empty: none).
#ifndef UPDATER_PUBLIC_KEY
#error "UPDATER_PUBLIC_KEY must be defined for the program"
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  updater::Program program(updater::RealPlatform());
  program.Services.PublicKey = UPDATER_PUBLIC_KEY;
  updater::RunMain(program);
}
