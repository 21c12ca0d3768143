// Progress of a batch on standard error: a bar that redraws itself on a
// terminal, one line per finished run otherwise, or nothing.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "batch/engine.h"

enum ProgressMode { progressNone, progressLines, progressBar };

struct Progress {
  ProgressMode mode;
  FILE* out;
  long total;               // runs of the batch
  long done;                // runs finished
  long long totalLaunches;  // launches of all runs together; -1: unknown (no generation limit)
  long long launchesDone;   // as the engine last reported
  long long best;           // the lowest connected best of the runs in progress; -1: none
  int slots;                // runs the pool holds at once (0 until the engine says)
  // With a time limit on every run: the sum of their limits (seconds), and
  // what the finished runs left of theirs; timeBudget -1: some run has none.
  double timeBudget;
  double timeFreed;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point lastDraw;
  bool drawn;  // the bar is on the screen
};

void startProgress(Progress* p, ProgressMode mode, FILE* out, long total, long long totalLaunches,
                   double timeBudget);
void progressLaunches(Progress* p, const BatchProgress& batch);
void progressRunFinished(Progress* p, const RunSpec& spec, const RunResult& r);
// Prints a line of its own (a warning) without breaking the bar.
void progressNote(Progress* p, const std::string& line);
// Ends the bar's line; call before printing anything else.
void endProgress(Progress* p);

// Whether the stream f takes a short line within ms milliseconds (a pipe
// with room, a terminal, a file): progress and messages are left out rather
// than written into a pipe whose reader has stopped reading, which would hold
// the batch up past a stop.
bool takesOutput(FILE* f, int ms);

// "1:02:03" or "2:03" for a number of seconds; "--:--" when unknown.
std::string durationText(double seconds);
// The bar's text: the bar, runs done of total, the best of the runs in
// progress (-1: none connects all nodes yet), launches done (of their total
// when known, else -1), generations per second, time left (< 0: unknown).
std::string barText(long done, long total, long long best, long long launchesDone,
                    long long totalLaunches, double generationsPerSecond, double secondsLeft,
                    int width);
// Seconds left of a batch whose runs each have a time limit, taking every
// unfinished run to use its whole limit: the runs go `slots` at a time, each
// of the mean limit, less what finished runs left of theirs. -1 when unknown.
double secondsLeftByLimits(double timeBudget, double timeFreed, long total, int slots,
                           double elapsed);
