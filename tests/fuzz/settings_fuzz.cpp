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
      GaSettings s = designGaSettings();
      require(parseGaSetting(setting.name + "=" + value, &s, &error), "a --set value refused");
    }
  } else {
    require(!error.empty(), "a --set refused without a reason");
  }
  if (newline == std::string::npos) return 0;

  GaSettings s = designGaSettings();
  std::string word;
  for (size_t i = newline + 1; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    if (c != ' ' && c != '\t' && c != '\n') {
      word += c;
      continue;
    }
    if (word.empty()) continue;
    const std::string before = gaSettingsText(s, false);
    error.clear();
    if (!parseGaSetting(word, &s, &error)) {
      require(!error.empty(), "a word refused without a reason");
      require(gaSettingsText(s, false) == before, "a refused word changed the settings");
    }
    word.clear();
  }
  // The settings as text read back as the same settings, word by word.
  const std::string all = gaSettingsText(s, false);
  GaSettings again = designGaSettings();
  size_t p = 0;
  while (p < all.size()) {
    size_t end = all.find(' ', p);
    if (end == std::string::npos) end = all.size();
    require(parseGaSetting(all.substr(p, end - p), &again, &error), "settings text refused");
    p = end + 1;
  }
  require(gaSettingsText(again, false) == all, "settings text read back differently");
  require(isDesign(again) == isDesign(s), "design settings read back differently");
  return 0;
}
