// A wide run's device area built on the host, for the tests that launch the
// batch kernels on wide runs directly, and random wide instances.
#pragma once

#include <cstring>
#include <random>
#include <vector>

#include "problem/batchrun.h"
#include "problem/widegraph.h"

struct HostWideRun {
  std::vector<unsigned long long> area;  // 8-byte aligned
  WideRun layout;
};

// The area of a run over the candidate links c, as the batch engine sets it up.
inline void makeHostWideRun(const WideCandidates& c, HostWideRun* h) {
  const int nl = int(c.links.size());
  size_t bytes = 0;
  wideRunLayout(nullptr, c.n, nl, &bytes);
  h->area.assign(bytes / 8 + 1, 0);
  unsigned char* base = reinterpret_cast<unsigned char*>(h->area.data());
  h->layout = wideRunLayout(base, c.n, nl, &bytes);
  std::memcpy(base, &h->layout, sizeof h->layout);
  std::memcpy(const_cast<WideLink*>(h->layout.links), c.links.data(),
              sizeof(WideLink) * size_t(nl));
  std::memcpy(const_cast<int*>(h->layout.byWeight), c.byWeight.data(), sizeof(int) * size_t(nl));
  std::memcpy(const_cast<int*>(h->layout.atFirst), c.atFirst.data(),
              sizeof(int) * c.atFirst.size());
  std::memcpy(const_cast<int*>(h->layout.atLinks), c.atLinks.data(),
              sizeof(int) * c.atLinks.size());
}

// A complete graph on n nodes with random weights from 0 to maxWeight.
inline WideGraph randomWideGraph(int n, int maxWeight, std::mt19937& rng) {
  WideGraph g;
  g.n = n;
  std::uniform_int_distribution<int> weight(0, maxWeight);
  for (int u = 0; u < n; ++u)
    for (int v = u + 1; v < n; ++v) g.links.push_back(WideLink{u, v, weight(rng)});
  return g;
}
