// The pieces of smetp-batch around the engine, on their own: the runs file
// and grid parsers, the host's topology check, the result line and the
// writer that puts finished runs out in run order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "batch/progress.h"
#include "batch/results.h"
#include "batch/runs.h"
#include "files.h"
#include "problem/chrom.h"

namespace {

TEST(RunsFile, LinesCommentsBlanksTabsAndCrlf) {
  const std::string text =
      "# a comment line\n"
      "\n"
      "   \t \n"
      "data/g10.txt 1 5000 0 0.3\n"
      "\tg20.txt\t-7  49\t2 0.75   # a note\r\n"
      "g30.txt 3 150 1 0.25\r\n"
      "a#b 4 0 0 0\n"
      "last 5 100 0 1";  // no final line break
  std::vector<RunLine> runs;
  std::vector<RunsError> errors;
  ASSERT_TRUE(parseRunsText(text, &runs, &errors));
  ASSERT_EQ(5u, runs.size());
  EXPECT_EQ("data/g10.txt", runs[0].path);
  EXPECT_EQ(4, runs[0].line);
  EXPECT_EQ(1, runs[0].seed);
  EXPECT_EQ(5000, runs[0].maxGen);
  EXPECT_EQ(0.3f, runs[0].graphDens);
  EXPECT_EQ("g20.txt", runs[1].path);
  EXPECT_EQ(-7, runs[1].seed);
  EXPECT_EQ(49, runs[1].maxGen);
  EXPECT_EQ(2, runs[1].objHard);
  EXPECT_EQ(0.75f, runs[1].graphDens);
  EXPECT_EQ(0.25f, runs[2].graphDens);
  EXPECT_EQ("a#b", runs[3].path);  // '#' inside a word is part of it
  EXPECT_EQ("last", runs[4].path);
  EXPECT_EQ(8, runs[4].line);
  EXPECT_TRUE(parseRunsText("", &runs, &errors));
  EXPECT_TRUE(runs.empty());
}

TEST(RunsFile, NumbersParseWholeAndDensitiesAreProbabilities) {
  std::vector<RunLine> runs;
  ASSERT_EQ("", parseRunsTextOrError("g +7 -120 -3 1\n"
                                     "g -2147483648 010 2147483647 0\n"
                                     "g 1 1 1 .5\n"
                                     "g 1 1 1 1e-3\n",
                                     &runs));
  ASSERT_EQ(4u, runs.size());
  EXPECT_EQ(7, runs[0].seed);
  EXPECT_EQ(-120, runs[0].maxGen);
  EXPECT_EQ(-3, runs[0].objHard);
  EXPECT_EQ(1.0f, runs[0].graphDens);
  EXPECT_EQ(-2147483647 - 1, runs[1].seed);
  EXPECT_EQ(10, runs[1].maxGen);  // decimal, never octal
  EXPECT_EQ(0.5f, runs[2].graphDens);
  EXPECT_EQ(1e-3f, runs[3].graphDens);
  // Each field must be a number as a whole: no prefix of one, no overflow.
  for (const char* field : {"abc", "12abc", "5OOO", "1e3", "0x10", "99999999999", "-", "1.0"})
    for (const std::string& line :
         {std::string("g ") + field + " 50 0 0.3", std::string("g 1 ") + field + " 0 0.3",
          std::string("g 1 50 ") + field + " 0.3"}) {
      const std::string error = parseRunsTextOrError(line + "\n", &runs);
      // "-" as generations leaves them open: a run that then needs a time limit.
      const std::string expected = line == "g 1 - 0 0.3"
                                       ? "needs a time limit"
                                       : std::string("\"") + field + "\" is not a whole";
      EXPECT_NE(std::string::npos, error.find(expected)) << line << ": " << error;
    }
  for (const char* density : {"nan", "inf", "-inf", "1e309", "-1", "2", "1.0000001", "0.5x", "x"})
    EXPECT_NE(std::string::npos,
              parseRunsTextOrError(std::string("g 1 50 0 ") + density + "\n", &runs)
                  .find("is not a number from 0 to 1"))
        << density;
  // A setting named twice is an error, not the last one winning.
  EXPECT_NE(std::string::npos,
            parseRunsTextOrError("g 1 50 0 0.3 elite=5 tournament=4 elite=6\n", &runs)
                .find("the setting \"elite\" is given twice"));
}

TEST(RunsFile, EveryBadLineIsReportedWithItsNumber) {
  std::vector<RunLine> runs;
  std::vector<RunsError> errors;
  EXPECT_FALSE(
      parseRunsText("g 1 2 3 0.4\ng 1 2 3\n# x\ng 1 2 3 4 5 # six words\r\n"
                    "g\n"
                    "g 1 2 3 0.4\n" +
                        std::string("g 1\0 2 3 .4\n", 12),
                    &runs, &errors));
  ASSERT_EQ(4u, errors.size());
  EXPECT_EQ(2, errors[0].line);
  EXPECT_NE(std::string::npos, errors[0].reason.find("4 fields; a run line has 5"));
  EXPECT_EQ(4, errors[1].line);
  EXPECT_NE(std::string::npos, errors[1].reason.find("6 fields"));
  EXPECT_EQ(5, errors[2].line);
  EXPECT_NE(std::string::npos, errors[2].reason.find("1 field;"));
  EXPECT_EQ(7, errors[3].line);
  EXPECT_NE(std::string::npos, errors[3].reason.find("NUL"));
  runs.clear();
  const std::string text = parseRunsTextOrError("\n\nonly three words\n", &runs);
  EXPECT_EQ(0u, text.find("3: 3 fields; a run line has 5"));
}

TEST(GridLists, NumbersRangesAndNegativeSeeds) {
  std::vector<int> v;
  std::string error;
  ASSERT_TRUE(parseIntList("1-5", &v, &error));
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), v);
  ASSERT_TRUE(parseIntList("-3--1", &v, &error));
  EXPECT_EQ((std::vector<int>{-3, -2, -1}), v);
  ASSERT_TRUE(parseIntList("-5,7", &v, &error));
  EXPECT_EQ((std::vector<int>{-5, 7}), v);
  ASSERT_TRUE(parseIntList("-2-1,9,+4,0-0", &v, &error));
  EXPECT_EQ((std::vector<int>{-2, -1, 0, 1, 9, 4, 0}), v);
  ASSERT_TRUE(parseIntList("2147483646-2147483647", &v, &error));
  EXPECT_EQ((std::vector<int>{2147483646, 2147483647}), v);
  ASSERT_TRUE(parseIntList("-2147483648", &v, &error));
  EXPECT_EQ(std::numeric_limits<int>::min(), v[0]);
  for (const char* bad : {"", "3-1", "-1--3", "1,", ",1", "1,,2", "1-", "1--", "a", "1 ", " 1",
                          "1-2-3", "2147483648", "1.5", "0-2000000000", "--1"}) {
    EXPECT_FALSE(parseIntList(bad, &v, &error)) << bad;
    EXPECT_NE(std::string::npos, error.find(std::string("\"") + bad + "\"")) << error;
  }
  EXPECT_FALSE(parseIntList("3-1", &v, &error));
  EXPECT_NE(std::string::npos, error.find("the range 3-1 ends below its start"));
}

TEST(GridLists, DensitiesAndShards) {
  std::vector<float> d;
  std::string error;
  ASSERT_TRUE(parseFloatList("0.3,1,0,1e-3", &d, &error));
  EXPECT_EQ((std::vector<float>{0.3f, 1.0f, 0.0f, 1e-3f}), d);
  for (const char* bad :
       {"", "0.3,", "x", "0.3x", " 0.3", "0.3 ", "0.3,,1", "1.5", "-2", "nan", "inf", "1e309"})
    EXPECT_FALSE(parseFloatList(bad, &d, &error)) << bad;
  long k = -1, n = -1;
  ASSERT_TRUE(parseShard("0/1", &k, &n, &error));
  EXPECT_EQ(0, k);
  EXPECT_EQ(1, n);
  ASSERT_TRUE(parseShard("3/4", &k, &n, &error));
  EXPECT_EQ(3, k);
  EXPECT_EQ(4, n);
  for (const char* bad : {"4/4", "1/0", "-1/2", "1", "1/", "/2", "a/b", "1/2/3", " 1/2"})
    EXPECT_FALSE(parseShard(bad, &k, &n, &error)) << bad;
}

TEST(Grid, OrderInstanceHardnessDensitySeedAndCanonicalText) {
  std::vector<RunLine> runs;
  std::string error;
  ASSERT_TRUE(expandGrid({"a.txt", "b.txt"}, {-1, 5}, 100, {0, 2}, {0.3f, 0.75f}, &runs, &error));
  ASSERT_EQ(16u, runs.size());
  EXPECT_EQ("a.txt", runs[0].path);
  EXPECT_EQ(-1, runs[0].seed);
  EXPECT_EQ(5, runs[1].seed);
  EXPECT_EQ(0.75f, runs[2].graphDens);  // density before hardness
  EXPECT_EQ(0, runs[3].objHard);
  EXPECT_EQ(2, runs[4].objHard);
  EXPECT_EQ("b.txt", runs[8].path);
  const std::string text = canonicalRunsText(runs);
  EXPECT_EQ(0u, text.find("a.txt -1 100 0 0.3 profile=solve\na.txt 5 100 0 0.3 profile=solve\n"
                          "a.txt -1 100 0 0.75 profile=solve\n"));
  // The canonical text read back as a runs file gives the same runs.
  std::vector<RunLine> again;
  ASSERT_EQ("", parseRunsTextOrError(text, &again));
  ASSERT_EQ(runs.size(), again.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].path, again[i].path);
    EXPECT_EQ(runs[i].seed, again[i].seed);
    EXPECT_EQ(runs[i].objHard, again[i].objHard);
    EXPECT_EQ(runs[i].graphDens, again[i].graphDens);
  }
  // Settings after the five fields, and only after them.
  ASSERT_EQ("", parseRunsTextOrError("a.txt 1 2 3 0.5 init=mst elite=4\n", &again));
  EXPECT_EQ("a.txt 1 2 3 0.5 profile=solve elite=4 init=mst\n", canonicalRunsText(again));
  EXPECT_NE("", parseRunsTextOrError("a.txt 1 2 elite=4 3 0.5\n", &again));
  std::vector<int> many(1001);
  EXPECT_FALSE(expandGrid({"a", "b"}, many, 1, many, {0.5f}, &runs, &error));
  EXPECT_NE(std::string::npos, error.find("2004002 runs, more than 1000000"));
}

TEST(RunsFile, StopWordsOpenGenerationsAndProfileOrder) {
  RunStop batchWide;
  batchWide.timeLimit = 30;
  std::vector<RunLine> runs;
  ASSERT_EQ("", parseRunsTextOrError("a 1 - 0 0.3 time_limit=2.5 target=5214\n"
                                     "a 2 - 0 0.3\n"
                                     "a 3 100 0 0.3 target=8.5 time_limit=1\n"
                                     "a 4 100 0 0.3 profile=solve memetic_every=50\n"
                                     "a 5 100 0 0.3 memetic_every=50 profile=solve\n",
                                     &runs, batchWide));
  ASSERT_EQ(5u, runs.size());
  EXPECT_TRUE(runs[0].stop.noGenerationLimit);
  EXPECT_EQ(2.5, runs[0].stop.timeLimit);  // the line's word overrides --time-limit
  EXPECT_EQ(5214, runs[0].stop.target);
  EXPECT_EQ(30, runs[1].stop.timeLimit);  // --time-limit where the line names none
  EXPECT_EQ(-1, runs[1].stop.target);
  EXPECT_FALSE(runs[2].stop.noGenerationLimit);
  EXPECT_EQ(8.5, runs[2].stop.target);
  std::vector<RunLine> twice;
  EXPECT_NE(std::string::npos, parseRunsTextOrError("a 3 100 0 0.3 target=7 target=8\n", &twice)
                                   .find("the setting \"target\" is given twice"));
  // A named setting overrides the profile wherever it stands.
  EXPECT_EQ("profile=solve memetic_every=50", gaRequestText(runs[3].ga));
  EXPECT_EQ("profile=solve memetic_every=50", gaRequestText(runs[4].ga));
  // The canonical text keeps the open generations, the profile and the words.
  const std::string text = canonicalRunsText(runs);
  EXPECT_EQ(0u, text.find("a 1 - 0 0.3 profile=solve time_limit=2.5 target=5214\n"
                          "a 2 - 0 0.3 profile=solve time_limit=30\n"));
  std::vector<RunLine> again;
  ASSERT_EQ("", parseRunsTextOrError(text, &again));
  ASSERT_EQ(runs.size(), again.size());
  for (size_t i = 0; i < runs.size(); ++i)
    EXPECT_EQ(canonicalRunLine(runs[i]), canonicalRunLine(again[i]));

  // "-" needs a time limit; limits and targets are checked numbers.
  for (const char* bad :
       {"a 1 - 0 0.3 target=5", "a 1 1 0 0.3 time_limit=0", "a 1 1 0 0.3 time_limit=-1",
        "a 1 1 0 0.3 time_limit=1s", "a 1 1 0 0.3 time_limit=inf", "a 1 1 0 0.3 target=-1",
        "a 1 1 0 0.3 target=nan", "a 1 1 0 0.3 target=", "a 1 1 0 0.3 profile=fast",
        "a 1 1 0 0.3 target=0x10", "a 1 1 0 0.3 time_limit=0x1p3",
        "a 1 1 0 0.3 kick=2 memetic=none"})
    EXPECT_NE("", parseRunsTextOrError(bad, &again)) << bad;
  EXPECT_EQ("", parseRunsTextOrError("a 1 - 0 0.3", &again, batchWide));

  // A grid's --set words: a named setting overrides the profile whatever the
  // order of the options.
  Grid grid{{"g"}, {1}, 0, {0}, {0.3f}, {}};
  grid.stop.noGenerationLimit = true;
  GridSetting profile, every, limit;
  std::string error;
  ASSERT_TRUE(parseGridSetting("profile=solve", &profile, &error));
  ASSERT_TRUE(parseGridSetting("memetic_every=5,50", &every, &error));
  ASSERT_TRUE(parseGridSetting("time_limit=1,2", &limit, &error));
  GridSetting bad;
  EXPECT_FALSE(parseGridSetting("target=1,x", &bad, &error));
  grid.settings = {profile, every, limit};
  ASSERT_EQ(4, gridSize(grid));
  EXPECT_EQ(5, gridRun(grid, 1).ga.named.memeticEvery);
  EXPECT_EQ(50, gridRun(grid, 3).ga.named.memeticEvery);
  EXPECT_EQ(2, gridRun(grid, 3).stop.timeLimit);
  grid.settings = {every, profile};
  EXPECT_EQ("g 1 - 0 0.3 profile=solve memetic_every=5\n", canonicalRunLine(gridRun(grid, 0)));
  EXPECT_EQ("", gridSettingsProblem(grid));
  GridSetting design, kick;
  ASSERT_TRUE(parseGridSetting("profile=solve,design", &design, &error));
  ASSERT_TRUE(parseGridSetting("kick=0,2", &kick, &error));
  grid.settings = {design, kick};
  EXPECT_EQ(
      "the runs with profile=design kick=2: kick=2 needs memetic=ls (the kick restarts its search)",
      gridSettingsProblem(grid));
}

TEST(Grid, ShortestFloatTextReadsBack) {
  EXPECT_EQ("0.3", shortestText(0.3f));
  EXPECT_EQ("1.5", shortestText(1.5f));
  EXPECT_EQ("0.005", shortestText(0.005f));
  EXPECT_EQ("-2", shortestText(-2.0f));
  for (float f : {0.1f, 0.7f, 1.0f / 3.0f, 123456.79f, 1e-7f, 3.4e38f})
    EXPECT_EQ(f, std::strtof(shortestText(f).c_str(), nullptr)) << f;
}

// A graph of n nodes with the given pairs (0-based u < v, in pair order).
GraphData graphOf(int n, const std::vector<Link>& links) {
  GraphData g = {};
  g.n = n;
  g.nl = int(links.size());
  for (size_t e = 0; e < links.size(); ++e) g.links[e] = links[e];
  return g;
}

TEST(TopologyCheck, EnergyConnectivityAndListedPairs) {
  // 4 nodes, all 6 pairs; weights include 0 and a negative one.
  const GraphData g =
      graphOf(4, {{0, 1, 10}, {0, 2, 30}, {0, 3, -5}, {1, 2, 20}, {1, 3, 0}, {2, 3, 40}});
  std::string error;
  // A path 1-2-3-4: powers 10, 20, 40, 40.
  EXPECT_EQ(110, topologyEnergy(g, {{1, 2}, {2, 3}, {3, 4}}, &error));
  // Node 4 only by weights <= 0: its power is 0; node 1 keeps 10.
  EXPECT_EQ(10 + 20 + 20 + 0, topologyEnergy(g, {{1, 2}, {2, 3}, {1, 4}, {2, 4}}, &error));
  EXPECT_EQ(infeasibleFit, topologyEnergy(g, {{1, 2}, {3, 4}}, &error));
  EXPECT_EQ(infeasibleFit, topologyEnergy(g, {}, &error));
  EXPECT_EQ(-1, topologyEnergy(g, {{2, 1}}, &error));
  EXPECT_EQ(-1, topologyEnergy(g, {{1, 5}}, &error));
  EXPECT_NE(std::string::npos, error.find("[1, 5] is not an edge"));
  // A header with fewer pairs than the complete graph: (1,4) is not listed.
  const GraphData partial = graphOf(4, {{0, 1, 10}, {0, 2, 30}});
  EXPECT_EQ(-1, topologyEnergy(partial, {{1, 4}}, &error));
  // The cap: a feasible energy never reads as infeasible.
  const GraphData heavy = graphOf(3, {{0, 1, 32767}, {0, 2, 32767}, {1, 2, 1}});
  EXPECT_EQ(64999, topologyEnergy(heavy, {{1, 2}, {1, 3}}, &error));
  const GraphData two = graphOf(2, {{0, 1, 7}});
  EXPECT_EQ(14, topologyEnergy(two, {{1, 2}}, &error));
}

TEST(TopologyCheck, WrongBestIsCaught) {
  const GraphData g = graphOf(3, {{0, 1, 10}, {0, 2, 30}, {1, 2, 20}});
  RunResult r = {};
  r.hasTopology = true;
  r.topology = {{1, 2}, {2, 3}};  // powers 10, 20, 20
  r.record.best = 50;
  EXPECT_EQ("", checkTopology(g, r));
  r.record.best = 49;
  EXPECT_NE(std::string::npos, checkTopology(g, r).find("best 49 but its topology's energy is 50"));
  r.record.best = infeasibleFit;
  EXPECT_NE("", checkTopology(g, r));
  r.topology = {{1, 2}};
  EXPECT_EQ("", checkTopology(g, r));  // not connected, and the run says so
  r.record.best = 10;
  EXPECT_NE(std::string::npos, checkTopology(g, r).find("does not connect all nodes"));
  r.topology = {{1, 2}, {1, 2}, {3, 4}};
  EXPECT_NE(std::string::npos, checkTopology(g, r).find("not an edge"));
  r.hasTopology = false;
  r.topology.clear();
  r.record.best = infeasibleFit;
  EXPECT_EQ("", checkTopology(g, r));
  r.record.best = 40;
  EXPECT_NE(std::string::npos, checkTopology(g, r).find("but no topology"));
}

TEST(ResultLine, FieldsFromSpecResultAndInstance) {
  const GraphData g = graphOf(3, {{0, 1, 10}, {0, 2, 30}, {1, 2, 20}});
  const RunSpec spec = {"dir/g3.txt", -4, 149, 2, 0.3f, 17, 0};
  RunResult r = {};
  r.record.startTime = 0;
  r.record.path = spec.path.c_str();
  r.record.seed = spec.seed;
  r.record.maxGen = 100;
  r.record.objHard = 2;
  r.record.endMut = 0.01f;
  r.record.graphDens = spec.graphDens;
  r.record.best = 50;
  r.record.sec = 0.25;
  r.record.totSec = 0.5;
  r.record.constBytes = 38;
  r.launches = 2;
  r.history = {65000, 60, 50};
  r.hasTopology = true;
  r.topology = {{2, 3}, {1, 2}};
  r.backend = "cpu";
  const std::string line = resultLine(spec, r, g, "abc");
  ASSERT_EQ('\n', line.back());
  EXPECT_EQ(line.size() - 1, line.find('\n'));  // one line, whatever the record holds
  const nlohmann::json j = nlohmann::json::parse(line);
  EXPECT_EQ(17, j["index"]);
  EXPECT_EQ("abc", j["runs_sha256"]);
  EXPECT_EQ("dir/g3.txt", j["instance"]);
  EXPECT_EQ(3, j["nodes"]);
  EXPECT_EQ(3, j["edges"]);
  EXPECT_EQ(-4, j["seed"]);
  EXPECT_EQ(100, j["generations"]);
  EXPECT_EQ(2, j["hardness"]);
  EXPECT_NE(std::string::npos, line.find("\"density\":0.3,"));
  EXPECT_NE(std::string::npos, line.find("\"end_mutation\":0.01,"));
  EXPECT_EQ(2, j["launches"]);
  EXPECT_EQ(50, j["best"]);
  EXPECT_EQ(true, j["feasible"]);
  EXPECT_EQ((std::vector<int>{65000, 60, 50}), j["history"].get<std::vector<int>>());
  EXPECT_EQ(2, j["launch_of_best"]);
  EXPECT_EQ(0.25, j["seconds_to_best"]);
  EXPECT_EQ(0.5, j["seconds"]);
  EXPECT_EQ("cpu", j["backend"]);
  EXPECT_EQ((std::vector<std::vector<int>>{{1, 2}, {2, 3}}),
            j["topology"].get<std::vector<std::vector<int>>>());
  EXPECT_EQ(runRecordText(r.record), j["record"]);
  // The fields in the documented order.
  EXPECT_EQ(0u, line.find("{\"index\":17,\"runs_sha256\":\"abc\",\"instance\":"));
  EXPECT_LT(line.find("\"topology\""), line.find("\"record\""));

  r.hasTopology = false;
  r.topology.clear();
  r.launches = 0;
  r.history = {65000};
  r.record.best = infeasibleFit;
  const nlohmann::json none = nlohmann::json::parse(resultLine(spec, r, g, "abc"));
  EXPECT_TRUE(none["topology"].is_null());
  EXPECT_EQ(false, none["feasible"]);
  EXPECT_EQ(0, none["launch_of_best"]);

  // A path with the separators U+0085, U+2028 and U+2029 (and bytes that are
  // not UTF-8) stays on one line that no line splitter cuts.
  const std::string odd =
      "a\xc2\x85"
      "b\xe2\x80\xa8"
      "c\xe2\x80\xa9"
      "d\xff.txt";
  const RunSpec oddSpec = {odd, 1, 50, 0, 0.3f, 0, 0};
  r.record.path = oddSpec.path.c_str();
  const std::string oddLine = resultLine(oddSpec, r, g, "abc");
  for (const char* raw : {"\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9"})
    EXPECT_EQ(std::string::npos, oddLine.find(raw));
  EXPECT_EQ(oddLine.size() - 1, oddLine.find('\n'));
  EXPECT_EQ(
      "a\xc2\x85"
      "b\xe2\x80\xa8"
      "c\xe2\x80\xa9"
      "d\xef\xbf\xbd.txt",
      nlohmann::json::parse(oddLine)["instance"]);
}

TEST(ResultLine, LaunchOfBestAndSha256) {
  EXPECT_EQ(0, launchOfBest({65000}));
  EXPECT_EQ(0, launchOfBest({65000, 65000, 65000}));
  EXPECT_EQ(1, launchOfBest({65000, 70, 70}));
  EXPECT_EQ(3, launchOfBest({65000, 90, 80, 70, 70}));
  // The final check after the last launch may improve on the last progress value.
  EXPECT_EQ(2, launchOfBest({65000, 90, 70}));
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", sha256Hex(""));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", sha256Hex("abc"));
}

class Output : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/smetp-batch-out-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
  std::string dir;
};

TEST_F(Output, RunsFinishingOutOfOrderAreWrittenInOrder) {
  OrderedOutput out;
  std::string error;
  std::ofstream(dir + "/r.jsonl") << "old contents\n";
  ASSERT_TRUE(openOrderedOutput(&out, dir + "/r.jsonl", dir + "/out.dat", &error)) << error;
  EXPECT_EQ("", readFile(dir + "/r.jsonl"));  // truncated
  ASSERT_TRUE(offerResult(&out, 2, "two\n", "rec2\n", &error));
  ASSERT_TRUE(offerResult(&out, 1, "one\n", "rec1\n", &error));
  EXPECT_EQ("", readFile(dir + "/r.jsonl"));  // run 0 is not finished
  ASSERT_TRUE(offerResult(&out, 0, "zero\n", "rec0\n", &error));
  EXPECT_EQ("zero\none\ntwo\n", readFile(dir + "/r.jsonl"));
  EXPECT_EQ("rec0\nrec1\nrec2\n", readFile(dir + "/out.dat"));
  ASSERT_TRUE(offerResult(&out, 4, "four\n", "rec4\n", &error));
  ASSERT_TRUE(offerResult(&out, 3, "three\n", "rec3\n", &error));
  EXPECT_EQ("zero\none\ntwo\nthree\nfour\n", readFile(dir + "/r.jsonl"));
  EXPECT_TRUE(out.waiting.empty());
  ASSERT_TRUE(closeOrderedOutput(&out, &error));

  // Without a record file only the results are written.
  ASSERT_TRUE(openOrderedOutput(&out, dir + "/s.jsonl", "", &error));
  ASSERT_TRUE(offerResult(&out, 0, "x\n", "r\n", &error));
  ASSERT_TRUE(closeOrderedOutput(&out, &error));
  EXPECT_EQ("rec0\nrec1\nrec2\nrec3\nrec4\n", readFile(dir + "/out.dat"));
}

TEST_F(Output, FailedWritesNameTheFileAndKeepTheRecord) {
  OrderedOutput out;
  std::string error;
  EXPECT_FALSE(openOrderedOutput(&out, dir + "/no/such/dir/r.jsonl", "", &error));
  EXPECT_NE(std::string::npos, error.find("cannot write results file " + dir +
                                          "/no/such/dir/r.jsonl: No such file or directory"));
  ASSERT_TRUE(openOrderedOutput(&out, "/dev/full", "", &error));
  EXPECT_FALSE(offerResult(&out, 0, "line\n", "the record\n", &error));
  EXPECT_EQ(0u, error.find("cannot write results file /dev/full: No space left on device\n"));
  EXPECT_NE(std::string::npos, error.find("\nthe record\n"));
  EXPECT_TRUE(out.failed);
  EXPECT_FALSE(offerResult(&out, 1, "more\n", "r\n", &error));
  closeOrderedOutput(&out, &error);

  ASSERT_TRUE(openOrderedOutput(&out, dir + "/r.jsonl", dir, &error));  // record: a folder
  EXPECT_FALSE(offerResult(&out, 0, "line\n", "the record\n", &error));
  EXPECT_EQ(0u, error.find("cannot append to record file " + dir + ": Is a directory\n"));
  EXPECT_NE(std::string::npos, error.find("\nthe record\n"));
  closeOrderedOutput(&out, &error);
}

TEST(ProgressText, BarAndDurations) {
  EXPECT_EQ("0:00", durationText(0));
  EXPECT_EQ("1:05", durationText(65));
  EXPECT_EQ("1:01:01", durationText(3661));
  EXPECT_EQ("--:--", durationText(-1));
  EXPECT_EQ("[#####.....] 5/10 runs  best 5214  50/100 launches  1234 gen/s  0:10 left",
            barText(5, 10, 5214, 50, 100, 1234.4, 10, 10));
  EXPECT_EQ("[..........] 0/3 runs  best -  0/60 launches  0 gen/s  --:-- left",
            barText(0, 3, -1, 0, 60, 0, -1, 10));
  // Runs without a limit on generations: no launch total, the bar counts runs.
  EXPECT_EQ("[###.......] 1/3 runs  best 65000  7 launches  50 gen/s  1:00 left",
            barText(1, 3, 65000, 7, -1, 50, 60, 10));
}

TEST(ProgressText, TimeLeftByTheRunsLimits) {
  // Three runs of 60 s, two at a time: two waves of 60 s.
  EXPECT_DOUBLE_EQ(120, secondsLeftByLimits(180, 0, 3, 2, 0));
  EXPECT_DOUBLE_EQ(75, secondsLeftByLimits(180, 0, 3, 2, 45));
  // A run that met its target 50 s early leaves that to the others' share.
  EXPECT_DOUBLE_EQ(50, secondsLeftByLimits(180, 50, 3, 2, 45));
  // More slots than runs: one wave; never below 0; unknown without limits or slots.
  EXPECT_DOUBLE_EQ(60, secondsLeftByLimits(120, 0, 2, 8, 0));
  EXPECT_DOUBLE_EQ(0, secondsLeftByLimits(120, 0, 2, 8, 90));
  EXPECT_DOUBLE_EQ(-1, secondsLeftByLimits(-1, 0, 2, 8, 0));
  EXPECT_DOUBLE_EQ(-1, secondsLeftByLimits(120, 0, 2, 0, 0));
}

}  // namespace
