// Checkpoints of unfinished runs: a run's whole state at a launch boundary
// (population, generator streams, host schedule, history, elapsed time),
// read from the device and written to a file of its own, and read back so
// that the run continues exactly where it stopped.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "batch/engine.h"
#include "host/run.h"
#include "problem/batchrun.h"

// One population of a run as it lies between launches: a design run's 128
// records (fitness and bit string, in record order), or a wide run's rows,
// fitness and row order as they lie in its area.
struct PopulationState {
  unsigned streams[popSize];        // the lanes' generator words
  std::vector<int> fits;            // design: the records' fitness values
  std::vector<unsigned char> bits;  // design: 128 bit strings; wide: rows, fitness, row order
};

// A run's state after `launchesDone` launches.
struct RunState {
  int launchesDone = 0;
  long elapsedMs = 0;  // on the run's clock
  // The host side, its clocks counted from the run's start (startClock 0).
  RunProgress progress{};
  std::vector<long long> history;  // the best before each launch made
  // The run's populations (one; several for a run of several blocks).
  std::vector<PopulationState> populations;
};

// Reads the state of a run's population from the device: its streams from
// its run table entry, its records (design: `population`, with nlBytes bytes
// of each bit string) or its area (wide: `wide` is the area's layout).
void readPopulation(const BatchRun* entry, const Chrom* population, int nlBytes,
                    const WideRun* wide, PopulationState* state);
// Writes a population back into a slot that holds the run (its entry
// uploaded, a wide run's area set up); a design run's records point at the
// slot's own bit strings, `slotBits`, in record order.
void writePopulation(BatchRun* entry, Chrom* population, unsigned char* slotBits, int nlBytes,
                     const WideRun* wide, const PopulationState& state);

// An instance as a checkpoint names it: the sha256 of its file's bytes, or
// (an instance made in memory) of its links.
std::string instanceIdOf(const GraphData& g);

// What a checkpoint must match to be used: the program's version, the runs
// (runs_sha256), the instance (instanceIdOf), and the run: its index, its
// five arguments, its resolved settings, profile and stop words. One
// "name=value" line each.
std::string checkpointIdentity(const std::string& program, const std::string& runsSha256,
                               const RunSpec& spec, const std::string& instance);

// The checkpoint file of run `index` in directory `dir`.
std::string checkpointPath(const std::string& dir, long index);

// Writes the run's checkpoint atomically: a temporary file, flushed to the
// disk, then renamed over the last one. The directory is made when missing.
// False with the reason in *error.
bool saveCheckpoint(const std::string& dir, long index, const std::string& identity,
                    const RunState& state, std::string* error);

enum CheckpointLoad { checkpointNone, checkpointLoaded, checkpointRefused };

// Reads run `index`'s checkpoint: none when there is no file; refused (the
// reason in *error) when it cannot be read, is damaged, or was written for
// another identity (the first line that differs is named).
CheckpointLoad loadCheckpoint(const std::string& dir, long index, const std::string& identity,
                              RunState* state, std::string* error);

// Removes run `index`'s checkpoint, when there is one.
void removeCheckpoint(const std::string& dir, long index);

// The checkpoints of a batch's runs, in one directory. The engine's threads
// call these under the pool's lock, one at a time.
struct CheckpointStore {
  std::string dir;
  std::string program;     // name and version, for the identity
  std::string runsSha256;  // of the batch's runs ("" where there is none)
  const std::vector<GraphData>* instances = nullptr;
  std::map<int, std::string> instanceIds;  // instanceIdOf, by instance
  std::set<long> saved;              // runs whose checkpoint this batch wrote and has not removed
  std::string failure;               // the first write that failed
  std::vector<std::string> refused;  // why checkpoints were not used
};
// Writes a run's checkpoint; a write that fails is kept in store->failure
// (the batch goes on without it).
void checkpointRun(CheckpointStore* store, const RunSpec& spec, const RunState& state);
// The checkpoint of a run as it enters the pool: true with *state filled
// when there is one that matches the run; a refused one is noted in
// store->refused and the run starts from its beginning.
bool resumeRunFrom(CheckpointStore* store, const RunSpec& spec, RunState* state);
// A run's result is kept: its checkpoint goes.
void dropCheckpoint(CheckpointStore* store, long index);
// After a batch that made every run: the directory goes when it is empty.
void closeCheckpoints(CheckpointStore* store);
