#!/usr/bin/env python3
"""Writes a complete-graph instance in the graph file format.

Nodes are random points in a square (seeded, so the same arguments always
give the same file); the weight of an edge is the rounded distance between
its two nodes. Every edge is listed once in each direction, rows in
increasing first node:

    N 2*E
    1 2 w12
    1 3 w13
    ...
    2 1 w12
    ...

With the default square side of 1000 every weight is at most 1415, so any
topology's energy (at most 45 such weights) stays below 65000.

With -o FILE the points are also written beside the instance, to FILE with
its extension replaced by .xy: a comment line, then one "x y" line per node
in node order (used to draw topologies at the nodes' true places).
"""
import argparse
import math
import os
import random
import sys


def make_points(nodes, seed, side):
    rng = random.Random(seed)
    return [(rng.uniform(0, side), rng.uniform(0, side)) for _ in range(nodes)]


def make_instance(nodes, seed, side):
    points = make_points(nodes, seed, side)
    lines = ["%d %d" % (nodes, nodes * (nodes - 1))]
    for u in range(nodes):
        for v in range(nodes):
            if u != v:
                (x1, y1), (x2, y2) = points[u], points[v]
                lines.append("%d %d %d" % (u + 1, v + 1, round(math.hypot(x1 - x2, y1 - y2))))
    return "\n".join(lines) + "\n"


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("nodes", type=int, help="number of nodes, 2 to 45")
    p.add_argument("seed", type=int, help="seed of the point generator")
    p.add_argument("--side", type=float, default=1000.0, help="side of the square (default 1000)")
    p.add_argument("-o", "--output", help="output file (default: standard output)")
    a = p.parse_args()
    if not 2 <= a.nodes <= 45:
        p.error("nodes must be from 2 to 45")
    if a.side <= 0 or a.side * math.sqrt(2) > 32767:
        p.error("side must be positive and keep every weight within 32767")
    text = make_instance(a.nodes, a.seed, a.side)
    if a.output:
        with open(a.output, "w") as f:
            f.write(text)
        xy = os.path.splitext(a.output)[0] + ".xy"
        with open(xy, "w") as f:
            f.write("# x y of nodes 1..%d: make_instance.py %d %d --side %g\n"
                    % (a.nodes, a.nodes, a.seed, a.side))
            for x, y in make_points(a.nodes, a.seed, a.side):
                f.write("%.6f %.6f\n" % (x, y))
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
