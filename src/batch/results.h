// A finished run as one line of the results file (JSON Lines), the host's
// own check of the run's topology, and the writer that puts results and
// records out in run order while runs finish in any order.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "batch/engine.h"
#include "problem/graph.h"
#include "problem/wide.h"

// The energy of a topology (1-based pairs) on instance g: each node's power
// is the largest weight among its chosen links, never below 0; the energy is
// the sum of powers, capped at 64999, and 65000 when the links do not connect
// all g.n nodes. Returns -1 and sets *error when a pair is not an edge of g.
int topologyEnergy(const GraphData& g, const std::vector<std::pair<int, int>>& links,
                   std::string* error);

// The instance's links (0-based, with their weights) that a topology of
// 1-based pairs names, in its order: "" and *chosen, or which pair is not a
// link of g.
std::string topologyLinks(const GraphData& g, const std::vector<std::pair<int, int>>& topology,
                          std::vector<WideLink>* chosen);

// Checks a finished run's topology against its best: "" when they agree,
// else what is wrong. A run without a topology must have the best 65000.
std::string checkTopology(const GraphData& g, const RunResult& r);

// The first launch after which the best had its final value; 0 when the
// final best is not below feasibleBelow (65000, or a wide run's
// wideUnconnectedStep). history is the run's history (launches + 1 values).
int launchOfBest(const std::vector<long long>& history, long long feasibleBelow = infeasibleFit);

// sha256 of the bytes, as 64 lowercase hex digits.
std::string sha256Hex(const std::string& bytes);

// sha256 of a file's bytes; false with the reason in *error when it cannot be read.
bool sha256OfFile(const std::string& path, std::string* hex, std::string* error);

// sha256 of bytes given a piece at a time.
struct Sha256;
struct Sha256Deleter {
  void operator()(Sha256* s) const;
};
using Sha256Ptr = std::unique_ptr<Sha256, Sha256Deleter>;
Sha256Ptr sha256Start();
void sha256Add(Sha256* s, const char* bytes, size_t size);
// The digest of everything added, as 64 lowercase hex digits.
std::string sha256End(Sha256* s);

// JSON text with the line separators U+0085, U+2028 and U+2029 written as
// \u escapes, so that no reader that splits lines at them cuts a line.
std::string escapeLineSeparators(const std::string& json);

// The run's result as one JSON object and a line break (line separators in
// strings escaped).
std::string resultLine(const RunSpec& spec, const RunResult& r, const GraphData& g,
                       const std::string& runsSha256);

// The settings of a run as its result shows them: one JSON object with the
// profile's name and every setting's value (gaSettingValues), in that order:
// {"profile":"solve","elite":16,...,"init":"random","memetic":"none",...}.
std::string gaSettingsJson(const GaSettings& s, int profile);

// Appends a record to the record file with one write (appendRecordChecked):
// refuses a file that is not a regular file, and one whose lock another
// program holds for more than 3 seconds (a batch writing it as its results).
// An empty text only checks that the file can be appended to. *at (when
// given) is set to the offset the text went to.
bool appendRecordChecked(const std::string& path, const std::string& text, std::string* error,
                         long long* at = nullptr);

// Makes sure the record text of the last result of a resumed results file is
// in the record file: appends it when it is not there (the batch ended
// between the result and its record). Returns 1 when it was appended, 0 when
// it was there, -1 with *error when the file cannot be read or appended to.
int resumeRecord(const std::string& path, const std::string& text, std::string* error);

// Puts finished runs out in the order of positions 0, 1, 2, ...: each run's
// result line with one write to the results file, then its record appended
// whole to the record file (none when recordPath is empty, or for a run with
// an empty record text: one with GA settings other than the design's). A
// record that cannot be appended takes its result line back, so a resume
// makes the run again; a batch ended between the two writes has the record's
// text in its last result line, and resumeRecord puts it in the record file.
struct OrderedOutput {
  int resultsFd;
  std::string resultsPath;
  std::string recordPath;
  size_t next;  // position of the next run to put out
  std::map<size_t, std::pair<std::string, std::string>> waiting;  // line and record text
  bool failed;
  // When set and the results go to a pipe, a terminal or a socket (standard
  // output), a write waits for the reader a little at a time, and a reader
  // that takes nothing for a second after the flag is set ends the writing
  // (so a stalled reader cannot outlast a stop).
  const std::atomic<bool>* stop = nullptr;
};

// Opens the results file (created or truncated). Returns false with the
// reason in *error when it cannot be opened.
bool openOrderedOutput(OrderedOutput* out, const std::string& resultsPath,
                       const std::string& recordPath, std::string* error);
// Writes to a results file that the caller opened (and closes it at the end);
// `name` names it in messages.
void attachOrderedOutput(OrderedOutput* out, int resultsFd, const std::string& name,
                         const std::string& recordPath);

// Takes the finished run at `position` and writes every run now due. On a
// failed write, sets out->failed, puts the message (naming the file and the
// reason) and the record text of the run that was not recorded in *error,
// and returns false; nothing more is written after that. A result line that
// was written only in part is cut off again.
bool offerResult(OrderedOutput* out, size_t position, std::string line, std::string record,
                 std::string* error);

// Closes the results file; false with *error when the close fails.
bool closeOrderedOutput(OrderedOutput* out, std::string* error);
