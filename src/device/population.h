// The block's working population in shared memory, and the run it belongs to.
// Slots are reached through sidx, so that the sort exchanges one-byte indices
// instead of whole slots: slot t is row sidx[t] of slbit (in the row layout of
// bits.h).
#pragma once

#include "device/bits.h"
#include "problem/chrom.h"
#include "problem/settings.h"

namespace SMETP_FORM {

// Crossing lanes: 56 in the design (elite 16), at most 64 (elite 0).
enum { maxIncident = maxNodes - 1, crossingLanes = 64 };

// The run a block works on, as every generation routine reads it: the
// instance, the run parameters and the run's 128 generator words. It is filled
// at kernel start from the named device variables (the single run) or from
// the block's entry of the batch arrays, so the routines never know which.
// The edge table stays where the run keeps it: it is read while the fitness
// tables are built at kernel start, and by the fitness only where those tables
// do not apply (an edge order no loaded graph has).
struct RunView {
  int probNn;
  int probNl;
  int probNlBytes;
  int objvalhardness;
  float graphdensity;
  unsigned* next;        // the run's generator states, one per lane
  const Link* probLink;  // the run's maxEdges edges
  int nIdx[maxNodes];
  GaSettings settings;  // the design's for the single run
};

#ifndef __CUDACC__
// CPU form, where the processor shuffles bits (AVX-512 BITALG): rankNode[v][i]
// is node v's neighbour of rank i in heavier[v] (0 = heaviest), and 63, a
// node that never exists, past its count; so the selected neighbours of v,
// shuffled by this table, have the rank of the heaviest as their lowest bit.
struct RankTables {
  int use;
  alignas(64) unsigned char rankNode[maxNodes][64];
};
#endif

struct BlockPop {
  typedef unsigned short Fit;  // the sort's key: the 16-bit fitness
  typedef short CrossIndex;    // partners and cut points of the crossover plan
  RunView run;
  SlotWord slbit[popSize][slotWords];
  unsigned short sfit[popSize];
  unsigned char sidx[popSize];
  // Energy tables, used when edgeOrderMatches: heavier[v][i] is the mask of
  // the i + 1 heaviest neighbours of node v (positive weights only) and
  // heavierWeight[v][i] the weight of the (i + 1)-th, so that a node's power is
  // the weight at the first mask that meets its selected neighbours.
  SlotWord heavier[maxNodes][maxIncident];
  short heavierWeight[maxNodes][maxIncident];
  unsigned char heavierCount[maxNodes];
  // Set when edge e of probLink is the pair that edgeIndex numbers e, for
  // every e, and no other pair has an index below probNl: then bit e selects
  // the same link for the connectivity search and for the energy.
  int edgeOrderMatches;
  // The crossover plan of one generation: partners and cut point of each
  // crossing lane, cut -1 when its test failed.
  short crossP1[crossingLanes];
  short crossP2[crossingLanes];
  short crossCut[crossingLanes];
#ifndef __CUDACC__
  RankTables ranks;  // not in a CUDA block's shared memory
#endif
};
// A CUDA block keeps this in static shared memory. At most 37,888 bytes, so
// that an SM holds six blocks on sm_90 (228 KB, 1 KB of it kept per block) and
// four on sm_80 (164 KB); the energy tables are read on every evaluation, so
// they live here too.
enum { blockPopBudget = 37888 };
#ifdef __CUDACC__
static_assert(sizeof(BlockPop) <= blockPopBudget, "the block population must fit its budget");
#else
static_assert(sizeof(BlockPop) - sizeof(RankTables) <= blockPopBudget,
              "the block population must fit its budget");
#endif

DEVFN SlotRow slotOf(BlockPop& sp, int t) {
  const int row = sp.sidx[t];
  return slotRow(sp.slbit[row], row);
}

}  // namespace SMETP_FORM
