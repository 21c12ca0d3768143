// smetp-batch solve: one instance and the whole machine. One run of the
// solver's profile with an island on each worker (a block on each place of
// the GPU), its progress on standard error, then its energy, the time to it
// and a lower bound with the gap; the topology as an edge list.
#include "batch/solve.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CLI/CLI.hpp"
#include "batch/engine.h"
#include "batch/progress.h"
#include "batch/results.h"
#include "gpu/gpu.h"
#include "problem/widegraph.h"

namespace {

std::atomic<bool> finishRequested{false};
volatile std::sig_atomic_t finishSignal = 0;

// The first SIGINT or SIGTERM ends the run at its next launch boundary with
// what it has; a second one ends the program at once.
extern "C" void onSolveSignal(int sig) {
  finishSignal = sig;
  finishRequested = true;
  std::signal(sig, SIG_DFL);
}

void complain(const std::string& what) {
  std::fprintf(stderr, "smetp-batch solve: %s\n", what.c_str());
}

struct SolveOptions {
  std::string instance;
  std::string timeLimitText, targetText, outputPath;
  int generations = 0;
  bool generationsGiven = false;
  int seed = 1;
  int jobs = 1;
  std::vector<std::string> settingTexts;
  bool json = false, quiet = false;
};

// The run the options ask for (`islands` unless the settings name them), or
// false after saying why not.
bool runOf(const SolveOptions& o, int islands, RunLine* run) {
  run->path = o.instance;
  run->seed = o.seed;
  run->maxGen = o.generationsGiven ? o.generations : 0;
  run->objHard = 0;
  run->graphDens = 0.3f;
  run->line = 0;
  run->stop.noGenerationLimit = !o.generationsGiven;
  std::string error;
  for (const std::string& text : o.settingTexts) {
    std::istringstream words(text);
    for (std::string word; words >> word;)
      if (!parseRunWord(word, run, &error)) {
        complain("--set " + error);
        return false;
      }
  }
  // Islands named (islands=1 included) stand; otherwise one a worker.
  if (!namesSetting(run->ga, "islands") &&
      !parseGaSetting("islands=" + std::to_string(std::min(islands, int(islandsMax))), &run->ga,
                      &error)) {
    complain(error);
    return false;
  }
  const std::string problem = gaRequestProblem(run->ga);
  if (!problem.empty()) {
    complain("--set: " + problem);
    return false;
  }
  // The runs file's words, read as a line's are.
  if (!o.timeLimitText.empty() && !parseRunWord("time_limit=" + o.timeLimitText, run, &error)) {
    complain("--time-limit: " + error);
    return false;
  }
  if (o.timeLimitText.empty() && !o.generationsGiven) run->stop.timeLimit = defaultSolveSeconds;
  if (!o.targetText.empty() && !parseRunWord("target=" + o.targetText, run, &error)) {
    complain("--target: " + error);
    return false;
  }
  return true;
}

// The links of a topology, one a line: "u v weight" (1-based nodes), after a
// comment line with their count and the energy. The run's topology was
// checked against the instance, so every pair is one of its links.
bool writeEdgeList(const std::string& path, const GraphData& g, const RunResult& r,
                   std::string* error) {
  std::vector<WideLink> links;
  *error = topologyLinks(g, r.topology, &links);
  if (!error->empty()) return false;
  std::ofstream f(path);
  f << "# " << links.size() << " links, energy " << r.best << "\n";
  for (const WideLink& l : links) f << l.from + 1 << ' ' << l.to + 1 << ' ' << l.weight << '\n';
  f.close();
  if (!f) *error = "cannot write " + path + ": " + std::strerror(errno);
  return bool(f);
}

}  // namespace

int solveMain(int argc, char** argv, const char* version) {
  CLI::App app{
      "Solve one instance with the whole machine: one run of the solver's profile with an "
      "island on each worker (CPU) or on each place the GPU has for a block. Prints the "
      "energy, the time to it, a lower bound (the minimum spanning tree's weight) and the gap "
      "to it.",
      "smetp-batch solve"};
  app.set_version_flag("--version", std::string("smetp-batch ") + version);
  SolveOptions o;
  const unsigned cores = std::thread::hardware_concurrency();
  o.jobs = cores > 0 ? int(cores) : 1;
  app.add_option("INSTANCE", o.instance, "graph file")->required();
  app.add_option("--time-limit", o.timeLimitText,
                 "seconds of the run (default " + std::to_string(int(defaultSolveSeconds)) +
                     " without --generations)");
  auto* generationsOpt = app.add_option("--generations", o.generations,
                                        "end after this many generations (a multiple of 50)")
                             ->check(CLI::Range(50, INT_MAX));
  app.add_option("--target", o.targetText, "end once the energy is at most E");
  app.add_option("--seed", o.seed, "the run's seed")->capture_default_str();
  app.add_option("--jobs", o.jobs, "CPU form: worker threads")
      ->capture_default_str()
      ->check(CLI::Range(1, 4096));
  app.add_option("--set", o.settingTexts,
                 "GA settings, e.g. 'islands=4 links=12' (repeatable; settings: " +
                     std::string(gaSettingNames()) +
                     "; also profile=solve|design, time_limit, target)")
      ->allow_extra_args(false);
  app.add_option("-o,--output", o.outputPath, "write the topology here: one 'u v weight' a line");
  app.add_flag("--json", o.json, "print one JSON object: the run's result and the bound");
  app.add_flag("--quiet", o.quiet, "no progress on standard error");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 1;
  }
  o.generationsGiven = generationsOpt->count() > 0;
  gpuQuietNotices(o.quiet);

  std::vector<GraphData> instances(1);
  GraphData& g = instances[0];
  std::string reason;
  const GraphReadStatus status = readBatchGraphFile(o.instance.c_str(), &g, &reason);
  if (status != graphOk || !sha256OfFile(o.instance, &g.fileSha256, &reason)) {
    complain((status == graphBad ? "bad graph file " : "cannot read graph file ") + o.instance +
             ": " + reason);
    return 1;
  }
  RunLine line;
  if (!runOf(o, gpuBatchPlan(o.jobs, 0).concurrent, &line)) return 1;
  const RunSpec spec = resolveRun(line, 0, 0, g);

  std::signal(SIGINT, onSolveSignal);
  std::signal(SIGTERM, onSolveSignal);
  Progress progress;
  startProgress(&progress,
                o.quiet                 ? progressNone
                : isatty(STDERR_FILENO) ? progressBar
                                        : progressLines,
                stderr, 1, o.generationsGiven ? o.generations / 50 : -1, spec.stop.timeLimit);
  RunResult result;
  bool got = false;
  BatchOptions options;
  options.jobs = o.jobs;
  options.runs = 1;
  options.islands = spec.settings.islands;
  options.finish = &finishRequested;
  options.onProgress = [&](const BatchProgress& p) { progressLaunches(&progress, p); };
  options.onRunFinished = [&](size_t, const RunSpec& s, const RunResult& r) {
    progressRunFinished(&progress, s, r);
    result = r;
    got = true;
  };
  try {
    runBatch(std::vector<RunSpec>{spec}, instances, options);
  } catch (const BatchError& e) {
    endProgress(&progress);
    complain(e.what());
    return 1;
  }
  endProgress(&progress);
  if (!got) {
    complain("the run ended before its first launch");
    return 1;
  }
  const std::string wrong = checkTopology(g, result);
  if (!wrong.empty()) {
    complain("the run's topology does not score its best: " + wrong);
    return 1;
  }

  const unsigned long long bound = wideTreeWeight(*wideGraphOf(g));
  const bool feasible =
      result.wide ? result.best < (long long)wideUnconnectedStep : result.best < infeasibleFit;
  const double gap = feasible && result.best > 0
                         ? double(result.best - (long long)bound) / double(result.best)
                         : 0;
  if (!o.outputPath.empty() && result.hasTopology) {
    std::string error;
    if (!writeEdgeList(o.outputPath, g, result, &error)) {
      complain(error);
      return 1;
    }
  }
  if (o.json) {
    nlohmann::json j = nlohmann::json::parse(resultLine(spec, result, g, ""));
    j["runs_sha256"] = nullptr;  // no runs file
    j["bound"] = bound;
    j["bound_method"] = "spanning_tree";
    j["gap"] = feasible ? nlohmann::json(gap) : nlohmann::json(nullptr);
    std::printf("%s\n", j.dump().c_str());
  } else {
    static const char* const stopWords[] = {"its generations", "its time limit", "its target",
                                            "an interrupt"};
    if (feasible)
      std::printf("energy %lld, found after %.2f s (%d launches, ended by %s)\n", result.best,
                  result.record.sec, result.launches, stopWords[result.stop]);
    else
      std::printf("no topology that connects all nodes after %d launches (ended by %s)\n",
                  result.launches, stopWords[result.stop]);
    if (feasible)
      std::printf("lower bound %llu (minimum spanning tree), gap at most %.3f %%\n", bound,
                  100 * gap);
    else
      std::printf("lower bound %llu (minimum spanning tree)\n", bound);
    std::printf("islands %d (the best from island %d), %d candidate links, %s form\n",
                spec.settings.islands, result.island, result.candidateLinks, result.backend);
    if (!o.outputPath.empty() && result.hasTopology)
      std::printf("topology: %zu links written to %s\n", result.topology.size(),
                  o.outputPath.c_str());
  }
  std::fflush(stdout);
  return finishSignal == SIGTERM ? 143 : finishSignal == SIGINT ? 130 : 0;
}
