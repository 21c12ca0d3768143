// The batch engine: a pool of resident runs ("slots"), each one entry of the
// batch arrays on the device. Host threads own shares of the slots (the CPU
// form: one thread and one slot per worker; the CUDA form: one thread over
// all slots); each thread takes the next run into a free slot, launches the
// batch kernels over its share, and ends a run after its last launch. Each
// run's host side (schedule, history, record) is the single run's own code.
#include "batch/engine.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "batch/checkpoint.h"
#include "gpu/gpu.h"
#include "host/run.h"
#include "problem/batchrun.h"

namespace {

enum { generationsPerLaunch = 50, defaultWindow = 16384 };

void check(int result, const char* what) {
  if (result != gpuSuccess) throw BatchError(std::string(what) + ": " + gpuGetErrorString(result));
}

// Device memory of the pool, released whatever way the batch ends.
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

// Device bytes of one slot: its run entry, control, population records and
// bit strings.
constexpr size_t poolSlotBytes =
    sizeof(BatchRun) + sizeof(BatchControl) + popSize * (sizeof(Chrom) + batchBitBytes);

void allocate(BatchMemory& mem, size_t slots) {
  size_t freeBytes = 0;
  if (gpuMemGetFree(&freeBytes) == gpuSuccess) {
    const std::string problem = poolMemoryProblem(slots, freeBytes);
    if (!problem.empty()) throw BatchError(problem);
  }
  const size_t records = slots * popSize;
  const auto need = [&](int result, size_t bytes) {
    if (result == gpuSuccess) return;
    throw BatchError("cannot have " + std::to_string(bytes >> 10) + " KiB of device memory for " +
                     std::to_string(slots) + " resident runs: " + gpuGetErrorString(result));
  };
  need(gpuMalloc(&mem.runs, slots * sizeof(BatchRun)), slots * sizeof(BatchRun));
  need(gpuMalloc(&mem.control, slots * sizeof(BatchControl)), slots * sizeof(BatchControl));
  need(gpuMalloc(&mem.pops, records * sizeof(Chrom)), records * sizeof(Chrom));
  need(gpuMalloc(&mem.bits, records * batchBitBytes), records * batchBitBytes);
  check(gpuMemset(mem.bits, 0, records * batchBitBytes), "clearing the bit strings");
  // A slot that never gets a run (fewer runs than slots) is launched as an
  // inactive block all the same: its entry must be a valid, empty run.
  check(gpuMemset(mem.runs, 0, slots * sizeof(BatchRun)), "clearing the run table");
  check(gpuMemset(mem.control, 0, slots * sizeof(BatchControl)), "clearing the runs' control");
  std::vector<Chrom> pops(records);
  for (size_t k = 0; k < records; ++k)
    pops[k].lbit = static_cast<unsigned char*>(mem.bits) + k * batchBitBytes;
  check(gpuMemcpy(mem.pops, pops.data(), records * sizeof(Chrom), gpuMemcpyHostToDevice),
        "setting up the populations");
}

// Entry of the batch's run table for one run: its instance, parameters and
// the generator states its seed gives. A wide run's instance is in its area.
void fillBatchRun(BatchRun& r, const RunSpec& spec, const GraphData& g, WideRun* wideArea,
                  int candidates) {
  std::memset(&r, 0, sizeof r);
  r.probNn = g.n;
  r.probNl = wideArea ? candidates : g.nl;
  r.probNlBytes = wideArea ? 0 : g.nlBytes;
  r.objvalhardness = spec.objHard;
  r.graphdensity = spec.graphDens;
  hostSeeds(spec.seed, r.next);
  r.settings = spec.settings;
  r.wide = wideArea;
  if (wideArea) return;
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

// A run in a slot, from the moment it enters the pool until its last launch.
struct Slot {
  bool busy = false;
  bool fresh = false;  // entered since the last launch: its initial generation is due
  size_t position = 0;
  RunSpec spec;
  RunProgress progress;
  RunResult result;
  int launchesDone = 0;
  // A wide run: its candidate links, its device area and where its parts lie.
  std::shared_ptr<const WideCandidates> candidates;
  void* area = nullptr;
  WideRun layout{};
  // A run of islands holds one slot per island. The run's own slot (island 0)
  // lists them in island order and carries the run's host side; another
  // island's slot names the run's slot in `lead` and has only its spec (with
  // the island's seed) and its area.
  std::vector<size_t> islands;
  long lead = -1;
  bool waiting = false;  // the run's slot, until its share has a slot for every island
  // A run continued from a checkpoint: its state, until it is in its slots.
  std::unique_ptr<RunState> resume;
};

bool isIsland(const Slot& s) { return s.lead >= 0; }
// A slot that takes part in the next launch.
bool launches(const Slot& s) { return s.busy && !s.waiting; }

// What the host threads of a batch share, under `lock`.
struct Pool {
  const RunSource* source;
  const std::vector<GraphData>* instances;
  const BatchOptions* options;
  const char* backend;
  size_t window;
  std::mutex lock;
  std::condition_variable finished;  // a run left the pool
  bool sourceDone = false;
  size_t nextPosition = 0;
  std::set<size_t> unfinished;  // positions of the runs taken and not yet finished
  long long launchesDone = 0;
  // Each slot's best while it holds a run that connects all nodes, else -1:
  // the progress shows the lowest of them.
  std::vector<long long> slotBest;
  std::exception_ptr error;
  // Candidate links by instance and count, made once for all runs.
  std::mutex candidatesLock;
  std::map<std::pair<int, int>, std::shared_ptr<const WideCandidates>> candidates;
  std::atomic<bool> abort{false};

  bool stopped() const { return abort.load() || (options->stop && options->stop->load()); }
};

// A run that has just started: its clock starts now, as a lone run's starts
// when the program starts, and its improvement clock with it (a run that
// never finds a connected topology records 0 seconds to its best).
void startRun(Slot& s, const RunSpec& spec, size_t position, const Pool& pool) {
  const GraphData& g = (*pool.instances)[size_t(spec.instance)];
  s.spec = spec;
  s.position = position;
  s.launchesDone = 0;
  s.progress = startRunProgress(spec.maxGen, g.nl, std::time(nullptr), runClockMs(), spec.settings);
  s.progress.schedule.lastImproveClock = s.progress.startClock;
  // Without a limit on generations the time limit ends the run; the count
  // is then only a bound that no run reaches.
  if (spec.stop.noGenerationLimit) s.progress.launchCount = INT_MAX / generationsPerLaunch;
  s.result = RunResult();
  s.result.launches = std::max(s.progress.launchCount, 0);
  s.result.stop = stopGenerations;
  s.result.secondsToTarget = -1;
  s.result.backend = pool.backend;
  s.result.wide = isWideRun(g, spec.settings);
  if (s.result.wide) {
    // Above every score a launch can leave.
    const long long noBest = (long long)g.n * (long long)wideUnconnectedStep;
    s.progress.schedule.bestSoFar = noBest;
    s.progress.lastBest = noBest;
  }
}

// The candidate links of a wide run's instance, made once per instance and count.
std::shared_ptr<const WideCandidates> candidatesOf(Pool& pool, const RunSpec& spec) {
  const GraphData& g = (*pool.instances)[size_t(spec.instance)];
  const int k = candidateLinksOf(g, spec.settings);
  std::lock_guard<std::mutex> hold(pool.candidatesLock);
  std::shared_ptr<const WideCandidates>& c = pool.candidates[{spec.instance, k}];
  if (!c) c = std::make_shared<WideCandidates>(wideCandidates(*wideGraphOf(g), k));
  return c;
}

// Gives a wide run its device area: the header, its candidate links and their
// order by weight; the population and work arrays zeroed.
void setUpWideRun(Slot& s, Pool& pool) {
  s.candidates = candidatesOf(pool, s.spec);
  const WideCandidates& c = *s.candidates;
  const int nl = int(c.links.size());
  size_t bytes = 0;
  wideRunLayout(nullptr, c.n, nl, &bytes);
  void* area = nullptr;
  if (gpuMalloc(&area, bytes) != gpuSuccess)
    throw BatchError("cannot have " + std::to_string(bytes >> 10) +
                     " KiB of device memory for a run on " + std::to_string(c.n) + " nodes");
  s.area = area;
  s.layout = wideRunLayout(static_cast<unsigned char*>(area), c.n, nl, &bytes);
  check(gpuMemset(area, 0, bytes), "clearing a run's area");
  check(gpuMemcpy(area, &s.layout, sizeof s.layout, gpuMemcpyHostToDevice), "uploading a run");
  check(gpuMemcpy(const_cast<WideLink*>(s.layout.links), c.links.data(),
                  sizeof(WideLink) * size_t(nl), gpuMemcpyHostToDevice),
        "uploading a run's links");
  check(gpuMemcpy(const_cast<int*>(s.layout.byWeight), c.byWeight.data(), sizeof(int) * size_t(nl),
                  gpuMemcpyHostToDevice),
        "uploading a run's links");
  check(gpuMemcpy(const_cast<int*>(s.layout.atFirst), c.atFirst.data(),
                  sizeof(int) * c.atFirst.size(), gpuMemcpyHostToDevice),
        "uploading a run's links");
  check(gpuMemcpy(const_cast<int*>(s.layout.atLinks), c.atLinks.data(),
                  sizeof(int) * c.atLinks.size(), gpuMemcpyHostToDevice),
        "uploading a run's links");
  s.result.candidateLinks = nl;
  // Launches without improvement count from the chromosome's length.
  s.progress.schedule.noImprove = nl;
}

void releaseWideRun(Slot& s) {
  if (s.area) gpuFree(s.area);
  s.area = nullptr;
  s.candidates.reset();
}

// A wide run's best row, as the links it selects (1-based).
std::vector<std::pair<int, int>> wideTopologyOf(const Slot& s) {
  unsigned char row = 0;
  check(gpuMemcpy(&row, s.layout.idx, 1, gpuMemcpyDeviceToHost), "reading a best");
  std::vector<unsigned long long> bits(size_t(s.layout.words));
  check(gpuMemcpy(bits.data(), s.layout.rows + size_t(row) * size_t(s.layout.words),
                  bits.size() * sizeof bits[0], gpuMemcpyDeviceToHost),
        "reading a best");
  std::vector<std::pair<int, int>> links;
  const std::vector<WideLink>& c = s.candidates->links;
  for (size_t e = 0; e < c.size(); ++e)
    if (bits[e >> 6] >> (e & 63) & 1ull) links.emplace_back(c[e].from + 1, c[e].to + 1);
  return links;
}

// After a launch of slot s's run: true when the run ends here, with what
// ended it in s.result. A target met counts before the others, so a run
// that meets it on its last launch says "target"; `finish`: the batch ends
// its runs now.
bool runEnds(Slot& s, bool finish) {
  const RunStop& stop = s.spec.stop;
  const long elapsedMs = runClockMs() - s.progress.startClock;
  const long long best = std::min(s.progress.lastBest, s.progress.schedule.bestSoFar);
  // A target counts only for a best that is a true energy: one that connects
  // all nodes (a wide run's unconnected scores start at wideUnconnectedStep)
  // and, on a design run, is below the cap, which stands for every energy
  // from 64999 up.
  const long long trueBelow =
      s.result.wide ? (long long)wideUnconnectedStep : (long long)maxFeasibleFit;
  if (stop.target >= 0 && best < trueBelow && double(best) <= stop.target) {
    s.result.stop = stopTarget;
    s.result.secondsToTarget = double(elapsedMs) / 1000.0;
  } else if (s.launchesDone == s.result.launches) {
    s.result.stop = stopGenerations;
  } else if (stop.timeLimit > 0 && double(elapsedMs) >= stop.timeLimit * 1000.0) {
    s.result.stop = stopTime;
  } else if (finish) {
    s.result.stop = stopInterrupted;
  } else {
    return false;
  }
  // A run cut short made the first launchesDone launches of its full run:
  // its record is that of a run of that many launches.
  s.result.launches = s.launchesDone;
  s.progress.launchCount = s.launchesDone;
  return true;
}

// Ends the run of slot s (the pool's lock held): the final best, the record
// and, after at least one launch, the best chromosome, which the last launch
// left in record 0 of the run's population (a wide run: the best row of the
// area of `best`, the island whose best is the run's).
void finishRun(Slot& s, const Chrom* population, Pool& pool, const Slot* best = nullptr) {
  const GraphData& g = (*pool.instances)[size_t(s.spec.instance)];
  RunResult& res = s.result;
  finishRunProgress(s.progress);
  res.history.push_back(s.progress.schedule.bestSoFar);
  res.best = s.progress.schedule.bestSoFar;
  res.record = runRecordOf(s.progress, s.spec.path.c_str(), s.spec.seed, s.spec.objHard,
                           s.spec.graphDens, graphConstBytes(g), runClockMs());
  res.hasTopology = res.launches > 0;
  if (res.wide) {
    if (res.hasTopology) res.topology = wideTopologyOf(best ? *best : s);
    releaseWideRun(s);
  } else if (res.hasTopology) {
    Chrom best;
    unsigned char bits[batchBitBytes];
    check(gpuMemcpy(&best, population, sizeof best, gpuMemcpyDeviceToHost), "reading a best");
    check(gpuMemcpy(bits, best.lbit, size_t(g.nlBytes), gpuMemcpyDeviceToHost), "reading a best");
    res.topology = topologyOf(bits, g);
  }
  pool.unfinished.erase(s.position);
  if (pool.options->onRunFinished) pool.options->onRunFinished(s.position, s.spec, res);
  s.busy = false;
  pool.finished.notify_all();
}

// Gives the run of slot k a slot for each of its other islands, when the
// share has them free; the run waits until then, and its clock starts when
// its islands start.
void placeIslands(std::vector<Slot>& slots, size_t k) {
  Slot& run = slots[k];
  const int count = run.spec.settings.islands;
  std::vector<size_t> free;
  for (size_t j = 0; j < slots.size() && int(free.size()) + 1 < count; ++j)
    if (!slots[j].busy) free.push_back(j);
  const bool waited = run.waiting;
  run.waiting = int(free.size()) + 1 < count;
  if (run.waiting) return;
  if (waited) run.progress.startClock = run.progress.schedule.lastImproveClock = runClockMs();
  run.islands.assign(1, k);
  for (size_t j : free) {
    Slot& island = slots[j];
    island = Slot();
    island.busy = island.fresh = true;
    island.lead = long(k);
    island.spec = run.spec;
    island.spec.seed = islandSeed(run.spec.seed, int(run.islands.size()));
    island.result.wide = true;
    run.islands.push_back(j);
  }
}

// The slots of run s's populations, in island order (slot k alone for a run
// without islands).
std::vector<size_t> populationSlots(const Slot& s, size_t k) {
  return s.islands.empty() ? std::vector<size_t>{k} : s.islands;
}

// The state of the run in slot k after its latest launch (its islands'
// populations included), read from the share's run table entries and records.
void captureRun(const std::vector<Slot>& slots, size_t k, const BatchRun* runs, const Chrom* pops,
                const Pool& pool, RunState* state) {
  const Slot& s = slots[k];
  const GraphData& g = (*pool.instances)[size_t(s.spec.instance)];
  state->launchesDone = s.launchesDone;
  state->elapsedMs = runClockMs() - s.progress.startClock;
  state->progress = s.progress;
  state->progress.startClock = 0;
  state->progress.schedule.lastImproveClock -= s.progress.startClock;
  state->history = s.result.history;
  const std::vector<size_t> at = populationSlots(s, k);
  state->populations.resize(at.size());
  for (size_t i = 0; i < at.size(); ++i)
    readPopulation(runs + at[i], pops + at[i] * popSize, g.nlBytes,
                   s.result.wide ? &slots[at[i]].layout : nullptr, &state->populations[i]);
}

// Puts the run of slot k back where its checkpoint left it: the host side,
// its clock going on from the time it had used, and each population on the
// device (the slots' entries uploaded, wide areas set up); `bits` are the
// share's bit strings.
void restoreRun(std::vector<Slot>& slots, size_t k, BatchRun* runs, Chrom* pops,
                unsigned char* bits, const Pool& pool) {
  Slot& s = slots[k];
  const GraphData& g = (*pool.instances)[size_t(s.spec.instance)];
  const RunState& state = *s.resume;
  s.launchesDone = state.launchesDone;
  s.progress = state.progress;
  s.progress.startClock = runClockMs() - state.elapsedMs;
  s.progress.schedule.lastImproveClock += s.progress.startClock;
  s.result.history = state.history;
  const std::vector<size_t> at = populationSlots(s, k);
  for (size_t i = 0; i < at.size(); ++i)
    writePopulation(runs + at[i], pops + at[i] * popSize, bits + at[i] * popSize * batchBitBytes,
                    g.nlBytes, s.result.wide ? &slots[at[i]].layout : nullptr,
                    state.populations[i]);
  s.resume.reset();
}

// Hands the state of every run of a share that has made a launch to the
// batch's checkpoint callback.
void checkpointShare(const std::vector<Slot>& slots, const BatchRun* runs, const Chrom* pops,
                     Pool& pool) {
  if (!pool.options->onCheckpoint) return;
  RunState state;
  for (size_t k = 0; k < slots.size(); ++k) {
    const Slot& s = slots[k];
    if (!s.busy || s.fresh || s.waiting || isIsland(s) || s.launchesDone == 0) continue;
    captureRun(slots, k, runs, pops, pool, &state);
    std::lock_guard<std::mutex> g(pool.lock);
    pool.options->onCheckpoint(s.spec, state);
  }
}

// Takes runs into the free slots of a share (the pool's lock held). A run
// without launches finishes at once and takes no slot; a run of islands
// takes a slot for each, and no run after it is taken until it has them.
// Returns the busy slots.
int takeRuns(std::vector<Slot>& slots, Pool& pool) {
  for (size_t k = 0; k < slots.size(); ++k)
    if (slots[k].waiting) {
      placeIslands(slots, k);
      if (slots[k].waiting) return int(std::count_if(slots.begin(), slots.end(), launches));
    }
  int busy = 0;
  for (size_t k = 0; k < slots.size(); ++k) {
    Slot& s = slots[k];
    while (!s.busy && !pool.sourceDone && !pool.stopped()) {
      if (!pool.unfinished.empty() && pool.nextPosition >= *pool.unfinished.begin() + pool.window)
        break;
      if (pool.options->runReady && !pool.options->runReady()) break;
      RunSpec spec;
      if (!(*pool.source)(&spec)) {
        pool.sourceDone = true;
        break;
      }
      const size_t position = pool.nextPosition++;
      startRun(s, spec, position, pool);
      pool.unfinished.insert(position);
      s.resume.reset();
      if (pool.options->resumeRun) {
        auto state = std::make_unique<RunState>();
        if (pool.options->resumeRun(spec, state.get()) && state->launchesDone < s.result.launches &&
            state->populations.size() == size_t(std::max(spec.settings.islands, 1)))
          s.resume = std::move(state);
      }
      if (s.result.launches == 0) {
        finishRun(s, nullptr, pool);
        continue;
      }
      s.busy = s.fresh = true;
      if (spec.settings.islands > 1) {
        if (size_t(spec.settings.islands) > slots.size())
          throw BatchError("run " + std::to_string(spec.index + 1) + " has " +
                           std::to_string(spec.settings.islands) +
                           " islands, but a launch holds only " + std::to_string(slots.size()) +
                           " of them; ask for at least that many resident runs");
        placeIslands(slots, k);
        if (s.waiting) break;
      }
    }
    if (s.waiting) break;
  }
  for (const Slot& s : slots) busy += launches(s);
  return busy;
}

// Island i of a run sends copies of its best `migrants` rows to island
// i + 1 (the last to the first), which puts them in the rows of its worst
// slots and sorts its slots again (stably, so the order is the same on every
// form). Every island sends what it had before any receives.
void migrate(const std::vector<Slot>& slots, const Slot& run) {
  const int count = int(run.islands.size());
  const int m = run.spec.settings.migrants;
  const size_t words = size_t(run.layout.words);
  struct Island {
    std::vector<unsigned long long> fit = std::vector<unsigned long long>(popSize);
    std::vector<unsigned char> idx = std::vector<unsigned char>(popSize);
    std::vector<unsigned long long> sent, sentFit;
  };
  std::vector<Island> is(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const WideRun& w = slots[run.islands[size_t(i)]].layout;
    Island& x = is[size_t(i)];
    check(gpuMemcpy(x.fit.data(), w.fit, popSize * sizeof x.fit[0], gpuMemcpyDeviceToHost),
          "reading an island");
    check(gpuMemcpy(x.idx.data(), w.idx, popSize, gpuMemcpyDeviceToHost), "reading an island");
    x.sent.resize(size_t(m) * words);
    x.sentFit.assign(x.fit.begin(), x.fit.begin() + m);
    for (int j = 0; j < m; ++j)
      check(gpuMemcpy(&x.sent[size_t(j) * words], w.rows + size_t(x.idx[size_t(j)]) * words,
                      words * 8, gpuMemcpyDeviceToHost),
            "reading an island");
  }
  for (int i = 0; i < count; ++i) {
    const Island& from = is[size_t(i)];
    Island& to = is[size_t((i + 1) % count)];
    const WideRun& w = slots[run.islands[size_t((i + 1) % count)]].layout;
    for (int j = 0; j < m; ++j) {
      const size_t slot = size_t(popSize - m + j);
      check(gpuMemcpy(w.rows + size_t(to.idx[slot]) * words, &from.sent[size_t(j) * words],
                      words * 8, gpuMemcpyHostToDevice),
            "migrating to an island");
      to.fit[slot] = from.sentFit[size_t(j)];
    }
    std::vector<int> order(popSize);
    for (int t = 0; t < popSize; ++t) order[size_t(t)] = t;
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return to.fit[size_t(a)] < to.fit[size_t(b)]; });
    std::vector<unsigned long long> fit(popSize);
    std::vector<unsigned char> idx(popSize);
    for (int t = 0; t < popSize; ++t) {
      fit[size_t(t)] = to.fit[size_t(order[size_t(t)])];
      idx[size_t(t)] = to.idx[size_t(order[size_t(t)])];
    }
    check(gpuMemcpy(w.fit, fit.data(), popSize * sizeof fit[0], gpuMemcpyHostToDevice),
          "migrating to an island");
    check(gpuMemcpy(w.idx, idx.data(), popSize, gpuMemcpyHostToDevice), "migrating to an island");
  }
}

// The batch as a progress display shows it (the pool's lock held).
BatchProgress progressOf(const Pool& pool) {
  BatchProgress p;
  p.launchesDone = pool.launchesDone;
  p.running = int(pool.unfinished.size());
  p.slots = int(pool.slotBest.size());
  for (long long b : pool.slotBest)
    if (b >= 0 && (p.best < 0 || b < p.best)) p.best = b;
  return p;
}

// One host thread: carries the runs of slots first .. first + count - 1
// through their launches, refilling each slot as its run finishes.
void carryRuns(Pool& pool, const BatchMemory& mem, size_t first, size_t count) {
  std::vector<Slot> slots(count);
  std::vector<BatchControl> control(count);
  auto entry = std::make_unique<BatchRun>();
  // Wide runs' areas, released however this thread ends.
  struct Release {
    std::vector<Slot>& slots;
    ~Release() {
      for (Slot& s : slots) releaseWideRun(s);
    }
  } release{slots};
  BatchRun* runs = static_cast<BatchRun*>(mem.runs) + first;
  BatchControl* deviceControl = static_cast<BatchControl*>(mem.control) + first;
  Chrom* pops = static_cast<Chrom*>(mem.pops) + first * popSize;
  unsigned char* bits = static_cast<unsigned char*>(mem.bits) + first * popSize * batchBitBytes;
  const unsigned blocks = unsigned(count);
  const size_t controlBytes = count * sizeof(BatchControl);
  const long checkpointMs = long(pool.options->checkpointEvery * 1000.0);
  long lastCheckpoint = runClockMs();

  for (;;) {
    int busy;
    {
      std::unique_lock<std::mutex> g(pool.lock);
      busy = takeRuns(slots, pool);
      if (busy == 0) {
        if (pool.sourceDone || pool.stopped()) return;
        // Every free slot waits for the earliest unfinished run, or for the
        // source's next run (runReady: soon looked at again); check for a
        // stop now and then, since a signal handler cannot wake this thread.
        pool.finished.wait_for(g, std::chrono::milliseconds(pool.options->runReady ? 2 : 50));
        continue;
      }
    }
    if (pool.stopped()) {
      // A stop (not a failure) keeps each run's state for a resume.
      if (!pool.abort) checkpointShare(slots, runs, pops, pool);
      return;
    }

    // An island's mutation probability is its run's.
    const auto runOf = [&](const Slot& s) -> const Slot& {
      return isIsland(s) ? slots[size_t(s.lead)] : s;
    };
    bool fresh = false, freshWide = false;
    for (size_t k = 0; k < count; ++k) {
      Slot& s = slots[k];
      const bool starts = s.fresh && !s.waiting;
      // A run continued from its checkpoint makes no initial generation.
      const bool initial = starts && !runOf(s).resume;
      control[k] = BatchControl{runOf(s).progress.schedule.mutProb, 0, (unsigned short)initial, 0};
      if (!starts) continue;
      if (initial) (s.result.wide ? freshWide : fresh) = true;
      if (s.result.wide) setUpWideRun(s, pool);
      fillBatchRun(*entry, s.spec, (*pool.instances)[size_t(s.spec.instance)],
                   s.result.wide ? static_cast<WideRun*>(s.area) : nullptr,
                   s.result.candidateLinks);
      check(gpuMemcpy(runs + k, entry.get(), sizeof(BatchRun), gpuMemcpyHostToDevice),
            "uploading a run");
      s.fresh = false;
    }
    for (size_t k = 0; k < count; ++k)
      if (slots[k].resume && !slots[k].waiting) restoreRun(slots, k, runs, pops, bits, pool);
    if (fresh || freshWide) {
      check(gpuMemcpy(deviceControl, control.data(), controlBytes, gpuMemcpyHostToDevice),
            "uploading the runs' control");
      // The design's kernels and the wide runs' kernels each pass over the
      // other kind's blocks; each is launched only when it has runs.
      if (fresh)
        check(gpuLaunchBlocks(kernelBatchInitial, blocks, popSize, runs, deviceControl, pops),
              "launching the initial generations");
      if (freshWide)
        check(gpuLaunchBlocks(kernelBatchWideInitial, blocks, popSize, runs, deviceControl, pops),
              "launching the initial generations");
    }

    bool design = false, wide = false;
    for (size_t k = 0; k < count; ++k) {
      Slot& s = slots[k];
      control[k].active = launches(s);
      if (!launches(s) || isIsland(s)) continue;
      (s.result.wide ? wide : design) = true;
      beforeLaunch(s.progress);
      s.result.history.push_back(s.progress.schedule.bestSoFar);
    }
    for (size_t k = 0; k < count; ++k)
      if (launches(slots[k])) control[k].mutProb = runOf(slots[k]).progress.schedule.mutProb;
    check(gpuMemcpy(deviceControl, control.data(), controlBytes, gpuMemcpyHostToDevice),
          "uploading the runs' control");
    if (design)
      check(gpuLaunchBlocks(kernelBatchGenerations, blocks, popSize, runs, deviceControl, pops),
            "launching fifty generations");
    if (wide)
      check(gpuLaunchBlocks(kernelBatchWideGenerations, blocks, popSize, runs, deviceControl, pops),
            "launching fifty generations");
    check(gpuMemcpy(control.data(), deviceControl, controlBytes, gpuMemcpyDeviceToHost),
          "reading the runs' bests");

    {
      std::lock_guard<std::mutex> g(pool.lock);
      for (size_t k = 0; k < count; ++k) {
        Slot& s = slots[k];
        if (!launches(s) || isIsland(s)) continue;
        s.progress.lastBest = s.result.wide ? (long long)control[k].wideBest : control[k].best;
        // A run of islands: the lowest of its islands' bests, the first island
        // to have it named.
        s.result.island = 0;
        for (size_t i = 1; i < s.islands.size(); ++i)
          if ((long long)control[s.islands[i]].wideBest < s.progress.lastBest) {
            s.progress.lastBest = (long long)control[s.islands[i]].wideBest;
            s.result.island = int(i);
          }
        s.progress.schedule.mutProb = control[k].mutProb;
        ++s.launchesDone;
        const bool connected = s.result.wide ? s.progress.lastBest < (long long)wideUnconnectedStep
                                             : s.progress.lastBest < infeasibleFit;
        pool.slotBest[first + k] = connected ? s.progress.lastBest : -1;
        if (runEnds(s, pool.options->finish && pool.options->finish->load())) {
          finishRun(s, pops + k * popSize, pool,
                    s.islands.empty() ? nullptr : &slots[s.islands[size_t(s.result.island)]]);
          pool.slotBest[first + k] = -1;
          for (size_t i = 1; i < s.islands.size(); ++i) {
            releaseWideRun(slots[s.islands[i]]);
            slots[s.islands[i]] = Slot();
          }
          s.islands.clear();
        } else if (s.islands.size() > 1 && s.launchesDone % s.spec.settings.migrateEvery == 0) {
          migrate(slots, s);
        }
      }
      pool.launchesDone += busy;
      if (pool.options->onProgress) pool.options->onProgress(progressOf(pool));
    }
    if (checkpointMs > 0 && runClockMs() - lastCheckpoint >= checkpointMs) {
      lastCheckpoint = runClockMs();
      checkpointShare(slots, runs, pops, pool);
    }
  }
}

// A host thread's work, with whatever it throws kept for the caller.
void carryRunsGuarded(Pool& pool, const BatchMemory& mem, size_t first, size_t count) {
  try {
    carryRuns(pool, mem, first, count);
  } catch (...) {
    std::lock_guard<std::mutex> g(pool.lock);
    if (!pool.error) pool.error = std::current_exception();
    pool.abort = true;
    pool.finished.notify_all();
  }
}

}  // namespace

bool isWideRun(const GraphData& g, const GaSettings& settings) {
  return g.wide != nullptr || settings.links != 0;
}

int candidateLinksOf(const GraphData& g, const GaSettings& settings) {
  return settings.links != 0 ? settings.links : defaultCandidateLinks(g.n, g.sparse);
}

int islandSeed(int seed, int island) {
  if (island == 0) return seed;
  // A SplitMix64 step of the seed and the island's number.
  unsigned long long z =
      (unsigned long long)(unsigned)seed + 0x9e3779b97f4a7c15ull * unsigned(island);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return int(unsigned(z ^ (z >> 31)));
}

RunSpec resolveRun(const RunLine& run, long index, int instance, const GraphData& g) {
  RunSpec spec{run.path, run.seed, run.maxGen, run.objHard, run.graphDens, index, instance};
  spec.settings = resolveGaSettings(run.ga, g.n, g.sparse, g.wide != nullptr);
  spec.stop = run.stop;
  spec.profile = run.ga.profile;
  return spec;
}

std::string poolMemoryProblem(size_t slots, size_t freeBytes) {
  if (slots <= freeBytes / poolSlotBytes) return "";
  const auto mib = [](size_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20); };
  return "cannot have " + mib(slots * poolSlotBytes) + " MiB of device memory for " +
         std::to_string(slots) + " resident runs: " + mib(freeBytes) +
         " MiB are free; ask for fewer resident runs (at most " +
         std::to_string(freeBytes / poolSlotBytes) + ")";
}

bool runBatch(const RunSource& source, const std::vector<GraphData>& instances,
              const BatchOptions& options) {
  const gpuBatchShape shape = gpuBatchPlan(options.jobs, options.resident, options.islands);
  // No more slots than the runs there are, where their number is known.
  size_t slots = size_t(std::max(shape.slots, 1));
  // A run of islands takes a slot for each.
  if (options.runs > 0)
    slots = std::min(slots, options.runs * size_t(std::max(options.islands, 1)));
  const size_t threads = std::min(size_t(std::max(shape.threads, 1)), slots);

  BatchMemory mem;
  allocate(mem, slots);
  if (options.onStarted) options.onStarted();

  Pool pool;
  pool.source = &source;
  pool.instances = &instances;
  pool.options = &options;
  pool.backend = gpuBackendName();
  pool.window = options.window > 0 ? options.window : size_t(defaultWindow);
  pool.slotBest.assign(slots, -1);

  // Slots shared out as evenly as they go: the first `slots % threads`
  // threads take one more.
  std::vector<std::thread> workers;
  size_t first = 0;
  for (size_t t = 0; t < threads; ++t) {
    const size_t count = slots / threads + (t < slots % threads);
    if (t + 1 == threads) {
      carryRunsGuarded(pool, mem, first, count);
    } else {
      try {
        workers.emplace_back(carryRunsGuarded, std::ref(pool), std::cref(mem), first, count);
      } catch (const std::system_error& e) {
        pool.abort = true;
        for (std::thread& w : workers) w.join();
        throw BatchError("cannot start " + std::to_string(threads) +
                         " worker threads: " + e.what());
      }
    }
    first += count;
  }
  for (std::thread& w : workers) w.join();
  if (pool.error) std::rethrow_exception(pool.error);
  return pool.sourceDone && pool.unfinished.empty();
}

bool runBatch(const std::vector<RunSpec>& runs, const std::vector<GraphData>& instances,
              const BatchOptions& options) {
  size_t next = 0;
  const RunSource source = [&](RunSpec* spec) {
    if (next == runs.size()) return false;
    *spec = runs[next++];
    return true;
  };
  return runBatch(source, instances, options);
}
