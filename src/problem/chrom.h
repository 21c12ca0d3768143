// Records that host and device share: one chromosome of the population and one
// edge of the instance.
#pragma once

// One chromosome: the device address of its bit string and its fitness. The
// kernels use the low 16 bits of fit, unsigned; lower is better and 65000 marks
// a topology that does not connect all nodes.
struct Chrom {
  unsigned char* lbit;
  int fit;
};

// One edge of the instance: 0-based end nodes (from < to) and the weight.
struct Link {
  short from;
  short to;
  short weight;
};
static_assert(sizeof(Link) == 6, "a Link is three packed 16-bit fields");

// Sizes fixed by the design.
enum {
  popSize = 128,    // lanes of the block, chromosomes of the population
  maxNodes = 45,    // nodes of the largest instance
  maxEdges = 990,   // edges of the largest instance (45 nodes, complete)
  slotBytes = 125,  // bytes of a block shared slot (room for 1000 bits)
  infeasibleFit = 65000,
  // A feasible topology's energy is capped here, so that it never reads as
  // infeasible nor wraps around in the 16-bit fitness; a best at the cap
  // hides a higher true energy.
  maxFeasibleFit = 64999,
};
