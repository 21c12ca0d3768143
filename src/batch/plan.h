// The plan of a batch: the command line's options and the runs they name,
// checked before any run (every runs-file line parsed, the grid expanded and
// checked, every instance read once), then the runs handed to the pool one
// at a time, each resolved by resolveRun.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "batch/engine.h"
#include "batch/results.h"
#include "batch/runs.h"
#include "problem/graph.h"

// Seconds between two checkpoints of a run unless --checkpoint-every says
// otherwise.
constexpr double defaultCheckpointEvery = 60;

// The command line of smetp-batch, as given.
struct BatchArgs {
  std::string runsFile, resultsPath = "results.jsonl", recordPath = "./out.dat";
  std::vector<std::string> instancePaths;
  std::string seedsText, hardnessText, densityText, shardText;
  std::vector<std::string> settingTexts;  // --set
  std::string timeLimitText, targetText;  // --time-limit, --target
  std::string profileText;                // --profile
  int generations = 0;
  bool generationsGiven = false;
  bool noRecord = false, quiet = false, resume = false, overwrite = false;
  int jobs = 1, resident = 0;
  bool grid = false;
  // Seconds between checkpoints of the unfinished runs (0: only when the
  // batch is stopped); they go to the results file's name with ".ckpt".
  double checkpointEvery = defaultCheckpointEvery;
};

// Where the runs come from (read in two passes) and what they need.
struct BatchPlan {
  bool grid = false;
  std::string name;  // the runs file as given ("-" for standard input)
  int fd = -1;       // the runs file, or the copy of standard input
  Grid gridRuns;
  long long count = 0;  // runs in the file or grid
  long shardK = 0, shardN = 1;
  long long shardRuns = 0, shardLaunches = 0;  // runs of the shard and their launches
  bool launchesUnknown = false;                // some run has no limit on its generations
  double timeBudget = 0;  // the time limits of the shard's runs summed; -1: some run has none
  RunStop stop;           // --time-limit and --target
  int profile = gaProfileSolve;  // --profile
  int islands = 1;               // the most islands of any run
  std::string sha;               // runs_sha256
  // Each instance: the first line that uses it (0 in a grid) and the highest
  // hardness of its runs; and the paths in order of first use.
  struct InstanceUse {
    long firstLine;
    int maxHardness;
  };
  std::map<std::string, InstanceUse> instances;
  std::vector<std::string> instanceOrder;
  // Runs whose generations are not a multiple of 50, and the first of them.
  long long oddGenerations = 0;
  int firstOddGenerations = 0;
  long firstOddLine = 0;
  // Every instance, read once: its index by path, and the graphs in order.
  std::map<std::string, int> instanceOf;
  std::vector<GraphData> graphs;
  // Set (by a signal handler, say) to end the reading of the runs file.
  const std::atomic<bool>* interrupt = nullptr;
};

// A message of smetp-batch on standard error (left out when standard error
// takes no output).
void complain(const std::string& what);

// A path for a message: shortened when it is long.
std::string shown(const std::string& path);

// Makes the plan of the batch that `args` name: the runs checked, counted and
// hashed, their instances read. Returns 0 when the batch can start, 1 after
// a message on an error, -1 when *stop was set while the runs were read.
int makePlan(const BatchArgs& args, const std::atomic<bool>* stop, BatchPlan* plan);

// The second pass over the runs: the runs of the plan's shard, read again
// from the copy of the runs file (or expanded from the grid) and resolved
// for their instances, skipping the runs that `done` marks (by index).
struct PlanReader {
  const BatchPlan* plan = nullptr;
  const std::vector<bool>* done = nullptr;
  long long nextIndex = 0;
  long lineNo = 0;
  LineReader reader;
  Sha256Ptr again;      // the bytes read again, hashed
  bool failed = false;  // the runs file changed since it was checked
};
// False after a message when the runs file cannot be read again.
bool startPlanReader(PlanReader* r, const BatchPlan& plan, const std::vector<bool>* done);
// The pool's source: the next run, false when there is none left (or the
// runs file changed: r->failed).
bool nextPlannedRun(PlanReader* r, RunSpec* spec);
// After the last run: true when the runs read again are the runs checked.
bool plannedRunsUnchanged(PlanReader* r);

// What a file the batch writes (`path`) must not be: the runs file (also when read
// from standard input), a graph file, or `other` (the batch's other output,
// when not empty). "" when it is none of them.
std::string inputClash(const std::string& path, const BatchPlan& plan, const std::string& other,
                       const std::string& otherName);
