// A wide run's population and the routines that differ from the design's:
// slots of one bit per candidate link, kept in the run's device area (global
// memory in CUDA, the run's own buffer in the CPU form), 64-bit fitness, and
// the spanning-tree steps over candidate links. Selection, crossover,
// mutation, sort and duplicate repair are the routines of operators.h.
#pragma once

#include "device/operators.h"
#include "problem/wide.h"

namespace SMETP_FORM {

// The run a block works on, as the generation routines read it (the names
// they read are those of RunView).
struct WideView {
  int probNn;
  int probNl;
  int objvalhardness;
  float graphdensity;
  unsigned* next;
  GaSettings settings;
  int words;
  const WideLink* links;
  const int* byWeight;
  const int* atFirst;
  const int* atLinks;
  SlotWord* rows;
  SlotWord* temp;
  int* work;
};

// The block's part of a wide population: fitness and row of each slot, and
// the crossover plan; the rows themselves stay in the run's area.
struct WidePop {
  typedef unsigned long long Fit;
  typedef int CrossIndex;
  WideView run;
  unsigned long long sfit[popSize];
  unsigned char sidx[popSize];
  int crossP1[crossingLanes];
  int crossP2[crossingLanes];
  int crossCut[crossingLanes];
};

// Points a view at a wide run's layout: its size, candidate links, tables,
// rows and work arrays (the stream, hardness and settings are the caller's).
DEVFN void viewWideLayout(WideView& run, const WideRun& w) {
  run.probNn = w.n;
  run.probNl = w.nl;
  run.words = w.words;
  run.links = w.links;
  run.byWeight = w.byWeight;
  run.atFirst = w.atFirst;
  run.atLinks = w.atLinks;
  run.rows = w.rows;
  run.temp = w.temp;
  run.work = w.work;
}

DEVFN unsigned long long hardnessSteps(const WideView& run) {
  return hardnessSteps(run.probNn, run.objvalhardness);
}

DEVFN SlotWord* wideRow(const WideView& run, int row) {
  return run.rows + (unsigned long long)row * (unsigned long long)run.words;
}
DEVFN SlotWord* slotOf(WidePop& sp, int t) { return wideRow(sp.run, sp.sidx[t]); }
DEVFN int slotWordsOf(const WidePop& sp) { return sp.run.words; }
DEVFN SlotWord* wideTempRow(const WideView& run, int t) {
  return run.temp + (unsigned long long)t * (unsigned long long)run.words;
}
DEVFN SlotWord* laneTempRow(WidePop& sp, PerLane<SlotCopy>&, int t) {
  return wideTempRow(sp.run, t);
}

// Lane t's work arrays: wideLaneWorkArrays arrays of n ints (union-find
// parents, powers, spare powers, and the local search's arrays).
DEVFN int* laneWork(const WideView& run, int t) {
  return run.work + (unsigned long long)t * (unsigned long long)wideLaneWorkArrays *
                        (unsigned long long)run.probNn;
}

DEVFN int wideRoot(int* parent, int v) {
  while (parent[v] != v) {
    parent[v] = parent[parent[v]];
    v = parent[v];
  }
  return v;
}

// Joins the pieces of u and v; true when they were apart.
DEVFN bool wideJoin(int* parent, int u, int v) {
  const int a = wideRoot(parent, u), b = wideRoot(parent, v);
  if (a == b) return false;
  if (a < b)
    parent[b] = a;
  else
    parent[a] = b;
  return true;
}

DEVFN bool rowBit(const SlotWord* row, int e) { return (row[e >> 6] >> (e & 63)) & 1ull; }

// The nodes' powers for the links a row selects (each the largest weight of
// its selected links, never below 0) into power[], and their sum.
DEVFN unsigned long long widePowers(const WideView& run, const SlotWord* row, int* power) {
  const int n = run.probNn, nl = run.probNl;
  for (int v = 0; v < n; ++v) power[v] = 0;
  for (int w = 0; 64 * w < nl; ++w)
    for (SlotWord bits = row[w] & wordMaskBelow(w, nl); bits; bits &= bits - 1) {
      const WideLink l = run.links[64 * w + lowestSetBit64(bits)];
      if (l.weight > power[l.from]) power[l.from] = l.weight;
      if (l.weight > power[l.to]) power[l.to] = l.weight;
    }
  unsigned long long energy = 0;
  for (int v = 0; v < n; ++v) energy += (unsigned)power[v];
  return energy;
}

// The score of a row, with lane t's work arrays: its energy when its links
// connect all nodes, else (pieces - 1) * wideUnconnectedStep + its energy.
DEVFN unsigned long long wideScore(const WideView& run, const SlotWord* row, int t) {
  const int n = run.probNn, nl = run.probNl;
  int* parent = laneWork(run, t);
  for (int v = 0; v < n; ++v) parent[v] = v;
  int pieces = n;
  for (int w = 0; 64 * w < nl; ++w)
    for (SlotWord bits = row[w] & wordMaskBelow(w, nl); bits; bits &= bits - 1) {
      const WideLink l = run.links[64 * w + lowestSetBit64(bits)];
      pieces -= wideJoin(parent, l.from, l.to);
    }
  const unsigned long long energy = widePowers(run, row, parent + n);
  return (unsigned long long)(pieces - 1) * wideUnconnectedStep + energy;
}

DEVFN unsigned long long scoreSlot(WidePop& sp, int slot, int t) {
  return wideScore(sp.run, slotOf(sp, slot), t);
}

// Writes into `out` the minimum spanning forest (Kruskal, lightest link
// first, ties by link index) of the candidate links that `usable` allows;
// returns the pieces it leaves. Uses parent[0..n-1].
template <class Usable>
DEVFN int wideSpanningTree(const WideView& run, Usable usable, SlotWord* out, int* parent) {
  const int n = run.probNn, nl = run.probNl;
  for (int v = 0; v < n; ++v) parent[v] = v;
  for (int w = 0; w < run.words; ++w) out[w] = 0;
  int pieces = n;
  for (int k = 0; k < nl && pieces > 1; ++k) {
    const int e = run.byWeight[k];
    if (!usable(e)) continue;
    const WideLink l = run.links[e];
    if (!wideJoin(parent, l.from, l.to)) continue;
    out[e >> 6] |= 1ull << (e & 63);
    --pieces;
  }
  return pieces;
}

// init=mst: slot t becomes the minimum spanning tree of the candidate links
// (lane t's work arrays and temp row).
DEVFN void plantWideTree(WidePop& sp, int t) {
  SlotWord* tree = wideTempRow(sp.run, t);
  wideSpanningTree(
      sp.run, [](int) { return true; }, tree, laneWork(sp.run, t));
  copyBits(slotOf(sp, t), tree, sp.run.probNl);
}

enum {
  // Lower-and-repair tries, for each node, at most this many of the distinct
  // weights of its candidate links below its power (the highest first).
  wideLowerLevels = 8,
};
// Work allowed to one ls call, counted in candidate links (and nodes)
// visited: 2^23, or 2^15 per node on instances of more than 256 nodes, where
// a fixed 2^23 let a call's exchange sweeps use it all (at 2,000 nodes every
// call was cut short before its lower-and-repair moves, and the search ended
// above one local search from the spanning tree). It is checked between
// moves and between lower-and-repair tries. A call that runs out keeps the
// moves made so far, and the next memetic step goes on from there.
DEVFN unsigned long long wideLsBudget(const WideView& run) {
  const unsigned long long perNode = (unsigned long long)run.probNn << 15;
  return perNode > (1ull << 23) ? perNode : 1ull << 23;
}

// A lane's local search over a wide run's candidate links: the spanning tree
// (a row of link bits) it moves, a scratch row, and n-int work arrays of the
// lane (laneWork): union-find parents, the tree's powers, a spare, trial
// powers, roots, the node order, and each node's heaviest and second
// heaviest tree link.
struct WideSearch {
  const WideView* run;
  SlotWord* tree;
  SlotWord* scratch;
  int* parent;
  int* power;
  int* spare;
  int* q;
  int* root;
  int* order;
  int* top1;
  int* top2;
  // The tree rooted at node 0 (wideRootTree), in three of the arrays above:
  // each node's place in a depth-first order, its subtree's size, and the
  // nodes in that order.
  int* pre;
  int* size;
  int* byPre;
  unsigned long long energy;  // of tree, the sum of power
  unsigned long long work;
  unsigned long long budget;
  int lowerStart;  // where in the lowering order a lower-and-repair sweep begins
};

DEVFN int clippedWeight(const WideLink& l) { return l.weight > 0 ? l.weight : 0; }

// Whether link l is usable under powers q: neither end's power below its
// weight.
DEVFN bool usableUnder(const int* q, const WideLink& l) {
  return l.weight <= q[l.from] && l.weight <= q[l.to];
}

// What raising a link's ends to weight w adds to powers qc and qd.
DEVFN long long wideRise(int w, int qc, int qd) {
  return (w > qc ? (long long)w - qc : 0ll) + (w > qd ? (long long)w - qd : 0ll);
}

// Takes row `found` (scratch) as the new tree when it spans with a lower
// energy.
DEVFN bool takeIfLower(WideSearch& ls, int pieces) {
  const WideView& run = *ls.run;
  if (pieces != 1) return false;
  const unsigned long long e = widePowers(run, ls.scratch, ls.spare);
  if (e >= ls.energy) return false;
  copyBits(ls.tree, ls.scratch, run.probNl);
  ls.energy = widePowers(run, ls.tree, ls.power);
  return true;
}

// Re-tree: the minimum spanning tree of every candidate link the tree's
// powers already allow, taken when its energy is lower.
DEVFN bool wideRetree(WideSearch& ls) {
  const WideView& run = *ls.run;
  const int* power = ls.power;
  const int pieces = wideSpanningTree(
      run, [&](int e) { return usableUnder(power, run.links[e]); }, ls.scratch, ls.parent);
  ls.work += (unsigned long long)run.probNl;
  return takeIfLower(ls, pieces);
}

// Each node's heaviest (top1, its power) and second heaviest (top2) tree
// link weight, 0 where there is none.
DEVFN void treeTopTwo(WideSearch& ls) {
  const WideView& run = *ls.run;
  for (int v = 0; v < run.probNn; ++v) ls.top1[v] = ls.top2[v] = 0;
  for (int w = 0; w < run.words; ++w)
    for (SlotWord bits = ls.tree[w] & wordMaskBelow(w, run.probNl); bits; bits &= bits - 1) {
      const WideLink l = run.links[64 * w + lowestSetBit64(bits)];
      const int x = clippedWeight(l);
      for (int k = 0; k < 2; ++k) {
        const int v = k ? l.to : l.from;
        if (x > ls.top1[v]) {
          ls.top2[v] = ls.top1[v];
          ls.top1[v] = x;
        } else if (x > ls.top2[v]) {
          ls.top2[v] = x;
        }
      }
    }
}

// The other end of link l from node x.
DEVFN int otherEnd(const WideLink& l, int x) { return l.from == x ? l.to : l.from; }

// Roots the spanning tree ls.tree at node 0 into ls.pre, ls.size and
// ls.byPre: a depth-first order, so that the subtree of node x is
// byPre[pre[x] .. pre[x] + size[x] - 1]. Uses n-int arrays `stack` and `up`.
DEVFN void wideRootTree(WideSearch& ls, int* stack, int* up) {
  const WideView& run = *ls.run;
  const int n = run.probNn;
  for (int x = 0; x < n; ++x) ls.pre[x] = -1;
  int top = 0, at = 0;
  stack[top++] = 0;
  up[0] = -1;
  while (top > 0) {
    const int x = stack[--top];
    ls.pre[x] = at;
    ls.byPre[at++] = x;
    ls.size[x] = 1;
    for (int i = run.atFirst[x]; i < run.atFirst[x + 1]; ++i) {
      const int e = run.atLinks[i];
      if (!rowBit(ls.tree, e)) continue;
      const int y = otherEnd(run.links[e], x);
      if (ls.pre[y] >= 0) continue;  // x's parent: the only tree neighbour placed before x
      up[y] = x;
      stack[top++] = y;
    }
  }
  for (int i = at - 1; i > 0; --i) ls.size[up[ls.byPre[i]]] += ls.size[ls.byPre[i]];
}

// Whether node x lies in the subtree of the node placed at `first` with
// `count` nodes.
DEVFN bool inSubtree(const WideSearch& ls, int x, int first, int count) {
  return (unsigned)(ls.pre[x] - first) < (unsigned)count;
}

// Whether link e with the powers' rise `rise` beats the pick so far (`best`,
// `pick`; pick < 0: none, and then the rise must be below `best`): the lowest
// rise, ties by the lower link index.
DEVFN bool beatsPick(long long rise, int e, long long best, int pick) {
  return rise < best || (rise == best && pick >= 0 && e < pick);
}

// Exchange: for each tree link whose removal lowers a power, drops it and
// reconnects the two halves by the candidate link that raises the powers
// least, when that lowers the energy. One sweep over the tree's links (a link
// brought in may be tried later in the sweep); true when any exchange was
// made.
DEVCALL bool wideExchangeSweep(WideSearch& ls) {
  const WideView& run = *ls.run;
  const int n = run.probNn, nl = run.probNl;
  bool improved = false;
  treeTopTwo(ls);
  ls.pre = ls.root;
  ls.size = ls.q;
  ls.byPre = ls.order;
  wideRootTree(ls, ls.parent, ls.spare);
  ls.work += (unsigned long long)(nl + n);
  for (int k = 0; k < nl && ls.work < ls.budget; ++k) {
    if (!rowBit(ls.tree, k)) continue;
    const WideLink cut = run.links[k];
    const int a = cut.from, b = cut.to, x = clippedWeight(cut);
    const int qa = x == ls.top1[a] ? ls.top2[a] : ls.top1[a];
    const int qb = x == ls.top1[b] ? ls.top2[b] : ls.top1[b];
    const long long gain = (long long)(ls.power[a] - qa) + (long long)(ls.power[b] - qb);
    if (gain <= 0) continue;
    // The two halves: the subtree of the end placed later, and the rest. The
    // links between them are those at the nodes of the smaller half that
    // lead out of it.
    const int c = ls.pre[a] > ls.pre[b] ? a : b;
    const int first = ls.pre[c], count = ls.size[c];
    long long best = gain;
    int pick = -1;
    const bool inner = 2 * count <= n;  // the subtree is the smaller half
    for (int i = inner ? first : 0; i < (inner ? first + count : n); ++i) {
      if (!inner && i == first) i += count;  // past the subtree
      if (i >= n) break;
      const int u = ls.byPre[i];
      const bool side = inSubtree(ls, u, first, count);
      ls.work += (unsigned long long)(1 + run.atFirst[u + 1] - run.atFirst[u]);
      for (int j = run.atFirst[u]; j < run.atFirst[u + 1]; ++j) {
        const int e = run.atLinks[j];
        const WideLink l = run.links[e];
        if (e == k || inSubtree(ls, otherEnd(l, u), first, count) == side) continue;
        const int qc = l.from == a ? qa : (l.from == b ? qb : ls.power[l.from]);
        const int qd = l.to == a ? qa : (l.to == b ? qb : ls.power[l.to]);
        const long long rise = wideRise(clippedWeight(l), qc, qd);
        if (beatsPick(rise, e, best, pick)) {
          best = rise;
          pick = e;
        }
      }
    }
    if (pick < 0) continue;
    ls.tree[k >> 6] &= ~(1ull << (k & 63));
    ls.tree[pick >> 6] |= 1ull << (pick & 63);
    ls.energy = widePowers(run, ls.tree, ls.power);
    treeTopTwo(ls);
    wideRootTree(ls, ls.parent, ls.spare);
    ls.work += (unsigned long long)(2 * nl + n);
    improved = true;
  }
  return improved;
}

// The lane's two arrays past the kick's, each a count and then link
// indices: while the tree is the minimum spanning tree of the links its
// powers allow, the lower-and-repair sweep keeps its links lightest first in
// wideRankTree (count 0 otherwise), and a repair lists in wideExtra the links
// a spanning tree of the repaired powers may take besides the tree's (a
// count of n or more: too many, not kept).
DEVFN int* wideRankTree(const WideSearch& ls) { return ls.top2 + 2 * ls.run->probNn; }
DEVFN int* wideExtra(const WideSearch& ls) { return ls.top2 + 3 * ls.run->probNn; }

// Lists link e in wideExtra.
DEVFN void keepExtra(WideSearch& ls, int e) {
  int* extra = wideExtra(ls);
  const int at = ++extra[0];
  if (at < ls.run->probNn) extra[at] = e;
}

// Whether link a comes before link b in the spanning trees' order: lighter
// first, ties by index (the order of byWeight).
DEVFN bool rankBefore(const WideView& run, int a, int b) {
  const int wa = run.links[a].weight, wb = run.links[b].weight;
  return wa != wb ? wa < wb : a < b;
}

// Whether the tree is the minimum spanning tree of the links its powers
// allow (in ls.scratch); if so, lists its links lightest first in
// wideRankTree (else its count is 0).
DEVFN void checkMstTree(WideSearch& ls) {
  const WideView& run = *ls.run;
  const int* power = ls.power;
  wideSpanningTree(
      run, [&](int e) { return usableUnder(power, run.links[e]); }, ls.scratch, ls.parent);
  int* rankTree = wideRankTree(ls);
  rankTree[0] = 0;
  for (int w = 0; w < run.words; ++w)
    if (ls.scratch[w] != (ls.tree[w] & wordMaskBelow(w, run.probNl))) return;
  for (int k = 0; k < run.probNl; ++k)
    if (rowBit(ls.tree, run.byWeight[k])) rankTree[++rankTree[0]] = run.byWeight[k];
}

// The minimum spanning tree of the links usable under ls.q into ls.scratch
// after a repair (as wideSpanningTree; returns the pieces it leaves). When
// the tree is the minimum spanning tree under its powers, that tree is the
// one of the tree's links still usable, the usable links between the pieces
// they leave, and the links the repair's raises made usable (any other usable
// link closes a cycle of lighter tree links): a merge of rankTree and the
// sorted extra links. Uses ls.parent.
DEVFN int repairedTree(WideSearch& ls) {
  const WideView& run = *ls.run;
  const int n = run.probNn;
  const int* q = ls.q;
  const int* rankTree = wideRankTree(ls) + 1;
  int* extra = wideExtra(ls) + 1;
  const int treeLinks = rankTree[-1], m = extra[-1];
  if (treeLinks == 0 || m >= n) {
    ls.work += (unsigned long long)run.probNl;
    return wideSpanningTree(
        run, [&](int e) { return usableUnder(q, run.links[e]); }, ls.scratch, ls.parent);
  }
  int gap = 1;  // Shell sort by rankBefore
  while (gap < m / 3) gap = 3 * gap + 1;
  for (; gap > 0; gap /= 3)
    for (int i = gap; i < m; ++i) {
      const int x = extra[i];
      int j = i;
      for (; j >= gap && rankBefore(run, x, extra[j - gap]); j -= gap) extra[j] = extra[j - gap];
      extra[j] = x;
    }
  for (int v = 0; v < n; ++v) ls.parent[v] = v;
  for (int w = 0; w < run.words; ++w) ls.scratch[w] = 0;
  int pieces = n, i = 0, j = 0;
  while (pieces > 1 && (i < treeLinks || j < m)) {
    int e;
    if (j >= m || (i < treeLinks && rankBefore(run, rankTree[i], extra[j])))
      e = rankTree[i++];
    else
      e = extra[j++];
    const WideLink l = run.links[e];
    if (!usableUnder(q, l) || !wideJoin(ls.parent, l.from, l.to)) continue;
    ls.scratch[e >> 6] |= 1ull << (e & 63);
    --pieces;
  }
  ls.work += (unsigned long long)(n + i + j);
  return pieces;
}

// The pieces that lowering node v leaves of the tree: v's tree links that
// the trial powers no longer allow cut it into v's piece (0), the subtrees of
// the cut children (1 to m, in the order of pre) and, when the link to v's
// parent is cut, the rest of the tree above v (m + 1). uf joins the pieces
// that other usable links connect (union-find; a root holds minus its node
// count).
struct WideCut {
  int v;
  int m;
  bool upCut;
  int* child;
  int* uf;
};

DEVFN int pieceRoot(int* uf, int x) {
  while (uf[x] >= 0) {
    if (uf[uf[x]] >= 0) uf[x] = uf[uf[x]];
    x = uf[x];
  }
  return x;
}

// Joins the pieces of a and b; true when they were apart.
DEVFN bool pieceJoin(int* uf, int a, int b) {
  a = pieceRoot(uf, a);
  b = pieceRoot(uf, b);
  if (a == b) return false;
  if (uf[a] > uf[b]) {
    const int t = a;
    a = b;
    b = t;
  }
  uf[a] += uf[b];
  uf[b] = a;
  return true;
}

// The piece (of the tree's, before joins) that holds node x.
DEVFN int pieceOf(const WideSearch& ls, const WideCut& cut, int x) {
  const int v = cut.v;
  if (cut.upCut && !inSubtree(ls, x, ls.pre[v], ls.size[v])) return cut.m + 1;
  int lo = 0, hi = cut.m;  // the last cut child placed at or before x
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (ls.pre[cut.child[mid]] <= ls.pre[x])
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo > 0 && inSubtree(ls, x, ls.pre[cut.child[lo - 1]], ls.size[cut.child[lo - 1]])) return lo;
  return 0;
}

// Calls f(x) for each node x of the tree's piece `id`.
template <class F>
DEVFN void forPieceNodes(const WideSearch& ls, const WideCut& cut, int id, F f) {
  const int n = ls.run->probNn, v = cut.v;
  if (id >= 1 && id <= cut.m) {
    const int c = cut.child[id - 1];
    for (int i = ls.pre[c]; i < ls.pre[c] + ls.size[c]; ++i) f(ls.byPre[i]);
    return;
  }
  if (id == cut.m + 1) {
    for (int i = 0; i < ls.pre[v]; ++i) f(ls.byPre[i]);
    for (int i = ls.pre[v] + ls.size[v]; i < n; ++i) f(ls.byPre[i]);
    return;
  }
  // v's piece: v's subtree (or every node) but the cut children's subtrees.
  const int hi = cut.upCut ? ls.pre[v] + ls.size[v] : n;
  int j = 0;
  for (int i = cut.upCut ? ls.pre[v] : 0; i < hi;) {
    if (j < cut.m && i == ls.pre[cut.child[j]]) {
      i += ls.size[cut.child[j++]];
      continue;
    }
    f(ls.byPre[i++]);
  }
}

// Raises trial powers q (never node v's, held at `level`) until the links
// usable under them connect all nodes, each time by the candidate link
// joining two pieces that raises the powers least (ties by the lower index);
// false when no link can join the pieces. q starts as the tree's powers with
// v's lowered, so the pieces are those of the tree rooted in ls.pre, ls.size
// and ls.byPre, joined by the other usable links; each raise joins what it
// makes usable. Only the nodes outside the largest piece are visited: every
// link between two pieces has an end there. Uses ls.spare and ls.parent.
DEVCALL bool wideRepair(WideSearch& ls, int v, int level) {
  const WideView& run = *ls.run;
  const int n = run.probNn;
  int* q = ls.q;
  WideCut cut = {v, 0, false, ls.spare, ls.parent};
  wideExtra(ls)[0] = 0;
  for (int i = run.atFirst[v]; i < run.atFirst[v + 1]; ++i) {
    const int e = run.atLinks[i];
    const WideLink l = run.links[e];
    if (!rowBit(ls.tree, e) || usableUnder(q, l)) continue;
    const int y = otherEnd(l, v);
    if (ls.pre[y] < ls.pre[v]) {
      cut.upCut = true;
      continue;
    }
    int at = cut.m++;
    for (; at > 0 && ls.pre[cut.child[at - 1]] > ls.pre[y]; --at) cut.child[at] = cut.child[at - 1];
    cut.child[at] = y;
  }
  const int ids = cut.m + 1 + (cut.upCut ? 1 : 0);
  int rest = n;
  for (int j = 0; j < cut.m; ++j) {
    cut.uf[j + 1] = -ls.size[cut.child[j]];
    rest -= ls.size[cut.child[j]];
  }
  if (cut.upCut) {
    cut.uf[cut.m + 1] = ls.size[v] - n;
    rest -= n - ls.size[v];
  }
  cut.uf[0] = -rest;
  unsigned long long seen = 0;  // links visited
  int pieces = ids, largest = 0;
  for (int id = 1; id < ids; ++id)
    if (cut.uf[id] < cut.uf[largest]) largest = id;
  for (int id = 0; id < ids; ++id)
    if (id != largest)
      forPieceNodes(ls, cut, id, [&](int x) {
        seen += (unsigned long long)(1 + run.atFirst[x + 1] - run.atFirst[x]);
        for (int i = run.atFirst[x]; i < run.atFirst[x + 1]; ++i) {
          const int e = run.atLinks[i];
          const WideLink l = run.links[e];
          if (!usableUnder(q, l)) continue;
          const int py = pieceOf(ls, cut, otherEnd(l, x));
          if (py == id) continue;
          keepExtra(ls, e);
          if (pieceJoin(cut.uf, id, py)) --pieces;
        }
      });
  for (;;) {
    ls.work += seen;
    seen = 0;
    if (pieces == 1) return true;
    int big = -1;
    for (int id = 0; id < ids; ++id)
      if (cut.uf[id] < 0 && (big < 0 || cut.uf[id] < cut.uf[big])) big = id;
    long long best = -1;
    int pick = -1;
    for (int id = 0; id < ids; ++id) {
      const int r = pieceRoot(cut.uf, id);
      if (r == big) continue;
      forPieceNodes(ls, cut, id, [&](int x) {
        seen += (unsigned long long)(1 + run.atFirst[x + 1] - run.atFirst[x]);
        for (int i = run.atFirst[x]; i < run.atFirst[x + 1]; ++i) {
          const int e = run.atLinks[i];
          const WideLink l = run.links[e];
          if (pieceRoot(cut.uf, pieceOf(ls, cut, otherEnd(l, x))) == r) continue;
          const int w = clippedWeight(l);
          if ((l.from == v || l.to == v) && w > level) continue;
          const long long rise = wideRise(w, q[l.from], q[l.to]);
          if (pick < 0 || beatsPick(rise, e, best, pick)) {
            best = rise;
            pick = e;
          }
        }
      });
    }
    if (pick < 0) {
      ls.work += seen;
      return false;
    }
    const WideLink l = run.links[pick];
    const int w = clippedWeight(l);
    for (int k = 0; k < 2; ++k) {
      const int x = k ? l.to : l.from;
      if (w <= q[x]) continue;
      q[x] = w;
      const int px = pieceOf(ls, cut, x);
      seen += (unsigned long long)(run.atFirst[x + 1] - run.atFirst[x]);
      for (int i = run.atFirst[x]; i < run.atFirst[x + 1]; ++i) {
        const WideLink m = run.links[run.atLinks[i]];
        if (!usableUnder(q, m)) continue;
        if (!usableUnder(ls.power, m)) keepExtra(ls, run.atLinks[i]);
        if (pieceJoin(cut.uf, px, pieceOf(ls, cut, otherEnd(m, x)))) --pieces;
      }
    }
  }
}

// Whether node a goes before node b in the lowering order: higher power
// first, then lower index.
DEVFN bool lowersBefore(const int* power, int a, int b) {
  return power[a] != power[b] ? power[a] > power[b] : a < b;
}

// Lower-and-repair: for each node, in the order of lowersBefore, caps its
// power at each of its wideLowerLevels next lower levels (which cuts its links
// above the level), repairs, and takes the minimum spanning tree of what the
// repaired powers allow when its energy is lower (then goes on with the next
// node). The sweep begins at place ls.lowerStart of that order and wraps
// around: a call that its budget cuts short does not leave the same nodes
// untried every time. True when any such move was made.
DEVCALL bool wideLowerSweep(WideSearch& ls) {
  const WideView& run = *ls.run;
  const int n = run.probNn, nl = run.probNl;
  int* order = ls.order;
  for (int v = 0; v < n; ++v) order[v] = v;
  // Shell sort (gaps 1, 4, 13, ...) by lowersBefore.
  int gap = 1;
  while (gap < n / 3) gap = 3 * gap + 1;
  for (; gap > 0; gap /= 3)
    for (int i = gap; i < n; ++i) {
      const int x = order[i];
      int j = i;
      for (; j >= gap && lowersBefore(ls.power, x, order[j - gap]); j -= gap)
        order[j] = order[j - gap];
      order[j] = x;
    }
  bool improved = false;
  ls.pre = ls.root;
  ls.size = ls.top1;
  ls.byPre = ls.top2;
  wideRootTree(ls, ls.parent, ls.spare);
  checkMstTree(ls);
  ls.work += (unsigned long long)(3 * nl + n);
  for (int k = 0; k < n; ++k) {
    const int v = order[(k + ls.lowerStart) % n];
    const int pv = ls.power[v];
    if (pv <= 0) continue;
    if (ls.work >= ls.budget) return improved;
    // v's distinct link weights below its power, highest first.
    int levels[wideLowerLevels];
    int count = 0;
    for (int i = run.atFirst[v]; i < run.atFirst[v + 1]; ++i) {
      const int w = clippedWeight(run.links[run.atLinks[i]]);
      if (w >= pv) continue;
      int at = count;
      while (at > 0 && levels[at - 1] < w) --at;
      if ((at > 0 && levels[at - 1] == w) || at >= wideLowerLevels) continue;
      if (count < wideLowerLevels) ++count;
      for (int i = count - 1; i > at; --i) levels[i] = levels[i - 1];
      levels[at] = w;
    }
    ls.work += (unsigned long long)(1 + run.atFirst[v + 1] - run.atFirst[v]);
    for (int j = 0; j < count; ++j) {
      if (ls.work >= ls.budget) return improved;
      for (int x = 0; x < n; ++x) ls.q[x] = ls.power[x];
      ls.q[v] = levels[j];
      ls.work += (unsigned long long)n;
      if (!wideRepair(ls, v, levels[j])) continue;
      if (takeIfLower(ls, repairedTree(ls))) {
        wideRootTree(ls, ls.parent, ls.spare);
        checkMstTree(ls);
        ls.work += (unsigned long long)(3 * nl + n);
        improved = true;
        break;
      }
    }
  }
  return improved;
}

// The local search from the tree in ls.tree: re-tree, exchange sweeps,
// lower-and-repair sweeps, each move made only when it lowers the energy,
// until none does (true: a local optimum) or the work passes the budget.
DEVFN bool wideLocalSearch(WideSearch& ls) {
  while (ls.work < ls.budget) {
    if (wideRetree(ls) || wideExchangeSweep(ls) || wideLowerSweep(ls)) continue;
    return ls.work < ls.budget;
  }
  return false;
}

// A hash of a row's bits below nl (never 0).
DEVFN SlotWord wideRowHash(const SlotWord* row, int words, int nl) {
  SlotWord h = 0x243F6A8885A308D3ull;
  for (int w = 0; w < words; ++w) {
    h ^= row[w] & wordMaskBelow(w, nl);
    h *= 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return h | 1ull;
}

// A draw from 0 to m - 1 (m >= 1) of lane `lane`'s own stream: two 15-bit
// draws, so that every tree link of a run with up to 2^30 links can be drawn.
DEVFN int laneDraw(unsigned* streams, int lane, int m) {
  unsigned s = streams[lane];
  const int r = drawBelow(s, laneIncrement(lane) + randAdd, m);
  streams[lane] = s;
  return r;
}

// The kick: drops `count` links of the spanning tree in ls.tree, drawn from
// lane `lane`'s stream, and reconnects the pieces by passes over the candidate
// links, lightest first, each link that joins two pieces taken with
// probability 1/2 (the jitter), the dropped links left out of the first pass
// (so that the tree changes where it can) and every joining link taken from
// the fourth pass on (so that the tree spans again: the candidate links
// spanned it before). Uses ls.parent and ls.order.
DEVFN void wideKick(WideSearch& ls, int count, unsigned* streams, int lane) {
  const WideView& run = *ls.run;
  const int n = run.probNn, nl = run.probNl;
  int* dropped = ls.order;
  int m = 0;
  for (int w = 0; w < run.words; ++w)
    for (SlotWord bits = ls.tree[w] & wordMaskBelow(w, nl); bits; bits &= bits - 1)
      dropped[m++] = 64 * w + lowestSetBit64(bits);
  if (count > m) count = m;
  for (int i = 0; i < count; ++i) {  // a partial shuffle: dropped[0..count-1]
    const int j = i + laneDraw(streams, lane, m - i);
    const int e = dropped[j];
    dropped[j] = dropped[i];
    dropped[i] = e;
    ls.tree[e >> 6] &= ~(1ull << (e & 63));
  }
  for (int v = 0; v < n; ++v) ls.parent[v] = v;
  int pieces = n;
  for (int w = 0; w < run.words; ++w)
    for (SlotWord bits = ls.tree[w] & wordMaskBelow(w, nl); bits; bits &= bits - 1) {
      const WideLink l = run.links[64 * w + lowestSetBit64(bits)];
      pieces -= wideJoin(ls.parent, l.from, l.to);
    }
  for (int pass = 0; pieces > 1; ++pass)
    for (int k = 0; k < nl && pieces > 1; ++k) {
      const int e = run.byWeight[k];
      const WideLink l = run.links[e];
      if (wideRoot(ls.parent, l.from) == wideRoot(ls.parent, l.to)) continue;
      if (pass == 0) {
        bool wasDropped = false;
        for (int i = 0; i < count && !wasDropped; ++i) wasDropped = dropped[i] == e;
        if (wasDropped) continue;
      }
      if (pass < 3 && devRand(streams, lane, lane) >= 16384) continue;
      wideJoin(ls.parent, l.from, l.to);
      ls.tree[e >> 6] |= 1ull << (e & 63);
      --pieces;
    }
}

// Points ls at lane `lane`'s temp row (the tree), `scratch` and the lane's
// work arrays.
DEVFN void wideSearchArrays(WideSearch& ls, const WideView& run, int lane, SlotWord* scratch) {
  ls.run = &run;
  ls.tree = wideTempRow(run, lane);
  ls.scratch = scratch;
  ls.parent = laneWork(run, lane);
  ls.power = ls.parent + run.probNn;
  ls.spare = ls.power + run.probNn;
  ls.q = ls.spare + run.probNn;
  ls.root = ls.q + run.probNn;
  ls.order = ls.root + run.probNn;
  ls.top1 = ls.order + run.probNn;
  ls.top2 = ls.top1 + run.probNn;
}

// The kick on slot t, a local optimum the step left (a spanning tree): the
// slot's links are kept in the lane's last work array, the kicked tree is
// searched with the slot's row as the scratch row, and the slot becomes the
// result when its energy is no higher (so that it can move along a plateau),
// else gets its links back. The slot's score
// never rises. Returns whether the slot changed and `finished` whether the
// search ended at a local optimum.
DEVFN bool wideKickSlot(WidePop& sp, int t, int lane, SlotWord start, bool* finished) {
  const WideView& run = sp.run;
  SlotWord* slot = slotOf(sp, t);
  WideSearch ls;
  wideSearchArrays(ls, run, lane, slot);
  int* kept = ls.top2 + run.probNn;
  int m = 0;
  for (int w = 0; w < run.words; ++w) {
    ls.tree[w] = slot[w];
    for (SlotWord bits = slot[w] & wordMaskBelow(w, run.probNl); bits; bits &= bits - 1)
      if (m < run.probNn) kept[m++] = 64 * w + lowestSetBit64(bits);
  }
  wideKick(ls, run.settings.kick, run.next, lane);
  ls.energy = widePowers(run, ls.tree, ls.power);
  ls.work = 0;
  ls.budget = wideLsBudget(run);
  ls.lowerStart = int((start >> 17) % (SlotWord)run.probNn);
  *finished = wideLocalSearch(ls);
  if (ls.energy <= sp.sfit[t]) {
    copyBits(slot, ls.tree, run.probNl);
    sp.sfit[t] = wideScore(run, slot, lane);
    return true;
  }
  for (int w = 0; w < run.words; ++w) slot[w] = 0;
  for (int i = 0; i < m; ++i) slot[kept[i] >> 6] |= 1ull << (kept[i] & 63);
  return false;
}

// The memetic step on slot t by lane `lane` (its temp row and work arrays),
// when the slot connects all nodes: prune keeps the minimum spanning tree of
// its links; ls then moves that tree by re-tree, exchange and
// lower-and-repair to a local optimum (or as far as wideLsBudget allows).
// No move raises the energy or disconnects, so the slot's score never rises.
// `mark`: a hash of the row the step last left finished (0: none since the
// launch began); a row that still holds it is left alone, since the step
// would leave it as it is, unless the kick is on: it then tries a kick.
DEVFN void wideMemeticSlot(WidePop& sp, int t, int lane, SlotWord& mark) {
  const WideView& run = sp.run;
  if (sp.sfit[t] >= wideUnconnectedStep) return;
  SlotWord* slot = slotOf(sp, t);
  const SlotWord start = wideRowHash(slot, run.words, run.probNl);
  if (mark == start) {
    bool finished = false;
    if (run.settings.memetic == gaMemeticLs && run.settings.kick > 0 &&
        wideKickSlot(sp, t, lane, start, &finished))
      mark = finished ? wideRowHash(slot, run.words, run.probNl) : 0;
    return;
  }
  WideSearch ls;
  wideSearchArrays(ls, run, lane, slot);
  wideSpanningTree(
      run, [&](int e) { return rowBit(slot, e); }, ls.tree, ls.parent);
  bool finished = true;
  if (run.settings.memetic == gaMemeticLs) {
    ls.energy = widePowers(run, ls.tree, ls.power);
    ls.work = 0;
    ls.budget = wideLsBudget(run);
    ls.lowerStart = int((start >> 17) % (SlotWord)run.probNn);
    finished = wideLocalSearch(ls);
  }
  copyBits(slot, ls.tree, run.probNl);
  sp.sfit[t] = wideScore(run, slot, lane);
  mark = finished ? wideRowHash(slot, run.words, run.probNl) : 0;
}

// The memetic step of a generation on the slots below memetic_count. Lane r
// holds the mark of row r (polished[r], zeroed when the launch begins) and
// works on the slot whose row is r, when that slot is among them, with its
// own temp row and work arrays: each lane touches only that slot's row and
// its own arrays.
DEVFN void memeticStep(Block& block, WidePop& sp, PerLane<SlotWord>& polished) {
  const int count = sp.run.settings.memeticCount;
  block.step([&](int r) {
    for (int t = 0; t < count; ++t)
      if (sp.sidx[t] == r) {
        wideMemeticSlot(sp, t, r, polished[r]);
        break;
      }
  });
}

}  // namespace SMETP_FORM
