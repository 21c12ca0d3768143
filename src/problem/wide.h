// Wide runs: instances beyond the design's 45 nodes and 16-bit weights. A
// wide run's chromosome holds one bit per candidate link of its instance (each
// node's K lightest links plus a minimum spanning tree's, or every link), and
// its energies are exact 64-bit sums. Records that host and device share.
#pragma once

#include "problem/chrom.h"

// One candidate link: 0-based end nodes (from < to) and the weight.
struct WideLink {
  int from;
  int to;
  int weight;
};

enum {
  wideMaxNodes = 2000,  // nodes of the largest instance a batch takes
  // K: each node's K lightest links are candidates by default. On complete
  // instances from coordinates (alpha 1 to 3, 150 to 1,000 nodes) K = 3 left
  // the GA above one local search from the spanning tree over all links; 6 to
  // 12 end level and below it, 8 in the middle.
  wideDefaultLinks = 8,
  wideLaneWorkArrays = 11,  // arrays of n ints in each lane's work area
};

// A topology that leaves the nodes in c > 1 pieces scores
// (c - 1) * wideUnconnectedStep + its energy. A connected topology's energy is
// below 2000 * (2^31 - 1) < 2^42, so every unconnected topology scores above
// every connected one, and fewer pieces score lower.
const unsigned long long wideUnconnectedStep = 1ull << 43;
// The best of a wide run before its first launch.
const unsigned long long wideNoBest = ~0ull;

// A wide run's device area: one allocation per run holding this header, then
// the arrays it points to (device addresses, filled in by the host).
struct WideRun {
  int n;      // nodes
  int nl;     // candidate links: bits of a chromosome
  int words;  // 64-bit words of a chromosome
  int pad;
  const WideLink* links;     // nl links, ascending by (from, to)
  const int* byWeight;       // the nl link indices, lightest first (ties by index)
  const int* atFirst;        // n + 1 places in atLinks: where each node's links begin
  const int* atLinks;        // 2 nl link indices: each node's links, ascending
  unsigned long long* rows;  // 128 rows of `words` words: the chromosomes
  unsigned long long* temp;  // 128 rows: each lane's copy of a tournament winner
  unsigned long long* fit;   // fitness of slot t, in sorted order, between launches
  unsigned char* idx;        // row of slot t, between launches
  int* work;                 // 128 lanes x wideLaneWorkArrays * n ints: each lane's work arrays
};
