// smetp-batch: many independent runs of the genetic algorithm at once, from a
// runs file or a grid of options, each run's full result as one JSON line.
// Runs stream through a pool of resident runs: the runs file is read twice
// (checked first, then read again as the pool asks for runs), a grid is
// expanded one run at a time, and results leave in run order as runs finish.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "batch/checkpoint.h"
#include "batch/engine.h"
#include "batch/outputs.h"
#include "batch/plan.h"
#include "batch/progress.h"
#include "batch/results.h"
#include "batch/runs.h"
#include "batch/solve.h"
#include "gpu/gpu.h"
#include "host/record.h"
#include "host/run.h"
#include "problem/graph.h"

namespace {

// Set by SIGINT and SIGTERM (or by a failed write) to end the batch.
std::atomic<bool> stopRequested{false};
volatile std::sig_atomic_t stopSignal = 0;
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set in a signal handler");

extern "C" void onStopSignal(int sig) {
  stopSignal = sig;
  stopRequested.store(true);
}

// The first SIGINT or SIGTERM asks the batch to stop; the handler then falls
// back to the default, so that a second one ends the process at once. A
// reader of the progress that goes away (a closed pipe) must not end the
// batch: writes to it fail instead of raising SIGPIPE.
void installSignalHandlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  // A file that grows past the size limit fails its write instead.
  std::signal(SIGXFSZ, SIG_IGN);
}

int stopStatus() { return stopSignal == SIGTERM ? 143 : 130; }

const char* helpFooter = R"(
One instance with the whole machine: smetp-batch solve INSTANCE (see
smetp-batch solve --help).

Runs file: one run a line, the five arguments of smetp in order
  graphfile seed generations hardness density
separated by blanks; a word that starts with # starts a comment; blank lines
are skipped. Numbers must parse whole ("12abc" and "1e3" are errors); the
density is from 0 to 1. Generations that are not a multiple of 50 are rounded
down to one (with a warning).

A line may go on with a profile and GA settings as name=value words, e.g.
  data/g45.txt 1 5000 0 0.3 links=8 kick=4
A run gets profile=solve (the values measured best for solving, resolved for
the instance's size) unless it names profile=design: the design's run, bit
for bit, with a record in the record file. A setting named beside a profile
overrides only itself, wherever it stands.

Stopping early: time_limit=S (seconds of the run's own clock; the run ends at
the first launch boundary past it) and target=E (the run ends once its best is
at most E) on a line, or --time-limit and --target for every run (a line's
words override them). With a time limit the generations may be "-" (a line)
or --generations left out (a grid): the run goes on until its time limit or
target ends it. The result says what ended the run in "stop".

Grid: the runs are, for each --instance (in order), each hardness, each
density, each seed, each combination of the --set values (the last --set
varies fastest; e.g. --set profile=design,solve --set links=6,12,all). --hardness defaults to 0 and
--density to 0.3. --seeds and --hardness take numbers and inclusive ranges
separated by commas; a minus right after a number separates a range's ends:
  --seeds 1-30   --seeds -3--1 (-3, -2, -1)   --seeds -5,7   --hardness 0,2

Results: one JSON object per run, in the order of the runs, each written as
soon as it and every earlier run are finished. A new batch takes a results
file only when it is missing or empty (--overwrite replaces results). Times
count from each run's own start. Exit status: 0 when every run finished; 1
for an error; 130 after SIGINT, 143 after SIGTERM (the runs written until then
are whole; --resume finishes the batch).)";

int runMain(const BatchArgs& o) {
  gpuQuietNotices(o.quiet);
  BatchPlan runs;
  const int planned = makePlan(o, &stopRequested, &runs);
  if (planned != 0) return planned < 0 ? stopStatus() : 1;
  BatchFiles files;
  if (!openBatchFiles(o, runs, &files)) return 1;
  const Resumed& resumed = files.resumed;

  // The runs of this shard still to make, and their launches.
  const long long todo = runs.shardRuns - resumed.runs;
  const long long totalLaunches = runs.shardLaunches - resumed.launches;

  // The second pass: runs as the pool asks for them.
  PlanReader reader;
  if (!startPlanReader(&reader, runs, o.resume ? &resumed.done : nullptr)) return 1;
  const RunSource source = [&reader](RunSpec* spec) { return nextPlannedRun(&reader, spec); };

  Progress progress;
  startProgress(&progress,
                o.quiet                 ? progressNone
                : isatty(STDERR_FILENO) ? progressBar
                                        : progressLines,
                stderr, long(todo), runs.launchesUnknown ? -1 : totalLaunches,
                // A resumed batch has its share of the limits still to run.
                runs.timeBudget < 0 || runs.shardRuns == 0
                    ? -1
                    : runs.timeBudget * double(todo) / double(runs.shardRuns));
  BatchWriter writer;
  startBatchWriter(&writer, o, runs, files, &progress, &stopRequested);
  std::string& failure = writer.failure;
  BatchOptions options;
  options.jobs = o.jobs;
  options.resident = o.resident;
  options.runs = size_t(std::max(todo, 1LL));
  options.islands = runs.islands;
  options.stop = &stopRequested;
  // Checkpoints of the unfinished runs beside the results file.
  CheckpointStore checkpoints;
  if (!files.toStdout) {
    checkpoints.dir = o.resultsPath + ".ckpt";
    checkpoints.program = std::string("smetp-batch ") + SMETP_VERSION;
    checkpoints.runsSha256 = runs.sha;
    checkpoints.instances = &runs.graphs;
    writer.checkpoints = &checkpoints;
    options.checkpointEvery = o.checkpointEvery;
    options.onCheckpoint = [&](const RunSpec& spec, const RunState& state) {
      const bool failed = !checkpoints.failure.empty();
      checkpointRun(&checkpoints, spec, state);
      if (!failed && !checkpoints.failure.empty())
        progressNote(&progress, "smetp-batch: warning: " + checkpoints.failure +
                                    "; the batch goes on without checkpoints");
    };
    if (o.resume)
      options.resumeRun = [&](const RunSpec& spec, RunState* state) {
        const size_t refused = checkpoints.refused.size();
        const bool resumed = resumeRunFrom(&checkpoints, spec, state);
        if (checkpoints.refused.size() > refused)
          progressNote(&progress, "smetp-batch: " + checkpoints.refused.back() +
                                      "; the run starts from its beginning");
        return resumed;
      };
  }
  options.onProgress = [&](const BatchProgress& batch) { progressLaunches(&progress, batch); };
  options.onRunFinished = [&](size_t position, const RunSpec& spec, const RunResult& r) {
    if (!writeRunResult(&writer, position, spec, r)) stopRequested.store(true);
  };

  bool complete = false;
  try {
    complete = runBatch(source, runs.graphs, options);
    if (failure.empty()) emptyResults(&writer);
  } catch (const BatchError& e) {
    if (failure.empty()) failure = e.what();
  }
  endProgress(&progress);
  closeBatchWriter(&writer);
  // Runs that cannot be read again, or other bytes than those checked.
  if (failure.empty() &&
      (reader.failed || (complete && !stopRequested && !plannedRunsUnchanged(&reader))))
    failure = "runs file " + shown(runs.name) + " changed while the batch ran";
  const long long capped = writer.capped, written = writer.written;
  if (capped)
    complain("warning: " + std::to_string(capped) + (capped == 1 ? " run ends" : " runs end") +
             " at the energy cap 64999 (\"capped\": true in the results)");
  if (!failure.empty()) {
    complain(failure);
    return 1;
  }
  if (complete && !stopSignal) closeCheckpoints(&checkpoints);
  if (!complete || stopSignal) {
    const long long shardRuns = runs.shardRuns;
    if (!checkpoints.saved.empty())
      complain(std::to_string(checkpoints.saved.size()) +
               (checkpoints.saved.size() == 1 ? " unfinished run is" : " unfinished runs are") +
               " checkpointed in " + shown(checkpoints.dir) + "; --resume continues " +
               (checkpoints.saved.size() == 1 ? "it" : "them") + " where " +
               (checkpoints.saved.size() == 1 ? "it" : "they") + " stopped");
    if (files.toStdout)
      complain("stopped: " + std::to_string(written - resumed.runs) + " of " +
               std::to_string(shardRuns) +
               " runs were written to standard output; a batch resumes only from a results file");
    else
      complain("stopped: " + std::to_string(written) + " of " + std::to_string(shardRuns) +
               " runs are in " + shown(o.resultsPath) +
               (written < shardRuns ? "; the same command with --resume finishes the batch" : ""));
    return stopStatus();
  }
  return 0;
}

}  // namespace

namespace {
int cliMain(int argc, char** argv) {
  installSignalHandlers();
  CLI::App app{"Many independent runs of smetp at once; each run's result as one JSON line.",
               "smetp-batch"};
  app.footer(helpFooter);
  app.set_version_flag("--version", std::string("smetp-batch ") + SMETP_VERSION);
  BatchArgs o;
  const unsigned cores = std::thread::hardware_concurrency();
  o.jobs = cores > 0 ? int(cores) : 1;

  app.add_option("RUNS_FILE", o.runsFile, "runs file, one run a line (- for standard input)");
  app.add_option("--instance", o.instancePaths, "grid: a graph file (repeat for several)")
      ->take_all()
      ->allow_extra_args(false);
  app.add_option("--seeds", o.seedsText, "grid: seeds, e.g. 1-30 or 1,5,9")
      ->allow_extra_args(false);
  auto* generationsOpt =
      app.add_option("--generations", o.generations,
                     "grid: generations per run (may be left out with a time limit)");
  app.add_option("--hardness", o.hardnessText, "grid: hardness values, e.g. 0 or 0,1,2 (default 0)")
      ->allow_extra_args(false);
  app.add_option("--density", o.densityText, "grid: densities, e.g. 0.3 or 0.2,0.5 (default 0.3)")
      ->allow_extra_args(false);
  app.add_option("--set", o.settingTexts,
                 "grid: a GA setting and its values, e.g. memetic=none,ls (repeatable; "
                 "settings: " +
                     std::string(gaSettingNames()) +
                     "; also profile=solve|design, time_limit, target)")
      ->allow_extra_args(false);
  app.add_option("--time-limit", o.timeLimitText,
                 "every run: end it at the first launch boundary past S seconds of its own "
                 "clock (a runs-file line's time_limit=S overrides)")
      ->allow_extra_args(false);
  app.add_option("--target", o.targetText,
                 "every run: end it once its best energy is at most E (a line's target=E "
                 "overrides)")
      ->allow_extra_args(false);
  app.add_option("--profile", o.profileText,
                 "every run that names no profile: solve (the default) or design (the "
                 "design's run, bit for bit, with its record)")
      ->allow_extra_args(false);
  app.add_option("--results", o.resultsPath, "results file (JSON Lines; - for standard output)")
      ->capture_default_str();
  auto* recordOpt = app.add_option("--record", o.recordPath, "file the run records are appended to")
                        ->capture_default_str();
  app.add_flag("--no-record", o.noRecord, "append no run records")->excludes(recordOpt);
  app.add_option("--jobs", o.jobs, "CPU form: worker threads")
      ->capture_default_str()
      ->check(CLI::Range(1, 4096));
  app.add_option("--resident", o.resident,
                 "runs resident at once (default: --jobs in the CPU form, twice what the GPU "
                 "holds at once in the CUDA form)")
      ->check(CLI::Range(1, 1 << 20));
  auto* resumeOpt =
      app.add_flag("--resume", o.resume,
                   "continue the batch whose results file this is: skip its runs, append the rest");
  app.add_flag("--overwrite", o.overwrite,
               "replace a results file that holds results (without it, a new batch refuses a "
               "results file that is not empty)")
      ->excludes(resumeOpt);
  app.add_option("--shard", o.shardText, "run only the runs whose index i has i mod N == K (K/N)");
  app.add_option("--checkpoint-every", o.checkpointEvery,
                 "seconds between checkpoints of the unfinished runs, written to the results "
                 "file's name with .ckpt (0: only when the batch is stopped); --resume continues "
                 "each run from its checkpoint")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 1e9));
  app.add_flag("--quiet", o.quiet, "no progress on standard error");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 1;
  }
  o.generationsGiven = generationsOpt->count() > 0;
  if (recordOpt->count() > 0 && o.recordPath.empty()) {
    complain("--record needs a file name; --no-record appends no records");
    return 1;
  }
  if (o.resultsPath.empty()) {
    complain("--results needs a file name, or - for standard output");
    return 1;
  }
  o.grid = !o.instancePaths.empty() || !o.seedsText.empty() || !o.hardnessText.empty() ||
           !o.densityText.empty() || !o.settingTexts.empty() || o.generationsGiven;
  try {
    return runMain(o);
  } catch (const std::bad_alloc&) {
    complain("out of memory");
  } catch (const std::exception& e) {
    complain(e.what());
  }
  return 1;
}
}  // namespace

// Memory that runs out while a message is made (under a small ulimit -v) ends
// here with a fixed message, not an abort: nothing partial was written, since
// every result line and record goes out whole or is cut off again.
int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::strcmp(argv[1], "solve") == 0)
      return solveMain(argc - 1, argv + 1, SMETP_VERSION);
    return cliMain(argc, argv);
  } catch (const std::bad_alloc&) {
    static const char text[] = "smetp-batch: out of memory\n";
    std::fflush(stdout);
    (void)!::write(STDERR_FILENO, text, sizeof text - 1);
  } catch (...) {
    static const char text[] = "smetp-batch: stopped by an unexpected error\n";
    std::fflush(stdout);
    (void)!::write(STDERR_FILENO, text, sizeof text - 1);
  }
  return 1;
}
