// Problem-aware steps that the run's settings may ask for: the minimum
// spanning tree as a start (init=mst) and the memetic step on the best
// chromosomes (memetic=prune or ls). Each is lane-local work: lane t reads and
// writes only its own slot, draws nothing from any stream, and keeps its
// working state (a spanning tree as adjacency masks and the nodes' powers) in
// locals.
//
// They need the edge table in the order that edgeIndex numbers the pairs (as
// every loaded graph file has it, sp.edgeOrderMatches), so that a bit selects
// the same link for the connectivity search and for the energy; otherwise
// they change nothing.
#pragma once

#include "device/fitness.h"

namespace SMETP_FORM {

enum {
  noLink = 0x7fffffff,  // pairWeight of a pair the instance does not list
  // Work allowed to one ls call, counted in pairs of nodes examined (a
  // weight looked up and compared): about a hundred sweeps of all pairs of
  // a 45-node instance. The count is checked between moves and between
  // lower-and-repair tries, so a call ends at most one exchange pass (about
  // 22,000 pairs at 45 nodes) past it, keeping the moves made so far.
  lsPairBudget = 100000,
  // Lower-and-repair tries, for each node, this many of its power levels
  // below its current power (the highest first).
  lsLowerLevels = 2,
};

// The weight of the pair {u, v}, or noLink when its edge index is not below
// probNl.
DEVFN int pairWeight(const RunView& run, int u, int v) {
  const int e = edgeIndex(run, u, v);
  return e < 0 ? int(noLink) : int(run.probLink[e].weight);
}

// The pair weights as the tree steps read them, W(u, v): from the run view
// where they are needed (CUDA form, where a lane's locals are scarce), or
// copied once per call into a matrix (CPU forms, where the searches then run
// several times faster). Both give the same weights.
#ifdef __CUDACC__
struct PairWeights {
  const RunView* run;
  __device__ int operator()(int u, int v) const { return pairWeight(*run, u, v); }
};
DEVFN void initPairWeights(PairWeights& W, const RunView& run) { W.run = &run; }
#else
struct PairWeights {
  const RunView* run;
  int w[maxNodes][maxNodes];
  int operator()(int u, int v) const { return w[u][v]; }
};
inline void initPairWeights(PairWeights& W, const RunView& run) {
  W.run = &run;
  const int n = run.probNn;
  for (int u = 0; u < n; ++u) {
    W.w[u][u] = noLink;
    for (int v = u + 1; v < n; ++v) W.w[u][v] = W.w[v][u] = pairWeight(run, u, v);
  }
}
#endif

// A spanning tree (or forest) and the transmission power each node needs for
// it: the largest weight of its tree links, never below 0.
struct LaneTree {
  SlotWord adj[maxNodes];
  int power[maxNodes];
  int energy;
  bool spans;
};

DEVFN void treePowers(const PairWeights& W, LaneTree& tree) {
  const int n = W.run->probNn;
  tree.energy = 0;
  for (int v = 0; v < n; ++v) {
    int p = 0;
    for (SlotWord m = tree.adj[v]; m; m &= m - 1) {
      const int w = W(v, lowestSetBit64(m));
      if (w > p) p = w;
    }
    tree.power[v] = p;
    tree.energy += p;
  }
}

// The minimum spanning tree, by weight, of the pairs that `allowed` marks
// (allowed[u] bit v, symmetric), grown from node 0 (Prim: the lowest node of
// least cost joins next, a cost replaced only by a strictly lower one). When
// the pairs do not connect all nodes, tree.spans is false and tree.adj holds
// the part that reaches node 0. Counts n * n pairs into *work.
DEVFN void minimumSpanningTree(const PairWeights& W, const SlotWord* allowed, LaneTree& tree,
                               int* work) {
  const int n = W.run->probNn;
  int cost[maxNodes], parent[maxNodes];
  for (int v = 0; v < n; ++v) {
    tree.adj[v] = 0;
    cost[v] = noLink;
    parent[v] = -1;
  }
  SlotWord inTree = 1;
  int u = 0, joined = 1;
  const SlotWord all = (n >= 64 ? ~0ull : (1ull << n) - 1ull);
  for (;;) {
    for (SlotWord m = allowed[u] & ~inTree & all; m; m &= m - 1) {
      const int v = lowestSetBit64(m);
      const int w = W(u, v);
      if (w < cost[v]) {
        cost[v] = w;
        parent[v] = u;
      }
    }
    int next = -1;
    for (int v = 0; v < n; ++v)
      if (!(inTree >> v & 1ull) && parent[v] >= 0 && (next < 0 || cost[v] < cost[next])) next = v;
    if (next < 0) break;
    inTree |= 1ull << next;
    tree.adj[next] |= 1ull << parent[next];
    tree.adj[parent[next]] |= 1ull << next;
    u = next;
    ++joined;
  }
  *work += n * n;
  tree.spans = joined == n;
  treePowers(W, tree);
}

// The nodes that `adj` connects to node `from`, as a mask.
DEVFN SlotWord componentOf(const SlotWord* adj, int from) {
  SlotWord reached = 1ull << from, frontier = reached;
  while (frontier) {
    SlotWord found = 0;
    for (SlotWord f = frontier; f; f &= f - 1) found |= adj[lowestSetBit64(f)];
    frontier = found & ~reached;
    reached |= frontier;
  }
  return reached;
}

// The pairs that powers q allow: both ends' powers at least the weight.
DEVFN void usablePairs(const PairWeights& W, const int* q, SlotWord* usable, int* work) {
  const int n = W.run->probNn;
  for (int v = 0; v < n; ++v) usable[v] = 0;
  for (int u = 0; u < n; ++u)
    for (int v = u + 1; v < n; ++v) {
      const int w = W(u, v);
      if (w != noLink && w <= q[u] && w <= q[v]) {
        usable[u] |= 1ull << v;
        usable[v] |= 1ull << u;
      }
    }
  *work += n * n / 2;
}

// What raising nodes c and d to cover a link of weight w adds to powers q.
DEVFN int riseOf(const int* q, int c, int d, int w) {
  return (w > q[c] ? w - q[c] : 0) + (w > q[d] ? w - q[d] : 0);
}

// The pair from the nodes of `part` to the others whose link raises powers q
// least (first found among equals), a pair at node `capped` only when its
// weight is within q[capped] (-1: no such node); *c is -1 when there is none.
// Returns the rise.
DEVFN int cheapestCrossing(const PairWeights& W, const int* q, SlotWord part, int capped, int* c,
                           int* d, int* work) {
  const int n = W.run->probNn;
  const SlotWord others = ((1ull << n) - 1ull) & ~part;
  int best = noLink;
  *c = *d = -1;
  for (SlotWord mc = part; mc; mc &= mc - 1) {
    const int u = lowestSetBit64(mc);
    for (SlotWord md = others; md; md &= md - 1) {
      const int v = lowestSetBit64(md);
      const int w = W(u, v);
      if (w == noLink || ((u == capped || v == capped) && w > q[capped])) continue;
      const int rise = riseOf(q, u, v, w);
      if (rise < best) {
        best = rise;
        *c = u;
        *d = v;
      }
    }
    *work += n;
  }
  return best;
}

// Re-tree: the minimum spanning tree of every pair that the tree's powers
// already allow; taken when its energy is lower.
DEVFN bool retreeMove(const PairWeights& W, LaneTree& tree, int* work) {
  SlotWord usable[maxNodes];
  usablePairs(W, tree.power, usable, work);
  LaneTree t;
  minimumSpanningTree(W, usable, t, work);
  if (!t.spans || t.energy >= tree.energy) return false;
  tree = t;
  return true;
}

// Exchange: drops a tree link and reconnects the two halves by the pair that
// raises the powers least; the first exchange that lowers the energy is made.
DEVFN bool exchangeMove(const PairWeights& W, LaneTree& tree, int* work) {
  const int n = W.run->probNn;
  int q[maxNodes];
  for (int v = 0; v < n; ++v) q[v] = tree.power[v];
  for (int a = 0; a < n; ++a)
    for (SlotWord ma = tree.adj[a] & ~((2ull << a) - 1ull); ma; ma &= ma - 1) {
      const int b = lowestSetBit64(ma);
      tree.adj[a] &= ~(1ull << b);
      tree.adj[b] &= ~(1ull << a);
      const SlotWord side = componentOf(tree.adj, a);
      int qa = 0, qb = 0;
      for (SlotWord m = tree.adj[a]; m; m &= m - 1) {
        const int w = W(a, lowestSetBit64(m));
        if (w > qa) qa = w;
      }
      for (SlotWord m = tree.adj[b]; m; m &= m - 1) {
        const int w = W(b, lowestSetBit64(m));
        if (w > qb) qb = w;
      }
      q[a] = qa;
      q[b] = qb;
      int bc, bd;
      const int best = cheapestCrossing(W, q, side, -1, &bc, &bd, work);
      q[a] = tree.power[a];
      q[b] = tree.power[b];
      if (bc >= 0 && best + (qa - tree.power[a]) + (qb - tree.power[b]) < 0) {
        tree.adj[bc] |= 1ull << bd;
        tree.adj[bd] |= 1ull << bc;
        treePowers(W, tree);
        return true;
      }
      tree.adj[a] |= 1ull << b;
      tree.adj[b] |= 1ull << a;
    }
  return false;
}

// Lower-and-repair: caps one node's power at a lower level (its links above
// the level are cut), reconnects the pieces greedily by the pairs that raise
// the other powers least, and takes the minimum spanning tree of what the new
// powers allow when its energy is lower. Nodes go from the highest power
// down; each tries its lsLowerLevels highest levels below its power.
DEVFN bool lowerMove(const PairWeights& W, LaneTree& tree, int budget, int* work) {
  const int n = W.run->probNn;
  const SlotWord all = (1ull << n) - 1ull;
  SlotWord tried = 0;
  for (int k = 0; k < n; ++k) {
    int v = -1;
    for (int x = 0; x < n; ++x)
      if (!(tried >> x & 1ull) && (v < 0 || tree.power[x] > tree.power[v])) v = x;
    tried |= 1ull << v;
    int level = tree.power[v];
    for (int attempt = 0; attempt < lsLowerLevels; ++attempt) {
      if (*work >= budget) return false;
      // The next lower level: the largest weight of v's pairs below it (0 at least).
      int below = -1;
      for (int x = 0; x < n; ++x) {
        if (x == v) continue;
        const int w = W(v, x);
        const int lw = w == noLink ? -1 : (w > 0 ? w : 0);
        if (lw < level && lw > below) below = lw;
      }
      *work += n;
      if (below < 0) break;
      level = below;
      int q[maxNodes];
      for (int x = 0; x < n; ++x) q[x] = tree.power[x];
      q[v] = level;
      SlotWord usable[maxNodes];
      usablePairs(W, q, usable, work);
      bool stuck = false;
      for (;;) {
        const SlotWord part = componentOf(usable, 0);
        if (part == all) break;
        // The cheapest pair from the part holding node 0 to any other node
        // (v keeps its capped power).
        int bc, bd;
        cheapestCrossing(W, q, part, v, &bc, &bd, work);
        if (bc < 0) {
          stuck = true;
          break;
        }
        const int w = W(bc, bd);
        if (w > q[bc]) q[bc] = w;
        if (w > q[bd]) q[bd] = w;
        // Raising bc and bd can allow more of their pairs.
        for (int x = 0; x < n; ++x)
          for (int e = 0; e < 2; ++e) {
            const int u = e ? bd : bc;
            if (x == u) continue;
            const int wx = W(u, x);
            if (wx != noLink && wx <= q[u] && wx <= q[x]) {
              usable[u] |= 1ull << x;
              usable[x] |= 1ull << u;
            }
          }
        *work += 2 * n;
      }
      if (stuck) continue;
      LaneTree t;
      minimumSpanningTree(W, usable, t, work);
      if (t.spans && t.energy < tree.energy) {
        tree = t;
        return true;
      }
    }
  }
  return false;
}

// Local search from a spanning tree: re-tree, exchange, lower-and-repair,
// each made when it lowers the energy, until none does or the work passes
// lsPairBudget.
DEVFN void localSearch(const PairWeights& W, LaneTree& tree, int* work) {
  const int budget = *work + lsPairBudget;
  while (*work < budget) {
    if (retreeMove(W, tree, work)) continue;
    if (*work >= budget || exchangeMove(W, tree, work)) continue;
    if (!lowerMove(W, tree, budget, work)) break;
  }
}

// Writes a tree into a slot: its links' bits set, every other bit below probNl
// cleared.
DEVFN void writeTree(const RunView& run, const LaneTree& tree, SlotRow slot) {
  const int n = run.probNn;
  clearSlotBits(slot, run.probNl);
  for (int u = 0; u < n; ++u)
    for (SlotWord m = tree.adj[u] & ~((2ull << u) - 1ull); m; m &= m - 1)
      setSlotBit(slot, edgeIndex(run, u, lowestSetBit64(m)));
}

DEVFN bool treeStepsApply(const BlockPop& sp) {
  return sp.edgeOrderMatches && sp.run.probNn >= 2 && sp.run.probNn <= maxNodes;
}

// init=mst: slot t becomes the minimum spanning tree of the instance.
DEVFN void plantSpanningTree(BlockPop& sp, int t) {
  if (!treeStepsApply(sp)) return;
  const int n = sp.run.probNn;
  SlotWord every[maxNodes];
  for (int u = 0; u < n; ++u) every[u] = ((1ull << n) - 1ull) & ~(1ull << u);
  PairWeights W;
  initPairWeights(W, sp.run);
  LaneTree tree;
  int work = 0;
  minimumSpanningTree(W, every, tree, &work);
  writeTree(sp.run, tree, slotOf(sp, t));
}

// A hash of bits 0..count-1 (never 0).
DEVFN SlotWord bitsHash(const SlotWord* bits, int count) {
  SlotWord h = 0x243F6A8885A308D3ull;
  for (int w = 0; w < slotWords && 64 * w < count; ++w) {
    h ^= bits[w] & wordMaskBelow(w, count);
    h *= 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return h | 1ull;
}

// The memetic step on slot t, when it connects all nodes: prune keeps the
// minimum spanning tree of its links (what dropping links, heaviest first,
// while all nodes stay connected leaves), ls then searches from that tree.
// The new bits and fitness are written back; a result whose fitness were
// higher than the slot's (which the moves rule out) would leave the slot as
// it was. `mark` is the step's mark on the slot's row: a hash of the bits it
// left there (0: none since the launch began), so that a row it has already
// improved and that nothing changed since is not searched again.
DEVFN void memeticSlot(BlockPop& sp, int t, SlotWord& mark) {
  if (!treeStepsApply(sp) || sp.sfit[t] >= infeasibleFit) return;
  SlotWord saved[slotWords] = {};
  copyBits(saved, slotOf(sp, t), sp.run.probNl);
  if (mark == bitsHash(saved, sp.run.probNl)) return;
  LaneTree tree;
  {
    SlotWord selected[maxNodes];
    slotAdjacency(sp.run, slotOf(sp, t), selected);
    PairWeights W;
    initPairWeights(W, sp.run);
    int work = 0;
    minimumSpanningTree(W, selected, tree, &work);
    if (!tree.spans) return;
    if (sp.run.settings.memetic == gaMemeticLs) localSearch(W, tree, &work);
  }
  // The row, its length and its fitness are read again here rather than
  // kept through the search, which leaves the CUDA form's registers to it.
  const int nl = sp.run.probNl;
  const SlotRow slot = slotOf(sp, t);
  writeTree(sp.run, tree, slot);
  const int fit = fitnessOfSlot(sp, slot);
  if (fit <= sp.sfit[t]) {
    sp.sfit[t] = (unsigned short)fit;
  } else {
    copyBits(slot, saved, nl);
  }
  SlotWord now[slotWords] = {};
  copyBits(now, slot, nl);
  mark = bitsHash(now, nl);
}

// The memetic step of a generation on the slots below memetic_count (the
// sorted population's best). Lane r holds the mark of row r (polished[r],
// zeroed when the launch begins), so the marks take no shared memory: it
// works on the slot whose row is r, when that slot is among them. Each slot
// is still worked on by one lane alone, with the same result.
DEVFN void memeticStep(Block& block, BlockPop& sp, PerLane<SlotWord>& polished) {
  const int count = sp.run.settings.memeticCount;
  block.step([&](int r) {
    for (int t = 0; t < count; ++t)
      if (sp.sidx[t] == r) {
        memeticSlot(sp, t, polished[r]);
        break;
      }
  });
}

}  // namespace SMETP_FORM
