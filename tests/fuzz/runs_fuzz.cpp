// Fuzz target of smetp-batch's runs file parser: any bytes as a runs file.
// Every bad line must be named by a line the text has, in order; accepted runs
// written back as a runs file must read back as the same runs.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "batch/runs.h"

namespace {

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "runs_fuzz: %s\n", what);
  std::abort();
}

bool sameFloat(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  long lines = 1;
  for (char c : text) lines += c == '\n';
  std::vector<RunLine> runs;
  std::vector<RunsError> errors;
  const bool ok = parseRunsText(text, &runs, &errors);
  require(ok == errors.empty(), "result and error list disagree");
  long previous = 0;
  for (const RunsError& e : errors) {
    require(e.line > previous && e.line <= lines, "error line out of order or range");
    require(!e.reason.empty(), "empty reason");
    previous = e.line;
  }
  if (!ok) return 0;
  previous = 0;
  for (const RunLine& r : runs) {
    require(r.line > previous && r.line <= lines, "run line out of order or range");
    require(!r.path.empty() && r.path[0] != '#', "empty or comment path");
    require(r.graphDens >= 0.0f && r.graphDens <= 1.0f, "a density outside 0..1 accepted");
    previous = r.line;
  }
  // Paths are single words, so the canonical text reads back as the same runs.
  std::vector<RunLine> again;
  std::vector<RunsError> none;
  require(parseRunsText(canonicalRunsText(runs), &again, &none), "canonical text rejected");
  require(again.size() == runs.size(), "canonical text lost runs");
  for (size_t i = 0; i < runs.size(); ++i) {
    require(again[i].path == runs[i].path && again[i].seed == runs[i].seed &&
                again[i].maxGen == runs[i].maxGen && again[i].objHard == runs[i].objHard,
            "canonical text changed a run");
    require(sameFloat(again[i].graphDens, runs[i].graphDens), "canonical text changed a density");
  }
  return 0;
}
