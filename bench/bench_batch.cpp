// Speed of the batch engine: B runs of one instance (seeds 1..B) in one
// batch, in whichever form the runtime layer picks (SMETP_BACKEND forces one).
// Prints the wall time of the whole batch and per launch step (one launch of
// all resident runs, 50 generations each).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "batch/engine.h"
#include "gpu/gpu.h"

namespace {

void usage(FILE* to) {
  std::fprintf(to,
               "usage: bench_batch [--instance FILE] [--runs B] [--generations G] [--hardness H]\n"
               "                   [--density D] [--jobs J] [--resident P]\n"
               "defaults: data/g45.txt, 8 runs, 2500 generations, hardness 0, density 0.3,\n"
               "jobs = the processor count (CPU form only), resident = the form's default\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string instance = "data/g45.txt";
  int runs = 8, generations = 2500, hardness = 0, jobs = 0, resident = 0;
  float density = 0.3f;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") {
      usage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      usage(stderr);
      return 2;
    }
    const char* v = argv[++i];
    if (a == "--instance")
      instance = v;
    else if (a == "--runs")
      runs = std::atoi(v);
    else if (a == "--generations")
      generations = std::atoi(v);
    else if (a == "--hardness")
      hardness = std::atoi(v);
    else if (a == "--density")
      density = float(std::atof(v));
    else if (a == "--jobs")
      jobs = std::atoi(v);
    else if (a == "--resident")
      resident = std::atoi(v);
    else {
      usage(stderr);
      return 2;
    }
  }
  if (runs < 1) {
    usage(stderr);
    return 2;
  }
  std::vector<GraphData> instances(1);
  std::string reason;
  if (readGraphFile(instance.c_str(), &instances[0], &reason) != graphOk) {
    std::fprintf(stderr, "bench_batch: %s: %s\n", instance.c_str(), reason.c_str());
    return 1;
  }
  std::vector<RunSpec> specs;
  for (int b = 0; b < runs; ++b)
    specs.push_back(RunSpec{instance, b + 1, generations, hardness, density, b, 0});
  long long bestSum = 0;
  BatchOptions options;
  const unsigned cores = std::thread::hardware_concurrency();
  options.jobs = jobs > 0 ? jobs : cores > 0 ? int(cores) : 1;
  options.resident = resident;
  options.onRunFinished = [&](size_t, const RunSpec&, const RunResult& r) {
    bestSum += r.record.best;
  };
  const auto t0 = std::chrono::steady_clock::now();
  runBatch(specs, instances, options);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // A launch step: one launch of every resident run (one run per worker in
  // the CPU form); the runs pass through the pool in ceil(runs / slots) rounds.
  const gpuBatchShape shape = gpuBatchPlan(options.jobs, resident);
  const int launches = generations / 50 > 0 ? generations / 50 : 1;
  const int rounds = (runs + shape.slots - 1) / shape.slots;
  std::printf(
      "backend %s, %d runs of %s, %d generations, hardness %d, jobs %d, resident %d: %.3f s, "
      "%.3f ms per launch step, mean best %.1f\n",
      gpuBackendName(), runs, instance.c_str(), generations, hardness, options.jobs, shape.slots,
      seconds, 1000.0 * seconds / (double(launches) * rounds), double(bestSum) / runs);
  return 0;
}
