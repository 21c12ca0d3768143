// The batch engine: many independent runs at once, one block per run, a pool
// of resident runs refilled as runs finish. Each run gives exactly what the
// single run gives for the same five arguments.
#pragma once

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "batch/runs.h"
#include "batch/stop.h"
#include "host/record.h"
#include "problem/graph.h"
#include "problem/settings.h"

// One run of a batch: the five arguments of smetp, converted as smetp
// converts them, and where the run came from.
struct RunSpec {
  std::string path;  // graph file as given
  int seed;
  int maxGen;  // generations asked for; the run makes maxGen / 50 launches
  int objHard;
  float graphDens;
  long index;    // position in the whole list of runs (file order), 0-based
  int instance;  // index into the batch's instance table
  GaSettings settings = designGaSettings();
  RunStop stop = RunStop();       // time limit, target, no limit on generations
  int profile = gaProfileDesign;  // the profile the settings were resolved from
};

// A run as a front end read it, resolved for its instance (the one place
// where runs are): the profile's values for the instance's size, the named
// settings over them, and the candidate links a wide run takes.
RunSpec resolveRun(const RunLine& run, long index, int instance, const GraphData& g);

// What a finished run gives.
struct RunResult {
  // Exactly what smetp appends for the generations made (record.path points
  // into the RunSpec): a run that its time limit or target ended after k
  // launches made the first k launches of its full run, so this is smetp's
  // record for 50 k generations.
  RunRecord record;
  int launches;  // launches made: maxGen / 50 (none when that is not positive), fewer when stopped
  StopReason stop;         // what ended the run
  double secondsToTarget;  // on the run's clock, when its best first met the target; < 0: never
  // The best as each progress line prints it before launch 1..launches, then
  // the final best: launches + 1 values.
  std::vector<long long> history;
  // The best chromosome's links, 1-based (u < v), in edge order; only when
  // the run made at least one launch (hasTopology), since before the first
  // launch the run's best is the 65000 placeholder.
  bool hasTopology;
  std::vector<std::pair<int, int>> topology;
  const char* backend;  // "cpu" or "cuda"
  // The final best: record.best for a run of the design's shape; a wide
  // run's exact score (its energy when feasible, see wideUnconnectedStep).
  long long best = 0;
  bool wide = false;       // a wide run: chromosomes over candidate links
  int candidateLinks = 0;  // a wide run's candidate links
  int island = 0;          // the island whose best is the run's best (0 without islands)
};

// True when a run on g with these settings is a wide run: the instance is
// beyond the design's limits, or the settings name the candidate links.
bool isWideRun(const GraphData& g, const GaSettings& settings);

// The candidate links a wide run takes: a count K, or linksAll.
int candidateLinksOf(const GraphData& g, const GaSettings& settings);

// The seed of island `island` of a run with this seed: island 0 has the run's
// own, so that a run of one island is the run without islands.
int islandSeed(int seed, int island);

// Where the runs of a batch come from: each call fills *spec with the next
// run, in order, and returns false when there is none left. The engine asks
// for runs as slots free, one call at a time.
using RunSource = std::function<bool(RunSpec* spec)>;

struct RunState;  // batch/checkpoint.h

// What a progress display shows of a batch after a launch.
struct BatchProgress {
  long long launchesDone = 0;  // launches made so far by all runs together
  int running = 0;             // runs in the pool now
  int slots = 0;               // runs the pool holds at once
  // The lowest best among the runs in the pool whose best connects all nodes
  // (the engine's fitness, or a wide run's energy); -1 when none does.
  long long best = -1;
};

struct BatchOptions {
  int jobs = 1;      // CPU form: worker threads, each carrying its own runs
  int resident = 0;  // runs resident at once; 0: the form's default (gpuBatchPlan)
  // The batch's runs where known (0: not known): the pool has no more slots.
  size_t runs = 0;
  // The most islands of any run of the batch (1: none has islands). A run
  // with more islands than this is refused when it comes.
  int islands = 1;
  // Set (by a signal handler, say) to end the batch: each thread stops before
  // its next launch, and runs not finished by then give no result.
  const std::atomic<bool>* stop = nullptr;
  // Set to end every run at its next launch boundary with what it has: each
  // gives its result, with stop "interrupted".
  const std::atomic<bool>* finish = nullptr;
  // A run may start only while it is fewer than `window` positions after the
  // earliest unfinished run, which bounds the results that wait for an earlier
  // run to finish. 0: 16384.
  size_t window = 0;
  // Where set, the source is asked for a run only while this says one is
  // there (or the runs have ended); until then free slots stay empty and the
  // runs in the pool go on, so a source that waits for earlier results never
  // holds the pool up.
  std::function<bool()> runReady;
  // Called once the device memory of the pool is set up, before any run.
  std::function<void()> onStarted;
  // Called as each run finishes, in the order they finish, one call at a
  // time; `position` counts the runs in the order the source gave them.
  std::function<void(size_t position, const RunSpec& spec, const RunResult& result)> onRunFinished;
  // Called after each launch step with the launches made so far and the runs
  // in the pool, one call at a time; may be empty.
  std::function<void(const BatchProgress& progress)> onProgress;
  // Checkpoints: where set, called with the state of each run that is part
  // way through its launches, one call at a time: every checkpointEvery
  // seconds of each thread's work (0: never) and once more when the batch
  // is stopped (`stop`; not when it fails).
  std::function<void(const RunSpec& spec, const RunState& state)> onCheckpoint;
  double checkpointEvery = 0;
  // Where set, asked for each run as it enters the pool: true with *state
  // filled continues the run from that state instead of starting it.
  std::function<bool(const RunSpec& spec, RunState* state)> resumeRun;
};

// A batch that cannot go on: a device call that failed (with the runtime's
// message), or device memory the pool cannot have.
struct BatchError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Why a pool of `slots` resident runs cannot be had with `freeBytes` of
// device memory free ("" when it fits): the batch refuses it before any
// allocation, rather than running out part way.
std::string poolMemoryProblem(size_t slots, size_t freeBytes);

// Runs every run the source gives, at most options.resident at a time;
// spec.instance indexes `instances`. Returns false when the batch was stopped
// before every run finished. Throws BatchError when the device fails, and
// passes on what a callback throws (after the other threads have stopped).
bool runBatch(const RunSource& source, const std::vector<GraphData>& instances,
              const BatchOptions& options);
// The same for a list of runs.
bool runBatch(const std::vector<RunSpec>& runs, const std::vector<GraphData>& instances,
              const BatchOptions& options);
