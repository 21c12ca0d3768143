#include "batch/results.h"

#include <fcntl.h>
#include <limits.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>

#include "batch/resultdoc.h"
#include "batch/runs.h"
#include "host/record.h"
#include "problem/chrom.h"

namespace {

// The float as the JSON number of its shortest decimal text (a double read
// from that text prints as the same digits).
double jsonFloat(float value) { return std::strtod(shortestText(value).c_str(), nullptr); }

int findRoot(std::vector<int>& parent, int v) {
  while (parent[size_t(v)] != v) {
    parent[size_t(v)] = parent[size_t(parent[size_t(v)])];
    v = parent[size_t(v)];
  }
  return v;
}

}  // namespace

int topologyEnergy(const GraphData& g, const std::vector<std::pair<int, int>>& links,
                   std::string* error) {
  // The weight of each pair that the instance lists.
  std::vector<int> weight(size_t(g.n * g.n), 0);
  std::vector<bool> listed(size_t(g.n * g.n), false);
  for (int e = 0; e < g.nl; ++e) {
    const size_t k = size_t(g.links[e].from * g.n + g.links[e].to);
    weight[k] = g.links[e].weight;
    listed[k] = true;
  }
  std::vector<int> power(size_t(g.n), 0);
  std::vector<int> parent(size_t(g.n));
  for (int v = 0; v < g.n; ++v) parent[size_t(v)] = v;
  int components = g.n;
  for (const std::pair<int, int>& l : links) {
    const int u = l.first - 1, v = l.second - 1;
    if (u < 0 || v <= u || v >= g.n || !listed[size_t(u * g.n + v)]) {
      *error = "the link [" + std::to_string(l.first) + ", " + std::to_string(l.second) +
               "] is not an edge of the instance";
      return -1;
    }
    const int w = weight[size_t(u * g.n + v)];
    power[size_t(u)] = std::max(power[size_t(u)], w);
    power[size_t(v)] = std::max(power[size_t(v)], w);
    const int ru = findRoot(parent, u), rv = findRoot(parent, v);
    if (ru != rv) {
      parent[size_t(ru)] = rv;
      --components;
    }
  }
  if (components != 1) return infeasibleFit;
  long energy = 0;
  for (int p : power) energy += p;
  return int(std::min(energy, long(maxFeasibleFit)));
}

std::string topologyLinks(const GraphData& g, const std::vector<std::pair<int, int>>& topology,
                          std::vector<WideLink>* chosen) {
  const std::shared_ptr<const WideGraph> wide = wideGraphOf(g);
  const std::vector<WideLink>& all = wide->links;  // ascending by (from, to)
  chosen->clear();
  for (const std::pair<int, int>& l : topology) {
    const int u = l.first - 1, v = l.second - 1;
    const auto at = std::lower_bound(all.begin(), all.end(), WideLink{u, v, 0},
                                     [](const WideLink& a, const WideLink& b) {
                                       return a.from != b.from ? a.from < b.from : a.to < b.to;
                                     });
    if (at == all.end() || at->from != u || at->to != v)
      return "the link [" + std::to_string(l.first) + ", " + std::to_string(l.second) +
             "] is not an edge of the instance";
    chosen->push_back(*at);
  }
  return "";
}

// A wide run's check: the links must be the instance's, and their score
// (energy, plus wideUnconnectedStep per extra piece) the run's best.
std::string checkWideTopology(const GraphData& g, const RunResult& r) {
  const long long best = r.best;
  if (!r.hasTopology) return "";
  std::vector<WideLink> chosen;
  const std::string wrong = topologyLinks(g, r.topology, &chosen);
  if (!wrong.empty()) return wrong;
  int pieces = 0;
  const unsigned long long energy = wideEnergy(g.n, chosen, &pieces);
  const long long score =
      (long long)((unsigned long long)(pieces - 1) * wideUnconnectedStep + energy);
  if (score == best) return "";
  return "the run reports the best " + std::to_string(best) + " but its topology scores " +
         std::to_string(score);
}

std::string checkTopology(const GraphData& g, const RunResult& r) {
  if (r.wide) return checkWideTopology(g, r);
  const int best = int(r.record.best);
  if (!r.hasTopology) {
    if (best == infeasibleFit) return "";
    return "the run reports the best " + std::to_string(best) + " but no topology";
  }
  std::string error;
  const int energy = topologyEnergy(g, r.topology, &error);
  if (energy < 0) return error;
  if (energy == best) return "";
  if (energy == infeasibleFit)
    return "the run reports the best " + std::to_string(best) +
           " but its topology does not connect all nodes";
  return "the run reports the best " + std::to_string(best) + " but its topology's energy is " +
         std::to_string(energy);
}

int launchOfBest(const std::vector<long long>& history, long long feasibleBelow) {
  if (history.empty() || history.back() >= feasibleBelow) return 0;
  // history[j] is the best after launch j (j >= 1).
  for (size_t j = 1; j < history.size(); ++j)
    if (history[j] == history.back()) return int(j);
  return 0;
}

std::string sha256Hex(const std::string& bytes) {
  Sha256Ptr s = sha256Start();
  sha256Add(s.get(), bytes.data(), bytes.size());
  return sha256End(s.get());
}

bool sha256OfFile(const std::string& path, std::string* hex, std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = std::strerror(errno);
    return false;
  }
  Sha256Ptr s = sha256Start();
  char buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) sha256Add(s.get(), buffer, got);
  const bool failed = std::ferror(f) != 0;
  if (failed) *error = "a read failed";
  std::fclose(f);
  if (failed) return false;
  *hex = sha256End(s.get());
  return true;
}

namespace {

using Json = ResultJson;

// The run's settings as an object: the profile's name, then every setting,
// words as strings and numbers as the numbers of their texts.
void putSettings(Json& j, const GaSettings& s, int profile) {
  j = Json::object();
  j["profile"] = gaProfileName(profile);
  for (const GaSettingValue& v : gaSettingValues(s)) {
    if (v.word)
      j[v.name] = v.text;
    else if (v.text.find_first_not_of("-0123456789") == std::string::npos)
      j[v.name] = std::strtoll(v.text.c_str(), nullptr, 10);
    else
      j[v.name] = std::strtod(v.text.c_str(), nullptr);
  }
}

}  // namespace

void dismantle(ResultJson& j) {
  if (!j.is_array() && !j.is_object()) return;
  for (auto it = j.begin(); it != j.end(); ++it) dismantle(*it);
  j.clear();
}

void putResult(Json& j, const RunSpec& spec, const RunResult& r, const GraphData& g,
               const std::string& runsSha256) {
  j = Json::object();
  j["index"] = spec.index;
  j["runs_sha256"] = runsSha256;
  j["instance"] = spec.path;
  j["instance_sha256"] = g.fileSha256.empty() ? Json() : Json(g.fileSha256);
  j["nodes"] = g.n;
  j["edges"] = g.nl;
  j["seed"] = spec.seed;
  // Generations made; the record's maxGen says the same, except for a
  // negative count, which it keeps as smetp prints it although no launch ran.
  j["generations"] = r.launches * 50;
  j["hardness"] = spec.objHard;
  j["density"] = jsonFloat(spec.graphDens);
  j["launches"] = r.launches;
  // A wide run's best is exact (an unconnected best scores from
  // wideUnconnectedStep up). The design's energy is capped at 64999: such a
  // best hides the true energy, which may be far higher (weights too large
  // for the engine's 16-bit sums).
  const long long feasibleBelow =
      r.wide ? (long long)wideUnconnectedStep : (long long)infeasibleFit;
  if (r.wide) {
    j["best"] = r.best;
    j["feasible"] = r.best < feasibleBelow;
    j["capped"] = false;
    j["candidate_links"] = r.candidateLinks;
    // The island whose best the run's best is (0 for a run of one).
    j["island"] = r.island;
  } else {
    j["best"] = int(r.record.best);
    j["feasible"] = r.record.best < infeasibleFit;
    j["capped"] = r.record.best == maxFeasibleFit;
  }
  j["history"] = r.history;
  j["launch_of_best"] = launchOfBest(r.history, feasibleBelow);
  j["seconds_to_best"] = r.record.sec;
  j["seconds"] = r.record.totSec;
  static const char* const stopWords[] = {"generations", "time", "target", "interrupted"};
  j["stop"] = stopWords[r.stop];
  // A run ends when it meets its target, so only a run that "target" ended
  // has met it.
  j["seconds_to_target"] = r.stop == stopTarget ? Json(r.secondsToTarget) : Json();
  j["end_mutation"] = jsonFloat(r.record.endMut);
  j["backend"] = r.backend ? r.backend : "";
  putSettings(j["settings"], spec.settings, spec.profile);
  j["time_limit"] = spec.stop.timeLimit > 0 ? Json(spec.stop.timeLimit) : Json();
  // An energy is a whole number: a whole target is written as one.
  const double target = spec.stop.target;
  if (target >= 0 && target == std::floor(target) && target < 9.2e18)
    j["target"] = (long long)target;
  else
    j["target"] = target >= 0 ? Json(target) : Json();
  Json& topology = j["topology"];
  if (r.hasTopology) {
    std::vector<std::pair<int, int>> links = r.topology;
    std::sort(links.begin(), links.end());
    topology = Json::array();
    for (const std::pair<int, int>& l : links) topology.push_back(Json::array({l.first, l.second}));
  }
  // The record describes the design's GA (its elite, crossover and
  // tournament are the design's constants), so a run with other settings has
  // none.
  j["record"] = isDesign(spec.settings) && !r.wide ? Json(runRecordText(r.record)) : Json();
}

namespace {

// A document as one line of JSON text: bytes of a string that are not UTF-8
// replaced, not thrown on (a path may hold any), line separators escaped.
std::string jsonLine(const Json& j) {
  return escapeLineSeparators(j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

}  // namespace

std::string resultLine(const RunSpec& spec, const RunResult& r, const GraphData& g,
                       const std::string& runsSha256) {
  ResultDocument d;
  putResult(d.json, spec, r, g, runsSha256);
  return jsonLine(d.json) + "\n";
}

std::string gaSettingsJson(const GaSettings& s, int profile) {
  ResultDocument d;
  putSettings(d.json, s, profile);
  return jsonLine(d.json);
}

std::string escapeLineSeparators(const std::string& json) {
  // U+0085 (C2 85), U+2028 (E2 80 A8) and U+2029 (E2 80 A9) are line breaks
  // to some readers, which would cut a result line in two. In valid UTF-8
  // these bytes start no other character, and JSON text holds them only in
  // strings, where the escapes mean the same characters.
  std::string out;
  out.reserve(json.size());
  for (size_t i = 0; i < json.size(); ++i) {
    const unsigned char c = (unsigned char)json[i];
    if (c == 0xC2 && i + 1 < json.size() && (unsigned char)json[i + 1] == 0x85) {
      out += "\\u0085";
      i += 1;
    } else if (c == 0xE2 && i + 2 < json.size() && (unsigned char)json[i + 1] == 0x80 &&
               ((unsigned char)json[i + 2] == 0xA8 || (unsigned char)json[i + 2] == 0xA9)) {
      out += (unsigned char)json[i + 2] == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += json[i];
    }
  }
  return out;
}

struct Sha256 {
  EVP_MD_CTX* context;
};

void Sha256Deleter::operator()(Sha256* s) const {
  EVP_MD_CTX_free(s->context);
  delete s;
}

Sha256Ptr sha256Start() {
  Sha256Ptr s(new Sha256{EVP_MD_CTX_new()});
  if (!s->context || !EVP_DigestInit_ex(s->context, EVP_sha256(), nullptr)) throw std::bad_alloc();
  return s;
}

void sha256Add(Sha256* s, const char* bytes, size_t size) {
  if (size) EVP_DigestUpdate(s->context, bytes, size);
}

std::string sha256End(Sha256* s) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (!EVP_DigestFinal_ex(s->context, digest, &len)) return "";
  static const char hex[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < len; ++i) {
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 15];
  }
  return text;
}

void attachOrderedOutput(OrderedOutput* out, int resultsFd, const std::string& name,
                         const std::string& recordPath) {
  out->resultsFd = resultsFd;
  out->resultsPath = name;
  out->recordPath = recordPath;
  out->next = 0;
  out->waiting.clear();
  out->failed = false;
}

bool openOrderedOutput(OrderedOutput* out, const std::string& resultsPath,
                       const std::string& recordPath, std::string* error) {
  out->resultsPath = resultsPath;
  out->recordPath = recordPath;
  out->next = 0;
  out->waiting.clear();
  out->failed = false;
  out->resultsFd =
      ::open(resultsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  if (out->resultsFd < 0) {
    *error = "cannot write results file " + resultsPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

namespace {

// Test hook: SMETP_BATCH_KILL_AFTER_WRITES=N ends the process with SIGKILL
// right after its Nth write of a result line or a record, so that a test can
// stop a batch at every point between two writes.
void killAfterWrite() {
  static const long killAt = [] {
    const char* text = std::getenv("SMETP_BATCH_KILL_AFTER_WRITES");
    return text ? std::strtol(text, nullptr, 10) : 0L;
  }();
  static long writes = 0;
  if (killAt > 0 && ++writes == killAt) ::raise(SIGKILL);
}

}  // namespace

namespace {

// Writes all of `text` to a descriptor that is not a regular file, waiting
// for it to take bytes a tenth of a second at a time; gives up once `stop`
// is set and the reader took nothing for a second. A pipe that polls
// writable takes PIPE_BUF bytes without blocking.
bool writeWhileReaderTakes(int fd, const std::string& text, const std::atomic<bool>& stop,
                           std::string* reason) {
  size_t done = 0;
  int idle = 0;
  while (done < text.size()) {
    struct pollfd p = {fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) {
      *reason = std::strerror(errno);
      return false;
    }
    if (ready <= 0) {
      if (stop.load() && ++idle >= 10) {
        *reason = "the reader takes nothing (stopped)";
        return false;
      }
      continue;
    }
    const size_t chunk = std::min(text.size() - done, size_t(PIPE_BUF));
    const ssize_t n = ::write(fd, text.data() + done, chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      *reason = n < 0 ? std::strerror(errno) : "nothing written";
      return false;
    }
    done += size_t(n);
    idle = 0;
  }
  return true;
}

}  // namespace

bool appendRecordChecked(const std::string& path, const std::string& text, std::string* error,
                         long long* at) {
  if (at) *at = -1;
  // Opened without waiting (a FIFO has no reader to wait for), then refused
  // unless it is a regular file.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
    return false;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = S_ISREG(st.st_mode) ? std::strerror(errno) : "not a regular file";
    ::close(fd);
    return false;
  }
  // Another writer of records holds the lock for one write; a batch that
  // writes this file as its results holds it for the whole batch. A lock
  // still held after a few seconds is such a batch, and waiting for it would
  // put records into its results.
  int tries = 0;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) break;  // cannot be locked: appended all the same
    if (++tries > 600) {
      *error = "another program holds the file (another batch writing it as its results?)";
      ::close(fd);
      return false;
    }
    ::usleep(5000);
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (!text.empty() && !writeWholeAtEnd(fd, text, error, at)) {
    ::close(fd);
    return false;
  }
  if (::close(fd) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool offerResult(OrderedOutput* out, size_t position, std::string line, std::string record,
                 std::string* error) {
  if (out->failed) return false;
  out->waiting.emplace(position, std::make_pair(std::move(line), std::move(record)));
  for (auto it = out->waiting.begin(); it != out->waiting.end() && it->first == out->next;
       it = out->waiting.erase(it), ++out->next) {
    // The result line first, then its record: the line holds the record's
    // text, so a batch ended between the two (SIGKILL) appends the missing
    // record when it resumes (resumeRecord), and a record is never stored
    // twice.
    const std::string& text = it->second.second;
    std::string reason;
    long long lineAt = -1;
    struct stat st;
    const bool regular = ::fstat(out->resultsFd, &st) == 0 && S_ISREG(st.st_mode);
    const bool written =
        out->stop && !regular
            ? writeWhileReaderTakes(out->resultsFd, it->second.first, *out->stop, &reason)
            : writeWholeAtEnd(out->resultsFd, it->second.first, &reason, &lineAt);
    if (!written) {
      *error =
          "cannot write results file " + out->resultsPath + ": " + reason +
          (text.empty() ? "" : "\nthe record of the run that was not written follows:\n" + text);
      out->failed = true;
      return false;
    }
    killAfterWrite();
    if (!out->recordPath.empty() && !text.empty()) {
      if (!appendRecordChecked(out->recordPath, text, &reason)) {
        // The run leaves the results again, so a resume makes it again.
        if (lineAt >= 0) (void)!::ftruncate(out->resultsFd, off_t(lineAt));
        *error = "cannot append to record file " + out->recordPath + ": " + reason +
                 "\nthe record of the run that was not appended follows:\n" + text;
        out->failed = true;
        return false;
      }
      killAfterWrite();
    }
  }
  return true;
}

int resumeRecord(const std::string& path, const std::string& text, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      *error = "not a regular file";
      return -1;
    }
    // Looked for anywhere in the file, a piece at a time: other programs may
    // append to the same file.
    std::vector<char> buffer(size_t(1) << 16);
    std::string window;
    for (;;) {
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *error = std::strerror(errno);
        ::close(fd);
        return -1;
      }
      if (n == 0) break;
      window.append(buffer.data(), size_t(n));
      if (window.find(text) != std::string::npos) {
        ::close(fd);
        return 0;
      }
      if (window.size() >= text.size()) window.erase(0, window.size() - text.size() + 1);
    }
    ::close(fd);
  } else if (errno != ENOENT) {
    *error = std::strerror(errno);
    return -1;
  }
  return appendRecordChecked(path, text, error) ? 1 : -1;
}

bool closeOrderedOutput(OrderedOutput* out, std::string* error) {
  if (out->resultsFd < 0) return true;
  const int fd = out->resultsFd;
  out->resultsFd = -1;
  if (::close(fd) != 0) {
    *error = "cannot write results file " + out->resultsPath + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
