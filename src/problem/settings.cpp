#include "problem/settings.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "problem/wide.h"

namespace {

enum Kind { kindInt, kindFloat, kindDouble, kindWord, kindLinks };

// One setting: its name, how its value reads and where it lives in the record.
struct SettingInfo {
  const char* name;
  Kind kind;
  double lo, hi;             // inclusive range of a number
  const char* const* words;  // kindWord: the values, index = the stored int
  int wordCount;
};

const char* const repairWords[] = {"off", "on"};
const char* const initWords[] = {"random", "mst"};
const char* const memeticWords[] = {"none", "prune", "ls"};

const SettingInfo settingInfo[] = {
    {"elite", kindInt, 0, 126, nullptr, 0},
    {"tournament", kindInt, 1, 128, nullptr, 0},
    {"crossover", kindFloat, 0, 1, nullptr, 0},
    {"mutation", kindFloat, 0, 1, nullptr, 0},
    {"mutation_step", kindDouble, 0, 1, nullptr, 0},
    {"mutation_patience", kindInt, 1, 1000000000, nullptr, 0},
    {"repair", kindWord, 0, 0, repairWords, 2},
    {"init", kindWord, 0, 0, initWords, 2},
    {"memetic", kindWord, 0, 0, memeticWords, 3},
    {"memetic_every", kindInt, 1, 50, nullptr, 0},
    {"memetic_count", kindInt, 1, 128, nullptr, 0},
    {"links", kindLinks, 1, wideMaxNodes - 1, nullptr, 0},
    {"kick", kindInt, 0, kickMax, nullptr, 0},
    {"islands", kindInt, 1, islandsMax, nullptr, 0},
    {"migrate_every", kindInt, 1, 1000000000, nullptr, 0},
    {"migrants", kindInt, 1, migrantsMax, nullptr, 0},
};
enum { settingLinks = 11 };
enum { settingCount = sizeof settingInfo / sizeof settingInfo[0] };

// The record's field of setting k, as a pointer of the right type.
void* fieldOf(GaSettings& s, int k) {
  void* const fields[settingCount] = {
      &s.elite,        &s.tournament,       &s.crossover,    &s.mutation,
      &s.mutationStep, &s.mutationPatience, &s.repair,       &s.init,
      &s.memetic,      &s.memeticEvery,     &s.memeticCount, &s.links,
      &s.kick,         &s.islands,          &s.migrateEvery, &s.migrants};
  return fields[k];
}
const void* fieldOf(const GaSettings& s, int k) { return fieldOf(const_cast<GaSettings&>(s), k); }

std::string valueText(const GaSettings& s, int k) {
  const SettingInfo& info = settingInfo[k];
  const void* f = fieldOf(s, k);
  switch (info.kind) {
    case kindInt:
      return std::to_string(*static_cast<const int*>(f));
    case kindFloat:
      return shortestText(*static_cast<const float*>(f));
    case kindDouble:
      return shortestText(*static_cast<const double*>(f));
    case kindLinks:
      return *static_cast<const int*>(f) == linksAll ? "all"
                                                     : std::to_string(*static_cast<const int*>(f));
    case kindWord:
      break;
  }
  const int i = *static_cast<const int*>(f);
  return i >= 0 && i < info.wordCount ? info.words[i] : std::to_string(i);
}

bool sameValue(const GaSettings& a, const GaSettings& b, int k) {
  switch (settingInfo[k].kind) {
    case kindFloat:
      return *static_cast<const float*>(fieldOf(a, k)) == *static_cast<const float*>(fieldOf(b, k));
    case kindDouble:
      return *static_cast<const double*>(fieldOf(a, k)) ==
             *static_cast<const double*>(fieldOf(b, k));
    default:
      return *static_cast<const int*>(fieldOf(a, k)) == *static_cast<const int*>(fieldOf(b, k));
  }
}

std::string rangeText(const SettingInfo& info) {
  if (info.kind == kindWord) {
    std::string t;
    for (int i = 0; i < info.wordCount; ++i) {
      if (i) t += i + 1 == info.wordCount ? " or " : ", ";
      t += info.words[i];
    }
    return t;
  }
  if (info.kind == kindLinks) return "from 1 to " + std::to_string((long long)info.hi) + " or all";
  if (info.kind == kindInt)  // plain integers: "from 1 to 50", never "5e+01"
    return "from " + std::to_string((long long)info.lo) + " to " +
           std::to_string((long long)info.hi);
  return "from " + shortestText(info.lo) + " to " + shortestText(info.hi);
}

// Decimal text of a number: digits, a sign, a point and an exponent only, so
// that the C library's hexadecimal, infinity and nan forms are refused.
bool decimalText(const std::string& v) {
  return !v.empty() && v.find_first_not_of("0123456789+-.eE") == std::string::npos;
}

const char* const profileWords[] = {"solve", "design"};

}  // namespace

GaSettings profileGaSettings(int profile) {
  GaSettings s = designGaSettings();
  if (profile == gaProfileDesign) return s;
  // The design's GA started from the minimum spanning tree, with the memetic
  // local search on the best 8 every 5 generations and a kick of 6 links:
  // at 45 nodes as fast to the optimum as a search on 24 every 20
  // generations, and far better beyond (a random start at any density is
  // far from connected there, and a search costs far more than a generation).
  s.init = gaInitMst;
  s.memetic = gaMemeticLs;
  s.memeticCount = 8;
  s.memeticEvery = 5;
  s.kick = 6;
  return s;
}

bool isDesign(const GaSettings& s) {
  const GaSettings d = designGaSettings();
  for (int k = 0; k < settingCount; ++k)
    if (!sameValue(s, d, k)) return false;
  return true;
}

bool parseGaSetting(const std::string& word, GaRequest* r, std::string* error) {
  const size_t eq = word.find('=');
  if (eq == std::string::npos || eq == 0) {
    *error = "'" + word + "' is not a setting (name=value)";
    return false;
  }
  const std::string name = word.substr(0, eq), value = word.substr(eq + 1);
  if (name == "profile") {
    for (int p = 0; p < 2; ++p)
      if (value == profileWords[p]) {
        r->profile = p;
        return true;
      }
    *error = "'" + word + "': profile must be solve or design";
    return false;
  }
  int k = 0;
  while (k < settingCount && name != settingInfo[k].name) ++k;
  if (k == settingCount) {
    *error = "'" + word + "': unknown setting '" + name + "' (settings: " + gaSettingNames() +
             "; or profile=solve|design)";
    return false;
  }
  const SettingInfo& info = settingInfo[k];
  const std::string bad = "'" + word + "': " + name + " must be " + rangeText(info);
  void* f = fieldOf(r->named, k);
  if (info.kind == kindLinks && value == "all") {
    *static_cast<int*>(f) = linksAll;
    r->namedMask |= 1u << k;
    return true;
  }
  if (info.kind == kindWord) {
    for (int i = 0; i < info.wordCount; ++i)
      if (value == info.words[i]) {
        *static_cast<int*>(f) = i;
        r->namedMask |= 1u << k;
        return true;
      }
    *error = bad;
    return false;
  }
  // A number: the whole value, decimal, finite and within the range;
  // integers are digits only.
  const bool integer = info.kind == kindInt || info.kind == kindLinks;
  const char* text = value.c_str();
  char* end = nullptr;
  errno = 0;
  const double v = integer                  ? double(std::strtol(text, &end, 10))
                   : info.kind == kindFloat ? double(std::strtof(text, &end))
                                            : std::strtod(text, &end);
  // ERANGE counts only for an overflow: a value too small for a float (1e-38)
  // reads as a subnormal or 0, which is within every range.
  const bool overflow = errno == ERANGE && std::isinf(v);
  if (!decimalText(value) || *end != '\0' || overflow || (integer && errno == ERANGE) ||
      (integer && value.find_first_of(".eE") != std::string::npos) ||
      !(v >= info.lo && v <= info.hi)) {
    *error = bad;
    return false;
  }
  if (integer)
    *static_cast<int*>(f) = int(v);
  else if (info.kind == kindFloat)
    *static_cast<float*>(f) = float(v);
  else
    *static_cast<double*>(f) = v;
  r->namedMask |= 1u << k;
  return true;
}

std::string gaRequestProblem(const GaRequest& r) {
  // The kick and the search as the run would have them, whatever its size.
  const GaSettings s = resolveGaSettings(r, 2, false, false);
  if (s.kick > 0 && s.memetic != gaMemeticLs)
    return "kick=" + std::to_string(s.kick) + " needs memetic=ls (the kick restarts its search)";
  return "";
}

std::string gaRequestText(const GaRequest& r) {
  std::string t = std::string("profile=") + profileWords[r.profile];
  for (int k = 0; k < settingCount; ++k)
    if (r.namedMask >> k & 1u)
      t += " " + std::string(settingInfo[k].name) + "=" + valueText(r.named, k);
  return t;
}

GaSettings resolveGaSettings(const GaRequest& r, int n, bool sparse, bool wide) {
  GaSettings s = profileGaSettings(r.profile);
  for (int k = 0; k < settingCount; ++k)
    if (r.namedMask >> k & 1u) {
      if (settingInfo[k].kind == kindFloat)
        *static_cast<float*>(fieldOf(s, k)) = *static_cast<const float*>(fieldOf(r.named, k));
      else if (settingInfo[k].kind == kindDouble)
        *static_cast<double*>(fieldOf(s, k)) = *static_cast<const double*>(fieldOf(r.named, k));
      else
        *static_cast<int*>(fieldOf(s, k)) = *static_cast<const int*>(fieldOf(r.named, k));
    }
  // The spanning-tree start, the memetic step and islands work on the wide
  // layout at every size.
  const bool wideSteps = s.init == gaInitMst || s.memetic != gaMemeticNone || s.islands > 1;
  if (s.links == 0 && (wide || wideSteps)) s.links = defaultCandidateLinks(n, sparse);
  return s;
}

bool namesSetting(const GaRequest& r, const char* name) {
  for (int k = 0; k < settingCount; ++k)
    if (std::strcmp(settingInfo[k].name, name) == 0) return (r.namedMask >> k & 1u) != 0;
  return false;
}

int requestedIslands(const GaRequest& r) { return resolveGaSettings(r, 2, false, false).islands; }

int defaultCandidateLinks(int n, bool sparse) {
  // Every link of a sparse file or of a small instance; each node's lightest
  // links (and a spanning tree's) of a larger complete instance.
  return sparse || n <= maxNodes ? int(linksAll) : int(wideDefaultLinks);
}

std::string gaSettingsText(const GaSettings& s, bool onlyChanged) {
  const GaSettings d = designGaSettings();
  std::string t;
  for (int k = 0; k < settingCount; ++k) {
    if ((onlyChanged && sameValue(s, d, k)) || (k == settingLinks && s.links == 0)) continue;
    if (!t.empty()) t += ' ';
    t += std::string(settingInfo[k].name) + "=" + valueText(s, k);
  }
  return t;
}

std::vector<GaSettingValue> gaSettingValues(const GaSettings& s) {
  std::vector<GaSettingValue> values;
  for (int k = 0; k < settingCount; ++k) {
    if (k == settingLinks && s.links == 0) continue;
    const bool word = settingInfo[k].kind == kindWord || (k == settingLinks && s.links == linksAll);
    values.push_back(GaSettingValue{settingInfo[k].name, valueText(s, k), word});
  }
  return values;
}

const char* gaProfileName(int profile) { return profileWords[profile]; }

std::string shortestText(float value) {
  char text[64];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
  return std::string(text, r.ptr);
}

std::string shortestText(double value) {
  char text[64];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
  return std::string(text, r.ptr);
}

const char* gaSettingNames() {
  return "elite tournament crossover mutation mutation_step mutation_patience repair init "
         "memetic memetic_every memetic_count links kick islands migrate_every migrants";
}
