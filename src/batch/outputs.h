// The files a batch writes: the results file (opened, checked, locked
// against a second batch, and read back for --resume) and the record file
// (checked that it can be appended to), all before any run.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "batch/checkpoint.h"
#include "batch/plan.h"
#include "batch/progress.h"
#include "batch/results.h"
#include "batch/resume.h"

struct BatchFiles {
  std::string recordPath;  // "" for none
  bool toStdout = false;   // the results go to standard output
  int resultsFd = -1;      // open, and locked unless it is standard output
  Resumed resumed;         // what the results file holds (--resume)
};

// Opens the files of the batch that `o` names. False after a message, with
// nothing left open.
bool openBatchFiles(const BatchArgs& o, const BatchPlan& runs, BatchFiles* files);

// Puts the finished runs of a batch out, in run order: each run's topology
// checked against its best, its result line and its record written, a
// warning for the first run of an instance that ends at the energy cap.
struct BatchWriter {
  const BatchPlan* plan = nullptr;
  Progress* progress = nullptr;
  OrderedOutput out;
  std::string resultsName;  // for messages
  // A new batch empties the results file (one that --overwrite replaces)
  // only when it has its first result to write, or when it ends without one,
  // so a batch that cannot start (no memory, no threads) leaves it as it was.
  bool emptied = false;
  long long written = 0;  // results in the file (resumed ones included)
  // Runs whose best is the energy cap, and the instances already warned of.
  long long capped = 0;
  std::vector<bool> cappedWarned;
  std::string failure;  // the first failure: nothing is written after it
  // Where set, a run's checkpoint goes once its result is in the file.
  CheckpointStore* checkpoints = nullptr;
  std::map<size_t, long> indexAt;  // run index by position, until written
};
void startBatchWriter(BatchWriter* w, const BatchArgs& o, const BatchPlan& plan,
                      const BatchFiles& files, Progress* progress, const std::atomic<bool>* stop);
// A finished run (one call at a time); false once w->failure is set.
bool writeRunResult(BatchWriter* w, size_t position, const RunSpec& spec, const RunResult& r);
// Empties the results file of a new batch, once; throws BatchError when it cannot.
void emptyResults(BatchWriter* w);
// Closes the results file; the failure, when there is one, is in w->failure.
void closeBatchWriter(BatchWriter* w);
