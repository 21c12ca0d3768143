#include "problem/settings.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Kind { kindInt, kindFloat, kindDouble, kindWord };

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
};
enum { settingCount = sizeof settingInfo / sizeof settingInfo[0] };

// The record's field of setting k, as a pointer of the right type.
void* fieldOf(GaSettings& s, int k) {
  void* const fields[settingCount] = {
      &s.elite,  &s.tournament, &s.crossover, &s.mutation,     &s.mutationStep, &s.mutationPatience,
      &s.repair, &s.init,       &s.memetic,   &s.memeticEvery, &s.memeticCount};
  return fields[k];
}
const void* fieldOf(const GaSettings& s, int k) { return fieldOf(const_cast<GaSettings&>(s), k); }

// The shortest decimal text that reads back as the same value.
std::string shortestFloat(float v) {
  char buf[64];
  for (int digits = 1; digits <= 9; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, double(v));
    if (std::strtof(buf, nullptr) == v) break;
  }
  return buf;
}
std::string shortestDouble(double v) {
  char buf[64];
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

std::string valueText(const GaSettings& s, int k) {
  const SettingInfo& info = settingInfo[k];
  const void* f = fieldOf(s, k);
  switch (info.kind) {
    case kindInt:
      return std::to_string(*static_cast<const int*>(f));
    case kindFloat:
      return shortestFloat(*static_cast<const float*>(f));
    case kindDouble:
      return shortestDouble(*static_cast<const double*>(f));
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
  if (info.kind == kindInt)  // plain integers: "from 1 to 50", never "5e+01"
    return "from " + std::to_string((long long)info.lo) + " to " +
           std::to_string((long long)info.hi);
  return "from " + shortestDouble(info.lo) + " to " + shortestDouble(info.hi);
}

std::string linksText(int links) { return links == linksAll ? "all" : std::to_string(links); }

}  // namespace

GaSettings solveGaSettings() {
  GaSettings s = designGaSettings();
  s.memetic = gaMemeticLs;
  s.memeticEvery = 20;
  s.kick = 3;
  return s;
}

GaSettings wideRunSettings() {
  GaSettings s = solveGaSettings();
  s.init = gaInitMst;
  // Beyond 45 nodes a search costs far more than a generation: fewer slots
  // searched more often, and a wider kick, beat the solve profile at equal
  // time on 200 to 1,000 nodes.
  s.memeticCount = 8;
  s.memeticEvery = 5;
  s.kick = 6;
  return s;
}

bool isDesign(const GaSettings& s) {
  if (s.links != 0 || s.kick != 0) return false;
  const GaSettings d = designGaSettings();
  for (int k = 0; k < settingCount; ++k)
    if (!sameValue(s, d, k)) return false;
  return true;
}

bool parseGaSetting(const std::string& word, GaSettings* s, std::string* error) {
  const size_t eq = word.find('=');
  if (eq == std::string::npos || eq == 0) {
    *error = "'" + word + "' is not a setting (name=value)";
    return false;
  }
  const std::string name = word.substr(0, eq), value = word.substr(eq + 1);
  if (name == "profile") {
    if (value != "solve") {
      *error = "'" + word + "': the only profile is solve";
      return false;
    }
    *s = solveGaSettings();
    return true;
  }
  if (name == "links") {
    char* end = nullptr;
    errno = 0;
    const long k = std::strtol(value.c_str(), &end, 10);
    if (value == "all") {
      s->links = linksAll;
    } else if (!value.empty() && std::isdigit((unsigned char)value[0]) && *end == '\0' &&
               errno == 0 && k >= 1 && k <= 1999) {
      s->links = int(k);
    } else {
      *error = "'" + word + "': links must be from 1 to 1999 or all";
      return false;
    }
    return true;
  }
  if (name == "kick") {
    char* end = nullptr;
    errno = 0;
    const long k = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || !std::isdigit((unsigned char)value[0]) || *end != '\0' || errno != 0 ||
        k < 0 || k > kickMax) {
      *error = "'" + word + "': kick must be from 0 to " + std::to_string(kickMax);
      return false;
    }
    s->kick = int(k);
    return true;
  }
  int k = 0;
  while (k < settingCount && name != settingInfo[k].name) ++k;
  if (k == settingCount) {
    *error = "'" + word + "': unknown setting '" + name + "' (settings: " + gaSettingNames() +
             "; or profile=solve)";
    return false;
  }
  const SettingInfo& info = settingInfo[k];
  const std::string bad = "'" + word + "': " + name + " must be " + rangeText(info);
  if (info.kind == kindWord) {
    for (int i = 0; i < info.wordCount; ++i)
      if (value == info.words[i]) {
        *static_cast<int*>(fieldOf(*s, k)) = i;
        return true;
      }
    *error = bad;
    return false;
  }
  // A number: the whole value, no blanks, finite and within the range.
  const char* text = value.c_str();
  char* end = nullptr;
  errno = 0;
  const double v = info.kind == kindInt     ? double(std::strtol(text, &end, 10))
                   : info.kind == kindFloat ? double(std::strtof(text, &end))
                                            : std::strtod(text, &end);
  // ERANGE counts only for an overflow: a value too small for a float (1e-38)
  // reads as a subnormal or 0, which is within every range.
  const bool overflow = errno == ERANGE && std::isinf(v);
  if (value.empty() || *end != '\0' || overflow || (info.kind == kindInt && errno == ERANGE) ||
      value.find_first_of(" \t") != std::string::npos || !(v >= info.lo && v <= info.hi)) {
    *error = bad;
    return false;
  }
  void* f = fieldOf(*s, k);
  if (info.kind == kindInt)
    *static_cast<int*>(f) = int(v);
  else if (info.kind == kindFloat)
    *static_cast<float*>(f) = float(v);
  else
    *static_cast<double*>(f) = v;
  return true;
}

std::string gaSettingsText(const GaSettings& s, bool onlyChanged) {
  const GaSettings d = designGaSettings();
  std::string t;
  for (int k = 0; k < settingCount; ++k) {
    if (onlyChanged && sameValue(s, d, k)) continue;
    if (!t.empty()) t += ' ';
    t += std::string(settingInfo[k].name) + "=" + valueText(s, k);
  }
  if (s.links != 0) t += std::string(t.empty() ? "" : " ") + "links=" + linksText(s.links);
  // kick, like links, only when set, so that the texts of runs without it
  // stay as they were.
  if (s.kick != 0) t += std::string(t.empty() ? "" : " ") + "kick=" + std::to_string(s.kick);
  return t;
}

std::string gaSettingsJson(const GaSettings& s) {
  std::string t = "{";
  for (int k = 0; k < settingCount; ++k) {
    if (k) t += ',';
    t += "\"" + std::string(settingInfo[k].name) + "\":";
    const bool word = settingInfo[k].kind == kindWord;
    t += word ? "\"" + valueText(s, k) + "\"" : valueText(s, k);
  }
  if (s.links == linksAll) t += ",\"links\":\"all\"";
  if (s.links > 0) t += ",\"links\":" + std::to_string(s.links);
  if (s.kick != 0) t += ",\"kick\":" + std::to_string(s.kick);
  return t + "}";
}

const char* gaSettingNames() {
  return "elite tournament crossover mutation mutation_step mutation_patience repair init "
         "memetic memetic_every memetic_count links kick";
}
