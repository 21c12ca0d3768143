#include "batch/progress.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace {

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void drawBar(Progress* p) {
  if (!takesOutput(p->out, 0)) return;
  const double elapsed = secondsSince(p->start);
  const double rate = elapsed > 0 ? double(p->launchesDone) / elapsed : 0;
  // Launches to go at the rate so far, where their number is known; else,
  // with a time limit on every run, the limits still to run.
  const double left =
      p->totalLaunches >= 0
          ? (rate > 0 ? double(p->totalLaunches - p->launchesDone) / rate : (p->done ? 0 : -1))
          : secondsLeftByLimits(p->timeBudget, p->timeFreed, p->total, p->slots, elapsed);
  std::fprintf(
      p->out, "\r%s\x1b[K",
      barText(p->done, p->total, p->best, p->launchesDone, p->totalLaunches, 50 * rate, left, 24)
          .c_str());
  std::fflush(p->out);
  p->drawn = true;
  p->lastDraw = std::chrono::steady_clock::now();
}

}  // namespace

bool takesOutput(FILE* f, int ms) {
  const int fd = fileno(f);
  if (fd < 0) return true;
  struct pollfd p = {fd, POLLOUT, 0};
  int ready;
  do ready = ::poll(&p, 1, ms);
  while (ready < 0 && errno == EINTR);
  // An error, or a closed reader, lets the write itself fail.
  return ready != 0;
}

std::string durationText(double seconds) {
  if (!(seconds >= 0) || seconds > 1e8) return "--:--";
  const long s = long(std::lround(seconds));
  char text[40];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

std::string barText(long done, long total, long long best, long long launchesDone,
                    long long totalLaunches, double generationsPerSecond, double secondsLeft,
                    int width) {
  // Runs without a limit on generations make launches until stopped: the
  // bar then counts runs, and the launches have no total.
  const int filled =
      totalLaunches > 0 ? int(double(width) * double(std::min(launchesDone, totalLaunches)) /
                              double(totalLaunches))
      : totalLaunches < 0 && total > 0 ? int(double(width) * double(done) / double(total))
                                       : width;
  std::string bar =
      "[" + std::string(size_t(filled), '#') + std::string(size_t(width - filled), '.') + "]";
  const std::string bestText = best < 0 ? "-" : std::to_string(best);
  const std::string launches =
      totalLaunches < 0 ? std::to_string(launchesDone)
                        : std::to_string(launchesDone) + "/" + std::to_string(totalLaunches);
  char text[240];
  std::snprintf(text, sizeof text, " %ld/%ld runs  best %s  %s launches  %.0f gen/s  %s left", done,
                total, bestText.c_str(), launches.c_str(), generationsPerSecond,
                durationText(secondsLeft).c_str());
  return bar + text;
}

double secondsLeftByLimits(double timeBudget, double timeFreed, long total, int slots,
                           double elapsed) {
  if (timeBudget < 0 || total <= 0 || slots <= 0) return -1;
  const long atOnce = std::min(long(slots), total);
  const long waves = (total + atOnce - 1) / atOnce;
  const double left =
      double(waves) * timeBudget / double(total) - timeFreed / double(atOnce) - elapsed;
  return std::max(left, 0.0);
}

void startProgress(Progress* p, ProgressMode mode, FILE* out, long total, long long totalLaunches,
                   double timeBudget) {
  p->mode = mode;
  p->out = out;
  p->total = total;
  p->done = 0;
  p->totalLaunches = totalLaunches;
  p->launchesDone = 0;
  p->best = -1;
  p->slots = 0;
  p->timeBudget = timeBudget;
  p->timeFreed = 0;
  p->start = p->lastDraw = std::chrono::steady_clock::now();
  p->drawn = false;
  if (mode == progressBar) drawBar(p);
}

void progressLaunches(Progress* p, const BatchProgress& batch) {
  p->launchesDone = batch.launchesDone;
  p->best = batch.best;
  p->slots = batch.slots;
  if (p->mode == progressBar && secondsSince(p->lastDraw) >= 0.2) drawBar(p);
}

void progressRunFinished(Progress* p, const RunSpec& spec, const RunResult& r) {
  ++p->done;
  if (spec.stop.timeLimit > 0) p->timeFreed += spec.stop.timeLimit - r.record.totSec;
  if (p->mode == progressBar) {
    drawBar(p);
  } else if (p->mode == progressLines && takesOutput(p->out, 0)) {
    // The run named as the results name it: its instance and seed, then the
    // GA settings that are not the design's (nothing for a design run).
    const std::string settings = gaSettingsText(spec.settings, true);
    std::fprintf(
        p->out, "smetp-batch: run %ld/%ld done (index %ld, %s seed %d%s%s): best %lld, %.3f s\n",
        p->done, p->total, spec.index, spec.path.c_str(), spec.seed, settings.empty() ? "" : ", ",
        settings.c_str(), r.wide ? r.best : (long long)r.record.best, r.record.totSec);
    std::fflush(p->out);
  }
}

void progressNote(Progress* p, const std::string& line) {
  if (!takesOutput(p->out, 1000)) return;
  if (p->mode == progressBar && p->drawn) std::fputs("\r\x1b[K", p->out);
  std::fprintf(p->out, "%s\n", line.c_str());
  if (p->mode == progressBar && p->drawn) drawBar(p);
  std::fflush(p->out);
}

void endProgress(Progress* p) {
  if (p->mode == progressBar && p->drawn && takesOutput(p->out, 0)) {
    drawBar(p);
    std::fputc('\n', p->out);
    std::fflush(p->out);
  }
  p->drawn = false;
  p->mode = progressNone;
}
