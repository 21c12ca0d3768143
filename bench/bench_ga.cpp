// Speed of the CPU form: one 50-generation launch on the largest instance (45
// nodes, 990 edges, density 0.3) at hardness 0 and 2, one evaluation alone,
// and the plain model of a launch for comparison.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "device/fitness.h"
#include "gpu/gpu.h"
#include "plain_ga.h"
#include "problem/chrom.h"

namespace {

ModelInstance benchInstance(int hardness) {
  std::mt19937 rng(2026);
  std::uniform_int_distribution<int> weight(1, 1000);
  std::vector<int16_t> weights(990);
  for (int16_t& w : weights) w = int16_t(weight(rng));
  return modelCompleteInstance(45, weights.data(), hardness, 0.3f);
}

// A population on the emulated device, initialised as a run does it.
struct DevicePopulation {
  Chrom hostPop[128];
  void* pop = nullptr;
  void* mut = nullptr;
  void* best = nullptr;

  explicit DevicePopulation(const ModelInstance& in) {
    gpuSelectBackend("cpu");
    gpuMemcpyToSymbol("probNn", &in.probNn, 4);
    gpuMemcpyToSymbol("probNl", &in.probNl, 4);
    gpuMemcpyToSymbol("probNlBytes", &in.probNlBytes, 4);
    gpuMemcpyToSymbol("probLink", in.link, 6 * size_t(in.probNl));
    gpuMemcpyToSymbol("nIdx", in.nIdx, 4 * size_t(in.probNn - 1));
    gpuMemcpyToSymbol("objvalhardness", &in.objvalhardness, 4);
    gpuMemcpyToSymbol("graphdensity", &in.graphdensity, 4);
    unsigned seeds[128];
    for (int i = 0; i < 128; ++i) seeds[i] = unsigned(i * 7919 + 1);
    void* s = nullptr;
    gpuMalloc(&s, sizeof seeds);
    gpuMemcpy(s, seeds, sizeof seeds, gpuMemcpyHostToDevice);
    gpuLaunch(kernelSrand, 1, s);
    for (Chrom& r : hostPop) {
      void* p = nullptr;
      gpuMalloc(&p, size_t(in.probNlBytes));
      r.lbit = static_cast<unsigned char*>(p);
    }
    gpuMalloc(&pop, sizeof hostPop);
    gpuMemcpy(pop, hostPop, sizeof hostPop, gpuMemcpyHostToDevice);
    gpuMalloc(&mut, 4);
    gpuMalloc(&best, 2);
    const float m = 0.005f;
    gpuMemcpy(mut, &m, 4, gpuMemcpyHostToDevice);
    gpuLaunch(kernelGenerateRandomPopulation, 128, pop);
    gpuLaunch(kernelEvpopInitial, 128, pop);
    gpuFree(s);
  }
  ~DevicePopulation() {
    for (Chrom& r : hostPop) gpuFree(r.lbit);
    gpuFree(pop);
    gpuFree(mut);
    gpuFree(best);
  }
};

void BM_GAallInOneOperator(benchmark::State& state) {
  const ModelInstance in = benchInstance(int(state.range(0)));
  DevicePopulation d(in);
  for (auto _ : state) {
    gpuLaunch(kernelGAallInOneOperator, 128, d.pop, d.mut, d.best);
    unsigned short b;
    gpuMemcpy(&b, d.best, 2, gpuMemcpyDeviceToHost);
    benchmark::DoNotOptimize(b);
  }
  state.counters["generations/s"] =
      benchmark::Counter(50.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GAallInOneOperator)
    ->Arg(0)
    ->Arg(2)
    ->ArgName("hardness")
    ->Unit(benchmark::kMillisecond);

// The plain model of the same launch: bit by bit, as the algorithm reads.
void BM_PlainModelLaunch(benchmark::State& state) {
  const ModelInstance in = benchInstance(int(state.range(0)));
  ModelState s;
  std::memset(&s, 0, sizeof s);
  uint32_t seeds[128];
  for (int i = 0; i < 128; ++i) seeds[i] = uint32_t(i * 7919 + 1);
  modelSrand(s, seeds);
  modelGenerateRandomPopulation(in, s);
  modelEvpopInitial(in, s);
  for (auto _ : state) {
    uint16_t b = 0;
    modelGAallInOneOperator(in, s, 0.005f, &b);
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_PlainModelLaunch)->Arg(0)->Arg(2)->ArgName("hardness")->Unit(benchmark::kMillisecond);

// One evaluation of a slot, hardness 0, on random topologies of density 0.3.
void BM_objectiveValue(benchmark::State& state) {
  const ModelInstance in = benchInstance(0);
  DevicePopulation d(in);
  using namespace cpuform;
  static BlockPop sp;
  std::memset(&sp, 0, sizeof sp);
  for (int t = 0; t < blockLanes; ++t) viewNamedRun(sp.run, t);
  for (int v = 0; v < in.probNn; ++v) buildFitnessTables(sp, v);
  std::mt19937 rng(7);
  std::bernoulli_distribution bit(0.3);
  for (int t = 0; t < 128; ++t) {
    sp.sidx[t] = (unsigned char)t;
    for (int e = 0; e < in.probNl; ++e)
      if (bit(rng)) sp.slbit[t][e >> 6] |= 1ull << (e & 63);
  }
  unsigned streams[128] = {};
  int t = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(objectiveValue(sp, slotOf(sp, t), streams, t));
    t = (t + 1) & 127;
  }
}
BENCHMARK(BM_objectiveValue)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
