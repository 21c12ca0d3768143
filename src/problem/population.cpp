#include "problem/population.h"

#include <cstdio>

#include "gpu/check.h"
#include "gpu/gpu.h"

void allocChromosomeBits(Chrom* hostPop) {
  int bytes = 0;
  CHECK_CUDA(gpuMemcpyFromSymbol(&bytes, "probNlBytes", sizeof bytes));
  for (int i = 0; i < popSize; ++i) {
    void* p = nullptr;
    CHECK_CUDA(gpuMalloc(&p, size_t(bytes)));
    // Zeroed, so that no byte a kernel reads was never written.
    CHECK_CUDA(gpuMemset(p, 0, size_t(bytes)));
    hostPop[i].lbit = static_cast<unsigned char*>(p);
  }
  std::printf("Alocirano %d karaktera za svaki niz grana\n", bytes);
}

void freeChromosomeBits(Chrom* hostPop) {
  for (int i = 0; i < popSize; ++i) {
    gpuFree(hostPop[i].lbit);
    hostPop[i].lbit = nullptr;
  }
}
