#include "host/record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The part of the path from its last "/" on; the whole path when it has none.
const char* recordedPath(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash : path;
}

}  // namespace

std::string runRecordText(const RunRecord& r) {
  char timeText[64] = "";
  std::tm local;
  if (localtime_r(&r.startTime, &local))
    std::strftime(timeText, sizeof timeText, "%a %b %d %H:%M:%S %Y\n", &local);
  char text[2048];
  const int len = std::snprintf(
      text, sizeof text,
      "-----------------------------------------------------------\t\t\t\t\n"
      "time:\t\t %s\t\t\t\t\n"
      "path:\t\t%s\t\t\t\t\n"
      "seed:\t\t%d\t\t\t\t\n"
      "maxGen:\t%d\t\t\t\t\n"
      "popSize:\t%d\t\t\t\t\n"
      "objHard:\t%d\t\t\t\t\n"
      "nelite:\t%d\t\t\t\t\n"
      "startMut:\t%.4f\t\t\t\t\n"
      "endMut:\t%.4f\t\t\t\t\n"
      "crossProb:\t%.4f\t\t\t\t\n"
      "tournSize:\t%d\t\t\t\t\n"
      "graphDens:\t%.4f\t\t\t\t\n"
      "best:\t\t%d\t\t\t\t\n"
      "sec:\t\t%.4f\t\t\t\t\n"
      "totSec:\t%.4f\t\t\t\t\n"
      "memory:\t\t\t\t\n"
      "-----------\t\t\t\t\n"
      "const:\t%d\n",
      timeText, recordedPath(r.path), r.seed, r.maxGen, 128, r.objHard, 16, 0.005, double(r.endMut),
      0.85, 8, double(r.graphDens), int(r.best), r.sec, r.totSec, r.constBytes);
  return std::string(text, len > 0 ? size_t(len) < sizeof text ? size_t(len) : sizeof text - 1 : 0);
}

void writeRunRecord(FILE* out, const RunRecord& r) { std::fputs(runRecordText(r).c_str(), out); }

bool writeWholeAtEnd(int fd, const std::string& text, std::string* reason, long long* at) {
  const off_t before = ::lseek(fd, 0, SEEK_END);
  if (at) *at = before;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *reason = n < 0 ? std::strerror(errno) : "nothing written";
      if (done > 0 && before >= 0) (void)!::ftruncate(fd, before);
      return false;
    }
    done += size_t(n);
  }
  return true;
}

bool appendWhole(const char* path, const std::string& text, std::string* error, bool* openFailed,
                 long long* at) {
  if (openFailed) *openFailed = false;
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = std::strerror(errno);
    if (openFailed) *openFailed = true;
    return false;
  }
  // Writers that lock the file (every smetp and smetp-batch) append one at a
  // time, so the end found here is where this text goes, and a failed write
  // can be cut off without cutting another writer's record. A file that
  // cannot be locked (some network file systems) is appended to all the same.
  const bool locked = ::flock(fd, LOCK_EX) == 0;
  if (!writeWholeAtEnd(fd, text, error, at)) {
    ::close(fd);
    return false;
  }
  if (locked) ::flock(fd, LOCK_UN);
  if (::close(fd) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

void takeBackAppend(const char* path, long long at, size_t bytes) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::flock(fd, LOCK_EX);
  struct stat st;
  if (at >= 0 && ::fstat(fd, &st) == 0 && st.st_size == off_t(at + (long long)bytes))
    (void)!::ftruncate(fd, off_t(at));
  ::close(fd);
}

void appendRunRecord(const char* outFile, const RunRecord& r) {
  // The whole record goes out in one write() on a descriptor opened with
  // O_APPEND: the kernel moves to the end of the file and writes there as one
  // step, so records of processes appending to the same file at the same time
  // stay whole and never interleave (on local file systems; NFS emulates
  // O_APPEND and gives no such promise). A buffered stream may split a record
  // into several writes, which could interleave; keep it to one write.
  const std::string text = runRecordText(r);
  std::string error;
  bool openFailed = false;
  if (appendWhole(outFile, text, &error, &openFailed)) return;
  std::fflush(stdout);
  if (openFailed) {
    std::fprintf(stderr, "Greska pri otvaranju fajla %s\n", outFile);
    std::fprintf(stderr, "smetp: cannot open %s: %s; the run record follows\n", outFile,
                 error.c_str());
  } else {
    std::fprintf(stderr, "smetp: cannot write the run record to %s: %s; the record follows\n",
                 outFile, error.c_str());
  }
  std::fputs(text.c_str(), stderr);
  std::exit(1);
}
