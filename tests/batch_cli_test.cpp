// smetp-batch run as a process: its errors and what it leaves behind, shards,
// the order of results and records, signals, and each run against smetp
// itself on the same five arguments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "batch/results.h"
#include "files.h"

namespace {

using nlohmann::json;

struct Result {
  int status;
  std::string out, err;
};

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The records of a record file, one string each.
std::vector<std::string> recordsOf(const std::string& text) {
  const std::string start = "-----------------------------------------------------------\t\t\t\t\n";
  std::vector<std::string> records;
  for (size_t p = text.find(start); p != std::string::npos;) {
    const size_t next = text.find(start, p + start.size());
    records.push_back(text.substr(p, next == std::string::npos ? std::string::npos : next - p));
    p = next;
  }
  return records;
}

// A complete graph of n nodes with weight 10 * (u + v) - 35 (some weights
// are not positive), both directions listed.
std::string completeGraph(int n) {
  std::string text = std::to_string(n) + " " + std::to_string(n * (n - 1)) + "\n";
  for (int u = 1; u <= n; ++u)
    for (int v = 1; v <= n; ++v)
      if (u != v)
        text += std::to_string(u) + " " + std::to_string(v) + " " +
                std::to_string(10 * (u + v) - 35) + "\n";
  return text;
}

class BatchCli : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/smetp-batch-cli-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir = pattern;
    writeFile(path("g6.txt"), completeGraph(6));
    writeFile(path("g2.txt"), "2 2\n1 2 5\n2 1 5\n");
    writeFile(path("g10.txt"), readFile(SMETP_DATA_DIR "/g10.txt"));
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

  Result runExe(const char* exe, const std::string& args, const std::string& input = "") {
    std::string cmd =
        "cd '" + dir + "' && SMETP_BACKEND=cpu '" + exe + "' " + args + " >stdout.txt 2>stderr.txt";
    if (!input.empty()) {
      writeFile(path("stdin.txt"), input);
      cmd += " <stdin.txt";
    } else {
      cmd += " </dev/null";
    }
    const int raw = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(path("stdout.txt"));
    r.err = readFile(path("stderr.txt"));
    return r;
  }
  // smetp-batch with the design's profile for runs that name none, so that
  // each run gives what smetp gives; solveBatch without it.
  Result batch(const std::string& args, const std::string& input = "") {
    return runExe(SMETP_BATCH_EXE, "--profile design " + args, input);
  }
  Result solveBatch(const std::string& args, const std::string& input = "") {
    return runExe(SMETP_BATCH_EXE, args, input);
  }

  std::vector<json> results(const std::string& name = "results.jsonl") {
    std::vector<json> out;
    for (const std::string& l : linesOf(readFile(path(name)))) out.push_back(json::parse(l));
    return out;
  }

  std::string path(const std::string& name) { return dir + "/" + name; }
  std::string dir;
};

TEST_F(BatchCli, BadLinesAreNamedByFileAndLineAndNothingIsWritten) {
  writeFile(path("results.jsonl"), "earlier results\n");
  writeFile(path("runs.txt"), "# runs\ng6.txt 1 100 0 0.5\ng6.txt 1 100 0\n\ng6.txt 1 2 3 4 5\n");
  Result r = batch("runs.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(
      "smetp-batch: runs.txt:3: 4 fields; a run line has 5: graphfile seed generations hardness "
      "density (then GA settings as name=value)\n"
      "smetp-batch: runs.txt:5: 6 fields; a run line has 5: graphfile seed generations hardness "
      "density (then GA settings as name=value)\n",
      r.err);

  // Instances: each read once, the first line that names it reported.
  writeFile(path("bad.txt"), "3 6\n1 2 10\n1 3\n");
  writeFile(path("runs.txt"),
            "g6.txt 1 100 0 0.5\nnowhere.txt 1 100 0 0.5\nbad.txt 2 50 0 0.5\n"
            "nowhere.txt 3 100 0 0.5\n");
  r = batch("runs.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(
      "smetp-batch: runs.txt:2: cannot open graph file nowhere.txt: No such file or directory\n"
      "smetp-batch: runs.txt:3: bad graph file bad.txt: line 3: the file ends after 1 of 3 edges\n",
      r.err);
  r = batch("-", "g6.txt 1 100 0 0.5\n\nnowhere.txt 1 100 0 0.5\n");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.err.find("smetp-batch: -:3: cannot open graph file nowhere.txt: "));

  // The grid's instances are named by the option.
  r = batch(
      "--instance g6.txt --instance nowhere.txt --seeds 1-3 --generations 50 "
      "--hardness 0 --density 0.5");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(
      "smetp-batch: --instance nowhere.txt: cannot open graph file nowhere.txt: No such file or "
      "directory\n",
      r.err);
  r = batch("--instance g6.txt --seeds 3-1 --generations 50 --hardness 0 --density 0.5");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("smetp-batch: --seeds \"3-1\": the range 3-1 ends below its start\n", r.err);
  EXPECT_EQ(1, batch("--instance g6.txt --seeds 1 --hardness 0 --density 0.5").status);
  EXPECT_EQ(1, batch("runs.txt --instance g6.txt --seeds 1 --generations 50 --hardness 0 "
                     "--density 0.5")
                   .status);
  EXPECT_EQ(1, batch("missing-runs.txt").status);
  EXPECT_EQ(1, batch("--shard 2/2 -", "g6.txt 1 100 0 0.5\n").status);
  EXPECT_EQ(1, batch("", "").status);

  EXPECT_EQ("earlier results\n", readFile(path("results.jsonl")));
  EXPECT_FALSE(exists(path("out.dat")));

  r = batch("--help");
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.out.find("--shard"));
  // The project's one version number, and no run made for it.
  r = batch("--version");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(std::string("smetp-batch ") + SMETP_PROJECT_VERSION + "\n", r.out);
  EXPECT_FALSE(exists(path("out.dat")));
}

TEST_F(BatchCli, ResultsAndRecordsInRunOrderWhateverFinishesFirst) {
  // Long runs first, so that later runs finish before earlier ones.
  std::string runs = "# mixed lengths\n";
  for (int i = 0; i < 8; ++i)
    runs += "g6.txt " + std::to_string(i) + " " + std::to_string(i < 2 ? 1000 : 50) + " 0 0.5\n";
  writeFile(path("runs.txt"), runs);
  const Result r = batch("--jobs 3 --results r.jsonl --record rec.dat runs.txt");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(8u, linesOf(r.err).size());  // one progress line per run: stderr is not a terminal
  const std::vector<json> res = results("r.jsonl");
  const std::vector<std::string> records = recordsOf(readFile(path("rec.dat")));
  ASSERT_EQ(8u, res.size());
  ASSERT_EQ(8u, records.size());
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(i, res[size_t(i)]["index"]);
    EXPECT_EQ(i, res[size_t(i)]["seed"]);
    // The hash covers --profile, which changes the runs.
    EXPECT_EQ(sha256Hex(runs + "profile=design\n"), res[size_t(i)]["runs_sha256"]);
    EXPECT_EQ(records[size_t(i)], res[size_t(i)]["record"]);
    EXPECT_EQ("g6.txt", res[size_t(i)]["instance"]);
    EXPECT_EQ(6, res[size_t(i)]["nodes"]);
    EXPECT_EQ(15, res[size_t(i)]["edges"]);
  }
  EXPECT_FALSE(exists(path("out.dat")));
  ASSERT_EQ(0, batch("--no-record --quiet runs.txt").status);
  EXPECT_EQ("", readFile(path("stderr.txt")));
  EXPECT_EQ(8u, results().size());
  EXPECT_FALSE(exists(path("out.dat")));
}

TEST_F(BatchCli, QuietSaysNothingWhicheverFormRuns) {
  // The form left to the batch to choose: a CUDA build without a usable
  // device falls back to the CPU form, and says so once, or never with --quiet.
  writeFile(path("runs.txt"), "g6.txt 1 100 0 0.5\ng6.txt 2 100 0 0.5\ng6.txt 3 100 0 0.5\n");
  for (const std::string quiet : {"--quiet ", ""}) {
    const std::string cmd = "cd '" + dir + "' && env -u SMETP_BACKEND '" + SMETP_BATCH_EXE +
                            "' --jobs 3 --no-record --overwrite " + quiet +
                            "runs.txt >out.txt 2>err.txt";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    const std::string err = readFile(path("err.txt"));
    const size_t notices = err.find("no usable CUDA device") == std::string::npos ? 0 : 1;
    EXPECT_EQ(std::string::npos, err.find("no usable CUDA device", err.find("no usable") + 1));
    EXPECT_EQ(quiet.empty() ? 3 + notices : 0, linesOf(err).size()) << err;
  }
}

TEST_F(BatchCli, ShardsTakeEveryNthRunAndKeepTheGlobalIndex) {
  const std::string grid =
      "--instance g6.txt --instance g2.txt --seeds=-1-1 --generations 100 --hardness 0 "
      "--density 0.3,0.6 --quiet --no-record";
  ASSERT_EQ(0, batch(grid + " --results all.jsonl").status);
  const std::vector<json> all = results("all.jsonl");
  ASSERT_EQ(12u, all.size());
  // Grid order: instance, hardness, density, seed.
  EXPECT_EQ(-1, all[0]["seed"]);
  EXPECT_EQ(1, all[2]["seed"]);
  EXPECT_EQ(0.6, all[3]["density"]);
  EXPECT_EQ("g2.txt", all[6]["instance"]);
  const std::string canonical =
      "g6.txt -1 100 0 0.3 profile=design\ng6.txt 0 100 0 0.3 profile=design\n"
      "g6.txt 1 100 0 0.3 profile=design\ng6.txt -1 100 0 0.6 profile=design\n"
      "g6.txt 0 100 0 0.6 profile=design\ng6.txt 1 100 0 0.6 profile=design\n"
      "g2.txt -1 100 0 0.3 profile=design\ng2.txt 0 100 0 0.3 profile=design\n"
      "g2.txt 1 100 0 0.3 profile=design\ng2.txt -1 100 0 0.6 profile=design\n"
      "g2.txt 0 100 0 0.6 profile=design\ng2.txt 1 100 0 0.6 profile=design\n";
  EXPECT_EQ(sha256Hex(canonical), all[0]["runs_sha256"]);
  // The same runs from a runs file carry the file's own hash.
  writeFile(path("runs.txt"), canonical);
  for (int k = 0; k < 5; ++k) {
    const std::string name = "s" + std::to_string(k) + ".jsonl";
    ASSERT_EQ(0, solveBatch("--quiet --no-record --shard " + std::to_string(k) + "/5 --results " +
                            name + " runs.txt")
                     .status);
    const std::vector<json> part = results(name);
    ASSERT_EQ(k < 2 ? 3u : 2u, part.size());
    for (size_t j = 0; j < part.size(); ++j) {
      const size_t i = size_t(k) + 5 * j;
      EXPECT_EQ(long(i), part[j]["index"]);
      EXPECT_EQ(sha256Hex(canonical), part[j]["runs_sha256"]);
      for (const char* field : {"instance", "seed", "density", "best", "history", "topology"})
        EXPECT_EQ(all[i][field], part[j][field]) << field << " of run " << i;
    }
  }
  // More shards than runs: an empty shard is a finished one.
  ASSERT_EQ(0, batch("--quiet --no-record --shard 20/21 --results e.jsonl runs.txt").status);
  EXPECT_EQ("", readFile(path("e.jsonl")));
}

// Starts smetp-batch in the background; returns its process id.
pid_t startBatch(const std::string& dir, const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (!std::freopen("/dev/null", "r", stdin) || !std::freopen("stderr.txt", "w", stderr))
      _exit(127);
    // The design's profile, as batch() gives it.
    std::vector<char*> argv = {const_cast<char*>(SMETP_BATCH_EXE), const_cast<char*>("--profile"),
                               const_cast<char*>("design")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    setenv("SMETP_BACKEND", "cpu", 1);
    execv(SMETP_BATCH_EXE, argv.data());
    _exit(127);
  }
  return pid;
}

TEST_F(BatchCli, SignalsEndTheBatchWithWholeResults) {
  writeFile(path("g45.txt"), readFile(SMETP_DATA_DIR "/g45.txt"));
  // Two short runs that finish early, then long ones that the signal stops.
  std::string runs = "g45.txt 1 50 0 0.3\ng45.txt 2 100 0 0.3\n";
  for (int i = 0; i < 4; ++i) runs += "g45.txt " + std::to_string(i) + " 20000 0 0.3\n";
  writeFile(path("runs.txt"), runs);
  for (const int sig : {SIGINT, SIGTERM}) {
    const pid_t pid = startBatch(dir, {"--jobs", "1", "runs.txt"});
    ASSERT_GT(pid, 0);
    // Wait for the first result, then stop the batch.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (readFile(path("results.jsonl")).empty() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(pid, sig);
    int raw = 0;
    ASSERT_EQ(pid, waitpid(pid, &raw, 0));
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(sig == SIGINT ? 130 : 143, WEXITSTATUS(raw));
    const std::string text = readFile(path("results.jsonl"));
    ASSERT_FALSE(text.empty());
    EXPECT_EQ('\n', text.back());
    const std::vector<json> res = results();
    EXPECT_LE(1u, res.size());
    EXPECT_GE(2u, res.size());
    const std::vector<std::string> records = recordsOf(readFile(path("out.dat")));
    ASSERT_EQ(res.size(), records.size());
    for (size_t i = 0; i < res.size(); ++i) {
      EXPECT_EQ(long(i), res[i]["index"]);
      EXPECT_EQ(records[i], res[i]["record"]);
    }
    std::remove(path("out.dat").c_str());
    std::remove(path("results.jsonl").c_str());
  }
}

// The best values of smetp's progress lines "Najbolja:\t<best>\t= <generations>".
std::vector<int> progressValues(const std::string& out) {
  std::vector<int> values;
  for (const std::string& l : linesOf(out))
    if (l.rfind("Najbolja:\t", 0) == 0) values.push_back(std::stoi(l.substr(10)));
  return values;
}

TEST_F(BatchCli, EachRunGivesWhatSmetpGivesForTheSameArguments) {
  writeFile(path("g10b.txt"), readFile(SMETP_DATA_DIR "/g10.txt"));
  // Several instances, 0, 49 and 149 generations, a negative seed, two
  // nodes, density 1, hardness 1 and 2, and more runs than jobs.
  const std::vector<std::string> runs = {
      "g10.txt 1 600 0 0.3",    "g6.txt -5 149 1 0.5", "g2.txt 7 149 0 0.5",
      "g10b.txt 2 149 2 1",     "g6.txt 3 49 0 0.3",   "g10.txt 4 0 0 0.3",
      "./g10.txt -1 300 1 0.1", "g6.txt 12 250 2 0.9", "g2.txt -3 0 1 0.9",
  };
  std::string runsText;
  for (const std::string& r : runs) runsText += r + "\n";
  writeFile(path("runs.txt"), runsText);

  std::vector<std::vector<int>> progress;
  for (const std::string& r : runs) {
    const Result s = runExe(SMETP_EXE, r);
    ASSERT_EQ(0, s.status) << r << ": " << s.err;
    progress.push_back(progressValues(s.out));
  }
  const std::vector<std::string> smetpRecords = recordsOf(readFile(path("out.dat")));
  ASSERT_EQ(runs.size(), smetpRecords.size());

  for (const char* jobs : {"1", "2", "2 --resident 5"}) {
    const std::string rec = std::string("batch") + jobs[0] + (jobs[1] ? "r" : "") + ".dat";
    const Result b =
        batch(std::string("--quiet --overwrite --jobs ") + jobs + " --record " + rec + " runs.txt");
    ASSERT_EQ(0, b.status) << b.err;
    const std::vector<json> res = results();
    const std::vector<std::string> records = recordsOf(readFile(path(rec)));
    ASSERT_EQ(runs.size(), res.size());
    ASSERT_EQ(runs.size(), records.size());
    for (size_t i = 0; i < runs.size(); ++i) {
      SCOPED_TRACE(runs[i] + " with --jobs " + jobs);
      EXPECT_EQ(maskTimes(smetpRecords[i]), maskTimes(records[i]));
      EXPECT_EQ(records[i], res[i]["record"]);
      std::vector<int> history = progress[i];
      history.push_back(res[i]["best"]);
      EXPECT_EQ(history, res[i]["history"].get<std::vector<int>>());
      EXPECT_EQ(progress[i].size(), res[i]["launches"].get<size_t>());
      EXPECT_EQ(res[i]["best"].get<int>() < 65000, res[i]["feasible"].get<bool>());
      EXPECT_EQ(res[i]["launches"] == 0, res[i]["topology"].is_null());
    }
  }
}

// A result line without the fields that hold times.
json withoutTimes(json j) {
  j.erase("seconds");
  j.erase("seconds_to_best");
  j.erase("seconds_to_target");
  if (j["record"].is_string()) j["record"] = maskTimes(j["record"].get<std::string>());
  return j;
}

TEST_F(BatchCli, AnInterruptedAndResumedBatchEqualsOneBatchRunInOneGo) {
  writeFile(path("g45.txt"), readFile(SMETP_DATA_DIR "/g45.txt"));
  std::string runs;
  // Run 0 is out first while run 3, far longer, has not finished.
  for (int i = 0; i < 6; ++i)
    runs += "g45.txt " + std::to_string(i) +
            (i == 0   ? " 2000 0 0.3\n"
             : i == 3 ? " 20000 0 0.3\n"
                      : " 150 1 0.3\n");
  runs += "g10.txt 9 0 0 0.3\ng6.txt 4 250 2 0.5\n";
  writeFile(path("runs.txt"), runs);
  ASSERT_EQ(0, batch("--quiet --jobs 2 --results one.jsonl --record one.dat runs.txt").status);
  const std::vector<json> one = results("one.jsonl");
  const std::string oneRecords = maskTimes(readFile(path("one.dat")));

  // Stopped once a first result is out, then resumed with other workers and
  // another pool, with the last line cut short as a killed batch may leave it.
  const pid_t pid = startBatch(dir, {"--jobs", "2", "--resident", "3", "runs.txt"});
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (readFile(path("results.jsonl")).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  kill(pid, SIGINT);
  int raw = 0;
  ASSERT_EQ(pid, waitpid(pid, &raw, 0));
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(130, WEXITSTATUS(raw));
  const size_t kept = results().size();
  ASSERT_LT(0u, kept);
  ASSERT_GT(one.size(), kept);
  EXPECT_NE(std::string::npos, readFile(path("stderr.txt")).find("--resume finishes the batch"));
  // The long run 3 was part way: its state waits beside the results.
  EXPECT_TRUE(exists(path("results.jsonl.ckpt/run-3.ckpt")));
  const std::string text = readFile(path("results.jsonl"));
  const std::string last = linesOf(text).back();
  writeFile(path("results.jsonl"), text + last.substr(0, last.size() / 2));

  Result r = batch("--quiet --jobs 1 --resident 2 --resume runs.txt");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("results.jsonl:" + std::to_string(kept + 1) +
                                          ": the last line was cut short"));
  const std::vector<json> resumed = results();
  ASSERT_EQ(one.size(), resumed.size());
  for (size_t i = 0; i < one.size(); ++i) EXPECT_EQ(withoutTimes(one[i]), withoutTimes(resumed[i]));
  EXPECT_EQ(oneRecords, maskTimes(readFile(path("out.dat"))));
  EXPECT_FALSE(exists(path("results.jsonl.ckpt")));

  // Nothing left to run; results of other runs are refused and kept.
  r = batch("--quiet --resume runs.txt");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(one.size(), results().size());
  writeFile(path("other.txt"), "g6.txt 1 50 0 0.3\n");
  r = batch("--quiet --resume other.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("results.jsonl:1: the results are of other runs"));
  EXPECT_EQ(one.size(), results().size());
}

TEST_F(BatchCli, InputsLockedResultsAndFailedRecordsAreNeverOverwritten) {
  writeFile(path("runs.txt"), "g6.txt 1 100 0 0.5\ng10.txt 2 100 0 0.5\n");
  const std::string runsText = readFile(path("runs.txt"));
  for (const char* results : {"runs.txt", "g6.txt", "./out.dat"}) {
    const Result r = batch(std::string("--results ") + results + " runs.txt");
    EXPECT_EQ(1, r.status) << results;
    EXPECT_NE(std::string::npos, r.err.find("give another --results file")) << r.err;
  }
  EXPECT_EQ(runsText, readFile(path("runs.txt")));
  EXPECT_EQ(completeGraph(6), readFile(path("g6.txt")));

  // A results file that another batch holds.
  writeFile(path("held.jsonl"), "another batch's results\n");
  const int fd = open(path("held.jsonl").c_str(), O_RDONLY);
  ASSERT_LE(0, fd);
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  Result r = batch("--results held.jsonl runs.txt");
  close(fd);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("smetp-batch: results file held.jsonl is being written by another batch\n", r.err);
  EXPECT_EQ("another batch's results\n", readFile(path("held.jsonl")));

  // A record that fills the file up part way is cut off again, and its run
  // is not in the results, so a resume makes it again.
  const std::string before(1900, '#');
  writeFile(path("full.dat"), before);
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit fileSize = {2048, 2048};
    if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0) _exit(127);
    execl(SMETP_BATCH_EXE, SMETP_BATCH_EXE, "--quiet", "--results",
          (dir + "/results.jsonl").c_str(), "--record", (dir + "/full.dat").c_str(),
          (dir + "/runs.txt").c_str(), (char*)nullptr);
    _exit(127);
  }
  int raw = 0;
  ASSERT_EQ(pid, waitpid(pid, &raw, 0));
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(1, WEXITSTATUS(raw));
  EXPECT_EQ(before, readFile(path("full.dat")));
  EXPECT_EQ("", readFile(path("results.jsonl")));
}

TEST_F(BatchCli, APoolHasNoMoreSlotsThanTheRuns) {
  // The largest --resident on one run: a pool of one slot, not of a million.
  writeFile(path("runs.txt"), "g6.txt 1 50 0 0.5\n");
  const Result r = batch("--quiet --no-record --resident 1048576 runs.txt");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(1u, results().size());
}

TEST_F(BatchCli, RunsAtTheEnergyCapAreMarkedAndWarnedOf) {
  // Every connected topology of this triangle sums to 60000 or more.
  writeFile(path("heavy.txt"), "3 6\n1 2 20000\n1 3 30000\n2 3 30000\n");
  // The second run's target is above the cap: a capped best (any energy from
  // 64999 up) does not meet it.
  writeFile(path("runs.txt"),
            "heavy.txt 1 100 0 0.5\nheavy.txt 2 100 0 0.5 target=100000\ng6.txt 1 100 0 0.5\n");
  const Result r = batch("--quiet --no-record runs.txt");
  ASSERT_EQ(0, r.status) << r.err;
  const std::vector<json> res = results();
  ASSERT_EQ(3u, res.size());
  EXPECT_EQ(64999, res[0]["best"]);
  EXPECT_EQ(std::vector<bool>({true, true, false}),
            std::vector<bool>({res[0]["capped"], res[1]["capped"], res[2]["capped"]}));
  EXPECT_EQ("generations", res[1]["stop"]);
  EXPECT_EQ(2, res[1]["launches"]);
  // One warning per instance, for whichever of its runs finishes first.
  const size_t warned = r.err.find(") ends at the energy cap 64999");
  EXPECT_NE(std::string::npos, warned) << r.err;
  EXPECT_EQ(std::string::npos, r.err.find(") ends at the energy cap", warned + 1));
  EXPECT_NE(std::string::npos, r.err.find("warning: 2 runs end at the energy cap 64999"));
}

TEST_F(BatchCli, AResumeRefusesAGraphFileThatChanged) {
  writeFile(path("mine.txt"), readFile(path("g6.txt")));
  writeFile(path("runs.txt"), "mine.txt 1 100 0 0.5\nmine.txt 2 100 0 0.5\n");
  ASSERT_EQ(0, batch("--quiet --no-record runs.txt").status);
  const std::vector<json> res = results();
  ASSERT_EQ(2u, res.size());
  EXPECT_EQ(sha256Hex(readFile(path("mine.txt"))), res[1]["instance_sha256"]);
  // The same file resumes; once one weight changed, the results are not its.
  ASSERT_EQ(0, batch("--quiet --no-record --resume runs.txt").status);
  std::string text = readFile(path("mine.txt"));
  text[text.find_last_of("0123456789")] ^= 1;
  writeFile(path("mine.txt"), text);
  const Result r = batch("--quiet --no-record --resume runs.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("graph file mine.txt changed since these results were made"))
      << r.err;
  EXPECT_EQ(2u, results().size());
}

// Checkpoints written as the run goes and at SIGTERM are used only by their
// own run: once the run's words changed, the resume says so and makes the
// run from its beginning; a batch that made every run leaves no checkpoint.
TEST_F(BatchCli, ACheckpointOfOtherRunsIsRefusedWithTheDifferenceNamed) {
  writeFile(path("g45.txt"), readFile(SMETP_DATA_DIR "/g45.txt"));
  writeFile(path("runs.txt"), "g45.txt 1 100000 0 0.3\n");
  const pid_t pid = startBatch(dir, {"--no-record", "--checkpoint-every", "0.001", "runs.txt"});
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!exists(path("results.jsonl.ckpt/run-0.ckpt")) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  kill(pid, SIGTERM);
  int raw = 0;
  ASSERT_EQ(pid, waitpid(pid, &raw, 0));
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(143, WEXITSTATUS(raw));
  EXPECT_NE(std::string::npos,
            readFile(path("stderr.txt")).find("1 unfinished run is checkpointed"));
  writeFile(path("runs.txt"), "g45.txt 1 100 0 0.3\n");
  const Result r = batch("--no-record --resume runs.txt");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("run-0.ckpt is of another run (runs_sha256")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("the run starts from its beginning")) << r.err;
  ASSERT_EQ(1u, results().size());
  EXPECT_EQ(2, results()[0]["launches"]);
  EXPECT_FALSE(exists(path("results.jsonl.ckpt")));
}

TEST_F(BatchCli, RunsGetTheSolveProfileUnlessTheyNameTheDesigns) {
  const Result r = solveBatch("--quiet --results - --record rec.dat -",
                              "g10.txt 1 100 0 0.3\ng10.txt 1 100 0 0.3 profile=design\n"
                              "g10.txt 1 100 0 0.3 kick=5\n");
  ASSERT_EQ(0, r.status) << r.err;
  std::vector<json> res;
  for (const std::string& l : linesOf(r.out)) res.push_back(json::parse(l));
  ASSERT_EQ(3u, res.size());
  EXPECT_EQ("solve", res[0]["settings"]["profile"]);
  EXPECT_EQ("ls", res[0]["settings"]["memetic"]);
  EXPECT_TRUE(res[0]["record"].is_null());
  EXPECT_EQ("design", res[1]["settings"]["profile"]);
  EXPECT_EQ(0, res[1]["settings"]["kick"]);
  EXPECT_EQ(res[1]["record"].get<std::string>(), readFile(path("rec.dat")));
  // A named setting changes only itself.
  json kicked = res[2]["settings"], solve = res[0]["settings"];
  EXPECT_EQ(5, kicked["kick"]);
  kicked.erase("kick");
  solve.erase("kick");
  EXPECT_EQ(solve, kicked);
  // A kick without the local search would do nothing: refused.
  const Result bad =
      solveBatch("--quiet --results - -", "g10.txt 1 100 0 0.3 profile=design kick=2\n");
  EXPECT_EQ(1, bad.status);
  EXPECT_NE(std::string::npos, bad.err.find("kick=2 needs memetic=ls")) << bad.err;
}

TEST_F(BatchCli, SettingsSpelledOutAsTheDesignGiveTheDesignsRunsAndOthersNoRecord) {
  const std::string design =
      "elite=16 tournament=8 crossover=0.85 mutation=0.005 mutation_step=0.005 "
      "mutation_patience=1000 repair=on init=random memetic=none";
  writeFile(path("plain.txt"), "g10.txt 1 300 0 0.3\ng6.txt -5 149 1 0.5\n");
  writeFile(path("spelled.txt"),
            "g10.txt 1 300 0 0.3 " + design + "\ng6.txt -5 149 1 0.5 " + design + "\n");
  ASSERT_EQ(0, batch("--quiet --results plain.jsonl --record plain.dat plain.txt").status);
  ASSERT_EQ(0, batch("--quiet --results spelled.jsonl --record spelled.dat spelled.txt").status);
  const std::vector<json> plain = results("plain.jsonl"), spelled = results("spelled.jsonl");
  ASSERT_EQ(2u, spelled.size());
  for (size_t i = 0; i < plain.size(); ++i) {
    json a = withoutTimes(plain[i]), b = withoutTimes(spelled[i]);
    a.erase("runs_sha256");
    b.erase("runs_sha256");
    EXPECT_EQ(a, b);
    EXPECT_EQ(16, b["settings"]["elite"]);
    EXPECT_EQ("none", b["settings"]["memetic"]);
  }
  EXPECT_EQ(maskTimes(readFile(path("plain.dat"))), maskTimes(readFile(path("spelled.dat"))));

  // A grid with --set: settings vary fastest; a run away from the design is in
  // the results only, and its settings are in the hash of the runs.
  Result r = batch(
      "--quiet --results grid.jsonl --record grid.dat --instance g6.txt --seeds 1-2 "
      "--generations 100 --hardness 0 --density 0.5 --set elite=16,4");
  ASSERT_EQ(0, r.status) << r.err;
  const std::vector<json> grid = results("grid.jsonl");
  ASSERT_EQ(4u, grid.size());
  EXPECT_EQ(std::vector<int>({16, 4, 16, 4}),
            std::vector<int>({grid[0]["settings"]["elite"], grid[1]["settings"]["elite"],
                              grid[2]["settings"]["elite"], grid[3]["settings"]["elite"]}));
  EXPECT_TRUE(grid[1]["record"].is_null());
  EXPECT_EQ(grid[0]["record"].get<std::string>() + grid[2]["record"].get<std::string>(),
            readFile(path("grid.dat")));
  EXPECT_EQ(sha256Hex("g6.txt 1 100 0 0.5 profile=design elite=16\n"
                      "g6.txt 1 100 0 0.5 profile=design elite=4\n"
                      "g6.txt 2 100 0 0.5 profile=design elite=16\n"
                      "g6.txt 2 100 0 0.5 profile=design elite=4\n"),
            grid[0]["runs_sha256"]);

  // Each run's progress line names its settings that are not the design's.
  r = batch(
      "--results grid2.jsonl --no-record --jobs 2 --instance g6.txt --seeds 1-2 "
      "--generations 100 --hardness 0 --density 0.5 --set elite=16,4");
  ASSERT_EQ(0, r.status) << r.err;
  for (const char* line : {"(index 0, g6.txt seed 1): best ",
                           "(index 1, g6.txt seed 1, elite=4): ", "(index 2, g6.txt seed 2): best ",
                           "(index 3, g6.txt seed 2, elite=4): "})
    EXPECT_NE(std::string::npos, r.err.find(line)) << line << "\n" << r.err;

  writeFile(path("bad.txt"), "g6.txt 1 100 0 0.5 tournament=0\n");
  r = batch("bad.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.err.find("smetp-batch: bad.txt:1: 'tournament=0': tournament must be")) << r.err;
  r = batch("--instance g6.txt --seeds 1 --generations 50 --hardness 0 --density 0.5 --set x=1");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.err.find("smetp-batch: --set 'x=1': unknown setting 'x'")) << r.err;
}

TEST_F(BatchCli, TargetsAndTimeLimitsEndRunsOnALaunchBoundaryWithAnHonestRecord) {
  writeFile(path("g45.txt"), readFile(SMETP_DATA_DIR "/g45.txt"));
  writeFile(path("full.txt"), "g45.txt 3 3000 0 0.3\n");
  ASSERT_EQ(0, batch("--quiet --results full.jsonl --no-record full.txt").status);
  const std::vector<int> full = results("full.jsonl")[0]["history"].get<std::vector<int>>();
  // A target that the run first meets after launch k (history[k]: the best
  // after launch k), when that is well before its last launch.
  size_t k = 5;
  while (k + 1 < full.size() && full[k] == full[k - 1]) ++k;
  ASSERT_LT(k + 10, full.size());
  const int target = full[k];

  writeFile(path("runs.txt"), "g45.txt 3 3000 0 0.3 target=" + std::to_string(target) +
                                  "\ng45.txt 3 3000 0 0.3 target=0 time_limit=1000\n"
                                  "g45.txt 3 - 0 0.3 time_limit=0.2\n");
  Result r = batch("--quiet runs.txt");
  ASSERT_EQ(0, r.status) << r.err;
  const std::vector<json> res = results();
  ASSERT_EQ(3u, res.size());
  // Met: ended after launch k, the first k launches of the full run.
  EXPECT_EQ("target", res[0]["stop"]);
  EXPECT_EQ(int(k), res[0]["launches"]);
  EXPECT_EQ(int(k) * 50, res[0]["generations"]);
  EXPECT_EQ(std::vector<int>(full.begin(), full.begin() + long(k) + 1), res[0]["history"]);
  EXPECT_EQ(target, res[0]["target"]);
  ASSERT_TRUE(res[0]["seconds_to_target"].is_number());
  EXPECT_LE(res[0]["seconds_to_target"].get<double>(), res[0]["seconds"].get<double>());
  // Its record is smetp's for the generations made; so is the third run's.
  const Result s = runExe(SMETP_EXE, "g45.txt 3 " + std::to_string(k * 50) + " 0 0.3");
  ASSERT_EQ(0, s.status);
  const std::vector<std::string> records = recordsOf(readFile(path("out.dat")));
  ASSERT_EQ(4u, records.size());
  EXPECT_EQ(maskTimes(records[3]), maskTimes(records[0]));
  EXPECT_EQ(records[0], res[0]["record"]);
  // Never met, time limit not reached: the full run.
  EXPECT_EQ("generations", res[1]["stop"]);
  EXPECT_TRUE(res[1]["seconds_to_target"].is_null());
  EXPECT_EQ(full, res[1]["history"]);
  EXPECT_EQ(1000, res[1]["time_limit"]);
  // No limit on generations: ended by the time limit, on a launch boundary.
  EXPECT_EQ("time", res[2]["stop"]);
  EXPECT_GE(res[2]["seconds"].get<double>(), 0.2);
  const int launches = res[2]["launches"];
  EXPECT_LT(0, launches);
  EXPECT_EQ(launches * 50, res[2]["generations"]);
  EXPECT_EQ(size_t(launches) + 1, res[2]["history"].size());
  EXPECT_NE(std::string::npos, records[2].find("maxGen:\t" + std::to_string(launches * 50) + "\t"))
      << records[2];
  // One thread stepping all three runs at once (as the CUDA form's pool
  // does): each leaves at its own boundary, the others go on alike.
  r = batch("--quiet --no-record --jobs 1 --resident 3 --results multi.jsonl runs.txt");
  ASSERT_EQ(0, r.status) << r.err;
  const std::vector<json> multi = results("multi.jsonl");
  ASSERT_EQ(3u, multi.size());
  for (size_t i = 0; i < 2; ++i) {
    json a = withoutTimes(res[i]), b = withoutTimes(multi[i]);
    a.erase("record");
    b.erase("record");
    EXPECT_EQ(a, b);
  }
  EXPECT_EQ("time", multi[2]["stop"]);

  // A grid without --generations, --hardness and --density: the time limit
  // ends each run; hardness 0 and density 0.3 by default.
  r = batch(
      "--quiet --no-record --results grid.jsonl --instance g10.txt --seeds 1-2 "
      "--time-limit 0.1 --target 1 --set profile=solve --set memetic_every=50");
  ASSERT_EQ(0, r.status) << r.err;
  for (const json& j : results("grid.jsonl")) {
    EXPECT_EQ("time", j["stop"]);
    EXPECT_EQ(0, j["hardness"]);
    EXPECT_EQ(0.3, j["density"]);
    EXPECT_EQ("ls", j["settings"]["memetic"]);
    EXPECT_EQ(50, j["settings"]["memetic_every"]);
    EXPECT_TRUE(j["record"].is_null());
  }
  EXPECT_EQ(1, batch("--instance g10.txt --seeds 1 --target 1").status);
  EXPECT_EQ(1, batch("--instance g10.txt --seeds 1 --time-limit 0").status);
  writeFile(path("open.txt"), "g10.txt 1 - 0 0.3\n");
  r = batch("open.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("open.txt:1: generations \"-\" (no limit) needs a time"));
}

TEST_F(BatchCli, ResumeTakesTheStopWordsAndOptionsAsPartOfTheRuns) {
  writeFile(path("runs.txt"),
            "g10.txt 1 600 0 0.3 target=3000\ng6.txt 2 - 0 0.5 target=1e6\n"
            "g6.txt 3 200 0 0.5 profile=solve\ng10.txt 4 400 0 0.3\n");
  const std::string opts = "--quiet --no-record --time-limit 60 --target 2500 ";
  ASSERT_EQ(0, batch(opts + "--results one.jsonl runs.txt").status);
  const std::vector<json> one = results("one.jsonl");
  ASSERT_EQ(4u, one.size());
  EXPECT_EQ(3000, one[0]["target"]);
  EXPECT_EQ(60, one[3]["time_limit"]);
  EXPECT_EQ(2500, one[3]["target"]);
  const std::string text = readFile(path("one.jsonl"));
  // The runs_sha256 covers the options: the same file with other ones is other runs.
  writeFile(path("results.jsonl"), linesOf(text)[0] + "\n");
  Result r = batch("--quiet --no-record --time-limit 60 --resume runs.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("the results are of other runs")) << r.err;
  r = batch("--quiet --no-record --time-limit 60 --target 2000 --resume runs.txt");
  EXPECT_EQ(1, r.status);
  r = batch(opts + "--resume runs.txt");
  ASSERT_EQ(0, r.status) << r.err;
  const std::vector<json> resumed = results();
  ASSERT_EQ(one.size(), resumed.size());
  for (size_t i = 0; i < one.size(); ++i) EXPECT_EQ(withoutTimes(one[i]), withoutTimes(resumed[i]));
}

TEST_F(BatchCli, FilesThatABatchMustNotWriteOrReadAreRefusedWithAReason) {
  writeFile(path("runs.txt"), "g6.txt 1 100 0 0.5\ng10.txt 2 100 0 0.5\n");
  const std::string runsText = readFile(path("runs.txt"));
  // The record file is never an input, nor a results file read from standard
  // input, and neither may be the runs read from standard input.
  for (const char* args : {"--record runs.txt runs.txt", "--record g6.txt runs.txt",
                           "--results stdin.txt -", "--record stdin.txt -"}) {
    const Result r = batch(args, runsText);
    EXPECT_EQ(1, r.status) << args;
    EXPECT_NE(std::string::npos, r.err.find("; give another --")) << args << ": " << r.err;
    EXPECT_EQ(runsText, readFile(path("stdin.txt")));
  }
  EXPECT_EQ(runsText, readFile(path("runs.txt")));
  EXPECT_EQ(completeGraph(6), readFile(path("g6.txt")));

  // Files that are not regular files: refused at once, never waited on.
  ASSERT_EQ(0, mkfifo(path("fifo").c_str(), 0600));
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"--results /dev/null runs.txt", "results file /dev/null is not a regular file"},
      {"--results fifo runs.txt", "results file fifo is not a regular file"},
      {"--record /dev/full runs.txt", "record file /dev/full: not a regular file"},
      {"--record fifo runs.txt", "record file fifo: not a regular file"},
      {"fifo", "runs file fifo is not a regular file"},
      {"--instance fifo --seeds 1 --generations 50 --hardness 0 --density 0.5",
       "--instance fifo: graph file fifo is not a regular file"},
      {"/dev/zero", "runs file /dev/zero is not a regular file"},
      {"--record '' runs.txt", "--record needs a file name"},
      {"--set elite=5,6 --set elite=7 --instance g6.txt --seeds 1 --generations 50 "
       "--hardness 0 --density 0.5",
       "--set elite is given twice"}};
  for (const auto& c : refused) {
    const Result r = batch("--quiet " + c.first);
    EXPECT_EQ(1, r.status) << c.first;
    EXPECT_NE(std::string::npos, r.err.find(c.second)) << c.first << ": " << r.err;
  }
  // Standard input without line breaks is read no further than one line.
  EXPECT_EQ(
      0, std::system(("cd '" + dir +
                      "' && timeout 20 '" SMETP_BATCH_EXE "' - </dev/zero 2>zero.txt; test $? = 1")
                         .c_str()));
  EXPECT_NE(std::string::npos, readFile(path("zero.txt")).find("-:1: the line is longer than"));

  // A results file with results is emptied only with --overwrite, and
  // --overwrite never replaces a file of another kind.
  ASSERT_EQ(0, batch("--quiet runs.txt").status);
  const std::string done = readFile(path("results.jsonl"));
  Result r = batch("--quiet runs.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("--resume finishes the batch it holds, --overwrite"));
  EXPECT_EQ(done, readFile(path("results.jsonl")));
  const std::string records = readFile(path("out.dat"));
  r = batch("--quiet --overwrite --results out.dat --record other.dat runs.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("does not hold results of smetp-batch")) << r.err;
  EXPECT_EQ(records, readFile(path("out.dat")));
  r = batch(
      "--quiet --overwrite --generations 120 --instance g6.txt --seeds 1 --hardness 0 "
      "--density 0.5");
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("not a multiple of 50 (--generations: 120)")) << r.err;
  EXPECT_EQ(1u, results().size());

  // Another batch's results file (locked for the whole batch) is no record
  // file: the batch says so after a short wait instead of writing into it.
  const int fd = open(path("results.jsonl").c_str(), O_RDONLY);
  ASSERT_LE(0, fd);
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  r = batch("--quiet --results mine.jsonl --record results.jsonl runs.txt");
  close(fd);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("another batch writing it as its results")) << r.err;
  EXPECT_EQ(1u, results().size());
}

TEST_F(BatchCli, AResumeChecksEveryFieldItReadsBack) {
  writeFile(path("runs.txt"), "g6.txt 1 100 0 0.5\ng6.txt 2 100 0 0.5\ng10.txt 3 100 0 0.5\n");
  ASSERT_EQ(0, batch("--quiet --results one.jsonl --record one.dat runs.txt").status);
  const std::vector<std::string> lines = linesOf(readFile(path("one.jsonl")));
  ASSERT_EQ(3u, lines.size());
  // A last line whole but for its line break is kept and ended.
  writeFile(path("results.jsonl"), lines[0] + "\n" + lines[1]);
  Result r = batch("--quiet --resume runs.txt");
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(3u, results().size());
  EXPECT_EQ(lines[1], linesOf(readFile(path("results.jsonl")))[1]);
  EXPECT_EQ(0, batch("--quiet --resume runs.txt").status);

  // Numbers out of range are named as read, never wrapped or summed.
  json huge = json::parse(lines[0]);
  huge["launches"] = 9223372036854775807LL;
  writeFile(path("results.jsonl"), huge.dump() + "\n");
  r = batch("--quiet --resume runs.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("launches 9223372036854775807 is outside")) << r.err;
  huge = json::parse(lines[0]);
  huge["index"] = 18446744073709551615ULL;
  writeFile(path("results.jsonl"), huge.dump() + "\n");
  r = batch("--quiet --resume runs.txt");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("run 18446744073709551615 is not a run")) << r.err;
}

TEST_F(BatchCli, AKillBetweenAnyTwoWritesIsRepairedByTheResume) {
  writeFile(path("runs.txt"),
            "g6.txt 1 100 0 0.5\ng6.txt 2 100 0 0.5 elite=4\ng10.txt 3 100 0 0.5\n");
  ASSERT_EQ(0, batch("--quiet --results one.jsonl --record one.dat runs.txt").status);
  const std::vector<json> one = results("one.jsonl");
  const std::string oneRecords = maskTimes(readFile(path("one.dat")));
  // Three result lines and two records (the second run has none): a kill
  // after each of the five writes, then a resume.
  for (int kill = 1; kill <= 5; ++kill) {
    SCOPED_TRACE("killed after write " + std::to_string(kill));
    std::remove(path("results.jsonl").c_str());
    std::remove(path("out.dat").c_str());
    ASSERT_EQ(0,
              std::system(
                  ("cd '" + dir +
                   "' && SMETP_BACKEND=cpu SMETP_BATCH_KILL_AFTER_WRITES=" + std::to_string(kill) +
                   " '" SMETP_BATCH_EXE "' --profile design --quiet --jobs 1 runs.txt 2>/dev/null; "
                   "test $? = 137")
                      .c_str()));
    const Result r = batch("--quiet --resume runs.txt");
    ASSERT_EQ(0, r.status) << r.err;
    const std::vector<json> resumed = results();
    ASSERT_EQ(one.size(), resumed.size());
    for (size_t i = 0; i < one.size(); ++i)
      EXPECT_EQ(withoutTimes(one[i]), withoutTimes(resumed[i]));
    EXPECT_EQ(oneRecords, maskTimes(readFile(path("out.dat"))));
  }
}

TEST_F(BatchCli, UnderAMemoryLimitABatchFailsCleanlyAndKeepsItsFiles) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve more address space than the limits tried here";
#endif
  writeFile(path("runs.txt"), "g10.txt 1 500 0 0.3\ng10.txt 2 500 0 0.3\ng10.txt 3 500 0 0.3\n");
  const std::string earlier = "{\"index\":0,\"earlier\":true}\n";
  // From too little memory to start, through threads that cannot start, to
  // enough: never an abort; a batch that fails before its first result keeps
  // the results file it was to overwrite, and results and records agree.
  // The batch under an address-space limit of mib MiB; its raw wait status.
  const auto runUnder = [this](long mib, bool help) {
    const pid_t pid = fork();
    if (pid == 0) {
      const rlimit space = {rlim_t(mib) << 20, rlim_t(mib) << 20};
      if (chdir(dir.c_str()) != 0 || setrlimit(RLIMIT_AS, &space) != 0 ||
          !std::freopen("/dev/null", "w", stderr) || !std::freopen("/dev/null", "w", stdout))
        _exit(127);
      setenv("SMETP_BACKEND", "cpu", 1);
      if (help)
        execl(SMETP_BATCH_EXE, SMETP_BATCH_EXE, "--help", (char*)nullptr);
      else
        execl(SMETP_BATCH_EXE, SMETP_BATCH_EXE, "--profile", "design", "--quiet", "--jobs", "8",
              "--overwrite", "runs.txt", (char*)nullptr);
      _exit(127);
    }
    int raw = 0;
    return waitpid(pid, &raw, 0) == pid ? raw : -1;
  };
  int failed = 0, finished = 0;
  for (long mib = 16; mib <= 96; mib += 4) {
    SCOPED_TRACE(std::to_string(mib) + " MiB");
    // Below the memory the program needs to load and print its help (the
    // dynamic loader may fail in any way there), there is no batch to test.
    const int probe = runUnder(mib, true);
    if (!WIFEXITED(probe) || WEXITSTATUS(probe) != 0) continue;
    writeFile(path("results.jsonl"), earlier);
    std::remove(path("out.dat").c_str());
    const int raw = runUnder(mib, false);
    ASSERT_NE(-1, raw);
    ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw);
    const int status = WEXITSTATUS(raw);
    if (status == 127) continue;  // the program itself could not be loaded
    ASSERT_TRUE(status == 0 || status == 1) << status;
    const std::string text = readFile(path("results.jsonl"));
    if (text == earlier) {
      EXPECT_EQ(1, status);
      EXPECT_EQ("", readFile(path("out.dat")));
      ++failed;
      continue;
    }
    const std::vector<json> res = results();
    EXPECT_EQ(status == 0 ? 3u : res.size(), res.size());
    const std::vector<std::string> records = recordsOf(readFile(path("out.dat")));
    ASSERT_EQ(res.size(), records.size());
    for (size_t i = 0; i < res.size(); ++i) EXPECT_EQ(records[i], res[i]["record"]);
    finished += status == 0;
  }
  EXPECT_LT(0, failed);
  EXPECT_LT(0, finished);
}

TEST_F(BatchCli, RunsComeFromTheBytesThatWereHashedEvenWhenTheFileChanges) {
  writeFile(path("g45.txt"), readFile(SMETP_DATA_DIR "/g45.txt"));
  std::string before, after;
  for (int i = 0; i < 4; ++i) {
    before += "g45.txt " + std::to_string(i + 1) + " 1000 0 0.3\n";
    after += "g45.txt " + std::to_string(i + 101) + " 1000 0 0.3\n";
  }
  writeFile(path("runs.txt"), before);
  const pid_t pid = startBatch(dir, {"--quiet", "--jobs", "1", "--resident", "1", "runs.txt"});
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (readFile(path("results.jsonl")).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  writeFile(path("runs.txt"), after);
  int raw = 0;
  ASSERT_EQ(pid, waitpid(pid, &raw, 0));
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(0, WEXITSTATUS(raw)) << readFile(path("stderr.txt"));
  const std::vector<json> res = results();
  ASSERT_EQ(4u, res.size());
  for (size_t i = 0; i < res.size(); ++i) {
    EXPECT_EQ(sha256Hex(before + "profile=design\n"), res[i]["runs_sha256"]);
    EXPECT_EQ(int(i) + 1, res[i]["seed"]);
  }
}

// Whether the pipe that writeEnd writes to has no room: a writer that polls
// for room, as the batch does, then waits.
bool pipeFull(int writeEnd) {
  struct pollfd p = {writeEnd, POLLOUT, 0};
  return ::poll(&p, 1, 0) == 0;
}

// Waits up to seconds for the child pid to end (its wait status in *raw);
// one that is still running then is killed, and the answer is false.
bool endsWithin(pid_t pid, int seconds, int* raw) {
  for (int k = 0; k < 10 * seconds; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(pid, raw, WNOHANG) == pid) return true;
  }
  kill(pid, SIGKILL);
  waitpid(pid, raw, 0);
  return false;
}

TEST_F(BatchCli, AStalledReaderOfStandardOutputDoesNotOutlastTheFirstSignal) {
  std::string runs;
  for (int i = 0; i < 400; ++i) runs += "g10.txt " + std::to_string(i) + " 50 0 0.3\n";
  writeFile(path("runs.txt"), runs);
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0 || dup2(pipeFds[1], STDOUT_FILENO) < 0) _exit(127);
    close(pipeFds[0]);
    setenv("SMETP_BACKEND", "cpu", 1);
    execl(SMETP_BATCH_EXE, SMETP_BATCH_EXE, "--quiet", "--no-record", "--jobs", "1", "--results",
          "-", "runs.txt", (char*)nullptr);
    _exit(127);
  }
  // The pipe fills (400 lines are far more than it holds) and nobody reads:
  // the signal comes once it is full, however long the machine takes to get
  // there. The write end kept here only asks the pipe whether it has room.
  const int probe = pipeFds[1];
  while (!pipeFull(probe)) {
    int early = 0;
    ASSERT_NE(pid, waitpid(pid, &early, WNOHANG)) << "the batch ended with the pipe unread";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  close(probe);
  kill(pid, SIGINT);
  int raw = 0;
  const bool ended = endsWithin(pid, 10, &raw);
  close(pipeFds[0]);
  ASSERT_TRUE(ended) << "still running 10 s after SIGINT";
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(1, WEXITSTATUS(raw));
}

TEST_F(BatchCli, AStalledReaderOfStandardErrorNeverHoldsTheBatchUp) {
  // Standard error is a pipe of one page that nobody reads, and the runs'
  // progress lines are far more than it holds: the batch leaves out what the
  // pipe cannot take and finishes every run. Were a write to wait for the
  // reader, the batch would never end (there is no reader) and waitpid below
  // would not return, whatever the machine's speed.
  std::string runs;
  for (int i = 0; i < 120; ++i) runs += "g6.txt " + std::to_string(i) + " 50 0 0.5\n";
  writeFile(path("runs.txt"), runs);
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  ASSERT_EQ(4096, fcntl(pipeFds[1], F_SETPIPE_SZ, 4096));
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0 || dup2(pipeFds[1], STDERR_FILENO) < 0 ||
        !std::freopen("/dev/null", "w", stdout))
      _exit(127);
    close(pipeFds[0]);
    setenv("SMETP_BACKEND", "cpu", 1);
    execl(SMETP_BATCH_EXE, SMETP_BATCH_EXE, "--no-record", "--jobs", "1", "runs.txt",
          (char*)nullptr);
    _exit(127);
  }
  close(pipeFds[1]);
  int raw = 0;
  ASSERT_EQ(pid, waitpid(pid, &raw, 0));
  // What reached the pipe: whole progress lines only, fewer than the runs.
  std::string said(8192, '\0');
  ASSERT_EQ(0, fcntl(pipeFds[0], F_SETFL, O_NONBLOCK));
  const ssize_t got = read(pipeFds[0], &said[0], said.size());
  close(pipeFds[0]);
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(0, WEXITSTATUS(raw));
  EXPECT_EQ(120u, results().size());
  ASSERT_GT(got, 0);
  said.resize(size_t(got));
  EXPECT_EQ('\n', said.back());
  EXPECT_LT(size_t(std::count(said.begin(), said.end(), '\n')), 120u);
}

// solve: one run whose islands spread over the jobs, the same with 1 and 2
// jobs; its edge list is its topology with the instance's weights, its bound
// at most its energy; bad input is refused.
TEST_F(BatchCli, SolveGivesOneRunWithABoundAndItsTopologyOnAnyJobs) {
  const std::string args =
      "solve g6.txt --generations 250 --quiet --json --set 'islands=3 migrate_every=1' ";
  const Result one = solveBatch(args + "--jobs 1 -o one.txt");
  const Result two = solveBatch(args + "--jobs 2 -o two.txt");
  ASSERT_EQ(0, one.status) << one.err;
  ASSERT_EQ(0, two.status) << two.err;
  const json a = json::parse(one.out), b = json::parse(two.out);
  EXPECT_EQ(withoutTimes(a), withoutTimes(b));
  EXPECT_EQ(3, a["settings"]["islands"]);
  EXPECT_EQ(250, a["generations"]);
  EXPECT_LE(a["bound"].get<long long>(), a["best"].get<long long>());
  EXPECT_EQ(readFile(path("one.txt")), readFile(path("two.txt")));
  // The edge list scores the best: each node pays its heaviest link (from 0 up).
  std::map<int, long long> power;
  size_t links = 0;
  for (const std::string& line : linesOf(readFile(path("one.txt")))) {
    if (line[0] == '#') continue;
    int u, v;
    long long w;
    ASSERT_EQ(3, std::sscanf(line.c_str(), "%d %d %lld", &u, &v, &w)) << line;
    EXPECT_EQ(10 * (u + v) - 35, w);
    power[u] = std::max(power[u], w);
    power[v] = std::max(power[v], w);
    ++links;
  }
  long long energy = 0;
  for (const auto& p : power) energy += p.second;
  EXPECT_EQ(a["best"].get<long long>(), energy);
  EXPECT_EQ(a["topology"].size(), links);

  const Result text = solveBatch("solve g10.txt --generations 100 --quiet");
  ASSERT_EQ(0, text.status) << text.err;
  EXPECT_EQ(0u, text.out.find("energy ")) << text.out;
  EXPECT_NE(std::string::npos, text.out.find("\nlower bound ")) << text.out;
  EXPECT_EQ(1, solveBatch("solve missing.txt --quiet").status);
  const Result bad = solveBatch("solve g10.txt --quiet --set islands=0");
  EXPECT_EQ(1, bad.status);
  EXPECT_NE(std::string::npos, bad.err.find("islands must be from 1")) << bad.err;
}

}  // namespace