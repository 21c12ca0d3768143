// Problem-aware steps that the run's settings may ask for: the minimum
// spanning tree as a start (init=mst) and the memetic step on the best
// chromosomes (memetic=prune or ls, with the kick). Each is lane-local work:
// lane t reads and writes only its own slot, draws from no stream but its own
// (the kick), and keeps its working state (a spanning tree as adjacency masks
// and the nodes' powers) in locals.
//
// They need the edge table in the order that edgeIndex numbers the pairs (as
// every loaded graph file has it, sp.edgeOrderMatches), so that a bit selects
// the same link for the connectivity search and for the energy; otherwise
// they change nothing.
#pragma once

#include "device/fitness.h"

#ifndef __CUDACC__
#include <algorithm>
#endif

namespace SMETP_FORM {

enum {
  noLink = 0x7fffffff,  // pairWeight of a pair the instance does not list
  // Work allowed to one ls call, counted in pairs of nodes examined (a
  // weight looked up and compared): about 4,000 sweeps of all pairs of a
  // 45-node instance, some forty times what a search from a pruned
  // chromosome to its local optimum takes there. The count is checked
  // between moves and between lower-and-repair tries, so a call ends at most
  // one exchange pass (about 22,000 pairs at 45 nodes) past it, keeping the
  // moves made so far; the next call on the slot carries on.
  lsPairBudget = 1 << 22,
};
#ifdef __CUDACC__
DEVFN int popCount64(SlotWord x) { return __popcll(x); }
#else
inline int popCount64(SlotWord x) { return __builtin_popcountll(x); }
#endif

// A pairKey that no pair reaches.
enum : unsigned { noPairKey = 0xffffffffu };

// The pair weights as the tree steps read them, W(u, v): from the run view
// where they are needed (CUDA form, where a lane's locals are scarce), or
// copied once per call into a matrix (CPU forms, where the searches then run
// several times faster). Both give the same weights.
DEVFN int pairWeight(const RunView& run, int u, int v) {
  const int e = edgeIndex(run, u, v);
  return e < 0 ? int(noLink) : int(run.probLink[e].weight);
}

#ifdef __CUDACC__
struct PairWeights {
  const RunView* run;
  __device__ int operator()(int u, int v) const { return pairWeight(*run, u, v); }
};
DEVFN void initPairWeights(PairWeights& W, const RunView& run) { W.run = &run; }
#else
// The CPU forms also keep each node's other nodes by ascending weight
// (byWeight[u][0 .. degree[u] - 1], pairs the instance lists only), so that
// the repair can stop scanning a node's pairs once they are too heavy to win.
struct PairWeights {
  const RunView* run;
  int w[maxNodes][maxNodes];
  unsigned char byWeight[maxNodes][maxNodes];
  unsigned char degree[maxNodes];
  int operator()(int u, int v) const { return w[u][v]; }
};
inline void initPairWeights(PairWeights& W, const RunView& run) {
  W.run = &run;
  const int n = run.probNn;
  for (int u = 0; u < n; ++u) {
    W.w[u][u] = noLink;
    for (int v = u + 1; v < n; ++v) W.w[u][v] = W.w[v][u] = pairWeight(run, u, v);
  }
  for (int u = 0; u < n; ++u) {
    unsigned keys[maxNodes];  // weight (shifted to be positive) above node
    int d = 0;
    for (int v = 0; v < n; ++v)
      if (W.w[u][v] != noLink) keys[d++] = unsigned(W.w[u][v] + 32768) << 6 | unsigned(v);
    std::sort(keys, keys + d);
    for (int k = 0; k < d; ++k) W.byWeight[u][k] = (unsigned char)(keys[k] & 63u);
    W.degree[u] = (unsigned char)d;
  }
}
#endif

// The strict order in which the tree steps rank pairs: by weight, then by
// lower node, then by higher node. Among equal weights it decides which
// minimum spanning tree (the one tree of this order) and which repair link a
// step takes, and so which of several equal-weight trees, whose powers may
// differ, the search reaches.
DEVFN unsigned pairKey(int w, int u, int v) {
  const int a = u < v ? u : v, b = u < v ? v : u;
  return unsigned(w + 32768) << 12 | unsigned(a << 6 | b);
}

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

// The minimum spanning tree, by pairKey, of the pairs that `allowed` marks
// (allowed[u] bit v, symmetric), grown from node 0. When the pairs do not
// connect all nodes, tree.spans is false and tree.adj holds the part that
// reaches node 0. The growth stops early, tree.spans false, once the powers
// of the links taken so far sum to `limit` or more, since the tree's energy
// can only be higher. Counts n * n pairs into *work.
DEVFN void minimumSpanningTree(const PairWeights& W, const SlotWord* allowed, LaneTree& tree,
                               int* work, int limit = noLink) {
  const int n = W.run->probNn;
  unsigned cost[maxNodes];  // the pairKey of the best pair to a node; it names the parent
  for (int v = 0; v < n; ++v) {
    tree.adj[v] = 0;
    tree.power[v] = 0;
    cost[v] = noPairKey;
  }
  SlotWord inTree = 1, frontier = 0;  // frontier: the nodes with a parent, not yet joined
  int u = 0, joined = 1, energy = 0;
  const SlotWord all = (n >= 64 ? ~0ull : (1ull << n) - 1ull);
  *work += n * n;
  for (;;) {
    for (SlotWord m = allowed[u] & ~inTree & all; m; m &= m - 1) {
      const int v = lowestSetBit64(m);
      const int w = W(u, v);
      if (w == noLink) continue;
      const unsigned key = pairKey(w, u, v);
      if (key < cost[v]) {
        cost[v] = key;
        frontier |= 1ull << v;
      }
    }
    if (!frontier) break;
    int next = lowestSetBit64(frontier);
    for (SlotWord m = frontier & (frontier - 1); m; m &= m - 1) {
      const int v = lowestSetBit64(m);
      if (cost[v] < cost[next]) next = v;
    }
    const int a = int(cost[next] >> 6 & 63), b = int(cost[next] & 63);
    const int p = a == next ? b : a, w = W(p, next);
    inTree |= 1ull << next;
    frontier &= ~(1ull << next);
    tree.adj[next] |= 1ull << p;
    tree.adj[p] |= 1ull << next;
    if (w > tree.power[next]) {
      energy += w - tree.power[next];
      tree.power[next] = w;
    }
    if (w > tree.power[p]) {
      energy += w - tree.power[p];
      tree.power[p] = w;
    }
    u = next;
    ++joined;
    if (energy >= limit) break;
  }
  tree.spans = joined == n && energy < limit;
  tree.energy = energy;
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
// least (the lower pairKey among equals), as its rise above its pairKey, or
// ~0 when there is none.
DEVFN unsigned long long cheapestCrossing(const PairWeights& W, const int* q, SlotWord part,
                                          int* work) {
  const int n = W.run->probNn;
  const SlotWord others = ((1ull << n) - 1ull) & ~part;
  unsigned long long best = ~0ull;
  for (SlotWord mc = part; mc; mc &= mc - 1) {
    const int u = lowestSetBit64(mc);
    for (SlotWord md = others; md; md &= md - 1) {
      const int v = lowestSetBit64(md);
      const int w = W(u, v);
      if (w == noLink) continue;
      const unsigned long long k = (unsigned long long)riseOf(q, u, v, w) << 32 | pairKey(w, u, v);
      if (k < best) best = k;
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
  minimumSpanningTree(W, usable, t, work, tree.energy);
  if (!t.spans) return false;
  tree = t;
  return true;
}

// Exchange: drops a tree link and reconnects the two halves by the pair that
// raises the powers least; the first exchange that lowers the energy is made.
// A link whose removal lowers neither end's power cannot win and is passed.
DEVFN bool exchangeMove(const PairWeights& W, LaneTree& tree, int* work) {
  const int n = W.run->probNn;
  int q[maxNodes];
  for (int v = 0; v < n; ++v) q[v] = tree.power[v];
  for (int a = 0; a < n; ++a)
    for (SlotWord ma = tree.adj[a] & ~((2ull << a) - 1ull); ma; ma &= ma - 1) {
      const int b = lowestSetBit64(ma);
      int qa = 0, qb = 0;
      for (SlotWord m = tree.adj[a] & ~(1ull << b); m; m &= m - 1) {
        const int w = W(a, lowestSetBit64(m));
        if (w > qa) qa = w;
      }
      for (SlotWord m = tree.adj[b] & ~(1ull << a); m; m &= m - 1) {
        const int w = W(b, lowestSetBit64(m));
        if (w > qb) qb = w;
      }
      const int gain = (tree.power[a] - qa) + (tree.power[b] - qb);
      if (gain <= 0) continue;
      tree.adj[a] &= ~(1ull << b);
      tree.adj[b] &= ~(1ull << a);
      const SlotWord side = componentOf(tree.adj, a);
      q[a] = qa;
      q[b] = qb;
      const unsigned long long best = cheapestCrossing(W, q, side, work);
      q[a] = tree.power[a];
      q[b] = tree.power[b];
      if (best < (unsigned long long)gain << 32) {
        const int bc = int(best >> 6 & 63), bd = int(best & 63);
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

// Repair: raises powers q (never node v's, capped at q[v]) until the pairs
// they allow (`usable`, kept up to date) connect all nodes, each time by the
// pair between two pieces that raises the powers least (the lower pairKey
// among equals). False when no pair joins the pieces.
DEVFN bool repairPieces(const PairWeights& W, int* q, SlotWord* usable, int v, int* work) {
  const int n = W.run->probNn;
  const SlotWord all = (1ull << n) - 1ull;
  for (;;) {
    SlotWord piece[maxNodes];
    SlotWord largest = 0;
    for (SlotWord rest = all; rest;) {
      const SlotWord p = componentOf(usable, lowestSetBit64(rest));
      for (SlotWord m = p; m; m &= m - 1) piece[lowestSetBit64(m)] = p;
      if (popCount64(p) > popCount64(largest)) largest = p;
      rest &= ~p;
    }
    if (largest == all) return true;
    // Every pair between two pieces has an end outside the largest piece.
    // The best pair so far: its rise above its pairKey (which names it).
    unsigned long long best = ~0ull;
    const int cap = q[v];
    for (SlotWord mx = all & ~largest; mx; mx &= mx - 1) {
      const int x = lowestSetBit64(mx);
#ifdef __CUDACC__
      for (SlotWord my = all & ~piece[x]; my; my &= my - 1) {
        const int y = lowestSetBit64(my);
        const int w = W(x, y);
#else
      // Lightest first: a pair's rise is at least w - q[x], so once that
      // passes the best rise no later pair of x can win (the same pick as a
      // scan of all).
      for (int i = 0; i < W.degree[x]; ++i) {
        const int y = W.byWeight[x][i];
        const int w = W(x, y);
        if (best != ~0ull && w - q[x] > int(best >> 32)) break;
        if (piece[x] >> y & 1ull) continue;
#endif
        if (w == noLink || ((x == v || y == v) && w > cap)) continue;
        const unsigned long long k =
            (unsigned long long)riseOf(q, x, y, w) << 32 | pairKey(w, x, y);
        if (k < best) best = k;
      }
      *work += n;
    }
    if (best == ~0ull) return false;
    const int bc = int(best >> 6 & 63), bd = int(best & 63);
    const int w = W(bc, bd);
    if (w > q[bc]) q[bc] = w;
    if (w > q[bd]) q[bd] = w;
    // Raising bc and bd can allow more of their pairs.
    for (int e = 0; e < 2; ++e) {
      const int u = e ? bd : bc;
      for (int x = 0; x < n; ++x) {
        const int wx = W(u, x);
        if (x != u && wx != noLink && wx <= q[u] && wx <= q[x]) {
          usable[u] |= 1ull << x;
          usable[x] |= 1ull << u;
        }
      }
    }
    *work += 2 * n;
  }
}

// Lower-and-repair, one sweep over the nodes from the highest power down:
// caps a node's power at each lower level in turn (the distinct weights of
// its pairs below its power, clipped at 0, the highest first; its links above
// the level are cut), repairs, and takes the minimum spanning tree of what
// the new powers allow when its energy is lower; the sweep then goes on with
// the next node. Returns 1 when a move was made, 0 when none was, -1 when
// the work passed `budget` before the sweep ended.
DEVFN int lowerSweep(const PairWeights& W, LaneTree& tree, int budget, int* work) {
  const int n = W.run->probNn;
  SlotWord base[maxNodes];  // the pairs the tree's powers allow
  usablePairs(W, tree.power, base, work);
  SlotWord tried = 0;
  bool moved = false;
  for (int k = 0; k < n; ++k) {
    int v = -1;
    for (int x = 0; x < n; ++x)
      if (!(tried >> x & 1ull) && (v < 0 || tree.power[x] > tree.power[v])) v = x;
    tried |= 1ull << v;
    for (int level = tree.power[v];;) {
      if (*work >= budget) return -1;
      // The next lower level, and v's pairs that it still allows (those
      // below the level before).
      int below = -1;
      SlotWord within = 0;
      for (int x = 0; x < n; ++x) {
        const int w = x == v ? noLink : W(v, x);
        const int lw = w == noLink ? -1 : (w > 0 ? w : 0);
        if (lw >= 0 && lw < level) {
          within |= 1ull << x;
          if (lw > below) below = lw;
        }
      }
      if (below < 0) break;
      level = below;
      *work += n;
      int q[maxNodes];
      SlotWord usable[maxNodes];
      for (int x = 0; x < n; ++x) {
        q[x] = tree.power[x];
        usable[x] = (within >> x & 1ull) ? base[x] : base[x] & ~(1ull << v);
      }
      q[v] = level;
      usable[v] = base[v] & within;
      if (!repairPieces(W, q, usable, v, work)) continue;
      LaneTree t;
      minimumSpanningTree(W, usable, t, work, tree.energy);
      if (t.spans) {
        tree = t;
        usablePairs(W, tree.power, base, work);
        moved = true;
        break;
      }
    }
  }
  return moved ? 1 : 0;
}

// Local search from a spanning tree: re-tree, exchange, lower-and-repair,
// each made when it lowers the energy, until none does (returns true: a
// local optimum of the three moves) or the work passes lsPairBudget (false).
DEVFN bool localSearch(const PairWeights& W, LaneTree& tree, int* work) {
  const int budget = *work + lsPairBudget;
  for (;;) {
    if (*work >= budget) return false;
    if (retreeMove(W, tree, work) || exchangeMove(W, tree, work)) continue;
    const int lowered = lowerSweep(W, tree, budget, work);
    if (lowered <= 0) return lowered == 0;
  }
}

// The kick: drops `count` links of the spanning tree, drawn from lane
// `lane`'s stream, and reconnects the pieces as the minimum spanning tree
// joining them under jittered weights: each pair's weight (clipped at 0)
// times a factor from 1 to 1.5 that a hash of the pair and a draw of the
// stream gives, so that cheap links are taken but not always the cheapest
// (the lower pair among equals).
// In the CUDA form the kick is a call, not inlined into the generation loop:
// inlined, the loop's values spill around it at 64 registers.
DEVCALL void kickTree(const PairWeights& W, LaneTree& tree, int count, unsigned* streams,
                      int lane) {
  const int n = W.run->probNn;
  const SlotWord all = (1ull << n) - 1ull;
  unsigned short links[maxNodes];  // the tree's links as a * 64 + b, a < b
  int m = 0;
  for (int a = 0; a < n; ++a)
    for (SlotWord mb = tree.adj[a] & ~((2ull << a) - 1ull); mb; mb &= mb - 1)
      links[m++] = (unsigned short)(a << 6 | lowestSetBit64(mb));
  if (count > m) count = m;
  unsigned s = streams[lane];
  const unsigned c = laneIncrement(lane) + randAdd;
  for (int i = 0; i < count; ++i) {  // a partial shuffle: links[0..count-1] are dropped
    const int j = i + drawBelow(s, c, m - i);
    const unsigned short l = links[j];
    links[j] = links[i];
    tree.adj[l >> 6] &= ~(1ull << (l & 63));
    tree.adj[l & 63] &= ~(1ull << (l >> 6));
  }
  const unsigned salt = (unsigned)drawBelow(s, c, 1 << 30);
  streams[lane] = s;
  for (int joins = 0; joins < count; ++joins) {
    SlotWord piece[maxNodes];
    for (SlotWord rest = all; rest;) {
      const SlotWord p = componentOf(tree.adj, lowestSetBit64(rest));
      for (SlotWord mp = p; mp; mp &= mp - 1) piece[lowestSetBit64(mp)] = p;
      rest &= ~p;
    }
    // The best pair so far: its jittered weight above its ends (x << 6 | y).
    unsigned long long best = ~0ull;
    for (int x = 0; x < n; ++x)
      for (SlotWord my = all & ~piece[x] & ~((2ull << x) - 1ull); my; my &= my - 1) {
        const int y = lowestSetBit64(my);
        const int w = W(x, y);
        if (w == noLink) continue;
        const unsigned pair = unsigned(x << 6 | y);
        const unsigned factor = 64u + (((pair * 0x9E3779B1u) ^ salt) * 0x85EBCA77u >> 27);
        const unsigned long long k =
            (unsigned long long)(unsigned(w > 0 ? w : 0) * factor) << 12 | pair;
        if (k < best) best = k;
      }
    if (best == ~0ull) break;
    const int bc = int(best >> 6 & 63), bd = int(best & 63);
    tree.adj[bc] |= 1ull << bd;
    tree.adj[bd] |= 1ull << bc;
  }
  treePowers(W, tree);
  tree.spans = componentOf(tree.adj, 0) == all;
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

// The memetic step on slot t, when the slot connects all
// nodes: prune keeps the minimum spanning tree of its links (what dropping
// links, heaviest first, while all nodes stay connected leaves), ls then
// searches from that tree to a local optimum (or as far as lsPairBudget
// allows). The new bits and fitness are written back; a result whose fitness
// were higher than the slot's would leave the slot as it was. `mark` is the
// step's mark on the slot's row: a hash of the bits it left there at a local
// optimum (0: none since the launch began). A row that still holds it would
// be left as it is, so it is passed, unless the kick is on (ls only): the
// tree then loses `kick` links drawn from the lane's stream, is reconnected
// and searched again, and is kept when its fitness is no higher (so that the
// run can move along a plateau).
DEVFN void memeticSlot(BlockPop& sp, int t, SlotWord& mark) {
  if (!treeStepsApply(sp) || sp.sfit[t] >= infeasibleFit) return;
  SlotWord saved[slotWords] = {};
  copyBits(saved, slotOf(sp, t), sp.run.probNl);
  const bool kick = mark == bitsHash(saved, sp.run.probNl);
  if (kick && !(sp.run.settings.memetic == gaMemeticLs && sp.run.settings.kick > 0)) return;
  LaneTree tree;
  bool finished = true;
  {
    SlotWord selected[maxNodes];
    slotAdjacency(sp.run, slotOf(sp, t), selected);
    PairWeights W;
    initPairWeights(W, sp.run);
    int work = 0;
    minimumSpanningTree(W, selected, tree, &work);
    if (!tree.spans) return;
    // The lane working on the slot is the one of its row, and draws from its
    // own stream.
    if (kick) kickTree(W, tree, sp.run.settings.kick, sp.run.next, sp.sidx[t]);
    if (sp.run.settings.memetic == gaMemeticLs) finished = localSearch(W, tree, &work);
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
  mark = finished ? bitsHash(now, nl) : 0;
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
