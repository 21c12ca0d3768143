// smetp-batch: many independent runs of the genetic algorithm at once, from a
// runs file or a grid of options, each run's full result as one JSON line.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "batch/engine.h"
#include "batch/progress.h"
#include "batch/results.h"
#include "batch/runs.h"
#include "host/record.h"
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
// back to the default, so that a second one ends the process at once.
void installStopHandlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void complain(const std::string& what) {
  std::fflush(stdout);
  const bool ends = !what.empty() && what.back() == '\n';
  std::fprintf(stderr, "smetp-batch: %s%s", what.c_str(), ends ? "" : "\n");
}

// The bytes of the file, or of standard input for "-".
bool readAll(const std::string& path, std::string* text, std::string* error) {
  if (path == "-") {
    std::ostringstream s;
    s << std::cin.rdbuf();
    *text = s.str();
    if (std::cin.bad()) {
      *error = "cannot read standard input";
      return false;
    }
    return true;
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    *error = "cannot open runs file " + path + ": " + std::strerror(errno);
    return false;
  }
  text->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  if (f.bad()) {
    *error = "cannot read runs file " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

const char* helpFooter = R"(
Runs file: one run a line, the five arguments of smetp in order
  graphfile seed generations hardness density
separated by blanks; a word that starts with # starts a comment; blank lines
are skipped. Numbers convert as smetp converts its arguments ("12abc" is 12,
"abc" is 0).

Grid: the runs are, for each --instance (in order), each hardness, each
density, each seed. --seeds and --hardness take numbers and inclusive ranges
separated by commas; a minus right after a number separates a range's ends:
  --seeds 1-30   --seeds -3--1 (-3, -2, -1)   --seeds -5,7   --hardness 0,2

Results: one JSON object per run, in the order of the runs. Exit status: 0
when every run finished; 1 for an error; 130 after SIGINT, 143 after SIGTERM
(the runs written until then are whole).)";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Many independent runs of smetp at once; each run's result as one JSON line.",
               "smetp-batch"};
  app.footer(helpFooter);
  std::string runsFile, resultsPath = "results.jsonl", recordPath = "./out.dat";
  std::vector<std::string> instancePaths;
  std::string seedsText, hardnessText, densityText, shardText;
  int generations = 0;
  bool noRecord = false, quiet = false;
  unsigned cores = std::thread::hardware_concurrency();
  int jobs = cores > 0 ? int(cores) : 1;

  app.add_option("RUNS_FILE", runsFile, "runs file, one run a line (- for standard input)");
  app.add_option("--instance", instancePaths, "grid: a graph file (repeat for several)")
      ->take_all()
      ->allow_extra_args(false);
  app.add_option("--seeds", seedsText, "grid: seeds, e.g. 1-30 or 1,5,9")->allow_extra_args(false);
  auto* generationsOpt = app.add_option("--generations", generations, "grid: generations per run");
  app.add_option("--hardness", hardnessText, "grid: hardness values, e.g. 0 or 0,1,2")
      ->allow_extra_args(false);
  app.add_option("--density", densityText, "grid: densities, e.g. 0.3 or 0.2,0.5")
      ->allow_extra_args(false);
  app.add_option("--results", resultsPath, "results file (JSON Lines)")->capture_default_str();
  auto* recordOpt = app.add_option("--record", recordPath, "file the run records are appended to")
                        ->capture_default_str();
  app.add_flag("--no-record", noRecord, "append no run records")->excludes(recordOpt);
  app.add_option("--jobs", jobs, "CPU form: worker threads")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--shard", shardText, "run only the runs whose index i has i mod N == K (K/N)");
  app.add_flag("--quiet", quiet, "no progress on standard error");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 1;
  }

  // The runs, and the bytes their hash is taken of.
  const bool grid = !instancePaths.empty() || !seedsText.empty() || !hardnessText.empty() ||
                    !densityText.empty() || generationsOpt->count() > 0;
  std::vector<RunLine> lines;
  std::string runsBytes, error;
  if (grid) {
    if (!runsFile.empty()) {
      complain("give a runs file or the grid options, not both");
      return 1;
    }
    if (instancePaths.empty() || seedsText.empty() || hardnessText.empty() || densityText.empty() ||
        generationsOpt->count() == 0) {
      complain("a grid needs --instance, --seeds, --generations, --hardness and --density");
      return 1;
    }
    std::vector<int> seeds, hardness;
    std::vector<float> densities;
    if (!parseIntList(seedsText, &seeds, &error)) {
      complain("--seeds " + error);
      return 1;
    }
    if (!parseIntList(hardnessText, &hardness, &error)) {
      complain("--hardness " + error);
      return 1;
    }
    if (!parseFloatList(densityText, &densities, &error)) {
      complain("--density " + error);
      return 1;
    }
    if (!expandGrid(instancePaths, seeds, generations, hardness, densities, &lines, &error)) {
      complain(error);
      return 1;
    }
    runsBytes = canonicalRunsText(lines);
  } else {
    if (runsFile.empty()) {
      complain("no runs: give a runs file (- for standard input) or the grid options (--help)");
      return 1;
    }
    if (!readAll(runsFile, &runsBytes, &error)) {
      complain(error);
      return 1;
    }
    std::vector<RunsError> errors;
    if (!parseRunsText(runsBytes, &lines, &errors)) {
      for (const RunsError& e : errors)
        complain(runsFile + ":" + std::to_string(e.line) + ": " + e.reason);
      return 1;
    }
    if (lines.empty()) {
      complain(runsFile + ": no runs in the file");
      return 1;
    }
  }
  long shardK = 0, shardN = 1;
  if (!shardText.empty() && !parseShard(shardText, &shardK, &shardN, &error)) {
    complain("--shard " + error);
    return 1;
  }

  // Every instance of the batch, each read once, before any run.
  std::map<std::string, int> instanceOf;
  std::vector<GraphData> graphs;
  bool bad = false;
  for (const RunLine& l : lines) {
    if (instanceOf.count(l.path)) continue;
    GraphData g;
    std::string reason;
    const GraphReadStatus status = readGraphFile(l.path.c_str(), &g, &reason);
    const std::string where =
        grid ? "--instance " + l.path : runsFile + ":" + std::to_string(l.line);
    if (status == graphOpenFailed) {
      complain(where + ": cannot open graph file " + l.path + ": " + reason);
      bad = true;
    } else if (status == graphBad) {
      complain(where + ": bad graph file " + l.path + ": " + reason);
      bad = true;
    }
    instanceOf[l.path] = int(graphs.size());
    graphs.push_back(g);
  }
  if (bad) return 1;

  std::vector<RunSpec> runs;
  long long totalGenerations = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (long(i) % shardN != shardK) continue;
    const RunLine& l = lines[i];
    runs.push_back({l.path, l.seed, l.maxGen, l.objHard, l.graphDens, long(i), instanceOf[l.path]});
    if (l.maxGen >= 50) totalGenerations += l.maxGen / 50 * 50;
  }
  const std::string runsSha = sha256Hex(runsBytes);

  // The record file is checked before the runs so that a long batch does not
  // end on a file it could never write.
  if (noRecord) recordPath.clear();
  if (!recordPath.empty() && !appendWhole(recordPath.c_str(), "", &error)) {
    complain("cannot append to record file " + recordPath + ": " + error);
    return 1;
  }
  installStopHandlers();
  OrderedOutput out;
  if (!openOrderedOutput(&out, resultsPath, recordPath, &error)) {
    complain(error);
    return 1;
  }

  Progress progress;
  startProgress(&progress,
                quiet                   ? progressNone
                : isatty(STDERR_FILENO) ? progressBar
                                        : progressLines,
                stderr, long(runs.size()), totalGenerations);
  std::string failure;
  BatchOptions options;
  options.jobs = jobs;
  options.stop = &stopRequested;
  options.onProgress = [&](long long done) { progressGenerations(&progress, done); };
  options.onRunFinished = [&](size_t position, const RunResult& r) {
    if (!failure.empty()) return;
    const RunSpec& spec = runs[position];
    progressRunFinished(&progress, spec, r);
    const std::string wrong = checkTopology(graphs[size_t(spec.instance)], r);
    if (!wrong.empty()) {
      failure = "run " + std::to_string(spec.index) + " (" + spec.path + " seed " +
                std::to_string(spec.seed) + "): " + wrong;
    } else if (!offerResult(&out, position,
                            resultLine(spec, r, graphs[size_t(spec.instance)], runsSha),
                            runRecordText(r.record), &error)) {
      failure = error;
    }
    if (!failure.empty()) stopRequested.store(true);
  };
  const bool complete = runBatch(runs, graphs, options);
  endProgress(&progress);
  if (!closeOrderedOutput(&out, &error) && failure.empty()) failure = error;
  if (!failure.empty()) {
    complain(failure);
    return 1;
  }
  if (!complete) return stopSignal == SIGTERM ? 143 : 130;
  return 0;
}
