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
  const double left = p->totalLaunches < 0 ? -1
                      : rate > 0           ? double(p->totalLaunches - p->launchesDone) / rate
                                           : (p->done ? 0 : -1);
  std::fprintf(
      p->out, "\r%s\x1b[K",
      barText(p->launchesDone, p->totalLaunches, p->done, p->total, 50 * rate, left, 30).c_str());
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

std::string barText(long long launchesDone, long long totalLaunches, long done, long total,
                    double generationsPerSecond, double secondsLeft, int width) {
  // Runs without a limit on generations make launches until stopped: the
  // bar then counts runs, and the launches have no total.
  const int filled =
      totalLaunches > 0 ? int(double(width) * double(std::min(launchesDone, totalLaunches)) /
                              double(totalLaunches))
      : totalLaunches < 0 && total > 0 ? int(double(width) * double(done) / double(total))
                                       : width;
  std::string bar =
      "[" + std::string(size_t(filled), '#') + std::string(size_t(width - filled), '.') + "]";
  char text[200];
  if (totalLaunches < 0)
    std::snprintf(text, sizeof text, " %lld launches  %ld/%ld runs  %.0f gen/s  %s left",
                  launchesDone, done, total, generationsPerSecond,
                  durationText(secondsLeft).c_str());
  else
    std::snprintf(text, sizeof text, " %lld/%lld launches  %ld/%ld runs  %.0f gen/s  %s left",
                  launchesDone, totalLaunches, done, total, generationsPerSecond,
                  durationText(secondsLeft).c_str());
  return bar + text;
}

void startProgress(Progress* p, ProgressMode mode, FILE* out, long total, long long totalLaunches) {
  p->mode = mode;
  p->out = out;
  p->total = total;
  p->done = 0;
  p->totalLaunches = totalLaunches;
  p->launchesDone = 0;
  p->start = p->lastDraw = std::chrono::steady_clock::now();
  p->drawn = false;
  if (mode == progressBar) drawBar(p);
}

void progressLaunches(Progress* p, long long launchesDone) {
  p->launchesDone = launchesDone;
  if (p->mode == progressBar && secondsSince(p->lastDraw) >= 0.2) drawBar(p);
}

void progressRunFinished(Progress* p, const RunSpec& spec, const RunResult& r) {
  ++p->done;
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
