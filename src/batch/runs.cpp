#include "batch/runs.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// The fields of one line, up to a field that starts with '#'.
std::vector<std::string> lineFields(const std::string& text, size_t begin, size_t end) {
  std::vector<std::string> fields;
  size_t p = begin;
  while (p < end) {
    while (p < end && isBlank(text[p])) ++p;
    if (p == end || text[p] == '#') break;
    const size_t start = p;
    while (p < end && !isBlank(text[p])) ++p;
    fields.emplace_back(text, start, p - start);
  }
  return fields;
}

// smetp's conversions of its arguments.
int argInt(const std::string& s) { return int(std::strtol(s.c_str(), nullptr, 10)); }
float argFloat(const std::string& s) { return float(std::strtod(s.c_str(), nullptr)); }

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

}  // namespace

bool parseRunsText(const std::string& text, std::vector<RunLine>* runs,
                   std::vector<RunsError>* errors) {
  runs->clear();
  errors->clear();
  long line = 0;
  for (size_t begin = 0; begin < text.size();) {
    ++line;
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::vector<std::string> fields = lineFields(text, begin, end);
    const size_t nul = text.find('\0', begin);
    if (nul < end) {
      errors->push_back({line, "the line holds a NUL byte"});
    } else if (fields.size() == 5) {
      runs->push_back({fields[0], argInt(fields[1]), argInt(fields[2]), argInt(fields[3]),
                       argFloat(fields[4]), line});
    } else if (!fields.empty()) {
      errors->push_back({line, std::to_string(fields.size()) +
                                   (fields.size() == 1 ? " field" : " fields") +
                                   "; a run line has 5: graphfile seed generations hardness "
                                   "density"});
    }
    begin = end + 1;
  }
  return errors->empty();
}

std::string parseRunsTextOrError(const std::string& text, std::vector<RunLine>* runs) {
  std::vector<RunsError> errors;
  if (parseRunsText(text, runs, &errors)) return "";
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
      *error = "\"" + text + "\": expected a number at character " + std::to_string(p + 1);
      return false;
    }
    last = first;
    if (p < text.size() && text[p] == '-') {
      ++p;
      if (!readListInt(text, &p, &last)) {
        *error =
            "\"" + text + "\": expected the end of the range at character " + std::to_string(p + 1);
        return false;
      }
      if (last < first) {
        *error = "\"" + text + "\": the range " + text.substr(itemStart, p - itemStart) +
                 " ends below its start";
        return false;
      }
    }
    if (long(last) - long(first) + 1 + long(values->size()) > long(maxGridRuns)) {
      *error = "\"" + text + "\": more than " + std::to_string(int(maxGridRuns)) + " values";
      return false;
    }
    for (long v = first; v <= last; ++v) values->push_back(int(v));
    if (p == text.size()) return true;
    if (text[p] != ',') {
      *error = "\"" + text + "\": unexpected '" + std::string(1, text[p]) + "' at character " +
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
    const double v = std::strtod(item.c_str(), &stop);
    if (item.empty() || std::isspace((unsigned char)item[0]) ||
        stop != item.c_str() + item.size()) {
      *error = "\"" + text + "\": \"" + item + "\" is not a number";
      return false;
    }
    values->push_back(float(v));
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
    *error = "\"" + text + "\": expected K/N, two whole numbers";
    return false;
  }
  if (*n < 1 || *k >= *n) {
    *error = "\"" + text + "\": K/N needs 0 <= K < N";
    return false;
  }
  return true;
}

bool expandGrid(const std::vector<std::string>& instances, const std::vector<int>& seeds,
                int maxGen, const std::vector<int>& hardness, const std::vector<float>& densities,
                std::vector<RunLine>* runs, std::string* error) {
  runs->clear();
  double count = double(instances.size()) * double(seeds.size()) * double(hardness.size()) *
                 double(densities.size());
  if (count > double(maxGridRuns)) {
    *error = "the grid has " + std::to_string((long long)count) + " runs, more than " +
             std::to_string(int(maxGridRuns));
    return false;
  }
  runs->reserve(size_t(count));
  for (const std::string& path : instances)
    for (int h : hardness)
      for (float d : densities)
        for (int s : seeds) runs->push_back({path, s, maxGen, h, d, 0});
  return true;
}

std::string shortestFloatText(float value) {
  char text[64];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
  return std::string(text, r.ptr);
}

std::string canonicalRunsText(const std::vector<RunLine>& runs) {
  std::string text;
  for (const RunLine& r : runs)
    text += r.path + " " + std::to_string(r.seed) + " " + std::to_string(r.maxGen) + " " +
            std::to_string(r.objHard) + " " + shortestFloatText(r.graphDens) + "\n";
  return text;
}
