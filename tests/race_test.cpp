// The race check: the kernels run in the threaded form, where each lane of a
// block is a host thread and each block step ends at a real barrier, and must
// leave exactly what the CPU form leaves. Built with the thread sanitizer
// (scripts/test --race), two lanes that touch one word within one step, one
// of them writing, fail the run; so do two blocks of the CPU form, which runs
// a batch's blocks on concurrent worker threads.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "device/ga.h"
#include "gpu/gpu.h"
#include "model_batch_run.h"
#include "plain_ga.h"
#include "problem/batchrun.h"
#include "problem/chrom.h"
#include "race/threaded_selftest.h"
#include "wide_run.h"

namespace {

typedef int (*Launcher)(int kernel, unsigned blocks, unsigned lanes, void* a0, void* a1, void* a2);

struct Form {
  const char* name;
  const DeviceSymbol* symbols;
  Launcher launch;
};
const Form cpuForm{"CPU form", cpuform::deviceSymbols, cpuform::launchKernel};
const Form threadedForm{"threaded form", threadform::deviceSymbols, threadform::launchKernel};

// The named variable `name` of a form, cleared and then given `bytes` bytes.
void setSymbol(const Form& form, const char* name, const void* src, size_t bytes) {
  for (int i = 0; i < deviceSymbolCount; ++i) {
    const DeviceSymbol& s = form.symbols[i];
    if (std::strcmp(s.name, name) != 0) continue;
    ASSERT_LE(bytes, s.bytes) << name;
    std::memset(s.address, 0, s.bytes);
    std::memcpy(s.address, src, bytes);
    return;
  }
  FAIL() << "no device variable " << name;
}

const void* symbolAddress(const Form& form, const char* name) {
  for (int i = 0; i < deviceSymbolCount; ++i)
    if (std::strcmp(form.symbols[i].name, name) == 0) return form.symbols[i].address;
  return nullptr;
}

// A complete graph with random weights, its edge table shuffled on request (the
// energy then goes by the edges instead of the per-node tables).
ModelInstance randomInstance(int nodes, int hardness, float density, std::mt19937& rng,
                             bool shuffleLinks) {
  std::vector<int16_t> weights(size_t(nodes * (nodes - 1) / 2));
  std::uniform_int_distribution<int> weight(1, 1000);
  for (int16_t& w : weights) w = int16_t(weight(rng));
  ModelInstance in = modelCompleteInstance(nodes, weights.data(), hardness, density);
  if (shuffleLinks)
    for (int e = in.probNl - 1; e > 0; --e) {
      const int f = int(rng() % unsigned(e + 1));
      for (int k = 0; k < 3; ++k) std::swap(in.link[e][k], in.link[f][k]);
    }
  return in;
}

// What the device holds after a launch: generator states, fit fields, bit
// strings and best fitness values.
struct Snapshot {
  std::string after;
  std::vector<unsigned> next;
  std::vector<int> fit;
  std::vector<unsigned char> bits;
  std::vector<unsigned short> best;
  std::vector<unsigned long long> wideBest;
};

template <class T>
void expectSameValues(const std::vector<T>& cpu, const std::vector<T>& threaded, const char* what) {
  ASSERT_EQ(cpu.size(), threaded.size()) << what;
  for (size_t i = 0; i < cpu.size(); ++i)
    ASSERT_EQ(cpu[i], threaded[i]) << what << " " << i << " differs";
}

void expectSameRun(const std::vector<Snapshot>& cpu, const std::vector<Snapshot>& threaded) {
  ASSERT_EQ(cpu.size(), threaded.size());
  for (size_t k = 0; k < cpu.size(); ++k) {
    SCOPED_TRACE("after " + cpu[k].after);
    expectSameValues(cpu[k].next, threaded[k].next, "generator state");
    expectSameValues(cpu[k].fit, threaded[k].fit, "fit of record");
    expectSameValues(cpu[k].bits, threaded[k].bits, "bit string byte");
    expectSameValues(cpu[k].best, threaded[k].best, "best of run");
    expectSameValues(cpu[k].wideBest, threaded[k].wideBest, "best of wide run");
  }
}

struct SingleCase {
  int nodes;
  int hardness;
  float density;
  bool shuffleLinks;
  unsigned seed;
  int launches;  // of fifty generations each
};

void PrintTo(const SingleCase& c, std::ostream* os) {
  *os << c.nodes << " nodes, hardness " << c.hardness << ", density " << c.density
      << (c.shuffleLinks ? ", edge table shuffled" : "") << ", " << c.launches
      << " generation launches";
}

// The single run's kernels as the host launches them: the seeds on one lane,
// the random population, the initial generation and the generation launches.
// Every block step costs a wake-up of 128 threads, so the launches are few.
std::vector<Snapshot> runSingle(const Form& form, const SingleCase& c) {
  std::mt19937 rng(c.seed);
  const ModelInstance in = randomInstance(c.nodes, c.hardness, c.density, rng, c.shuffleLinks);
  setSymbol(form, "probNn", &in.probNn, 4);
  setSymbol(form, "probNl", &in.probNl, 4);
  setSymbol(form, "probNlBytes", &in.probNlBytes, 4);
  setSymbol(form, "probLink", in.link, 6 * size_t(in.probNl));
  setSymbol(form, "nIdx", in.nIdx, 4 * size_t(in.probNn - 1));
  setSymbol(form, "objvalhardness", &in.objvalhardness, 4);
  setSymbol(form, "graphdensity", &in.graphdensity, 4);

  // Random bit strings with random tails past probNl, which must survive.
  const size_t nlBytes = size_t(in.probNlBytes);
  std::vector<unsigned char> bits(popSize * nlBytes);
  for (unsigned char& b : bits) b = (unsigned char)rng();
  Chrom pop[popSize];
  for (int t = 0; t < popSize; ++t) pop[t] = Chrom{bits.data() + t * nlBytes, 0};
  unsigned seeds[popSize];
  for (unsigned& s : seeds) s = unsigned(rng());
  float mutProb = 0;
  unsigned short best = 0;

  std::vector<Snapshot> out;
  auto launch = [&](const char* what, int kernel, unsigned lanes, void* a0, void* a1, void* a2) {
    EXPECT_EQ(0, form.launch(kernel, 1, lanes, a0, a1, a2)) << form.name << ", " << what;
    Snapshot s;
    s.after = what;
    const unsigned* next = static_cast<const unsigned*>(symbolAddress(form, "next"));
    s.next.assign(next, next + popSize);
    for (const Chrom& r : pop) s.fit.push_back(r.fit);
    s.bits = bits;
    s.best.push_back(best);
    out.push_back(std::move(s));
  };
  launch("k_srand", kernelSrand, 1, seeds, nullptr, nullptr);
  launch("generateRandomPopulation", kernelGenerateRandomPopulation, popSize, pop, nullptr,
         nullptr);
  launch("evpopInitial", kernelEvpopInitial, popSize, pop, nullptr, nullptr);
  for (int k = 0; k < c.launches; ++k) {
    mutProb = k == 0 ? 0.05f : 0.01f;
    launch("GAallInOneOperator", kernelGAallInOneOperator, popSize, pop, &mutProb, &best);
  }
  for (int t = 0; t < popSize; ++t) EXPECT_EQ(bits.data() + t * nlBytes, pop[t].lbit);
  return out;
}

class RaceCheckSingleRun : public ::testing::TestWithParam<SingleCase> {};

TEST_P(RaceCheckSingleRun, ThreadedFormLeavesWhatTheCpuFormLeaves) {
  const std::vector<Snapshot> cpu = runSingle(cpuForm, GetParam());
  const std::vector<Snapshot> threaded = runSingle(threadedForm, GetParam());
  expectSameRun(cpu, threaded);
}

INSTANTIATE_TEST_SUITE_P(SmallInstances, RaceCheckSingleRun,
                         ::testing::Values(SingleCase{10, 0, 0.3f, false, 1, 2},
                                           SingleCase{12, 1, 0.5f, true, 2, 1}));

// A batch of three runs on different instances: the initial launch, then
// fifty generations of the first and last run, the middle one finished. All
// three have the given GA settings.
std::vector<Snapshot> runBatch(const Form& form, const GaSettings& settings) {
  enum { runs = 3 };
  std::mt19937 rng(7);
  const ModelInstance instances[runs] = {randomInstance(10, 0, 0.3f, rng, false),
                                         randomInstance(12, 1, 0.5f, rng, false),
                                         randomInstance(10, 1, 0.7f, rng, true)};
  std::vector<BatchRun> table(runs);
  std::vector<BatchControl> control(runs);
  for (int b = 0; b < runs; ++b) {
    const ModelInstance& in = instances[b];
    BatchRun& r = table[b];
    modelBatchRun(in, &r);
    for (unsigned& s : r.next) s = unsigned(rng());
    r.settings = settings;
    control[b] = BatchControl{0.02f + 0.01f * float(b), 0, 1, 0};
  }
  std::vector<unsigned char> bits(runs * popSize * batchBitBytes, 0);
  std::vector<Chrom> pops(runs * popSize);
  for (size_t k = 0; k < pops.size(); ++k) pops[k] = Chrom{bits.data() + k * batchBitBytes, 0};

  std::vector<Snapshot> out;
  auto launch = [&](const char* what, int kernel, void* a0, void* a1, void* a2) {
    EXPECT_EQ(0, form.launch(kernel, runs, popSize, a0, a1, a2)) << form.name << ", " << what;
    Snapshot s;
    s.after = what;
    for (const BatchRun& r : table) s.next.insert(s.next.end(), r.next, r.next + popSize);
    for (const Chrom& c : pops) s.fit.push_back(c.fit);
    s.bits = bits;
    for (const BatchControl& c : control) s.best.push_back(c.best);
    out.push_back(std::move(s));
  };
  launch("batchInitial", kernelBatchInitial, table.data(), control.data(), pops.data());
  control[1].active = 0;
  launch("batchGenerations, run 1 finished", kernelBatchGenerations, table.data(), control.data(),
         pops.data());
  return out;
}

TEST(RaceCheckBatch, ThreadedFormLeavesWhatTheCpuFormLeaves) {
  // The CPU form runs the three blocks on three concurrent worker threads.
  gpuSetHostWorkers(3);
  const std::vector<Snapshot> cpu = runBatch(cpuForm, designGaSettings());
  gpuSetHostWorkers(0);
  const std::vector<Snapshot> threaded = runBatch(threadedForm, designGaSettings());
  expectSameRun(cpu, threaded);
}

// Every setting away from the design: other elite, tournament, crossover
// and repair, the start from the spanning tree and the local search on the
// eight best after every fifth generation.
GaSettings settingsAwayFromDesign() {
  GaSettings s = designGaSettings();
  s.elite = 5;
  s.tournament = 3;
  s.crossover = 0.6f;
  s.repair = 0;
  s.init = gaInitMst;
  s.memetic = gaMemeticLs;
  s.memeticEvery = 5;
  s.memeticCount = 8;
  return s;
}

TEST(RaceCheckBatch, SettingsLeaveWhatTheCpuFormLeaves) {
  // Every selection setting away from the design (the design's layout has no
  // tree steps: RaceCheckWideBatch covers them).
  GaSettings s = settingsAwayFromDesign();
  s.init = gaInitRandom;
  s.memetic = gaMemeticNone;
  gpuSetHostWorkers(3);
  const std::vector<Snapshot> cpu = runBatch(cpuForm, s);
  gpuSetHostWorkers(0);
  const std::vector<Snapshot> threaded = runBatch(threadedForm, s);
  expectSameRun(cpu, threaded);
}

// Three wide runs (weights up to 2^31 - 1 over each node's 3 lightest links,
// 5 lightest, and every link of a small graph): the initial launch, then
// fifty generations of the first and last run, the middle one finished. What the snapshots hold of
// a wide run: its population area from the rows on (rows, tournament copies, order, fitness, work
// arrays).
std::vector<Snapshot> runWideBatch(const Form& form, const GaSettings& settings) {
  enum { runs = 3 };
  std::mt19937 rng(9);
  const WideCandidates cands[runs] = {wideCandidates(randomWideGraph(60, 2147483647, rng), 3),
                                      wideCandidates(randomWideGraph(50, 1000, rng), 5),
                                      wideCandidates(randomWideGraph(12, 20, rng), 0)};
  std::vector<HostWideRun> areas(runs);
  std::vector<BatchRun> table(runs);
  std::vector<BatchControl> control(runs);
  for (int b = 0; b < runs; ++b) {
    makeHostWideRun(cands[b], &areas[b]);
    BatchRun& r = table[b];
    std::memset(&r, 0, sizeof r);
    r.probNn = cands[b].n;
    r.probNl = int(cands[b].links.size());
    r.graphdensity = 0.1f + 0.2f * float(b);
    r.objvalhardness = b == 1 ? 1 : 0;
    for (unsigned& s : r.next) s = unsigned(rng());
    r.settings = settings;
    r.wide = reinterpret_cast<WideRun*>(areas[b].area.data());
    control[b] = BatchControl{0.02f + 0.01f * float(b), 0, 1, 0};
  }
  std::vector<Snapshot> out;
  auto launch = [&](const char* what, int kernel) {
    EXPECT_EQ(0, form.launch(kernel, runs, popSize, table.data(), control.data(), nullptr))
        << form.name << ", " << what;
    Snapshot s;
    s.after = what;
    for (const BatchRun& r : table) s.next.insert(s.next.end(), r.next, r.next + popSize);
    for (const HostWideRun& a : areas) {
      const unsigned char* from = reinterpret_cast<const unsigned char*>(a.layout.rows);
      const unsigned char* end =
          reinterpret_cast<const unsigned char*>(a.area.data() + a.area.size());
      s.bits.insert(s.bits.end(), from, end);
    }
    for (const BatchControl& c : control) s.wideBest.push_back(c.wideBest);
    out.push_back(std::move(s));
  };
  launch("batchWideInitial", kernelBatchWideInitial);
  control[1].active = 0;
  launch("batchWideGenerations, run 1 finished", kernelBatchWideGenerations);
  return out;
}

TEST(RaceCheckWideBatch, ThreadedFormLeavesWhatTheCpuFormLeaves) {
  // The design's settings, and every setting away from them with the start
  // from the spanning tree and the local search (which prunes first), without
  // and with the kick.
  const GaSettings other = settingsAwayFromDesign();
  GaSettings kicked = other;
  kicked.kick = 2;
  for (const GaSettings& s : {designGaSettings(), other, kicked}) {
    SCOPED_TRACE(gaSettingsText(s, true));
    gpuSetHostWorkers(3);
    const std::vector<Snapshot> cpu = runWideBatch(cpuForm, s);
    gpuSetHostWorkers(0);
    const std::vector<Snapshot> threaded = runWideBatch(threadedForm, s);
    expectSameRun(cpu, threaded);
  }
}

TEST(RaceCheckThreadedForm, LanesSeeEachOthersWritesAfterTheBarrier) {
  const unsigned blocks = 2, lanes = 128;
  std::vector<int> out(blocks * lanes, -1);
  ASSERT_EQ(0, threadform::launchNeighbourExchange(blocks, lanes, out.data()));
  for (unsigned b = 0; b < blocks; ++b)
    for (unsigned t = 0; t < lanes; ++t)
      EXPECT_EQ(int(1000 * b + 3 * ((t + 1) % lanes) + 1), out[b * lanes + t]) << b << " " << t;
}

TEST(RaceCheckThreadedForm, ReportsBrokenBlockRules) {
  // A barrier that half the lanes skip, and a lane that reads another lane's
  // per-lane value, both fail the launch.
  EXPECT_EQ(int(gpuErrorLaunchFailure), threadform::launchDivergentBarrier(128));
  std::vector<int> out(16);
  EXPECT_EQ(int(gpuErrorLaunchFailure), threadform::launchForeignPerLane(16, out.data()));
  EXPECT_EQ(0, threadform::launchNeighbourExchange(1, 16, out.data()));
}

}  // namespace
