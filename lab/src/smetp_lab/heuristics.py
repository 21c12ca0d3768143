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
"""
from __future__ import annotations

import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import connected_components, minimum_spanning_tree

from .energy import Links, energy, is_connected, usable
from .instance import Instance


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


def _tree_powers(inst: Instance, adj: np.ndarray) -> np.ndarray:
    return np.where(adj, inst.weight, 0).max(axis=1).clip(min=0)


def _adj(n: int, links: Links) -> np.ndarray:
    a = np.zeros((n, n), dtype=bool)
    for u, v in links:
        a[u, v] = a[v, u] = True
    return a


def _links(adj: np.ndarray) -> Links:
    iu, iv = np.nonzero(np.triu(adj, 1))
    return list(zip(iu.tolist(), iv.tolist()))


def _exchange(inst: Instance, adj: np.ndarray) -> bool:
    """Applies the first improving exchange; True when one was found."""
    W = inst.weight
    p = _tree_powers(inst, adj)
    for a, b in _links(adj):
        adj[a, b] = adj[b, a] = False
        _, side = connected_components(csr_matrix(adj), directed=False)
        q = p.copy()
        q[a] = max(0, W[a][adj[a]].max(initial=0))
        q[b] = max(0, W[b][adj[b]].max(initial=0))
        cross = (side[:, None] != side[None, :]) & inst.has_edge
        rise = (np.maximum(W - q[:, None], 0) + np.maximum(W - q[None, :], 0))
        rise = np.where(cross, rise, np.iinfo(np.int64).max)
        c, d = np.unravel_index(np.argmin(rise), rise.shape)
        if int(rise[c, d]) + int(q[a] - p[a]) + int(q[b] - p[b]) < 0:
            adj[c, d] = adj[d, c] = True
            return True
        adj[a, b] = adj[b, a] = True
    return False


def _repair(inst: Instance, q: np.ndarray, capped: int) -> np.ndarray | None:
    """Raises powers (never node `capped`'s) until the usable links connect
    all nodes, each step by the crossing link that costs least."""
    W = inst.weight
    q = q.copy()
    while True:
        k, comp = connected_components(csr_matrix(usable(inst, q)), directed=False)
        if k == 1:
            return q
        rise_u = np.maximum(W - q[:, None], 0)
        rise = rise_u + rise_u.T
        ok = inst.has_edge & (comp[:, None] != comp[None, :])
        ok[capped, :] &= W[capped, :] <= q[capped]
        ok[:, capped] &= W[:, capped] <= q[capped]
        if not ok.any():
            return None
        rise = np.where(ok, rise, np.iinfo(np.int64).max)
        c, d = np.unravel_index(np.argmin(rise), rise.shape)
        q[c] = max(q[c], W[c, d])
        q[d] = max(q[d], W[c, d])


def _lower(inst: Instance, adj: np.ndarray) -> bool:
    """Applies the first improving lower-and-repair move."""
    p = _tree_powers(inst, adj)
    current = int(p.sum())
    W = inst.weight
    for v in np.argsort(-p):
        levels = np.unique(np.clip(W[v][inst.has_edge[v]], 0, None))
        for level in levels[levels < p[v]][::-1]:
            q = p.copy()
            q[v] = level
            q = _repair(inst, q, v)
            if q is None:
                continue
            tree = mst_within(inst, usable(inst, q))
            if tree is None:
                continue
            new = _adj(inst.n, tree)
            if int(_tree_powers(inst, new).sum()) < current:
                adj[:] = new
                return True
    return False


def local_search(inst: Instance, links: Links, max_rounds: int = 10000) -> Links:
    """A local optimum reached from `links`; returned unchanged when they do
    not connect all nodes."""
    if not is_connected(inst.n, links):
        return sorted(links)
    start = energy(inst, links)
    # Start from the cheapest tree inside the given links, then move.
    tree = mst_within(inst, _adj(inst.n, links))
    adj = _adj(inst.n, tree)
    for _ in range(max_rounds):
        p = _tree_powers(inst, adj)
        retree = mst_within(inst, usable(inst, p))
        new = _adj(inst.n, retree)
        if int(_tree_powers(inst, new).sum()) < int(p.sum()):
            adj = new
            continue
        if _exchange(inst, adj) or _lower(inst, adj):
            continue
        break
    result = _links(adj)
    assert energy(inst, result) <= start
    return result
