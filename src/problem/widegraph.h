// A wide instance on the host: every link it lists, the candidate links a
// run's chromosome holds, and the layout of a wide run's device area.
#pragma once

#include <cstddef>
#include <vector>

#include "problem/wide.h"

// Every link of an instance, 0-based, from < to, ascending by (from, to).
struct WideGraph {
  int n = 0;
  std::vector<WideLink> links;
};

// A run's candidate links, ascending by (from, to), and their indices
// lightest first (ties by index): what the device's spanning trees take; and
// the links at each node: node v's are atLinks[atFirst[v] .. atFirst[v + 1] - 1],
// ascending.
struct WideCandidates {
  int n = 0;
  std::vector<WideLink> links;
  std::vector<int> byWeight;
  std::vector<int> atFirst;
  std::vector<int> atLinks;
};

// The candidate links of g: each node's k lightest links (ties by the other
// node's number) together with the links of a minimum spanning tree (Kruskal,
// lightest first, ties by (from, to)); every link when k <= 0.
WideCandidates wideCandidates(const WideGraph& g, int k);

// The weight of a minimum spanning tree of g, each weight counted from 0 up:
// no topology that connects g's nodes has a lower energy (each node but a
// root pays at least its link towards the root in a spanning tree of the
// topology).
unsigned long long wideTreeWeight(const WideGraph& g);

// True when g's links connect all its nodes.
bool wideConnected(const WideGraph& g);

// Where the parts of a wide run's device area lie, for an area that starts
// at `base` (a device address); *bytes gets the area's size.
WideRun wideRunLayout(unsigned char* base, int n, int nl, size_t* bytes);

// The energy of a topology (0-based links of g): its nodes' powers summed, as
// a 64-bit value; its pieces in *pieces.
unsigned long long wideEnergy(int n, const std::vector<WideLink>& chosen, int* pieces);
