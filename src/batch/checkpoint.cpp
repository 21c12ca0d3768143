#include "batch/checkpoint.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "batch/results.h"
#include "batch/runs.h"
#include "host/record.h"
#include "problem/graph.h"

namespace {

const char magic[] = "smetp checkpoint 1\n";

// The file's bytes: the magic line, the identity, then the state, each
// variable part after its length; the last 64 bytes are the sha256 of all
// before them.
struct Writer {
  std::string bytes;
  template <typename T>
  void put(const T& value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  template <typename T>
  void putVector(const std::vector<T>& values) {
    put(uint64_t(values.size()));
    bytes.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
  }
};

struct Reader {
  const std::string& bytes;
  size_t at = 0;
  bool bad = false;
  template <typename T>
  void get(T* value) {
    if (bad || bytes.size() - at < sizeof *value) {
      bad = true;
      return;
    }
    std::memcpy(value, bytes.data() + at, sizeof *value);
    at += sizeof *value;
  }
  template <typename T>
  void getVector(std::vector<T>* values) {
    uint64_t n = 0;
    get(&n);
    if (bad || n > (bytes.size() - at) / sizeof(T)) {
      bad = true;
      return;
    }
    values->resize(size_t(n));
    // An empty vector may have no storage: no copy then, not one from null.
    if (n > 0) std::memcpy(values->data(), bytes.data() + at, size_t(n) * sizeof(T));
    at += size_t(n) * sizeof(T);
  }
};

void putProgress(Writer& w, const RunProgress& p) {
  const Schedule& s = p.schedule;
  w.put(s.bestSoFar);
  w.put(s.mutProb);
  w.put(s.noImprove);
  w.put(s.lastImproveClock);
  w.put(s.startMutProb);
  w.put(s.mutProbStep);
  w.put(s.mutPatience);
  w.put(p.lastBest);
  w.put(p.launchCount);
  w.put(p.startClock);
  w.put(p.startTime);
}

void getProgress(Reader& r, RunProgress* p) {
  Schedule& s = p->schedule;
  r.get(&s.bestSoFar);
  r.get(&s.mutProb);
  r.get(&s.noImprove);
  r.get(&s.lastImproveClock);
  r.get(&s.startMutProb);
  r.get(&s.mutProbStep);
  r.get(&s.mutPatience);
  r.get(&p->lastBest);
  r.get(&p->launchCount);
  r.get(&p->startClock);
  r.get(&p->startTime);
}

std::string fileText(const std::string& path, std::string* error) {
  std::string text;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = std::strerror(errno);
    return text;
  }
  char buffer[1 << 16];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  if (std::ferror(f)) *error = std::strerror(errno);
  std::fclose(f);
  return text;
}

// The first line that differs between two identities, as "name (this run:
// value)", so that a refusal says what changed.
std::string firstDifference(const std::string& found, const std::string& expected) {
  size_t a = 0, b = 0;
  while (a < found.size() || b < expected.size()) {
    const size_t ea = std::min(found.find('\n', a), found.size());
    const size_t eb = std::min(expected.find('\n', b), expected.size());
    const std::string la = found.substr(a, ea - a), lb = expected.substr(b, eb - b);
    if (la != lb) {
      const std::string name = lb.substr(0, lb.find('='));
      return name + " " + shortQuote(la.substr(std::min(la.size(), la.find('=') + 1))) +
             ", this run has " + shortQuote(lb.substr(std::min(lb.size(), lb.find('=') + 1)));
    }
    a = ea + 1;
    b = eb + 1;
  }
  return "";
}

}  // namespace

std::string instanceIdOf(const GraphData& g) {
  if (!g.fileSha256.empty()) return g.fileSha256;
  const std::shared_ptr<const WideGraph> wide = wideGraphOf(g);
  const std::vector<WideLink>& links = wide->links;
  return "links " + sha256Hex(std::to_string(g.n) + " " +
                              std::string(reinterpret_cast<const char*>(links.data()),
                                          links.size() * sizeof(WideLink)));
}

std::string checkpointIdentity(const std::string& program, const std::string& runsSha256,
                               const RunSpec& spec, const std::string& instance) {
  const std::string stop = runStopText(spec.stop);
  return "program=" + program + "\nruns_sha256=" + runsSha256 + "\ninstance_sha256=" + instance +
         "\nrun=" + std::to_string(spec.index) + " " + spec.path + " " + std::to_string(spec.seed) +
         " " + (spec.stop.noGenerationLimit ? std::string("-") : std::to_string(spec.maxGen)) +
         " " + std::to_string(spec.objHard) + " " + shortestText(spec.graphDens) +
         "\nsettings=profile=" + gaProfileName(spec.profile) + " " +
         gaSettingsText(spec.settings, false) + (stop.empty() ? "" : " " + stop) + "\n";
}

std::string checkpointPath(const std::string& dir, long index) {
  return dir + "/run-" + std::to_string(index) + ".ckpt";
}

bool saveCheckpoint(const std::string& dir, long index, const std::string& identity,
                    const RunState& state, std::string* error) {
  Writer w;
  w.bytes = magic;
  w.putVector(std::vector<char>(identity.begin(), identity.end()));
  w.put(state.launchesDone);
  w.put(state.elapsedMs);
  putProgress(w, state.progress);
  w.putVector(state.history);
  w.put(uint64_t(state.populations.size()));
  for (const PopulationState& p : state.populations) {
    w.put(p.streams);
    w.putVector(p.fits);
    w.putVector(p.bits);
  }
  w.bytes += sha256Hex(w.bytes);

  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    *error = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
  }
  const std::string path = checkpointPath(dir, index), temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = "cannot write " + temp + ": " + std::strerror(errno);
    return false;
  }
  std::string reason;
  bool ok = writeWholeAtEnd(fd, w.bytes, &reason) && ::fsync(fd) == 0;
  if (!ok && reason.empty()) reason = std::strerror(errno);
  if (::close(fd) != 0 && ok) {
    ok = false;
    reason = std::strerror(errno);
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    reason = std::strerror(errno);
  }
  if (!ok) {
    std::remove(temp.c_str());
    *error = "cannot write " + path + ": " + reason;
  }
  return ok;
}

CheckpointLoad loadCheckpoint(const std::string& dir, long index, const std::string& identity,
                              RunState* state, std::string* error) {
  const std::string path = checkpointPath(dir, index);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return checkpointNone;
  std::string reason;
  const std::string bytes = fileText(path, &reason);
  if (!reason.empty()) {
    *error = "cannot read checkpoint " + path + ": " + reason;
    return checkpointRefused;
  }
  const size_t body = bytes.size() < 64 ? 0 : bytes.size() - 64;
  if (bytes.compare(0, sizeof magic - 1, magic) != 0 ||
      sha256Hex(bytes.substr(0, body)) != bytes.substr(body)) {
    *error = "checkpoint " + path + " is damaged or not a checkpoint of smetp-batch";
    return checkpointRefused;
  }
  const std::string content = bytes.substr(0, body);
  Reader r{content, sizeof magic - 1};
  std::vector<char> found;
  r.getVector(&found);
  const std::string foundIdentity(found.begin(), found.end());
  if (!r.bad && foundIdentity != identity) {
    *error = "checkpoint " + path + " is of another run (" +
             firstDifference(foundIdentity, identity) + ")";
    return checkpointRefused;
  }
  RunState s;
  r.get(&s.launchesDone);
  r.get(&s.elapsedMs);
  getProgress(r, &s.progress);
  r.getVector(&s.history);
  uint64_t populations = 0;
  r.get(&populations);
  for (uint64_t k = 0; k < populations && !r.bad; ++k) {
    PopulationState p;
    r.get(&p.streams);
    r.getVector(&p.fits);
    r.getVector(&p.bits);
    s.populations.push_back(std::move(p));
  }
  if (r.bad || r.at != content.size() || s.launchesDone < 1 || s.elapsedMs < 0 ||
      s.history.size() != size_t(s.launchesDone) || s.populations.empty()) {
    *error = "checkpoint " + path + " is damaged or not a checkpoint of smetp-batch";
    return checkpointRefused;
  }
  *state = std::move(s);
  return checkpointLoaded;
}

void removeCheckpoint(const std::string& dir, long index) {
  std::remove(checkpointPath(dir, index).c_str());
}

namespace {

// A run's identity, its instance's part made once per instance.
std::string identityOf(CheckpointStore* store, const RunSpec& spec) {
  std::string& instance = store->instanceIds[spec.instance];
  if (instance.empty()) instance = instanceIdOf((*store->instances)[size_t(spec.instance)]);
  return checkpointIdentity(store->program, store->runsSha256, spec, instance);
}

}  // namespace

void checkpointRun(CheckpointStore* store, const RunSpec& spec, const RunState& state) {
  std::string error;
  if (saveCheckpoint(store->dir, spec.index, identityOf(store, spec), state, &error))
    store->saved.insert(spec.index);
  else if (store->failure.empty())
    store->failure = error;
}

bool resumeRunFrom(CheckpointStore* store, const RunSpec& spec, RunState* state) {
  std::string error;
  switch (loadCheckpoint(store->dir, spec.index, identityOf(store, spec), state, &error)) {
    case checkpointLoaded:
      store->saved.insert(spec.index);
      return true;
    case checkpointRefused:
      store->refused.push_back(error);
      return false;
    case checkpointNone:
      break;
  }
  return false;
}

void dropCheckpoint(CheckpointStore* store, long index) {
  if (store->dir.empty()) return;
  removeCheckpoint(store->dir, index);
  store->saved.erase(index);
}

void closeCheckpoints(CheckpointStore* store) {
  if (store->dir.empty()) return;
  // Checkpoints of runs whose results an earlier batch kept (it ended
  // between the two), then the directory.
  if (DIR* d = ::opendir(store->dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name.rfind("run-", 0) == 0 && name.size() > 9 &&
          name.compare(name.size() - 5, 5, ".ckpt") == 0)
        std::remove((store->dir + "/" + name).c_str());
    }
    ::closedir(d);
  }
  ::rmdir(store->dir.c_str());
}
