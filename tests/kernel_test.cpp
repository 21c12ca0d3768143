// The kernels of the CPU form against the plain model: the same instance, the
// same seeds and the same population must give byte-identical populations,
// fitness values, generator states and best fitness.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "gpu/gpu.h"
#include "plain_ga.h"
#include "problem/chrom.h"

namespace {

struct Case {
  int nodes;
  int hardness;
  float density;
  int maxWeight;  // weights drawn from 1..maxWeight
  unsigned seed;
  bool shuffleLinks = false;  // edge table out of the order that edgeIndex numbers
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.nodes << " nodes, hardness " << c.hardness << ", density " << c.density
      << ", weights 1.." << c.maxWeight << ", seed " << c.seed
      << (c.shuffleLinks ? ", edge table shuffled" : "");
}

class KernelVsModel : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gpuSelectBackend("cpu"));
    const Case& c = GetParam();
    rng.seed(c.seed);
    const int edges = c.nodes * (c.nodes - 1) / 2;
    std::vector<int16_t> weights(edges);
    std::uniform_int_distribution<int> weight(1, c.maxWeight);
    for (int16_t& w : weights) w = int16_t(weight(rng));
    in = modelCompleteInstance(c.nodes, weights.data(), c.hardness, c.density);
    if (c.shuffleLinks) {
      // The connectivity search and the energy then disagree on which pair a
      // bit selects; each half must still follow its own rule.
      for (int e = in.probNl - 1; e > 0; --e) {
        const int f = int(rng() % unsigned(e + 1));
        for (int k = 0; k < 3; ++k) std::swap(in.link[e][k], in.link[f][k]);
      }
    }

    ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("probNn", &in.probNn, 4));
    ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("probNl", &in.probNl, 4));
    ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("probNlBytes", &in.probNlBytes, 4));
    ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("probLink", in.link, 6 * size_t(in.probNl)));
    ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("nIdx", in.nIdx, 4 * size_t(in.probNn - 1)));
    ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("objvalhardness", &in.objvalhardness, 4));
    ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("graphdensity", &in.graphdensity, 4));

    for (Chrom& r : hostPop) {
      void* p = nullptr;
      ASSERT_EQ(gpuSuccess, gpuMalloc(&p, size_t(in.probNlBytes)));
      r.lbit = static_cast<unsigned char*>(p);
      r.fit = 0;
    }
    ASSERT_EQ(gpuSuccess, gpuMalloc(&pop, sizeof hostPop));
    ASSERT_EQ(gpuSuccess, gpuMemcpy(pop, hostPop, sizeof hostPop, gpuMemcpyHostToDevice));
    ASSERT_EQ(gpuSuccess, gpuMalloc(&seeds, 512));
    ASSERT_EQ(gpuSuccess, gpuMalloc(&mut, 4));
    ASSERT_EQ(gpuSuccess, gpuMalloc(&best, 2));

    // Random bit strings (tails included) and random generator states.
    std::memset(&model, 0, sizeof model);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int t = 0; t < 128; ++t)
      for (int b = 0; b < in.probNlBytes; ++b) model.bits[t][b] = (unsigned char)byte(rng);
    uint32_t s[128];
    for (uint32_t& v : s) v = uint32_t(rng());
    upload(s);
  }

  void TearDown() override {
    for (Chrom& r : hostPop) gpuFree(r.lbit);
    gpuFree(pop);
    gpuFree(seeds);
    gpuFree(mut);
    gpuFree(best);
  }

  // Puts the model's bit strings and fit fields on the device and seeds both.
  void upload(const uint32_t s[128]) {
    for (int t = 0; t < 128; ++t) {
      ASSERT_EQ(gpuSuccess, gpuMemcpy(hostPop[t].lbit, model.bits[t], size_t(in.probNlBytes),
                                      gpuMemcpyHostToDevice));
      hostPop[t].fit = model.fit[t];
    }
    ASSERT_EQ(gpuSuccess, gpuMemcpy(pop, hostPop, sizeof hostPop, gpuMemcpyHostToDevice));
    ASSERT_EQ(gpuSuccess, gpuMemcpy(seeds, s, 512, gpuMemcpyHostToDevice));
    gpuLaunch(kernelSrand, 1, seeds);
    modelSrand(model, s);
  }

  // The device state equals the model's, byte for byte.
  void expectSameState(const char* after) {
    SCOPED_TRACE(after);
    uint32_t next[128];
    ASSERT_EQ(gpuSuccess, gpuMemcpyFromSymbol(next, "next", sizeof next));
    Chrom records[128];
    ASSERT_EQ(gpuSuccess, gpuMemcpy(records, pop, sizeof records, gpuMemcpyDeviceToHost));
    for (int t = 0; t < 128; ++t) {
      ASSERT_EQ(model.next[t], next[t]) << "stream " << t;
      ASSERT_EQ(model.fit[t], records[t].fit) << "record " << t;
      ASSERT_EQ(hostPop[t].lbit, records[t].lbit) << "record " << t;
      std::vector<unsigned char> bits(size_t(in.probNlBytes));
      ASSERT_EQ(gpuSuccess,
                gpuMemcpy(bits.data(), records[t].lbit, bits.size(), gpuMemcpyDeviceToHost));
      ASSERT_EQ(0, std::memcmp(model.bits[t], bits.data(), bits.size())) << "record " << t;
    }
  }

  unsigned short launchGeneration(float mutProb) {
    EXPECT_EQ(gpuSuccess, gpuMemcpy(mut, &mutProb, 4, gpuMemcpyHostToDevice));
    gpuLaunch(kernelGAallInOneOperator, 128, pop, mut, best);
    unsigned short b = 0;
    EXPECT_EQ(gpuSuccess, gpuMemcpy(&b, best, 2, gpuMemcpyDeviceToHost));
    return b;
  }

  std::mt19937 rng;
  ModelInstance in;
  ModelState model;
  Chrom hostPop[128];
  void* pop = nullptr;
  void* seeds = nullptr;
  void* mut = nullptr;
  void* best = nullptr;
};

TEST_P(KernelVsModel, RandomPopulationInitialEvaluationAndGenerations) {
  gpuLaunch(kernelGenerateRandomPopulation, 128, pop);
  modelGenerateRandomPopulation(in, model);
  expectSameState("generateRandomPopulation");

  gpuLaunch(kernelEvpopInitial, 128, pop);
  modelEvpopInitial(in, model);
  expectSameState("evpopInitial");

  for (float mutProb : {0.005f, 0.05f, 0.0f}) {
    const unsigned short got = launchGeneration(mutProb);
    uint16_t want = 0;
    modelGAallInOneOperator(in, model, mutProb, &want);
    EXPECT_EQ(want, got) << "mutation probability " << mutProb;
    expectSameState("GAallInOneOperator");
  }
}

TEST_P(KernelVsModel, ArbitraryBitStringsAndTails) {
  // Bit strings as the random bytes of SetUp left them, tails included: the
  // kernels must keep every bit past probNl in the device strings.
  gpuLaunch(kernelEvpopInitial, 128, pop);
  modelEvpopInitial(in, model);
  expectSameState("evpopInitial");
  const unsigned short got = launchGeneration(0.02f);
  uint16_t want = 0;
  modelGAallInOneOperator(in, model, 0.02f, &want);
  EXPECT_EQ(want, got);
  expectSameState("GAallInOneOperator");
}

INSTANTIATE_TEST_SUITE_P(Instances, KernelVsModel,
                         ::testing::Values(Case{3, 0, 0.5f, 9, 1}, Case{3, 2, 0.9f, 3, 2},
                                           Case{10, 0, 0.3f, 1000, 3}, Case{10, 1, 0.1f, 1000, 4},
                                           Case{10, 2, 0.7f, 2, 5}, Case{20, 1, 0.5f, 5, 6},
                                           Case{45, 0, 0.3f, 1000, 7}, Case{45, 0, 0.9f, 32767, 8},
                                           Case{45, 1, 0.1f, 3, 9}, Case{45, 2, 0.5f, 1000, 10},
                                           Case{44, 0, 0.5f, 1000, 11}, Case{10, 0, 1.0f, 50, 14},
                                           Case{12, 1, 1.5f, 50, 15}, Case{10, 0, 0.0f, 50, 16},
                                           Case{10, 0, -0.5f, 50, 17},
                                           Case{10, 0, 0.6f, 1000, 12, true},
                                           Case{45, 1, 0.4f, 1000, 13, true}));

}  // namespace
