// A batch's results file read back for --resume: which runs it holds, and
// the checks that it holds results of these runs on these instances.
#pragma once

#include <string>
#include <vector>

#include "batch/plan.h"

// What a results file already holds, for --resume.
struct Resumed {
  std::vector<bool> done;  // by run index
  long long runs = 0;
  long long launches = 0;
  std::string lastRecord;  // the record text of the last line that has one
};

// Reads the results file of an earlier batch of the same runs: every line
// must be a result of these runs (of the plan's shard), made on graph files
// with the bytes they have now; a last line cut short (the batch ended in the
// middle of a write) is cut off the file. False after a message.
bool readResumed(int fd, const std::string& path, const BatchPlan& plan, Resumed* resumed);

// A new batch (no --resume) may write a results file that is empty; one that
// holds anything only with --overwrite, and then only when it holds results
// of smetp-batch (it starts with a result line), never another kind of file
// (a record file, say). False after a message.
bool mayReplaceResults(int fd, const std::string& path, bool overwrite);
