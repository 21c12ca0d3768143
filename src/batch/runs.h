// The list of runs of a batch: a runs file (one run a line, the five
// arguments of smetp) or the cross product of grid options. The parsers take
// text and return an error text instead of printing or exiting, so that tests
// and fuzz targets can call them on any buffer.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "batch/stop.h"
#include "problem/settings.h"

// One run as read, before the instances are loaded.
struct RunLine {
  std::string path;
  int seed;
  int maxGen;
  int objHard;
  float graphDens;
  long line;                   // 1-based line of the runs file; 0 for a run of the grid
  GaRequest ga = GaRequest();  // profile=solve unless the line names another, and named settings
  RunStop stop = RunStop();    // the batch's --time-limit and --target, then the line's words
};

struct RunsError {
  long line;
  std::string reason;
};

// The longest runs-file line read; a longer one is an error, and is skipped
// without being kept in memory.
enum { maxRunsLineBytes = 1 << 20 };

enum RunLineKind { lineEmpty, lineRun, lineBad };

// One line of a runs file (without its line break), numbered `line`: a run
// (*run filled), a line with no fields, or a bad line (*reason says why).
// `defaults` is the batch's time limit and target (--time-limit, --target),
// which the line's words override.
// `profile` is the batch's profile for runs that name none (--profile).
RunLineKind parseRunLine(const char* text, size_t size, long line, RunLine* run,
                         std::string* reason, const RunStop& defaults = RunStop(),
                         int profile = gaProfileSolve);

// Applies one word after the five fields to a run: `time_limit=S` (seconds,
// a decimal number above 0), `target=E` (a decimal number, 0 or more), or a GA
// setting or profile (parseGaSetting). False with the reason in *error for a
// bad word; the run is then unchanged.
bool parseRunWord(const std::string& word, RunLine* run, std::string* error);

// A run's fields as a front end that has them as numbers gives them (the
// Python package): seed, generations (unless there is no limit on them),
// hardness, density, then the words of its settings, time limit and target.
struct RunFields {
  int seed = 0;
  int maxGen = 0;
  bool noGenerationLimit = false;
  int objHard = 0;
  double density = 0;  // from 0 to 1; read as the float its shortest text reads as
  std::vector<std::string> words;
};

// The run those fields make on the graph file `path`, with the checks of a
// runs-file line (parseRunLine makes its runs here); false with the reason
// in *reason.
bool runLineOf(const std::string& path, const RunFields& fields, long line, const RunStop& defaults,
               int profile, RunLine* run, std::string* reason);

// Applies the words after a run's five fields (parseRunWord), each name at
// most once, then checks the run as a whole: its settings together
// (gaRequestProblem) and a limit that ends it. False with the reason in
// *reason.
bool applyRunWords(const std::vector<std::string>& words, RunLine* run, std::string* reason);

// The words of a run's time limit and target ("time_limit=S target=E",
// those it has; "" for none), the numbers as the shortest text that reads back.
std::string runStopText(const RunStop& stop);

// Reads a file a line at a time through a buffer of fixed size, so that a
// file of any length takes no more memory than its longest line, and a line
// longer than `maxLine` bytes is kept only up to maxLine + 1 bytes (enough to
// tell that it is too long). onBytes, when set, sees every byte read, in order.
struct LineReader {
  int fd;
  size_t maxLine;
  std::function<void(const char* bytes, size_t size)> onBytes;
  std::vector<char> buffer;
  size_t begin = 0, end = 0;
  bool eof = false;
  long long offset = 0;  // of the next line in the file
  // When set, a read waits for bytes a little at a time and gives up (-1,
  // errno EINTR) once the flag is set.
  const std::atomic<bool>* stop = nullptr;
  // When set, a line longer than maxLine ends the file: it is returned at once
  // (maxLine + 1 bytes, *broken set) and nothing after it is read.
  bool endAtLongLine = false;
};
void startLineReader(LineReader* r, int fd, size_t maxLine);
// The next line without its line break, and the offset where it starts; the
// last line counts even without a line break (*broken is then set). Returns
// 1 for a line, 0 at the end of the file, -1 when a read fails (errno).
int readLine(LineReader* r, std::string* line, long long* at, bool* broken);

// A runs file: one run a line, "graphfile seed generations hardness density"
// separated by blanks (space, tab, CR, VT, FF), then optionally words
// (parseRunWord: a profile, GA settings, time_limit, target), each name at
// most once; a named setting overrides the profile's value wherever it stands. Generations "-"
// means no limit on generations: the run must then have a time limit. A field that starts with
// '#' starts a comment that runs to the end of the line; lines with no fields are skipped. Every
// number must be whole: seed, generations and hardness an optional sign and decimal digits within
// int ("12abc", "5OOO" and "1e3" are errors), the density a decimal number from 0 to 1 (nan,
// infinities and overflows are errors). Every bad line is reported in *errors (in line order);
// returns true when there is none.
bool parseRunsText(const std::string& text, std::vector<RunLine>* runs,
                   std::vector<RunsError>* errors, const RunStop& defaults = RunStop());

// The same, as one text: "" when the runs are good, else one "LINE: reason"
// line per bad line.
std::string parseRunsTextOrError(const std::string& text, std::vector<RunLine>* runs,
                                 const RunStop& defaults = RunStop());

// A list of integers for --seeds and --hardness: items separated by commas,
// each either a number or an inclusive range FIRST-LAST with FIRST <= LAST.
// A number is an optional sign and decimal digits, so a minus right after a
// number separates the two ends of a range: "-3--1" is -3, -2, -1 and
// "-5,7" is -5 and 7. No blanks, no empty items.
bool parseIntList(const std::string& text, std::vector<int>* values, std::string* error);

// A list of densities for --density: numbers separated by commas, each read
// whole by strtod and from 0 to 1.
bool parseFloatList(const std::string& text, std::vector<float>* values, std::string* error);

// "K/N" with 0 <= K < N: the shard of the runs whose index i has i mod N == K.
bool parseShard(const std::string& text, long* k, long* n, std::string* error);

// The most runs a grid may expand to.
enum { maxGridRuns = 1000000 };

// The grid's runs in order: for each instance, each hardness, each density,
// each seed. Fails when that is more than maxGridRuns runs.
bool expandGrid(const std::vector<std::string>& instances, const std::vector<int>& seeds,
                int maxGen, const std::vector<int>& hardness, const std::vector<float>& densities,
                std::vector<RunLine>* runs, std::string* error);

// One --set option of a grid: a setting's name and its values.
struct GridSetting {
  std::string name;
  std::vector<std::string> values;
};

// The runs of a grid, expanded one at a time: for each instance, each
// hardness, each density, each seed, each combination of the --set values
// (the first --set slowest, the last fastest). Each run starts from `stop`
// and profile=solve; its --set words then apply (a named setting overrides
// the profile's value, whatever the order of the options).
struct Grid {
  std::vector<std::string> instances;
  std::vector<int> seeds;
  int maxGen;
  std::vector<int> hardness;
  std::vector<float> densities;
  std::vector<GridSetting> settings;
  RunStop stop = RunStop();      // --time-limit, --target; noGenerationLimit without --generations
  int profile = gaProfileSolve;  // --profile: of runs whose --set words name none
};

// A --set option "name=v1,v2,...": each value checked as a word of a run
// (parseRunWord). Fails with the reason in *error.
bool parseGridSetting(const std::string& text, GridSetting* setting, std::string* error);
// Runs of the grid (0 when a list is empty); may exceed maxGridRuns.
long long gridSize(const Grid& grid);
// "" when every combination of the grid's --set values makes sense as a
// whole (gaRequestProblem), else the first problem, with the words at fault.
std::string gridSettingsProblem(const Grid& grid);
// Run i (0 <= i < gridSize) of the grid.
RunLine gridRun(const Grid& grid, long long i);

// The text quoted for an error message: at most 60 bytes of it, "..." where
// it was cut.
std::string shortQuote(const std::string& text);

// The runs as a runs file: one "path seed generations hardness density" line
// per run (generations "-" for a run without a limit on them), the density as
// shortestText, then its profile and named settings (gaRequestText) and
// the run's time limit and target. Parsing it gives the
// same runs (for paths without blanks).
std::string canonicalRunsText(const std::vector<RunLine>& runs);
// One run's line of that text, its line break included.
std::string canonicalRunLine(const RunLine& run);
