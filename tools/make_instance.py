#!/usr/bin/env python3
"""Writes a complete-graph instance in the graph file format.

Nodes are random points in a square (seeded, so the same arguments always
give the same file); the weight of an edge is round(scale * d^alpha), d the
distance between its two nodes (by default alpha 1 and scale 1: the rounded
distance; a radio's energy grows as d^alpha with alpha 2 to 4). Every edge
is listed once in each direction, rows in increasing first node:

    N 2*E
    1 2 w12
    1 3 w13
    ...
    2 1 w12
    ...

With the defaults (side 1000) every weight is at most 1415, so any topology's
energy on 45 nodes stays below the engine's cap of 64999. Other settings can
reach the cap (a warning says so on standard error) or go beyond a
design-sized run (more than 45 nodes, weights beyond 16 bits: a note says so;
smetp-batch runs such instances as wide runs, up to 2,000 nodes).

With --sparse the instance is written in the sparse format that smetp-batch
also reads: a line "sparse N M", then M lines "u v w" (each pair once, u < v).
With --nearest K it holds only each node's K lightest links and the links of
a minimum spanning tree (so that it stays connected); smetp-batch then takes
exactly these links as a chromosome's candidates.

With -o FILE the points are also written beside the instance, to FILE with
its extension replaced by .xy: comment lines (the last names alpha and
scale), then one "x y" line per node in node order (used to draw topologies
at the nodes' true places).
"""
import argparse
import math
import os
import random
import sys

ENGINE_MAX_NODES = 45
ENGINE_MAX_WEIGHT = 32767
ENERGY_CAP = 64999


def make_points(nodes, seed, side):
    rng = random.Random(seed)
    return [(rng.uniform(0, side), rng.uniform(0, side)) for _ in range(nodes)]


def make_weights(points, alpha, scale):
    n = len(points)
    w = [[0] * n for _ in range(n)]
    for u in range(n):
        for v in range(u + 1, n):
            (x1, y1), (x2, y2) = points[u], points[v]
            w[u][v] = w[v][u] = round(scale * math.hypot(x1 - x2, y1 - y2) ** alpha)
    return w


def make_instance(nodes, seed, side, alpha=1.0, scale=1.0):
    w = make_weights(make_points(nodes, seed, side), alpha, scale)
    lines = ["%d %d" % (nodes, nodes * (nodes - 1))]
    for u in range(nodes):
        for v in range(nodes):
            if u != v:
                lines.append("%d %d %d" % (u + 1, v + 1, w[u][v]))
    return "\n".join(lines) + "\n", w


def mst_edges(w):
    """The links of a minimum spanning tree (Prim), as (u, v) with u < v."""
    n = len(w)
    best, parent, done = [math.inf] * n, [-1] * n, [False] * n
    best[0] = 0
    edges = []
    for _ in range(n):
        u = min((v for v in range(n) if not done[v]), key=best.__getitem__)
        done[u] = True
        if parent[u] >= 0:
            edges.append((min(u, parent[u]), max(u, parent[u])))
        row = w[u]
        for v in range(n):
            if not done[v] and row[v] < best[v]:
                best[v], parent[v] = row[v], u
    return edges


def make_sparse(w, nearest=None):
    """The instance in the sparse format: every pair, or (nearest K) each
    node's K lightest links and a minimum spanning tree's."""
    n = len(w)
    if nearest is None:
        pairs = [(u, v) for u in range(n) for v in range(u + 1, n)]
    else:
        keep = set(mst_edges(w))
        for u in range(n):
            others = sorted((w[u][v], v) for v in range(n) if v != u)[:nearest]
            keep.update((min(u, v), max(u, v)) for _, v in others)
        pairs = sorted(keep)
    lines = ["sparse %d %d" % (n, len(pairs))]
    lines += ["%d %d %d" % (u + 1, v + 1, w[u][v]) for u, v in pairs]
    return "\n".join(lines) + "\n"


def mst_energy(w):
    """Energy of the minimum spanning tree (Prim): each node pays its
    heaviest tree link."""
    n = len(w)
    best, parent, done = [math.inf] * n, [-1] * n, [False] * n
    best[0] = 0
    power = [0] * n
    for _ in range(n):
        u = min((v for v in range(n) if not done[v]), key=best.__getitem__)
        done[u] = True
        if parent[u] >= 0:
            power[u] = max(power[u], w[u][parent[u]])
            power[parent[u]] = max(power[parent[u]], w[u][parent[u]])
        for v in range(n):
            if not done[v] and w[u][v] < best[v]:
                best[v], parent[v] = w[u][v], u
    return sum(power)


def notes(w):
    """Warnings and notes on what the engine does with the weights."""
    n = len(w)
    top = max(max(row) for row in w)
    if n > ENGINE_MAX_NODES or top > ENGINE_MAX_WEIGHT:
        return ["note: beyond smetp's limits (%d nodes, weights up to %d; this has %d "
                "nodes, weights up to %d): smetp-batch runs it over candidate links, with "
                "exact energies"
                % (ENGINE_MAX_NODES, ENGINE_MAX_WEIGHT, n, top)]
    e = mst_energy(w)
    worst = sum(max(row) for row in w)
    if e >= ENERGY_CAP:
        return ["warning: the minimum spanning tree's energy %d is at or above the engine's "
                "cap %d: every run will end capped; use a smaller --side or --scale"
                % (e, ENERGY_CAP)]
    if worst > ENERGY_CAP:
        return ["warning: topologies can score up to %d, above the engine's cap %d (the "
                "minimum spanning tree scores %d): runs whose topologies all score the cap "
                "have nothing to select on and can end there (capped runs)"
                % (worst, ENERGY_CAP, e)]
    return []


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("nodes", type=int, help="number of nodes, 2 or more (smetp runs 2 to 45, smetp-batch 2 to 2,000)")
    p.add_argument("seed", type=int, help="seed of the point generator")
    p.add_argument("--side", type=float, default=1000.0, help="side of the square (default 1000)")
    p.add_argument("--alpha", type=float, default=1.0,
                   help="path-loss exponent: weight = round(scale * d^alpha) (default 1)")
    p.add_argument("--scale", type=float, default=1.0, help="factor on d^alpha (default 1)")
    p.add_argument("--sparse", action="store_true",
                   help="write the sparse format (sparse N M, then u v w lines)")
    p.add_argument("--nearest", type=int, metavar="K",
                   help="with --sparse: only each node's K lightest links and a spanning tree's")
    p.add_argument("-o", "--output", help="output file (default: standard output)")
    a = p.parse_args()
    if a.nodes < 2:
        p.error("nodes must be 2 or more")
    if not (a.side > 0 and a.alpha > 0 and a.scale > 0):
        p.error("side, alpha and scale must be positive")
    if a.scale * (a.side * math.sqrt(2)) ** a.alpha > 2**31 - 1:
        p.error("weights would pass 2147483647, the most a graph file holds")
    if a.nearest is not None and (not a.sparse or a.nearest < 1):
        p.error("--nearest needs --sparse and a count of 1 or more")
    text, w = make_instance(a.nodes, a.seed, a.side, a.alpha, a.scale)
    if a.sparse:
        text = make_sparse(w, a.nearest)
    for line in notes(w):
        print("make_instance.py: %s" % line, file=sys.stderr)
    if a.output:
        with open(a.output, "w") as f:
            f.write(text)
        xy = os.path.splitext(a.output)[0] + ".xy"
        with open(xy, "w") as f:
            f.write("# x y of nodes 1..%d: make_instance.py %d %d --side %g\n"
                    % (a.nodes, a.nodes, a.seed, a.side))
            if (a.alpha, a.scale) != (1.0, 1.0):
                f.write("# model: alpha %g scale %g\n" % (a.alpha, a.scale))
            for x, y in make_points(a.nodes, a.seed, a.side):
                f.write("%.6f %.6f\n" % (x, y))
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
