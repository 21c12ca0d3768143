// The batch engine: many independent runs at once, one block per run. Each
// run gives exactly what the single run gives for the same five arguments.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "host/record.h"
#include "problem/graph.h"

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
};

// What a finished run gives.
struct RunResult {
  RunRecord record;  // exactly what smetp appends (record.path points into the RunSpec)
  int launches;      // launches made: maxGen / 50, none when that is not positive
  // The best as each progress line prints it before launch 1..launches, then
  // the final best: launches + 1 values.
  std::vector<unsigned short> history;
  // The best chromosome's links, 1-based (u < v), in edge order; only when
  // the run made at least one launch (hasTopology), since before the first
  // launch the run's best is the 65000 placeholder.
  bool hasTopology;
  std::vector<std::pair<int, int>> topology;
  const char* backend;  // "cpu" or "cuda"
};

struct BatchOptions {
  int jobs;  // CPU form: worker threads (blocks run at once); ignored by the CUDA form
  // Set (by a signal handler, say) to end the batch after the launch step in
  // progress; runs not finished by then give no result.
  const std::atomic<bool>* stop;
  // Called on the calling thread as each run finishes, in the order they
  // finish (not the order of the runs).
  std::function<void(size_t run, const RunResult& result)> onRunFinished;
  // Called after each launch step with the generations made so far by all
  // runs together; may be empty.
  std::function<void(long long generationsDone)> onProgress;
};

// Runs every run; runs[i].instance indexes `instances`. Returns false when
// the batch was stopped before every run finished. Device failures end the
// process through the runtime layer's checks, as in the single run.
bool runBatch(const std::vector<RunSpec>& runs, const std::vector<GraphData>& instances,
              const BatchOptions& options);
