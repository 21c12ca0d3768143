"""Baselines: the minimum spanning tree and a local search from any
connected topology.

The local search keeps a spanning tree and repeats, to a local optimum:
  * re-tree: the minimum spanning tree of every link the current powers
    already allow (its powers are never higher, often lower);
  * exchange: drop a tree link and reconnect the two halves with the link
    that raises the powers least, when that lowers the energy;
  * lower-and-repair: cap one node's power at a lower level, which cuts the
    links above it, then reconnect the pieces greedily by the links that
    raise the other powers least, when the result is cheaper.
Each accepted move lowers the energy strictly and keeps all nodes
connected, so the search ends and is never worse than its start.

The moves run as compiled code (numba) over a list of candidate links: every
edge on instances of up to DENSE_NODES nodes; beyond, each node's
NEAREST lightest edges plus the start's and the minimum spanning tree's
links, with at most LEVELS lower power levels tried per node, so that a
search on 1,000 nodes takes seconds.
"""
from __future__ import annotations

import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import minimum_spanning_tree

from . import _moves
from .energy import Links, energy, is_connected
from .instance import Instance

DENSE_NODES = 200
NEAREST = 16
LEVELS = 8


def mst_within(inst: Instance, allowed: np.ndarray) -> Links | None:
    """Minimum spanning tree by weight among the allowed edges, or None when
    they do not connect all nodes."""
    n = inst.n
    iu, iv = np.nonzero(np.triu(allowed, 1))
    if len(iu) < n - 1:
        return None
    w = inst.weight[iu, iv].astype(float)
    # The sparse tree routine ignores zero entries and needs no negative
    # ones: shift every weight to at least 1, which keeps their order.
    w = w - w.min() + 1.0
    m = csr_matrix((w, (iu, iv)), shape=(n, n))
    t = minimum_spanning_tree(m).tocoo()
    links = sorted((min(a, b), max(a, b)) for a, b in zip(t.row.tolist(), t.col.tolist()))
    return links if len(links) == n - 1 else None


def mst(inst: Instance) -> Links | None:
    return mst_within(inst, inst.has_edge)


def candidates(inst: Instance, extra: Links = ()) -> tuple[np.ndarray, ...]:
    """Candidate links as arrays (u, v, clipped weight), sorted by weight
    (ties by pair), each once."""
    n = inst.n
    if n <= DENSE_NODES:
        iu, iv = np.nonzero(np.triu(inst.has_edge, 1))
    else:
        w = np.where(inst.has_edge, inst.weight, np.iinfo(np.int64).max)
        np.fill_diagonal(w, np.iinfo(np.int64).max)
        k = min(NEAREST, n - 1)
        near = np.argpartition(w, k - 1, axis=1)[:, :k]
        rows = np.repeat(np.arange(n), k)
        cols = near.ravel()
        ok = inst.has_edge[rows, cols]
        pairs = np.column_stack([np.minimum(rows, cols), np.maximum(rows, cols)])[ok]
        more = [(u, v) for u, v in extra]
        tree = mst(inst)
        if tree is not None:
            more += tree
        if more:
            pairs = np.vstack([pairs, np.array(more, dtype=np.int64).reshape(-1, 2)])
        pairs = np.unique(pairs, axis=0)
        iu, iv = pairs[:, 0], pairs[:, 1]
    raw = inst.weight[iu, iv]
    order = np.lexsort((iv, iu, raw))
    iu, iv = iu[order].astype(np.int64), iv[order].astype(np.int64)
    return iu, iv, np.clip(raw[order], 0, None).astype(np.int64)


def local_search(inst: Instance, links: Links, cand=None) -> Links:
    """A local optimum reached from `links`; returned unchanged when they do
    not connect all nodes. `cand`: the candidate links (candidates()) when
    the caller keeps them for many searches on the instance."""
    if not is_connected(inst.n, links):
        return sorted(links)
    start = energy(inst, links, capped=False)
    # Start from the cheapest tree inside the given links, then move.
    tree = mst_within(inst, _adj(inst.n, links))
    if cand is None or not _covers(cand, inst.n, tree):
        cand = candidates(inst, tree)
    eu, ev, ew = cand
    levels = inst.n if inst.n <= DENSE_NODES else LEVELS
    tu = np.array([u for u, _ in tree], dtype=np.int64)
    tv = np.array([v for _, v in tree], dtype=np.int64)
    tw = np.clip(inst.weight[tu, tv], 0, None).astype(np.int64)
    _moves.search(inst.n, eu, ev, ew, tu, tv, tw, levels)
    result = sorted(zip(np.minimum(tu, tv).tolist(), np.maximum(tu, tv).tolist()))
    assert energy(inst, result, capped=False) <= start
    return result


def _covers(cand, n: int, links: Links) -> bool:
    eu, ev, _ = cand
    have = set(zip(eu.tolist(), ev.tolist())) if n > DENSE_NODES else None
    return have is None or all(link in have for link in links)


def _adj(n: int, links: Links) -> np.ndarray:
    a = np.zeros((n, n), dtype=bool)
    for u, v in links:
        a[u, v] = a[v, u] = True
    return a


def iterated_local_search(inst: Instance, links: Links, seconds: float, seed: int = 1,
                          kick: int = 3, trace: list | None = None) -> Links:
    """The local search, then for `seconds` kicks and searches again: drop
    `kick` random tree links, reconnect the pieces by a minimum spanning
    tree under randomly jittered weights (cheap links, not always the
    cheapest), search from there; a result no worse than the current one is
    kept. Returns the best topology met (never worse than the search from
    `links`). trace, a list: gets (seconds, energy, searches made) at the
    first search's end and at each improvement."""
    import time

    start = time.monotonic()
    deadline = start + seconds
    cand = candidates(inst, links)
    eu, ev, ew = cand
    best = current = local_search(inst, links, cand)
    if not is_connected(inst.n, best):
        return best
    best_e = current_e = energy(inst, best, capped=False)
    searches = 1
    if trace is not None:
        trace.append((time.monotonic() - start, best_e, searches))
    rng = np.random.default_rng(seed)
    n = inst.n
    while time.monotonic() < deadline:
        tree = list(current)
        keep = [tree[i] for i in sorted(rng.choice(len(tree), size=len(tree) - min(
            kick, len(tree)), replace=False))]
        parent = list(range(n))

        def find(a):
            while parent[a] != a:
                parent[a] = parent[parent[a]]
                a = parent[a]
            return a

        for u, v in keep:
            parent[find(u)] = find(v)
        order = np.argsort(ew * rng.uniform(1.0, 1.5, len(ew)), kind="stable")
        new = list(keep)
        for e in order.tolist():
            a, b = find(int(eu[e])), find(int(ev[e]))
            if a != b:
                parent[a] = b
                new.append((int(eu[e]), int(ev[e])))
                if len(new) == n - 1:
                    break
        new = local_search(inst, new, cand)
        searches += 1
        e = energy(inst, new, capped=False)
        if e <= current_e:
            current, current_e = new, e
        if e < best_e:
            best, best_e = new, e
            if trace is not None:
                trace.append((time.monotonic() - start, e, searches))
    return best
