// Fuzz target of smetp-batch's grid options: the input is split at NUL bytes
// into the texts of --seeds, --hardness, --density and --shard. Accepted lists
// must expand to exactly their cross product, in order, within the grid's
// limit; a rejection must say why.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "batch/runs.h"

namespace {

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "grid_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && parts.size() < 4)
      parts.emplace_back();
    else
      parts.back() += char(data[i]);
  }
  parts.resize(4);
  std::vector<int> seeds, hardness;
  std::vector<float> densities;
  std::string error;
  long k = 0, n = 0;
  if (parseShard(parts[3], &k, &n, &error))
    require(k >= 0 && k < n, "shard out of range");
  else
    require(!error.empty(), "shard rejected without a reason");
  const bool seedsOk = parseIntList(parts[0], &seeds, &error);
  require(seedsOk || !error.empty(), "seeds rejected without a reason");
  const bool hardOk = parseIntList(parts[1], &hardness, &error);
  require(hardOk || !error.empty(), "hardness rejected without a reason");
  const bool densOk = parseFloatList(parts[2], &densities, &error);
  require(densOk || !error.empty(), "density rejected without a reason");
  if (!seedsOk || !hardOk || !densOk) return 0;
  require(!seeds.empty() && !hardness.empty() && !densities.empty(), "an empty list accepted");
  const std::vector<std::string> instances = {"a.txt", "b.txt"};
  std::vector<RunLine> runs;
  const double want =
      2.0 * double(seeds.size()) * double(hardness.size()) * double(densities.size());
  if (!expandGrid(instances, seeds, 100, hardness, densities, &runs, &error)) {
    require(want > maxGridRuns && !error.empty(), "a grid within the limit rejected");
    return 0;
  }
  require(double(runs.size()) == want, "grid size is not the cross product");
  // Seeds vary fastest, then densities, hardness and instances.
  size_t i = 0;
  for (const std::string& inst : instances)
    for (int h : hardness)
      for (float d : densities)
        for (int s : seeds) {
          const RunLine& r = runs[i++];
          require(r.path == inst && r.objHard == h && r.seed == s && r.maxGen == 100,
                  "grid out of order");
          require(r.graphDens == d || (r.graphDens != r.graphDens && d != d), "density changed");
        }
  return 0;
}
