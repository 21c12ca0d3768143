// Replays inputs through a fuzz target without the fuzzer: every file named,
// and every file in every folder named (dot files skipped). A folder that does
// not exist holds nothing. Exit status 0 when every input went through; a
// fault ends the process as it would end the fuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void replayFile(const std::string& path, int* count) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  ++*count;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      replayFile(argv[i], &count);
      continue;
    }
    std::vector<std::string> names;
    if (DIR* d = opendir(argv[i])) {
      while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) replayFile(std::string(argv[i]) + "/" + name, &count);
  }
  std::printf("%d inputs replayed\n", count);
  return count > 0 ? 0 : 1;
}
