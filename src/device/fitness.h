// The objective: the energy of a topology (each node transmits with the
// largest weight among its selected links) when its links connect all nodes,
// 65000 otherwise; lower is better.
#pragma once

#include "device/population.h"
#include "device/symbols.h"

namespace SMETP_FORM {

// Edge index of the pair {i, j}, or -1 when that index is not below probNl.
DEVFN int edgeIndex(const RunView& run, int i, int j) {
  const int k = i < j ? run.nIdx[i] + (j - i) - 1 : run.nIdx[j] + (i - j) - 1;
  return k < run.probNl ? k : -1;
}

// Generator steps of the hardness work: twice `nodes` to the power `hardness`
// (32-bit wrapping product), none when that is not positive. The wrapped power
// comes from repeated squaring, so a huge exponent costs a few dozen
// multiplications.
DEVFN unsigned long long hardnessSteps(int nodes, int hardness) {
  if (hardness <= 0) return 0;
  unsigned p = 1, base = (unsigned)nodes;
  for (unsigned e = (unsigned)hardness; e; e >>= 1) {
    if (e & 1u) p *= base;
    base *= base;
  }
  const int signedP = (int)p;
  return signedP > 0 ? 2ull * (unsigned long long)signedP : 0;
}
DEVFN unsigned long long hardnessSteps(const RunView& run) {
  return hardnessSteps(run.probNn, run.objvalhardness);
}

// Extra work that makes an evaluation cost more without changing its result:
// `steps` single steps of lane t's own stream, the values discarded.
DEVFN void hardnessWork(unsigned* streams, int t, unsigned long long steps) {
  advanceStream(streams, t, steps);
}

// Lane t's share of filling the block's run view from the named device
// variables (the single run).
DEVFN void viewNamedRun(RunView& run, int t) {
  if (t == 0) {
    run.probNn = probNn;
    run.probNl = probNl;
    run.probNlBytes = probNlBytes;
    run.objvalhardness = objvalhardness;
    run.graphdensity = graphdensity;
    run.next = next;
    run.settings = designGaSettings();
  }
  for (int i = t; i < maxNodes; i += blockLanes) run.nIdx[i] = nIdx[i];
  if (t == 0) run.probLink = probLink;
}

// True when probLink lists, for every edge e, the pair that edgeIndex maps to
// e, and exactly probNl pairs have an edge index (as loaded graph files do).
DEVFN int edgeOrderMatchesIndex(const RunView& run) {
  const int n = run.probNn, nl = run.probNl;
  if (n < 1 || n > maxNodes || nl < 0 || nl > maxEdges) return 0;
  for (int e = 0; e < nl; ++e) {
    const Link l = run.probLink[e];
    if (l.from < 0 || l.from >= l.to || l.to >= n || edgeIndex(run, l.from, l.to) != e) return 0;
  }
  int indexed = 0;
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j) indexed += edgeIndex(run, i, j) != -1;
  return indexed == nl;
}

#ifndef __CUDACC__
// True when the processor has the AVX-512 bit shuffle and the portable CPU
// form is not asked for (SMETP_PORTABLE_CPU set to anything but 0).
bool cpuShufflesBits();

// Transposes a 64 x 64 bit matrix in place: bit c of word r and bit r of word
// c change places.
void transposeBits64(SlotWord* m);

// The energy of nodes 0..n-1 whose selected neighbours are adj[v]: each node's
// heaviest selected neighbour found by one bit shuffle into rank order.
int energyByRanks(const SlotWord* adj, int n, const unsigned char (*rankNode)[64],
                  const short (*heavierWeight)[maxIncident]);
#endif

// Builds node v's energy table from probLink: its neighbours of positive
// weight, heaviest first, as growing masks.
DEVFN void buildEnergyTable(BlockPop& sp, int v) {
  const int n = sp.run.probNn, nl = sp.run.probNl;
  if (v >= n || v >= maxNodes) return;
  short weight[maxIncident];
  unsigned char node[maxIncident];
  int count = 0;
  for (int e = 0; e < nl && e < maxEdges && count < maxIncident; ++e) {
    const Link l = sp.run.probLink[e];
    if ((l.from != v && l.to != v) || l.weight <= 0) continue;
    const int other = l.from == v ? l.to : l.from;
    if (other < 0 || other >= n) continue;
    int pos = count++;
    while (pos > 0 && weight[pos - 1] < l.weight) {
      weight[pos] = weight[pos - 1];
      node[pos] = node[pos - 1];
      --pos;
    }
    weight[pos] = l.weight;
    node[pos] = (unsigned char)other;
  }
  SlotWord mask = 0;
  for (int i = 0; i < count; ++i) {
    mask |= 1ull << node[i];
    sp.heavier[v][i] = mask;
    sp.heavierWeight[v][i] = weight[i];
  }
  sp.heavierCount[v] = (unsigned char)count;
#ifndef __CUDACC__
  for (int i = 0; i < 64; ++i) sp.ranks.rankNode[v][i] = i < count ? node[i] : 63;
#endif
}

// Lane v's share of the per-launch tables: node v's energy table, and lane 0
// checks the edge order.
DEVFN void buildFitnessTables(BlockPop& sp, int v) {
  buildEnergyTable(sp, v);
  if (v == 0) sp.edgeOrderMatches = edgeOrderMatchesIndex(sp.run);
#ifndef __CUDACC__
  if (v == 0) sp.ranks.use = cpuShufflesBits();
#endif
}

// Bits [start, start + len) of a slot, len below 64, as the low bits of a word.
DEVFN SlotWord extractBits(SlotRow slot, int start, int len) {
  const int w = start >> 6, off = start & 63;
  SlotWord v = slot[w] >> off;
  if (off + len > 64 && w + 1 < slotWords) v |= slot[w + 1] << (64 - off);
  return len >= 64 ? v : v & ((1ull << len) - 1ull);
}

// Energy by the edges themselves: each selected edge raises the power of both
// its nodes to its weight. Used when the tables do not apply.
DEVFN int energyByEdges(const RunView& run, SlotRow slot) {
  const int n = run.probNn, nl = run.probNl;
  int z[maxNodes];
  for (int v = 0; v < n; ++v) z[v] = 0;
  for (int w = 0; w < slotWords && 64 * w < nl; ++w) {
    SlotWord bits = slot[w] & wordMaskBelow(w, nl);
    while (bits) {
      const int e = 64 * w + lowestSetBit64(bits);
      bits &= bits - 1;
      const Link l = run.probLink[e];
      if (l.from < 0 || l.from >= n || l.to < 0 || l.to >= n) continue;
      if (z[l.from] < l.weight) z[l.from] = l.weight;
      if (z[l.to] < l.weight) z[l.to] = l.weight;
    }
  }
  int energy = 0;
  for (int v = 0; v < n; ++v) energy += z[v];
  return energy;
}

// The selected pairs of a slot as adjacency masks: adj[u] bit v when the bit
// that edgeIndex gives the pair {u, v} is set.
DEVFN void slotAdjacency(const RunView& run, SlotRow slot, SlotWord* adj) {
  const int n = run.probNn, nl = run.probNl;
  for (int u = 0; u < n; ++u) adj[u] = 0;
  for (int u = 0; u < n - 1; ++u) {
    const int start = run.nIdx[u];
    int len = n - u - 1;
    if (start < 0 || start >= nl) continue;
    if (start + len > nl) len = nl - start;
    SlotWord upper = extractBits(slot, start, len) << (u + 1);
    adj[u] |= upper;
    while (upper) {
      adj[lowestSetBit64(upper)] |= 1ull << u;
      upper &= upper - 1;
    }
  }
}

// Fitness of a slot: connectivity by breadth-first search from node 0 over
// the pairs that edgeIndex maps to a set bit, then the energy sum.
DEVFN int fitnessOfSlot(const BlockPop& sp, SlotRow slot) {
  const int n = sp.run.probNn;
  if (n <= 0 || n > maxNodes) return infeasibleFit;
    // adj[u]: the nodes whose pair with u is selected, as a bit mask. The pairs
    // (u, j), j > u, have the consecutive indices nIdx[u] .. nIdx[u] + n - u - 2.
#ifdef __CUDACC__
  SlotWord adj[maxNodes];
  slotAdjacency(sp.run, slot, adj);
#else
  // The CPU form takes the rows' upper parts, then their lower parts from the
  // transposed bit matrix.
  const int nl = sp.run.probNl;
  alignas(32) SlotWord adj[64];
  alignas(32) SlotWord lower[64];
  for (int u = 0; u < 64; ++u) adj[u] = 0;
  for (int u = 0; u < n - 1; ++u) {
    const int start = sp.run.nIdx[u];
    int len = n - u - 1;
    if (start < 0 || start >= nl) continue;
    if (start + len > nl) len = nl - start;
    adj[u] = extractBits(slot, start, len) << (u + 1);
  }
  for (int u = 0; u < 64; ++u) lower[u] = adj[u];
  transposeBits64(lower);
  for (int u = 0; u < n; ++u) adj[u] |= lower[u];
#endif
  const SlotWord all = (1ull << n) - 1ull;
  SlotWord reached = 1, frontier = 1;
  while (frontier) {
    SlotWord found = 0;
    for (SlotWord f = frontier; f; f &= f - 1) found |= adj[lowestSetBit64(f)];
    frontier = found & ~reached & all;
    reached |= frontier;
  }
  if (reached != all) return infeasibleFit;
  int energy = 0;
#ifndef __CUDACC__
  if (sp.edgeOrderMatches && sp.ranks.use) {
    energy = energyByRanks(adj, n, sp.ranks.rankNode, sp.heavierWeight);
  } else
#endif
      if (sp.edgeOrderMatches) {
    for (int v = 0; v < n; ++v) {
      const int count = sp.heavierCount[v];
      const SlotWord near = adj[v];
      if (count == 0 || !(near & sp.heavier[v][count - 1])) continue;
      // The first mask that meets the selected neighbours, by a search whose
      // steps depend on the count only.
      int lo = 0;
      for (int len = count; len > 1;) {
        const int half = len >> 1;
        lo = (near & sp.heavier[v][lo + half - 1]) ? lo : lo + half;
        len -= half;
      }
      energy += sp.heavierWeight[v][lo];
    }
  } else {
    energy = energyByEdges(sp.run, slot);
  }
  return energy < maxFeasibleFit ? energy : maxFeasibleFit;
}

// The objective as the kernels call it: the hardness work on lane t's own
// stream, then the fitness of the slot.
DEVFN int objectiveValue(const BlockPop& sp, SlotRow slot, unsigned* streams, int t) {
  hardnessWork(streams, t, hardnessSteps(sp.run));
  return fitnessOfSlot(sp, slot);
}

}  // namespace SMETP_FORM
