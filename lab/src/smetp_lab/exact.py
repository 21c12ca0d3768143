"""The optimum by mixed-integer programming (HiGHS through highspy).

Formulation. A solution is a power level per node; the links it allows are
the edges whose weight neither end's power falls short of, and they must
connect all nodes. For node v let L_v,0 < L_v,1 < ... be the distinct
weights of its edges (negative ones read as 0).

  y[v,k] in {0,1}   v's power reaches L_v,k           (y[v,0] = 1, every node
                                                      needs at least one link)
  y[v,k+1] <= y[v,k]                                   (levels are monotone)
  energy = sum_v sum_k (L_v,k - L_v,k-1) y[v,k]       (L_v,-1 = 0)

Connectivity through a spanning arborescence rooted at node 1 with arc
variables z[a,b] in [0,1] (a is b's parent):
  sum_a z[a,b] = 1                            for every b but the root
  sum_{a: rank_b(ab) >= k} z[a,b] <= y[b,k]   (a node's parent link sets its
                                               power from below, per level)
  z[a,b] + z[b,a] <= y[a, rank_a(ab)]        (a link, whichever way the tree
                                               runs through it, needs both
                                               ends' power; this, not the
                                               arc alone, keeps the LP from
                                               paying half a link per end)
  sum_{a not in S, b in S} z[a,b] >= 1        for sets S without the root
  sum_{u in S} y[u, r_u(S)] >= 1              for sets S, r_u(S) the level of
                                               u's cheapest edge leaving S
                                               (power cuts: some node of S
                                               must reach out of S)
the last two added as needed (see below).
z need not be integral: once y is, the cut constraints can be met exactly
when the allowed links connect all nodes.

Solving: cut constraints found by maximum flow on the LP relaxation, and
power cuts for the node sets that joining nodes by their most strongly
allowed links meets, are added until none is violated; then the MIP runs (started from the local
search's topology), and whenever its solution leaves the allowed links
disconnected, each piece without the root gets its cut and the MIP runs
again. The proven optimum is then exact; with a time limit the last MIP's
bound is a valid lower bound.
"""
from __future__ import annotations

import json
import os
import sys
import time
from collections import deque

import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import maximum_flow

from .energy import Links, energy, to_pairs, usable, usable_components
from .heuristics import iterated_local_search, mst, mst_within
from .instance import Instance, LabError

_FLOW_SCALE = 1_000_000
# The model's rows "the parent link sets the power from below" hold n^3/2
# entries: 300 nodes take some 13 million (a few GB while building).
EXACT_MAX_NODES = 300
_CACHE_VERSION = 1


def _new_highs():
    """A silent solver; the library prints a banner on stdout the first time
    one is made, which must not mix with this program's output."""
    import highspy

    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        h = highspy.Highs()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)
    h.setOptionValue("output_flag", False)
    return h


class _Model:
    def __init__(self, inst: Instance, root: int = 0):
        self.inst, self.root = inst, root
        n, W = inst.n, inst.weight
        self.levels = []
        self.ycol: list[list[int]] = []
        col = 0
        cost, lower = [], []
        for v in range(n):
            lv = np.unique(np.clip(W[v][inst.has_edge[v]], 0, None))
            self.levels.append(lv)
            self.ycol.append(list(range(col, col + len(lv))))
            col += len(lv)
            prev = 0
            for k, level in enumerate(lv):
                cost.append(float(level - prev))
                lower.append(1.0 if k == 0 else 0.0)
                prev = level
        self.num_y = col
        self.arcs: list[tuple[int, int]] = []
        for u, v, _ in inst.edges:
            if v != root:
                self.arcs.append((u, v))
            if u != root:
                self.arcs.append((v, u))
        self.zcol = {arc: self.num_y + i for i, arc in enumerate(self.arcs)}
        ncol = self.num_y + len(self.arcs)
        cost += [0.0] * len(self.arcs)
        lower += [0.0] * len(self.arcs)

        rows_lo, rows_hi, starts, idx, val = [], [], [], [], []

        def row(lo, hi, entries):
            rows_lo.append(lo)
            rows_hi.append(hi)
            starts.append(len(idx))
            for c, a in entries:
                idx.append(c)
                val.append(a)

        inf = float("inf")
        for v in range(n):
            ys = self.ycol[v]
            for k in range(len(ys) - 1):
                row(-inf, 0.0, [(ys[k + 1], 1.0), (ys[k], -1.0)])
        parents: list[list[tuple[int, int]]] = [[] for _ in range(n)]  # (rank at b, col)
        for a, b in self.arcs:
            parents[b].append((self.rank(b, a), self.zcol[(a, b)]))
        for b in range(n):
            if b == root:
                continue
            row(1.0, 1.0, [(c, 1.0) for _, c in parents[b]])
            for k in range(1, len(self.ycol[b])):
                entries = [(c, 1.0) for r, c in parents[b] if r >= k]
                if entries:
                    row(-inf, 0.0, entries + [(self.ycol[b][k], -1.0)])
        # A link, whichever way the tree runs through it, needs both ends.
        for u, v, _ in inst.edges:
            link = [(self.zcol[arc], 1.0) for arc in ((u, v), (v, u)) if arc in self.zcol]
            for a, b in ((u, v), (v, u)):
                r = self.rank(a, b)
                if r > 0 or len(link) > 1:
                    row(-inf, 0.0 if r > 0 else 1.0,
                        link + ([(self.ycol[a][r], -1.0)] if r > 0 else []))

        self.h = h = _new_highs()
        h.addVars(ncol, np.array(lower), np.ones(ncol))
        h.changeColsCost(ncol, np.arange(ncol, dtype=np.int32), np.array(cost))
        h.addRows(len(rows_lo), np.array(rows_lo), np.array(rows_hi), len(idx),
                  np.array(starts, dtype=np.int32), np.array(idx, dtype=np.int32),
                  np.array(val))
        self.ncol = ncol
        self.cuts = 0

    def rank(self, v: int, u: int) -> int:
        w = max(0, int(self.inst.weight[v, u]))
        return int(np.searchsorted(self.levels[v], w))

    def add_cut(self, inside: np.ndarray):
        """sum of z over arcs entering the node set `inside` >= 1."""
        cols = [c for (a, b), c in self.zcol.items() if inside[b] and not inside[a]]
        self.h.addRow(1.0, float("inf"), len(cols), np.array(cols, dtype=np.int32),
                      np.ones(len(cols)))
        self.cuts += 1

    def z_matrix(self, x: np.ndarray) -> np.ndarray:
        n = self.inst.n
        z = np.zeros((n, n))
        for (a, b), c in self.zcol.items():
            z[a, b] = x[c]
        return z

    def separate(self, x: np.ndarray) -> int:
        """Adds the cut constraints that the LP point x violates (found by
        maximum flow from the root to each node); returns how many."""
        n, root = self.inst.n, self.root
        cap = np.floor(self.z_matrix(x) * _FLOW_SCALE).astype(np.int32)
        graph = csr_matrix(cap)
        seen = set()
        done = np.zeros(n, dtype=bool)
        for t in range(n):
            if t == root or done[t]:
                continue
            res = maximum_flow(graph, root, t)
            if res.flow_value >= _FLOW_SCALE * (1 - 1e-4):
                continue
            residual = cap - res.flow.toarray()
            reach = np.zeros(n, dtype=bool)
            reach[root] = True
            queue = deque([root])
            while queue:
                u = queue.popleft()
                for v in np.nonzero((residual[u] > 0) & ~reach)[0]:
                    reach[v] = True
                    queue.append(v)
            inside = ~reach
            key = inside.tobytes()
            if key not in seen:
                seen.add(key)
                self.add_cut(inside)
            done |= inside
        return len(seen)

    def y_levels(self, x: np.ndarray) -> np.ndarray:
        """Y[v, u]: the LP value of "v's power reaches edge vu"."""
        n = self.inst.n
        Y = np.zeros((n, n))
        for v in range(n):
            ys = x[self.ycol[v]]
            for u in np.nonzero(self.inst.has_edge[v])[0]:
                Y[v, u] = ys[self.rank(v, u)]
        return Y

    def add_power_cut(self, inside: np.ndarray):
        """Some node of `inside` must reach its cheapest edge leaving it."""
        cols = []
        for u in np.nonzero(inside)[0]:
            out = self.inst.has_edge[u] & ~inside
            if out.any():
                w = max(0, int(self.inst.weight[u][out].min()))
                cols.append(self.ycol[u][int(np.searchsorted(self.levels[u], w))])
        self.h.addRow(1.0, float("inf"), len(cols), np.array(cols, dtype=np.int32),
                      np.ones(len(cols)))
        self.cuts += 1

    def power_cut_value(self, x, inside) -> float:
        total = 0.0
        for u in np.nonzero(inside)[0]:
            out = self.inst.has_edge[u] & ~inside
            if out.any():
                w = max(0, int(self.inst.weight[u][out].min()))
                total += x[self.ycol[u][int(np.searchsorted(self.levels[u], w))]]
        return total

    def separate_power(self, x: np.ndarray) -> int:
        """Power cuts for the node sets met while joining nodes by edges in
        falling order of how strongly the LP allows them."""
        n = self.inst.n
        Y = self.y_levels(x)
        S = np.minimum(Y, Y.T)
        iu, iv = np.nonzero(np.triu(self.inst.has_edge, 1))
        order = np.argsort(-S[iu, iv], kind="stable")
        added = 0
        candidates = [np.eye(n, dtype=bool)[v] for v in range(n)]
        for members in merged_sets(n, iu[order], iv[order]):
            inside = np.zeros(n, dtype=bool)
            inside[members] = True
            candidates += [inside, ~inside]
        for inside in candidates:
            if self.power_cut_value(x, inside) < 1 - 1e-4:
                self.add_power_cut(inside)
                added += 1
        return added

    def powers_of(self, x: np.ndarray) -> np.ndarray:
        p = np.zeros(self.inst.n, dtype=np.int64)
        for v, cols in enumerate(self.ycol):
            on = [k for k, c in enumerate(cols) if x[c] > 0.5]
            p[v] = self.levels[v][max(on)] if on else 0
        return p

    def solution_of(self, links: Links) -> np.ndarray:
        """A full MIP point for a spanning tree: arcs oriented from the root."""
        n, root = self.inst.n, self.root
        x = np.zeros(self.ncol)
        nbr: list[list[int]] = [[] for _ in range(n)]
        p = np.zeros(n, dtype=np.int64)
        for u, v in links:
            nbr[u].append(v)
            nbr[v].append(u)
            w = max(0, int(self.inst.weight[u, v]))
            p[u], p[v] = max(p[u], w), max(p[v], w)
        for v, cols in enumerate(self.ycol):
            for k, c in enumerate(cols):
                x[c] = 1.0 if self.levels[v][k] <= p[v] or k == 0 else 0.0
        seen = {root}
        queue = deque([root])
        while queue:
            a = queue.popleft()
            for b in nbr[a]:
                if b not in seen:
                    seen.add(b)
                    x[self.zcol[(a, b)]] = 1.0
                    queue.append(b)
        return x


def merged_sets(n: int, us, vs, max_size: int | None = None) -> list[list[int]]:
    """The node sets met while joining nodes by the links (us[i], vs[i]) in
    this order: each merge's members, short of all n nodes (and of at most
    max_size nodes when given)."""
    parent = list(range(n))
    members = {v: [v] for v in range(n)}

    def find(a):
        while parent[a] != a:
            parent[a] = parent[parent[a]]
            a = parent[a]
        return a

    out = []
    for u, v in zip(us.tolist(), vs.tolist()):
        a, b = find(u), find(v)
        if a == b:
            continue
        parent[b] = a
        members[a] += members.pop(b)
        if len(members[a]) < n and (max_size is None or len(members[a]) <= max_size):
            out.append(list(members[a]))
    return out


def _tree_for(inst: Instance, p: np.ndarray) -> Links:
    """A spanning tree among the links that powers p allow."""
    return mst_within(inst, usable(inst, p))


def _fix_by_reduced_cost(h, m: _Model, lp_bound: float, best_e: int) -> int:
    """Fixes each power level whose reduced cost lifts the LP bound to the
    energy already found or above: no better solution sets it (energies are
    integers, so only solutions below best_e matter). The model then holds
    no solution as good as the start: a MIP that finds none has proven it."""
    sol = h.getSolution()
    if not sol.dual_valid:
        return 0
    x = np.array(sol.col_value[:m.num_y])
    d = np.array(sol.col_dual[:m.num_y])
    room = best_e - 1 - lp_bound + 1e-6
    zero = np.nonzero((x < 1e-9) & (d > room))[0]
    one = np.nonzero((x > 1 - 1e-9) & (-d > room))[0]
    for cols, value in ((zero, 0.0), (one, 1.0)):
        if len(cols):
            h.changeColsBounds(len(cols), cols.astype(np.int32), np.full(len(cols), value),
                               np.full(len(cols), value))
    return len(zero) + len(one)


def solve(inst: Instance, time_limit: float = 600.0, log=None) -> dict:
    """Solves the instance; returns optimum, bound, gap, seconds, proven,
    topology (1-based pairs) and solver details."""
    import highspy

    t0 = time.monotonic()

    def say(msg):
        if log:
            log(f"exact {inst.name}: {msg} ({time.monotonic() - t0:.1f} s)")

    if inst.n > EXACT_MAX_NODES:
        raise LabError(inst.path, f"{inst.n} nodes: the exact model grows as the cube of the "
                       f"nodes and is built for up to {EXACT_MAX_NODES} (its bound at 200 "
                       "nodes is about 5 % below the best topology after a minute); "
                       "baseline takes any size")
    result = {"nodes": inst.n, "edges": len(inst.edges), "sha256": inst.sha256}
    start = mst(inst)
    if start is None:
        # The listed pairs themselves leave some node unreachable.
        result.update(optimum=inst.infeasible, bound=inst.infeasible, gap=0.0, proven=True,
                      topology=None, seconds=round(time.monotonic() - t0, 3), status="infeasible")
        return result
    # A good start lets the reduced costs fix more levels and the MIP prune
    # more: the iterated local search for a time growing with the size
    # (0.9 s at 45 nodes, 10 s at 100), at most a tenth of the limit.
    best = iterated_local_search(inst, start, min(0.1 * time_limit, inst.n**3 / 1e5))
    best_e = energy(inst, best, capped=False)
    say(f"iterated local search {best_e}")
    m = _Model(inst)
    h = m.h
    result["solver"] = f"HiGHS {h.version()}"
    deadline = t0 + time_limit

    def stop_at_deadline(e):
        # The solver's own time limit is checked coarsely (a MIP's presolve
        # and root ran 9 s past it); its interrupt hooks are called often.
        if time.monotonic() >= deadline:
            e.user_interrupt = True

    def limit_to_deadline():
        # The solver's time limit counts all its runs together.
        h.setOptionValue("time_limit", h.getRunTime() + max(0.01, deadline - time.monotonic()))

    h.cbSimplexInterrupt.subscribe(stop_at_deadline)
    # LP relaxation with cut constraints from maximum flow.
    rounds, lp_bound, lp_final = 0, 0.0, False
    while time.monotonic() < deadline:
        limit_to_deadline()
        h.run()
        if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
            break
        lp_bound = h.getInfo().objective_function_value
        x = np.array(h.getSolution().col_value)
        rounds += 1
        if time.monotonic() >= deadline:
            lp_final = True  # no time for more cuts: this LP's bound and duals stand
            break
        added = m.separate(x) + m.separate_power(x)
        lp_final = not added
        if rounds % 10 == 0 or not added:
            say(f"LP round {rounds}: bound {lp_bound:.1f}, {m.cuts} cuts")
        if not added:
            break
    # Reduced costs fix levels only from an LP solved to the end, with no
    # cut added after it.
    fixed = _fix_by_reduced_cost(h, m, lp_bound, best_e) if lp_final else 0
    if fixed:
        say(f"{fixed} power levels fixed by reduced cost")
    # The MIP, cutting off disconnected solutions until one is connected.
    h.changeColsIntegrality(m.num_y, np.arange(m.num_y, dtype=np.int32),
                            np.array([highspy.HighsVarType.kInteger] * m.num_y))
    h.setOptionValue("mip_rel_gap", 0.0)
    h.setOptionValue("mip_abs_gap", 1.0 - 1e-6)  # energies are integers
    # The start from the local search is usually optimal or close, so the
    # solver's work is the proof. Its restarts after reduced-cost fixing
    # redo the root cut loop each time, and RINS/RENS hunt for better
    # points that rarely exist; without them every sample is proven
    # several times faster (bench/bench_lab.py).
    h.setOptionValue("mip_allow_restart", False)
    h.setOptionValue("mip_heuristic_run_rins", False)
    h.setOptionValue("mip_heuristic_run_rens", False)
    bound, proven, mip_rounds = lp_bound, False, 0
    last_note = [time.monotonic()]

    def on_interrupt(e):
        stop_at_deadline(e)
        now = time.monotonic()
        if log and now - last_note[0] >= 5.0:
            last_note[0] = now
            d = e.data_out
            # The best topology found so far: the solver's own best value
            # is its cut-off below that (after fixing) or a point whose
            # links may not connect, neither a topology's energy.
            say(f"MIP nodes {d.mip_node_count}, bound {d.mip_dual_bound:.1f}, best {best_e}")

    h.cbMipInterrupt.subscribe(on_interrupt)
    while True:
        if time.monotonic() >= deadline:
            break
        limit_to_deadline()
        if fixed:
            # The start may use fixed levels: the solver searches below it.
            h.setOptionValue("objective_bound", best_e - 1 + 1e-6)
        else:
            sol = highspy.HighsSolution()
            sol.col_value = list(m.solution_of(best))
            sol.value_valid = True
            h.setSolution(sol)
        h.run()
        mip_rounds += 1
        status = h.getModelStatus()
        info = h.getInfo()
        if status == highspy.HighsModelStatus.kInfeasible and fixed:
            # Nothing below the energy found: it is the optimum.
            bound, proven = float(best_e), True
            break
        if info.mip_dual_bound > -1e30:
            bound = max(bound, info.mip_dual_bound)
        if info.primal_solution_status != 2:  # no feasible point
            break
        x = np.array(h.getSolution().col_value)
        p = m.powers_of(x)
        k, comp = usable_components(inst, p)
        if k > 1:
            for c in range(k):
                inside = comp == c
                if not inside[m.root]:
                    m.add_cut(inside)
            say(f"MIP round {mip_rounds}: solution in {k} pieces, {m.cuts} cuts")
            continue
        tree = _tree_for(inst, p)
        e = energy(inst, tree, capped=False)
        if e < best_e:
            best, best_e = tree, e
        proven = status == highspy.HighsModelStatus.kOptimal
        break
    bound = min(float(best_e), float(np.ceil(bound - 1e-6)))
    gap = (best_e - bound) / best_e if best_e else 0.0
    proven = bool(proven or best_e <= bound)
    if inst.cap is not None and best_e > inst.cap:
        # The best topology found scores the engine's cap (and so does every
        # topology when the bound passes it too). The true values are kept:
        # the cap alone says nothing of the instance.
        result.update(capped=True, true_optimum=best_e, true_bound=bound)
        best_e, bound = inst.cap, min(bound, float(inst.cap))
    result.update(optimum=best_e, bound=bound, gap=round(gap, 6), proven=proven,
                  topology=to_pairs(best),
                  seconds=round(time.monotonic() - t0, 3),
                  status="optimal" if proven else "time limit",
                  lp_rounds=rounds, mip_rounds=mip_rounds, cuts=m.cuts)
    say(f"{'optimum' if result['proven'] else 'best'} {result['optimum']}, bound {bound:.0f}")
    return result


def cache_dir(given: str | None = None) -> str:
    if given:
        return given
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "smetp-lab")


def cached_solve(inst: Instance, time_limit: float, directory: str | None = None,
                 log=None) -> dict:
    """solve() with its result kept per instance content: a proven optimum
    is reused always, an unproven one only when the new limit is no longer."""

    return cached_result("exact", _CACHE_VERSION, inst, time_limit, directory, log,
                         lambda: solve(inst, time_limit, log), lambda c: c["proven"],
                         # A capped result from before the true values were kept
                         # is solved again.
                         stale=lambda c: c.get("capped") and "true_optimum" not in c)


def cache_path(kind: str, inst: Instance, directory: str | None = None) -> str:
    return os.path.join(cache_dir(directory), f"{kind}-{inst.sha256}.json")


def read_cached(kind: str, version: int, inst: Instance, directory: str | None = None):
    """The cached result of `kind` for this instance, or None."""
    try:
        with open(cache_path(kind, inst, directory)) as f:
            cached = json.load(f)
        return cached if cached.get("version") == version else None
    except (OSError, ValueError):
        return None


def cached_result(kind: str, version: int, inst: Instance, time_limit: float,
                  directory: str | None, log, compute, final, stale=lambda c: False) -> dict:
    """compute()'s result kept per instance content in the cache folder: a
    cached one (not stale) is reused when final(cached) says no more time
    would change it, or when it had at least this time limit."""
    cached = read_cached(kind, version, inst, directory)
    try:
        if cached is not None and not stale(cached) and (
                final(cached) or cached.get("time_limit", 0) >= time_limit):
            cached["cached"] = True
            return cached
    except KeyError:
        pass
    path = cache_path(kind, inst, directory)
    result = compute()
    result["time_limit"] = time_limit
    result["version"] = version
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        tmp = f"{path}.{os.getpid()}.tmp"
        with open(tmp, "w") as f:
            json.dump(result, f)
        os.replace(tmp, path)
    except OSError as e:
        if log:
            log(f"cannot write the cache {path}: {e}")
    result["cached"] = False
    return result
