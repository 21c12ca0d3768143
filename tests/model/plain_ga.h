// A plain, single-threaded model of the device GA engine, used only by tests to
// check the kernels. It favours obviousness over speed: every bit goes through
// getBit/setBit/clearBit, the block runs as 128 lanes one after another between
// barriers (ascending lane order), and every random draw is one generator step.
//
// One intended difference from a naive energy sum: a feasible topology scores
// min(energy, 64999), so it never collides with the infeasibility value 65000
// and never wraps around in the 16-bit fitness.
#pragma once

#include <cstdint>

// One instance as the device sees it in constant memory.
struct ModelInstance {
  int probNn;            // nodes
  int probNl;            // edges
  int probNlBytes;       // probNl/8 + 3
  int16_t link[990][3];  // from, to, weight (0-based nodes)
  int32_t nIdx[45];
  int32_t objvalhardness;
  float graphdensity;
};

// Builds a complete-graph instance of n nodes in row-major edge order, with the given weights
// (weights[k] for edge k) and parameters; fills nIdx as entry0=0, entry i = entry i-1 + (n-i).
ModelInstance modelCompleteInstance(int n, const int16_t* weights, int hardness, float density);

// The device-global state the kernels work on: the 128 generator states and the
// population records (bit string contents and fit field of record t).
struct ModelState {
  uint32_t next[128];            // generator states
  unsigned char bits[128][126];  // device bit string of record t (probNlBytes bytes used)
  int32_t fit[128];              // fit field of record t
};

// One generator step of stream idx taken by lane `lane`; returns 0..32767.
uint32_t modelDevRand(uint32_t next[128], int idx, int lane);
// Copies the 128 seeds into the generator states.
void modelSrand(ModelState& s, const uint32_t seeds[128]);
// Lane t fills bits 0..probNl-1 of record t from stream t.
void modelGenerateRandomPopulation(const ModelInstance& in, ModelState& s);
// Fitness of the bit string at `slot`, evaluated by lane `lane` (whose stream
// the hardness work advances). 65000 when the selected edges leave a node
// unreachable from node 0, otherwise min(energy, 64999).
int32_t modelObjectiveValue(const ModelInstance& in, const unsigned char* slot, uint32_t next[128],
                            int lane);
// Bit index of the pair {i, j}, or -1 when that index is not below probNl.
int modelEdgeIndex(const ModelInstance& in, int i, int j);

// Block-level pieces on a shared population, for unit tests:
struct ModelBlock {
  uint16_t sfit[128];
  unsigned char slbit[128][125];
};
void modelBitonicSort(ModelBlock& b);
void modelRepairDuplicates(const ModelInstance& in, ModelBlock& b, uint32_t next[128]);

// The GA settings the model follows (the design's by default): elite slots,
// tournament size, crossover probability and duplicate repair on or off.
struct ModelSettings {
  int elite = 16;
  int tournament = 8;
  float crossover = 0.85f;
  bool repair = true;
};

// The two evaluating kernels, whole. GAallInOneOperator needs probNl >= 1 (the
// crossover cut point is drawn modulo probNl).
void modelEvpopInitial(const ModelInstance& in, ModelState& s, const ModelSettings& settings = {});
void modelGAallInOneOperator(const ModelInstance& in, ModelState& s, float mutProb, uint16_t* cBest,
                             const ModelSettings& settings = {});
