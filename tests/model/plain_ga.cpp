// Plain model of the device GA engine. Each function mirrors one device routine
// or kernel; lanes of the block run one after another, in ascending order,
// within each stretch between two barriers.
#include "plain_ga.h"

#include <cstring>

namespace {

const int kPopSize = 128;
// The settings of the kernel being modelled (the design's unless given).
ModelSettings current;
const int kGenerations = 50;
const int kSlotBytes = 125;
const int kMaxNodes = 45;
const int32_t kInfeasible = 65000;
const int32_t kMaxFeasible = 64999;

int getBit(int index, const unsigned char* bits) {
  return (bits[index >> 3] & (1u << (index & 7))) != 0 ? 1 : 0;
}

void setBit(int index, unsigned char* bits) {
  bits[index >> 3] = static_cast<unsigned char>(bits[index >> 3] | (1u << (index & 7)));
}

void clearBit(int index, unsigned char* bits) {
  bits[index >> 3] = static_cast<unsigned char>(bits[index >> 3] & ~(1u << (index & 7)));
}

void copyBit(int index, const unsigned char* from, unsigned char* to) {
  if (getBit(index, from) == 1) {
    setBit(index, to);
  } else {
    clearBit(index, to);
  }
}

// Single-precision unit value of a draw: r / 32767, so 32767 gives exactly 1.
float unitValue(uint32_t r) { return static_cast<float>(r) / 32767.0f; }

// Bits 0..probNl-1 of `bits`, each set with probability graphdensity, drawn
// from stream idx by lane `lane`.
void randomizeBits(const ModelInstance& in, unsigned char* bits, uint32_t next[128], int idx,
                   int lane) {
  for (int i = 0; i < in.probNl; ++i) {
    uint32_t r = modelDevRand(next, idx, lane);
    if (in.graphdensity > unitValue(r)) {
      setBit(i, bits);
    } else {
      clearBit(i, bits);
    }
  }
}

// probNn to the power objvalhardness pairs of discarded draws on the lane's own
// stream. The power wraps like 32-bit signed arithmetic; a non-positive count
// means no work.
void hardnessWork(const ModelInstance& in, uint32_t next[128], int lane) {
  if (in.objvalhardness <= 0) return;
  uint32_t p = 1;  // unsigned multiply gives the wrapped two's-complement result
  for (int i = 0; i < in.objvalhardness; ++i) p *= static_cast<uint32_t>(in.probNn);
  int32_t count = static_cast<int32_t>(p);
  if (count <= 0) return;
  for (int32_t i = 0; i < count; ++i) {
    modelDevRand(next, lane, lane);
    modelDevRand(next, lane, lane);
  }
}

// Breadth-first search from node 0 over the selected edges.
bool isConnected(const ModelInstance& in, const unsigned char* slot) {
  int32_t visited[kMaxNodes];
  int32_t stack[kMaxNodes];
  for (int v = 0; v < in.probNn; ++v) {
    stack[v] = 0;
    visited[v] = 0;
  }
  stack[0] = 0;
  visited[0] = 1;
  int count = 1;
  int head = 0;
  while (head < count && count < in.probNn) {
    int u = stack[head];
    for (int j = 0; j < in.probNn; ++j) {
      if (visited[j] != 0) continue;
      int k = modelEdgeIndex(in, u, j);
      if (k != -1 && getBit(k, slot) == 1) {
        stack[count] = j;
        count = count + 1;
        visited[j] = 1;
      }
    }
    head = head + 1;
  }
  return count == in.probNn;
}

// Sum over nodes of the largest weight among each node's selected edges.
int32_t energy(const ModelInstance& in, const unsigned char* slot) {
  int16_t z[kMaxNodes];
  for (int v = 0; v < in.probNn; ++v) z[v] = 0;
  for (int e = 0; e < in.probNl; ++e) {
    if (getBit(e, slot) != 1) continue;
    int f = in.link[e][0];
    int g = in.link[e][1];
    int16_t w = in.link[e][2];
    if (z[f] < w) z[f] = w;
    if (z[g] < w) z[g] = w;
  }
  int32_t sum = 0;
  for (int v = 0; v < in.probNn; ++v) sum += z[v];
  return sum;
}

void bitonicExchange(ModelBlock& b, int t, int p) {
  uint16_t f = b.sfit[t];
  b.sfit[t] = b.sfit[p];
  b.sfit[p] = f;
  for (int index = 0; index < kSlotBytes; ++index) {
    unsigned char c = b.slbit[t][index];
    b.slbit[t][index] = b.slbit[p][index];
    b.slbit[p][index] = c;
  }
}

// Slot bytes that a kernel copies in from a device bit string.
int loadBytes(const ModelInstance& in) {
  return in.probNlBytes < kSlotBytes ? in.probNlBytes : kSlotBytes;
}

void loadSlots(const ModelInstance& in, const ModelState& s, ModelBlock& b) {
  std::memset(&b, 0, sizeof b);  // bytes past the load are never read for a result
  int n = loadBytes(in);
  for (int t = 0; t < kPopSize; ++t) {
    for (int i = 0; i < n; ++i) b.slbit[t][i] = s.bits[t][i];
  }
}

void storeSlots(const ModelInstance& in, const ModelBlock& b, ModelState& s) {
  for (int t = 0; t < kPopSize; ++t) {
    s.fit[t] = static_cast<int32_t>(b.sfit[t]);
    for (int i = 0; i < in.probNl; ++i) copyBit(i, b.slbit[t], s.bits[t]);
  }
}

void evaluateAll(const ModelInstance& in, ModelBlock& b, uint32_t next[128]) {
  for (int t = 0; t < kPopSize; ++t) {
    b.sfit[t] = static_cast<uint16_t>(modelObjectiveValue(in, b.slbit[t], next, t));
  }
}

void tournamentSelection(const ModelInstance& in, ModelBlock& b, uint32_t next[128]) {
  unsigned char lbitTemp[kPopSize][kSlotBytes];
  uint16_t winnerFit[kPopSize];
  // Read phase: every lane picks its winner from the population as it stands.
  for (int t = current.elite; t < kPopSize; ++t) {
    int w = current.elite + static_cast<int>(modelDevRand(next, t, t) % (kPopSize - current.elite));
    for (int i = 1; i < current.tournament; ++i) {
      int c =
          current.elite + static_cast<int>(modelDevRand(next, t, t) % (kPopSize - current.elite));
      if (b.sfit[w] > b.sfit[c]) w = c;
    }
    winnerFit[t] = b.sfit[w];
    for (int i = 0; i < in.probNl; ++i) copyBit(i, b.slbit[w], lbitTemp[t]);
  }
  // Barrier, then the write phase: each lane overwrites its own slot.
  for (int t = current.elite; t < kPopSize; ++t) {
    b.sfit[t] = winnerFit[t];
    for (int i = 0; i < in.probNl; ++i) copyBit(i, lbitTemp[t], b.slbit[t]);
  }
}

// The (k+1)-th slot from 16 upward that this lane has not drawn yet; marks it drawn.
int pick(int16_t ind[128], int k) {
  int count = 0;
  for (int j = current.elite; j < kPopSize; ++j) {
    if (ind[j] != 0) continue;
    count = count + 1;
    if (count == k + 1) {
      ind[j] = 1;
      return j;
    }
  }
  return -1;  // unreachable for k below the number of free slots
}

void crossover(const ModelInstance& in, ModelBlock& b, uint32_t next[128]) {
  // Each crossing lane does its draws and then its whole exchange before the
  // next lane; the lanes draw from distinct streams, so this equals taking all
  // draws first and then applying the exchanges in ascending lane order.
  for (int t = current.elite; t < kPopSize; t += 2) {
    int16_t ind[kPopSize];
    for (int j = 0; j < kPopSize; ++j) ind[j] = 0;
    int p1 = pick(ind, static_cast<int>(modelDevRand(next, t, t) % (kPopSize - current.elite)));
    int p2 =
        pick(ind, static_cast<int>(modelDevRand(next, t, t) % ((kPopSize - current.elite) - 1)));
    if (!(unitValue(modelDevRand(next, t, t)) < current.crossover)) continue;
    int c = static_cast<int>(modelDevRand(next, t, t) % static_cast<uint32_t>(in.probNl));
    for (int i = c; i < in.probNl; ++i) {
      int a = getBit(i, b.slbit[p1]);
      int bb = getBit(i, b.slbit[p2]);
      if (bb == 1) {
        setBit(i, b.slbit[p1]);
      } else {
        clearBit(i, b.slbit[p1]);
      }
      if (a == 1) {
        setBit(i, b.slbit[p2]);
      } else {
        clearBit(i, b.slbit[p2]);
      }
    }
  }
}

void mutation(const ModelInstance& in, ModelBlock& b, uint32_t next[128], float m) {
  for (int t = current.elite; t < kPopSize; ++t) {
    for (int i = 0; i < in.probNl; ++i) {
      uint32_t r = modelDevRand(next, t, t);
      if (m > unitValue(r)) {
        if (getBit(i, b.slbit[t]) == 1) {
          clearBit(i, b.slbit[t]);
        } else {
          setBit(i, b.slbit[t]);
        }
      }
    }
  }
}

}  // namespace

ModelInstance modelCompleteInstance(int n, const int16_t* weights, int hardness, float density) {
  ModelInstance in{};
  in.probNn = n;
  in.probNl = n * (n - 1) / 2;
  in.probNlBytes = in.probNl / 8 + 3;
  int e = 0;
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      in.link[e][0] = static_cast<int16_t>(i);
      in.link[e][1] = static_cast<int16_t>(j);
      in.link[e][2] = weights[e];
      ++e;
    }
  }
  in.nIdx[0] = 0;
  for (int i = 1; i <= n - 2; ++i) in.nIdx[i] = in.nIdx[i - 1] + (n - i);
  in.objvalhardness = hardness;
  in.graphdensity = density;
  return in;
}

uint32_t modelDevRand(uint32_t next[128], int idx, int lane) {
  uint32_t increment = static_cast<uint32_t>(lane);
  next[idx] = next[idx] * 1103515245u + increment + 12345u;
  return (next[idx] >> 16) & 32767u;
}

void modelSrand(ModelState& s, const uint32_t seeds[128]) {
  for (int i = 0; i < kPopSize; ++i) s.next[i] = seeds[i];
}

void modelGenerateRandomPopulation(const ModelInstance& in, ModelState& s) {
  for (int t = 0; t < kPopSize; ++t) randomizeBits(in, s.bits[t], s.next, t, t);
}

int32_t modelObjectiveValue(const ModelInstance& in, const unsigned char* slot, uint32_t next[128],
                            int lane) {
  hardnessWork(in, next, lane);
  if (!isConnected(in, slot)) return kInfeasible;
  int32_t sum = energy(in, slot);
  return sum < kMaxFeasible ? sum : kMaxFeasible;
}

int modelEdgeIndex(const ModelInstance& in, int i, int j) {
  int k;
  if (i < j) {
    k = in.nIdx[i] + (j - i) - 1;
  } else {
    k = in.nIdx[j] + (i - j) - 1;
  }
  return k < in.probNl ? k : -1;
}

void modelBitonicSort(ModelBlock& b) {
  for (int k = 2; k <= kPopSize; k = 2 * k) {
    for (int j = k / 2; j > 0; j = j / 2) {
      // One step: the pairs are disjoint, so lane order does not matter.
      for (int t = 0; t < kPopSize; ++t) {
        int p = t ^ j;
        if (p <= t) continue;
        uint16_t a = b.sfit[t];
        uint16_t c = b.sfit[p];
        bool exchange = (t & k) == 0 ? a > c : a < c;
        if (exchange) bitonicExchange(b, t, p);
      }
    }
  }
}

void modelRepairDuplicates(const ModelInstance& in, ModelBlock& b, uint32_t next[128]) {
  // Phase 1: every decision, on the fitness values the sort left.
  bool refill[kPopSize - 1];
  for (int t = 0; t < kPopSize - 1; ++t) refill[t] = b.sfit[t] == b.sfit[t + 1];
  // Phase 2: every refill, lane t drawing from stream t+1.
  for (int t = 0; t < kPopSize - 1; ++t) {
    if (refill[t]) randomizeBits(in, b.slbit[t + 1], next, t + 1, t);
  }
  // Phase 3: every re-evaluation, on lane t's own stream.
  for (int t = 0; t < kPopSize - 1; ++t) {
    if (refill[t]) {
      b.sfit[t + 1] = static_cast<uint16_t>(modelObjectiveValue(in, b.slbit[t + 1], next, t));
    }
  }
}

void modelEvpopInitial(const ModelInstance& in, ModelState& s, const ModelSettings& settings) {
  current = settings;
  ModelBlock b;
  loadSlots(in, s, b);
  evaluateAll(in, b, s.next);
  modelBitonicSort(b);
  if (current.repair) {
    modelRepairDuplicates(in, b, s.next);
    modelBitonicSort(b);
  }
  storeSlots(in, b, s);
}

void modelGAallInOneOperator(const ModelInstance& in, ModelState& s, float mutProb, uint16_t* cBest,
                             const ModelSettings& settings) {
  current = settings;
  ModelBlock b;
  loadSlots(in, s, b);
  for (int t = 0; t < kPopSize; ++t) b.sfit[t] = static_cast<uint16_t>(s.fit[t]);
  for (int gen = 0; gen < kGenerations; ++gen) {
    tournamentSelection(in, b, s.next);
    crossover(in, b, s.next);
    mutation(in, b, s.next, mutProb);
    evaluateAll(in, b, s.next);
    modelBitonicSort(b);
    if (current.repair) {
      modelRepairDuplicates(in, b, s.next);
      modelBitonicSort(b);
    }
  }
  storeSlots(in, b, s);
  *cBest = b.sfit[0];
}
