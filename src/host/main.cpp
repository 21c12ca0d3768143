// smetp: a genetic algorithm for the strong minimum energy topology problem,
// with its whole population in one block of 128 lanes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/device_info.h"
#include "host/run.h"

int main(int argc, char** argv) {
  printDeviceInfo();
  std::printf("WARNING! Not using atomics!\n");
  if (argc <= 5) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "Upotreba: <prog.exe> <ulFajl> <randSeed> <brGeneracija> <tezinaFjeCilja [0-N]> "
                 "<gustinaGrafa [0,1]>");
    return 1;
  }
  // atoi and atof semantics: leading blanks skipped, conversion stops at the
  // first character that cannot continue the number, no number gives 0.
  const int seed = int(std::strtol(argv[2], nullptr, 10));
  const int maxGen = int(std::strtol(argv[3], nullptr, 10));
  const int objHard = int(std::strtol(argv[4], nullptr, 10));
  const float graphDens = float(std::strtod(argv[5], nullptr));
  runGeneticAlgorithm(argv[1], seed, maxGen, objHard, graphDens);
  // The record is stored by now; a standard output that failed on the way
  // (a full disk, a closed pipe) must not pass for success.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    const int error = errno;
    std::fprintf(stderr, "smetp: cannot write standard output: %s\n",
                 error ? std::strerror(error) : "write error");
    return 1;
  }
  return 0;
}
