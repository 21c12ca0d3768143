// The batch engine: every run's state is one entry of the batch arrays on the
// device, one launch of the batch kernels covers all runs, and each run's host
// side (schedule, history, record) is the single run's own code.
#include "batch/engine.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "gpu/check.h"
#include "gpu/gpu.h"
#include "host/run.h"
#include "problem/batchrun.h"

namespace {

enum { generationsPerLaunch = 50 };

// Device memory of a batch, released whatever way the batch ends.
struct BatchMemory {
  void* runs = nullptr;
  void* control = nullptr;
  void* pops = nullptr;
  void* bits = nullptr;
  ~BatchMemory() {
    gpuFree(runs);
    gpuFree(control);
    gpuFree(pops);
    gpuFree(bits);
  }
};

// Entry of the batch's run table for one run: its instance, parameters and
// the generator states its seed gives.
void fillBatchRun(BatchRun& r, const RunSpec& spec, const GraphData& g) {
  std::memset(&r, 0, sizeof r);
  r.probNn = g.n;
  r.probNl = g.nl;
  r.probNlBytes = g.nlBytes;
  r.objvalhardness = spec.objHard;
  r.graphdensity = spec.graphDens;
  hostSeeds(spec.seed, r.next);
  r.settings = designGaSettings();
  std::memcpy(r.nIdx, g.nodeIndex, sizeof r.nIdx);
  std::memcpy(r.probLink, g.links, sizeof(Link) * size_t(g.nl));
}

// The links that bits 0..nl-1 of a bit string select, 1-based.
std::vector<std::pair<int, int>> topologyOf(const unsigned char* bits, const GraphData& g) {
  std::vector<std::pair<int, int>> links;
  for (int e = 0; e < g.nl; ++e)
    if (bits[e >> 3] & (1u << (e & 7))) links.emplace_back(g.links[e].from + 1, g.links[e].to + 1);
  std::sort(links.begin(), links.end());
  return links;
}

}  // namespace

bool runBatch(const std::vector<RunSpec>& runs, const std::vector<GraphData>& instances,
              const BatchOptions& options) {
  const size_t count = runs.size();
  if (count == 0) return true;
  gpuSetHostWorkers(options.jobs);
  const char* backend = gpuBackendName();
  const time_t startTime = std::time(nullptr);
  const long startClock = runClockMs();

  std::vector<BatchRun> hostRuns(count);
  for (size_t i = 0; i < count; ++i)
    fillBatchRun(hostRuns[i], runs[i], instances[size_t(runs[i].instance)]);

  BatchMemory mem;
  const size_t records = count * popSize;
  CHECK_CUDA(gpuMalloc(&mem.runs, count * sizeof(BatchRun)));
  CHECK_CUDA(gpuMalloc(&mem.control, count * sizeof(BatchControl)));
  CHECK_CUDA(gpuMalloc(&mem.pops, records * sizeof(Chrom)));
  CHECK_CUDA(gpuMalloc(&mem.bits, records * batchBitBytes));
  CHECK_CUDA(gpuMemset(mem.bits, 0, records * batchBitBytes));
  CHECK_CUDA(gpuMemcpy(mem.runs, hostRuns.data(), count * sizeof(BatchRun), gpuMemcpyHostToDevice));
  {
    std::vector<Chrom> pops(records);
    for (size_t k = 0; k < records; ++k)
      pops[k].lbit = static_cast<unsigned char*>(mem.bits) + k * batchBitBytes;
    CHECK_CUDA(gpuMemcpy(mem.pops, pops.data(), records * sizeof(Chrom), gpuMemcpyHostToDevice));
  }

  std::vector<RunProgress> progress(count);
  std::vector<RunResult> results(count);
  std::vector<BatchControl> control(count);
  int maxLaunches = 0;
  for (size_t i = 0; i < count; ++i) {
    progress[i] = startRunProgress(runs[i].maxGen, hostRuns[i].probNl, startTime, startClock);
    control[i] = BatchControl{progress[i].schedule.mutProb, 0, 0};
    results[i].launches = std::max(progress[i].launchCount, 0);
    results[i].backend = backend;
    maxLaunches = std::max(maxLaunches, results[i].launches);
  }
  hostRuns.clear();
  hostRuns.shrink_to_fit();

  CHECK_CUDA(
      gpuMemcpy(mem.control, control.data(), count * sizeof(BatchControl), gpuMemcpyHostToDevice));
  gpuLaunchBlocks(kernelBatchInitial, unsigned(count), popSize, mem.runs, mem.pops);

  // Ends run i after its last launch: the final best, the record and the
  // best chromosome, which the last launch left in record 0 of its population.
  std::vector<unsigned char> bestBits(batchBitBytes);
  auto finish = [&](size_t i) {
    RunProgress& p = progress[i];
    RunResult& res = results[i];
    const RunSpec& spec = runs[i];
    const GraphData& g = instances[size_t(spec.instance)];
    finishRunProgress(p);
    res.history.push_back(p.schedule.bestSoFar);
    res.record = runRecordOf(p, spec.path.c_str(), spec.seed, spec.objHard, spec.graphDens,
                             graphConstBytes(g), runClockMs());
    res.hasTopology = res.launches > 0;
    if (res.hasTopology) {
      Chrom best;
      CHECK_CUDA(gpuMemcpy(&best, static_cast<Chrom*>(mem.pops) + i * popSize, sizeof best,
                           gpuMemcpyDeviceToHost));
      CHECK_CUDA(gpuMemcpy(bestBits.data(), best.lbit, size_t(g.nlBytes), gpuMemcpyDeviceToHost));
      res.topology = topologyOf(bestBits.data(), g);
    }
    if (options.onRunFinished) options.onRunFinished(i, res);
  };

  // Waits for the initial kernels, as the single run does before its first
  // launch; the values read back are the ones just written.
  CHECK_CUDA(
      gpuMemcpy(control.data(), mem.control, count * sizeof(BatchControl), gpuMemcpyDeviceToHost));
  for (size_t i = 0; i < count; ++i)
    if (results[i].launches == 0) finish(i);

  long long generationsDone = 0;
  for (int launch = 1; launch <= maxLaunches; ++launch) {
    if (options.stop && options.stop->load()) return false;
    unsigned active = 0;
    for (size_t i = 0; i < count; ++i) {
      control[i].active = launch <= results[i].launches;
      if (!control[i].active) continue;
      ++active;
      beforeLaunch(progress[i]);
      control[i].mutProb = progress[i].schedule.mutProb;
      results[i].history.push_back(progress[i].schedule.bestSoFar);
    }
    CHECK_CUDA(gpuMemcpy(mem.control, control.data(), count * sizeof(BatchControl),
                         gpuMemcpyHostToDevice));
    gpuLaunchBlocks(kernelBatchGenerations, unsigned(count), popSize, mem.runs, mem.control,
                    mem.pops);
    CHECK_CUDA(gpuMemcpy(control.data(), mem.control, count * sizeof(BatchControl),
                         gpuMemcpyDeviceToHost));
    generationsDone += (long long)active * generationsPerLaunch;
    for (size_t i = 0; i < count; ++i) {
      if (!control[i].active) continue;
      progress[i].lastBest = control[i].best;
      progress[i].schedule.mutProb = control[i].mutProb;
      if (launch == results[i].launches) finish(i);
    }
    if (options.onProgress) options.onProgress(generationsDone);
  }
  return true;
}
