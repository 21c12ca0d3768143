// Wide runs: the candidate links, the readers of large and sparse instances,
// and the kernels' scores checked chromosome by chromosome against a plain
// computation, and the batch engine's wide results.
#include "device/wide.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "batch/engine.h"
#include "batch/results.h"
#include "device/ga.h"
#include "gpu/gpu.h"
#include "problem/graph.h"
#include "wide_run.h"

namespace {

// The score of the links a row selects, by the definition: a node's power is
// its heaviest selected link (0 at least); connectivity by a search from
// node 0; unconnected scores 2^43 per piece beyond the first on top.
unsigned long long plainScore(const WideCandidates& c, const unsigned long long* row) {
  const int n = c.n;
  std::vector<long long> power(size_t(n), 0);
  std::vector<std::vector<int>> near(static_cast<size_t>(n));
  for (size_t e = 0; e < c.links.size(); ++e) {
    if (!(row[e / 64] >> (e % 64) & 1ull)) continue;
    const WideLink& l = c.links[e];
    power[size_t(l.from)] = std::max<long long>(power[size_t(l.from)], l.weight);
    power[size_t(l.to)] = std::max<long long>(power[size_t(l.to)], l.weight);
    near[size_t(l.from)].push_back(l.to);
    near[size_t(l.to)].push_back(l.from);
  }
  std::vector<int> piece(static_cast<size_t>(n), -1);
  int pieces = 0;
  for (int s = 0; s < n; ++s) {
    if (piece[size_t(s)] >= 0) continue;
    std::vector<int> stack{s};
    piece[size_t(s)] = pieces;
    while (!stack.empty()) {
      const int v = stack.back();
      stack.pop_back();
      for (int u : near[size_t(v)])
        if (piece[size_t(u)] < 0) {
          piece[size_t(u)] = pieces;
          stack.push_back(u);
        }
    }
    ++pieces;
  }
  unsigned long long energy = 0;
  for (long long p : power) energy += (unsigned long long)p;
  return (unsigned long long)(pieces - 1) * (1ull << 43) + energy;
}

TEST(WideCandidates, EachNodesLightestLinksAndASpanningTree) {
  std::mt19937 rng(3);
  const WideGraph g = randomWideGraph(40, 50, rng);  // many equal weights
  const int k = 3;
  const WideCandidates c = wideCandidates(g, k);
  std::set<std::pair<int, int>> in;
  for (const WideLink& l : c.links) in.insert({l.from, l.to});
  EXPECT_TRUE(
      std::is_sorted(c.links.begin(), c.links.end(), [](const WideLink& a, const WideLink& b) {
        return a.from != b.from ? a.from < b.from : a.to < b.to;
      }));
  for (int v = 0; v < g.n; ++v) {
    // v's links by weight, then by the other node: the first k are candidates.
    std::vector<std::pair<int, int>> mine;
    for (const WideLink& l : g.links)
      if (l.from == v || l.to == v) mine.push_back({l.weight, l.from == v ? l.to : l.from});
    std::sort(mine.begin(), mine.end());
    for (int i = 0; i < k; ++i)
      EXPECT_TRUE(
          in.count({std::min(v, mine[size_t(i)].second), std::max(v, mine[size_t(i)].second)}))
          << "node " << v << " link " << i;
  }
  // The candidates hold a spanning tree of the graph's minimum weight.
  WideGraph cg{g.n, c.links};
  EXPECT_TRUE(wideConnected(cg));
  auto mstWeight = [](const WideGraph& h) {
    std::vector<WideLink> l = h.links;
    std::stable_sort(l.begin(), l.end(),
                     [](const WideLink& a, const WideLink& b) { return a.weight < b.weight; });
    std::vector<int> p(static_cast<size_t>(h.n));
    for (int i = 0; i < h.n; ++i) p[size_t(i)] = i;
    auto root = [&](int v) {
      while (p[size_t(v)] != v) v = p[size_t(v)];
      return v;
    };
    long long w = 0;
    for (const WideLink& x : l)
      if (root(x.from) != root(x.to)) {
        p[size_t(root(x.from))] = root(x.to);
        w += x.weight;
      }
    return w;
  };
  EXPECT_EQ(mstWeight(g), mstWeight(cg));
  // byWeight orders the candidates by weight; every link with k <= 0.
  for (size_t i = 1; i < c.byWeight.size(); ++i)
    EXPECT_LE(c.links[size_t(c.byWeight[i - 1])].weight, c.links[size_t(c.byWeight[i])].weight);
  EXPECT_EQ(g.links.size(), wideCandidates(g, 0).links.size());
}

std::string read(const std::string& text, GraphData* g) {
  std::string reason;
  return readBatchGraphText(text.data(), text.size(), g, &reason) == graphOk ? "" : reason;
}

TEST(WideReader, DesignFilesReadAsTheDesignReadsThem) {
  const std::string text = "4 12\n1 2 5\n1 3 9\n1 4 2\n2 1 5\n2 3 4\n2 4 7\n3 4 30000\n";
  GraphData a, b;
  std::string reason;
  ASSERT_EQ(graphOk, readGraphText(text.data(), text.size(), &a, &reason));
  ASSERT_EQ("", read(text, &b));
  EXPECT_EQ(nullptr, b.wide);
  EXPECT_EQ(a.n, b.n);
  EXPECT_EQ(a.nl, b.nl);
  EXPECT_EQ(a.nlBytes, b.nlBytes);
  EXPECT_EQ(0, std::memcmp(a.nodeIndex, b.nodeIndex, sizeof a.nodeIndex));
  EXPECT_EQ(0, std::memcmp(a.links, b.links, sizeof(Link) * size_t(a.nl)));
}

TEST(WideReader, LargeWeightsManyNodesAndSparseFiles) {
  GraphData g;
  // A weight beyond 16 bits makes a wide instance of the design's format.
  ASSERT_EQ("", read("3 6\n1 2 2147483647\n1 3 1\n2 3 5\n", &g));
  ASSERT_NE(nullptr, g.wide);
  EXPECT_EQ(2147483647, g.wide->links[0].weight);
  // 50 nodes in the design's format.
  std::ostringstream dense;
  dense << "50 " << 50 * 49 << "\n";
  for (int u = 1; u <= 50; ++u)
    for (int v = u + 1; v <= 50; ++v) dense << u << " " << v << " " << u * v << "\n";
  ASSERT_EQ("", read(dense.str(), &g));
  ASSERT_NE(nullptr, g.wide);
  EXPECT_EQ(50, g.n);
  EXPECT_EQ(1225, g.nl);
  // Sparse: any order, either direction, sorted on reading.
  EXPECT_NE(std::string::npos,
            read("sparse 4 3\n4 3 10\n1 2 7\n3 2 3000000000\n", &g).find("too large"));
  ASSERT_EQ("", read("sparse 4 3\n4 3 10\n1 2 7\n3 2 300\n", &g));
  ASSERT_NE(nullptr, g.wide);
  EXPECT_TRUE(g.sparse);
  ASSERT_EQ(3u, g.wide->links.size());
  EXPECT_EQ(0, g.wide->links[0].from);
  EXPECT_EQ(1, g.wide->links[1].from);
  EXPECT_EQ(2, g.wide->links[1].to);
  EXPECT_EQ(300, g.wide->links[1].weight);
  EXPECT_EQ(2, g.wide->links[2].from);
  // What the reader refuses.
  EXPECT_NE(std::string::npos, read("sparse 4 3\n1 2 1\n2 1 1\n3 4 1\n", &g).find("listed twice"));
  EXPECT_NE(std::string::npos, read("sparse 4 2\n1 2 1\n3 4 1\n", &g).find("do not connect"));
  EXPECT_NE(std::string::npos, read("sparse 4 1\n2 2 1\n", &g).find("line 2"));
  EXPECT_NE(std::string::npos, read("sparse 2001 1\n1 2 1\n", &g).find("2 to 2000"));
  // Text glued to a number, the last weight's too (smetp-lab reads the same grammar).
  EXPECT_NE(std::string::npos, read("sparse 3 2\n1 2 1\n2 3 1x\n", &g).find("\"1x\""));
  EXPECT_NE(std::string::npos, read("sparse 3 2\n1 2 1_0\n2 3 1\n", &g).find("\"1_0\""));
  EXPECT_NE(std::string::npos, read("dense 4 1\n", &g).find("neither a number"));
}

// Launches the batch kernels on wide runs of the CPU form and checks, after
// every launch, each chromosome's score against the plain computation and
// the population's order.
TEST(WideKernels, EveryChromosomesScoreIsItsPlainScore) {
  std::mt19937 rng(11);
  struct Run {
    WideCandidates c;
    GaSettings s;
    float density;
  };
  GaSettings ls = designGaSettings();
  ls.memetic = gaMemeticLs;
  ls.memeticEvery = 5;
  ls.init = gaInitMst;
  GaSettings other = designGaSettings();
  other.elite = 3;
  other.tournament = 2;
  other.repair = 0;
  other.memetic = gaMemeticPrune;
  other.memeticEvery = 10;
  std::vector<Run> runs = {
      {wideCandidates(randomWideGraph(70, 2147483647, rng), 4), designGaSettings(), 0.2f},
      {wideCandidates(randomWideGraph(130, 100000, rng), 6), ls, 0.05f},
      {wideCandidates(randomWideGraph(20, 30, rng), 0), other, 0.3f},
  };
  const unsigned blocks = unsigned(runs.size());
  std::vector<HostWideRun> areas(blocks);
  std::vector<BatchRun> table(blocks);
  std::vector<BatchControl> control(blocks);
  for (unsigned b = 0; b < blocks; ++b) {
    makeHostWideRun(runs[b].c, &areas[b]);
    BatchRun& r = table[b];
    std::memset(&r, 0, sizeof r);
    r.probNn = runs[b].c.n;
    r.probNl = int(runs[b].c.links.size());
    r.graphdensity = runs[b].density;
    r.objvalhardness = int(b);
    for (unsigned& s : r.next) s = unsigned(rng());
    r.settings = runs[b].s;
    r.wide = reinterpret_cast<WideRun*>(areas[b].area.data());
    control[b] = BatchControl{0.01f, 0, 1, 0};
  }
  for (int launch = 0; launch < 3; ++launch) {
    ASSERT_EQ(
        0, cpuform::launchKernel(launch == 0 ? kernelBatchWideInitial : kernelBatchWideGenerations,
                                 blocks, popSize, table.data(), control.data(), nullptr));
    for (unsigned b = 0; b < blocks; ++b) {
      const WideRun& w = areas[b].layout;
      std::set<int> rows;
      for (int t = 0; t < popSize; ++t) {
        rows.insert(w.idx[t]);
        const unsigned long long want =
            plainScore(runs[b].c, w.rows + size_t(w.idx[t]) * size_t(w.words));
        ASSERT_EQ(want, w.fit[t]) << "run " << b << " launch " << launch << " slot " << t;
        if (t) {
          ASSERT_LE(w.fit[t - 1], w.fit[t]);
        }
      }
      EXPECT_EQ(size_t(popSize), rows.size()) << "each row in one slot";
      if (launch) {
        EXPECT_EQ(w.fit[0], control[b].wideBest);
      }
    }
  }
  // The start from the spanning tree and the local search find connected
  // topologies; the exact sums go beyond 32 bits on the first instance.
  EXPECT_LT(areas[1].layout.fit[0], 1ull << 43);
}

// The links a row selects, as indices.
std::vector<int> rowLinks(const WideCandidates& c, const unsigned long long* row) {
  std::vector<int> out;
  for (size_t e = 0; e < c.links.size(); ++e)
    if (row[e / 64] >> (e % 64) & 1ull) out.push_back(int(e));
  return out;
}

// The lowest energy one lower-and-repair move reaches from the tree `row`:
// a node's power capped at one of its 8 highest link weights below it, the
// other powers then raised by the link joining two pieces that raises them
// least (ties by index), pieces recounted from scratch each time, until the
// usable links connect; then their minimum spanning tree. ~0 when none.
unsigned long long plainBestLowering(const WideCandidates& c, const unsigned long long* row) {
  const int n = c.n;
  std::vector<int> power(size_t(n), 0);
  for (int e : rowLinks(c, row))
    for (int x : {c.links[size_t(e)].from, c.links[size_t(e)].to})
      power[size_t(x)] = std::max(power[size_t(x)], c.links[size_t(e)].weight);
  unsigned long long best = ~0ull;
  for (int v = 0; v < n; ++v) {
    std::set<int> below;
    for (const WideLink& l : c.links)
      if ((l.from == v || l.to == v) && l.weight < power[size_t(v)]) below.insert(l.weight);
    std::vector<int> levels(below.rbegin(), below.rend());
    levels.resize(std::min<size_t>(levels.size(), 8));
    for (int level : levels) {
      std::vector<int> q = power;
      q[size_t(v)] = level;
      const auto usable = [&](const WideLink& l) {
        return l.weight <= q[size_t(l.from)] && l.weight <= q[size_t(l.to)];
      };
      for (;;) {
        std::vector<int> parent(static_cast<size_t>(n));
        for (int x = 0; x < n; ++x) parent[size_t(x)] = x;
        int pieces = n;
        for (const WideLink& l : c.links)
          if (usable(l)) pieces -= cpuform::wideJoin(parent.data(), l.from, l.to);
        if (pieces == 1) break;
        long long rise = -1;
        int pick = -1;
        for (size_t e = 0; e < c.links.size(); ++e) {
          const WideLink& l = c.links[e];
          if (cpuform::wideRoot(parent.data(), l.from) == cpuform::wideRoot(parent.data(), l.to) ||
              ((l.from == v || l.to == v) && l.weight > level))
            continue;
          const long long r =
              std::max(0, l.weight - q[size_t(l.from)]) + std::max(0, l.weight - q[size_t(l.to)]);
          if (pick < 0 || r < rise) rise = r, pick = int(e);
        }
        if (pick < 0) break;
        const WideLink& l = c.links[size_t(pick)];
        q[size_t(l.from)] = std::max(q[size_t(l.from)], l.weight);
        q[size_t(l.to)] = std::max(q[size_t(l.to)], l.weight);
      }
      std::vector<unsigned long long> tree(size_t((c.links.size() + 63) / 64), 0);
      std::vector<int> parent(static_cast<size_t>(n));
      for (int x = 0; x < n; ++x) parent[size_t(x)] = x;
      for (int e : c.byWeight)
        if (usable(c.links[size_t(e)]) &&
            cpuform::wideJoin(parent.data(), c.links[size_t(e)].from, c.links[size_t(e)].to))
          tree[size_t(e / 64)] |= 1ull << (e % 64);
      best = std::min(best, plainScore(c, tree.data()));
    }
  }
  return best;
}

// The memetic step with memetic=ls on every slot of random wide populations
// (random rows, connected or not, and spanning trees), checked against the
// plain score: no slot's score rises, a connected slot stays connected and
// becomes a spanning tree, an unconnected one is left alone, and on the small
// instances (where a call finishes within its budget) no exchange of one
// tree link for one candidate link and no lower-and-repair move lowers the
// energy any more. Then kick=3
// on the slots so left: again no score rises and every connected slot stays a
// spanning tree, and some kick lowers a slot that was at a local optimum.
TEST(WideMemetic, LsNeverRaisesNorDisconnectsAndEndsAtALocalOptimum) {
  using namespace cpuform;
  std::mt19937 rng(23);
  int kickGains = 0;
  struct Case {
    int n, maxWeight, k;
    double density;
  };
  for (const Case& k :
       {Case{24, 50, 0, 0.3}, Case{60, 2147483647, 4, 0.5}, Case{150, 100000, 3, 0.6}}) {
    SCOPED_TRACE(k.n);
    const WideCandidates c = wideCandidates(randomWideGraph(k.n, k.maxWeight, rng), k.k);
    HostWideRun h;
    makeHostWideRun(c, &h);
    const WideRun& w = h.layout;
    static WidePop sp;
    std::memset(&sp, 0, sizeof sp);
    WideView& run = sp.run;
    viewWideLayout(run, w);
    run.settings = designGaSettings();
    run.settings.memetic = gaMemeticLs;
    run.settings.memeticCount = popSize;
    std::bernoulli_distribution bit(k.density);
    std::vector<unsigned long long> before;
    for (int t = 0; t < popSize; ++t) {
      sp.sidx[t] = (unsigned char)(popSize - 1 - t);
      unsigned long long* row = slotOf(sp, t);
      for (int e = 0; e < w.nl; ++e)
        if (t % 4 == 0 || bit(rng)) row[e / 64] |= 1ull << (e % 64);
      if (t % 4 == 0) {
        // A spanning tree of random link weights: the minimum one of a
        // shuffled order.
        std::vector<int> order(size_t(w.nl));
        for (int e = 0; e < w.nl; ++e) order[size_t(e)] = e;
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<int> parent(size_t(c.n));
        for (int v = 0; v < c.n; ++v) parent[size_t(v)] = v;
        for (int x = 0; x < w.words; ++x) row[x] = 0;
        for (int e : order)
          if (wideJoin(parent.data(), c.links[size_t(e)].from, c.links[size_t(e)].to))
            row[e / 64] |= 1ull << (e % 64);
      }
      sp.sfit[t] = plainScore(c, row);
      before.push_back(sp.sfit[t]);
    }
    std::vector<std::vector<int>> unconnected(popSize);
    for (int t = 0; t < popSize; ++t)
      if (before[size_t(t)] >= 1ull << 43) unconnected[size_t(t)] = rowLinks(c, slotOf(sp, t));
    Block block;
    block.count = popSize;
    static PerLane<unsigned long long> marks;
    std::memset(&marks, 0, sizeof marks);
    memeticStep(block, sp, marks);
    int connected = 0;
    for (int t = 0; t < popSize; ++t) {
      const unsigned long long* row = slotOf(sp, t);
      const unsigned long long score = plainScore(c, row);
      ASSERT_EQ(score, sp.sfit[t]) << t;
      ASSERT_LE(score, before[size_t(t)]) << t;
      if (before[size_t(t)] >= 1ull << 43) {
        EXPECT_EQ(unconnected[size_t(t)], rowLinks(c, row)) << t;
        continue;
      }
      ++connected;
      ASSERT_LT(score, 1ull << 43) << t;
      const std::vector<int> tree = rowLinks(c, row);
      ASSERT_EQ(size_t(c.n - 1), tree.size()) << t;
      if (c.n > 60 || t % 8) continue;
      std::vector<unsigned long long> swapped(row, row + w.words);
      for (int drop : tree) {
        swapped[size_t(drop / 64)] &= ~(1ull << (drop % 64));
        for (int add = 0; add < w.nl; ++add) {
          if (swapped[size_t(add / 64)] >> (add % 64) & 1ull || add == drop) continue;
          swapped[size_t(add / 64)] |= 1ull << (add % 64);
          EXPECT_GE(plainScore(c, swapped.data()), score) << t << ": " << drop << " for " << add;
          swapped[size_t(add / 64)] &= ~(1ull << (add % 64));
        }
        swapped[size_t(drop / 64)] |= 1ull << (drop % 64);
      }
      EXPECT_GE(plainBestLowering(c, row), score) << t;
    }
    EXPECT_GE(connected, popSize / 4);
    static unsigned streams[popSize];
    for (int t = 0; t < popSize; ++t) streams[t] = 977u * unsigned(t) + 1u;
    run.next = streams;
    run.settings.kick = 3;
    for (int round = 0; round < 3; ++round) {
      const std::vector<unsigned long long> settled(sp.sfit, sp.sfit + popSize);
      // The slots the step already left at a local optimum: only a kick moves them.
      std::vector<bool> atOptimum;
      for (int t = 0; t < popSize; ++t)
        atOptimum.push_back(marks[sp.sidx[t]] == wideRowHash(slotOf(sp, t), w.words, w.nl));
      memeticStep(block, sp, marks);
      for (int t = 0; t < popSize; ++t) {
        const unsigned long long* row = slotOf(sp, t);
        const unsigned long long score = plainScore(c, row);
        ASSERT_EQ(score, sp.sfit[t]) << t;
        ASSERT_LE(score, settled[size_t(t)]) << t;
        kickGains += atOptimum[size_t(t)] && score < settled[size_t(t)];
        if (score < 1ull << 43) {
          ASSERT_EQ(size_t(c.n - 1), rowLinks(c, row).size()) << t;
        }
      }
    }
  }
  EXPECT_GT(kickGains, 0);
}

// The batch engine's wide runs: the same results for any number of workers,
// each best the score of its topology (the engine checks), true energies.
TEST(WideBatch, ResultsDoNotDependOnTheWorkers) {
  char pattern[] = "/tmp/smetp-wide-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string path = std::string(pattern) + "/n60.txt";
  {
    std::mt19937 rng(5);
    const WideGraph g = randomWideGraph(60, 1000000, rng);
    std::ofstream f(path);
    f << "sparse 60 " << g.links.size() << "\n";
    for (const WideLink& l : g.links) f << l.to + 1 << " " << l.from + 1 << " " << l.weight << "\n";
  }
  std::vector<GraphData> instances(1);
  std::string reason;
  ASSERT_EQ(graphOk, readBatchGraphFile(path.c_str(), &instances[0], &reason)) << reason;
  std::vector<RunSpec> specs;
  for (int k = 0; k < 4; ++k) {
    RunSpec s{path, k + 1, 150, k % 2, 0.1f, k, 0};
    s.settings = profileGaSettings(gaProfileSolve);
    s.settings.links = k < 2 ? 5 : linksAll;
    specs.push_back(s);
  }
  auto run = [&](int jobs) {
    std::vector<RunResult> out(specs.size());
    BatchOptions o;
    o.jobs = jobs;
    o.onRunFinished = [&](size_t position, const RunSpec& spec, const RunResult& r) {
      EXPECT_EQ("", checkTopology(instances[0], r)) << spec.index;
      out[position] = r;
    };
    EXPECT_TRUE(runBatch(specs, instances, o));
    return out;
  };
  const std::vector<RunResult> one = run(1), three = run(3);
  for (size_t k = 0; k < specs.size(); ++k) {
    EXPECT_TRUE(one[k].wide);
    EXPECT_EQ(one[k].history, three[k].history) << k;
    EXPECT_EQ(one[k].topology, three[k].topology) << k;
    EXPECT_LT(one[k].best, 1ll << 43) << k;
    EXPECT_EQ(k < 2 ? (int)wideCandidates(*instances[0].wide, 5).links.size() : 1770,
              one[k].candidateLinks);
    // The result line: the exact best, never capped, no record.
    const nlohmann::json j = nlohmann::json::parse(resultLine(specs[k], one[k], instances[0], "x"));
    EXPECT_EQ(one[k].best, j["best"].get<long long>());
    EXPECT_TRUE(j["feasible"].get<bool>());
    EXPECT_FALSE(j["capped"].get<bool>());
    EXPECT_EQ(one[k].candidateLinks, j["candidate_links"].get<int>());
    EXPECT_TRUE(j["record"].is_null());
    EXPECT_EQ(60, j["nodes"].get<int>());
    EXPECT_EQ(k < 2 ? nlohmann::json(5) : nlohmann::json("all"), j["settings"]["links"]);
    EXPECT_EQ(one[k].history.back(), j["history"].back().get<long long>());
  }
  std::system(("rm -rf '" + std::string(pattern) + "'").c_str());
}

// Islands: until they first migrate, a run of I islands is I runs with the
// islands' seeds, its best at each launch the lowest of theirs; with
// migration, the same result for any number of workers; a run with more
// islands than a launch holds is refused.
TEST(WideBatch, IslandsAreRunsOfTheirSeedsThatMigrateAlikeOnAnyWorkers) {
  char pattern[] = "/tmp/smetp-islands-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string path = std::string(pattern) + "/n90.txt";
  {
    std::mt19937 rng(11);
    const WideGraph g = randomWideGraph(90, 1000000, rng);
    std::ofstream f(path);
    f << "sparse 90 " << g.links.size() << "\n";
    for (const WideLink& l : g.links) f << l.from + 1 << " " << l.to + 1 << " " << l.weight << "\n";
  }
  std::vector<GraphData> instances(1);
  std::string reason;
  ASSERT_EQ(graphOk, readBatchGraphFile(path.c_str(), &instances[0], &reason)) << reason;
  // The design's GA over 4 links a node: far from done after 8 launches.
  RunSpec base{path, 7, 400, 0, 0.1f, 0, 0};
  base.settings.links = 4;
  const auto run = [&](const RunSpec& spec, int jobs) {
    RunResult out;
    BatchOptions o;
    o.jobs = jobs;
    o.islands = spec.settings.islands;
    o.onRunFinished = [&](size_t, const RunSpec&, const RunResult& r) {
      EXPECT_EQ("", checkTopology(instances[0], r));
      out = r;
    };
    EXPECT_TRUE(runBatch(std::vector<RunSpec>{spec}, instances, o));
    return out;
  };
  RunSpec apart = base;
  apart.settings.islands = 3;
  apart.settings.migrateEvery = 1000;
  const RunResult together = run(apart, 2);
  std::vector<long long> lowest(together.history.size(), -1);
  long long bestOfSeeds = -1;
  int bestSeed = -1;
  for (int i = 0; i < 3; ++i) {
    RunSpec lone = base;
    lone.seed = islandSeed(base.seed, i);
    const RunResult r = run(lone, 1);
    ASSERT_EQ(lowest.size(), r.history.size());
    for (size_t k = 0; k < lowest.size(); ++k)
      if (lowest[k] < 0 || r.history[k] < lowest[k]) lowest[k] = r.history[k];
    if (bestSeed < 0 || r.best < bestOfSeeds) bestOfSeeds = r.best, bestSeed = i;
  }
  EXPECT_EQ(base.seed, islandSeed(base.seed, 0));
  EXPECT_EQ(lowest, together.history);
  EXPECT_EQ(bestSeed, together.island);

  RunSpec ring = apart;
  ring.settings.migrateEvery = 1;
  ring.settings.migrants = 6;
  const RunResult one = run(ring, 1), two = run(ring, 2);
  EXPECT_EQ(one.history, two.history);
  EXPECT_EQ(one.topology, two.topology);
  EXPECT_EQ(one.island, two.island);
  EXPECT_NE(together.history, one.history);

  BatchOptions narrow;
  narrow.jobs = 1;
  narrow.resident = 2;
  narrow.islands = 1;
  EXPECT_THROW(runBatch(std::vector<RunSpec>{ring}, instances, narrow), BatchError);

  // Asked to finish (here once launch 1 is done), a run ends at its next
  // launch boundary with what it has.
  std::atomic<bool> finish{false};
  BatchOptions early;
  early.jobs = 2;
  early.islands = ring.settings.islands;
  early.finish = &finish;
  early.onProgress = [&](const BatchProgress&) { finish = true; };
  RunResult cut;
  early.onRunFinished = [&](size_t, const RunSpec&, const RunResult& r) { cut = r; };
  EXPECT_TRUE(runBatch(std::vector<RunSpec>{ring}, instances, early));
  EXPECT_EQ(stopInterrupted, cut.stop);
  EXPECT_EQ(2, cut.launches);
  EXPECT_EQ(std::vector<long long>(one.history.begin(), one.history.begin() + 3), cut.history);
  EXPECT_EQ("", checkTopology(instances[0], cut));
  std::system(("rm -rf '" + std::string(pattern) + "'").c_str());
}

}  // namespace
