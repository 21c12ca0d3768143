// Runs GA settings through the batch kernels, for bench/ga-settings until
// smetp-batch reads settings itself. Reads a runs file whose lines are the
// five arguments of smetp followed by `name=value` settings words; lines in a
// row with the same instance, generations, hardness, density and settings
// (a configuration) run as one batch of one block per seed, and the batch's
// wall time is that configuration's time. Writes one JSON line per run:
//   {"index":I,"instance":"...","seed":S,"generations":G,"best":B,
//    "seconds":T,"cpu_seconds":C,"settings":{...},"topology":[[u,v],...]}
// where seconds and cpu_seconds are the wall and processor time of the run's
// configuration batch (the processor time of all its threads).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gpu/check.h"
#include "gpu/gpu.h"
#include "host/run.h"
#include "problem/batchrun.h"
#include "problem/graph.h"
#include "problem/settings.h"

namespace {

struct Line {
  std::string path;
  int seed, maxGen, objHard;
  float density;
  GaSettings settings;
  std::string key;  // what a configuration shares
};

bool readRuns(const char* file, std::vector<Line>* runs) {
  std::ifstream in(file);
  if (!in) {
    std::fprintf(stderr, "bench_settings: cannot open %s\n", file);
    return false;
  }
  std::string text;
  for (int lineNo = 1; std::getline(in, text); ++lineNo) {
    const size_t hash = text.find('#');
    if (hash != std::string::npos) text.resize(hash);
    std::istringstream words(text);
    std::vector<std::string> w;
    for (std::string s; words >> s;) w.push_back(s);
    if (w.empty()) continue;
    if (w.size() < 5) {
      std::fprintf(stderr, "bench_settings: %s:%d: five fields needed\n", file, lineNo);
      return false;
    }
    Line l{w[0],
           std::atoi(w[1].c_str()),
           std::atoi(w[2].c_str()),
           std::atoi(w[3].c_str()),
           float(std::atof(w[4].c_str())),
           designGaSettings(),
           ""};
    for (size_t k = 5; k < w.size(); ++k) {
      std::string error;
      if (!parseGaSetting(w[k], &l.settings, &error)) {
        std::fprintf(stderr, "bench_settings: %s:%d: %s\n", file, lineNo, error.c_str());
        return false;
      }
    }
    l.key = l.path + " " + w[2] + " " + w[3] + " " + w[4] + " " + gaSettingsText(l.settings, true);
    runs->push_back(l);
  }
  return true;
}

// Runs lines [first, last) as one batch; fills best and topology per run.
void runConfiguration(const std::vector<Line>& runs, size_t first, size_t last, const GraphData& g,
                      std::vector<unsigned short>* best, std::vector<std::string>* topology) {
  const size_t count = last - first;
  std::vector<BatchRun> table(count);
  std::vector<BatchControl> control(count);
  std::vector<RunProgress> progress(count);
  for (size_t i = 0; i < count; ++i) {
    const Line& l = runs[first + i];
    BatchRun& r = table[i];
    std::memset(&r, 0, sizeof r);
    r.probNn = g.n;
    r.probNl = g.nl;
    r.probNlBytes = g.nlBytes;
    r.objvalhardness = l.objHard;
    r.graphdensity = l.density;
    hostSeeds(l.seed, r.next);
    std::memcpy(r.nIdx, g.nodeIndex, sizeof r.nIdx);
    std::memcpy(r.probLink, g.links, sizeof(Link) * size_t(g.nl));
    r.settings = l.settings;
    progress[i] = startRunProgress(l.maxGen, g.nl, 0, runClockMs(), l.settings);
    control[i] = BatchControl{progress[i].schedule.mutProb, 0, 1};
  }
  void *mRuns = nullptr, *mControl = nullptr, *mPops = nullptr, *mBits = nullptr;
  const size_t records = count * popSize;
  CHECK_CUDA(gpuMalloc(&mRuns, count * sizeof(BatchRun)));
  CHECK_CUDA(gpuMalloc(&mControl, count * sizeof(BatchControl)));
  CHECK_CUDA(gpuMalloc(&mPops, records * sizeof(Chrom)));
  CHECK_CUDA(gpuMalloc(&mBits, records * batchBitBytes));
  CHECK_CUDA(gpuMemset(mBits, 0, records * batchBitBytes));
  CHECK_CUDA(gpuMemcpy(mRuns, table.data(), count * sizeof(BatchRun), gpuMemcpyHostToDevice));
  std::vector<Chrom> pops(records);
  for (size_t k = 0; k < records; ++k)
    pops[k].lbit = static_cast<unsigned char*>(mBits) + k * batchBitBytes;
  CHECK_CUDA(gpuMemcpy(mPops, pops.data(), records * sizeof(Chrom), gpuMemcpyHostToDevice));
  // Every run of the configuration is active from the start.
  CHECK_CUDA(
      gpuMemcpy(mControl, control.data(), count * sizeof(BatchControl), gpuMemcpyHostToDevice));
  CHECK_CUDA(gpuLaunchBlocks(kernelBatchInitial, unsigned(count), popSize, mRuns, mControl, mPops));
  const int launches = progress[0].launchCount;
  for (int launch = 1; launch <= launches; ++launch) {
    for (size_t i = 0; i < count; ++i) {
      beforeLaunch(progress[i]);
      control[i].mutProb = progress[i].schedule.mutProb;
    }
    CHECK_CUDA(
        gpuMemcpy(mControl, control.data(), count * sizeof(BatchControl), gpuMemcpyHostToDevice));
    CHECK_CUDA(
        gpuLaunchBlocks(kernelBatchGenerations, unsigned(count), popSize, mRuns, mControl, mPops));
    CHECK_CUDA(
        gpuMemcpy(control.data(), mControl, count * sizeof(BatchControl), gpuMemcpyDeviceToHost));
    for (size_t i = 0; i < count; ++i) {
      progress[i].lastBest = control[i].best;
      progress[i].schedule.mutProb = control[i].mutProb;
    }
  }
  std::vector<unsigned char> bits(batchBitBytes);
  for (size_t i = 0; i < count; ++i) {
    finishRunProgress(progress[i]);
    (*best)[first + i] = progress[i].schedule.bestSoFar;
    Chrom c;
    CHECK_CUDA(
        gpuMemcpy(&c, static_cast<Chrom*>(mPops) + i * popSize, sizeof c, gpuMemcpyDeviceToHost));
    CHECK_CUDA(gpuMemcpy(bits.data(), c.lbit, size_t(g.nlBytes), gpuMemcpyDeviceToHost));
    std::string t = "[";
    for (int e = 0; e < g.nl; ++e)
      if (bits[size_t(e >> 3)] & (1u << (e & 7)))
        t += (t.size() > 1 ? ",[" : "[") + std::to_string(g.links[e].from + 1) + "," +
             std::to_string(g.links[e].to + 1) + "]";
    (*topology)[first + i] = t + "]";
  }
  gpuFree(mRuns);
  gpuFree(mControl);
  gpuFree(mPops);
  gpuFree(mBits);
}

}  // namespace

int main(int argc, char** argv) {
  const char* results = "results.jsonl";
  const char* runsFile = nullptr;
  int jobs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--results" && i + 1 < argc)
      results = argv[++i];
    else if (a == "--jobs" && i + 1 < argc)
      jobs = std::atoi(argv[++i]);
    else if (a == "--no-record" || a == "--quiet")
      continue;
    else if (!runsFile && a[0] != '-')
      runsFile = argv[i];
    else {
      std::fprintf(stderr, "usage: bench_settings [--jobs N] [--results FILE] RUNS_FILE\n");
      return 2;
    }
  }
  std::vector<Line> runs;
  if (!runsFile || !readRuns(runsFile, &runs)) return 1;
  if (jobs > 0) gpuSetHostWorkers(jobs);
  std::vector<unsigned short> best(runs.size());
  std::vector<std::string> topology(runs.size());
  std::vector<double> seconds(runs.size()), cpuSeconds(runs.size());
  GraphData g;
  std::string loaded;
  for (size_t first = 0; first < runs.size();) {
    size_t last = first + 1;
    while (last < runs.size() && runs[last].key == runs[first].key &&
           runs[last].maxGen == runs[first].maxGen)
      ++last;
    if (runs[first].path != loaded) {
      std::string reason;
      if (readGraphFile(runs[first].path.c_str(), &g, &reason) != graphOk) {
        std::fprintf(stderr, "bench_settings: %s: %s\n", runs[first].path.c_str(), reason.c_str());
        return 1;
      }
      loaded = runs[first].path;
    }
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    runConfiguration(runs, first, last, g, &best, &topology);
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double c = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    for (size_t i = first; i < last; ++i) seconds[i] = s, cpuSeconds[i] = c;
    std::fprintf(stderr, "%s: %zu runs, %.2f s wall, %.2f s CPU\n", runs[first].key.c_str(),
                 last - first, s, c);
    first = last;
  }
  FILE* out = std::fopen(results, "w");
  if (!out) {
    std::fprintf(stderr, "bench_settings: cannot write %s\n", results);
    return 1;
  }
  for (size_t i = 0; i < runs.size(); ++i)
    std::fprintf(out,
                 "{\"index\":%zu,\"instance\":\"%s\",\"seed\":%d,\"generations\":%d,\"best\":%d,"
                 "\"seconds\":%.3f,\"cpu_seconds\":%.3f,\"settings\":%s,\"topology\":%s}\n",
                 i, runs[i].path.c_str(), runs[i].seed, runs[i].maxGen / 50 * 50, int(best[i]),
                 seconds[i], cpuSeconds[i], gaSettingsJson(runs[i].settings).c_str(),
                 topology[i].c_str());
  return std::fclose(out) == 0 ? 0 : 1;
}
