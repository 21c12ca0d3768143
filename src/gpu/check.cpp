#include "gpu/check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gpu/gpu.h"

void checkCuda(int result, const char* file, int line) {
  if (result == gpuSuccess) return;
  const char* slash = std::strrchr(file, '/');
  std::printf("%s in %s at line %d\n", gpuGetErrorString(result), slash ? slash + 1 : file, line);
  std::exit(1);
}
