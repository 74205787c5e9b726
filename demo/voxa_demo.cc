// A stand-in for the main program VOXA, for the demo and the end-to-end
// tests: it says which version it is and what it was started with.
#include <cstdio>

int main(int argc, char** argv) {
  std::printf("VOXA %s (demo main program)", VOXA_DEMO_VERSION);
  for (int i = 1; i < argc; ++i) std::printf(" %s", argv[i]);
  std::printf("\n");
  return 0;
}
