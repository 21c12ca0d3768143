// The GA settings of one run: a plain record that the host fills and the
// device reads through the run view. The design's values are what a run gets
// when it names no settings, and what the single run always has.
#pragma once

#include <string>
#include <vector>

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
  // Candidate links of a chromosome: 0, the design's layout (every pair of an
  // instance within the design's limits); K > 0, each node's K lightest and a
  // minimum spanning tree's; linksAll, every link. Any value but 0 makes the
  // run a wide run. Read on the host only.
  int links;
  // Runs with memetic=ls: when the memetic step finds a slot that it already
  // left at a local optimum, it drops this many of the tree's links,
  // reconnects the pieces by cheap links chosen with jitter (from the lane's
  // own stream), runs the local search again and keeps the result when its
  // energy is no higher. 0: off.
  int kick;
  // Islands: a run of islands > 1 is that many populations on its instance,
  // one block each with its own streams; after every migrateEvery launches
  // each sends its best `migrants` chromosomes to the next island on a ring,
  // which takes them in place of its worst. Read on the host only.
  int islands;
  int migrateEvery;
  int migrants;
};
enum { linksAll = -1, kickMax = 64, islandsMax = 4096, migrantsMax = 64 };

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
  s.islands = 1;
  s.migrateEvery = 1;
  s.migrants = 4;
  return s;
}

// Profiles: named bundles of settings, resolved for the run's instance.
// design: the design's values (a run of an instance within the design's
// limits is then the design's run, bit for bit). solve: the values measured
// best for solving, over candidate links that follow the instance. A run
// names at most one profile; without one it gets profile=solve.
enum GaProfile { gaProfileSolve = 0, gaProfileDesign = 1 };

// The values of a profile. links is left 0 here: the candidate links of a
// run follow its instance (resolveGaSettings).
GaSettings profileGaSettings(int profile);

// What a run's words ask for, before its instance is known: a profile and
// the settings named beside it. A named setting overrides only itself,
// wherever it stands among the words.
struct GaRequest {
  int profile = gaProfileSolve;
  GaSettings named = designGaSettings();  // the values of the named settings
  unsigned namedMask = 0;                 // bit k: setting k (gaSettingNames order) named
};

// Reads one `name=value` word into the request: `profile=solve|design`, or a
// setting, range-checked. Returns false and sets *error (e.g.
// "'tournament=0': tournament must be from 1 to 128") when the word is not
// `name=value`, the name is unknown or the value is out of range; the request
// is then unchanged. A number is decimal text only ("0x10" is refused).
bool parseGaSetting(const std::string& word, GaRequest* r, std::string* error);

// "" when the request makes sense as a whole, else why not (a kick without
// memetic=ls, which would do nothing).
std::string gaRequestProblem(const GaRequest& r);

// The request as canonical words: "profile=P" then the named settings in
// gaSettingNames order, separated by single blanks. Parsing them gives the
// same request.
std::string gaRequestText(const GaRequest& r);

// The settings a run uses on an instance of n nodes (sparse: read from a
// sparse file, whose links are its candidates): the profile's values for the
// instance's size, then the named settings. links is resolved too: 0 for a run
// in the design's layout (an instance within the design's limits, no links
// named, neither init=mst nor a memetic step), else the candidate links (-1
// all, or K).
GaSettings resolveGaSettings(const GaRequest& r, int n, bool sparse, bool wide);

// True when the request names the setting `name` itself.
bool namesSetting(const GaRequest& r, const char* name);

// The islands of a run with this request, on any instance.
int requestedIslands(const GaRequest& r);

// The candidate links of a wide run that names none: linksAll, or each
// node's K lightest links (and a minimum spanning tree's).
int defaultCandidateLinks(int n, bool sparse);

// True when every setting has the design's value.
bool isDesign(const GaSettings& s);

// The settings as `name=value` words in a fixed order separated by single
// blanks: all of them, or (onlyChanged) those that differ from the design,
// so that a design run gives the empty text. Values are written so that
// parseGaSetting reads back the same setting.
std::string gaSettingsText(const GaSettings& s, bool onlyChanged);

// One setting's value as a result shows it: its name, its text (as
// gaSettingsText writes it) and whether that text is a word ("on", "mst",
// links "all") rather than a number.
struct GaSettingValue {
  const char* name;
  std::string text;
  bool word;
};
// Every setting in the order of the texts above; links is left out for a run
// in the design's layout (links 0).
std::vector<GaSettingValue> gaSettingValues(const GaSettings& s);

// The name of a profile (gaProfileSolve, gaProfileDesign).
const char* gaProfileName(int profile);

// The shortest decimal text that reads back as exactly `value` (strtof for a
// float, strtod for a double): "0.3", "1e-05", "120".
std::string shortestText(float value);
std::string shortestText(double value);

// The names the parser knows, in the order of the texts above, separated by
// blanks (for help and error texts).
const char* gaSettingNames();
