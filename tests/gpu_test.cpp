// The CUDA form against the CPU form: each kernel runs in both forms on the
// same inputs, and the generator states, bit strings, fitness values and best
// fitness they leave must agree byte for byte. The runtime layer's own checks
// of the CUDA backend are tested too; they need no device.
#include "gpu/gpu.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "device/ga.h"
#include "gpu/backend.h"
#include "plain_ga.h"
#include "problem/chrom.h"

namespace {

#define GPU_OK(call)                                                                     \
  do {                                                                                   \
    const int gpuResult_ = (call);                                                       \
    ASSERT_EQ(gpuSuccess, gpuResult_) << #call << ": " << gpuGetErrorString(gpuResult_); \
  } while (0)

// ---------------------------------------------------------------------------
// The CUDA backend's own checks, made before the runtime is asked anything.

TEST(CudaSymbols, TableMatchesTheCpuForm) {
  for (int i = 0; i < deviceSymbolCount; ++i) {
    const DeviceSymbol& c = cpuform::deviceSymbols[i];
    const DeviceSymbol& g = cudaform::deviceSymbols[i];
    EXPECT_STREQ(c.name, g.name) << "entry " << i;
    EXPECT_EQ(c.bytes, g.bytes) << c.name;
    EXPECT_EQ(c.constant, g.constant) << c.name;
    EXPECT_NE(g.address, nullptr) << g.name;
    EXPECT_NE(g.address, c.address) << g.name << ": the forms must not share a variable";
  }
}

TEST(CudaSymbols, CopiesAreCheckedAgainstTheVariable) {
  ASSERT_TRUE(gpuSelectBackend("cuda"));
  unsigned char buf[8] = {};
  EXPECT_EQ(gpuErrorInvalidSymbol, gpuMemcpyToSymbol("noSuchVariable", buf, 4));
  EXPECT_EQ(gpuErrorInvalidSymbol, gpuMemcpyFromSymbol(buf, "noSuchVariable", 4));
  EXPECT_EQ(gpuErrorInvalidSymbol, gpuMemcpyToSymbol(nullptr, buf, 4));
  // probNn is one int: any byte beyond it is refused.
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyToSymbol("probNn", buf, 8));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyToSymbol("probNn", buf, 4, 4));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyToSymbol("probNn", buf, 1, 5));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyFromSymbol(buf, "probNn", 8));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyFromSymbol(buf, "probNn", 2, 3));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyFromSymbol(buf, "restrictRules", 4, size_t(-4)));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyToSymbol("probNn", nullptr, 4));
}

TEST(CudaBackend, WithoutDeviceEveryQueryFailsWithTheRuntimeText) {
  if (cudaBackend.available()) GTEST_SKIP() << "a CUDA device is present; this checks its absence";
  ASSERT_TRUE(gpuSelectBackend("cuda"));
  int count = -1;
  const int e = gpuGetDeviceCount(&count);
  EXPECT_NE(gpuSuccess, e);
  const std::string text = gpuGetErrorString(e);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(std::string::npos, text.find("unrecognized")) << text;
  void* p = nullptr;
  EXPECT_NE(gpuSuccess, gpuMalloc(&p, 64));
}

// ---------------------------------------------------------------------------
// The CUDA backend on a device.

const char* const noDevice =
    "no usable CUDA device: the runtime reports none (or no driver), so the CUDA backend cannot "
    "be run here";

TEST(CudaBackendOnDevice, PropertiesComeFromTheRuntime) {
  if (!cudaBackend.available()) GTEST_SKIP() << noDevice;
  ASSERT_TRUE(gpuSelectBackend("cuda"));
  int count = 0;
  GPU_OK(gpuGetDeviceCount(&count));
  ASSERT_GE(count, 1);
  gpuDeviceProp p;
  std::memset(&p, 0xAB, sizeof p);
  GPU_OK(gpuGetDeviceProperties(&p, 0));
  EXPECT_GT(std::strlen(p.name), 0u);
  EXPECT_GE(p.major * 10 + p.minor, 75);
  EXPECT_GT(p.clockRate, 0);
  EXPECT_TRUE(p.deviceOverlap == 0 || p.deviceOverlap == 1) << p.deviceOverlap;
  EXPECT_TRUE(p.kernelExecTimeoutEnabled == 0 || p.kernelExecTimeoutEnabled == 1);
  EXPECT_EQ(32, p.warpSize);
  EXPECT_GE(p.maxThreadsPerBlock, popSize);
  EXPECT_GE(p.sharedMemPerBlock, size_t(48 * 1024));
  EXPECT_GE(p.totalConstMem, size_t(64 * 1024));
  EXPECT_GT(p.totalGlobalMem, size_t(1) << 30);
  EXPECT_GE(p.multiProcessorCount, 1);
  EXPECT_EQ(gpuErrorInvalidDevice, gpuGetDeviceProperties(&p, count));
}

TEST(CudaBackendOnDevice, LaunchThatNeverRanFailsTheNextCopy) {
  if (!cudaBackend.available()) GTEST_SKIP() << noDevice;
  ASSERT_TRUE(gpuSelectBackend("cuda"));
  void* pop = nullptr;
  GPU_OK(gpuMalloc(&pop, sizeof(Chrom) * popSize));
  int word = 0;
  // The generation kernels need the whole block.
  EXPECT_EQ(gpuErrorInvalidConfiguration, gpuLaunch(kernelEvpopInitial, popSize / 2, pop));
  EXPECT_EQ(gpuErrorInvalidConfiguration,
            gpuMemcpy(&word, pop, sizeof word, gpuMemcpyDeviceToHost));
  EXPECT_EQ(gpuSuccess, gpuMemcpy(&word, pop, sizeof word, gpuMemcpyDeviceToHost));
  // A block of no lanes is refused by the runtime itself.
  EXPECT_EQ(gpuErrorInvalidConfiguration, gpuLaunch(kernelSrand, 0, pop));
  EXPECT_EQ(gpuErrorInvalidConfiguration, gpuMemcpyFromSymbol(&word, "probNn", sizeof word));
  EXPECT_EQ(gpuSuccess, gpuMemcpyFromSymbol(&word, "probNn", sizeof word));
  EXPECT_EQ(gpuSuccess, gpuFree(pop));
}

// ---------------------------------------------------------------------------
// Both forms on the same inputs.

struct Case {
  int nodes;
  int hardness;
  float density;
  uint32_t seed;
};

std::vector<Case> cases() {
  std::vector<Case> out;
  for (int nodes : {10, 45}) {
    for (int hardness = 0; hardness <= 2; ++hardness) {
      std::mt19937 g(uint32_t(1000 * nodes + hardness));
      const float density = 0.1f + 0.8f * std::uniform_real_distribution<float>(0, 1)(g);
      out.push_back({nodes, hardness, density, uint32_t(g())});
    }
  }
  // A density above one takes every draw: all bit strings alike, and every
  // neighbour a duplicate to repair.
  out.push_back({45, 1, 1.25f, 4007u});
  return out;
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.nodes << " nodes, hardness " << c.hardness << ", density " << c.density << ", seed "
      << c.seed;
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  std::ostringstream s;
  s << "n" << info.param.nodes << "_h" << info.param.hardness << "_d"
    << int(info.param.density * 1000) << "_s" << info.param.seed;
  return s.str();
}

// A complete instance with random weights 1..1000, laid out as the loader
// uploads it; the tables are sent whole so that no earlier case shows through.
struct Instance {
  int nn = 0, nl = 0, nlBytes = 0, hardness = 0;
  float density = 0;
  Link links[maxEdges] = {};
  int nIdx[maxNodes] = {};
};

Instance makeInstance(const Case& c, std::mt19937& g) {
  std::vector<int16_t> weights(size_t(c.nodes * (c.nodes - 1) / 2));
  for (int16_t& w : weights) w = int16_t(std::uniform_int_distribution<int>(1, 1000)(g));
  const ModelInstance m = modelCompleteInstance(c.nodes, weights.data(), c.hardness, c.density);
  Instance in;
  in.nn = m.probNn;
  in.nl = m.probNl;
  in.nlBytes = m.probNlBytes;
  in.hardness = c.hardness;
  in.density = c.density;
  for (int k = 0; k < in.nl; ++k) in.links[k] = {m.link[k][0], m.link[k][1], m.link[k][2]};
  for (int i = 0; i < in.nn - 1; ++i) in.nIdx[i] = m.nIdx[i];
  return in;
}

// What a kernel leaves behind, as the host reads it back.
struct State {
  std::vector<uint32_t> next = std::vector<uint32_t>(popSize);
  std::vector<int32_t> fit = std::vector<int32_t>(popSize);
  std::vector<unsigned char> bits;  // record t's bit string at t * probNlBytes
  uint16_t best = 0;
  float mutProb = 0;
};

State randomState(const Instance& in, std::mt19937& g) {
  State s;
  for (uint32_t& v : s.next) v = g();
  for (int32_t& f : s.fit) f = int32_t(g());
  s.bits.resize(size_t(popSize) * size_t(in.nlBytes));
  // Bits at the run's density, so that the low densities give infeasible
  // topologies and duplicates to repair; the bytes past probNl are noise.
  std::bernoulli_distribution bit(in.density);
  for (int t = 0; t < popSize; ++t) {
    unsigned char* b = &s.bits[size_t(t) * size_t(in.nlBytes)];
    for (int i = 0; i < in.nlBytes; ++i) b[i] = (unsigned char)g();
    for (int e = 0; e < in.nl; ++e) {
      const unsigned m = 1u << (e & 7);
      b[e >> 3] = (unsigned char)(bit(g) ? b[e >> 3] | m : b[e >> 3] & ~m);
    }
  }
  s.best = uint16_t(g());
  s.mutProb = std::uniform_real_distribution<float>(0.001f, 0.08f)(g);
  return s;
}

// One form's device buffers, laid out as the run driver lays them out.
class Form {
 public:
  explicit Form(const char* name) : name_(name) {}
  ~Form() {
    if (!pop_ || !gpuSelectBackend(name_)) return;
    for (void* p : strings_) gpuFree(p);
    gpuFree(pop_);
    gpuFree(seeds_);
    gpuFree(best_);
    gpuFree(mutProb_);
  }
  const char* name() const { return name_; }

  void setUp(const Instance& in) {
    use();
    in_ = in;
    GPU_OK(gpuMemcpyToSymbol("probNn", &in.nn, sizeof in.nn));
    GPU_OK(gpuMemcpyToSymbol("probNl", &in.nl, sizeof in.nl));
    GPU_OK(gpuMemcpyToSymbol("probNlBytes", &in.nlBytes, sizeof in.nlBytes));
    GPU_OK(gpuMemcpyToSymbol("probLink", in.links, sizeof in.links));
    GPU_OK(gpuMemcpyToSymbol("nIdx", in.nIdx, sizeof in.nIdx));
    GPU_OK(gpuMemcpyToSymbol("objvalhardness", &in.hardness, sizeof in.hardness));
    GPU_OK(gpuMemcpyToSymbol("graphdensity", &in.density, sizeof in.density));
    GPU_OK(gpuMalloc(&seeds_, sizeof(uint32_t) * popSize));
    GPU_OK(gpuMalloc(&pop_, sizeof(Chrom) * popSize));
    GPU_OK(gpuMalloc(&best_, sizeof(uint16_t)));
    GPU_OK(gpuMalloc(&mutProb_, sizeof(float)));
    strings_.assign(popSize, nullptr);
    for (void*& p : strings_) GPU_OK(gpuMalloc(&p, size_t(in.nlBytes)));
  }

  void put(const State& s) {
    use();
    GPU_OK(gpuMemcpyToSymbol("next", s.next.data(), sizeof(uint32_t) * popSize));
    Chrom records[popSize];
    for (int t = 0; t < popSize; ++t) {
      records[t].lbit = static_cast<unsigned char*>(strings_[size_t(t)]);
      records[t].fit = s.fit[size_t(t)];
      GPU_OK(gpuMemcpy(strings_[size_t(t)], &s.bits[size_t(t) * size_t(in_.nlBytes)],
                       size_t(in_.nlBytes), gpuMemcpyHostToDevice));
    }
    GPU_OK(gpuMemcpy(pop_, records, sizeof records, gpuMemcpyHostToDevice));
    GPU_OK(gpuMemcpy(best_, &s.best, sizeof s.best, gpuMemcpyHostToDevice));
    GPU_OK(gpuMemcpy(mutProb_, &s.mutProb, sizeof s.mutProb, gpuMemcpyHostToDevice));
  }

  void putSeeds(const std::vector<uint32_t>& seeds) {
    use();
    GPU_OK(gpuMemcpy(seeds_, seeds.data(), sizeof(uint32_t) * popSize, gpuMemcpyHostToDevice));
  }

  void launch(gpuKernel kernel) {
    use();
    const unsigned threads = kernel == kernelSrand ? 1u : unsigned(popSize);
    GPU_OK(gpuLaunch(kernel, threads, kernel == kernelSrand ? seeds_ : pop_, mutProb_, best_));
  }

  void get(State& s) {
    use();
    GPU_OK(gpuMemcpyFromSymbol(s.next.data(), "next", sizeof(uint32_t) * popSize));
    Chrom records[popSize];
    GPU_OK(gpuMemcpy(records, pop_, sizeof records, gpuMemcpyDeviceToHost));
    s.bits.assign(size_t(popSize) * size_t(in_.nlBytes), 0);
    for (int t = 0; t < popSize; ++t) {
      // The kernels write the fitness and the string, never the address.
      ASSERT_EQ(static_cast<void*>(records[t].lbit), strings_[size_t(t)])
          << name_ << ": record " << t << " lost its string";
      s.fit[size_t(t)] = records[t].fit;
      GPU_OK(gpuMemcpy(&s.bits[size_t(t) * size_t(in_.nlBytes)], strings_[size_t(t)],
                       size_t(in_.nlBytes), gpuMemcpyDeviceToHost));
    }
    GPU_OK(gpuMemcpy(&s.best, best_, sizeof s.best, gpuMemcpyDeviceToHost));
    GPU_OK(gpuMemcpy(&s.mutProb, mutProb_, sizeof s.mutProb, gpuMemcpyDeviceToHost));
  }

 private:
  void use() { ASSERT_TRUE(gpuSelectBackend(name_)) << name_; }

  const char* name_;
  Instance in_;
  void* seeds_ = nullptr;
  void* pop_ = nullptr;
  void* best_ = nullptr;
  void* mutProb_ = nullptr;
  std::vector<void*> strings_;
};

// Describes the first difference between the two forms' states, or "" when
// they agree byte for byte.
std::string difference(const State& cpu, const State& cuda, int nlBytes) {
  std::ostringstream s;
  for (int t = 0; t < popSize; ++t) {
    if (cpu.next[size_t(t)] != cuda.next[size_t(t)]) {
      s << "next[" << t << "]: cpu " << cpu.next[size_t(t)] << ", cuda " << cuda.next[size_t(t)];
      return s.str();
    }
  }
  for (int t = 0; t < popSize; ++t) {
    if (cpu.fit[size_t(t)] != cuda.fit[size_t(t)]) {
      s << "fit of record " << t << ": cpu " << cpu.fit[size_t(t)] << ", cuda "
        << cuda.fit[size_t(t)];
      return s.str();
    }
  }
  for (size_t i = 0; i < cpu.bits.size(); ++i) {
    if (cpu.bits[i] != cuda.bits[i]) {
      s << "byte " << i % size_t(nlBytes) << " of record " << i / size_t(nlBytes)
        << "'s string: cpu " << int(cpu.bits[i]) << ", cuda " << int(cuda.bits[i]);
      return s.str();
    }
  }
  if (cpu.best != cuda.best) {
    s << "cBest: cpu " << cpu.best << ", cuda " << cuda.best;
    return s.str();
  }
  if (std::memcmp(&cpu.mutProb, &cuda.mutProb, sizeof cpu.mutProb) != 0) {
    s << "mutation probability: cpu " << cpu.mutProb << ", cuda " << cuda.mutProb;
    return s.str();
  }
  return "";
}

class FormsAgree : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    if (!cudaBackend.available()) GTEST_SKIP() << noDevice;
    g_.seed(GetParam().seed);
    in_ = makeInstance(GetParam(), g_);
    cpu_.setUp(in_);
    ASSERT_FALSE(HasFatalFailure());
    cuda_.setUp(in_);
  }

  // Runs the kernel in each form, both started from s (and from the given
  // seeds for k_srand), and compares what they leave; returns the CPU form's.
  State runBoth(const State& s, gpuKernel kernel, const std::vector<uint32_t>& seeds = {}) {
    State out[2];
    Form* forms[2] = {&cpu_, &cuda_};
    for (int f = 0; f < 2; ++f) {
      forms[f]->put(s);
      if (!seeds.empty()) forms[f]->putSeeds(seeds);
      forms[f]->launch(kernel);
      forms[f]->get(out[f]);
      if (HasFatalFailure()) return out[0];
    }
    const std::string d = difference(out[0], out[1], in_.nlBytes);
    EXPECT_EQ("", d) << "kernel " << int(kernel) << " differs between the forms";
    return out[0];
  }

  std::mt19937 g_;
  Instance in_;
  Form cpu_{"cpu"};
  Form cuda_{"cuda"};
};

TEST_P(FormsAgree, SeedingTheStreams) {
  const State s = randomState(in_, g_);
  std::vector<uint32_t> seeds(popSize);
  for (uint32_t& v : seeds) v = g_();
  const State after = runBoth(s, kernelSrand, seeds);
  EXPECT_EQ(seeds, after.next);
}

TEST_P(FormsAgree, RandomPopulation) {
  const State s = randomState(in_, g_);
  const State after = runBoth(s, kernelGenerateRandomPopulation);
  EXPECT_NE(s.next, after.next) << "the kernel drew nothing";
}

TEST_P(FormsAgree, InitialEvaluation) {
  const State after = runBoth(randomState(in_, g_), kernelEvpopInitial);
  for (int t = 1; t < popSize; ++t)
    EXPECT_LE(uint16_t(after.fit[size_t(t - 1)]), uint16_t(after.fit[size_t(t)]))
        << "not sorted at record " << t;
}

TEST_P(FormsAgree, GenerationLaunches) {
  // A realistic start: a random population scored and sorted; then launches
  // one after another, each from where the last one left the population.
  State s = runBoth(randomState(in_, g_), kernelEvpopInitial);
  for (int launch = 0; launch < 3 && !HasFailure(); ++launch) {
    s = runBoth(s, kernelGAallInOneOperator);
    EXPECT_EQ(uint16_t(s.fit[0]), s.best) << "cBest is not the best fitness";
  }
}

INSTANTIATE_TEST_SUITE_P(CompleteGraphs, FormsAgree, ::testing::ValuesIn(cases()), caseName);

}  // namespace
