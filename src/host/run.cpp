#include "host/run.h"

#include <chrono>
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

enum { generationsPerLaunch = 50, mutationStepLaunches = 1000, printfBufferBytes = 1048576 };
const float startMutProb = 0.005f;
const double mutProbStep = 0.005;

// Wall time in whole milliseconds since the process started.
long msClock() {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - processStart)
                  .count());
}

}  // namespace

bool noteLaunchResult(Schedule& s, unsigned short lastBest, long now) {
  if (lastBest < s.bestSoFar) {
    s.bestSoFar = lastBest;
    s.lastImproveClock = now;
    s.mutProb = startMutProb;
    s.noImprove = 1;
    return true;
  }
  ++s.noImprove;
  if (s.noImprove % mutationStepLaunches == 0) {
    s.mutProb = float(double(s.mutProb) + mutProbStep);
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

void runGeneticAlgorithm(const char* path, int seed, int maxGen, int objHard, float graphDens) {
  const char* outFile = "./out.dat";
  const int launchCount = maxGen / generationsPerLaunch;
  const time_t startTime = std::time(nullptr);
  const long startClock = msClock();

  int constBytes = 0;
  loadGraph(path, &constBytes);
  std::printf("\nSTRONG MINIMUM ENERGY TOPOLOGY PROBLEM (SMETP)\n");
  std::printf("\nBroj iteracija:  %d\n", launchCount);

  unsigned seedsHost[popSize];
  hostSeeds(seed, seedsHost);
  CHECK_CUDA(gpuMemcpyToSymbol("objvalhardness", &objHard, sizeof objHard));
  CHECK_CUDA(gpuMemcpyToSymbol("graphdensity", &graphDens, sizeof graphDens));

  void* seeds = nullptr;
  CHECK_CUDA(gpuMalloc(&seeds, sizeof seedsHost));
  CHECK_CUDA(gpuMemcpy(seeds, seedsHost, sizeof seedsHost, gpuMemcpyHostToDevice));
  gpuLaunch(kernelSrand, 1, seeds);

  Chrom hostPop[popSize] = {};
  allocChromosomeBits(hostPop);
  void* popcurrent = nullptr;
  CHECK_CUDA(gpuMalloc(&popcurrent, sizeof hostPop));
  CHECK_CUDA(gpuMemcpy(popcurrent, hostPop, sizeof hostPop, gpuMemcpyHostToDevice));
  void* cBest = nullptr;
  CHECK_CUDA(gpuMalloc(&cBest, sizeof(unsigned short)));

  gpuLaunch(kernelGenerateRandomPopulation, popSize, popcurrent);
  gpuLaunch(kernelEvpopInitial, popSize, popcurrent);
  unsigned short lastBest = 0;
  // Waits for the kernels; the value itself means nothing yet.
  CHECK_CUDA(gpuMemcpy(&lastBest, cBest, sizeof lastBest, gpuMemcpyDeviceToHost));
  lastBest = infeasibleFit;

  Schedule s = {infeasibleFit, startMutProb, 0, 0};
  void* cModifiedMutationProb = nullptr;
  CHECK_CUDA(gpuMalloc(&cModifiedMutationProb, sizeof(float)));
  CHECK_CUDA(gpuMemcpy(cModifiedMutationProb, &s.mutProb, sizeof s.mutProb, gpuMemcpyHostToDevice));
  // Before the first improvement the launches without one count from probNl.
  CHECK_CUDA(gpuMemcpyFromSymbol(&s.noImprove, "probNl", sizeof s.noImprove));

  for (int i = 1; i <= launchCount; ++i) {
    if (noteLaunchResult(s, lastBest, msClock()))
      CHECK_CUDA(
          gpuMemcpy(cModifiedMutationProb, &s.mutProb, sizeof s.mutProb, gpuMemcpyHostToDevice));
    std::printf("Najbolja:\t%d\t= %d\n", int(s.bestSoFar), generationsPerLaunch * i);
    deviceLogInit(printfBufferBytes);
    gpuLaunch(kernelGAallInOneOperator, popSize, popcurrent, cModifiedMutationProb, cBest);
    deviceLogDisplay(stdout, false);
    deviceLogEnd();
    CHECK_CUDA(gpuMemcpy(&lastBest, cBest, sizeof lastBest, gpuMemcpyDeviceToHost));
    CHECK_CUDA(
        gpuMemcpy(&s.mutProb, cModifiedMutationProb, sizeof s.mutProb, gpuMemcpyDeviceToHost));
  }

  if (lastBest < s.bestSoFar) {
    s.bestSoFar = lastBest;
    s.lastImproveClock = msClock();
  }
  const long endClock = msClock();

  RunRecord r;
  r.startTime = startTime;
  r.path = path;
  r.seed = seed;
  r.maxGen = launchCount * generationsPerLaunch;
  r.objHard = objHard;
  r.endMut = s.mutProb;
  r.graphDens = graphDens;
  r.best = s.bestSoFar;
  r.sec = double(s.lastImproveClock - startClock) / 1000.0;
  r.totSec = double(endClock - startClock) / 1000.0;
  r.constBytes = constBytes;
  appendRunRecord(outFile, r);

  gpuFree(popcurrent);
  gpuFree(cModifiedMutationProb);
  gpuFree(cBest);
  gpuFree(seeds);
  freeChromosomeBits(hostPop);
  deviceLogRelease();
}
