#include "batch/runs.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// The fields of one line, up to a field that starts with '#'.
std::vector<std::string> lineFields(const char* text, size_t size) {
  std::vector<std::string> fields;
  size_t p = 0;
  while (p < size) {
    while (p < size && isBlank(text[p])) ++p;
    if (p == size || text[p] == '#') break;
    const size_t start = p;
    while (p < size && !isBlank(text[p])) ++p;
    fields.emplace_back(text + start, p - start);
  }
  return fields;
}

// A whole integer: an optional sign and decimal digits, nothing else, within
// int. A field like "5OOO" or "1e3" is an error rather than the number its
// first digits make.
bool wholeInt(const std::string& s, int* value) {
  size_t p = 0;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) p = 1;
  if (p == s.size()) return false;
  for (size_t q = p; q < s.size(); ++q)
    if (s[q] < '0' || s[q] > '9') return false;
  errno = 0;
  const long v = std::strtol(s.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *value = int(v);
  return true;
}

// A whole decimal number from 0 to 1: a density is a probability, so nan,
// infinities, overflows and values outside [0, 1] are refused (they would all
// run as 0 or 1 while their results differ).
bool wholeDensity(const std::string& s, float* value) {
  if (s.empty() || std::isspace((unsigned char)s[0])) return false;
  char* stop = nullptr;
  const double v = std::strtod(s.c_str(), &stop);
  if (stop != s.c_str() + s.size() || !(v >= 0.0 && v <= 1.0)) return false;
  *value = float(v);
  return true;
}

// A whole optional sign and digits from text[*p], within int; advances *p.
bool readListInt(const std::string& text, size_t* p, int* value) {
  size_t q = *p;
  if (q < text.size() && (text[q] == '-' || text[q] == '+')) ++q;
  const size_t digits = q;
  while (q < text.size() && text[q] >= '0' && text[q] <= '9') ++q;
  if (q == digits) return false;
  errno = 0;
  const long v = std::strtol(text.c_str() + *p, nullptr, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *value = int(v);
  *p = q;
  return true;
}

// A whole decimal number within [lo, hi], as strtod reads it.
bool wholeNumber(const std::string& text, double lo, double hi, double* value) {
  // Decimal text only: strtod would also take hexadecimal (0x10), inf and nan.
  if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || errno == ERANGE || !std::isfinite(v) || v < lo || v > hi) return false;
  *value = v;
  return true;
}

// The reason a run cannot be made as it stands: no limit on its generations
// and no time limit to end it; "" when it can.
std::string unboundedReason(const RunLine& run) {
  if (!run.stop.noGenerationLimit || run.stop.timeLimit > 0) return "";
  return "generations \"-\" (no limit) needs a time limit: time_limit=S or --time-limit S";
}

}  // namespace

bool parseRunWord(const std::string& word, RunLine* run, std::string* error) {
  const size_t eq = word.find('=');
  const std::string name = eq == std::string::npos ? "" : word.substr(0, eq);
  double v = 0;
  if (name == "time_limit") {
    // Up to about 30 years: a limit, not a way to overflow the clock.
    if (!wholeNumber(word.substr(eq + 1), 0, 1e9, &v) || v <= 0) {
      *error = "'" + word + "': time_limit must be a number of seconds above 0, at most 1e9";
      return false;
    }
    run->stop.timeLimit = v;
    return true;
  }
  if (name == "target") {
    if (!wholeNumber(word.substr(eq + 1), 0, 1e18, &v)) {
      *error = "'" + word + "': target must be an energy from 0 to 1e18";
      return false;
    }
    run->stop.target = v;
    return true;
  }
  return parseGaSetting(word, &run->ga, error);
}

std::string runStopText(const RunStop& stop) {
  std::string t;
  if (stop.timeLimit > 0) t += "time_limit=" + shortestText(stop.timeLimit);
  if (stop.target >= 0) t += (t.empty() ? "" : " ") + ("target=" + shortestText(stop.target));
  return t;
}

namespace {

// Waits until the reader's file has bytes to read (at once for a regular
// file), looking at the stop flag several times a second, so that a pipe
// whose writer stalls does not outlast a stop. False (errno EINTR) once the
// flag is set.
bool waitReadable(LineReader* r) {
  for (;;) {
    if (r->stop->load()) {
      errno = EINTR;
      return false;
    }
    struct pollfd p = {r->fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready != 0 && !(ready < 0 && errno == EINTR)) return true;
  }
}

}  // namespace

void startLineReader(LineReader* r, int fd, size_t maxLine) {
  r->fd = fd;
  r->maxLine = maxLine;
  r->buffer.assign(1 << 16, '\0');
  r->begin = r->end = 0;
  r->eof = false;
  r->offset = 0;
}

int readLine(LineReader* r, std::string* line, long long* at, bool* broken) {
  line->clear();
  *at = r->offset;
  *broken = false;
  bool kept = true;  // the line still fits in maxLine + 1 bytes
  for (;;) {
    if (r->begin == r->end) {
      if (r->eof) {
        if (line->empty() && r->offset == *at) return 0;
        *broken = true;
        return 1;
      }
      if (r->stop && !waitReadable(r)) return -1;
      ssize_t n;
      do n = ::read(r->fd, r->buffer.data(), r->buffer.size());
      while (n < 0 && errno == EINTR && !(r->stop && r->stop->load()));
      if (n < 0) return -1;
      if (n == 0) r->eof = true;
      if (n > 0 && r->onBytes) r->onBytes(r->buffer.data(), size_t(n));
      r->begin = 0;
      r->end = size_t(n);
      continue;
    }
    const char* start = r->buffer.data() + r->begin;
    const size_t size = r->end - r->begin;
    const char* newline = static_cast<const char*>(std::memchr(start, '\n', size));
    const size_t take = newline ? size_t(newline - start) : size;
    if (kept) {
      const size_t room = r->maxLine + 1 - line->size();
      line->append(start, take < room ? take : room);
      kept = line->size() <= r->maxLine;
      if (!kept && r->endAtLongLine) {
        // The rest of the line is never read: a source without line breaks
        // (a device of zeros) is read no further than this.
        r->begin = r->end;
        r->eof = true;
        *broken = true;
        return 1;
      }
    }
    r->begin += take + (newline ? 1 : 0);
    r->offset += (long long)(take + (newline ? 1 : 0));
    if (newline) return 1;
  }
}

RunLineKind parseRunLine(const char* text, size_t size, long line, RunLine* run,
                         std::string* reason, const RunStop& defaults, int profile) {
  if (size > size_t(maxRunsLineBytes)) {
    *reason = "the line is longer than " + std::to_string(int(maxRunsLineBytes)) + " bytes";
    return lineBad;
  }
  if (std::memchr(text, '\0', size)) {
    *reason = "the line holds a NUL byte";
    return lineBad;
  }
  const std::vector<std::string> fields = lineFields(text, size);
  if (fields.empty()) return lineEmpty;
  const auto isSetting = [](const std::string& f) { return f.find('=') != std::string::npos; };
  size_t plain = 0;
  while (plain < fields.size() && (plain < 5 || !isSetting(fields[plain]))) ++plain;
  if (plain != 5) {
    *reason = std::to_string(plain) + (plain == 1 ? " field" : " fields") +
              "; a run line has 5: graphfile seed generations hardness density (then GA "
              "settings as name=value)";
    return lineBad;
  }
  RunFields f;
  f.noGenerationLimit = fields[2] == "-";
  const char* const names[] = {"seed", "generations", "hardness"};
  int* const ints[] = {&f.seed, &f.maxGen, &f.objHard};
  for (int k = 0; k < 3; ++k) {
    if (k == 1 && f.noGenerationLimit) continue;
    if (!wholeInt(fields[size_t(k) + 1], ints[k])) {
      *reason = std::string(names[k]) + " " + shortQuote(fields[size_t(k) + 1]) +
                " is not a whole number (an optional sign and digits, within 32-bit integers)";
      return lineBad;
    }
  }
  float density = 0;
  if (!wholeDensity(fields[4], &density)) {
    *reason = "density " + shortQuote(fields[4]) + " is not a number from 0 to 1";
    return lineBad;
  }
  f.density = density;
  f.words.assign(fields.begin() + 5, fields.end());
  return runLineOf(fields[0], f, line, defaults, profile, run, reason) ? lineRun : lineBad;
}

bool runLineOf(const std::string& path, const RunFields& f, long line, const RunStop& defaults,
               int profile, RunLine* run, std::string* reason) {
  if (!(f.density >= 0 && f.density <= 1)) {
    *reason = "density " + shortQuote(shortestText(f.density)) + " is not a number from 0 to 1";
    return false;
  }
  // The float that the density's shortest text reads as, as a runs file's
  // density is read.
  *run = {path,
          f.seed,
          f.noGenerationLimit ? 0 : f.maxGen,
          f.objHard,
          std::strtof(shortestText(f.density).c_str(), nullptr),
          line};
  run->stop = defaults;
  run->ga.profile = profile;
  run->stop.noGenerationLimit = f.noGenerationLimit;
  return applyRunWords(f.words, run, reason);
}

bool applyRunWords(const std::vector<std::string>& words, RunLine* run, std::string* reason) {
  for (size_t k = 0; k < words.size(); ++k) {
    if (words[k].size() > 200) {
      *reason = "a setting " + shortQuote(words[k]) + " longer than 200 bytes";
      return false;
    }
    const std::string name = words[k].substr(0, words[k].find('='));
    for (size_t e = 0; e < k; ++e)
      if (words[e].substr(0, words[e].find('=')) == name) {
        *reason = "the setting " + shortQuote(name) + " is given twice";
        return false;
      }
    if (!parseRunWord(words[k], run, reason)) return false;
  }
  *reason = gaRequestProblem(run->ga);
  if (!reason->empty()) return false;
  *reason = unboundedReason(*run);
  return reason->empty();
}

bool parseRunsText(const std::string& text, std::vector<RunLine>* runs,
                   std::vector<RunsError>* errors, const RunStop& defaults) {
  runs->clear();
  errors->clear();
  long line = 0;
  RunLine run;
  std::string reason;
  for (size_t begin = 0; begin < text.size();) {
    ++line;
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    switch (parseRunLine(text.data() + begin, end - begin, line, &run, &reason, defaults)) {
      case lineRun:
        runs->push_back(std::move(run));
        break;
      case lineBad:
        errors->push_back({line, reason});
        break;
      case lineEmpty:
        break;
    }
    begin = end + 1;
  }
  return errors->empty();
}

std::string parseRunsTextOrError(const std::string& text, std::vector<RunLine>* runs,
                                 const RunStop& defaults) {
  std::vector<RunsError> errors;
  if (parseRunsText(text, runs, &errors, defaults)) return "";
  std::string out;
  for (const RunsError& e : errors) out += std::to_string(e.line) + ": " + e.reason + "\n";
  return out;
}

bool parseIntList(const std::string& text, std::vector<int>* values, std::string* error) {
  values->clear();
  size_t p = 0;
  for (;;) {
    const size_t itemStart = p;
    int first = 0, last = 0;
    if (!readListInt(text, &p, &first)) {
      *error = shortQuote(text) + ": expected a number at character " + std::to_string(p + 1);
      return false;
    }
    last = first;
    if (p < text.size() && text[p] == '-') {
      ++p;
      if (!readListInt(text, &p, &last)) {
        *error = shortQuote(text) + ": expected the end of the range at character " +
                 std::to_string(p + 1);
        return false;
      }
      if (last < first) {
        *error = shortQuote(text) + ": the range " + text.substr(itemStart, p - itemStart) +
                 " ends below its start";
        return false;
      }
    }
    if (long(last) - long(first) + 1 + long(values->size()) > long(maxGridRuns)) {
      *error = shortQuote(text) + ": more than " + std::to_string(int(maxGridRuns)) + " values";
      return false;
    }
    for (long v = first; v <= last; ++v) values->push_back(int(v));
    if (p == text.size()) return true;
    if (text[p] != ',') {
      *error = shortQuote(text) + ": unexpected '" + std::string(1, text[p]) + "' at character " +
               std::to_string(p + 1);
      return false;
    }
    ++p;
  }
}

bool parseFloatList(const std::string& text, std::vector<float>* values, std::string* error) {
  values->clear();
  size_t p = 0;
  for (;;) {
    size_t end = text.find(',', p);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(p, end - p);
    // strtod skips leading blanks and stops early; an item must be one number.
    char* stop = nullptr;
    (void)std::strtod(item.c_str(), &stop);
    if (item.empty() || std::isspace((unsigned char)item[0]) ||
        stop != item.c_str() + item.size()) {
      *error = shortQuote(text) + ": " + shortQuote(item) + " is not a number";
      return false;
    }
    float density = 0.0f;
    if (!wholeDensity(item, &density)) {
      *error = shortQuote(text) + ": " + shortQuote(item) + " is not a density from 0 to 1";
      return false;
    }
    values->push_back(density);
    if (end == text.size()) return true;
    p = end + 1;
  }
}

bool parseShard(const std::string& text, long* k, long* n, std::string* error) {
  const size_t slash = text.find('/');
  const auto whole = [](const std::string& s, long* v) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
      if (c < '0' || c > '9') return false;
    *v = std::strtol(s.c_str(), nullptr, 10);
    return true;
  };
  if (slash == std::string::npos || !whole(text.substr(0, slash), k) ||
      !whole(text.substr(slash + 1), n)) {
    *error = shortQuote(text) + ": expected K/N, two whole numbers";
    return false;
  }
  if (*n < 1 || *k >= *n) {
    *error = shortQuote(text) + ": K/N needs 0 <= K < N";
    return false;
  }
  return true;
}

bool parseGridSetting(const std::string& text, GridSetting* setting, std::string* error) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) {
    *error = shortQuote(text) + ": expected name=value,value,...";
    return false;
  }
  setting->name = text.substr(0, eq);
  setting->values.clear();
  for (size_t p = eq + 1;;) {
    size_t end = text.find(',', p);
    if (end == std::string::npos) end = text.size();
    setting->values.push_back(text.substr(p, end - p));
    RunLine check;
    if (!parseRunWord(setting->name + "=" + setting->values.back(), &check, error)) return false;
    if (setting->values.size() > size_t(maxGridRuns)) {
      *error = shortQuote(text) + ": more than " + std::to_string(int(maxGridRuns)) + " values";
      return false;
    }
    if (end == text.size()) return true;
    p = end + 1;
  }
}

long long gridSize(const Grid& grid) {
  std::vector<size_t> sizes = {grid.instances.size(), grid.seeds.size(), grid.hardness.size(),
                               grid.densities.size()};
  for (const GridSetting& s : grid.settings) sizes.push_back(s.values.size());
  long long count = 1;
  for (size_t n : sizes) {
    if (n == 0) return 0;
    // Saturates well above maxGridRuns; the lists are each at most that long.
    count = count > (1LL << 40) ? count : count * (long long)n;
  }
  return count;
}

std::string gridSettingsProblem(const Grid& grid) {
  long long combinations = 1;
  for (const GridSetting& s : grid.settings) combinations *= (long long)s.values.size();
  std::string unused;
  for (long long c = 0; c < combinations; ++c) {
    RunLine run;
    std::string words;
    for (long long k = (long long)grid.settings.size(), i = c; k-- > 0;) {
      const GridSetting& s = grid.settings[size_t(k)];
      const std::string word = s.name + "=" + s.values[size_t(i % (long long)s.values.size())];
      i /= (long long)s.values.size();
      parseRunWord(word, &run, &unused);
      words = word + (words.empty() ? "" : " ") + words;
    }
    const std::string problem = gaRequestProblem(run.ga);
    if (!problem.empty()) return "the runs with " + words + ": " + problem;
  }
  return "";
}

RunLine gridRun(const Grid& grid, long long i) {
  RunLine run;
  run.stop = grid.stop;
  run.ga.profile = grid.profile;
  // The value of each --set (the last varies fastest), then the words
  // applied in the order of the options, so that later ones override.
  std::vector<size_t> pick(grid.settings.size());
  for (size_t k = grid.settings.size(); k-- > 0;) {
    const long long n = (long long)grid.settings[k].values.size();
    pick[k] = size_t(i % n);
    i /= n;
  }
  std::string unused;
  for (size_t k = 0; k < grid.settings.size(); ++k)
    parseRunWord(grid.settings[k].name + "=" + grid.settings[k].values[pick[k]], &run, &unused);
  const long long seeds = (long long)grid.seeds.size(), dens = (long long)grid.densities.size(),
                  hard = (long long)grid.hardness.size();
  const int seed = grid.seeds[size_t(i % seeds)];
  i /= seeds;
  const float density = grid.densities[size_t(i % dens)];
  i /= dens;
  const int hardness = grid.hardness[size_t(i % hard)];
  i /= hard;
  run.path = grid.instances[size_t(i)];
  run.seed = seed;
  run.maxGen = grid.maxGen;
  run.objHard = hardness;
  run.graphDens = density;
  run.line = 0;
  return run;
}

bool expandGrid(const std::vector<std::string>& instances, const std::vector<int>& seeds,
                int maxGen, const std::vector<int>& hardness, const std::vector<float>& densities,
                std::vector<RunLine>* runs, std::string* error) {
  runs->clear();
  const Grid grid{instances, seeds, maxGen, hardness, densities, {}};
  const long long count = gridSize(grid);
  if (count > (long long)maxGridRuns) {
    *error = "the grid has " + std::to_string(count) + " runs, more than " +
             std::to_string(int(maxGridRuns));
    return false;
  }
  runs->reserve(size_t(count));
  for (long long i = 0; i < count; ++i) runs->push_back(gridRun(grid, i));
  return true;
}

std::string shortQuote(const std::string& text) {
  enum { shown = 60 };
  if (text.size() <= shown) return "\"" + text + "\"";
  return "\"" + text.substr(0, shown) + "...\"";
}

std::string canonicalRunLine(const RunLine& r) {
  const std::string settings = gaRequestText(r.ga), stop = runStopText(r.stop);
  return r.path + " " + std::to_string(r.seed) + " " +
         (r.stop.noGenerationLimit ? std::string("-") : std::to_string(r.maxGen)) + " " +
         std::to_string(r.objHard) + " " + shortestText(r.graphDens) +
         (settings.empty() ? "" : " " + settings) + (stop.empty() ? "" : " " + stop) + "\n";
}

std::string canonicalRunsText(const std::vector<RunLine>& runs) {
  std::string text;
  for (const RunLine& r : runs) text += canonicalRunLine(r);
  return text;
}
