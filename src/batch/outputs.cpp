#include "batch/outputs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "batch/results.h"
#include "host/record.h"

bool openBatchFiles(const BatchArgs& o, const BatchPlan& runs, BatchFiles* files) {
  std::string error;
  // The record file is checked before the runs so that a long batch does not
  // end on a file it could never write.
  // It is never one of the inputs, nor the file of another batch's results.
  files->recordPath = o.noRecord ? "" : o.recordPath;
  const std::string& recordPath = files->recordPath;
  if (!recordPath.empty()) {
    const std::string clash = inputClash(recordPath, runs, "", "");
    if (!clash.empty()) {
      complain("the record file " + shown(recordPath) + " is " + clash +
               "; give another --record file");
      return false;
    }
    if (!appendRecordChecked(recordPath, "", &error)) {
      complain("cannot append to record file " + shown(recordPath) + ": " + error);
      return false;
    }
  }

  // The results file: never one of the batch's inputs or its record file,
  // and never one that another batch is writing.
  files->toStdout = o.resultsPath == "-";
  const bool toStdout = files->toStdout;
  if (toStdout && o.resume) {
    complain("--resume needs the results file of the batch (--results FILE)");
    return false;
  }
  int& resultsFd = files->resultsFd;
  resultsFd = STDOUT_FILENO;
  Resumed& resumed = files->resumed;
  if (!toStdout) {
    const std::string& rp = o.resultsPath;
    const std::string clash = inputClash(rp, runs, recordPath, "the record file");
    if (!clash.empty()) {
      complain("the results file " + shown(rp) + " is " + clash + "; give another --results file");
      return false;
    }
    // Opened without waiting (a FIFO), then refused unless it is a regular
    // file: a results file is read back, cut and resumed.
    resultsFd = ::open(rp.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (resultsFd < 0) {
      complain("cannot write results file " + shown(rp) + ": " + std::strerror(errno));
      return false;
    }
    struct stat st;
    if (::fstat(resultsFd, &st) != 0 || !S_ISREG(st.st_mode)) {
      complain("results file " + shown(rp) +
               " is not a regular file (a device or a FIFO); give a file, or --results - for "
               "standard output");
      ::close(resultsFd);
      return false;
    }
    ::fcntl(resultsFd, F_SETFL, ::fcntl(resultsFd, F_GETFL) & ~O_NONBLOCK);
    if (::flock(resultsFd, LOCK_EX | LOCK_NB) != 0) {
      complain(errno == EWOULDBLOCK
                   ? "results file " + shown(rp) + " is being written by another batch"
                   : "cannot lock results file " + shown(rp) + ": " + std::strerror(errno));
      ::close(resultsFd);
      return false;
    }
    if (o.resume && !readResumed(resultsFd, rp, runs, &resumed)) {
      ::close(resultsFd);
      return false;
    }
    if (!o.resume && !mayReplaceResults(resultsFd, rp, o.overwrite)) {
      ::close(resultsFd);
      return false;
    }
    // The last result's record, when the batch ended before storing it.
    if (!recordPath.empty() && !resumed.lastRecord.empty()) {
      const int added = resumeRecord(recordPath, resumed.lastRecord, &error);
      if (added < 0) {
        complain("cannot append to record file " + shown(recordPath) + ": " + error);
        ::close(resultsFd);
        return false;
      }
      if (added > 0)
        complain("the record of the last run in " + shown(rp) + " was missing from " +
                 shown(recordPath) + "; it is appended now");
    }
  }
  return true;
}

void startBatchWriter(BatchWriter* w, const BatchArgs& o, const BatchPlan& plan,
                      const BatchFiles& files, Progress* progress, const std::atomic<bool>* stop) {
  w->plan = &plan;
  w->progress = progress;
  w->resultsName = files.toStdout ? "standard output" : shown(o.resultsPath);
  attachOrderedOutput(&w->out, files.resultsFd, w->resultsName, files.recordPath);
  w->out.stop = stop;
  w->emptied = files.toStdout || o.resume;
  w->written = files.resumed.runs;
  w->cappedWarned.assign(plan.graphs.size(), false);
}

void emptyResults(BatchWriter* w) {
  if (w->emptied) return;
  w->emptied = true;
  if (::ftruncate(w->out.resultsFd, 0) != 0)
    throw BatchError("cannot write results file " + w->resultsName + ": " + std::strerror(errno));
}

bool writeRunResult(BatchWriter* w, size_t position, const RunSpec& spec, const RunResult& r) {
  if (!w->failure.empty()) return false;
  progressRunFinished(w->progress, spec, r);
  const GraphData& g = w->plan->graphs[size_t(spec.instance)];
  if (!r.wide && r.record.best == maxFeasibleFit) {
    ++w->capped;
    if (!w->cappedWarned[size_t(spec.instance)]) {
      w->cappedWarned[size_t(spec.instance)] = true;
      progressNote(w->progress, "smetp-batch: warning: run " + std::to_string(spec.index) + " (" +
                                    shown(spec.path) + " seed " + std::to_string(spec.seed) +
                                    ") ends at the energy cap 64999: its true energy may be "
                                    "higher, so runs of this instance cannot be compared by "
                                    "energy (scale its weights down)");
    }
  }
  const std::string wrong = checkTopology(g, r);
  if (!wrong.empty()) {
    w->failure = "run " + std::to_string(spec.index) + " (" + shown(spec.path) + " seed " +
                 std::to_string(spec.seed) + "): " + wrong;
    return false;
  }
  emptyResults(w);
  const size_t before = w->out.next;
  const std::string record = isDesign(spec.settings) && !r.wide ? runRecordText(r.record) : "";
  std::string error;
  if (w->checkpoints) w->indexAt[position] = spec.index;
  if (!offerResult(&w->out, position, resultLine(spec, r, g, w->plan->sha), record, &error))
    w->failure = error;
  w->written += (long long)(w->out.next - before);
  if (w->checkpoints)
    for (size_t p = before; p < w->out.next; ++p) {
      dropCheckpoint(w->checkpoints, w->indexAt[p]);
      w->indexAt.erase(p);
    }
  return w->failure.empty();
}

void closeBatchWriter(BatchWriter* w) {
  std::string error;
  if (!closeOrderedOutput(&w->out, &error) && w->failure.empty()) w->failure = error;
}
