// The four kernels and the named device variables. This one source is built
// as plain C++ (the CPU form, namespace cpuform) and by nvcc (the CUDA form,
// namespace cudaform); block.h picks the form.
#include "device/ga.h"
#include "device/operators.h"
#include "gpu/gpu.h"

namespace SMETP_FORM {

namespace {

// Loads slot t from record t: its fitness (low 16 bits) when asked, and the
// first min(probNlBytes, 125) bytes of its bit string; lane t also builds
// its share of the fitness tables.
DEVFN void loadSlot(BlockPop& sp, const Chrom* popcurrent, int t, bool withFit) {
  sp.sidx[t] = (unsigned char)t;
  if (withFit) sp.sfit[t] = (unsigned short)popcurrent[t].fit;
  unsigned char* row = reinterpret_cast<unsigned char*>(sp.slbit[t]);
  const int bytes = probNlBytes < int(slotBytes) ? probNlBytes : int(slotBytes);
  for (int b = 0; b < slotWords * 8; ++b) row[b] = b < bytes ? popcurrent[t].lbit[b] : 0;
  buildFitnessTables(sp, t);
}

// Stores slot t into record t: the fitness zero-extended, and bits
// 0..probNl-1 of the slot into the record's bit string.
DEVFN void storeSlot(BlockPop& sp, Chrom* popcurrent, int t) {
  popcurrent[t].fit = sp.sfit[t];
  storeBits(popcurrent[t].lbit, slotOf(sp, t), probNl);
}

}  // namespace

// Copies the 128 seeds into the generator states. Every lane that runs it
// makes the whole copy.
KERNEL k_srand(unsigned* seeds) {
  Block block;
  block.step([&](int) {
    for (int i = 0; i < popSize; ++i) next[i] = seeds[i];
  });
}

// Gives every chromosome a random bit string of the run's density.
KERNEL generateRandomPopulation(Chrom* popcurrent) {
  Block block;
  block.step([&](int t) {
    if (t > popSize - 1) return;
    randomizeBits(popcurrent[t].lbit, probNl, graphdensity, next, t, t);
  });
}

// Scores, sorts, repairs and sorts the random population, and stores it back
// in ascending order of fitness.
KERNEL evpopInitial(Chrom* popcurrent) {
  SHARED BlockPop sp;
  Block block;
  PerLane<bool> dup;
  const unsigned long long hardSteps = hardnessSteps();
  block.step([&](int t) { loadSlot(sp, popcurrent, t, false); });
  evaluatePopulation(block, sp, hardSteps, 0);
  bitonicSortPopulation(block, sp);
  repairDuplicates(block, sp, dup, hardSteps);
  bitonicSortPopulation(block, sp);
  block.step([&](int t) { storeSlot(sp, popcurrent, t); });
}

// Fifty generations of the genetic algorithm on the block's population; the
// best fitness is left where cBest points.
KERNEL GAallInOneOperator(Chrom* popcurrent, float* cModifiedMutationProb, unsigned short* cBest) {
  SHARED BlockPop sp;
  Block block;
  PerLane<bool> dup;
  PerLane<SlotCopy> lbitTemp;
  PerLane<unsigned short> winFit;
  const unsigned long long hardSteps = hardnessSteps();
  const int crossThreshold = probabilityThreshold(crossProb);
  block.step([&](int t) { loadSlot(sp, popcurrent, t, true); });
  for (int generation = 0; generation < 50; ++generation) {
    tournamentSelection(block, sp, lbitTemp, winFit);
    crossover(block, sp, crossThreshold);
    mutation(block, sp, cModifiedMutationProb);
    evaluatePopulation(block, sp, hardSteps, nelite);
    bitonicSortPopulation(block, sp);
    repairDuplicates(block, sp, dup, hardSteps);
    bitonicSortPopulation(block, sp);
  }
  block.step([&](int t) {
    storeSlot(sp, popcurrent, t);
    if (t == 0) *cBest = sp.sfit[0];
  });
}

const DeviceSymbol deviceSymbols[deviceSymbolCount] = {
    {"probNn", (void*)&probNn, sizeof(probNn), true},
    {"probNl", (void*)&probNl, sizeof(probNl), true},
    {"probNlBytes", (void*)&probNlBytes, sizeof(probNlBytes), true},
    {"probLink", (void*)&probLink, sizeof(probLink), true},
    {"nIdx", (void*)&nIdx, sizeof(nIdx), true},
    {"objvalhardness", (void*)&objvalhardness, sizeof(objvalhardness), true},
    {"graphdensity", (void*)&graphdensity, sizeof(graphdensity), true},
    {"next", (void*)&next, sizeof(next), false},
    {"restrictRules", (void*)&restrictRules, sizeof(restrictRules), false},
    {"globalPrintfBuffer", (void*)&globalPrintfBuffer, sizeof(globalPrintfBuffer), true},
    {"printfBufferLength", (void*)&printfBufferLength, sizeof(printfBufferLength), true},
    {"printfBufferPtr", (void*)&printfBufferPtr, sizeof(printfBufferPtr), false},
};

// Launches one kernel as one block of blockThreads lanes; the generation
// kernels need exactly the 128 lanes of the population.
int launchKernel(int kernel, unsigned blockThreads, void* arg0, void* arg1, void* arg2) {
  if (blockThreads == 0) return gpuErrorInvalidConfiguration;
  switch (kernel) {
    case kernelSrand:
      LAUNCH_ONE_BLOCK(k_srand, blockThreads, static_cast<unsigned*>(arg0));
      break;
    case kernelGenerateRandomPopulation:
      LAUNCH_ONE_BLOCK(generateRandomPopulation, blockThreads, static_cast<Chrom*>(arg0));
      break;
    case kernelEvpopInitial:
      if (blockThreads != popSize) return gpuErrorInvalidConfiguration;
      LAUNCH_ONE_BLOCK(evpopInitial, blockThreads, static_cast<Chrom*>(arg0));
      break;
    case kernelGAallInOneOperator:
      if (blockThreads != popSize) return gpuErrorInvalidConfiguration;
      LAUNCH_ONE_BLOCK(GAallInOneOperator, blockThreads, static_cast<Chrom*>(arg0),
                       static_cast<float*>(arg1), static_cast<unsigned short*>(arg2));
      break;
    default:
      return gpuErrorInvalidValue;
  }
  return launchResult();
}

#ifndef __CUDACC__

// All listed streams advance together, step after step, so that the steps of
// different lanes overlap; two steps are taken as one composed step
// (state * a^2 + c * (a + 1)), which leaves every state where two single steps
// would. Built for AVX2 where the processor has it.
__attribute__((target_clones("avx2", "default"))) void advanceStreamsInterleaved(
    unsigned* streams, const int* lanes, int count, unsigned long long steps) {
  if (steps == 0 || count <= 0) return;
  alignas(32) unsigned s[blockLanes], c[blockLanes], c2[blockLanes];
  const int padded = (count + 7) & ~7;
  for (int i = 0; i < padded; ++i) {
    s[i] = i < count ? streams[lanes[i]] : 0u;
    c[i] = i < count ? laneIncrement(lanes[i]) + randAdd : 0u;
    c2[i] = c[i] * (randMul + 1u);
  }
  const unsigned a2 = randMul * randMul;
  for (unsigned long long k = 0; k < steps / 2; ++k)
    for (int i = 0; i < padded; ++i) s[i] = s[i] * a2 + c2[i];
  if (steps & 1)
    for (int i = 0; i < padded; ++i) s[i] = s[i] * randMul + c[i];
  for (int i = 0; i < count; ++i) streams[lanes[i]] = s[i];
}

#endif

}  // namespace SMETP_FORM
