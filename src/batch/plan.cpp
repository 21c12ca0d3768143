#include "batch/plan.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "batch/progress.h"
#include "host/run.h"

namespace {

// Counts a run whose generations are not a multiple of 50 (it makes
// generations / 50 launches, none for fewer than 50), keeping the first.
void noteGenerations(BatchPlan* runs, int generations, long line) {
  if (generations >= 0 && generations % 50 == 0) return;
  if (runs->oddGenerations++ == 0) {
    runs->firstOddGenerations = generations;
    runs->firstOddLine = line;
  }
}

// One warning for the runs noted above.
void warnOfGenerations(const BatchPlan& runs) {
  if (runs.oddGenerations == 0) return;
  const int g = runs.firstOddGenerations;
  const std::string where =
      runs.grid ? "--generations" : runs.name + ":" + std::to_string(runs.firstOddLine);
  complain("warning: " + std::to_string(runs.oddGenerations) +
           (runs.oddGenerations == 1 ? " run asks" : " runs ask") +
           " for generations that are not a multiple of 50 (" + where + ": " + std::to_string(g) +
           "); a run makes generations / 50 launches of 50 generations, so " + std::to_string(g) +
           " makes " + std::to_string(g >= 50 ? g / 50 * 50 : 0) + " generations");
}

// Notes that a run of `line` (0 in a grid) uses the instance at `path`.
void useInstance(BatchPlan* runs, const std::string& path, long line, int hardness) {
  const auto used = runs->instances.emplace(path, BatchPlan::InstanceUse{line, hardness});
  if (used.second) runs->instanceOrder.push_back(path);
  int& hardest = used.first->second.maxHardness;
  hardest = std::max(hardest, hardness);
}

// A runs file's hash covers the batch's --time-limit, --target and
// --profile, which change its runs: the file's bytes, then (when any is
// given) one line of their words, "time_limit=S target=E profile=P".
void addStopToHash(Sha256* sha, const RunStop& stop, int profile) {
  std::string words = runStopText(stop);
  if (profile != gaProfileSolve) words += std::string(words.empty() ? "" : " ") + "profile=design";
  if (!words.empty()) sha256Add(sha, (words + "\n").data(), words.size() + 1);
}

// First pass over a runs file: every line checked, the runs counted, the
// instances listed and the bytes hashed; standard input is copied to a
// temporary file for the second pass.
bool checkRunsFile(BatchPlan* runs) {
  // Every runs file is copied as it is read, and the second pass reads the
  // copy: the runs made are then exactly the bytes checked and hashed, even
  // when the file changes while the batch runs.
  const std::string copyOf =
      runs->name == "-" ? "standard input" : "runs file " + shown(runs->name);
  FILE* spool = std::tmpfile();
  if (!spool) {
    complain("cannot keep a copy of " + copyOf + ": " + std::strerror(errno));
    return false;
  }
  if (runs->name == "-") {
    runs->fd = STDIN_FILENO;
  } else {
    // Opened without waiting for a writer, then refused unless regular: a
    // FIFO or a device would wait or never end (standard input may be a pipe).
    runs->fd = ::open(runs->name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (runs->fd < 0 || ::fstat(runs->fd, &st) != 0) {
      complain("cannot open runs file " + shown(runs->name) + ": " + std::strerror(errno));
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      complain("cannot read runs file " + shown(runs->name) + ": Is a directory");
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      complain("runs file " + shown(runs->name) +
               " is not a regular file (a FIFO or a device); give a file, or - to read the runs "
               "from standard input");
      return false;
    }
  }
  Sha256Ptr sha = sha256Start();
  bool spoolFailed = false;
  LineReader reader;
  startLineReader(&reader, runs->fd, maxRunsLineBytes);
  reader.stop = runs->interrupt;
  reader.endAtLongLine = true;
  reader.onBytes = [&](const char* bytes, size_t size) {
    sha256Add(sha.get(), bytes, size);
    if (spool && std::fwrite(bytes, 1, size, spool) != size) spoolFailed = true;
  };
  std::string text, reason;
  long long at;
  bool broken;
  long line = 0, errors = 0;
  RunLine run;
  for (int got; (got = readLine(&reader, &text, &at, &broken)) != 0;) {
    if (*runs->interrupt) return false;
    if (got < 0) {
      complain("cannot read runs file " + shown(runs->name) + ": " + std::strerror(errno));
      return false;
    }
    ++line;
    const RunLineKind kind =
        parseRunLine(text.data(), text.size(), line, &run, &reason, runs->stop, runs->profile);
    if (kind == lineBad) {
      if (++errors <= 100) complain(runs->name + ":" + std::to_string(line) + ": " + reason);
    } else if (kind == lineRun) {
      noteGenerations(runs, run.maxGen, line);
      if (runs->count++ % runs->shardN == runs->shardK) {
        ++runs->shardRuns;
        runs->shardLaunches += run.maxGen >= 50 ? run.maxGen / 50 : 0;
        runs->launchesUnknown = runs->launchesUnknown || run.stop.noGenerationLimit;
        if (run.stop.timeLimit <= 0) runs->timeBudget = -1;
        if (runs->timeBudget >= 0) runs->timeBudget += run.stop.timeLimit;
      }
      useInstance(runs, run.path, line, run.objHard);
      runs->islands = std::max(runs->islands, requestedIslands(run.ga));
    }
  }
  if (errors > 100) complain(std::to_string(errors - 100) + " more bad lines");
  if (errors) return false;
  if (runs->count == 0) {
    complain(runs->name + ": no runs in the file");
    return false;
  }
  if (spoolFailed || std::fflush(spool) != 0) {
    complain("cannot keep a copy of " + copyOf + ": " + std::strerror(errno));
    return false;
  }
  addStopToHash(sha.get(), runs->stop, runs->profile);
  if (runs->fd != STDIN_FILENO) ::close(runs->fd);
  runs->fd = ::dup(fileno(spool));
  runs->sha = sha256End(sha.get());
  return true;
}

// The grid's hash: of its runs as a runs file, one canonical line per run.
void hashGrid(BatchPlan* runs) {
  Sha256Ptr sha = sha256Start();
  for (long long i = 0; i < runs->count; ++i) {
    const RunLine run = gridRun(runs->gridRuns, i);
    const std::string line = canonicalRunLine(run);
    sha256Add(sha.get(), line.data(), line.size());
    runs->islands = std::max(runs->islands, requestedIslands(run.ga));
  }
  runs->sha = sha256End(sha.get());
}

// True when both paths name one existing file.
bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// True when the file at `path` is the one open as standard input.
bool isStandardInput(const std::string& path) {
  struct stat sa, sb;
  return ::fstat(STDIN_FILENO, &sa) == 0 && ::stat(path.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

const char* const gridNeeds =
    "a grid needs --instance, --seeds and --generations (or a time limit: --time-limit or "
    "--set time_limit=...)";

}  // namespace

void complain(const std::string& what) {
  std::fflush(stdout);
  const bool ends = !what.empty() && what.back() == '\n';
  if (!takesOutput(stderr, 1000)) return;
  std::fprintf(stderr, "smetp-batch: %s%s", what.c_str(), ends ? "" : "\n");
}

std::string shown(const std::string& path) {
  return path.size() <= 200 ? path : path.substr(0, 200) + "...";
}

// What a file the batch writes (`path`) must not be: the runs file (also when
// read from standard input), a graph file, or `other` (the batch's other
// output, when not empty). "" when it is none of them.
std::string inputClash(const std::string& path, const BatchPlan& runs, const std::string& other,
                       const std::string& otherName) {
  if (!runs.grid && runs.name != "-" && sameFile(path, runs.name)) return "the runs file";
  if (!runs.grid && runs.name == "-" && isStandardInput(path))
    return "the runs file (standard input)";
  for (const std::string& input : runs.instanceOrder)
    if (sameFile(path, input)) return "the graph file " + shown(input);
  if (!other.empty() && sameFile(path, other)) return otherName;
  return "";
}

int makePlan(const BatchArgs& o, const std::atomic<bool>* stop, BatchPlan* plan) {
  BatchPlan& runs = *plan;
  runs.interrupt = stop;
  std::string error;
  if (!o.shardText.empty() && !parseShard(o.shardText, &runs.shardK, &runs.shardN, &error)) {
    complain("--shard " + error);
    return 1;
  }
  const long shardK = runs.shardK, shardN = runs.shardN;
  {
    // The options read as the words of a line, with the same checks.
    RunLine scratch;
    if (!o.timeLimitText.empty() &&
        !parseRunWord("time_limit=" + o.timeLimitText, &scratch, &error)) {
      complain("--time-limit: " + error);
      return 1;
    }
    if (!o.targetText.empty() && !parseRunWord("target=" + o.targetText, &scratch, &error)) {
      complain("--target: " + error);
      return 1;
    }
    runs.stop = scratch.stop;
    if (!o.profileText.empty() && !parseRunWord("profile=" + o.profileText, &scratch, &error)) {
      complain("--profile: " + error);
      return 1;
    }
    runs.profile = scratch.ga.profile;
  }
  if (o.grid) {
    if (!o.runsFile.empty()) {
      complain("give a runs file or the grid options, not both");
      return 1;
    }
    if (o.instancePaths.empty() || o.seedsText.empty()) {
      complain(gridNeeds);
      return 1;
    }
    runs.grid = true;
    Grid& g = runs.gridRuns;
    g.instances = o.instancePaths;
    g.maxGen = o.generations;
    g.stop = runs.stop;
    g.profile = runs.profile;
    g.stop.noGenerationLimit = !o.generationsGiven;
    if (!parseIntList(o.seedsText, &g.seeds, &error)) {
      complain("--seeds " + error);
      return 1;
    }
    if (!parseIntList(o.hardnessText.empty() ? "0" : o.hardnessText, &g.hardness, &error)) {
      complain("--hardness " + error);
      return 1;
    }
    if (!parseFloatList(o.densityText.empty() ? "0.3" : o.densityText, &g.densities, &error)) {
      complain("--density " + error);
      return 1;
    }
    for (const std::string& text : o.settingTexts) {
      GridSetting setting;
      if (!parseGridSetting(text, &setting, &error)) {
        complain("--set " + error);
        return 1;
      }
      for (const GridSetting& earlier : g.settings)
        if (earlier.name == setting.name) {
          complain("--set " + setting.name +
                   " is given twice; give each setting once, with all its values");
          return 1;
        }
      g.settings.push_back(setting);
    }
    // Without --generations every run needs a time limit: the option, or a
    // --set time_limit (whose values are all limits).
    const bool everyRunTimed =
        g.stop.timeLimit > 0 ||
        std::any_of(g.settings.begin(), g.settings.end(),
                    [](const GridSetting& s) { return s.name == "time_limit"; });
    if (g.stop.noGenerationLimit && !everyRunTimed) {
      complain(gridNeeds);
      return 1;
    }
    const std::string problem = gridSettingsProblem(g);
    if (!problem.empty()) {
      complain("--set " + problem);
      return 1;
    }
    runs.launchesUnknown = g.stop.noGenerationLimit;
    // A time limit that --set varies is not summed here: the time left is then unknown.
    const bool limitsVary =
        std::any_of(g.settings.begin(), g.settings.end(),
                    [](const GridSetting& s) { return s.name == "time_limit"; });
    runs.count = gridSize(g);
    if (runs.count > (long long)maxGridRuns) {
      complain("the grid has " + std::to_string(runs.count) + " runs, more than " +
               std::to_string(int(maxGridRuns)));
      return 1;
    }
    const int hardest = *std::max_element(g.hardness.begin(), g.hardness.end());
    for (const std::string& path : g.instances) useInstance(&runs, path, 0, hardest);
    hashGrid(&runs);
    for (long long i = shardK; i < runs.count; i += shardN) ++runs.shardRuns;
    runs.timeBudget =
        g.stop.timeLimit > 0 && !limitsVary ? double(runs.shardRuns) * g.stop.timeLimit : -1;
    runs.shardLaunches = runs.shardRuns * (o.generations >= 50 ? o.generations / 50 : 0);
    if (o.generations < 0 || o.generations % 50 != 0) {
      runs.oddGenerations = runs.count;
      runs.firstOddGenerations = o.generations;
    }
  } else {
    if (o.runsFile.empty()) {
      complain("no runs: give a runs file (- for standard input) or the grid options (--help)");
      return 1;
    }
    runs.name = o.runsFile;
    if (!checkRunsFile(&runs)) return stop->load() ? -1 : 1;
  }

  // Every instance of the batch, each read once, before any run.
  std::map<std::string, int>& instanceOf = runs.instanceOf;
  std::vector<GraphData>& graphs = runs.graphs;
  bool bad = false;
  for (const std::string& path : runs.instanceOrder) {
    GraphData g;
    std::string reason;
    const std::string where =
        runs.grid ? "--instance " + shown(path)
                  : runs.name + ":" + std::to_string(runs.instances[path].firstLine);
    // A FIFO or a device would be waited on or read without end: only a
    // regular file is read.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      complain(where + ": graph file " + shown(path) + " is not a regular file");
      bad = true;
      instanceOf[path] = int(graphs.size());
      graphs.push_back(g);
      continue;
    }
    const GraphReadStatus status = readBatchGraphFile(path.c_str(), &g, &reason);
    if (status == graphOpenFailed) {
      complain(where + ": cannot open graph file " + shown(path) + ": " + reason);
      bad = true;
    } else if (status == graphBad) {
      complain(where + ": bad graph file " + shown(path) + ": " + reason);
      bad = true;
    } else if (!sha256OfFile(path, &g.fileSha256, &reason)) {
      complain(where + ": cannot read graph file " + shown(path) + ": " + reason);
      bad = true;
    }
    instanceOf[path] = int(graphs.size());
    graphs.push_back(g);
  }
  if (bad) return 1;
  warnOfGenerations(runs);
  // One warning, before any run, when a device with a watchdog may stop a
  // launch of this batch.
  for (const std::string& path : runs.instanceOrder) {
    const GraphData& g = graphs[size_t(instanceOf[path])];
    const int hardest = runs.instances[path].maxHardness;
    if (launchesMayBeLong(g.n, hardest)) {
      warnOfKernelTimeout("smetp-batch", g.n, hardest);
      break;
    }
  }

  return 0;
}

bool startPlanReader(PlanReader* r, const BatchPlan& plan, const std::vector<bool>* done) {
  r->plan = &plan;
  r->done = done;
  if (plan.grid) return true;
  if (::lseek(plan.fd, 0, SEEK_SET) != 0) {
    complain("cannot read runs file " + shown(plan.name) + " again: " + std::strerror(errno));
    return false;
  }
  startLineReader(&r->reader, plan.fd, maxRunsLineBytes);
  r->again = sha256Start();
  Sha256* again = r->again.get();
  r->reader.onBytes = [again](const char* bytes, size_t size) { sha256Add(again, bytes, size); };
  return true;
}

bool nextPlannedRun(PlanReader* r, RunSpec* spec) {
  const BatchPlan& runs = *r->plan;
  for (;;) {
    RunLine run;
    if (runs.grid) {
      if (r->nextIndex >= runs.count) return false;
      run = gridRun(runs.gridRuns, r->nextIndex);
    } else {
      std::string text, reason;
      long long at;
      bool broken;
      RunLineKind kind = lineEmpty;
      while (kind != lineRun) {
        const int got = readLine(&r->reader, &text, &at, &broken);
        if (got <= 0) return false;
        kind = parseRunLine(text.data(), text.size(), ++r->lineNo, &run, &reason, runs.stop,
                            runs.profile);
        if (kind == lineBad) {
          r->failed = true;
          return false;
        }
      }
      if (r->nextIndex >= runs.count) {
        r->failed = true;
        return false;
      }
    }
    const long long index = r->nextIndex++;
    if (index % runs.shardN != runs.shardK || (r->done && (*r->done)[size_t(index)])) continue;
    const auto known = runs.instanceOf.find(run.path);
    if (known == runs.instanceOf.end()) {
      r->failed = true;
      return false;
    }
    *spec = resolveRun(run, long(index), known->second, runs.graphs[size_t(known->second)]);
    return true;
  }
}

bool plannedRunsUnchanged(PlanReader* r) {
  const BatchPlan& runs = *r->plan;
  if (r->failed) return false;
  if (runs.grid) return true;
  addStopToHash(r->again.get(), runs.stop, runs.profile);
  return sha256End(r->again.get()) == runs.sha;
}
