#include "host/run.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "devlog/cuPrintf1.h"
#include "gpu/check.h"
#include "gpu/gpu.h"
#include "host/record.h"
#include "problem/chrom.h"
#include "problem/graph.h"
#include "problem/population.h"

namespace {

// Taken during static initialisation, before main runs.
const std::chrono::steady_clock::time_point processStart = std::chrono::steady_clock::now();

enum { generationsPerLaunch = 50, printfBufferBytes = 1048576 };

}  // namespace

long runClockMs() {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - processStart)
                  .count());
}

bool noteLaunchResult(Schedule& s, long long lastBest, long now) {
  if (lastBest < s.bestSoFar) {
    s.bestSoFar = lastBest;
    s.lastImproveClock = now;
    s.mutProb = s.startMutProb;
    s.noImprove = 1;
    return true;
  }
  ++s.noImprove;
  if (s.noImprove % s.mutPatience == 0) {
    s.mutProb = float(double(s.mutProb) + s.mutProbStep);
    return true;
  }
  return false;
}

void hostSeeds(int seed, unsigned seeds[128]) {
  unsigned state = unsigned(seed);
  for (int i = 0; i < popSize; ++i) {
    state = state * 214013u + 2531011u;
    seeds[i] = (state >> 16) & 32767u;
  }
}

RunProgress startRunProgress(int maxGen, int probNl, time_t startTime, long startClock,
                             const GaSettings& settings) {
  RunProgress p;
  p.schedule =
      Schedule{infeasibleFit,         settings.mutation,        probNl, 0, settings.mutation,
               settings.mutationStep, settings.mutationPatience};
  p.lastBest = infeasibleFit;
  p.launchCount = maxGen / generationsPerLaunch;
  p.startClock = startClock;
  p.startTime = startTime;
  return p;
}

bool beforeLaunch(RunProgress& p) { return noteLaunchResult(p.schedule, p.lastBest, runClockMs()); }

void finishRunProgress(RunProgress& p) {
  if (p.lastBest < p.schedule.bestSoFar) {
    p.schedule.bestSoFar = p.lastBest;
    p.schedule.lastImproveClock = runClockMs();
  }
}

RunRecord runRecordOf(const RunProgress& p, const char* path, int seed, int objHard,
                      float graphDens, int constBytes, long endClock) {
  RunRecord r;
  r.startTime = p.startTime;
  r.path = path;
  r.seed = seed;
  r.maxGen = p.launchCount * generationsPerLaunch;
  r.objHard = objHard;
  r.endMut = p.schedule.mutProb;
  r.graphDens = graphDens;
  r.best = (unsigned short)p.schedule.bestSoFar;
  r.sec = double(p.schedule.lastImproveClock - p.startClock) / 1000.0;
  r.totSec = double(endClock - p.startClock) / 1000.0;
  r.constBytes = constBytes;
  return r;
}

bool launchesMayBeLong(int nodes, int hardness) {
  if (hardness <= 0 || nodes <= 1) return false;
  // About 10^8 dependent steps a lane take a few tenths of a second on a GPU.
  const double stepsPerLaunch = generationsPerLaunch * 2.0 * std::pow(double(nodes), hardness);
  return stepsPerLaunch >= 1e8;
}

void warnOfKernelTimeout(const char* program, int nodes, int hardness) {
  if (!launchesMayBeLong(nodes, hardness)) return;
  int device = 0;
  gpuDeviceProp prop;
  if (gpuGetDevice(&device) != gpuSuccess || gpuGetDeviceProperties(&prop, device) != gpuSuccess ||
      !prop.kernelExecTimeoutEnabled)
    return;
  std::fflush(stdout);
  std::fprintf(stderr,
               "%s: warning: device %d stops kernels that run too long, and a launch at "
               "hardness %d on %d nodes may take seconds: the run may fail there\n",
               program, device, hardness, nodes);
}

void runGeneticAlgorithm(const char* path, int seed, int maxGen, int objHard, float graphDens) {
  const char* outFile = "./out.dat";
  const time_t startTime = std::time(nullptr);
  const long startClock = runClockMs();

  int constBytes = 0;
  loadGraph(path, &constBytes);
  std::printf("\nSTRONG MINIMUM ENERGY TOPOLOGY PROBLEM (SMETP)\n");
  std::printf("\nBroj iteracija:  %d\n", maxGen / generationsPerLaunch);

  int nodes = 0;
  CHECK_CUDA(gpuMemcpyFromSymbol(&nodes, "probNn", sizeof nodes));
  if (maxGen / generationsPerLaunch > 0) warnOfKernelTimeout("smetp", nodes, objHard);

  unsigned seedsHost[popSize];
  hostSeeds(seed, seedsHost);
  CHECK_CUDA(gpuMemcpyToSymbol("objvalhardness", &objHard, sizeof objHard));
  CHECK_CUDA(gpuMemcpyToSymbol("graphdensity", &graphDens, sizeof graphDens));

  void* seeds = nullptr;
  CHECK_CUDA(gpuMalloc(&seeds, sizeof seedsHost));
  CHECK_CUDA(gpuMemcpy(seeds, seedsHost, sizeof seedsHost, gpuMemcpyHostToDevice));
  CHECK_CUDA(gpuLaunch(kernelSrand, 1, seeds));

  Chrom hostPop[popSize] = {};
  allocChromosomeBits(hostPop);
  void* popcurrent = nullptr;
  CHECK_CUDA(gpuMalloc(&popcurrent, sizeof hostPop));
  CHECK_CUDA(gpuMemcpy(popcurrent, hostPop, sizeof hostPop, gpuMemcpyHostToDevice));
  void* cBest = nullptr;
  CHECK_CUDA(gpuMalloc(&cBest, sizeof(unsigned short)));

  CHECK_CUDA(gpuLaunch(kernelGenerateRandomPopulation, popSize, popcurrent));
  CHECK_CUDA(gpuLaunch(kernelEvpopInitial, popSize, popcurrent));
  unsigned short waited = 0;
  // Waits for the kernels; the value itself means nothing yet.
  CHECK_CUDA(gpuMemcpy(&waited, cBest, sizeof waited, gpuMemcpyDeviceToHost));

  // Before the first improvement the launches without one count from probNl,
  // as the device holds it.
  int probNlDevice = 0;
  CHECK_CUDA(gpuMemcpyFromSymbol(&probNlDevice, "probNl", sizeof probNlDevice));
  RunProgress p = startRunProgress(maxGen, probNlDevice, startTime, startClock);
  Schedule& s = p.schedule;
  void* cModifiedMutationProb = nullptr;
  CHECK_CUDA(gpuMalloc(&cModifiedMutationProb, sizeof(float)));
  CHECK_CUDA(gpuMemcpy(cModifiedMutationProb, &s.mutProb, sizeof s.mutProb, gpuMemcpyHostToDevice));

  // The message buffer is set up once; after each launch it is read, and set
  // up again only when the launch wrote to it.
  deviceLogInit(printfBufferBytes);
  for (int i = 1; i <= p.launchCount; ++i) {
    if (beforeLaunch(p))
      CHECK_CUDA(
          gpuMemcpy(cModifiedMutationProb, &s.mutProb, sizeof s.mutProb, gpuMemcpyHostToDevice));
    std::printf("Najbolja:\t%d\t= %d\n", int(s.bestSoFar), generationsPerLaunch * i);
    CHECK_CUDA(
        gpuLaunch(kernelGAallInOneOperator, popSize, popcurrent, cModifiedMutationProb, cBest));
    deviceLogAfterLaunch(stdout);
    unsigned short launchBest = 0;
    CHECK_CUDA(gpuMemcpy(&launchBest, cBest, sizeof launchBest, gpuMemcpyDeviceToHost));
    p.lastBest = launchBest;
    CHECK_CUDA(
        gpuMemcpy(&s.mutProb, cModifiedMutationProb, sizeof s.mutProb, gpuMemcpyDeviceToHost));
  }

  finishRunProgress(p);
  const RunRecord r = runRecordOf(p, path, seed, objHard, graphDens, constBytes, runClockMs());
  appendRunRecord(outFile, r);

  gpuFree(popcurrent);
  gpuFree(cModifiedMutationProb);
  gpuFree(cBest);
  gpuFree(seeds);
  freeChromosomeBits(hostPop);
  deviceLogRelease();
}
