// Host pieces and device helpers checked on their own: the seed generator,
// the mutation schedule, the run record's text, the emulator's checks, the
// draw thresholds and the hardness work against the jump-ahead form.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include "device/fitness.h"
#include "gpu/gpu.h"
#include "host/record.h"
#include "host/run.h"

namespace {

TEST(HostSeeds, FollowTheHostGenerator) {
  unsigned s[128];
  hostSeeds(1, s);
  EXPECT_EQ(41u, s[0]);
  EXPECT_EQ(18467u, s[1]);
  EXPECT_EQ(6334u, s[2]);
  EXPECT_EQ(26500u, s[3]);
  EXPECT_EQ(19169u, s[4]);
  hostSeeds(0, s);
  EXPECT_EQ(38u, s[0]);
  EXPECT_EQ(7719u, s[1]);
  EXPECT_EQ(21238u, s[2]);
  for (unsigned v : s) EXPECT_LE(v, 32767u);
}

TEST(MutationSchedule, ImprovementResetsAndStagnationRaises) {
  Schedule s = {65000, 0.005f, 990, 0};
  // Before any improvement the count runs on from its start: the 10th launch
  // brings it to 1000.
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(noteLaunchResult(s, 65000, 1));
  EXPECT_TRUE(noteLaunchResult(s, 65000, 1));
  EXPECT_EQ(float(0.005f + 0.005), s.mutProb);
  EXPECT_EQ(0, s.lastImproveClock);

  EXPECT_TRUE(noteLaunchResult(s, 500, 77));  // improvement
  EXPECT_EQ(500, s.bestSoFar);
  EXPECT_EQ(0.005f, s.mutProb);
  EXPECT_EQ(1, s.noImprove);
  EXPECT_EQ(77, s.lastImproveClock);
  // An equal best is no improvement; the rise comes 999 launches later.
  for (int i = 1; i < 999; ++i) ASSERT_FALSE(noteLaunchResult(s, 500, 80)) << i;
  EXPECT_TRUE(noteLaunchResult(s, 500, 80));
  EXPECT_EQ(float(double(0.005f) + 0.005), s.mutProb);
  EXPECT_EQ(77, s.lastImproveClock);
  for (int i = 1; i < 1000; ++i) ASSERT_FALSE(noteLaunchResult(s, 501, 80));
  EXPECT_TRUE(noteLaunchResult(s, 501, 80));
  EXPECT_NEAR(0.015, s.mutProb, 1e-6);
  EXPECT_EQ(float(double(float(double(0.005f) + 0.005)) + 0.005), s.mutProb);
}

TEST(MutationSchedule, FollowsTheRunsSettings) {
  GaSettings g = designGaSettings();
  g.mutation = 0.02f;
  g.mutationStep = 0.25;
  g.mutationPatience = 3;
  RunProgress p = startRunProgress(500, 7, 0, 0, g);
  EXPECT_EQ(0.02f, p.schedule.mutProb);
  // Counting from 7, the count reaches 9 (a multiple of 3) at the second launch.
  p.lastBest = 65000;
  EXPECT_FALSE(beforeLaunch(p));
  EXPECT_TRUE(beforeLaunch(p));
  EXPECT_EQ(float(double(0.02f) + 0.25), p.schedule.mutProb);
  p.lastBest = 400;
  EXPECT_TRUE(beforeLaunch(p));
  EXPECT_EQ(0.02f, p.schedule.mutProb);
  // The improving launch counts as the first of the next three.
  EXPECT_FALSE(beforeLaunch(p));
  EXPECT_TRUE(beforeLaunch(p));
  // The design's schedule is the default.
  const RunProgress d = startRunProgress(500, 7, 0, 0);
  EXPECT_EQ(0.005f, d.schedule.startMutProb);
  EXPECT_EQ(0.005, d.schedule.mutProbStep);
  EXPECT_EQ(1000, d.schedule.mutPatience);
}

TEST(RunRecord, NineteenLinesWithTheirTabs) {
  setenv("TZ", "UTC", 1);
  tzset();
  std::tm t = {};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  RunRecord r = {timegm(&t), "graphs/sub/g20.txt", -5, 100, 2, 0.01f, 0.3f, 22116, -0.001, 1.5,
                 6128};
  FILE* f = std::tmpfile();
  ASSERT_NE(nullptr, f);
  writeRunRecord(f, r);
  std::rewind(f);
  char buf[2048] = {};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  EXPECT_EQ(
      "-----------------------------------------------------------\t\t\t\t\n"
      "time:\t\t Sun Dec 06 09:05:03 2026\n\t\t\t\t\n"
      "path:\t\t/g20.txt\t\t\t\t\n"
      "seed:\t\t-5\t\t\t\t\n"
      "maxGen:\t100\t\t\t\t\n"
      "popSize:\t128\t\t\t\t\n"
      "objHard:\t2\t\t\t\t\n"
      "nelite:\t16\t\t\t\t\n"
      "startMut:\t0.0050\t\t\t\t\n"
      "endMut:\t0.0100\t\t\t\t\n"
      "crossProb:\t0.8500\t\t\t\t\n"
      "tournSize:\t8\t\t\t\t\n"
      "graphDens:\t0.3000\t\t\t\t\n"
      "best:\t\t22116\t\t\t\t\n"
      "sec:\t\t-0.0010\t\t\t\t\n"
      "totSec:\t1.5000\t\t\t\t\n"
      "memory:\t\t\t\t\n"
      "-----------\t\t\t\t\n"
      "const:\t6128\n",
      std::string(buf, n));
}

// Runs the whole run in a fresh folder with standard output sent nowhere and
// returns the heap bytes in use afterwards.
size_t heapAfterRun(const char* dir) {
  char old[4096];
  if (!getcwd(old, sizeof old) || chdir(dir) != 0) return 0;
  std::FILE* g = std::fopen("g6.txt", "w");
  std::fputs("6 30\n", g);
  for (int u = 1; u <= 6; ++u)
    for (int v = u + 1; v <= 6; ++v) std::fprintf(g, "%d %d %d\n", u, v, 7 * u + v);
  std::fclose(g);
  std::fflush(stdout);
  const int saved = dup(1);
  const int sink = open("/dev/null", O_WRONLY);
  dup2(sink, 1);
  close(sink);
  runGeneticAlgorithm("g6.txt", 3, 150, 1, 0.5f);  // three launches
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::remove("g6.txt");
  std::remove("out.dat");
  if (chdir(old) != 0) return 0;
  return mallinfo2().uordblks;
}

TEST(WholeRun, ReleasesWhatItAllocates) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's own allocator keeps no malloc statistics; LeakSanitizer "
                  "watches this build";
#endif
  // Device memory of the CPU form lives on the host heap, so a run that
  // leaves the heap as the run before left it has released everything it
  // took, bit strings and message buffer included.
  ASSERT_TRUE(gpuSelectBackend("cpu"));
  char dir[] = "/tmp/smetp-heap-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  // The first two runs leave what the process sets up once, lazily.
  heapAfterRun(dir);
  const size_t second = heapAfterRun(dir);
  const size_t third = heapAfterRun(dir);
  rmdir(dir);
  ASSERT_NE(0u, second);
  EXPECT_EQ(second, third);
}

TEST(Emulator, RefusesWhatTheRuntimeRefuses) {
  ASSERT_TRUE(gpuSelectBackend("cpu"));
  EXPECT_STREQ("cpu", gpuBackendName());
  int big[46] = {};
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyToSymbol("nIdx", big, sizeof big));
  EXPECT_EQ(gpuSuccess, gpuMemcpyToSymbol("nIdx", big, 180));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyToSymbol("nIdx", big, 8, 176));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyToSymbol("probLink", big, 5941));
  EXPECT_EQ(gpuErrorInvalidSymbol, gpuMemcpyToSymbol("probnn", big, 4));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpyFromSymbol(big, "next", 513));
  EXPECT_STREQ("invalid argument", gpuGetErrorString(gpuErrorInvalidValue));

  void* p = nullptr;
  ASSERT_EQ(gpuSuccess, gpuMalloc(&p, 16));
  char host[32] = {};
  EXPECT_EQ(gpuSuccess, gpuMemcpy(p, host, 16, gpuMemcpyHostToDevice));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpy(p, host, 17, gpuMemcpyHostToDevice));
  EXPECT_EQ(gpuErrorInvalidValue,
            gpuMemcpy(host, static_cast<char*>(p) + 8, 9, gpuMemcpyDeviceToHost));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpy(host, host + 16, 4, gpuMemcpyDeviceToHost));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemset(static_cast<char*>(p) + 1, 0, 16));
  EXPECT_EQ(gpuSuccess, gpuFree(p));
  EXPECT_EQ(gpuErrorInvalidValue, gpuMemcpy(host, p, 4, gpuMemcpyDeviceToHost));
  EXPECT_EQ(gpuErrorInvalidDevicePointer, gpuFree(p));
  // A launch on memory the device does not own fails, and so does the next copy.
  EXPECT_EQ(gpuErrorLaunchFailure, gpuLaunch(kernelSrand, 1, host));
  void* q = nullptr;
  ASSERT_EQ(gpuSuccess, gpuMalloc(&q, 512));
  EXPECT_EQ(gpuErrorLaunchFailure, gpuMemcpy(host, q, 4, gpuMemcpyDeviceToHost));
  EXPECT_EQ(gpuSuccess, gpuMemcpy(host, q, 4, gpuMemcpyDeviceToHost));
  // Too small for the 128 seeds, or a block of no lanes.
  EXPECT_EQ(gpuErrorLaunchFailure, gpuLaunch(kernelSrand, 1, static_cast<char*>(q) + 4));
  EXPECT_EQ(gpuErrorLaunchFailure, gpuMemset(q, 0, 4));
  // A refused launch never ran: the next copy says so too, then all is well.
  EXPECT_EQ(gpuErrorInvalidConfiguration, gpuLaunch(kernelSrand, 0, q));
  EXPECT_EQ(gpuErrorInvalidConfiguration, gpuMemset(q, 0, 4));
  EXPECT_EQ(gpuSuccess, gpuMemset(q, 0, 4));
  // No kernel takes more than 128 lanes, as in the CUDA form.
  EXPECT_EQ(gpuErrorInvalidConfiguration, gpuLaunch(kernelSrand, 129, q));
  EXPECT_EQ(gpuErrorInvalidConfiguration, gpuMemset(q, 0, 4));
  gpuFree(q);
  gpuDeviceProp prop;
  EXPECT_EQ(gpuErrorInvalidDevice, gpuGetDeviceProperties(&prop, 1));
}

TEST(DrawThresholds, MatchTheSinglePrecisionTest) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (float p :
       {0.0f, -1.0f, 1e-9f, 0.005f, 0.01f, 0.3f, 0.85f, 0.5f, 0.99999f, 1.0f, 2.0f, nan}) {
    int above = 0, below = 0;
    for (int r = 0; r < 32768; ++r) {
      above += p > float(r) / 32767.0f;
      below += float(r) / 32767.0f < p;
    }
    EXPECT_EQ(above, cpuform::probabilityThreshold(p)) << p;
    EXPECT_EQ(below, cpuform::probabilityThreshold(p)) << p;
  }
  EXPECT_EQ(32767, cpuform::probabilityThreshold(1.0f));
}

// Steps as a jump: k steps of lane t map s to A*s + C.
unsigned jumped(unsigned s, int t, unsigned long long k) {
  unsigned a = 1103515245u, c = unsigned(t) + 12345u, accMul = 1, accAdd = 0;
  for (; k; k >>= 1) {
    if (k & 1) {
      accMul *= a;
      accAdd = accAdd * a + c;
    }
    c = c * a + c;
    a = a * a;
  }
  return accMul * s + accAdd;
}

// The step count is the 32-bit wrapped power, taken by repeated squaring; a
// plain product loop is the reference.
TEST(HardnessWork, StepCountIsTheWrappedPower) {
  for (int nodes : {2, 3, 10, 44, 45})
    for (int hardness : {1, 5, 6, 7, 31, 32, 33, 100, 1001, 65536, 99999}) {
      unsigned p = 1;
      for (int i = 0; i < hardness; ++i) p *= unsigned(nodes);
      const unsigned long long want = int(p) > 0 ? 2ull * unsigned(int(p)) : 0;
      EXPECT_EQ(want, cpuform::hardnessSteps(nodes, hardness)) << nodes << "^" << hardness;
    }
}

TEST(HardnessWork, StepsAsTheJumpAheadForm) {
  ASSERT_TRUE(gpuSelectBackend("cpu"));
  struct Setting {
    int nodes, hardness;
    unsigned long long steps;
  };
  for (Setting c : {Setting{10, 0, 0}, Setting{10, -2, 0}, Setting{10, 1, 20}, Setting{10, 2, 200},
                    Setting{45, 2, 4050}, Setting{45, 6, 0}, Setting{3, 5, 486}}) {
    EXPECT_EQ(c.steps, cpuform::hardnessSteps(c.nodes, c.hardness));
    unsigned streams[128], expected[128];
    for (int t = 0; t < 128; ++t) streams[t] = expected[t] = unsigned(t) * 2654435761u;
    for (int t : {0, 5, 127}) {
      cpuform::hardnessWork(streams, t, c.steps);
      expected[t] = jumped(expected[t], t, c.steps);
    }
    for (int t = 0; t < 128; ++t) EXPECT_EQ(expected[t], streams[t]) << "lane " << t;
  }
  // The interleaved form used by the kernels, odd step counts included.
  for (unsigned long long steps : {1ull, 2ull, 7ull, 4050ull}) {
    unsigned streams[128];
    int lanes[128];
    for (int t = 0; t < 128; ++t) {
      streams[t] = unsigned(t) * 40503u + 1u;
      lanes[t] = 127 - t;
    }
    cpuform::advanceStreamsInterleaved(streams, lanes, 13, steps);
    for (int t = 0; t < 128; ++t) {
      const unsigned start = unsigned(t) * 40503u + 1u;
      EXPECT_EQ(t >= 115 ? jumped(start, t, steps) : start, streams[t]) << t << " " << steps;
    }
  }
}

TEST(Streams, LaneIncrementAndDrawsOfTheDesign) {
  unsigned streams[128] = {};
  streams[0] = 1;
  EXPECT_EQ(16838, cpuform::devRand(streams, 0, 0));
  EXPECT_EQ(1103527590u, streams[0]);
  EXPECT_EQ(5758, cpuform::devRand(streams, 0, 0));
  EXPECT_EQ(10113, cpuform::devRand(streams, 0, 0));
  streams[5] = 1;
  EXPECT_EQ(16838, cpuform::devRand(streams, 5, 5));
  EXPECT_EQ(1103527595u, streams[5]);
  EXPECT_EQ(24414, cpuform::devRand(streams, 5, 5));
  EXPECT_EQ(15758, cpuform::devRand(streams, 5, 5));
  for (int t = 0; t < 128; ++t) EXPECT_EQ(unsigned(t), cpuform::laneIncrement(t));
}

}  // namespace
