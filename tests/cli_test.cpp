// The built program run as a process: what it prints, the record it appends
// and the status it ends with.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"

namespace {

struct Result {
  int status;
  std::string out, err;
};

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// The part of standard output from the warning line on.
std::string afterReport(const std::string& out) {
  const size_t p = out.find("WARNING! Not using atomics!\n");
  return p == std::string::npos ? out : out.substr(p);
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/smetp-cli-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

  // Runs smetp in the test's folder with the given arguments (shell words),
  // standard output going to stdoutTo.
  Result run(const std::string& args, const std::string& env = "SMETP_BACKEND=cpu",
             const std::string& stdoutTo = "stdout.txt") {
    const std::string cmd = "cd '" + dir + "' && " + env + " '" SMETP_EXE "' " + args + " >" +
                            stdoutTo + " 2>stderr.txt </dev/null";
    const int raw = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(dir + "/stdout.txt");
    r.err = readFile(dir + "/stderr.txt");
    return r;
  }

  std::string path(const std::string& name) { return dir + "/" + name; }
  std::string record() { return readFile(path("out.dat")); }

  // A complete graph of n nodes with weight 10 * (u + v), both directions.
  std::string completeGraph(int n) {
    std::string text = std::to_string(n) + " " + std::to_string(n * (n - 1)) + "\n";
    for (int u = 1; u <= n; ++u)
      for (int v = 1; v <= n; ++v)
        if (u != v)
          text += std::to_string(u) + " " + std::to_string(v) + " " + std::to_string(10 * (u + v)) +
                  "\n";
    return text;
  }

  std::string dir;
};

TEST_F(Cli, NoArgumentsPrintsReportWarningAndUsage) {
  const Result r = run("");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.out.find(" --- General Information for device 0 ---\nName: "));
  EXPECT_NE(std::string::npos, r.out.find("\nDevice copy overlap: Disabled\n"));
  EXPECT_NE(std::string::npos, r.out.find("\nKernel execition timeout : Disabled\n"));
  EXPECT_NE(std::string::npos, r.out.find("\nMax thread dimensions: (128, 1, 1)\n"));
  EXPECT_EQ(21, countOf(r.out, "\n"));  // 20 report lines and the warning
  EXPECT_EQ("WARNING! Not using atomics!\n", afterReport(r.out));
  EXPECT_EQ(
      "Upotreba: <prog.exe> <ulFajl> <randSeed> <brGeneracija> <tezinaFjeCilja [0-N]> "
      "<gustinaGrafa [0,1]>",
      r.err);
  EXPECT_EQ(1, run("a b c d").status);
}

TEST_F(Cli, WorkedExampleEdgesAndRecordWithoutLaunches) {
  writeFile(path("g3.txt"), "3 6\n1 2 10\n1 3 20\n2 1 10\n2 3 30\n3 1 20\n3 2 30\n");
  const Result r = run("g3.txt -5 49 0 0.3 extra args");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "WARNING! Not using atomics!\n(0,1)=10\n(0,2)=20\n(1,2)=30\n\n"
      "STRONG MINIMUM ENERGY TOPOLOGY PROBLEM (SMETP)\n\nBroj iteracija:  0\n"
      "Alocirano 3 karaktera za svaki niz grana\n",
      afterReport(r.out));
  const std::string rec = record();
  EXPECT_EQ(20, countOf(rec, "\n"));  // the time text ends with its own line break
  EXPECT_EQ(0u, rec.find("-----------------------------------------------------------\t\t\t\t\n"
                         "time:\t\t "));
  EXPECT_NE(std::string::npos,
            rec.find("path:\t\tg3.txt\t\t\t\t\nseed:\t\t-5\t\t\t\t\nmaxGen:\t0\t\t\t\t\n"
                     "popSize:\t128\t\t\t\t\nobjHard:\t0\t\t\t\t\nnelite:\t16\t\t\t\t\n"
                     "startMut:\t0.0050\t\t\t\t\nendMut:\t0.0050\t\t\t\t\n"
                     "crossProb:\t0.8500\t\t\t\t\ntournSize:\t8\t\t\t\t\n"
                     "graphDens:\t0.3000\t\t\t\t\nbest:\t\t65000\t\t\t\t\n"));
  EXPECT_NE(std::string::npos, rec.find("\t\t\t\t\nmemory:\t\t\t\t\n-----------\t\t\t\t\n"
                                        "const:\t38\n"));
}

TEST_F(Cli, ProgressLinesOnePerLaunch) {
  writeFile(path("g6.txt"), completeGraph(6));
  for (int gens : {0, 49, 50, 149}) {
    const Result r = run("./g6.txt 3 " + std::to_string(gens) + " 1 0.5");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(gens / 50, countOf(r.out, "Najbolja:\t")) << gens << " generations";
    EXPECT_EQ(gens / 50, countOf(r.out, "\nBroj iteracija:  " + std::to_string(gens / 50) + "\n") *
                             (gens / 50));
  }
  const Result r = run("./g6.txt 3 149 1 0.5");
  EXPECT_NE(std::string::npos, r.out.find("Najbolja:\t65000\t= 50\nNajbolja:\t"));
  EXPECT_NE(std::string::npos, r.out.find("\t= 100\n"));
  EXPECT_EQ(std::string::npos, r.out.find("\t= 150\n"));
  // Five runs, five records one after the other; the path keeps its last "/".
  const std::string rec = record();
  EXPECT_EQ(5 * 20, countOf(rec, "\n"));
  EXPECT_NE(std::string::npos, rec.find("const:\t122\n-----------------------------------------"));
  EXPECT_EQ(5, countOf(rec, "path:\t\t/g6.txt\t"));
  EXPECT_EQ(2, countOf(rec, "maxGen:\t100\t"));
}

TEST_F(Cli, SeededRunRepeatsExactly) {
  writeFile(path("g12.txt"), completeGraph(12));
  const Result a = run("g12.txt 11 500 1 0.4");
  const Result b = run("g12.txt 11 500 1 0.4");
  ASSERT_EQ(0, a.status) << a.err;
  EXPECT_EQ(afterReport(a.out), afterReport(b.out));
  const Result c = run("g12.txt 12 500 1 0.4");
  EXPECT_NE(afterReport(a.out), afterReport(c.out));
}

TEST_F(Cli, ArgumentsConvertLikeAtoiAndAtof) {
  writeFile(path("g4.txt"), completeGraph(4));
  ASSERT_EQ(0, run("g4.txt abc 120 x 0.5x").status);
  ASSERT_EQ(0, run("g4.txt ' 7z' -120 -3 2").status);
  const std::string rec = record();
  EXPECT_NE(std::string::npos, rec.find("seed:\t\t0\t\t\t\t\nmaxGen:\t100\t"));
  EXPECT_NE(std::string::npos, rec.find("graphDens:\t0.5000\t"));
  EXPECT_NE(std::string::npos, rec.find("seed:\t\t7\t\t\t\t\nmaxGen:\t-100\t"));
  EXPECT_NE(std::string::npos, rec.find("objHard:\t-3\t"));
  EXPECT_NE(std::string::npos, rec.find("graphDens:\t2.0000\t"));
}

TEST_F(Cli, UnopenableRecordFileIsNotLost) {
  writeFile(path("g4.txt"), completeGraph(4));
  ASSERT_EQ(0, mkdir(path("out.dat").c_str(), 0755));
  const Result r = run("g4.txt 1 100 0 0.5");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u,
            r.err.find("Greska pri otvaranju fajla ./out.dat\n"
                       "smetp: cannot open ./out.dat: Is a directory; the run record follows\n"
                       "-----------------------------------------------------------\t\t\t\t\n"));
  EXPECT_NE(std::string::npos, r.err.find("maxGen:\t100\t\t\t\t\n"));
  EXPECT_EQ(r.err.size() - 10, r.err.find("const:\t60\n"));
}

TEST_F(Cli, FailedRecordWriteIsNotLost) {
  // A full device: the open succeeds and the write fails.
  writeFile(path("g4.txt"), completeGraph(4));
  ASSERT_EQ(0, symlink("/dev/full", path("out.dat").c_str()));
  const Result r = run("g4.txt 1 100 0 0.5");
  EXPECT_EQ(1, r.status);
  const std::string head =
      "smetp: cannot write the run record to ./out.dat: No space left on device; the record "
      "follows\n";
  EXPECT_EQ(head, r.err.substr(0, head.size()));
  EXPECT_EQ(head.size(), r.err.find("-----------------------------------------------------------"
                                    "\t\t\t\t\ntime:\t\t "));
  EXPECT_NE(std::string::npos, r.err.find("maxGen:\t100\t\t\t\t\n"));
  EXPECT_EQ(r.err.size() - 10, r.err.find("const:\t60\n"));
  EXPECT_EQ(20, countOf(r.err, "\n") - 1);
  // Standard output is complete up to the failure.
  EXPECT_EQ(2, countOf(r.out, "Najbolja:\t"));
}

TEST_F(Cli, FailedStandardOutputEndsWithStatusOneAfterTheRecord) {
  writeFile(path("g4.txt"), completeGraph(4));
  const Result r = run("g4.txt 1 100 0 0.5", "SMETP_BACKEND=cpu", "/dev/full");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("smetp: cannot write standard output: No space left on device\n", r.err);
  EXPECT_EQ(20, countOf(record(), "\n"));
  EXPECT_NE(std::string::npos, record().find("const:\t60\n"));
}

TEST_F(Cli, ConcurrentRunsAppendWholeRecords) {
  // Sixteen processes started together on one out.dat: each record is one
  // write on an O_APPEND descriptor, so none may be split or mixed.
  writeFile(path("g10.txt"), completeGraph(10));
  const std::string cmd = "cd '" + dir +
                          "' && for i in $(seq 1 16); do SMETP_BACKEND=cpu '" SMETP_EXE
                          "' g10.txt $i 50 0 0.5 >/dev/null 2>>stderr.txt & done; wait";
  ASSERT_EQ(0, std::system(cmd.c_str()));
  EXPECT_EQ("", readFile(path("stderr.txt")));
  const std::string rec = record();
  const std::string rule = "-----------------------------------------------------------\t\t\t\t\n";
  ASSERT_EQ(0u, rec.find(rule));
  std::vector<bool> seen(17, false);
  int records = 0;
  for (size_t at = 0; at < rec.size(); ++records) {
    size_t next = rec.find(rule, at + rule.size());
    if (next == std::string::npos) next = rec.size();
    const std::string one = rec.substr(at, next - at);
    EXPECT_EQ(20, countOf(one, "\n")) << one;
    EXPECT_NE(std::string::npos, one.find("\npath:\t\tg10.txt\t\t\t\t\nseed:\t\t")) << one;
    EXPECT_NE(std::string::npos, one.find("maxGen:\t50\t\t\t\t\npopSize:\t128\t")) << one;
    const std::string tail = "\nmemory:\t\t\t\t\n-----------\t\t\t\t\nconst:\t";
    const size_t c = one.find(tail);
    ASSERT_NE(std::string::npos, c) << one;
    EXPECT_EQ(one.size() - 1, one.find('\n', c + tail.size())) << one;
    const int seed = std::atoi(one.c_str() + one.find("seed:\t\t") + 7);
    ASSERT_TRUE(seed >= 1 && seed <= 16) << one;
    EXPECT_FALSE(seen[size_t(seed)]) << "seed " << seed << " twice";
    seen[size_t(seed)] = true;
    at = next;
  }
  EXPECT_EQ(16, records);
}

TEST_F(Cli, MissingGraphFileSaysWhyOnStandardError) {
  const Result r = run("nowhere.txt 1 100 0 0.5");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("WARNING! Not using atomics!\nNe moze da se otvori fajl nowhere.txt \n",
            afterReport(r.out));
  EXPECT_EQ("smetp: cannot open graph file nowhere.txt: No such file or directory\n", r.err);
}

struct BadFile {
  const char* text;
  const char* reason;  // the one line on standard error, after "smetp: bad graph file bad.txt: "
};

class CliBadFile : public Cli, public ::testing::WithParamInterface<BadFile> {};

TEST_P(CliBadFile, RejectedWithItsLineAndReason) {
  writeFile(path("bad.txt"), GetParam().text);
  const Result r = run("bad.txt 1 100 0 0.5");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(std::string("smetp: bad graph file bad.txt: ") + GetParam().reason + "\n", r.err);
  EXPECT_EQ(std::string::npos, r.out.find("STRONG MINIMUM"));
  EXPECT_FALSE(std::ifstream(path("out.dat")).good());
}

// Header faults are blamed on the header, wherever the reading stopped.
INSTANTIATE_TEST_SUITE_P(
    Header, CliBadFile,
    ::testing::Values(
        BadFile{"",
                "line 1: the file ends before the header is complete (two integers: nodes, "
                "twice the edge count)"},
        BadFile{"3\n\n",
                "line 2: the file ends before the header is complete (two integers: "
                "nodes, twice the edge count)"},
        BadFile{"x 2\n",
                "line 1: header: \"x\" is not a number (the header is two integers: "
                "nodes, twice the edge count)"},
        BadFile{"10 90abc\n1 2 3\n", "line 1: header: \"90abc\" is not a number"},
        BadFile{"10 9e1\n1 2 3\n", "line 1: header: \"9e1\" is not a number"},
        BadFile{"10abc 90\n", "line 1: header: \"10abc\" is not a number"},
        BadFile{"99999999999 4\n", "line 1: header: the number \"99999999999\" is too large"},
        BadFile{"\n\n10\n-99999999999\n",
                "line 4: header: the number \"-99999999999\" is too large"},
        BadFile{"1 0\n", "line 1: header: 1 nodes; a graph has 2 to 45"},
        BadFile{"46 2070\n", "line 1: header: 46 nodes; a graph has 2 to 45"},
        BadFile{"3\n1\n1 2 5\n", "line 2: header: 0 edges (header 1 / 2); a graph has 1 to 990"},
        BadFile{"3 -4\n", "line 1: header: -2 edges (header -4 / 2); a graph has 1 to 990"},
        BadFile{"45 1990\n", "line 1: header: 995 edges (header 1990 / 2); a graph has 1 to 990"},
        BadFile{"3 8\n1 2 5\n", "line 1: header: 4 edges, more than the 3 pairs of 3 nodes"}));

INSTANTIATE_TEST_SUITE_P(
    Edges, CliBadFile,
    ::testing::Values(
        BadFile{"3 6\n1 2 5\n1 3 6\n", "line 3: the file ends after 2 of 3 edges"},
        BadFile{"3 6\n1 2 5\n1 3 six\n",
                "line 3: text \"six\" that is not a number after 1 of 3 "
                "edges"},
        BadFile{"3 6\n1 2 5x\n1 3 6\n",
                "line 2: text \"5x\" that is not a number after 0 of 3 "
                "edges"},
        BadFile{"3 6\n", "line 1: the file ends after 0 of 3 edges"},
        // A quote, a backslash and bytes outside ASCII come out printable; long
        // text is shortened.
        BadFile{
            "3 6\n1 2 5\n1 3 \"\xff\\abcdefghijklmnopqrstuvwxyz\n",
            "line 3: text \"\\\"\\xff\\\\abcdefghijklmnopq...\" that is not a number after 1 of "
            "3 edges"},
        BadFile{"3 6\n1 2 99999999999\n",
                "line 2: the number \"99999999999\" is too large, after "
                "0 of 3 edges"},
        BadFile{"3 6\n1 4 5\n", "line 2: edge line \"1 4 5\": node number outside 1..3"},
        BadFile{"3 6\n1\n0 5\n", "line 3: edge line \"1 0 5\": node number outside 1..3"},
        BadFile{"3 6\n1 2 40000\n",
                "line 2: edge line \"1 2 40000\": weight outside the 16-bit "
                "range -32768..32767"},
        BadFile{"3 6\n1 2\n-40000\n",
                "line 3: edge line \"1 2 -40000\": weight outside the "
                "16-bit range -32768..32767"},
        BadFile{"3 6\n2 1 5\n1 3 5\n1 2 5\n",
                "line 3: edge line \"1 3 5\": expected the pair 1 2 "
                "next (pairs u < v must come in the order 1 2, 1 "
                "3, ..., 2 3)"},
        BadFile{"3 6\n1 2 5\n1 2 5\n",
                "line 3: edge line \"1 2 5\": expected the pair 1 3 next "
                "(pairs u < v must come in the order 1 2, 1 3, ..., 2 3)"}));

TEST_F(Cli, NulByteIsShownWithItsLine) {
  std::string text = completeGraph(5);
  text.insert(text.find("\n3 4 "), std::string("\n3 \0 ", 5));
  writeFile(path("nul.txt"), text);
  const Result r = run("nul.txt 1 100 0 0.5");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(
      "smetp: bad graph file nul.txt: line 12: text \"\\x00\" that is not a number after 7 "
      "of 10 edges\n",
      r.err);
}

TEST_F(Cli, ReadErrorIsNotTheEndOfTheFile) {
  // A folder opens for reading but every read of it fails.
  ASSERT_EQ(0, mkdir(path("folder").c_str(), 0755));
  const Result r = run("folder 1 100 0 0.5");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("smetp: bad graph file folder: line 1: read error in the header: Is a directory\n",
            r.err);
}

TEST_F(Cli, ShortAndOddHeadersAreAccepted) {
  // Five of six pairs, an odd A, reverse lines anywhere, and text after the
  // last kept edge that is never read.
  writeFile(path("short.txt"),
            "4 11\n2 1 9\n1 2 5\n1 3 6\n4 1 7\n1 4 7\n2 3 8\n3 2 8\n2 4 9\nnot read\n");
  const Result r = run("short.txt 1 100 0 0.5");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos,
            afterReport(r.out).find("(0,1)=5\n(0,2)=6\n(0,3)=7\n(1,2)=8\n(1,3)=9\n\n"));
  EXPECT_NE(std::string::npos, r.out.find("Alocirano 3 karaktera"));
  EXPECT_NE(std::string::npos, record().find("const:\t54\n"));
}

TEST_F(Cli, GluedSignsAndTextAfterTheLastEdgeAreAccepted) {
  // "3+6" is the header 3 6 and "5+1" the weight 5 and the next node 1; the
  // text glued to the last kept weight is never read.
  writeFile(path("glued.txt"), "3+6\n1 2 5+1 3 6\n2 3 7junk\n");
  const Result r = run("glued.txt 1 50 0 1");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("\n(0,1)=5\n(0,2)=6\n(1,2)=7\n\n"));
}

TEST_F(Cli, WeightAtTheEdgesOfTheRangeIsKept) {
  writeFile(path("w.txt"), "2 2\n1 2 -32768\n");
  const Result r = run("w.txt 1 50 0 1");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("(0,1)=-32768\n"));
}

TEST_F(Cli, FailedLaunchEndsTheRunWithoutAResult) {
  writeFile(path("g6.txt"), completeGraph(6));
  // Launches 1-3 seed and make the population; 4-6 are the three launches of
  // 50 generations.
  for (int failing : {1, 3, 4, 6}) {
    std::remove(path("out.dat").c_str());
    const Result r = run("g6.txt 3 150 1 0.5",
                         "SMETP_BACKEND=cpu SMETP_EMULATOR_FAIL_LAUNCH=" + std::to_string(failing));
    EXPECT_EQ(1, r.status) << failing;
    const size_t at = r.out.find("unspecified launch failure in run.cpp at line ");
    ASSERT_NE(std::string::npos, at) << failing << ": " << r.out;
    EXPECT_EQ(r.out.size(), r.out.find('\n', at) + 1) << "nothing after the error";
    EXPECT_EQ(failing > 3 ? failing - 3 : 0, countOf(r.out, "Najbolja:")) << failing;
    EXPECT_EQ("", record()) << failing;
  }
}

TEST_F(Cli, CudaBuildSaysOnceWhyItRunsTheCpuForm) {
#ifndef SMETP_HAVE_CUDA
  GTEST_SKIP() << "a build without the CUDA form has nothing to fall back from";
#endif
  writeFile(path("g3.txt"), "3 6\n1 2 10\n1 3 20\n2 1 10\n2 3 30\n3 1 20\n3 2 30\n");
  const Result r = run("g3.txt 1 100 0 0.3", "env -u SMETP_BACKEND");
  ASSERT_EQ(0, r.status) << r.err;
  if (r.out.find("CPU emulation") == std::string::npos) GTEST_SKIP() << "a GPU serves this run";
  EXPECT_EQ(0u, r.err.find("smetp: no usable CUDA device (")) << r.err;
  EXPECT_EQ(r.err.size() - std::string("), running the CPU form\n").size(),
            r.err.find("), running the CPU form\n"))
      << r.err;
  EXPECT_EQ(1, countOf(r.err, "\n"));
}

TEST_F(Cli, UnknownBackendIsRefused) {
  const Result r = run("", "SMETP_BACKEND=gpu");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("smetp: SMETP_BACKEND must be cpu or cuda, not \"gpu\"\n", r.err);
}

TEST_F(Cli, ForcedMissingBackendFailsThroughTheRuntimeCheck) {
  const Result r = run("", "SMETP_BACKEND=cuda");
  if (r.status == 0) {
    // Only where a GPU serves the CUDA form does the report succeed.
    ASSERT_NE(std::string::npos, r.out.find(" --- General Information for device 0 ---"));
    GTEST_SKIP() << "a GPU answers the CUDA backend here";
  }
  // The runtime's own text (which depends on the build and the driver), then
  // where the failing call stands.
  EXPECT_EQ(1, r.status);
  const size_t at = r.out.find(" in device_info.cpp at line ");
  ASSERT_NE(std::string::npos, at) << r.out;
  EXPECT_GT(at, 0u);
  EXPECT_EQ(1, countOf(r.out, "\n"));
  EXPECT_EQ(std::string::npos, r.out.find("WARNING"));
}

}  // namespace
