// Runs a program and writes the most memory it held at once to a file: wait4's
// ru_maxrss in KiB. A process started straight from a test counts the
// memory of the test that forked it; started from this small program, it
// counts only its own.
//   peak_memory OUTPUT_FILE PROGRAM [ARGUMENT...]
// Exits with the program's exit code, or 125 when it could not be run or was
// ended by a signal.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: peak_memory OUTPUT_FILE PROGRAM [ARGUMENT...]\n");
    return 125;
  }
  const pid_t child = fork();
  if (child < 0) return 125;
  if (child == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) return 125;
  std::FILE* output = std::fopen(argv[1], "w");
  if (output == nullptr) return 125;
  std::fprintf(output, "%ld\n", usage.ru_maxrss);
  if (std::fclose(output) != 0) return 125;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
