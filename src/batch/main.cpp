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

#include "batch/engine.h"
#include "batch/progress.h"
#include "batch/results.h"
#include "batch/runs.h"
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

void complain(const std::string& what) {
  std::fflush(stdout);
  const bool ends = !what.empty() && what.back() == '\n';
  if (!takesOutput(stderr, 1000)) return;
  std::fprintf(stderr, "smetp-batch: %s%s", what.c_str(), ends ? "" : "\n");
}

// A path for a message: shortened when it is long.
std::string shown(const std::string& path) {
  return path.size() <= 200 ? path : path.substr(0, 200) + "...";
}

const char* helpFooter = R"(
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

// Where the runs come from, read in two passes.
struct Runs {
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
};

// Counts a run whose generations are not a multiple of 50 (it makes
// generations / 50 launches, none for fewer than 50), keeping the first.
void noteGenerations(Runs* runs, int generations, long line) {
  if (generations >= 0 && generations % 50 == 0) return;
  if (runs->oddGenerations++ == 0) {
    runs->firstOddGenerations = generations;
    runs->firstOddLine = line;
  }
}

// One warning for the runs noted above.
void warnOfGenerations(const Runs& runs) {
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
void useInstance(Runs* runs, const std::string& path, long line, int hardness) {
  const auto used = runs->instances.emplace(path, Runs::InstanceUse{line, hardness});
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
bool checkRunsFile(Runs* runs) {
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
  reader.stop = &stopRequested;
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
    if (stopRequested) return false;
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
void hashGrid(Runs* runs) {
  Sha256Ptr sha = sha256Start();
  for (long long i = 0; i < runs->count; ++i) {
    const std::string line = canonicalRunLine(gridRun(runs->gridRuns, i));
    sha256Add(sha.get(), line.data(), line.size());
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

// What a file the batch writes (`path`) must not be: the runs file (also when
// read from standard input), a graph file, or `other` (the batch's other
// output, when not empty). "" when it is none of them.
std::string inputClash(const std::string& path, const Runs& runs, const std::string& other,
                       const std::string& otherName) {
  if (!runs.grid && runs.name != "-" && sameFile(path, runs.name)) return "the runs file";
  if (!runs.grid && runs.name == "-" && isStandardInput(path))
    return "the runs file (standard input)";
  for (const std::string& input : runs.instanceOrder)
    if (sameFile(path, input)) return "the graph file " + shown(input);
  if (!other.empty() && sameFile(path, other)) return otherName;
  return "";
}

// What a results file already holds, for --resume.
struct Resumed {
  std::vector<bool> done;  // by run index
  long long runs = 0;
  long long launches = 0;
  std::string lastRecord;  // the record text of the last line that has one
};

// The most launches a run can make: generations are an int.
const long long maxRunLaunches = 2147483647LL / 50;

// A top-level value of a result line as read.
struct JsonScalar {
  enum Kind { absent, unsignedInt, signedInt, text, null, other } kind = absent;
  unsigned long long u = 0;
  long long i = 0;
  std::string s;
  bool isInteger() const { return kind == unsignedInt || kind == signedInt; }
  std::string shown() const {
    return kind == unsignedInt ? std::to_string(u) : kind == signedInt ? std::to_string(i) : "?";
  }
};

// The fields of a result line that a resume reads, taken from the parser's
// events (nlohmann's SAX interface).
struct ResultFields {
  bool object = false;  // the line is an object
  int depth = 0;
  std::string name;  // of the top-level value being read
  JsonScalar index, sha, launches, record, instance, instanceSha;
  JsonScalar* slot() {
    if (depth != 1) return nullptr;
    if (name == "index") return &index;
    if (name == "runs_sha256") return &sha;
    if (name == "instance") return &instance;
    if (name == "instance_sha256") return &instanceSha;
    if (name == "launches") return &launches;
    if (name == "record") return &record;
    return nullptr;
  }
  bool setKind(JsonScalar::Kind kind) {
    if (JsonScalar* v = slot()) v->kind = kind;
    return true;
  }
  bool null() { return setKind(JsonScalar::null); }
  bool boolean(bool) { return setKind(JsonScalar::other); }
  bool number_integer(long long value) {
    if (JsonScalar* v = slot()) v->i = value;
    return setKind(JsonScalar::signedInt);
  }
  bool number_unsigned(unsigned long long value) {
    if (JsonScalar* v = slot()) v->u = value;
    return setKind(JsonScalar::unsignedInt);
  }
  bool number_float(double, const std::string&) { return setKind(JsonScalar::other); }
  bool string(std::string& value) {
    if (JsonScalar* v = slot()) v->s = value;
    return setKind(JsonScalar::text);
  }
  bool binary(nlohmann::json::binary_t&) { return setKind(JsonScalar::other); }
  bool start_object(std::size_t) {
    if (depth == 0) object = true;
    setKind(JsonScalar::other);
    ++depth;
    return true;
  }
  bool key(std::string& text) {
    if (depth == 1) name = text;
    return true;
  }
  bool end_object() {
    --depth;
    return true;
  }
  bool start_array(std::size_t) {
    setKind(JsonScalar::other);
    ++depth;
    return true;
  }
  bool end_array() {
    --depth;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) {
    return false;
  }
};

// Reads the results file of an earlier batch of the same runs: every line
// must be a result of these runs (of this shard), made on graph files with
// the bytes they have now (fileSha256 by path); a last line cut short (the
// batch ended in the middle of a write) is cut off the file.
bool readResumed(int fd, const std::string& path, const Runs& runs, long shardK, long shardN,
                 const std::map<std::string, std::string>& fileSha256, Resumed* resumed) {
  resumed->done.assign(size_t(runs.count), false);
  LineReader reader;
  startLineReader(&reader, fd, size_t(1) << 30);
  std::string text;
  long long at;
  bool broken;
  long line = 0;
  for (int got; (got = readLine(&reader, &text, &at, &broken)) != 0;) {
    if (got < 0) {
      complain("cannot read results file " + shown(path) + ": " + std::strerror(errno));
      return false;
    }
    ++line;
    const std::string where = shown(path) + ":" + std::to_string(line) + ": ";
    // Read without building a document: only the top-level fields used here
    // are kept, so that no allocation happens while values are destroyed.
    ResultFields f;
    const bool parsed = nlohmann::json::sax_parse(text, &f) && f.object;
    if (broken && !parsed) {
      if (::ftruncate(fd, off_t(at)) != 0) {
        complain(where + "cannot cut off the last line: " + std::strerror(errno));
        return false;
      }
      complain(where + "the last line was cut short; it is dropped and its run made again");
      break;
    }
    const JsonScalar &index = f.index, &launches = f.launches;
    if (!parsed || !index.isInteger() || f.sha.kind != JsonScalar::text || !launches.isInteger() ||
        (f.record.kind != JsonScalar::absent && f.record.kind != JsonScalar::text &&
         f.record.kind != JsonScalar::null)) {
      complain(where + "not a result line of smetp-batch; give another results file");
      return false;
    }
    // Every number read back is checked before it is used: an index as an
    // unsigned value (never wrapped to a negative run), launches within what
    // a run can make (their sum never overflows).
    if (launches.kind != JsonScalar::unsignedInt ||
        launches.u > (unsigned long long)maxRunLaunches) {
      complain(where + "launches " + launches.shown() + " is outside 0.." +
               std::to_string(maxRunLaunches) + "; give another results file");
      return false;
    }
    if (f.sha.s != runs.sha) {
      complain(where + "the results are of other runs (runs_sha256 " + shortQuote(f.sha.s) +
               ", these runs have " + runs.sha + "); give another results file or the same runs");
      return false;
    }
    // The runs are the same; their graph files must be too.
    if (f.instanceSha.kind == JsonScalar::text && f.instance.kind == JsonScalar::text) {
      const auto now = fileSha256.find(f.instance.s);
      if (now != fileSha256.end() && now->second != f.instanceSha.s) {
        complain(where + "graph file " + shown(f.instance.s) +
                 " changed since these results were made (instance_sha256 " +
                 shortQuote(f.instanceSha.s) + ", the file now has " + now->second +
                 "); give the same file or another results file");
        return false;
      }
    }
    const bool known =
        index.kind == JsonScalar::unsignedInt && index.u < (unsigned long long)runs.count;
    const long long i = known ? (long long)index.u : -1;
    if (!known || i % shardN != shardK) {
      complain(where + "run " + index.shown() + " is not a run of this batch" +
               (shardN > 1
                    ? " (shard " + std::to_string(shardK) + "/" + std::to_string(shardN) + ")"
                    : ""));
      return false;
    }
    if (resumed->done[size_t(i)]) {
      complain(where + "run " + std::to_string(i) +
               " is in the file twice; give another results file");
      return false;
    }
    resumed->done[size_t(i)] = true;
    ++resumed->runs;
    resumed->launches += (long long)launches.u;
    if (f.record.kind == JsonScalar::text) resumed->lastRecord = f.record.s;
    if (broken) {
      // A whole result that lacks only its line break: the break is added, so
      // the next result starts a line of its own.
      std::string reason;
      if (!writeWholeAtEnd(fd, "\n", &reason)) {
        complain(where + "cannot end the last line: " + reason);
        return false;
      }
    }
  }
  return true;
}

// A new batch (no --resume) may write a results file that is empty; one that
// holds anything only with --overwrite, and then only when it holds results
// of smetp-batch (it starts with a result line), never another kind of file
// (a record file, say).
bool mayReplaceResults(int fd, const std::string& path, bool overwrite) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    complain("cannot read results file " + shown(path) + ": " + std::strerror(errno));
    return false;
  }
  if (st.st_size == 0) return true;
  if (!overwrite) {
    complain("results file " + shown(path) +
             " is not empty; --resume finishes the batch it holds, --overwrite replaces it, or "
             "give another --results file");
    return false;
  }
  static const char start[] = "{\"index\":";
  char head[sizeof start - 1] = {};
  const ssize_t n = ::pread(fd, head, sizeof head, 0);
  if (n != ssize_t(sizeof head) || std::memcmp(head, start, sizeof head) != 0) {
    complain("results file " + shown(path) +
             " does not hold results of smetp-batch; --overwrite replaces only such a file");
    return false;
  }
  return true;
}

const char* const gridNeeds =
    "a grid needs --instance, --seeds and --generations (or a time limit: --time-limit or "
    "--set time_limit=...)";

struct Options {
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
};

int runMain(const Options& o) {
  gpuQuietNotices(o.quiet);
  Runs runs;
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
    if (!checkRunsFile(&runs)) return stopRequested ? stopStatus() : 1;
  }

  // Every instance of the batch, each read once, before any run.
  std::map<std::string, int> instanceOf;
  std::vector<GraphData> graphs;
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

  // The record file is checked before the runs so that a long batch does not
  // end on a file it could never write.
  // It is never one of the inputs, nor the file of another batch's results.
  const std::string recordPath = o.noRecord ? "" : o.recordPath;
  if (!recordPath.empty()) {
    const std::string clash = inputClash(recordPath, runs, "", "");
    if (!clash.empty()) {
      complain("the record file " + shown(recordPath) + " is " + clash +
               "; give another --record file");
      return 1;
    }
    if (!appendRecordChecked(recordPath, "", &error)) {
      complain("cannot append to record file " + shown(recordPath) + ": " + error);
      return 1;
    }
  }

  // The results file: never one of the batch's inputs or its record file,
  // and never one that another batch is writing.
  const bool toStdout = o.resultsPath == "-";
  if (toStdout && o.resume) {
    complain("--resume needs the results file of the batch (--results FILE)");
    return 1;
  }
  int resultsFd = STDOUT_FILENO;
  Resumed resumed;
  if (!toStdout) {
    const std::string& rp = o.resultsPath;
    const std::string clash = inputClash(rp, runs, recordPath, "the record file");
    if (!clash.empty()) {
      complain("the results file " + shown(rp) + " is " + clash + "; give another --results file");
      return 1;
    }
    // Opened without waiting (a FIFO), then refused unless it is a regular
    // file: a results file is read back, cut and resumed.
    resultsFd = ::open(rp.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (resultsFd < 0) {
      complain("cannot write results file " + shown(rp) + ": " + std::strerror(errno));
      return 1;
    }
    struct stat st;
    if (::fstat(resultsFd, &st) != 0 || !S_ISREG(st.st_mode)) {
      complain("results file " + shown(rp) +
               " is not a regular file (a device or a FIFO); give a file, or --results - for "
               "standard output");
      ::close(resultsFd);
      return 1;
    }
    ::fcntl(resultsFd, F_SETFL, ::fcntl(resultsFd, F_GETFL) & ~O_NONBLOCK);
    if (::flock(resultsFd, LOCK_EX | LOCK_NB) != 0) {
      complain(errno == EWOULDBLOCK
                   ? "results file " + shown(rp) + " is being written by another batch"
                   : "cannot lock results file " + shown(rp) + ": " + std::strerror(errno));
      ::close(resultsFd);
      return 1;
    }
    std::map<std::string, std::string> fileSha256;
    for (const auto& used : instanceOf)
      fileSha256[used.first] = graphs[size_t(used.second)].fileSha256;
    if (o.resume && !readResumed(resultsFd, rp, runs, shardK, shardN, fileSha256, &resumed)) {
      ::close(resultsFd);
      return 1;
    }
    if (!o.resume && !mayReplaceResults(resultsFd, rp, o.overwrite)) {
      ::close(resultsFd);
      return 1;
    }
    // The last result's record, when the batch ended before storing it.
    if (!recordPath.empty() && !resumed.lastRecord.empty()) {
      const int added = resumeRecord(recordPath, resumed.lastRecord, &error);
      if (added < 0) {
        complain("cannot append to record file " + shown(recordPath) + ": " + error);
        ::close(resultsFd);
        return 1;
      }
      if (added > 0)
        complain("the record of the last run in " + shown(rp) + " was missing from " +
                 shown(recordPath) + "; it is appended now");
    }
  }

  // The runs of this shard still to make, and their launches.
  const long long todo = runs.shardRuns - resumed.runs;
  const long long totalLaunches = runs.shardLaunches - resumed.launches;

  // The second pass: runs as the pool asks for them.
  long long nextIndex = 0;
  long lineNo = 0;
  LineReader reader;
  Sha256Ptr again;
  if (!runs.grid) {
    if (::lseek(runs.fd, 0, SEEK_SET) != 0) {
      complain("cannot read runs file " + shown(runs.name) + " again: " + std::strerror(errno));
      return 1;
    }
    startLineReader(&reader, runs.fd, maxRunsLineBytes);
    again = sha256Start();
    reader.onBytes = [&](const char* bytes, size_t size) { sha256Add(again.get(), bytes, size); };
  }
  bool sourceFailed = false;
  const RunSource source = [&](RunSpec* spec) {
    for (;;) {
      RunLine run;
      if (runs.grid) {
        if (nextIndex >= runs.count) return false;
        run = gridRun(runs.gridRuns, nextIndex);
      } else {
        std::string text, reason;
        long long at;
        bool broken;
        RunLineKind kind = lineEmpty;
        while (kind != lineRun) {
          const int got = readLine(&reader, &text, &at, &broken);
          if (got <= 0) return false;
          kind = parseRunLine(text.data(), text.size(), ++lineNo, &run, &reason, runs.stop,
                              runs.profile);
          if (kind == lineBad) {
            sourceFailed = true;
            return false;
          }
        }
        if (nextIndex >= runs.count) {
          sourceFailed = true;
          return false;
        }
      }
      const long long index = nextIndex++;
      if (index % shardN != shardK || (o.resume && resumed.done[size_t(index)])) continue;
      const int instance = instanceOf.count(run.path) ? instanceOf[run.path] : -1;
      if (instance < 0) {
        sourceFailed = true;
        return false;
      }
      *spec = resolveRun(run, long(index), instance, graphs[size_t(instance)]);
      return true;
    }
  };

  OrderedOutput out;
  attachOrderedOutput(&out, resultsFd, toStdout ? "standard output" : shown(o.resultsPath),
                      recordPath);
  out.stop = &stopRequested;
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
  long long written = resumed.runs;
  // Runs whose best is the energy cap, and the instances already warned of.
  long long capped = 0;
  std::vector<bool> cappedWarned(graphs.size(), false);
  std::string failure;
  BatchOptions options;
  options.jobs = o.jobs;
  options.resident = o.resident;
  options.runs = size_t(std::max(todo, 1LL));
  options.stop = &stopRequested;
  // A new batch empties the results file (one that --overwrite replaces)
  // only when it has its first result to write, or when it ends without one,
  // so a batch that cannot start (no memory, no threads) leaves it as it was.
  bool emptied = toStdout || o.resume;
  const auto emptyResults = [&] {
    if (emptied) return;
    emptied = true;
    if (::ftruncate(resultsFd, 0) != 0)
      throw BatchError("cannot write results file " + shown(o.resultsPath) + ": " +
                       std::strerror(errno));
  };
  options.onProgress = [&](const BatchProgress& batch) { progressLaunches(&progress, batch); };
  options.onRunFinished = [&](size_t position, const RunSpec& spec, const RunResult& r) {
    if (!failure.empty()) return;
    progressRunFinished(&progress, spec, r);
    const GraphData& g = graphs[size_t(spec.instance)];
    if (!r.wide && r.record.best == maxFeasibleFit) {
      ++capped;
      if (!cappedWarned[size_t(spec.instance)]) {
        cappedWarned[size_t(spec.instance)] = true;
        progressNote(&progress, "smetp-batch: warning: run " + std::to_string(spec.index) + " (" +
                                    shown(spec.path) + " seed " + std::to_string(spec.seed) +
                                    ") ends at the energy cap 64999: its true energy may be "
                                    "higher, so runs of this instance cannot be compared by "
                                    "energy (scale its weights down)");
      }
    }
    const std::string wrong = checkTopology(g, r);
    if (!wrong.empty()) {
      failure = "run " + std::to_string(spec.index) + " (" + shown(spec.path) + " seed " +
                std::to_string(spec.seed) + "): " + wrong;
    } else {
      emptyResults();
      const size_t before = out.next;
      const std::string record = isDesign(spec.settings) && !r.wide ? runRecordText(r.record) : "";
      if (!offerResult(&out, position, resultLine(spec, r, g, runs.sha), record, &error))
        failure = error;
      written += (long long)(out.next - before);
    }
    if (!failure.empty()) stopRequested.store(true);
  };

  bool complete = false;
  try {
    complete = runBatch(source, graphs, options);
    if (failure.empty()) emptyResults();
  } catch (const BatchError& e) {
    if (failure.empty()) failure = e.what();
  }
  endProgress(&progress);
  if (!closeOrderedOutput(&out, &error) && failure.empty()) failure = error;
  if (failure.empty() && sourceFailed)
    failure = "runs file " + shown(runs.name) + " changed while the batch ran";
  if (!runs.grid) addStopToHash(again.get(), runs.stop, runs.profile);
  if (failure.empty() && complete && !runs.grid && sha256End(again.get()) != runs.sha &&
      !stopRequested)
    failure = "runs file " + shown(runs.name) + " changed while the batch ran";
  if (capped)
    complain("warning: " + std::to_string(capped) + (capped == 1 ? " run ends" : " runs end") +
             " at the energy cap 64999 (\"capped\": true in the results)");
  if (!failure.empty()) {
    complain(failure);
    return 1;
  }
  if (!complete || stopSignal) {
    const long long shardRuns = runs.shardRuns;
    if (toStdout)
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
  Options o;
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
