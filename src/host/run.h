// One whole run: load, seed, create the population, the launch loop with its
// progress lines and mutation schedule, the run record and the release.
#pragma once

#include <ctime>

#include "host/record.h"
#include "problem/settings.h"

// Best fitness and mutation probability as they stand between launches, and
// the run's mutation schedule (the mutation, mutation_step and
// mutation_patience settings).
struct Schedule {
  long long bestSoFar;  // a wide run's scores are 64-bit
  float mutProb;
  int noImprove;  // launches since the last improvement
  long lastImproveClock;
  float startMutProb = 0.005f;  // after each improvement
  double mutProbStep = 0.005;   // added after each mutPatience launches without one
  int mutPatience = 1000;
};

// Folds a launch's best into the schedule: an improvement resets the
// probability to startMutProb (0.005), every mutPatience-th (1000th) launch
// without one raises it by mutProbStep (0.005). Returns true when mutProb
// changed and must be uploaded again.
bool noteLaunchResult(Schedule& s, long long lastBest, long now);

// The 128 stream seeds that the host generator gives for `seed`.
void hostSeeds(int seed, unsigned seeds[128]);

// Wall time in whole milliseconds since the process started: the clock of the
// run record's times.
long runClockMs();

// The host side of one run between its launches, the same for the single run
// and for each run of a batch.
struct RunProgress {
  Schedule schedule;
  long long lastBest;       // the best after the latest launch
  int launchCount;          // launches the run makes
  long startClock;
  time_t startTime;
};

// A run of maxGen generations, before its first launch; probNl is the
// instance's edge count, where the launches without improvement count from.
// The mutation schedule comes from the settings (the design's by default).
RunProgress startRunProgress(int maxGen, int probNl, time_t startTime, long startClock,
                             const GaSettings& settings = designGaSettings());
// Folds the previous launch's best into the schedule before the next launch
// (noteLaunchResult); true when the mutation probability must be uploaded.
bool beforeLaunch(RunProgress& p);
// Takes what the final launch left: a best that improved on the last printed
// one counts as an improvement at this moment.
void finishRunProgress(RunProgress& p);
// The run's record as it stands after finishRunProgress, at time endClock.
RunRecord runRecordOf(const RunProgress& p, const char* path, int seed, int objHard,
                      float graphDens, int constBytes, long endClock);

// True when one launch of 50 generations on `nodes` nodes at this hardness
// may take a large part of a second or more: the hardness work alone is
// 2 * nodes^hardness generator steps a lane and evaluation, in sequence (the
// device wraps the power to 32 bits, so this is an upper estimate).
bool launchesMayBeLong(int nodes, int hardness);
// One warning line on standard error when the device in use stops kernels
// that run too long (a display's watchdog) and the launches of a run on
// `nodes` nodes at this hardness may be long: such a launch would be ended
// and the device's context lost.
void warnOfKernelTimeout(const char* program, int nodes, int hardness);

void runGeneticAlgorithm(const char* path, int seed, int maxGen, int objHard, float graphDens);
