// Checks the plain GA model against hand-worked numbers, so that it can serve
// as the reference for the kernels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "plain_ga.h"

namespace {

// Complete instance of n nodes with every weight equal to w.
ModelInstance uniformInstance(int n, int16_t w, int hardness = 0, float density = 0.5f) {
  std::vector<int16_t> weights(n * (n - 1) / 2, w);
  return modelCompleteInstance(n, weights.data(), hardness, density);
}

// Bit string selecting the given node pairs.
std::vector<unsigned char> topology(const ModelInstance& in,
                                    std::initializer_list<std::pair<int, int>> pairs) {
  std::vector<unsigned char> bits(126, 0);
  for (const auto& p : pairs) {
    int k = modelEdgeIndex(in, p.first, p.second);
    bits[k >> 3] = static_cast<unsigned char>(bits[k >> 3] | (1u << (k & 7)));
  }
  return bits;
}

int32_t fitnessOf(const ModelInstance& in, const std::vector<unsigned char>& bits) {
  uint32_t next[128] = {};
  return modelObjectiveValue(in, bits.data(), next, 0);
}

// Advances a copy of stream idx by `steps` draws of lane `lane`.
uint32_t stepped(uint32_t state, int idx, int lane, int steps) {
  uint32_t next[128] = {};
  next[idx] = state;
  for (int i = 0; i < steps; ++i) modelDevRand(next, idx, lane);
  return next[idx];
}

// Block whose slot i carries the tag byte i in its last byte.
ModelBlock taggedBlock() {
  ModelBlock b;
  std::memset(&b, 0, sizeof b);
  for (int i = 0; i < 128; ++i) b.slbit[i][124] = static_cast<unsigned char>(i);
  return b;
}

std::vector<int> tags(const ModelBlock& b) {
  std::vector<int> out;
  for (int i = 0; i < 128; ++i) out.push_back(b.slbit[i][124]);
  return out;
}

TEST(ModelRandom, StreamsFollowTheGeneratorWithLaneIncrement) {
  uint32_t next[128] = {};
  next[0] = 1;
  EXPECT_EQ(modelDevRand(next, 0, 0), 16838u);
  EXPECT_EQ(next[0], 1103527590u);
  EXPECT_EQ(modelDevRand(next, 0, 0), 5758u);
  EXPECT_EQ(next[0], 2524885223u);
  EXPECT_EQ(modelDevRand(next, 0, 0), 10113u);
  EXPECT_EQ(next[0], 662824084u);

  next[5] = 1;
  EXPECT_EQ(modelDevRand(next, 5, 5), 16838u);
  EXPECT_EQ(next[5], 1103527595u);
  EXPECT_EQ(modelDevRand(next, 5, 5), 24414u);
  EXPECT_EQ(modelDevRand(next, 5, 5), 15758u);
  EXPECT_EQ(next[1], 0u);  // only the named stream moves

  // The increment comes from the lane that steps, not from the stream.
  next[7] = 1;
  modelDevRand(next, 7, 0);
  EXPECT_EQ(next[7], 1103527590u);
  next[0] = 1;
  modelDevRand(next, 0, 5);
  EXPECT_EQ(next[0], 1103527595u);
}

TEST(ModelFitness, HandMadeTopologies) {
  // Three nodes: w01 = 5, w02 = 3, w12 = 7.
  const int16_t w3[] = {5, 3, 7};
  ModelInstance tri = modelCompleteInstance(3, w3, 0, 0.5f);
  EXPECT_EQ(fitnessOf(tri, topology(tri, {{0, 1}, {1, 2}})), 19);
  EXPECT_EQ(fitnessOf(tri, topology(tri, {{0, 1}, {1, 2}, {0, 2}})), 19);

  ModelInstance four = uniformInstance(4, 10);
  EXPECT_EQ(fitnessOf(four, topology(four, {{0, 1}, {2, 3}})), 65000);
  EXPECT_EQ(fitnessOf(four, topology(four, {{1, 2}, {1, 3}, {2, 3}})), 65000);
  EXPECT_EQ(fitnessOf(four, topology(four, {})), 65000);
  EXPECT_EQ(fitnessOf(four, topology(four, {{0, 3}, {3, 1}, {1, 2}})), 40);

  // A weight that is not positive never raises a node's power.
  const int16_t wneg[] = {-5};
  ModelInstance pair = modelCompleteInstance(2, wneg, 0, 0.5f);
  EXPECT_EQ(fitnessOf(pair, topology(pair, {{0, 1}})), 0);
}

TEST(ModelFitness, FeasibleEnergyIsCappedBelowTheInfeasibleValue) {
  // Path 0-1-2-3: energy = w01 + 2 * w12 + w23.
  const int16_t w70000[] = {10000, 0, 0, 25000, 0, 10000};
  ModelInstance big = modelCompleteInstance(4, w70000, 0, 0.5f);
  EXPECT_EQ(fitnessOf(big, topology(big, {{0, 1}, {1, 2}, {2, 3}})), 64999);

  const int16_t w65000[] = {10000, 0, 0, 22500, 0, 10000};
  ModelInstance edge = modelCompleteInstance(4, w65000, 0, 0.5f);
  EXPECT_EQ(fitnessOf(edge, topology(edge, {{0, 1}, {1, 2}, {2, 3}})), 64999);

  const int16_t w64998[] = {10000, 0, 0, 22499, 0, 10000};
  ModelInstance below = modelCompleteInstance(4, w64998, 0, 0.5f);
  EXPECT_EQ(fitnessOf(below, topology(below, {{0, 1}, {1, 2}, {2, 3}})), 64998);
}

TEST(ModelFitness, EdgeIndexOnFourNodes) {
  ModelInstance in = uniformInstance(4, 1);
  EXPECT_EQ(in.nIdx[0], 0);
  EXPECT_EQ(in.nIdx[1], 3);
  EXPECT_EQ(in.nIdx[2], 5);
  EXPECT_EQ(modelEdgeIndex(in, 2, 3), 5);
  EXPECT_EQ(modelEdgeIndex(in, 3, 1), 4);
  EXPECT_EQ(modelEdgeIndex(in, 0, 1), 0);
  EXPECT_EQ(modelEdgeIndex(in, 1, 0), 0);

  in.probNl = 5;
  EXPECT_EQ(modelEdgeIndex(in, 2, 3), -1);
  // The pair (2,3) can no longer link node 3 in.
  EXPECT_EQ(fitnessOf(in, topology(in, {{0, 1}, {1, 2}})), 65000);
}

TEST(ModelFitness, HardnessWorkStepsOnlyTheCallingLanesStream) {
  ModelInstance in = uniformInstance(10, 4, 1);
  std::vector<unsigned char> all(126, 0xFF);
  uint32_t next[128];
  for (int i = 0; i < 128; ++i) next[i] = 1000u + i;
  EXPECT_EQ(modelObjectiveValue(in, all.data(), next, 3), 40);
  for (int i = 0; i < 128; ++i) {
    EXPECT_EQ(next[i], i == 3 ? stepped(1003u, 3, 3, 20) : 1000u + i) << "stream " << i;
  }

  for (int hardness : {0, -2}) {
    in.objvalhardness = hardness;
    uint32_t before = next[3];
    EXPECT_EQ(modelObjectiveValue(in, all.data(), next, 3), 40);
    EXPECT_EQ(next[3], before);
  }

  // 45^6 wraps to a negative count: no step at all.
  ModelInstance wide = uniformInstance(45, 4, 6);
  uint32_t before = next[7];
  EXPECT_EQ(modelObjectiveValue(wide, all.data(), next, 7), 45 * 4);
  EXPECT_EQ(next[7], before);
}

TEST(ModelSort, AlternatingFitness) {
  ModelBlock b = taggedBlock();
  for (int i = 0; i < 128; ++i) b.sfit[i] = static_cast<uint16_t>(i % 2);
  modelBitonicSort(b);
  std::vector<int> expected;
  for (int i = 0; i <= 126; i += 2) expected.push_back(i);
  for (int i = 127; i >= 1; i -= 2) expected.push_back(i);
  EXPECT_EQ(tags(b), expected);
}

TEST(ModelSort, SingleWorstAtSlotZero) {
  ModelBlock b = taggedBlock();
  b.sfit[0] = 1;
  modelBitonicSort(b);
  std::vector<int> expected = {1};
  for (int m = 2; m <= 64; m *= 2) {
    expected.push_back(2 * m - 1);
    for (int i = m; i <= 2 * m - 2; ++i) expected.push_back(i);
  }
  expected.push_back(0);
  EXPECT_EQ(tags(b), expected);
  EXPECT_EQ(b.sfit[127], 1);
}

TEST(ModelSort, EqualValuesNeverMove) {
  ModelBlock b = taggedBlock();
  for (int i = 0; i < 128; ++i) b.sfit[i] = 65000;
  modelBitonicSort(b);
  for (int i = 0; i < 128; ++i) EXPECT_EQ(b.slbit[i][124], i);
}

TEST(ModelSort, WholeSlotsTravelWithTheirFitness) {
  ModelBlock b = taggedBlock();
  uint32_t next[128] = {42};
  for (int i = 0; i < 128; ++i) {
    b.sfit[i] = static_cast<uint16_t>(modelDevRand(next, 0, 0) % 50);
    if (i % 9 == 0) b.sfit[i] = 65000;
    for (int k = 0; k < 124; ++k) b.slbit[i][k] = static_cast<unsigned char>(i * 7 + k);
  }
  ModelBlock before = b;
  modelBitonicSort(b);
  for (int i = 0; i < 128; ++i) {
    if (i > 0) {
      EXPECT_LE(b.sfit[i - 1], b.sfit[i]);
    }
    int from = b.slbit[i][124];
    EXPECT_EQ(b.sfit[i], before.sfit[from]);
    EXPECT_EQ(std::memcmp(b.slbit[i], before.slbit[from], 125), 0);
  }
  std::vector<int> seen = tags(b);
  std::sort(seen.begin(), seen.end());
  for (int i = 0; i < 128; ++i) EXPECT_EQ(seen[i], i);
}

TEST(ModelRepair, AllEqualRefillsEverySlotButTheFirst) {
  // Density 0: a refilled slot has all edge bits clear and scores 65000.
  ModelInstance in = uniformInstance(5, 3, 1, 0.0f);  // 10 edges; P = 5, so 10 steps
  ModelBlock b = taggedBlock();
  for (int i = 0; i < 128; ++i) {
    b.sfit[i] = 15;
    b.slbit[i][0] = 0xFF;
    b.slbit[i][1] = 0xFF;
  }
  uint32_t next[128];
  for (int i = 0; i < 128; ++i) next[i] = 77u * i + 1;
  modelRepairDuplicates(in, b, next);

  EXPECT_EQ(b.sfit[0], 15);
  EXPECT_EQ(b.slbit[0][0], 0xFF);
  EXPECT_EQ(b.slbit[0][1], 0xFF);
  for (int i = 1; i < 128; ++i) {
    EXPECT_EQ(b.sfit[i], 65000) << "slot " << i;
    EXPECT_EQ(b.slbit[i][0], 0x00) << "slot " << i;
    EXPECT_EQ(b.slbit[i][1], 0xFC) << "slot " << i;  // bits past edge 9 untouched
    EXPECT_EQ(b.slbit[i][124], i);
  }
  // Stream s: 10 refill draws by lane s-1 first, then lane s's hardness work
  // (2 * 5 steps) for slot s+1.
  EXPECT_EQ(next[0], stepped(1u, 0, 0, 10));
  for (int s = 1; s < 127; ++s) {
    uint32_t expected = stepped(stepped(77u * s + 1, s, s - 1, 10), s, s, 10);
    EXPECT_EQ(next[s], expected) << "stream " << s;
  }
  EXPECT_EQ(next[127], stepped(77u * 127 + 1, 127, 126, 10));
}

TEST(ModelRepair, OnlyTheLastPairEqual) {
  ModelInstance in = uniformInstance(5, 3, 0, 1.0f);
  ModelBlock b = taggedBlock();
  for (int i = 0; i < 128; ++i) b.sfit[i] = static_cast<uint16_t>(i < 127 ? i : 126);
  uint32_t next[128];
  for (int i = 0; i < 128; ++i) next[i] = 5u * i + 3;
  ModelBlock before = b;
  modelRepairDuplicates(in, b, next);

  for (int i = 0; i < 127; ++i) {
    EXPECT_EQ(b.sfit[i], before.sfit[i]);
    EXPECT_EQ(std::memcmp(b.slbit[i], before.slbit[i], 125), 0) << "slot " << i;
    EXPECT_EQ(next[i], 5u * i + 3) << "stream " << i;
  }
  // Density 1.0 sets every bit (none of these draws is 32767): complete graph.
  EXPECT_EQ(b.slbit[127][0], 0xFF);
  EXPECT_EQ(b.slbit[127][1], 0x03);
  EXPECT_EQ(b.sfit[127], 15);
  EXPECT_EQ(next[127], stepped(5u * 127 + 3, 127, 126, 10));

  // No equal neighbours at all: nothing changes and nothing is drawn.
  ModelBlock distinct = taggedBlock();
  for (int i = 0; i < 128; ++i) distinct.sfit[i] = static_cast<uint16_t>(2 * i);
  ModelBlock copy = distinct;
  uint32_t still[128] = {9};
  modelRepairDuplicates(in, distinct, still);
  EXPECT_EQ(std::memcmp(&copy, &distinct, sizeof copy), 0);
  EXPECT_EQ(still[0], 9u);
}

// Population invariants the kernels promise: records sorted by fit, each fit the
// fitness of its own bits, bits past probNl untouched by the write-back.
void expectSortedAndScored(const ModelInstance& in, const ModelState& s) {
  ModelInstance quiet = in;
  quiet.objvalhardness = 0;
  for (int t = 0; t < 128; ++t) {
    if (t > 0) {
      EXPECT_LE(s.fit[t - 1], s.fit[t]) << "record " << t;
    }
    uint32_t scratch[128] = {};
    EXPECT_EQ(s.fit[t], modelObjectiveValue(quiet, s.bits[t], scratch, t)) << "record " << t;
    EXPECT_EQ(s.bits[t][in.probNl / 8] >> (in.probNl % 8), 0xFF >> (in.probNl % 8));
  }
}

TEST(ModelKernels, InfeasiblePopulationAtDensityZero) {
  ModelInstance in = uniformInstance(6, 2, 0, 0.0f);
  ModelState s;
  std::memset(&s, 0xFF, sizeof s);
  uint32_t seeds[128];
  for (int i = 0; i < 128; ++i) seeds[i] = 3u * i;
  modelSrand(s, seeds);
  modelGenerateRandomPopulation(in, s);
  modelEvpopInitial(in, s);
  for (int t = 0; t < 128; ++t) EXPECT_EQ(s.fit[t], 65000);
  expectSortedAndScored(in, s);
}

TEST(ModelKernels, LaunchesKeepThePopulationSortedAndTheBestNeverWorsens) {
  std::vector<int16_t> weights(36);
  uint32_t wnext[128] = {2024};
  for (auto& w : weights) w = static_cast<int16_t>(1 + modelDevRand(wnext, 0, 0) % 900);
  ModelInstance in = modelCompleteInstance(9, weights.data(), 1, 0.4f);
  ModelState s;
  std::memset(&s, 0xFF, sizeof s);  // the bits past edge 35 must survive
  uint32_t seeds[128];
  for (int i = 0; i < 128; ++i) seeds[i] = 1234567u + 31u * i;
  modelSrand(s, seeds);
  modelGenerateRandomPopulation(in, s);
  modelEvpopInitial(in, s);
  expectSortedAndScored(in, s);

  for (int launch = 0; launch < 3; ++launch) {
    int32_t previousBest = s.fit[0];
    uint16_t best = 0;
    modelGAallInOneOperator(in, s, 0.02f, &best);
    EXPECT_EQ(best, s.fit[0]);
    EXPECT_LE(best, previousBest);
    expectSortedAndScored(in, s);
  }
  EXPECT_LT(s.fit[0], 65000);
}

}  // namespace
