"""A lower bound on the optimum at any size: the linear relaxation of
exact's model over a restricted set of links and power levels, made valid
for the whole instance by pricing every other link and level.

The model (exact's, with a node's power written as the level it stops at):

  t[v,L] in [0,1]   v's power is exactly L; sum_L t[v,L] = 1,  energy = sum L t[v,L]
  Y_v(w) = sum_{L >= w} t[v,L]                      (v's power reaches w)
  z[a,b] in [0,1]   arc of a spanning arborescence rooted at node 1
  (A) sum_a z[a,b] = 1                              for every b but the root
  (B) sum_{a: w_ab >= w} z[a,b] <= Y_b(w)           (the parent link sets b's power
                                                     from below)
  (C) z[a,b] + z[b,a] <= Y_a(w_ab)                  (a link needs both ends' power)
  (D) sum_{a not in S, b in S} z[a,b] >= 1          for sets S without the root
  (E) sum_{u in S} Y_u(r_u(S)) >= 1                 r_u(S): u's cheapest edge out of S

The linear program holds only candidate links (each node's lightest few, the
minimum spanning tree's, a local search's) and the power levels they and the
power cuts name, with the cuts (D) and (E) that its solutions violate.

Validity. For any multipliers of (A), (C), (D) and (E) with the right signs,
the Lagrangian function -- the minimum of the relaxed objective over the
points that satisfy the rest, sum_L t[v,L] = 1 and (B) for every link and
level of the COMPLETE instance -- is a lower bound on the optimum (weak
duality), whatever the multipliers are. That minimum splits by node: node b
picks one level L and at most one parent arc among its edges of weight <= L,
so it is found exactly over all n - 1 edges and levels of every node by a
sort and a running minimum. The multipliers are the restricted program's
duals (rows the program lacks get 0). Where a node's choice uses a link or a
level the program lacks, they join it (column generation) and the program is
solved again; once no node gains by them, the bound equals the relaxation's
value over the complete instance for the cuts found. Every bound reported is
such a Lagrangian value, never the restricted program's own value.
"""
from __future__ import annotations

import time

import numpy as np
from scipy.sparse import coo_matrix, csr_matrix
from scipy.sparse.csgraph import connected_components, maximum_flow

from .energy import energy
from .exact import merged_sets
from .heuristics import iterated_local_search, mst
from .instance import Instance, LabError

NEAREST = 8  # each node's lightest links in the first program
BOUND_MAX_NODES = 2000
_FLOW_SCALE = 1_000_000
# Power cuts are tried for the node sets up to this size (and their
# complements): their edges out are found by scanning the set's rows.
_POWER_SET_MAX = 40
_CACHE_VERSION = 1
_PRICED_ARCS = 3  # arcs into a node that one pricing round may add
# Up to this size, time left after the relaxation goes to exact's branch and
# bound (its model grows as the cube of the nodes).
BRANCH_MAX_NODES = 150


class _Pricing:
    """The complete instance's edges, each node's sorted by weight, for the
    Lagrangian function."""

    def __init__(self, inst: Instance):
        n = inst.n
        self.W = np.where(inst.has_edge, np.clip(inst.weight, 0, None), np.inf).astype(float)
        np.fill_diagonal(self.W, np.inf)
        self.order = np.argsort(self.W, axis=1, kind="stable")
        self.ws = np.take_along_axis(self.W, self.order, axis=1)
        self.valid = np.isfinite(self.ws)
        # Flattened keys row * span + weight, for one searchsorted over all rows.
        top = float(self.ws[self.valid].max()) if self.valid.any() else 0.0
        self.span = top + 1.0
        self.keys = np.where(self.valid, self.ws, top + 0.5) + \
            np.arange(n)[:, None] * self.span
        self.keys = self.keys.ravel()

    def positions(self, nodes: np.ndarray, thr: np.ndarray) -> np.ndarray:
        """Flat index of the first of each node's sorted edges with weight >= thr."""
        return np.searchsorted(self.keys, nodes * self.span + thr, side="left")


class _Program:
    def __init__(self, inst: Instance, links: set, root: int = 0):
        self.inst, self.root, self.n = inst, root, inst.n
        self.links = set(links)
        self.extra_levels: list[set] = [set() for _ in range(inst.n)]
        self.dcuts: list[np.ndarray] = []  # inside masks
        self.ecuts: list[tuple[np.ndarray, np.ndarray]] = []  # (nodes, thresholds)
        self.Wc = np.clip(inst.weight, 0, None)

    # -- building ---------------------------------------------------------
    def build(self):
        """(Re)builds the program from the links, levels and cuts; a program
        built before passes on its basis, so the solver starts from there."""
        import highspy

        from .exact import _new_highs

        old = self._basis() if getattr(self, "h", None) is not None else None

        n, root, W = self.n, self.root, self.Wc
        lk = np.array(sorted(self.links), dtype=np.int64).reshape(-1, 2)
        self.lk = lk
        lw = W[lk[:, 0], lk[:, 1]]
        levels = [set(s) for s in self.extra_levels]
        for (u, v), w in zip(lk.tolist(), lw.tolist()):
            levels[u].add(w)
            levels[v].add(w)
        self.levels = [np.array(sorted(s), dtype=np.int64) for s in levels]
        tstart = np.zeros(n + 1, dtype=np.int64)
        tstart[1:] = np.cumsum([len(x) for x in self.levels])
        self.tstart = tstart
        nt = int(tstart[-1])
        tnode = np.repeat(np.arange(n), np.diff(tstart))
        tlev = np.concatenate(self.levels) if nt else np.zeros(0, dtype=np.int64)
        self.tnode, self.tlev = tnode, tlev
        # Arcs: both ways of each link, none into the root.
        a = np.concatenate([lk[:, 0], lk[:, 1]])
        b = np.concatenate([lk[:, 1], lk[:, 0]])
        lid = np.concatenate([np.arange(len(lk)), np.arange(len(lk))])
        keep = b != root
        self.aa, self.ab, self.alink = a[keep], b[keep], lid[keep]
        self.aw = W[self.aa, self.ab]
        na = len(self.aa)
        self.ncol = nt + na
        self.zcol = nt + np.arange(na)
        self.arc_of = {}
        for k, (x, y) in enumerate(zip(self.aa.tolist(), self.ab.tolist())):
            self.arc_of[(x, y)] = k

        rows, cols, vals, lo, hi, kinds = [], [], [], [], [], []
        nrow = [0]

        def add(cs, vs, lo_, hi_, kind):
            r = nrow[0]
            rows.append(np.full(len(cs), r, dtype=np.int64))
            cols.append(np.asarray(cs, dtype=np.int64))
            vals.append(np.asarray(vs, dtype=float))
            lo.append(lo_)
            hi.append(hi_)
            kinds.append(kind)
            nrow[0] += 1

        inf = float("inf")
        # (T) one level per node.
        for v in range(n):
            cs = np.arange(tstart[v], tstart[v + 1])
            add(cs, np.ones(len(cs)), 1.0, 1.0, ("T", v))
        # (A) one parent per node but the root.
        in_arcs = [[] for _ in range(n)]
        for k, y in enumerate(self.ab.tolist()):
            in_arcs[y].append(k)
        for v in range(n):
            if v != root:
                ks = np.array(in_arcs[v], dtype=np.int64)
                add(self.zcol[ks], np.ones(len(ks)), 1.0, 1.0, ("A", v))
        # (B) per node and weight of an arc into it, above its lowest level.
        for v in range(n):
            if v == root or not in_arcs[v]:
                continue
            ks = np.array(in_arcs[v], dtype=np.int64)
            ws = self.aw[ks]
            lv = self.levels[v]
            for w in np.unique(ws):
                if w <= lv[0]:
                    continue
                zs = ks[ws >= w]
                ts = tstart[v] + np.nonzero(lv >= w)[0]
                add(np.concatenate([self.zcol[zs], ts]),
                    np.concatenate([np.ones(len(zs)), -np.ones(len(ts))]), -inf, 0.0,
                    ("B", v, int(w)))
        # (C) each link at each end.
        link_arcs = [[] for _ in range(len(lk))]
        for k, li in enumerate(self.alink.tolist()):
            link_arcs[li].append(k)
        self.crow = []  # (end node, threshold) per C row, in order
        for li, (u, v) in enumerate(lk.tolist()):
            w = int(lw[li])
            zs = self.zcol[np.array(link_arcs[li], dtype=np.int64)]
            for x in (u, v):
                lv = self.levels[x]
                ts = tstart[x] + np.nonzero(lv >= w)[0]
                add(np.concatenate([zs, ts]),
                    np.concatenate([np.ones(len(zs)), -np.ones(len(ts))]), -inf, 0.0,
                    ("C", x, w, u, v))
        self.base_rows = nrow[0]
        self.kinds = kinds
        m = coo_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))),
                       shape=(nrow[0], self.ncol)).tocsr()
        self.h = h = _new_highs()
        cost = np.concatenate([tlev.astype(float), np.zeros(na)])
        h.addVars(self.ncol, np.zeros(self.ncol), np.ones(self.ncol))
        h.changeColsCost(self.ncol, np.arange(self.ncol, dtype=np.int32), cost)
        h.addRows(nrow[0], np.array(lo), np.array(hi), m.nnz, m.indptr[:-1].astype(np.int32),
                  m.indices.astype(np.int32), m.data)
        self.count = {"D": 0, "E": 0}
        for inside in self.dcuts:
            self._add_dcut_row(inside)
        for nodes, thr in self.ecuts:
            self._add_ecut_row(nodes, thr)
        self.highspy = highspy
        if old is not None:
            self._restore(old)

    def _col_keys(self) -> list:
        return ([("t", v, L) for v, L in zip(self.tnode.tolist(), self.tlev.tolist())]
                + [("z", a, b) for a, b in zip(self.aa.tolist(), self.ab.tolist())])

    def _basis(self):
        """The solved program's basis by column and row key, or None."""
        b = self.h.getBasis()
        if not b.valid:
            return None
        return (dict(zip(self._col_keys(), b.col_status)),
                dict(zip(self.kinds, b.row_status)))

    def _restore(self, old):
        """Starts the new program from the old basis: columns and rows kept
        keep their status; new columns start at their lower bound, new rows
        basic (so the basis stays square)."""
        hs = self.highspy
        cols, rows = old
        basis = hs.HighsBasis()
        basis.col_status = [cols.get(k, hs.HighsBasisStatus.kLower) for k in self._col_keys()]
        basis.row_status = [rows.get(k, hs.HighsBasisStatus.kBasic) for k in self.kinds]
        basis.valid = True
        self.h.setBasis(basis)

    def _add_dcut_row(self, inside):
        ks = np.nonzero(inside[self.ab] & ~inside[self.aa])[0]
        cols = self.zcol[ks]
        self.h.addRow(1.0, float("inf"), len(cols), cols.astype(np.int32), np.ones(len(cols)))
        self.kinds.append(("D", self.count["D"]))
        self.count["D"] += 1

    def _add_ecut_row(self, nodes, thr):
        cols = []
        for u, w in zip(nodes.tolist(), thr.tolist()):
            lv = self.levels[u]
            cols.append(self.tstart[u] + np.nonzero(lv >= w)[0])
        cols = np.concatenate(cols) if cols else np.zeros(0, dtype=np.int64)
        self.h.addRow(1.0, float("inf"), len(cols), cols.astype(np.int32), np.ones(len(cols)))
        self.kinds.append(("E", self.count["E"]))
        self.count["E"] += 1

    def add_dcut(self, inside):
        self.dcuts.append(inside)
        self._add_dcut_row(inside)

    def add_ecut(self, nodes, thr):
        self.ecuts.append((nodes, thr))
        self._add_ecut_row(nodes, thr)

    # -- separation -------------------------------------------------------
    def separate(self, x: np.ndarray, deadline: float) -> int:
        """Cuts (D) that the LP point violates: first the pieces of the links
        it uses at all, else by maximum flow from the root to each node."""
        n, root = self.n, self.root
        z = x[self.zcol]
        use = z > 1e-9
        g = csr_matrix((np.ones(int(use.sum())), (self.aa[use], self.ab[use])), shape=(n, n))
        k, comp = connected_components(g, directed=False)
        found = 0
        if k > 1:
            for c in range(k):
                inside = comp == c
                if not inside[root]:
                    self.add_dcut(inside)
                    found += 1
            return found
        cap = np.floor(z * _FLOW_SCALE).astype(np.int32)
        keep = cap > 0
        graph = csr_matrix((cap[keep], (self.aa[keep], self.ab[keep])), shape=(n, n))
        graph.sum_duplicates()
        done = np.zeros(n, dtype=bool)
        seen = set()
        for t in range(n):
            if t == root or done[t]:
                continue
            if time.monotonic() >= deadline:
                break
            res = maximum_flow(graph, root, t)
            if res.flow_value >= _FLOW_SCALE * (1 - 1e-4):
                continue
            residual = (graph - res.flow).tocsr()
            residual.data[residual.data < 0] = 0
            residual.eliminate_zeros()
            reach = np.zeros(n, dtype=bool)
            reach[root] = True
            frontier = [root]
            while frontier:
                nxt = np.unique(residual[frontier].indices)
                nxt = nxt[~reach[nxt]]
                reach[nxt] = True
                frontier = nxt.tolist()
            inside = ~reach
            key = inside.tobytes()
            if key not in seen:
                seen.add(key)
                self.add_dcut(inside)
                found += 1
            done |= inside
        return found

    def reach_values(self, x: np.ndarray, nodes: np.ndarray, thr: np.ndarray) -> np.ndarray:
        """Y_u(thr) of the LP point for each (u, thr)."""
        t = x[: self.tstart[-1]]
        out = np.empty(len(nodes))
        for i, (u, w) in enumerate(zip(nodes.tolist(), thr.tolist())):
            lv = self.levels[u]
            out[i] = t[self.tstart[u] + np.searchsorted(lv, w):self.tstart[u + 1]].sum()
        return out

    def separate_power(self, x: np.ndarray, W: np.ndarray) -> int:
        """Power cuts for the node sets met while joining nodes by links in
        falling order of how strongly the LP allows them (sets up to
        _POWER_SET_MAX nodes and their complements)."""
        n = self.n
        lk = self.lk
        w = self.Wc[lk[:, 0], lk[:, 1]]
        ya = self.reach_values(x, lk[:, 0], w)
        yb = self.reach_values(x, lk[:, 1], w)
        order = np.argsort(-np.minimum(ya, yb), kind="stable")
        sets = [[v] for v in range(n)] + merged_sets(n, lk[order, 0], lk[order, 1],
                                                     _POWER_SET_MAX)
        added = 0
        for s in sets:
            s = np.array(s, dtype=np.int64)
            inside = np.zeros(n, dtype=bool)
            inside[s] = True
            rows = W[s]
            out_thr = np.where(inside[None, :], np.inf, rows).min(axis=1)
            comp_thr = rows.min(axis=0)  # each outside node's cheapest edge into s
            for nodes, thr in ((s, out_thr), (np.nonzero(~inside)[0], comp_thr[~inside])):
                ok = np.isfinite(thr)
                nodes, thr = nodes[ok], thr[ok].astype(np.int64)
                if len(nodes) and self.reach_values(x, nodes, thr).sum() < 1 - 1e-4:
                    self.add_ecut(nodes, thr)
                    added += 1
        return added

    # -- the Lagrangian function ------------------------------------------
    def lagrangian(self, duals: np.ndarray, pr: _Pricing, restricted: bool = False):
        """The Lagrangian value for these row duals over the complete
        instance (restricted=True: over the program's own links and levels
        only). Also returns each node's part of it, the sorted position of
        the level it picks, and R (R[b, a]: the relaxed cost of arc a -> b)."""
        n, root = self.n, self.root
        kind = [k[0] for k in self.kinds]
        duals = np.asarray(duals, dtype=float)
        const = 0.0
        R = np.zeros((n, n))
        dn, dthr, dval = [], [], []  # level terms: node, threshold, change of cost
        ci = 0
        dy, ey = [], []
        for r, k in enumerate(kind):
            y = float(duals[r])
            if k == "A":
                const += y
                R[self.kinds[r][1], :] -= y
            elif k == "C":
                mu = min(y, 0.0)  # a <= row: its multiplier is not positive
                u, v = self.lk[ci // 2]
                ci += 1
                if mu:
                    R[v, u] -= mu
                    R[u, v] -= mu
                    dn.append([self.kinds[r][1]])
                    dthr.append([self.kinds[r][2]])
                    dval.append([mu])
            elif k == "D":
                dy.append(max(y, 0.0))
            elif k == "E":
                ey.append(max(y, 0.0))
        piD = np.array(dy)
        const += float(piD.sum()) + float(sum(ey))
        use = np.nonzero(piD > 0)[0]
        if len(use):
            # R[b, a] -= the multipliers of the cuts with b inside, a outside.
            M = np.array([self.dcuts[i] for i in use], dtype=float).T
            R -= (M @ piD[use])[:, None] - (M * piD[use]) @ M.T
        for (nodes, thr), pi in zip(self.ecuts, ey):
            if pi:
                dn.append(nodes)
                dthr.append(thr)
                dval.append(np.full(len(nodes), -pi))
        R[root, :] = np.inf
        if restricted:
            allowed = np.zeros((n, n), dtype=bool)
            allowed[self.ab, self.aa] = True
            R = np.where(allowed, R, np.inf)
        Rs = np.take_along_axis(R, pr.order, axis=1)
        Rs[~pr.valid] = np.inf
        best_arc = np.minimum.accumulate(Rs, axis=1)
        # Each level's cost: the level plus the terms of the relaxed rows
        # whose threshold it reaches.
        delta = np.zeros(n * n + 1)
        if dn:
            nodes = np.concatenate([np.asarray(x, dtype=np.int64) for x in dn])
            thr = np.concatenate([np.asarray(x, dtype=float) for x in dthr])
            val = np.concatenate([np.asarray(x, dtype=float) for x in dval])
            np.add.at(delta, pr.positions(nodes, thr), val)
        level_cost = pr.ws + np.cumsum(delta[:-1].reshape(n, n), axis=1)
        if restricted:
            ok = np.zeros((n, n), dtype=bool)
            for v in range(n):
                ok[v] = np.isin(pr.ws[v], self.levels[v])
            level_cost = np.where(ok, level_cost, np.inf)
        level_cost[~pr.valid] = np.inf
        total = level_cost + np.minimum(best_arc, 0.0)
        pos = np.argmin(total, axis=1)
        node_value = total[np.arange(n), pos]
        return const + float(node_value.sum()), node_value, pos, R


def _initial_links(inst: Instance, tree, best, k: int) -> set:
    n = inst.n
    W = np.where(inst.has_edge, np.clip(inst.weight, 0, None), np.iinfo(np.int64).max)
    np.fill_diagonal(W, np.iinfo(np.int64).max)
    k = min(k, n - 1)
    near = np.argpartition(W, k - 1, axis=1)[:, :k]
    links = set()
    for v in range(n):
        for u in near[v].tolist():
            if inst.has_edge[v, u]:
                links.add((min(u, v), max(u, v)))
    links.update(tree)
    links.update(best)
    return links


def lower_bound(inst: Instance, time_limit: float = 60.0, log=None, nearest: int = NEAREST,
                search_seconds: float | None = None, branch: bool = True) -> dict:
    """A lower bound on the optimum's energy (true, uncapped sums), with how
    it was obtained. Returns bound, best (the best energy found), gap,
    seconds, method, complete (the relaxation solved over all edges), final
    (more time would not raise the bound) and the program's sizes. branch:
    up to BRANCH_MAX_NODES nodes, time left after the relaxation goes to
    exact's branch and bound."""
    t0 = time.monotonic()
    deadline = t0 + time_limit

    def say(msg):
        if log:
            log(f"bound {inst.name}: {msg} ({time.monotonic() - t0:.1f} s)")

    if inst.n > BOUND_MAX_NODES:
        raise LabError(inst.path, f"{inst.n} nodes: bound takes up to {BOUND_MAX_NODES}")
    result = {"nodes": inst.n, "edges": len(inst.edges), "sha256": inst.sha256}
    tree = mst(inst)
    if tree is None:
        result.update(bound=inst.infeasible, best=inst.infeasible, gap=0.0,
                      method="the edges do not connect all nodes", complete=True, final=True,
                      seconds=round(time.monotonic() - t0, 3))
        return result
    Wc = np.clip(inst.weight, 0, None)
    mst_weight = int(sum(int(Wc[u, v]) for u, v in tree))
    if search_seconds is None:
        search_seconds = min(0.05 * time_limit, inst.n**3 / 1e6)
    best = iterated_local_search(inst, tree, search_seconds)
    best_e = energy(inst, best, capped=False)
    say(f"local search {best_e}, minimum spanning tree {mst_weight}")
    bound, method = float(mst_weight), "minimum spanning tree"
    prog = _Program(inst, _initial_links(inst, tree, best, nearest))
    pr = _Pricing(inst)
    prog.build()
    h = prog.h
    hs = prog.highspy

    def stop(e):
        if time.monotonic() >= deadline:
            e.user_interrupt = True

    rounds = pricings = 0
    complete = False
    while time.monotonic() < deadline:
        h.setOptionValue("time_limit", max(0.01, deadline - time.monotonic()))
        h.cbSimplexInterrupt.subscribe(stop)
        h.run()
        if h.getModelStatus() != hs.HighsModelStatus.kOptimal:
            break
        rounds += 1
        sol = h.getSolution()
        x = np.array(sol.col_value)
        duals = np.array(sol.row_dual)
        lp = h.getInfo().objective_function_value
        value, node_value, pos, R = prog.lagrangian(duals, pr)
        if value > bound:
            bound = value
            method = (f"linear relaxation over {len(prog.links)} links and "
                      f"{int(prog.tstart[-1])} power levels with {len(prog.dcuts)} cut and "
                      f"{len(prog.ecuts)} power cut constraints, priced over all "
                      f"{len(inst.edges)} edges")
        if rounds % 5 == 1:
            say(f"round {rounds}: program {lp:.1f}, bound {value:.1f}, {len(prog.links)} links, "
                f"{len(prog.dcuts) + len(prog.ecuts)} cuts")
        if time.monotonic() >= deadline:
            break
        # What the links and levels the program lacks would gain, node by node.
        rvalue, rnode, _, _ = prog.lagrangian(duals, pr, restricted=True)
        need = np.nonzero(rnode - node_value > 1e-7 * max(1.0, abs(rvalue)) / inst.n + 1e-9)[0]
        added = prog.separate(x, deadline)
        if not added:
            added = prog.separate_power(x, pr.W)
        # Priced once no cut is violated, or early where the missing links
        # cost the bound much (on large instances the cut rounds are many).
        if not len(need) or (added and rvalue - value < 0.002 * abs(rvalue)):
            if not added:
                complete = True
                break
            continue
        pricings += 1
        new_links = 0
        for b in need.tolist():
            k = int(pos[b])
            prog.extra_levels[b].add(int(pr.ws[b, k]))
            # Its parent: the cheapest arcs among its edges up to that level
            # (a few, so that fewer rounds are needed).
            tails = pr.order[b, : k + 1]
            costs = R[b, tails]
            for i in np.argsort(costs, kind="stable")[:_PRICED_ARCS].tolist():
                a = int(tails[i])
                link = (min(a, b), max(a, b))
                if costs[i] < 0 and link not in prog.links:
                    prog.links.add(link)
                    new_links += 1
        say(f"pricing {pricings}: {len(need)} nodes gain ({new_links} new links), program "
            f"{lp:.1f}, bound {value:.1f}")
        prog.build()
        h = prog.h
    bound_int = int(np.ceil(bound - 1e-9 * abs(bound) - 1e-6))
    bound_int = max(bound_int, mst_weight)
    left = deadline - time.monotonic()
    if branch and complete and bound_int < best_e and inst.n <= BRANCH_MAX_NODES \
            and left >= 10:
        # The relaxation is solved and time is left: exact's branch and
        # bound, whose bound is valid at any time and proves the optimum
        # where it can.
        from .exact import solve

        say(f"relaxation {bound_int}; branch and bound for the {left:.0f} s left")
        ex = solve(inst, left)
        ex_bound = int(np.ceil(ex.get("true_bound", ex["bound"]) - 1e-6))
        ex_best = ex.get("true_optimum", ex["optimum"])
        best_e = min(best_e, ex_best)
        if ex_bound > bound_int:
            bound_int = ex_bound
            method = ("exact's branch and bound (mixed-integer programming, "
                      f"{'optimum proven' if ex['proven'] else 'time limit'}) after the "
                      "linear relaxation")
    if bound_int >= best_e:
        bound_int = best_e
    gap = (best_e - bound_int) / best_e if best_e else 0.0
    result.update(bound=bound_int, best=best_e, gap=round(gap, 6), method=method,
                  complete=complete, lp_rounds=rounds, pricing_rounds=pricings,
                  final=bool(complete and (bound_int >= best_e or not branch
                                           or inst.n > BRANCH_MAX_NODES)),
                  links=len(prog.links), cuts=len(prog.dcuts) + len(prog.ecuts),
                  mst=mst_weight, seconds=round(time.monotonic() - t0, 3))
    say(f"bound {bound_int}, best {best_e}, gap {100 * gap:.2f} %")
    return result


def cached_bound(inst: Instance, time_limit: float, directory: str | None = None,
                 log=None) -> dict:
    """lower_bound() kept per instance content like exact's results: a
    final one (more time would not raise it) is reused always, another one
    only when the new limit is no longer."""
    from .exact import cached_result

    return cached_result("bound", _CACHE_VERSION, inst, time_limit, directory, log,
                         lambda: lower_bound(inst, time_limit, log), lambda c: c["final"])


def known_bound(inst: Instance, directory: str | None = None) -> dict | None:
    """The best lower bound in the cache for this instance, from bound or
    exact, as {"bound", "source"}; None when neither has run on it. Bounds
    are true (uncapped) energies."""
    from .exact import _CACHE_VERSION as EXACT_VERSION, read_cached

    found = []
    b = read_cached("bound", _CACHE_VERSION, inst, directory)
    if b is not None and "bound" in b:
        found.append((int(b["bound"]), "bound"))
    e = read_cached("exact", EXACT_VERSION, inst, directory)
    if e is not None and "bound" in e:
        value = e.get("true_bound", e["bound"])
        found.append((int(np.ceil(value - 1e-6)),
                      "exact (proven optimum)" if e.get("proven") else "exact"))
    if not found:
        return None
    value, source = max(found)
    return {"bound": value, "source": source}


def certified_gap(value: int, bound: int) -> float:
    """How far an energy may be above the optimum, as a fraction of it at most."""
    return (value - bound) / value if value > 0 else 0.0
