// A wide run's population and the routines that differ from the design's:
// slots of one bit per candidate link, kept in the run's device area (global
// memory in CUDA, the run's own buffer in the CPU form), 64-bit fitness, and
// the spanning-tree steps over candidate links. Selection, crossover,
// mutation, sort and duplicate repair are the routines of operators.h.
#pragma once

#include "device/operators.h"
#include "problem/wide.h"

namespace SMETP_FORM {

// The run a block works on, as the generation routines read it (the names
// they read are those of RunView).
struct WideView {
  int probNn;
  int probNl;
  int objvalhardness;
  float graphdensity;
  unsigned* next;
  GaSettings settings;
  int words;
  const WideLink* links;
  const int* byWeight;
  SlotWord* rows;
  SlotWord* temp;
  int* work;
};

// The block's part of a wide population: fitness and row of each slot, and
// the crossover plan; the rows themselves stay in the run's area.
struct WidePop {
  typedef unsigned long long Fit;
  typedef int CrossIndex;
  WideView run;
  unsigned long long sfit[popSize];
  unsigned char sidx[popSize];
  int crossP1[crossingLanes];
  int crossP2[crossingLanes];
  int crossCut[crossingLanes];
};

DEVFN unsigned long long hardnessSteps(const WideView& run) {
  return hardnessSteps(run.probNn, run.objvalhardness);
}

DEVFN SlotWord* wideRow(const WideView& run, int row) {
  return run.rows + (unsigned long long)row * (unsigned long long)run.words;
}
DEVFN SlotWord* slotOf(WidePop& sp, int t) { return wideRow(sp.run, sp.sidx[t]); }
DEVFN int slotWordsOf(const WidePop& sp) { return sp.run.words; }
DEVFN SlotWord* wideTempRow(const WideView& run, int t) {
  return run.temp + (unsigned long long)t * (unsigned long long)run.words;
}
DEVFN SlotWord* laneTempRow(WidePop& sp, PerLane<SlotCopy>&, int t) {
  return wideTempRow(sp.run, t);
}

// Lane t's work arrays: 3n ints (union-find parents, powers, spare powers).
DEVFN int* laneWork(const WideView& run, int t) {
  return run.work + (unsigned long long)t * 3ull * (unsigned long long)run.probNn;
}

DEVFN int wideRoot(int* parent, int v) {
  while (parent[v] != v) {
    parent[v] = parent[parent[v]];
    v = parent[v];
  }
  return v;
}

// Joins the pieces of u and v; true when they were apart.
DEVFN bool wideJoin(int* parent, int u, int v) {
  const int a = wideRoot(parent, u), b = wideRoot(parent, v);
  if (a == b) return false;
  if (a < b)
    parent[b] = a;
  else
    parent[a] = b;
  return true;
}

DEVFN bool rowBit(const SlotWord* row, int e) { return (row[e >> 6] >> (e & 63)) & 1ull; }

// The nodes' powers for the links a row selects (each the largest weight of
// its selected links, never below 0) into power[], and their sum.
DEVFN unsigned long long widePowers(const WideView& run, const SlotWord* row, int* power) {
  const int n = run.probNn, nl = run.probNl;
  for (int v = 0; v < n; ++v) power[v] = 0;
  for (int w = 0; 64 * w < nl; ++w)
    for (SlotWord bits = row[w] & wordMaskBelow(w, nl); bits; bits &= bits - 1) {
      const WideLink l = run.links[64 * w + lowestSetBit64(bits)];
      if (l.weight > power[l.from]) power[l.from] = l.weight;
      if (l.weight > power[l.to]) power[l.to] = l.weight;
    }
  unsigned long long energy = 0;
  for (int v = 0; v < n; ++v) energy += (unsigned)power[v];
  return energy;
}

// The score of a row, with lane t's work arrays: its energy when its links
// connect all nodes, else (pieces - 1) * wideUnconnectedStep + its energy.
DEVFN unsigned long long wideScore(const WideView& run, const SlotWord* row, int t) {
  const int n = run.probNn, nl = run.probNl;
  int* parent = laneWork(run, t);
  for (int v = 0; v < n; ++v) parent[v] = v;
  int pieces = n;
  for (int w = 0; 64 * w < nl; ++w)
    for (SlotWord bits = row[w] & wordMaskBelow(w, nl); bits; bits &= bits - 1) {
      const WideLink l = run.links[64 * w + lowestSetBit64(bits)];
      pieces -= wideJoin(parent, l.from, l.to);
    }
  const unsigned long long energy = widePowers(run, row, parent + n);
  return (unsigned long long)(pieces - 1) * wideUnconnectedStep + energy;
}

DEVFN unsigned long long scoreSlot(WidePop& sp, int slot, int t) {
  return wideScore(sp.run, slotOf(sp, slot), t);
}

// Writes into `out` the minimum spanning forest (Kruskal, lightest link
// first, ties by link index) of the candidate links that `usable` allows;
// returns the pieces it leaves. Uses parent[0..n-1].
template <class Usable>
DEVFN int wideSpanningTree(const WideView& run, Usable usable, SlotWord* out, int* parent) {
  const int n = run.probNn, nl = run.probNl;
  for (int v = 0; v < n; ++v) parent[v] = v;
  for (int w = 0; w < run.words; ++w) out[w] = 0;
  int pieces = n;
  for (int k = 0; k < nl && pieces > 1; ++k) {
    const int e = run.byWeight[k];
    if (!usable(e)) continue;
    const WideLink l = run.links[e];
    if (!wideJoin(parent, l.from, l.to)) continue;
    out[e >> 6] |= 1ull << (e & 63);
    --pieces;
  }
  return pieces;
}

// init=mst: slot t becomes the minimum spanning tree of the candidate links
// (lane t's work arrays and temp row).
DEVFN void plantWideTree(WidePop& sp, int t) {
  SlotWord* tree = wideTempRow(sp.run, t);
  wideSpanningTree(
      sp.run, [](int) { return true; }, tree, laneWork(sp.run, t));
  copyBits(slotOf(sp, t), tree, sp.run.probNl);
}

enum { wideRetreeRounds = 32 };

// The memetic step on slot t by lane t, when the slot connects all nodes:
// prune keeps the minimum spanning tree of its links; ls then takes, while
// that lowers the energy (at most wideRetreeRounds times), the minimum
// spanning tree of every candidate link that the tree's powers already allow.
// Neither raises the energy, so the slot's score never rises.
DEVFN void wideMemeticSlot(WidePop& sp, int t) {
  const WideView& run = sp.run;
  if (sp.sfit[t] >= wideUnconnectedStep) return;
  SlotWord* slot = slotOf(sp, t);
  SlotWord* tree = wideTempRow(sp.run, t);
  int* parent = laneWork(run, t);
  int* power = parent + run.probNn;
  int* spare = power + run.probNn;
  wideSpanningTree(
      run, [&](int e) { return rowBit(slot, e); }, tree, parent);
  if (run.settings.memetic == gaMemeticLs) {
    unsigned long long energy = widePowers(run, tree, power);
    for (int round = 0; round < wideRetreeRounds; ++round) {
      const int pieces = wideSpanningTree(
          run,
          [&](int e) {
            const WideLink l = run.links[e];
            return l.weight <= power[l.from] && l.weight <= power[l.to];
          },
          slot, parent);
      const unsigned long long again = widePowers(run, slot, spare);
      if (pieces != 1 || again >= energy) break;
      copyBits(tree, slot, run.probNl);
      energy = widePowers(run, tree, power);
    }
  }
  copyBits(slot, tree, run.probNl);
  sp.sfit[t] = wideScore(run, slot, t);
}

// The memetic step of a generation: lane t on slot t, for the slots below
// memetic_count. Each lane touches only its own slot's row, its temp row and
// its work arrays.
DEVFN void memeticStep(Block& block, WidePop& sp, PerLane<SlotWord>&) {
  const int count = sp.run.settings.memeticCount;
  block.step([&](int t) {
    if (t < count) wideMemeticSlot(sp, t);
  });
}

}  // namespace SMETP_FORM
