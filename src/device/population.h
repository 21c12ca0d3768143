// The block's working population in shared memory. Slots are reached through
// sidx, so that the sort exchanges one-byte indices instead of whole slots:
// slot t is row sidx[t] of slbit.
#pragma once

#include "device/bits.h"
#include "problem/chrom.h"

namespace SMETP_FORM {

enum { maxIncident = maxNodes - 1, crossingLanes = 56 };

struct BlockPop {
  SlotWord slbit[popSize][slotWords];
  unsigned short sfit[popSize];
  unsigned char sidx[popSize];
  // For each node, its incident edges of positive weight, heaviest first: a
  // node's power is the weight of the first selected edge in its list.
  unsigned short incEdge[maxNodes][maxIncident];
  short incWeight[maxNodes][maxIncident];
  unsigned char incCount[maxNodes];
  // The crossover plan of one generation: partners and cut point of each
  // crossing lane, cut -1 when its test failed.
  short crossP1[crossingLanes];
  short crossP2[crossingLanes];
  short crossCut[crossingLanes];
};

DEVFN SlotWord* slotOf(BlockPop& sp, int t) { return sp.slbit[sp.sidx[t]]; }
DEVFN unsigned char* slotBytePtr(BlockPop& sp, int t) {
  return reinterpret_cast<unsigned char*>(sp.slbit[sp.sidx[t]]);
}

}  // namespace SMETP_FORM
