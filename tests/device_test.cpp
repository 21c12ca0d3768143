// Device routines of the CPU form on hand-made inputs: the fitness of small
// topologies and the sort network's exact placement of equal and unequal values.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "device/operators.h"
#include "gpu/gpu.h"

namespace {

using namespace cpuform;

// Uploads a complete graph of n nodes whose edge (i, j) weighs weight(i, j).
template <class Weight>
void uploadComplete(int n, Weight weight) {
  ASSERT_TRUE(gpuSelectBackend("cpu"));
  std::vector<Link> links;
  std::vector<int> index(size_t(n - 1));
  for (int i = 0; i < n; ++i) {
    if (i < n - 1) index[size_t(i)] = int(links.size());
    for (int j = i + 1; j < n; ++j) links.push_back(Link{short(i), short(j), short(weight(i, j))});
  }
  const int nl = int(links.size()), bytes = nl / 8 + 3, zero = 0;
  ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("probNn", &n, 4));
  ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("probNl", &nl, 4));
  ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("probNlBytes", &bytes, 4));
  ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("probLink", links.data(), 6 * links.size()));
  ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("nIdx", index.data(), 4 * index.size()));
  ASSERT_EQ(gpuSuccess, gpuMemcpyToSymbol("objvalhardness", &zero, 4));
}

class Fitness : public ::testing::Test {
 protected:
  // Fitness of the topology made of the given pairs, through the tables.
  int of(std::initializer_list<std::pair<int, int>> pairs) {
    static BlockPop sp;
    std::memset(&sp, 0, sizeof sp);
    Block block;
    block.step([&](int t) { viewNamedRun(sp.run, t); });
    block.step([&](int t) { buildFitnessTables(sp, t); });
    for (const auto& p : pairs) {
      const int e = edgeIndex(sp.run, p.first, p.second);
      sp.slbit[0][e >> 6] |= 1ull << (e & 63);
    }
    const int viaTables = fitnessOfSlot(sp, sp.slbit[0]);
    sp.edgeOrderMatches = 0;  // the same by the edges themselves
    EXPECT_EQ(viaTables, fitnessOfSlot(sp, sp.slbit[0]));
    return viaTables;
  }
};

TEST_F(Fitness, SmallTopologies) {
  uploadComplete(3, [](int i, int j) { return i + j == 1 ? 5 : i + j == 3 ? 7 : 3; });
  EXPECT_EQ(19, of({{0, 1}, {1, 2}}));  // path 0-1-2: 5 + 7 + 7
  EXPECT_EQ(19, of({{0, 1}, {1, 2}, {0, 2}}));
  EXPECT_EQ(infeasibleFit, of({}));
  EXPECT_EQ(infeasibleFit, of({{1, 2}}));  // node 0 isolated
  static RunView view;
  for (int t = 0; t < blockLanes; ++t) viewNamedRun(view, t);
  EXPECT_EQ(1, edgeIndex(view, 2, 0));

  uploadComplete(4, [](int, int) { return 10; });
  EXPECT_EQ(infeasibleFit, of({{0, 1}, {2, 3}}));  // two components
  EXPECT_EQ(40, of({{0, 1}, {1, 2}, {2, 3}}));

  uploadComplete(4, [](int i, int j) { return i == 0 || j == 3 ? 0 : -4; });
  EXPECT_EQ(0, of({{0, 1}, {1, 2}, {2, 3}}));  // weights of 0 and below raise no power
}

TEST_F(Fitness, LargeEnergiesStayFeasible) {
  // 45 nodes, every weight 32767 would give 45 * 32767; capped, never 65000
  // and never wrapped around.
  uploadComplete(45, [](int, int) { return 32767; });
  EXPECT_EQ(64999,
            of({{0, 1},  {0, 2},  {0, 3},  {0, 4},  {0, 5},  {0, 6},  {0, 7},  {0, 8},  {0, 9},
                {0, 10}, {0, 11}, {0, 12}, {0, 13}, {0, 14}, {0, 15}, {0, 16}, {0, 17}, {0, 18},
                {0, 19}, {0, 20}, {0, 21}, {0, 22}, {0, 23}, {0, 24}, {0, 25}, {0, 26}, {0, 27},
                {0, 28}, {0, 29}, {0, 30}, {0, 31}, {0, 32}, {0, 33}, {0, 34}, {0, 35}, {0, 36},
                {0, 37}, {0, 38}, {0, 39}, {0, 40}, {0, 41}, {0, 42}, {0, 43}, {0, 44}}));
  uploadComplete(3, [](int, int) { return 32500; });
  EXPECT_EQ(64999, of({{0, 1}, {1, 2}}));  // 97500
  uploadComplete(2, [](int, int) { return 32499; });
  EXPECT_EQ(64998, of({{0, 1}}));
}

// Slot contents are tagged by their original slot, to follow where the sort
// puts them.
std::vector<int> sortedOrigins(const unsigned short (&fit)[128]) {
  static BlockPop sp;
  std::memset(&sp, 0, sizeof sp);
  for (int t = 0; t < 128; ++t) {
    sp.sfit[t] = fit[t];
    sp.sidx[t] = (unsigned char)t;
    sp.slbit[t][0] = SlotWord(t);
  }
  Block block;
  bitonicSortPopulation(block, sp);
  std::vector<int> origin;
  for (int t = 0; t < 128; ++t) {
    EXPECT_EQ(fit[slotOf(sp, t)[0]], sp.sfit[t]);
    if (t) {
      EXPECT_LE(sp.sfit[t - 1], sp.sfit[t]);
    }
    origin.push_back(int(slotOf(sp, t)[0]));
  }
  return origin;
}

TEST(BitonicSort, PlacesEqualValuesAsTheNetworkDoes) {
  unsigned short fit[128];
  for (int i = 0; i < 128; ++i) fit[i] = (unsigned short)(i % 2);
  std::vector<int> want;
  for (int i = 0; i < 128; i += 2) want.push_back(i);
  for (int i = 127; i > 0; i -= 2) want.push_back(i);
  EXPECT_EQ(want, sortedOrigins(fit));

  for (int i = 0; i < 128; ++i) fit[i] = 0;
  fit[0] = 1;
  want = {1, 3, 2, 7, 4, 5, 6, 15};
  for (int i = 8; i < 15; ++i) want.push_back(i);
  for (int top : {31, 63, 127}) {
    want.push_back(top);
    for (int i = (top + 1) / 2; i < top; ++i) want.push_back(i);
  }
  want.push_back(0);
  std::vector<int> got = sortedOrigins(fit);
  EXPECT_EQ(std::vector<int>(want.begin(), want.begin() + 8),
            std::vector<int>(got.begin(), got.begin() + 8));
  EXPECT_EQ(want, got);

  for (int i = 0; i < 128; ++i) fit[i] = 7;
  std::vector<int> identity;
  for (int i = 0; i < 128; ++i) identity.push_back(i);
  EXPECT_EQ(identity, sortedOrigins(fit));
}

}  // namespace
