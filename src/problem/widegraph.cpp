#include "problem/widegraph.h"

#include <algorithm>
#include <numeric>

namespace {

int root(std::vector<int>& parent, int v) {
  while (parent[size_t(v)] != v) {
    parent[size_t(v)] = parent[size_t(parent[size_t(v)])];
    v = parent[size_t(v)];
  }
  return v;
}

bool join(std::vector<int>& parent, int u, int v) {
  const int a = root(parent, u), b = root(parent, v);
  if (a == b) return false;
  parent[size_t(std::max(a, b))] = std::min(a, b);
  return true;
}

bool lighter(const WideLink& a, const WideLink& b) {
  if (a.weight != b.weight) return a.weight < b.weight;
  if (a.from != b.from) return a.from < b.from;
  return a.to < b.to;
}

size_t roundUp(size_t bytes) { return (bytes + 63) & ~size_t(63); }

// Fills c's atFirst and atLinks from its nodes and links.
void incidence(WideCandidates* c) {
  c->atFirst.assign(size_t(c->n) + 1, 0);
  for (const WideLink& l : c->links) {
    ++c->atFirst[size_t(l.from) + 1];
    ++c->atFirst[size_t(l.to) + 1];
  }
  for (size_t v = 0; v < size_t(c->n); ++v) c->atFirst[v + 1] += c->atFirst[v];
  c->atLinks.assign(2 * c->links.size(), 0);
  std::vector<int> at(c->atFirst.begin(), c->atFirst.end() - 1);
  for (size_t e = 0; e < c->links.size(); ++e) {
    c->atLinks[size_t(at[size_t(c->links[e].from)]++)] = int(e);
    c->atLinks[size_t(at[size_t(c->links[e].to)]++)] = int(e);
  }
}

// g's link indices lightest first, equal weights in (from, to) order.
std::vector<size_t> lightestFirst(const WideGraph& g) {
  std::vector<size_t> order(g.links.size());
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return lighter(g.links[a], g.links[b]); });
  return order;
}

// Kruskal over the links in `order`: calls take(i) for each tree link i.
template <class Take>
void minimumTree(const WideGraph& g, const std::vector<size_t>& order, Take take) {
  std::vector<int> parent(size_t(g.n));
  std::iota(parent.begin(), parent.end(), 0);
  for (size_t i : order)
    if (join(parent, g.links[i].from, g.links[i].to)) take(i);
}

}  // namespace

WideCandidates wideCandidates(const WideGraph& g, int k) {
  const size_t m = g.links.size();
  std::vector<char> keep(m, k <= 0 ? 1 : 0);
  if (k > 0) {
    const std::vector<size_t> order = lightestFirst(g);
    // Lightest first, equal weights in (from, to) order: a node's first k
    // links in this order are its k lightest, ties by the other node.
    std::vector<int> taken(size_t(g.n), 0);
    for (size_t i : order) {
      const WideLink& l = g.links[i];
      if (taken[size_t(l.from)] < k || taken[size_t(l.to)] < k) keep[i] = 1;
      ++taken[size_t(l.from)];
      ++taken[size_t(l.to)];
    }
    minimumTree(g, order, [&](size_t i) { keep[i] = 1; });
  }
  WideCandidates c;
  c.n = g.n;
  for (size_t i = 0; i < m; ++i)
    if (keep[i]) c.links.push_back(g.links[i]);
  c.byWeight.resize(c.links.size());
  std::iota(c.byWeight.begin(), c.byWeight.end(), 0);
  std::stable_sort(c.byWeight.begin(), c.byWeight.end(), [&](int a, int b) {
    return c.links[size_t(a)].weight < c.links[size_t(b)].weight;
  });
  incidence(&c);
  return c;
}

unsigned long long wideTreeWeight(const WideGraph& g) {
  unsigned long long weight = 0;
  minimumTree(g, lightestFirst(g),
              [&](size_t i) { weight += unsigned(std::max(g.links[i].weight, 0)); });
  return weight;
}

bool wideConnected(const WideGraph& g) {
  std::vector<int> parent(size_t(g.n));
  std::iota(parent.begin(), parent.end(), 0);
  int pieces = g.n;
  for (const WideLink& l : g.links) pieces -= join(parent, l.from, l.to);
  return pieces == 1;
}

WideRun wideRunLayout(unsigned char* base, int n, int nl, size_t* bytes) {
  WideRun r{};
  r.n = n;
  r.nl = nl;
  r.words = (nl + 63) / 64;
  const size_t rowBytes = size_t(r.words) * 8 * popSize;
  size_t at = roundUp(sizeof(WideRun));
  const auto place = [&](size_t size) {
    unsigned char* p = base + at;
    at += roundUp(size);
    return p;
  };
  r.links = reinterpret_cast<const WideLink*>(place(sizeof(WideLink) * size_t(nl)));
  r.byWeight = reinterpret_cast<const int*>(place(sizeof(int) * size_t(nl)));
  r.atFirst = reinterpret_cast<const int*>(place(sizeof(int) * (size_t(n) + 1)));
  r.atLinks = reinterpret_cast<const int*>(place(sizeof(int) * 2 * size_t(nl)));
  r.rows = reinterpret_cast<unsigned long long*>(place(rowBytes));
  r.temp = reinterpret_cast<unsigned long long*>(place(rowBytes));
  r.fit = reinterpret_cast<unsigned long long*>(place(8 * popSize));
  r.idx = place(popSize);
  r.work = reinterpret_cast<int*>(place(sizeof(int) * wideLaneWorkArrays * size_t(n) * popSize));
  *bytes = at;
  return r;
}

unsigned long long wideEnergy(int n, const std::vector<WideLink>& chosen, int* pieces) {
  std::vector<int> power(size_t(n), 0);
  std::vector<int> parent(static_cast<size_t>(n));
  std::iota(parent.begin(), parent.end(), 0);
  *pieces = n;
  for (const WideLink& l : chosen) {
    power[size_t(l.from)] = std::max(power[size_t(l.from)], l.weight);
    power[size_t(l.to)] = std::max(power[size_t(l.to)], l.weight);
    *pieces -= join(parent, l.from, l.to);
  }
  unsigned long long energy = 0;
  for (int p : power) energy += unsigned(p);
  return energy;
}
