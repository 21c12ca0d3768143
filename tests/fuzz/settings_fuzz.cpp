// Fuzz target of the GA settings parsers: the input's first line is a --set
// option (name=v1,v2,...), the rest are name=value words separated by blanks,
// applied in order as a runs-file line applies them. A refused word must say
// why and change nothing; accepted settings written as text must read back as
// the same settings; every value of an accepted --set must parse on its own.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "batch/runs.h"
#include "problem/settings.h"

namespace {

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "settings_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t newline = text.find('\n');
  const std::string option = text.substr(0, newline);
  std::string error;
  GridSetting setting;
  if (parseGridSetting(option, &setting, &error)) {
    require(!setting.values.empty(), "a --set without values accepted");
    for (const std::string& value : setting.values) {
      RunLine run;
      require(parseRunWord(setting.name + "=" + value, &run, &error), "a --set value refused");
    }
  } else {
    require(!error.empty(), "a --set refused without a reason");
  }
  if (newline == std::string::npos) return 0;

  GaRequest r;
  std::string word;
  for (size_t i = newline + 1; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    if (c != ' ' && c != '\t' && c != '\n') {
      word += c;
      continue;
    }
    if (word.empty()) continue;
    const std::string before = gaRequestText(r);
    error.clear();
    if (!parseGaSetting(word, &r, &error)) {
      require(!error.empty(), "a word refused without a reason");
      require(gaRequestText(r) == before, "a refused word changed the settings");
    }
    word.clear();
  }
  // The request as text reads back as the same request, word by word, and
  // resolves to the same settings; so do the resolved settings' own words.
  const std::string all = gaRequestText(r);
  GaRequest again;
  size_t p = 0;
  while (p < all.size()) {
    size_t end = all.find(' ', p);
    if (end == std::string::npos) end = all.size();
    require(parseGaSetting(all.substr(p, end - p), &again, &error), "settings text refused");
    p = end + 1;
  }
  require(gaRequestText(again) == all, "settings text read back differently");
  for (bool wide : {false, true}) {
    const GaSettings s = resolveGaSettings(r, wide ? 300 : 45, false, wide);
    const std::string words = gaSettingsText(s, false);
    GaRequest spelled;
    spelled.profile = gaProfileDesign;
    for (size_t q = 0; q < words.size();) {
      size_t end = words.find(' ', q);
      if (end == std::string::npos) end = words.size();
      require(parseGaSetting(words.substr(q, end - q), &spelled, &error), "resolved text refused");
      q = end + 1;
    }
    require(
        gaSettingsText(resolveGaSettings(spelled, wide ? 300 : 45, false, wide), false) == words,
        "resolved settings read back differently");
  }
  return 0;
}
