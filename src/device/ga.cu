// The four kernels and the named device variables. This one source is built
// as plain C++ (the CPU form, namespace cpuform) and by nvcc (the CUDA form,
// namespace cudaform), and for the race check as the threaded form (namespace
// threadform); block.h picks the form.
#include "device/ga.h"
#include "device/operators.h"
#include "device/wide.h"
#include "gpu/gpu.h"
#include "problem/batchrun.h"

#ifndef __CUDACC__
#include <immintrin.h>

#include <cstdlib>
#include <cstring>
#endif

namespace SMETP_FORM {

namespace {

// Loads slot t from record t: its fitness (low 16 bits) when asked, and the
// first min(probNlBytes, 125) bytes of its bit string; lane t also builds
// its share of the fitness tables.
DEVFN void loadSlot(BlockPop& sp, const Chrom* popcurrent, int t, bool withFit) {
  sp.sidx[t] = (unsigned char)t;
  if (withFit) sp.sfit[t] = (unsigned short)popcurrent[t].fit;
  const SlotRow row = slotRow(sp.slbit[t], t);
  const int nlBytes = sp.run.probNlBytes;
  const int bytes = nlBytes < int(slotBytes) ? nlBytes : int(slotBytes);
  for (int b = 0; b < slotWords * 8; ++b) slotByte(row, b) = b < bytes ? popcurrent[t].lbit[b] : 0;
  buildFitnessTables(sp, t);
}

// Stores slot t into record t: the fitness zero-extended, and bits
// 0..probNl-1 of the slot into the record's bit string.
DEVFN void storeSlot(BlockPop& sp, Chrom* popcurrent, int t) {
  popcurrent[t].fit = sp.sfit[t];
  storeBits(popcurrent[t].lbit, slotOf(sp, t), sp.run.probNl);
}

// The run's settings with every number held where the draws and indices of
// the generation stay in bounds (the host range-checks them; a record the
// host left zeroed still runs).
DEVFN GaSettings boundedSettings(GaSettings s) {
  s.elite = s.elite < 0 ? 0 : s.elite > popSize - 2 ? popSize - 2 : s.elite;
  s.tournament = s.tournament < 1 ? 1 : s.tournament > popSize ? popSize : s.tournament;
  s.memeticEvery = s.memeticEvery < 1 ? 1 : s.memeticEvery;
  s.memeticCount = s.memeticCount < 0 ? 0 : s.memeticCount > popSize ? popSize : s.memeticCount;
  return s;
}

// Lane t's share of filling the block's run view from a batch run.
DEVFN void viewBatchRun(RunView& run, BatchRun& r, int t) {
  if (t == 0) {
    run.probNn = r.probNn;
    run.probNl = r.probNl;
    run.probNlBytes = r.probNlBytes;
    run.objvalhardness = r.objvalhardness;
    run.graphdensity = r.graphdensity;
    run.next = r.next;
    run.probLink = r.probLink;
    run.settings = boundedSettings(r.settings);
  }
  for (int i = t; i < maxNodes; i += blockLanes) run.nIdx[i] = r.nIdx[i];
}

// Scores, sorts, repairs and sorts a random population, and stores it back in
// ascending order of fitness; with repair=off there is no repair and no
// second sort.
DEVFN void initialGeneration(Block& block, BlockPop& sp, Chrom* popcurrent) {
  PerLane<bool> dup;
  const unsigned long long hardSteps = hardnessSteps(sp.run);
  block.step([&](int t) { loadSlot(sp, popcurrent, t, false); });
  evaluatePopulation(block, sp, hardSteps, 0);
  bitonicSortPopulation(block, sp);
  if (sp.run.settings.repair) {
    repairDuplicates(block, sp, dup, hardSteps);
    bitonicSortPopulation(block, sp);
  }
  block.step([&](int t) { storeSlot(sp, popcurrent, t); });
}

// The design's layout has no tree steps: a run that asks for the spanning-tree
// start or the memetic step is a wide run (every link a candidate at the
// design's sizes), so that one local search serves every size.
DEVFN void memeticStep(Block&, BlockPop&, PerLane<SlotWord>&) {}

// Fifty generations with the run's settings: selection, crossover, mutation,
// evaluation and sort; then, every memetic_every generations, the memetic step
// on the best and a sort; then duplicate repair and a sort (repair=on).
template <class Pop, class Shape>
DEVFN void generationsOf(Block& block, Pop& sp, const Shape& shape, float* cModifiedMutationProb) {
  PerLane<bool> dup;
  PerLane<SlotCopy> lbitTemp;
  PerLane<typename Pop::Fit> winFit;
  PerLane<SlotWord> polished;
  block.step([&](int t) { polished[t] = 0; });
  // The settings and the hardness steps are read from the run view where they
  // are used, not held through the generations: the CUDA form's memetic step
  // needs every register of the 64.
  const GaSettings& settings = sp.run.settings;
  for (int generation = 0; generation < 50; ++generation) {
    tournamentSelection(block, sp, shape, lbitTemp, winFit);
    crossover(block, sp, shape, probabilityThreshold(settings.crossover));
    mutation(block, sp, shape, cModifiedMutationProb);
    evaluatePopulation(block, sp, hardnessSteps(sp.run), shape.elite);
    bitonicSortPopulation(block, sp);
    if (settings.memetic != gaMemeticNone && (generation + 1) % settings.memeticEvery == 0) {
      memeticStep(block, sp, polished);
      bitonicSortPopulation(block, sp);
    }
    if (settings.repair) {
      repairDuplicates(block, sp, dup, hardnessSteps(sp.run));
      bitonicSortPopulation(block, sp);
    }
  }
}

// Fifty generations on the block's population; the best fitness is left where
// cBest points. The design's elite and tournament size take the routines
// compiled for them.
DEVFN void fiftyGenerations(Block& block, BlockPop& sp, Chrom* popcurrent,
                            float* cModifiedMutationProb, unsigned short* cBest) {
  block.step([&](int t) { loadSlot(sp, popcurrent, t, true); });
  if (isDesignShape(sp.run.settings))
    generationsOf(block, sp, DesignShape(), cModifiedMutationProb);
  else
    generationsOf(block, sp, runShapeOf(sp.run.settings), cModifiedMutationProb);
  block.step([&](int t) {
    storeSlot(sp, popcurrent, t);
    if (t == 0) *cBest = sp.sfit[0];
  });
}

// Lane t's share of filling a wide run's view from its batch entry.
DEVFN void viewWideRun(WidePop& sp, const BatchRun& r, int t) {
  if (t != 0) return;
  const WideRun& w = *r.wide;
  WideView& run = sp.run;
  viewWideLayout(run, w);
  run.objvalhardness = r.objvalhardness;
  run.graphdensity = r.graphdensity;
  run.next = const_cast<unsigned*>(r.next);
  run.settings = boundedSettings(r.settings);
}

// A wide run's initial generation, as the design's: random rows, with
// init=mst the minimum spanning tree in slot 0, scored, sorted, repaired and
// sorted; the order and fitness are left in the run's area.
DEVFN void wideInitial(Block& block, WidePop& sp, BatchRun& r) {
  PerLane<bool> dup;
  block.step([&](int t) { viewWideRun(sp, r, t); });
  block.step([&](int t) {
    sp.sidx[t] = (unsigned char)t;
    randomizeBits(rowBytes(wideRow(sp.run, t)), sp.run.probNl, sp.run.graphdensity, sp.run.next, t,
                  t);
  });
  if (sp.run.settings.init == gaInitMst)
    block.step([&](int t) {
      if (t == 0) plantWideTree(sp, 0);
    });
  evaluatePopulation(block, sp, hardnessSteps(sp.run), 0);
  bitonicSortPopulation(block, sp);
  if (sp.run.settings.repair) {
    repairDuplicates(block, sp, dup, hardnessSteps(sp.run));
    bitonicSortPopulation(block, sp);
  }
  block.step([&](int t) {
    r.wide->idx[t] = sp.sidx[t];
    r.wide->fit[t] = sp.sfit[t];
  });
}

// Fifty generations of a wide run; its best score is left where best points.
#ifdef __CUDACC__
// The wide generation kernel's dynamic shared memory: the run's 128 rows,
// where they fit (wideSharedRowBytes at most, with the block's WidePop well
// within the 48 KiB a block has without asking for more).
enum { wideSharedRowBytes = 45 * 1024 };
extern __shared__ SlotWord wideSharedRows[];

DEVFN unsigned dynamicSharedBytes() {
  unsigned bytes;
  asm volatile("mov.u32 %0, %%dynamic_smem_size;" : "=r"(bytes));
  return bytes;
}
#endif

DEVFN void wideGenerations(Block& block, WidePop& sp, BatchRun& r, float* mutProb,
                           unsigned long long* best) {
  block.step([&](int t) { viewWideRun(sp, r, t); });
  block.step([&](int t) {
    sp.sidx[t] = r.wide->idx[t];
    sp.sfit[t] = r.wide->fit[t];
  });
#ifdef __CUDACC__
  // Rows that fit the launch's dynamic shared memory are worked on there,
  // and copied back to the run's area at the end; the others stay in global
  // memory. Either way the generation reads and writes the same values.
  SlotWord* const areaRows = r.wide->rows;
  const unsigned long long rowWords =
      (unsigned long long)popSize * (unsigned long long)sp.run.words;
  const bool inShared = rowWords * 8ull <= dynamicSharedBytes();
  if (inShared)
    block.step([&](int t) {
      for (unsigned long long i = t; i < rowWords; i += blockLanes) wideSharedRows[i] = areaRows[i];
      if (t == 0) sp.run.rows = wideSharedRows;
    });
#endif
  if (isDesignShape(sp.run.settings))
    generationsOf(block, sp, DesignShape(), mutProb);
  else
    generationsOf(block, sp, runShapeOf(sp.run.settings), mutProb);
#ifdef __CUDACC__
  if (inShared)
    block.step([&](int t) {
      for (unsigned long long i = t; i < rowWords; i += blockLanes) areaRows[i] = wideSharedRows[i];
    });
#endif
  block.step([&](int t) {
    r.wide->idx[t] = sp.sidx[t];
    r.wide->fit[t] = sp.sfit[t];
    if (t == 0) *best = sp.sfit[0];
  });
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
  block.step([&](int t) { viewNamedRun(sp.run, t); });
  initialGeneration(block, sp, popcurrent);
}

// Fifty generations of the genetic algorithm on the block's population; the
// best fitness is left where cBest points.
KERNEL GAallInOneOperator(Chrom* popcurrent, float* cModifiedMutationProb, unsigned short* cBest) {
  SHARED BlockPop sp;
  Block block;
  block.step([&](int t) { viewNamedRun(sp.run, t); });
  fiftyGenerations(block, sp, popcurrent, cModifiedMutationProb, cBest);
}

// Batch: block b seeds nothing (the host wrote run b's generator states),
// gives run b's chromosomes random bit strings and makes its initial
// generation, exactly as the single run's three first kernels do. Only the
// runs whose control entry is active start; the other blocks return at once,
// so that the slots of a batch can be refilled while other runs go on.
KERNEL batchInitial(BatchRun* runs, BatchControl* control, Chrom* pops) {
  const int b = blockIndex();
  if (!control[b].active || runs[b].wide) return;
  SHARED BlockPop sp;
  Block block;
  Chrom* popcurrent = pops + popSize * b;
  block.step([&](int t) { viewBatchRun(sp.run, runs[b], t); });
  block.step([&](int t) {
    randomizeBits(popcurrent[t].lbit, sp.run.probNl, sp.run.graphdensity, sp.run.next, t, t);
  });
  initialGeneration(block, sp, popcurrent);
}

// Batch: fifty generations of run b, when it is active; a finished run's block
// returns at once.
KERNEL batchGenerations(BatchRun* runs, BatchControl* control, Chrom* pops) {
  const int b = blockIndex();
  if (!control[b].active || runs[b].wide) return;
  SHARED BlockPop sp;
  Block block;
  block.step([&](int t) { viewBatchRun(sp.run, runs[b], t); });
  fiftyGenerations(block, sp, pops + popSize * b, &control[b].mutProb, &control[b].best);
}

// Batch, wide runs: the initial generation of wide run b, when it is active;
// the blocks of other runs return at once. The block keeps only the order,
// fitness and crossover plan; the chromosomes stay in the run's area.
WIDE_KERNEL batchWideInitial(BatchRun* runs, BatchControl* control) {
  const int b = blockIndex();
  if (!control[b].active || !runs[b].wide) return;
  SHARED WidePop sp;
  Block block;
  wideInitial(block, sp, runs[b]);
}

// Batch, wide runs: fifty generations of wide run b, when it is active.
WIDE_KERNEL batchWideGenerations(BatchRun* runs, BatchControl* control) {
  const int b = blockIndex();
  if (!control[b].active || !runs[b].wide) return;
  SHARED WidePop sp;
  Block block;
  wideGenerations(block, sp, runs[b], &control[b].mutProb, &control[b].wideBest);
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

// Launches one kernel as `blocks` blocks of blockThreads lanes; the
// generation kernels need exactly the 128 lanes of the population, no kernel
// takes more (the CUDA form's kernels are built for at most 128), and only
// the batch kernels take more than one block.
int launchKernel(int kernel, unsigned blocks, unsigned blockThreads, void* arg0, void* arg1,
                 void* arg2) {
  if (blockThreads == 0 || blockThreads > unsigned(blockLanes) || blocks == 0)
    return gpuErrorInvalidConfiguration;
  const bool batch = kernel == kernelBatchInitial || kernel == kernelBatchGenerations ||
                     kernel == kernelBatchWideInitial || kernel == kernelBatchWideGenerations;
  if (!batch && blocks != 1) return gpuErrorInvalidConfiguration;
  switch (kernel) {
    case kernelSrand:
      LAUNCH_BLOCKS(k_srand, 1, blockThreads, static_cast<unsigned*>(arg0));
      break;
    case kernelGenerateRandomPopulation:
      LAUNCH_BLOCKS(generateRandomPopulation, 1, blockThreads, static_cast<Chrom*>(arg0));
      break;
    case kernelEvpopInitial:
      if (blockThreads != popSize) return gpuErrorInvalidConfiguration;
      LAUNCH_BLOCKS(evpopInitial, 1, blockThreads, static_cast<Chrom*>(arg0));
      break;
    case kernelGAallInOneOperator:
      if (blockThreads != popSize) return gpuErrorInvalidConfiguration;
      LAUNCH_BLOCKS(GAallInOneOperator, 1, blockThreads, static_cast<Chrom*>(arg0),
                    static_cast<float*>(arg1), static_cast<unsigned short*>(arg2));
      break;
    case kernelBatchInitial:
      if (blockThreads != popSize) return gpuErrorInvalidConfiguration;
      LAUNCH_BLOCKS(batchInitial, blocks, blockThreads, static_cast<BatchRun*>(arg0),
                    static_cast<BatchControl*>(arg1), static_cast<Chrom*>(arg2));
      break;
    case kernelBatchGenerations:
      if (blockThreads != popSize) return gpuErrorInvalidConfiguration;
      LAUNCH_BLOCKS(batchGenerations, blocks, blockThreads, static_cast<BatchRun*>(arg0),
                    static_cast<BatchControl*>(arg1), static_cast<Chrom*>(arg2));
      break;
    case kernelBatchWideInitial:
      if (blockThreads != popSize) return gpuErrorInvalidConfiguration;
      LAUNCH_BLOCKS(batchWideInitial, blocks, blockThreads, static_cast<BatchRun*>(arg0),
                    static_cast<BatchControl*>(arg1));
      break;
    case kernelBatchWideGenerations:
      if (blockThreads != popSize) return gpuErrorInvalidConfiguration;
#ifdef __CUDACC__
      // With room for the rows of a run of up to wideSharedRowBytes.
      batchWideGenerations<<<blocks, blockThreads, wideSharedRowBytes>>>(
          static_cast<BatchRun*>(arg0), static_cast<BatchControl*>(arg1));
#else
      LAUNCH_BLOCKS(batchWideGenerations, blocks, blockThreads, static_cast<BatchRun*>(arg0),
                    static_cast<BatchControl*>(arg1));
#endif
      break;
    default:
      return gpuErrorInvalidValue;
  }
  return launchResult();
}

#ifdef __CUDACC__

int batchBlocksPerMultiprocessor() {
  int blocks = 0;
  if (cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, batchGenerations, popSize, 0) !=
      cudaSuccess)
    return 0;
  return blocks;
}

int wideBlocksPerMultiprocessor() {
  int blocks = 0;
  if (cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, batchWideGenerations, popSize,
                                                    wideSharedRowBytes) != cudaSuccess)
    return 0;
  return blocks;
}

#endif

#ifndef __CUDACC__

namespace {

// Jump-ahead constants of the stream step: k steps map s to
// wideMul[k] * s + c * wideSum[k], for k = 0..16.
struct WideJumps {
  unsigned mul[17], sum[17];
};
constexpr WideJumps makeWideJumps() {
  WideJumps j{};
  j.mul[0] = 1u;
  j.sum[0] = 0u;
  for (int k = 1; k <= 16; ++k) {
    j.mul[k] = j.mul[k - 1] * randMul;
    j.sum[k] = j.sum[k - 1] * randMul + 1u;
  }
  return j;
}
constexpr WideJumps wideJumps = makeWideJumps();

// Sixteen draws per step in two 256-bit registers: states s_1 .. s_16 from
// the same s, each draw compared with the threshold, the sixteen decisions
// gathered into two bytes.
__attribute__((target("avx2"))) void drawWholeBytesAvx2(unsigned char* bits, int whole,
                                                        int threshold, unsigned& state, unsigned c,
                                                        bool flip) {
  alignas(32) unsigned add[16];
  for (int k = 0; k < 16; ++k) add[k] = c * wideJumps.sum[k + 1];
  const __m256i m0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wideJumps.mul + 1));
  const __m256i m1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wideJumps.mul + 9));
  const __m256i a0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(add));
  const __m256i a1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(add + 8));
  // Draw r = bits 16..30 of a state; r < threshold compares those bits with
  // the threshold moved there (a threshold of 32768 takes every draw).
  const __m256i keep = _mm256_set1_epi32(0x7FFF0000);
  const __m256i limit = _mm256_set1_epi32(threshold > 32767 ? 0x7FFFFFFF : threshold << 16);
  const unsigned mul8 = wideJumps.mul[8], add8 = add[7];
  const unsigned mul16 = wideJumps.mul[16], add16 = add[15];
  unsigned s = state;
  int b = 0;
  for (; b + 2 <= whole; b += 2) {
    const __m256i sv = _mm256_set1_epi32(int(s));
    const __m256i s0 = _mm256_add_epi32(_mm256_mullo_epi32(sv, m0), a0);
    const __m256i s1 = _mm256_add_epi32(_mm256_mullo_epi32(sv, m1), a1);
    const unsigned lo = unsigned(_mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(limit, _mm256_and_si256(s0, keep)))));
    const unsigned hi = unsigned(_mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(limit, _mm256_and_si256(s1, keep)))));
    bits[b] = (unsigned char)(flip ? bits[b] ^ lo : lo);
    bits[b + 1] = (unsigned char)(flip ? bits[b + 1] ^ hi : hi);
    s = s * mul16 + add16;
  }
  if (b < whole) {
    const __m256i sv = _mm256_set1_epi32(int(s));
    const __m256i s0 = _mm256_add_epi32(_mm256_mullo_epi32(sv, m0), a0);
    const unsigned lo = unsigned(_mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(limit, _mm256_and_si256(s0, keep)))));
    bits[b] = (unsigned char)(flip ? bits[b] ^ lo : lo);
    s = s * mul8 + add8;
  }
  state = s;
}

void drawWholeBytesPortable(unsigned char* bits, int whole, int threshold, unsigned& s, unsigned c,
                            bool flip) {
  drawBytesByEight(bits, whole, threshold, s, c, flip);
}

// SMETP_PORTABLE_CPU set to anything but 0 keeps the CPU form to the
// instructions every x86-64 processor has (for comparing the two).
bool portableCpuAsked() {
  const char* v = std::getenv("SMETP_PORTABLE_CPU");
  return v && *v && std::strcmp(v, "0") != 0;
}

// Chosen once, for the processor the program runs on.
bool useAvx2() {
  static const bool use = __builtin_cpu_supports("avx2") && !portableCpuAsked();
  return use;
}

}  // namespace

// Swaps, for block sizes j = 32 down to 1, the upper-right and lower-left
// j x j blocks of every 2j x 2j diagonal block.
const SlotWord transposeLowHalves[6] = {0x00000000FFFFFFFFull, 0x0000FFFF0000FFFFull,
                                        0x00FF00FF00FF00FFull, 0x0F0F0F0F0F0F0F0Full,
                                        0x3333333333333333ull, 0x5555555555555555ull};

void transposeBits64Portable(SlotWord* m) {
  int level = 0;
  for (int j = 32; j; j >>= 1, ++level) {
    const SlotWord low = transposeLowHalves[level];
    for (int b = 0; b < 64; b += 2 * j)
      for (int k = b; k < b + j; ++k) {
        const SlotWord t = ((m[k] >> j) ^ m[k + j]) & low;
        m[k + j] ^= t;
        m[k] ^= t << j;
      }
  }
}

// The same with four words to a register: the blocks of 32 to 4 rows pair
// whole registers; those of 2 and 1 rows pair words inside a register.
__attribute__((target("avx2"))) void transposeBits64Avx2(SlotWord* m) {
  __m256i v[16];
  for (int i = 0; i < 16; ++i)
    v[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(m + 4 * i));
  int level = 0;
  for (int j = 32; j >= 4; j >>= 1, ++level) {
    const __m256i low = _mm256_set1_epi64x((long long)transposeLowHalves[level]);
    const int step = j / 4;  // registers between the two rows of a pair
    for (int b = 0; b < 16; b += 2 * step)
      for (int k = b; k < b + step; ++k) {
        const __m256i t =
            _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(v[k], j), v[k + step]), low);
        v[k + step] = _mm256_xor_si256(v[k + step], t);
        v[k] = _mm256_xor_si256(v[k], _mm256_slli_epi64(t, j));
      }
  }
  // Rows k and k + 2 (k = 0, 1) of a register, then rows k and k + 1 (k = 0, 2).
  const __m256i low2 =
      _mm256_set_epi64x(0, 0, (long long)transposeLowHalves[4], (long long)transposeLowHalves[4]);
  const __m256i low1 =
      _mm256_set_epi64x(0, (long long)transposeLowHalves[5], 0, (long long)transposeLowHalves[5]);
  for (int i = 0; i < 16; ++i) {
    __m256i x = _mm256_permute4x64_epi64(v[i], 0x4E);  // words 2 3 0 1
    __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(v[i], 2), x), low2);
    v[i] = _mm256_xor_si256(
        v[i], _mm256_xor_si256(_mm256_slli_epi64(t, 2), _mm256_permute4x64_epi64(t, 0x4E)));
    x = _mm256_permute4x64_epi64(v[i], 0xB1);  // words 1 0 3 2
    t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(v[i], 1), x), low1);
    v[i] = _mm256_xor_si256(
        v[i], _mm256_xor_si256(_mm256_slli_epi64(t, 1), _mm256_permute4x64_epi64(t, 0xB1)));
  }
  for (int i = 0; i < 16; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(m + 4 * i), v[i]);
}

void transposeBits64(SlotWord* m) {
  if (useAvx2())
    transposeBits64Avx2(m);
  else
    transposeBits64Portable(m);
}

bool cpuShufflesBits() {
  static const bool use = __builtin_cpu_supports("avx512bitalg") &&
                          __builtin_cpu_supports("avx512bw") && !portableCpuAsked();
  return use;
}

__attribute__((target("avx512f,avx512bw,avx512bitalg"))) int energyByRanks(
    const SlotWord* adj, int n, const unsigned char (*rankNode)[64],
    const short (*heavierWeight)[maxIncident]) {
  int energy = 0;
  for (int v = 0; v < n; ++v) {
    const __m512i order = _mm512_load_si512(rankNode[v]);
    const SlotWord ranked =
        _mm512_bitshuffle_epi64_mask(_mm512_set1_epi64((long long)adj[v]), order);
    if (ranked) energy += heavierWeight[v][__builtin_ctzll(ranked)];
  }
  return energy;
}

void drawWholeBytes(unsigned char* bits, int whole, int threshold, unsigned& s, unsigned c,
                    bool flip) {
  if (useAvx2())
    drawWholeBytesAvx2(bits, whole, threshold, s, c, flip);
  else
    drawWholeBytesPortable(bits, whole, threshold, s, c, flip);
}

#endif

#if !defined(__CUDACC__) && !defined(SMETP_THREADED_FORM)

// All listed streams advance together, step after step, so that the steps of
// different lanes overlap; two steps are taken as one composed step
// (state * a^2 + c * (a + 1)), which leaves every state where two single steps
// would. Built for AVX2 where the processor has it, except under a thread
// sanitizer, which instruments the resolver that picks the clone although it
// runs while the program is loaded, before the sanitizer is set up.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SMETP_NO_CLONES
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(SMETP_NO_CLONES)
#define SMETP_CLONES
#else
#define SMETP_CLONES __attribute__((target_clones("avx2", "default")))
#endif
SMETP_CLONES void advanceStreamsInterleaved(unsigned* streams, const int* lanes, int count,
                                            unsigned long long steps) {
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
