// GA settings: the parser, profiles and their texts, and the batch kernels
// run with settings: elite, tournament, crossover and repair are checked
// against the plain model given the same settings. (The spanning-tree start
// and the memetic step run in the wide layout: wide_test.)
#include "problem/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "batch/results.h"
#include "gpu/gpu.h"
#include "model_batch_run.h"
#include "plain_ga.h"
#include "problem/batchrun.h"
#include "problem/chrom.h"

namespace {

// The request of `words` (separated by single blanks).
GaRequest request(const std::string& words) {
  GaRequest r;
  size_t at = 0;
  while (at < words.size()) {
    size_t end = words.find(' ', at);
    if (end == std::string::npos) end = words.size();
    std::string error;
    EXPECT_TRUE(parseGaSetting(words.substr(at, end - at), &r, &error)) << error;
    at = end + 1;
  }
  return r;
}

// The settings of `words` on a complete instance within the design's limits.
GaSettings parsed(const std::string& words) {
  return resolveGaSettings(request(words), 45, false, false);
}

// The design's values but for `words`.
GaSettings designWith(const std::string& words) { return parsed("profile=design " + words); }

bool same(const GaSettings& a, const GaSettings& b) {
  return gaSettingsText(a, false) == gaSettingsText(b, false);
}

TEST(SettingsText, DesignSpelledOutIsTheDesign) {
  const GaSettings d = parsed("profile=design");
  EXPECT_TRUE(isDesign(d));
  const GaSettings design = designGaSettings();
  EXPECT_TRUE(same(d, design));
  EXPECT_EQ("", gaSettingsText(d, true));
  const std::string all = gaSettingsText(d, false);
  EXPECT_EQ(
      "elite=16 tournament=8 crossover=0.85 mutation=0.005 mutation_step=0.005 "
      "mutation_patience=1000 repair=on init=random memetic=none memetic_every=25 memetic_count=24 "
      "kick=0 islands=1 migrate_every=1 migrants=4",
      all);
  // The design's values named under the solve profile give the design's run too.
  const GaSettings back = parsed(all);
  EXPECT_TRUE(same(d, back));
}

TEST(SettingsText, ValuesReadBackAndShowInJson) {
  const GaRequest r = request(
      "profile=design elite=0 tournament=1 crossover=0.3 mutation=0.01 mutation_step=0.125 "
      "mutation_patience=7 repair=off init=mst memetic=ls memetic_every=50 memetic_count=128 "
      "kick=2");
  const GaSettings s = resolveGaSettings(r, 45, false, false);
  EXPECT_EQ(0, s.elite);
  EXPECT_EQ(0.3f, s.crossover);
  EXPECT_EQ(0.125, s.mutationStep);
  EXPECT_EQ(gaInitMst, s.init);
  EXPECT_EQ(gaMemeticLs, s.memetic);
  EXPECT_TRUE(same(s, parsed(gaSettingsText(s, true))));
  EXPECT_EQ(gaRequestText(r), gaRequestText(request(gaRequestText(r))));
  EXPECT_EQ(
      "{\"profile\":\"design\",\"elite\":0,\"tournament\":1,\"crossover\":0.3,\"mutation\":0.01,"
      "\"mutation_step\":0.125,\"mutation_patience\":7,\"repair\":\"off\",\"init\":\"mst\","
      "\"memetic\":\"ls\",\"memetic_every\":50,\"memetic_count\":128,\"links\":\"all\","
      "\"kick\":2,\"islands\":1,\"migrate_every\":1,\"migrants\":4}",
      gaSettingsJson(s, r.profile));
  // A run's results show every value, a kick of 0 and the candidate links included.
  EXPECT_NE(std::string::npos, gaSettingsJson(parsed("profile=design"), 1).find("\"kick\":0"));
  const GaSettings wide = resolveGaSettings(request("links=all"), 300, false, true);
  EXPECT_NE(std::string::npos, gaSettingsJson(wide, 0).find("\"links\":\"all\""));
  // Islands make a run wide, as the tree steps do.
  EXPECT_EQ(linksAll, designWith("islands=2").links);
  EXPECT_EQ(0, designWith("islands=1").links);
  EXPECT_EQ(3, requestedIslands(request("islands=3 migrants=2")));
}

TEST(SettingsText, ANamedSettingOverridesOnlyItselfWhereverItStands) {
  const GaSettings solve = parsed("");
  EXPECT_FALSE(isDesign(solve));
  EXPECT_EQ(gaMemeticLs, solve.memetic);
  GaSettings expected = solve;
  expected.elite = 3;
  expected.tournament = 4;
  EXPECT_TRUE(same(expected, parsed("elite=3 profile=solve tournament=4")));
  EXPECT_TRUE(same(expected, parsed("tournament=4 elite=3")));
  // Beyond the design's limits the profile means other values; one named
  // setting (the candidate links) keeps all the others.
  const GaSettings wideSolve = resolveGaSettings(request(""), 300, false, true);
  EXPECT_EQ(gaInitMst, wideSolve.init);
  EXPECT_EQ(defaultCandidateLinks(300, false), wideSolve.links);
  GaSettings six = resolveGaSettings(request("links=6"), 300, false, true);
  EXPECT_EQ(6, six.links);
  six.links = wideSolve.links;
  EXPECT_TRUE(same(wideSolve, six));
  // profile=design beyond the limits: the design's GA over candidate links.
  GaSettings designWide = resolveGaSettings(request("profile=design"), 300, false, true);
  EXPECT_EQ(defaultCandidateLinks(300, false), designWide.links);
  designWide.links = 0;
  EXPECT_TRUE(isDesign(designWide));
  // A sparse file's links, and a small instance's, are all candidates.
  EXPECT_EQ(int(linksAll), resolveGaSettings(request(""), 300, true, true).links);
}

TEST(SettingsText, AKickNeedsTheLocalSearch) {
  EXPECT_EQ("", gaRequestProblem(request("kick=4")));
  EXPECT_EQ("", gaRequestProblem(request("profile=design memetic=ls kick=2")));
  EXPECT_EQ("", gaRequestProblem(request("profile=design kick=0")));
  EXPECT_NE("", gaRequestProblem(request("profile=design kick=3")));
  EXPECT_NE("", gaRequestProblem(request("memetic=prune")));  // the profile's kick of 3
  EXPECT_EQ("", gaRequestProblem(request("memetic=none kick=0")));
}

TEST(SettingsText, BadWordsAreRefusedAndChangeNothing) {
  const char* bad[] = {"elite=127",
                       "elite=-1",
                       "elite=1.5",
                       "elite=",
                       "tournament=0",
                       "tournament=129",
                       "crossover=1.01",
                       "crossover=nan",
                       "mutation=-0.1",
                       "mutation_step=2",
                       "mutation_patience=0",
                       "repair=yes",
                       "init=MST",
                       "memetic=full",
                       "memetic_every=51",
                       "memetic_count=0",
                       "elite= 3",
                       "colour=red",
                       "elite",
                       "=3",
                       "profile=fast",
                       "profile=",
                       "kick=-1",
                       "kick=65",
                       "kick=1.5",
                       "kick=",
                       "elite=0x10",
                       "crossover=0x1p-1",
                       "mutation=inf",
                       "links=0",
                       "links=0x10",
                       "links=2000",
                       "links=1e2",
                       "elite=1e1"};
  for (const char* word : bad) {
    GaRequest r = request("elite=3");
    std::string error;
    EXPECT_FALSE(parseGaSetting(word, &r, &error)) << word;
    EXPECT_FALSE(error.empty()) << word;
    EXPECT_EQ("profile=solve elite=3", gaRequestText(r)) << word;
  }
  GaRequest r;
  std::string error;
  parseGaSetting("colour=red", &r, &error);
  EXPECT_NE(std::string::npos, error.find("unknown setting 'colour'")) << error;
  parseGaSetting("tournament=0", &r, &error);
  EXPECT_NE(std::string::npos, error.find("tournament must be from 1 to 128")) << error;
  // Ranges of integers read as plain integers.
  parseGaSetting("memetic_every=51", &r, &error);
  EXPECT_NE(std::string::npos, error.find("memetic_every must be from 1 to 50")) << error;
  // A probability too small for a float's normal range is still in [0, 1];
  // one too large for a float is not.
  ASSERT_TRUE(parseGaSetting("mutation=1e-38", &r, &error)) << error;
  EXPECT_EQ(1e-38f, r.named.mutation);
  EXPECT_FALSE(parseGaSetting("crossover=1e39", &r, &error));
}

// One or more runs of the batch kernels on one random complete instance, each
// with its own settings, beside the plain model.
class BatchWithSettings : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gpuSelectBackend("cpu")); }
  void TearDown() override { release(); }
  void release() {
    gpuFree(runs);
    gpuFree(control);
    gpuFree(pops);
    gpuFree(bits);
    runs = control = pops = bits = nullptr;
  }

  // Weights 1..1000 drawn.
  void makeInstance(int nodes, float density, unsigned seed) {
    rng.seed(seed);
    std::vector<int16_t> w(size_t(nodes * (nodes - 1) / 2));
    std::uniform_int_distribution<int> weight(1, 1000);
    for (size_t k = 0; k < w.size(); ++k) w[k] = int16_t(weight(rng));
    in = modelCompleteInstance(nodes, w.data(), 0, density);
  }

  // Puts `count` runs of the instance on the device, run b with settings[b]
  // and random generator states (the same for all with sameStart), and makes
  // their initial generations.
  void start(const std::vector<GaSettings>& settings, bool sameStart = false) {
    release();
    count = settings.size();
    table.assign(count, BatchRun{});
    unsigned first[popSize];
    for (unsigned& s : first) s = unsigned(rng());
    for (size_t b = 0; b < count; ++b) {
      BatchRun& r = table[b];
      modelBatchRun(in, &r);
      for (int t = 0; t < popSize; ++t)
        r.next[t] = sameStart || b == 0 ? first[t] : unsigned(rng());
      r.settings = settings[b];
    }
    const size_t records = count * popSize;
    ASSERT_EQ(gpuSuccess, gpuMalloc(&runs, count * sizeof(BatchRun)));
    ASSERT_EQ(gpuSuccess, gpuMalloc(&control, count * sizeof(BatchControl)));
    ASSERT_EQ(gpuSuccess, gpuMalloc(&pops, records * sizeof(Chrom)));
    ASSERT_EQ(gpuSuccess, gpuMalloc(&bits, records * batchBitBytes));
    ASSERT_EQ(gpuSuccess, gpuMemset(bits, 0, records * batchBitBytes));
    ASSERT_EQ(gpuSuccess,
              gpuMemcpy(runs, table.data(), count * sizeof(BatchRun), gpuMemcpyHostToDevice));
    std::vector<Chrom> p(records);
    for (size_t k = 0; k < records; ++k)
      p[k].lbit = static_cast<unsigned char*>(bits) + k * batchBitBytes;
    ASSERT_EQ(gpuSuccess,
              gpuMemcpy(pops, p.data(), records * sizeof(Chrom), gpuMemcpyHostToDevice));
    const std::vector<BatchControl> active(count, BatchControl{0, 0, 1, 0});
    ASSERT_EQ(gpuSuccess, gpuMemcpy(control, active.data(), count * sizeof(BatchControl),
                                    gpuMemcpyHostToDevice));
    ASSERT_EQ(gpuSuccess,
              gpuLaunchBlocks(kernelBatchInitial, unsigned(count), popSize, runs, control, pops));
  }

  // One launch of fifty generations of every run at mutation probability m;
  // returns each run's best.
  std::vector<unsigned short> launch(float m) {
    std::vector<BatchControl> c(count, BatchControl{m, 0, 1, 0});
    EXPECT_EQ(gpuSuccess,
              gpuMemcpy(control, c.data(), count * sizeof(BatchControl), gpuMemcpyHostToDevice));
    EXPECT_EQ(gpuSuccess, gpuLaunchBlocks(kernelBatchGenerations, unsigned(count), popSize, runs,
                                          control, pops));
    EXPECT_EQ(gpuSuccess,
              gpuMemcpy(c.data(), control, count * sizeof(BatchControl), gpuMemcpyDeviceToHost));
    std::vector<unsigned short> best;
    for (const BatchControl& x : c) best.push_back(x.best);
    return best;
  }

  // Run b's population, its generator states and fit fields, as the model holds them.
  ModelState stateOf(size_t b) {
    ModelState s;
    std::memset(&s, 0, sizeof s);
    BatchRun r;
    EXPECT_EQ(gpuSuccess,
              gpuMemcpy(&r, static_cast<BatchRun*>(runs) + b, sizeof r, gpuMemcpyDeviceToHost));
    std::memcpy(s.next, r.next, sizeof s.next);
    std::vector<Chrom> p(popSize);
    EXPECT_EQ(gpuSuccess, gpuMemcpy(p.data(), static_cast<Chrom*>(pops) + b * popSize,
                                    popSize * sizeof(Chrom), gpuMemcpyDeviceToHost));
    for (int t = 0; t < popSize; ++t) {
      s.fit[t] = p[t].fit;
      EXPECT_EQ(gpuSuccess,
                gpuMemcpy(s.bits[t], p[t].lbit, size_t(in.probNlBytes), gpuMemcpyDeviceToHost));
    }
    return s;
  }

  std::mt19937 rng;
  ModelInstance in;
  size_t count = 0;
  std::vector<BatchRun> table;
  void *runs = nullptr, *control = nullptr, *pops = nullptr, *bits = nullptr;
};

// Each set of selection settings gives exactly what the model gives with them:
// elite slots kept, tournaments of the given size (1: the first draw wins, a
// random pick), the crossover probability, repair on or off; the design's
// values spelled out give the design.
TEST_F(BatchWithSettings, SelectionSettingsFollowTheModel) {
  const char* sets[] = {"elite=0 tournament=1 crossover=0.3 repair=off",
                        "elite=5 tournament=3 crossover=1", "elite=126 tournament=128 crossover=0",
                        "elite=16 tournament=8 crossover=0.85 repair=off",
                        "elite=16 tournament=8 crossover=0.85 mutation=0.005 mutation_step=0.005 "
                        "mutation_patience=1000 repair=on init=random memetic=none"};
  makeInstance(20, 0.3f, 11);
  std::vector<GaSettings> settings;
  for (const char* s : sets) settings.push_back(designWith(s));
  std::vector<ModelState> model;
  for (size_t b = 0; b < settings.size(); ++b) {
    ModelState s;
    std::memset(&s, 0, sizeof s);
    model.push_back(s);
  }
  start(settings);
  for (size_t b = 0; b < settings.size(); ++b) {
    // The model starts from the random population the kernel drew.
    ModelState& m = model[b];
    std::memcpy(m.next, table[b].next, sizeof m.next);
    modelGenerateRandomPopulation(in, m);
    const ModelSettings ms{settings[b].elite, settings[b].tournament, settings[b].crossover,
                           settings[b].repair != 0};
    modelEvpopInitial(in, m, ms);
  }
  for (float mut : {0.02f, 0.005f}) {
    const std::vector<unsigned short> best = launch(mut);
    for (size_t b = 0; b < settings.size(); ++b) {
      SCOPED_TRACE(sets[b]);
      const ModelSettings ms{settings[b].elite, settings[b].tournament, settings[b].crossover,
                             settings[b].repair != 0};
      uint16_t want = 0;
      modelGAallInOneOperator(in, model[b], mut, &want, ms);
      EXPECT_EQ(want, best[b]);
      const ModelState got = stateOf(b);
      for (int t = 0; t < popSize; ++t) {
        ASSERT_EQ(model[b].next[t], got.next[t]) << "stream " << t;
        ASSERT_EQ(model[b].fit[t], got.fit[t]) << "record " << t;
        ASSERT_EQ(0, std::memcmp(model[b].bits[t], got.bits[t], size_t(in.probNlBytes)))
            << "record " << t;
      }
    }
  }
}

TEST_F(BatchWithSettings, EliteZeroCanLoseTheBestAndRepairOffKeepsDuplicates) {
  makeInstance(8, 0.4f, 5);
  start({designWith("elite=0"), designGaSettings(), designWith("repair=off")});
  bool lost = false;
  std::vector<unsigned short> last = launch(0.05f);
  for (int k = 0; k < 6; ++k) {
    const std::vector<unsigned short> best = launch(0.05f);
    lost = lost || best[0] > last[0];
    EXPECT_LE(best[1], last[1]) << "the design's elite keeps its best";
    last = best;
  }
  EXPECT_TRUE(lost) << "elite 0: some launch ends worse than the one before";
  // Equal neighbours in the sorted population: few after repair, many without.
  auto duplicates = [&](size_t b) {
    const ModelState s = stateOf(b);
    int d = 0;
    for (int t = 0; t + 1 < popSize; ++t) d += s.fit[t] == s.fit[t + 1];
    return d;
  };
  EXPECT_GT(duplicates(2), 2 * duplicates(1));
}

}  // namespace
