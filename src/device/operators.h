// The block-wide steps of the genetic algorithm: sort, duplicate repair,
// selection, crossover and mutation. Each is a list of block steps.
#pragma once

#include "device/fitness.h"

namespace SMETP_FORM {

enum { nelite = 16, tournSize = 8 };

// Elite and tournament size of a generation: the design's, known when the
// kernel is compiled (so its divisions stay divisions by constants), or the
// run's settings. The routines below take either.
struct DesignShape {
  static constexpr int elite = nelite, tournament = tournSize;
  static constexpr int candidates = popSize - elite;
};
struct RunShape {
  int elite, tournament, candidates;
};
DEVFN RunShape runShapeOf(const GaSettings& s) {
  RunShape r;
  r.elite = s.elite;
  r.tournament = s.tournament;
  r.candidates = popSize - s.elite;
  return r;
}
DEVFN bool isDesignShape(const GaSettings& s) {
  return s.elite == DesignShape::elite && s.tournament == DesignShape::tournament;
}

// The routines below work on either population: the design's block
// population (BlockPop, 16-bit fitness, slots of at most 1000 bits) or a wide
// run's (WidePop, 64-bit fitness, slots of the run's candidate links). Each
// population gives slotOf, slotWordsOf, scoreSlot, laneTempRow and its
// CrossIndex type.

// Bitonic sorting network over the 128 slots, ascending by fitness; equal
// values are never exchanged. An exchange swaps fitness and slot index.
template <class Pop>
DEVFN void bitonicSortPopulation(Block& block, Pop& sp) {
  for (int k = 2; k <= popSize; k <<= 1) {
    for (int j = k >> 1; j > 0; j >>= 1) {
      block.step([&](int t) {
        const int p = t ^ j;
        if (p <= t) return;
        const auto a = sp.sfit[t], b = sp.sfit[p];
        if ((t & k) == 0 ? a > b : a < b) {
          sp.sfit[t] = b;
          sp.sfit[p] = a;
          const unsigned char i = sp.sidx[t];
          sp.sidx[t] = sp.sidx[p];
          sp.sidx[p] = i;
        }
      });
    }
  }
}

// Wherever slot t + 1 has the same fitness as slot t, lane t refills slot t + 1
// at random from stream t + 1 and scores it with its own stream. Three
// phases: all decisions, then all refills, then all evaluations.
template <class Pop>
DEVFN void repairDuplicates(Block& block, Pop& sp, PerLane<bool>& dup,
                            unsigned long long hardSteps) {
  block.step([&](int t) { dup[t] = t < popSize - 1 && sp.sfit[t] == sp.sfit[t + 1]; });
  block.step([&](int t) {
    if (dup[t])
      randomizeBits(rowBytes(slotOf(sp, t + 1)), sp.run.probNl, sp.run.graphdensity, sp.run.next,
                    t + 1, t);
  });
  block.advanceOwnStreams(sp.run.next, hardSteps, [&](int t) { return bool(dup[t]); });
  block.step([&](int t) {
    if (dup[t]) sp.sfit[t + 1] = scoreSlot(sp, t + 1, t);
  });
}

// Evaluates every slot: the hardness work on each lane's own stream, then the
// fitness of the lane's slot. In a generation the elite slots are unchanged
// since their fitness was computed (selection, crossover and mutation never
// touch them, and a launch starts from records whose fit is their fitness),
// so their evaluation keeps the value it would compute again.
template <class Pop>
DEVFN void evaluatePopulation(Block& block, Pop& sp, unsigned long long hardSteps,
                              int firstChanged) {
  block.advanceOwnStreams(sp.run.next, hardSteps, [](int) { return true; });
  block.step([&](int t) {
    if (t >= firstChanged) sp.sfit[t] = scoreSlot(sp, t, t);
  });
}

struct SlotCopy {
  SlotWord w[slotWords];
};

// The design's population: its fitness as the sort keeps it, its word count
// and the lane's copy of a tournament winner.
DEVFN unsigned short scoreSlot(BlockPop& sp, int slot, int) {
  return (unsigned short)fitnessOfSlot(sp, slotOf(sp, slot));
}
DEVFN int slotWordsOf(const BlockPop&) { return slotWords; }
DEVFN SlotWord* laneTempRow(BlockPop&, PerLane<SlotCopy>& temp, int t) { return temp[t].w; }

// Tournaments of eight (the design) among slots 16..127, lanes 16..127: the
// winners are read before any lane overwrites its slot. With other settings,
// tournaments of `tournament` among the slots from `elite` on.
template <class Pop, class Shape>
DEVFN void tournamentSelection(Block& block, Pop& sp, const Shape& shape,
                               PerLane<SlotCopy>& lbitTemp, PerLane<typename Pop::Fit>& winFit) {
  const int nl = sp.run.probNl;
  unsigned* const streams = sp.run.next;
  block.step([&](int t) {
    if (t < shape.elite) return;
    int w = shape.elite + devRand(streams, t, t) % shape.candidates;
    for (int i = 1; i < shape.tournament; ++i) {
      const int c = shape.elite + devRand(streams, t, t) % shape.candidates;
      if (sp.sfit[w] > sp.sfit[c]) w = c;
    }
    winFit[t] = sp.sfit[w];
    copyBits(laneTempRow(sp, lbitTemp, t), slotOf(sp, w), nl);
  });
  block.step([&](int t) {
    if (t < shape.elite) return;
    sp.sfit[t] = winFit[t];
    copyBits(slotOf(sp, t), laneTempRow(sp, lbitTemp, t), nl);
  });
}

// Single-point crossover. Lanes 16, 18, ..., 126 draw two distinct partners
// among slots 16..127 and, with probability 0.85, a cut point; the exchanges
// are then applied in ascending lane order, word position by word position
// (positions are independent, so this equals applying each exchange whole).
// With other settings the crossing lanes are elite, elite + 2, ..., below 128,
// and the partners come from the slots from `elite` on.
template <class Pop, class Shape>
DEVFN void crossover(Block& block, Pop& sp, const Shape& shape, int crossThreshold) {
  const int nl = sp.run.probNl;
  unsigned* const streams = sp.run.next;
  const int elite = shape.elite, candidates = shape.candidates;
  const int lanes = (candidates + 1) >> 1;
  block.step([&](int t) {
    if (t < elite || ((t - elite) & 1)) return;
    const int slot = (t - elite) >> 1;
    const int k1 = devRand(streams, t, t) % candidates;
    const int p1 = elite + k1;
    const int k2 = devRand(streams, t, t) % (candidates - 1);
    const int p2 = elite + k2 < p1 ? elite + k2 : elite + 1 + k2;
    typedef typename Pop::CrossIndex Index;
    sp.crossP1[slot] = (Index)p1;
    sp.crossP2[slot] = (Index)p2;
    sp.crossCut[slot] = -1;
    if (devRand(streams, t, t) < crossThreshold && nl > 0)
      sp.crossCut[slot] = (Index)(devRand(streams, t, t) % nl);
  });
  // Lane k takes words k, k + 128, ... (the design's slots have 16).
  const int words = slotWordsOf(sp);
  block.step([&](int lane) {
    for (int w = lane; w < words && 64 * w < nl; w += blockLanes) {
      const SlotWord below = wordMaskBelow(w, nl);
      for (int l = 0; l < lanes; ++l) {
        const int cut = sp.crossCut[l];
        if (cut < 0) continue;
        const SlotWord mask = below & ~wordMaskBelow(w, cut);
        if (!mask) continue;
        const auto a = slotOf(sp, sp.crossP1[l]);
        const auto b = slotOf(sp, sp.crossP2[l]);
        const SlotWord d = (a[w] ^ b[w]) & mask;
        a[w] ^= d;
        b[w] ^= d;
      }
    }
  });
}

// Per-bit mutation of slots 16..127 (from `elite` on) with the probability
// the host set, read once per generation and turned into its draw threshold.
template <class Pop, class Shape>
DEVFN void mutation(Block& block, Pop& sp, const Shape& shape, const float* mutationProb) {
  const int nl = sp.run.probNl;
  unsigned* const streams = sp.run.next;
  const int threshold = probabilityThreshold(*mutationProb);
  block.step([&](int t) {
    if (t >= shape.elite) mutateBits(rowBytes(slotOf(sp, t)), nl, threshold, streams, t);
  });
}

}  // namespace SMETP_FORM
