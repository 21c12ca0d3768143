// The batch engine against the single run: every run of a batch must give the
// record (times aside) and the progress values that smetp gives for the same
// five arguments, whatever the number of workers and the company of the run.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "batch/checkpoint.h"
#include "batch/engine.h"
#include "files.h"
#include "gpu/gpu.h"

namespace {

struct SingleRun {
  std::vector<long long> history;  // the progress values, then the record's best
  std::string record;
};

struct Case {
  std::string file;  // under data/ or the test's folder
  int seed, maxGen, objHard;
  float graphDens;
};

class BatchEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/smetp-batch-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir = pattern;
    // Two nodes, one edge; and a graph whose header promises fewer pairs.
    std::ofstream(dir + "/g2.txt") << "2 2\n1 2 7\n2 1 7\n";
    std::ofstream(dir + "/short.txt") << "4 8\n1 2 5\n1 3 9\n1 4 2\n2 3 4\n";
    cases = {
        {"data/g10.txt", 1, 149, 0, 0.3f},
        {"data/g20.txt", -7, 100, 1, 0.5f},
        {"g2.txt", 3, 200, 0, 0.5f},
        {"data/g10.txt", 5, 0, 0, 0.3f},
        {"data/g30.txt", 11, 49, 2, 0.2f},
        {"data/g45.txt", 2, 149, 2, 1.5f},
        {"data/g10.txt", 9, 250, 2, 0.0f},
        {"short.txt", 4, 100, 1, 0.7f},
        {"data/g20.txt", 123456, 150, 0, 0.9f},
    };
    for (const Case& c : cases) expected.push_back(single(c));
  }
  static void TearDownTestSuite() { std::system(("rm -rf '" + dir + "'").c_str()); }

  static std::string pathOf(const Case& c) {
    return c.file.rfind("data/", 0) == 0 ? std::string(SMETP_SOURCE_DIR "/") + c.file
                                         : dir + "/" + c.file;
  }

  // smetp itself on the case, in a folder of its own.
  static SingleRun single(const Case& c) {
    const std::string work = dir + "/single";
    std::system(("rm -rf '" + work + "' && mkdir '" + work + "'").c_str());
    char args[512];
    std::snprintf(args, sizeof args, "'%s' %d %d %d %.9g", pathOf(c).c_str(), c.seed, c.maxGen,
                  c.objHard, double(c.graphDens));
    const std::string cmd = "cd '" + work + "' && SMETP_BACKEND=cpu '" SMETP_EXE "' " + args +
                            " >stdout.txt 2>&1 </dev/null";
    EXPECT_EQ(0, std::system(cmd.c_str())) << cmd;
    SingleRun r;
    std::istringstream out(readFile(work + "/stdout.txt"));
    for (std::string line; std::getline(out, line);) {
      unsigned best = 0, gens = 0;
      if (std::sscanf(line.c_str(), "Najbolja:\t%u\t= %u", &best, &gens) == 2)
        r.history.push_back(best);
    }
    r.record = readFile(work + "/out.dat");
    unsigned best = 0;
    const size_t at = r.record.find("best:\t\t");
    if (at != std::string::npos) std::sscanf(r.record.c_str() + at, "best:\t\t%u", &best);
    r.history.push_back(best);
    return r;
  }

  // The batch of the given cases (indices into `cases`) with `jobs` workers;
  // results by position in the batch, each with its record's text (its path
  // lives only as long as the batch's runs).
  static std::vector<std::pair<RunResult, std::string>> batch(const std::vector<size_t>& which,
                                                              int jobs, int resident = 0,
                                                              size_t window = 0) {
    std::vector<GraphData> instances;
    std::map<std::string, int> index;
    std::vector<RunSpec> runs;
    for (size_t k : which) {
      const Case& c = cases[k];
      const std::string path = pathOf(c);
      if (!index.count(path)) {
        instances.emplace_back();
        std::string reason;
        EXPECT_EQ(graphOk, readGraphFile(path.c_str(), &instances.back(), &reason)) << reason;
        index[path] = int(instances.size() - 1);
      }
      runs.push_back(
          RunSpec{path, c.seed, c.maxGen, c.objHard, c.graphDens, long(runs.size()), index[path]});
    }
    std::vector<std::pair<RunResult, std::string>> results(runs.size());
    std::vector<bool> seen(runs.size());
    BatchOptions options;
    options.jobs = jobs;
    options.resident = resident;
    options.window = window;
    options.onRunFinished = [&](size_t i, const RunSpec&, const RunResult& r) {
      EXPECT_FALSE(seen[i]) << "run " << i << " finished twice";
      seen[i] = true;
      results[i] = {r, runRecordText(r.record)};
    };
    EXPECT_TRUE(runBatch(runs, instances, options));
    for (size_t i = 0; i < runs.size(); ++i) EXPECT_TRUE(seen[i]) << "run " << i;
    return results;
  }

  static void expectSame(size_t k, const std::pair<RunResult, std::string>& got) {
    const SingleRun& want = expected[k];
    const RunResult& r = got.first;
    EXPECT_EQ(want.history, r.history) << "case " << k;
    EXPECT_EQ(maskTimes(want.record), maskTimes(got.second)) << "case " << k;
    EXPECT_EQ(r.hasTopology, r.launches > 0);
    EXPECT_STREQ("cpu", r.backend);
  }

  static std::string dir;
  static std::vector<Case> cases;
  static std::vector<SingleRun> expected;
};

std::string BatchEngine::dir;
std::vector<Case> BatchEngine::cases;
std::vector<SingleRun> BatchEngine::expected;

TEST_F(BatchEngine, EveryRunAsTheSingleRunWhateverTheWorkers) {
  ASSERT_TRUE(gpuSelectBackend("cpu"));
  std::vector<size_t> all;
  for (size_t k = 0; k < cases.size(); ++k) all.push_back(k);
  // Workers alone, with pools larger than the workers, and a window of one
  // run, which lets no run start before every earlier run has finished.
  for (const auto& shape :
       {std::make_tuple(1, 0, 0), std::make_tuple(2, 0, 0), std::make_tuple(3, 0, 0),
        std::make_tuple(2, 7, 0), std::make_tuple(2, 3, 1)}) {
    const auto results = batch(all, std::get<0>(shape), std::get<1>(shape), std::get<2>(shape));
    for (size_t k = 0; k < all.size(); ++k) expectSame(k, results[k]);
  }
}

TEST_F(BatchEngine, ARunDoesNotDependOnItsCompany) {
  ASSERT_TRUE(gpuSelectBackend("cpu"));
  // Alone, twice in one batch, and in reverse order with others.
  expectSame(5, batch({5}, 2)[0]);
  const auto twice = batch({1, 1}, 2);
  expectSame(1, twice[0]);
  expectSame(1, twice[1]);
  const auto reversed = batch({8, 7, 6, 2}, 2);
  expectSame(8, reversed[0]);
  expectSame(7, reversed[1]);
  expectSame(6, reversed[2]);
  expectSame(2, reversed[3]);
}

// After each launch the progress has the best of the runs still in the pool
// (the run's history, -1 while it connects no nodes or once it has finished).
TEST_F(BatchEngine, ProgressShowsTheBestOfTheRunsInProgress) {
  ASSERT_TRUE(gpuSelectBackend("cpu"));
  for (size_t which : {size_t(6), size_t(8)}) {
    const Case& c = cases[which];
    std::vector<GraphData> instances(1);
    std::string reason;
    ASSERT_EQ(graphOk, readGraphFile(pathOf(c).c_str(), &instances[0], &reason)) << reason;
    const std::vector<RunSpec> runs = {
        RunSpec{pathOf(c), c.seed, c.maxGen, c.objHard, c.graphDens, 0, 0}};
    std::vector<BatchProgress> seen;
    RunResult result;
    BatchOptions options;
    options.jobs = 1;
    options.onProgress = [&](const BatchProgress& p) { seen.push_back(p); };
    options.onRunFinished = [&](size_t, const RunSpec&, const RunResult& r) { result = r; };
    ASSERT_TRUE(runBatch(runs, instances, options));
    ASSERT_EQ(size_t(result.launches), seen.size());
    for (size_t k = 0; k < seen.size(); ++k) {
      const bool last = k + 1 == seen.size();
      const long long best = result.history[k + 1];
      EXPECT_EQ(last || best >= infeasibleFit ? -1 : best, seen[k].best) << which << " " << k;
      EXPECT_EQ(last ? 0 : 1, seen[k].running);
      EXPECT_EQ(1, seen[k].slots);
      EXPECT_EQ((long long)k + 1, seen[k].launchesDone);
    }
  }
}

// A pool larger than the free memory is refused, before any allocation, with
// the most resident runs that fit.
TEST(BatchPool, APoolBeyondTheFreeMemoryIsRefusedWithTheMostThatFits) {
  EXPECT_EQ("", poolMemoryProblem(4, size_t(1) << 30));
  const std::string refused = poolMemoryProblem(1 << 20, size_t(1) << 30);
  EXPECT_EQ(0u, refused.find("cannot have ")) << refused;
  EXPECT_NE(std::string::npos, refused.find("for 1048576 resident runs: 1024 MiB are free"))
      << refused;
  const size_t most = std::stoul(refused.substr(refused.rfind("at most ") + 8));
  EXPECT_EQ("", poolMemoryProblem(most, size_t(1) << 30));
  EXPECT_NE("", poolMemoryProblem(most + 1, size_t(1) << 30));
}

// The topology of a finished run is its best chromosome: connected, with the
// run's best as its energy, by a plain recount here.
TEST_F(BatchEngine, TopologyHasTheBestAsItsEnergy) {
  ASSERT_TRUE(gpuSelectBackend("cpu"));
  const std::vector<size_t> which = {0, 2, 5, 8};
  const auto results = batch(which, 2);
  for (size_t k = 0; k < results.size(); ++k) {
    const RunResult& r = results[k].first;
    ASSERT_TRUE(r.hasTopology);
    GraphData g;
    std::string reason;
    ASSERT_EQ(graphOk, readGraphFile(pathOf(cases[which[k]]).c_str(), &g, &reason));
    std::map<std::pair<int, int>, int> weight;
    for (int e = 0; e < g.nl; ++e)
      weight[{g.links[e].from + 1, g.links[e].to + 1}] = g.links[e].weight;
    std::vector<int> power(size_t(g.n + 1), 0), group(size_t(g.n + 1));
    for (int v = 1; v <= g.n; ++v) group[size_t(v)] = v;
    auto root = [&](int v) {
      while (group[size_t(v)] != v) v = group[size_t(v)];
      return v;
    };
    for (const auto& l : r.topology) {
      ASSERT_LT(l.first, l.second);
      ASSERT_TRUE(weight.count(l));
      const int w = weight[l];
      power[size_t(l.first)] = std::max(power[size_t(l.first)], w);
      power[size_t(l.second)] = std::max(power[size_t(l.second)], w);
      group[size_t(root(l.first))] = root(l.second);
    }
    int energy = 0, parts = 0;
    for (int v = 1; v <= g.n; ++v) {
      energy += power[size_t(v)];
      parts += root(v) == v;
    }
    EXPECT_EQ(parts == 1 ? std::min(energy, 64999) : 65000, int(r.record.best)) << "case " << k;
  }
}

}  // namespace

// A batch stopped part way keeps each unfinished run's state in a checkpoint;
// a batch that continues the runs from their checkpoints (with other workers
// and another pool, stopped and continued once more) ends every run exactly
// as the batch made in one go: history, best, topology and record (times
// aside). Design runs, wide runs (the solve profile) and a run of islands.
TEST(BatchCheckpoint, RunsContinuedFromTheirCheckpointsEndAsInOneGo) {
  ASSERT_TRUE(gpuSelectBackend("cpu"));
  char pattern[] = "/tmp/smetp-ckpt-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string dir = pattern;
  std::vector<GraphData> instances(2);
  std::string reason;
  for (int i = 0; i < 2; ++i) {
    const std::string path = std::string(SMETP_SOURCE_DIR "/data/") + (i ? "g45.txt" : "g20.txt");
    ASSERT_EQ(graphOk, readBatchGraphFile(path.c_str(), &instances[size_t(i)], &reason)) << reason;
  }
  std::vector<RunSpec> runs;
  for (int k = 0; k < 6; ++k) {
    RunSpec spec{"g", k + 1, 200 + 50 * k, k % 3 == 2, 0.3f, long(k), k % 2};
    if (k >= 3)  // the solve profile: wide runs with the local search
      spec.settings =
          resolveGaSettings(GaRequest(), instances[size_t(spec.instance)].n, false, false);
    runs.push_back(spec);
  }
  ASSERT_TRUE(isWideRun(instances[1], runs[5].settings));
  // Runs of two islands, which migrate every second launch, in a batch of
  // their own.
  std::vector<RunSpec> islandRuns(2, runs[5]);
  for (int k = 0; k < 2; ++k) {
    islandRuns[size_t(k)].index = k;
    islandRuns[size_t(k)].seed = 10 + k;
    islandRuns[size_t(k)].maxGen = 300;
    islandRuns[size_t(k)].settings.islands = 2;
    islandRuns[size_t(k)].settings.migrateEvery = 2;
  }

  // results[i]: run i's result and record text, from whichever batch ended it.
  using Results = std::map<long, std::pair<RunResult, std::string>>;
  // *launches: the launches the batch made, added.
  const auto batchOf = [&](const std::vector<RunSpec>& runs, int jobs, int resident,
                           long long stopAfter, CheckpointStore* store, Results* results,
                           long long* launches) {
    std::vector<RunSpec> left;
    for (const RunSpec& r : runs)
      if (!results->count(r.index)) left.push_back(r);
    std::atomic<bool> stop{false};
    long long made = 0;
    BatchOptions options;
    options.jobs = jobs;
    options.resident = resident;
    options.stop = &stop;
    for (const RunSpec& r : runs) options.islands = std::max(options.islands, r.settings.islands);
    options.onProgress = [&](const BatchProgress& p) {
      if (stopAfter > 0 && p.launchesDone >= stopAfter) stop = true;
      made = p.launchesDone;
    };
    options.onRunFinished = [&](size_t, const RunSpec& spec, const RunResult& r) {
      (*results)[spec.index] = {r, runRecordText(r.record)};
      if (store) dropCheckpoint(store, spec.index);
    };
    if (store) {
      options.onCheckpoint = [&](const RunSpec& spec, const RunState& state) {
        checkpointRun(store, spec, state);
      };
      options.resumeRun = [&](const RunSpec& spec, RunState* state) {
        return resumeRunFrom(store, spec, state);
      };
    }
    const bool complete = runBatch(left, instances, options);
    *launches += made;
    return complete;
  };
  // Stopped after `stops` launch counts in turn, with the shapes given
  // (jobs, resident), then made to the end.
  const auto expectAsInOneGo = [&](const std::vector<RunSpec>& runs,
                                   const std::vector<std::tuple<int, int, long long>>& shapes,
                                   size_t savedFirst) {
    Results whole;
    long long wholeLaunches = 0, pieceLaunches = 0;
    ASSERT_TRUE(batchOf(runs, 2, 4, 0, nullptr, &whole, &wholeLaunches));
    CheckpointStore store;
    store.dir = dir + "/ckpt";
    store.program = "test";
    store.instances = &instances;
    Results pieces;
    for (const auto& shape : shapes) {
      EXPECT_FALSE(batchOf(runs, std::get<0>(shape), std::get<1>(shape), std::get<2>(shape), &store,
                           &pieces, &pieceLaunches));
      if (&shape == &shapes[0]) {
        EXPECT_EQ(savedFirst, store.saved.size());
      }
    }
    EXPECT_TRUE(batchOf(runs, 2, 4, 0, &store, &pieces, &pieceLaunches));
    // No launch made twice, none lost.
    EXPECT_EQ(wholeLaunches, pieceLaunches);
    EXPECT_EQ("", store.failure);
    EXPECT_TRUE(store.refused.empty());
    EXPECT_TRUE(store.saved.empty());
    ASSERT_EQ(whole.size(), pieces.size());
    for (const auto& w : whole) {
      const RunResult &a = w.second.first, &b = pieces[w.first].first;
      EXPECT_EQ(a.history, b.history) << "run " << w.first;
      EXPECT_EQ(a.best, b.best) << "run " << w.first;
      EXPECT_EQ(a.topology, b.topology) << "run " << w.first;
      EXPECT_EQ(a.launches, b.launches) << "run " << w.first;
      EXPECT_EQ(maskTimes(w.second.second), maskTimes(pieces[w.first].second)) << "run " << w.first;
    }
  };
  expectAsInOneGo(runs, {{1, 3, 5}, {2, 5, 20}}, 3);
  expectAsInOneGo(islandRuns, {{1, 2, 3}, {1, 4, 9}}, 1);
  std::system(("rm -rf '" + dir + "'").c_str());
}

// A checkpoint is used only by its own run: another instance, other settings
// or another program is refused with the difference named, and a damaged
// file is refused.
TEST(BatchCheckpoint, ACheckpointOfAnotherRunOrADamagedOneIsRefused) {
  char pattern[] = "/tmp/smetp-ckpt-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string dir = pattern;
  GraphData g;
  g.fileSha256 = "aa";
  RunSpec spec{"g45.txt", 1, 500, 0, 0.3f, 7, 0};
  RunState state;
  state.launchesDone = 2;
  state.history = {65000, 300};
  state.populations.resize(1);
  state.populations[0].bits.assign(100, 5);
  std::string error;
  const std::string identity = checkpointIdentity("smetp-batch 1", "sha", spec, instanceIdOf(g));
  ASSERT_TRUE(saveCheckpoint(dir, 7, identity, state, &error)) << error;
  RunState back;
  EXPECT_EQ(checkpointLoaded, loadCheckpoint(dir, 7, identity, &back, &error));
  EXPECT_EQ(state.history, back.history);
  EXPECT_EQ(state.populations[0].bits, back.populations[0].bits);
  EXPECT_EQ(checkpointNone, loadCheckpoint(dir, 8, identity, &back, &error));

  GraphData other = g;
  other.fileSha256 = "bb";
  RunSpec kicked = spec;
  kicked.settings.kick = 3;
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {checkpointIdentity("smetp-batch 2", "sha", spec, instanceIdOf(g)), "program"},
      {checkpointIdentity("smetp-batch 1", "sha", spec, instanceIdOf(other)), "instance_sha256"},
      {checkpointIdentity("smetp-batch 1", "sha", kicked, instanceIdOf(g)), "settings"},
      {checkpointIdentity("smetp-batch 1", "other", spec, instanceIdOf(g)), "runs_sha256"}};
  for (const auto& r : refusals) {
    EXPECT_EQ(checkpointRefused, loadCheckpoint(dir, 7, r.first, &back, &error));
    EXPECT_NE(std::string::npos, error.find("is of another run (" + r.second)) << error;
  }
  std::string bytes = readFile(checkpointPath(dir, 7));
  bytes[bytes.size() / 2] ^= 1;
  writeFile(checkpointPath(dir, 7), bytes);
  EXPECT_EQ(checkpointRefused, loadCheckpoint(dir, 7, identity, &back, &error));
  EXPECT_NE(std::string::npos, error.find("damaged")) << error;
  std::system(("rm -rf '" + dir + "'").c_str());
}
