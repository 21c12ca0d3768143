// The objective: the energy of a topology (each node transmits with the
// largest weight among its selected links) when its links connect all nodes,
// 65000 otherwise; lower is better.
#pragma once

#include "device/population.h"
#include "device/symbols.h"

namespace SMETP_FORM {

// Energy of a feasible topology is capped here so that it never reads as
// infeasible (65000) nor wraps around in the 16-bit fitness.
enum { maxFeasibleFit = 64999 };

// Edge index of the pair {i, j}, or -1 when that index is not below probNl.
DEVFN int edgeIndex(int i, int j) {
  const int k = i < j ? nIdx[i] + (j - i) - 1 : nIdx[j] + (i - j) - 1;
  return k < probNl ? k : -1;
}

// Generator steps of the hardness work: twice probNn to the power
// objvalhardness (32-bit wrapping product), none when that is not positive.
DEVFN unsigned long long hardnessSteps() {
  const int h = objvalhardness;
  if (h <= 0) return 0;
  unsigned p = 1;
  for (int i = 0; i < h; ++i) p *= (unsigned)probNn;
  const int signedP = (int)p;
  return signedP > 0 ? 2ull * (unsigned long long)signedP : 0;
}

// Extra work that makes an evaluation cost more without changing its result:
// 2P single steps of lane t's own stream, the values discarded.
DEVFN void hardnessWork(unsigned* streams, int t) {
  const unsigned long long steps = hardnessSteps();
  if (steps == 0) return;
  unsigned s = streams[t];
  const unsigned c = laneIncrement(t) + randAdd;
  for (unsigned long long k = 0; k < steps; ++k) s = s * randMul + c;
  streams[t] = s;
}

// Builds the per-node lists of incident edges (by probLink), heaviest first.
// Lane v builds node v's list.
DEVFN void buildIncidentList(BlockPop& sp, int v) {
  const int n = probNn, nl = probNl;
  if (v >= n || v >= maxNodes) return;
  int count = 0;
  for (int e = 0; e < nl && e < maxEdges; ++e) {
    const Link l = probLink[e];
    if ((l.from != v && l.to != v) || l.weight <= 0) continue;
    // Insertion by weight; a full list drops its lightest entry.
    int pos = count < maxIncident ? count : maxIncident - 1;
    if (count == maxIncident && sp.incWeight[v][pos] >= l.weight) continue;
    while (pos > 0 && sp.incWeight[v][pos - 1] < l.weight) {
      sp.incWeight[v][pos] = sp.incWeight[v][pos - 1];
      sp.incEdge[v][pos] = sp.incEdge[v][pos - 1];
      --pos;
    }
    sp.incWeight[v][pos] = l.weight;
    sp.incEdge[v][pos] = (unsigned short)e;
    if (count < maxIncident) ++count;
  }
  sp.incCount[v] = (unsigned char)count;
}

// Bits [start, start + len) of a slot, len below 64, as the low bits of a word.
DEVFN SlotWord extractBits(const SlotWord* slot, int start, int len) {
  const int w = start >> 6, off = start & 63;
  SlotWord v = slot[w] >> off;
  if (off + len > 64 && w + 1 < slotWords) v |= slot[w + 1] << (64 - off);
  return len >= 64 ? v : v & ((1ull << len) - 1ull);
}

// Fitness of a slot: connectivity by breadth-first search from node 0 over
// the pairs that edgeIndex maps to a set bit, then the energy sum.
DEVFN int fitnessOfSlot(const BlockPop& sp, const SlotWord* slot) {
  const int n = probNn, nl = probNl;
  if (n <= 0 || n > maxNodes) return infeasibleFit;
  // upper[u]: the nodes j > u whose pair with u is selected, as a bit mask.
  SlotWord upper[maxNodes];
  for (int u = 0; u < n; ++u) {
    upper[u] = 0;
    if (u >= n - 1) continue;
    const int start = nIdx[u];
    int len = n - u - 1;
    if (start < 0 || start >= nl) continue;
    if (start + len > nl) len = nl - start;
    upper[u] = extractBits(slot, start, len) << (u + 1);
  }
  const SlotWord all = n == 64 ? ~0ull : (1ull << n) - 1ull;
  SlotWord reached = 1, frontier = 1;
  while (frontier) {
    SlotWord found = 0;
    for (int u = 0; u < n; ++u) {
      if ((frontier >> u) & 1ull) found |= upper[u];
      if (upper[u] & frontier) found |= 1ull << u;
    }
    frontier = found & ~reached & all;
    reached |= frontier;
  }
  if (reached != all) return infeasibleFit;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(slot);
  int energy = 0;
  for (int v = 0; v < n; ++v) {
    const int count = sp.incCount[v];
    for (int i = 0; i < count; ++i) {
      if (getBit(sp.incEdge[v][i], bytes)) {
        energy += sp.incWeight[v][i];
        break;
      }
    }
  }
  return energy < maxFeasibleFit ? energy : maxFeasibleFit;
}

// The objective as the kernels call it: the hardness work on lane t's own
// stream, then the fitness of the slot.
DEVFN int objectiveValue(const BlockPop& sp, const SlotWord* slot, unsigned* streams, int t) {
  hardnessWork(streams, t);
  return fitnessOfSlot(sp, slot);
}

}  // namespace SMETP_FORM
