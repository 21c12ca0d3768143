// One whole run: load, seed, create the population, the launch loop with its
// progress lines and mutation schedule, the run record and the release.
#pragma once

// Best fitness and mutation probability as they stand between launches.
struct Schedule {
  unsigned short bestSoFar;
  float mutProb;
  int noImprove;  // launches since the last improvement
  long lastImproveClock;
};

// Folds a launch's best into the schedule: an improvement resets the
// probability to 0.005, every 1000th launch without one raises it by 0.005.
// Returns true when mutProb changed and must be uploaded again.
bool noteLaunchResult(Schedule& s, unsigned short lastBest, long now);

// The 128 stream seeds that the host generator gives for `seed`.
void hostSeeds(int seed, unsigned seeds[128]);

void runGeneticAlgorithm(const char* path, int seed, int maxGen, int objHard, float graphDens);
