#include "batch/results.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>

#include "batch/runs.h"
#include "host/record.h"
#include "problem/chrom.h"

namespace {

// The float as the JSON number of its shortest decimal text (a double read
// from that text prints as the same digits).
double jsonFloat(float value) { return std::strtod(shortestFloatText(value).c_str(), nullptr); }

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

// A wide run's check: the links must be the instance's, and their score
// (energy, plus wideUnconnectedStep per extra piece) the run's best.
std::string checkWideTopology(const GraphData& g, const RunResult& r) {
  const long long best = r.best;
  if (!r.hasTopology) return "";
  const std::shared_ptr<const WideGraph> wide = wideGraphOf(g);
  const std::vector<WideLink>& all = wide->links;
  std::vector<WideLink> chosen;
  for (const std::pair<int, int>& l : r.topology) {
    const int u = l.first - 1, v = l.second - 1;
    const auto at = std::lower_bound(all.begin(), all.end(), WideLink{u, v, 0},
                                     [](const WideLink& a, const WideLink& b) {
                                       return a.from != b.from ? a.from < b.from : a.to < b.to;
                                     });
    if (at == all.end() || at->from != u || at->to != v)
      return "the link [" + std::to_string(l.first) + ", " + std::to_string(l.second) +
             "] is not an edge of the instance";
    chosen.push_back(*at);
  }
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

std::string resultLine(const RunSpec& spec, const RunResult& r, const GraphData& g,
                       const std::string& runsSha256) {
  nlohmann::ordered_json j;
  j["index"] = spec.index;
  j["runs_sha256"] = runsSha256;
  j["instance"] = spec.path;
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
  } else {
    j["best"] = int(r.record.best);
    j["feasible"] = r.record.best < infeasibleFit;
    j["capped"] = r.record.best == maxFeasibleFit;
  }
  j["history"] = r.history;
  j["launch_of_best"] = launchOfBest(r.history, feasibleBelow);
  j["seconds_to_best"] = r.record.sec;
  j["seconds"] = r.record.totSec;
  static const char* const stopWords[] = {"generations", "time", "target"};
  j["stop"] = stopWords[r.stop];
  // A run ends when it meets its target, so only a run that "target" ended
  // has met it.
  if (r.stop == stopTarget)
    j["seconds_to_target"] = r.secondsToTarget;
  else
    j["seconds_to_target"] = nullptr;
  j["end_mutation"] = jsonFloat(r.record.endMut);
  j["backend"] = r.backend ? r.backend : "";
  j["settings"] = nlohmann::ordered_json::parse(gaSettingsJson(spec.settings));
  if (spec.stop.timeLimit > 0)
    j["time_limit"] = spec.stop.timeLimit;
  else
    j["time_limit"] = nullptr;
  // An energy is a whole number: a whole target is written as one.
  if (spec.stop.target >= 0 && spec.stop.target == std::floor(spec.stop.target))
    j["target"] = (long long)spec.stop.target;
  else if (spec.stop.target >= 0)
    j["target"] = spec.stop.target;
  else
    j["target"] = nullptr;
  if (r.hasTopology) {
    std::vector<std::pair<int, int>> links = r.topology;
    std::sort(links.begin(), links.end());
    j["topology"] = nlohmann::json::array();
    for (const std::pair<int, int>& l : links) j["topology"].push_back({l.first, l.second});
  } else {
    j["topology"] = nullptr;
  }
  // The record describes the design's GA (its elite, crossover and
  // tournament are the design's constants), so a run with other settings has
  // none.
  if (isDesign(spec.settings) && !r.wide)
    j["record"] = runRecordText(r.record);
  else
    j["record"] = nullptr;
  // Replace, not throw, on bytes that are not UTF-8 (a path may hold any).
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
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

bool offerResult(OrderedOutput* out, size_t position, std::string line, std::string record,
                 std::string* error) {
  if (out->failed) return false;
  out->waiting.emplace(position, std::make_pair(std::move(line), std::move(record)));
  for (auto it = out->waiting.begin(); it != out->waiting.end() && it->first == out->next;
       it = out->waiting.erase(it), ++out->next) {
    const std::string& text = it->second.second;
    std::string reason;
    long long at = -1;
    if (!out->recordPath.empty() && !text.empty() &&
        !appendWhole(out->recordPath.c_str(), text, &reason, nullptr, &at)) {
      *error = "cannot append to record file " + out->recordPath + ": " + reason +
               "\nthe record of the run that was not appended follows:\n" + text;
      out->failed = true;
      return false;
    }
    if (!writeWholeAtEnd(out->resultsFd, it->second.first, &reason)) {
      if (!out->recordPath.empty() && !text.empty())
        takeBackAppend(out->recordPath.c_str(), at, text.size());
      *error = "cannot write results file " + out->resultsPath + ": " + reason +
               "\nthe record of the run that was not written follows:\n" + text;
      out->failed = true;
      return false;
    }
  }
  return true;
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
