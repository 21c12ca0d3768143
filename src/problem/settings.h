// The GA settings of one run: a plain record that the host fills and the
// device reads through the run view. The design's values are what a run gets
// when it names no settings, and what the single run always has.
#pragma once

#include <string>

#ifdef __CUDACC__
#define SETTINGS_FN __host__ __device__ inline
#else
#define SETTINGS_FN inline
#endif

enum GaInit { gaInitRandom = 0, gaInitMst = 1 };
enum GaMemetic { gaMemeticNone = 0, gaMemeticPrune = 1, gaMemeticLs = 2 };

struct GaSettings {
  int elite;             // slots kept unchanged each generation
  int tournament;        // candidates per tournament
  float crossover;       // probability that a crossing lane exchanges tails
  float mutation;        // per-bit mutation probability at the start and after an improvement
  double mutationStep;   // added after each mutationPatience launches without improvement
  int mutationPatience;  // launches without improvement before a step
  int repair;            // duplicate repair: 1 on, 0 off
  int init;              // GaInit
  int memetic;           // GaMemetic
  int memeticEvery;  // the memetic step follows generation g of a launch when g + 1 is a multiple
  int memeticCount;  // ... and works on this many of the best chromosomes
  // Candidate links of a chromosome: 0, the run's default (every pair of an
  // instance within the design's limits, else each node's wideDefaultLinks
  // lightest links and a minimum spanning tree's); K > 0, each node's K
  // lightest and the tree's; linksAll, every link. Any value but 0 makes the
  // run a wide run. Read on the host only.
  int links;
  // Runs with memetic=ls: when the memetic step finds a slot that it already
  // left at a local optimum, it drops this many of the tree's links,
  // reconnects the pieces by cheap links chosen with jitter (from the lane's
  // own stream), runs the local search again and keeps the result when its
  // energy is no higher. 0: off.
  int kick;
};
enum { linksAll = -1, kickMax = 64 };

// The design's values.
SETTINGS_FN GaSettings designGaSettings() {
  GaSettings s;
  s.elite = 16;
  s.tournament = 8;
  s.crossover = 0.85f;
  s.mutation = 0.005f;
  s.mutationStep = 0.005;
  s.mutationPatience = 1000;
  s.repair = 1;
  s.init = gaInitRandom;
  s.memetic = gaMemeticNone;
  s.memeticEvery = 25;
  s.memeticCount = 24;
  s.links = 0;
  s.kick = 0;
  return s;
}

// The settings measured best for solving (the `profile=solve` word): the
// design's GA with the memetic local search and the kick (see the README's
// measurements): the design's values but for memetic=ls, memetic_every=20
// and kick=3.
GaSettings solveGaSettings();

// The settings a wide run without settings gets: profile=solve, started
// from the spanning tree (init=mst), since on hundreds of nodes a random
// start at any density is far from connected, with memetic_count=8
// memetic_every=5 kick=6.
GaSettings wideRunSettings();

// True when every setting has the design's value.
bool isDesign(const GaSettings& s);

// Sets one setting from a `name=value` word, range-checked; the word
// `profile=solve` sets every setting to solveGaSettings() (so words after it
// override it, words before it are overridden). Returns false and
// sets *error (e.g. "tournament=0: tournament must be from 1 to 128") when the
// word is not `name=value`, the name is unknown or the value is out of range;
// the settings are then unchanged.
bool parseGaSetting(const std::string& word, GaSettings* s, std::string* error);

// The settings as `name=value` words in a fixed order separated by single
// blanks: all of them, or (onlyChanged) those that differ from the design,
// so that a run without settings gives the empty text. Values are written so
// that parseGaSetting reads back the same setting.
std::string gaSettingsText(const GaSettings& s, bool onlyChanged);

// The settings as one JSON object with every setting's value, in the same
// order: {"elite":16,"tournament":8,...,"init":"random","memetic":"none",...}.
std::string gaSettingsJson(const GaSettings& s);

// The names the parser knows, in the order of the texts above, separated by
// blanks (for help and error texts).
const char* gaSettingNames();
