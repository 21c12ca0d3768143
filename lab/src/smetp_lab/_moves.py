"""The local search's moves as compiled code (numba), on a spanning tree
held as three arrays (tu, tv, tw: ends and clipped weight of each link),
changed in place, and candidate links eu, ev, ew sorted by weight.

A node's power is its heaviest tree link; powers are never below 0 since
weights are clipped at 0, so a link is usable under powers q when its
weight falls short of neither end's power.
"""
from __future__ import annotations

import numpy as np

try:
    from numba import njit
except OSError as e:
    # llvmlite reports a shared library it cannot map (a small address
    # space, ulimit -v) as OSError: it is a library that failed to load.
    raise ImportError(str(e).split(". ")[0], name="numba") from e

BIG = np.int64(1) << 62


@njit(cache=True)
def _find(parent, a):
    while parent[a] != a:
        parent[a] = parent[parent[a]]
        a = parent[a]
    return a


@njit(cache=True)
def connected(n, us, vs):
    """Whether the links (us[i], vs[i]) connect all n nodes."""
    parent = np.arange(n)
    pieces = n
    for i in range(len(us)):
        a, b = _find(parent, us[i]), _find(parent, vs[i])
        if a != b:
            parent[a] = b
            pieces -= 1
    return pieces == 1


@njit(cache=True)
def _powers(n, tu, tv, tw):
    p = np.zeros(n, dtype=np.int64)
    for k in range(len(tu)):
        if tw[k] > p[tu[k]]:
            p[tu[k]] = tw[k]
        if tw[k] > p[tv[k]]:
            p[tv[k]] = tw[k]
    return p


@njit(cache=True)
def _top_two(n, tu, tv, tw):
    """Each node's heaviest and second-heaviest tree link weights (0 where
    there is none)."""
    m1 = np.zeros(n, dtype=np.int64)
    m2 = np.zeros(n, dtype=np.int64)
    for k in range(len(tu)):
        for x in (tu[k], tv[k]):
            w = tw[k]
            if w > m1[x]:
                m2[x] = m1[x]
                m1[x] = w
            elif w > m2[x]:
                m2[x] = w
    return m1, m2


@njit(cache=True)
def _kruskal(n, eu, ev, ew, q, ou, ov, ow):
    """Minimum spanning tree among the links usable under powers q, written
    to ou, ov, ow; returns its link count (n - 1 when it spans)."""
    parent = np.arange(n)
    count = 0
    for e in range(len(eu)):
        c, d, w = eu[e], ev[e], ew[e]
        if w > q[c] or w > q[d]:
            continue
        rc, rd = _find(parent, c), _find(parent, d)
        if rc == rd:
            continue
        parent[rc] = rd
        ou[count], ov[count], ow[count] = c, d, w
        count += 1
        if count == n - 1:
            break
    return count


@njit(cache=True)
def _repair(n, eu, ev, ew, q, v, level):
    """Raises powers (never node v's, held at `level`) until the usable links
    connect all nodes, each step by the crossing link that raises the powers
    least; False when no link can join the pieces."""
    parent = np.empty(n, dtype=np.int64)
    root = np.empty(n, dtype=np.int64)
    while True:
        for x in range(n):
            parent[x] = x
        pieces = n
        for e in range(len(eu)):
            c, d, w = eu[e], ev[e], ew[e]
            if w <= q[c] and w <= q[d]:
                rc, rd = _find(parent, c), _find(parent, d)
                if rc != rd:
                    parent[rc] = rd
                    pieces -= 1
        if pieces == 1:
            return True
        for x in range(n):
            root[x] = _find(parent, x)
        best, pick = BIG, -1
        for e in range(len(eu)):
            c, d, w = eu[e], ev[e], ew[e]
            if root[c] == root[d] or ((c == v or d == v) and w > level):
                continue
            rise = max(w - q[c], 0) + max(w - q[d], 0)
            if rise < best:
                best, pick = rise, e
        if pick < 0:
            return False
        c, d, w = eu[pick], ev[pick], ew[pick]
        q[c] = max(q[c], w)
        q[d] = max(q[d], w)


@njit(cache=True)
def _exchange_sweep(n, eu, ev, ew, tu, tv, tw):
    """For each tree link whose removal lowers a power: drop it and reconnect
    the two halves by the link that raises the powers least, when that
    lowers the energy. True when any exchange was made."""
    improved = False
    side = np.zeros(n, dtype=np.int8)
    stack = np.empty(n, dtype=np.int64)
    start = np.zeros(n + 1, dtype=np.int64)
    nbr = np.empty(2 * (n - 1), dtype=np.int64)
    via = np.empty(2 * (n - 1), dtype=np.int64)
    p = _powers(n, tu, tv, tw)
    m1, m2 = _top_two(n, tu, tv, tw)
    dirty = True
    for k in range(n - 1):
        if dirty:
            p = _powers(n, tu, tv, tw)
            m1, m2 = _top_two(n, tu, tv, tw)
            start[:] = 0
            for j in range(n - 1):
                start[tu[j] + 1] += 1
                start[tv[j] + 1] += 1
            for x in range(n):
                start[x + 1] += start[x]
            fill = start[:-1].copy()
            for j in range(n - 1):
                for a, b in ((tu[j], tv[j]), (tv[j], tu[j])):
                    nbr[fill[a]] = b
                    via[fill[a]] = j
                    fill[a] += 1
            dirty = False
        a, b, w = tu[k], tv[k], tw[k]
        qa = m2[a] if w == m1[a] else m1[a]
        qb = m2[b] if w == m1[b] else m1[b]
        gain = (p[a] - qa) + (p[b] - qb)
        if gain <= 0:
            continue
        side[:] = 0
        side[a] = 1
        top = 0
        stack[0] = a
        while top >= 0:
            x = stack[top]
            top -= 1
            for i in range(start[x], start[x + 1]):
                if via[i] != k and side[nbr[i]] == 0:
                    side[nbr[i]] = 1
                    top += 1
                    stack[top] = nbr[i]
        best, pick = gain, -1
        for e in range(len(eu)):
            c, d, x = eu[e], ev[e], ew[e]
            if side[c] == side[d] or (c == a and d == b) or (c == b and d == a):
                continue
            qc = qa if c == a else (qb if c == b else p[c])
            qd = qa if d == a else (qb if d == b else p[d])
            rise = max(x - qc, 0) + max(x - qd, 0)
            if rise < best:
                best, pick = rise, e
        if pick >= 0:
            tu[k], tv[k], tw[k] = eu[pick], ev[pick], ew[pick]
            improved = True
            dirty = True
    return improved


@njit(cache=True)
def _lower_sweep(n, eu, ev, ew, tu, tv, tw, istart, iedge, max_levels):
    """For each node, from the most powerful: cap its power at a lower level
    (the next ones down, at most max_levels), repair, take the minimum
    spanning tree of what is usable, and keep it when cheaper."""
    improved = False
    p = _powers(n, tu, tv, tw)
    current = p.sum()
    order = np.argsort(-p)
    nu = np.empty(n - 1, dtype=np.int64)
    nv = np.empty(n - 1, dtype=np.int64)
    nw = np.empty(n - 1, dtype=np.int64)
    levels = np.empty(n, dtype=np.int64)
    for v in order:
        # v's distinct levels below its power, highest first (its candidate
        # links come sorted by weight).
        count = 0
        last = -1
        for i in range(istart[v + 1] - 1, istart[v] - 1, -1):
            w = ew[iedge[i]]
            if w < p[v] and w != last and count < max_levels:
                levels[count] = w
                count += 1
                last = w
        for j in range(count):
            q = p.copy()
            q[v] = levels[j]
            if not _repair(n, eu, ev, ew, q, v, levels[j]):
                continue
            if _kruskal(n, eu, ev, ew, q, nu, nv, nw) < n - 1:
                continue
            e = _powers(n, nu, nv, nw).sum()
            if e < current:
                tu[:] = nu
                tv[:] = nv
                tw[:] = nw
                p = _powers(n, tu, tv, tw)
                current = e
                improved = True
                break
    return improved


@njit(cache=True)
def search(n, eu, ev, ew, tu, tv, tw, max_levels):
    """Moves the tree (tu, tv, tw, changed in place) to a local optimum:
    re-tree, exchange, lower-and-repair, until none lowers the energy."""
    istart = np.zeros(n + 1, dtype=np.int64)
    for e in range(len(eu)):
        istart[eu[e] + 1] += 1
        istart[ev[e] + 1] += 1
    for x in range(n):
        istart[x + 1] += istart[x]
    iedge = np.empty(2 * len(eu), dtype=np.int64)
    fill = istart[:-1].copy()
    for e in range(len(eu)):
        for x in (eu[e], ev[e]):
            iedge[fill[x]] = e
            fill[x] += 1
    nu = np.empty(n - 1, dtype=np.int64)
    nv = np.empty(n - 1, dtype=np.int64)
    nw = np.empty(n - 1, dtype=np.int64)
    while True:
        p = _powers(n, tu, tv, tw)
        if _kruskal(n, eu, ev, ew, p, nu, nv, nw) == n - 1 and \
                _powers(n, nu, nv, nw).sum() < p.sum():
            tu[:] = nu
            tv[:] = nv
            tw[:] = nw
            continue
        if _exchange_sweep(n, eu, ev, ew, tu, tv, tw):
            continue
        if _lower_sweep(n, eu, ev, ew, tu, tv, tw, istart, iedge, max_levels):
            continue
        return
