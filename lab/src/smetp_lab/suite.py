"""The benchmark set (bench/suite/): instances rebuilt anywhere from a
manifest, with their proven optima, best known values and bounds.

Generator. Every number comes from SplitMix64 (64-bit state s; each draw:
s += 0x9E3779B97F4A7C15, z = s, z = (z ^ z >> 30) * 0xBF58476D1CE4E5B9,
z = (z ^ z >> 27) * 0x94D049BB133111EB, out = z ^ z >> 31, all mod 2^64),
seeded with the entry's seed; below(m) = (out * m) >> 64, an integer in
0..m-1. Coordinates are integers, drawn in node order:

  uniform    x = below(SIDE), y = below(SIDE)
  clustered  k = max(2, n // 25) centres drawn as uniform points; then per
             node a centre c = below(k) and an offset per axis of
             (below(SPREAD) + below(SPREAD) + below(SPREAD)) - 3 SPREAD // 2
             (a bell of width ~SIDE/20), the sum clipped to 0..SIDE-1
  tsplib     a rattled grid as drilling and circuit-board files of TSP
             libraries hold: the smallest g with g * g >= n, node i at
             column i % g, row i // g, spacing s = SIDE // g, at s/2 + s * column
             and s/2 + s * row, each coordinate
             moved by below(s // 2) - s // 4; written as a
             TSPLIB file (EDGE_WEIGHT_TYPE EUC_2D) and read back as such

and the weights are what `smetp-lab convert` makes of the points:
round(scale * d^alpha), d the Euclidean distance, the scale given per
entry (`auto` for instances the engine runs, up to 45 nodes). Each entry
keeps the instance file's sha256, so a rebuild that differs is noticed.
"""
from __future__ import annotations

import json
import os
import tempfile

import numpy as np

from .instance import LabError

SIDE = 100_000
SPREAD = SIDE // 20
MASK = (1 << 64) - 1
FAMILIES = ("uniform", "clustered", "tsplib")


class SplitMix64:
    def __init__(self, seed: int):
        self.state = seed & MASK

    def next(self) -> int:
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def below(self, m: int) -> int:
        return (self.next() * m) >> 64


def points(family: str, n: int, seed: int) -> np.ndarray:
    """The entry's integer coordinates, n x 2."""
    rng = SplitMix64(seed)
    if family == "uniform":
        pts = [(rng.below(SIDE), rng.below(SIDE)) for _ in range(n)]
    elif family == "clustered":
        k = max(2, n // 25)
        centres = [(rng.below(SIDE), rng.below(SIDE)) for _ in range(k)]
        pts = []
        for _ in range(n):
            cx, cy = centres[rng.below(k)]
            off = [sum(rng.below(SPREAD) for _ in range(3)) - 3 * SPREAD // 2 for _ in range(2)]
            pts.append((min(max(cx + off[0], 0), SIDE - 1), min(max(cy + off[1], 0), SIDE - 1)))
    elif family == "tsplib":
        g = 1
        while g * g < n:
            g += 1
        step = SIDE // g
        pts = []
        for i in range(n):
            x = (i % g) * step + step // 2 + rng.below(step // 2) - step // 4
            y = (i // g) * step + step // 2 + rng.below(step // 2) - step // 4
            pts.append((x, y))
    else:
        raise LabError("", f"family {family!r}: one of {', '.join(FAMILIES)}")
    return np.array(pts, dtype=np.int64)


def points_text(family: str, name: str, pts: np.ndarray) -> str:
    """The points as convert reads them: TSPLIB for the tsplib family, else
    plain "x y" lines."""
    if family == "tsplib":
        head = [f"NAME : {name}", "TYPE : TSP", f"DIMENSION : {len(pts)}",
                "EDGE_WEIGHT_TYPE : EUC_2D", "NODE_COORD_SECTION"]
        body = [f"{i + 1} {x} {y}" for i, (x, y) in enumerate(pts.tolist())]
        return "\n".join(head + body + ["EOF"]) + "\n"
    return "".join(f"{x} {y}\n" for x, y in pts.tolist())


def manifest_path(root: str | None = None) -> str:
    if root:
        return os.path.join(root, "suite.json")
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "..", "..", "..", "bench", "suite", "suite.json")


def read_manifest(path: str) -> dict:
    try:
        with open(path) as f:
            return json.load(f)
    except OSError as e:
        raise LabError(path, e.strerror or str(e)) from None
    except ValueError as e:
        raise LabError(path, f"not valid JSON: {e}") from None


def write_instance(entry: dict, folder: str) -> str:
    """Builds the entry's instance (and its .xy file) in `folder`; returns
    the instance's path. Fails when its sha256 is not the manifest's."""
    import hashlib

    from .coords import convert

    name = entry["name"]
    pts = points(entry["family"], entry["nodes"], entry["seed"])
    out = os.path.join(folder, f"{name}.txt")
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, f"{name}.{'tsp' if entry['family'] == 'tsplib' else 'xy'}")
        with open(src, "w") as f:
            f.write(points_text(entry["family"], name, pts))
        convert(src, out, float(entry["alpha"]), entry["scale"])
    with open(out, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    want = entry.get("sha256")
    if want and digest != want:
        raise LabError(out, f"rebuilt with sha256 {digest}, the set has {want}: the "
                       "generator or the weights' arithmetic differs here")
    entry.setdefault("sha256", digest)
    return out


def find(manifest: dict, names: list[str]) -> list[dict]:
    by = {e["name"]: e for e in manifest["instances"]}
    missing = [x for x in names if x not in by]
    if missing:
        raise LabError("", f"no instance {', '.join(missing)} in the set")
    return [by[x] for x in names]


def check(entry: dict, topology, folder: str, time_limit: float, cache_dir=None,
          log=None) -> list[str]:
    """Rechecks one row: the instance rebuilds to its sha256, the best
    topology scores the best value and connects all nodes, the bound lies
    at or below it, and the value is found again: exact again (it must prove
    the same optimum) where the row has a proven one, else bound again
    (its bound must not pass the best value). Returns the problems."""
    from .bound import cached_bound
    from .energy import check_links, energy
    from .exact import EXACT_MAX_NODES, cached_solve
    from .instance import read_instance

    problems = []
    path = write_instance(entry, folder)
    inst = read_instance(path)
    best = entry["best"]
    if topology is None:
        problems.append("no best topology stored")
    else:
        e = energy(inst, check_links(inst, topology, entry["name"]), capped=False)
        if e != best:
            problems.append(f"the best topology scores {e}, the row says {best}")
    if entry["bound"] > best:
        problems.append(f"bound {entry['bound']} above the best {best}")
    if entry.get("optimum") is not None:
        if entry["optimum"] != best or entry["bound"] != best:
            problems.append("a proven optimum must equal the best and the bound")
        if inst.n <= EXACT_MAX_NODES:
            r = cached_solve(inst, time_limit, cache_dir, log)
            opt = r.get("true_optimum", r["optimum"])
            if not r["proven"] or opt != entry["optimum"]:
                problems.append(f"exact gives {opt} ({'proven' if r['proven'] else 'unproven'}"
                                f"), the row says {entry['optimum']}")
    else:
        r = cached_bound(inst, time_limit, cache_dir, log)
        if r["bound"] > best:
            problems.append(f"bound gives {r['bound']}, above the best {best}")
    return problems


def table(manifest: dict) -> str:
    """The set as a Markdown table."""
    head = ["instance", "family", "nodes", "alpha", "scale", "optimum", "best known",
            "found by", "bound", "bound by", "gap", "second check"]
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for e in manifest["instances"]:
        proven = e.get("optimum") is not None
        cells = [e["name"], e["family"], e["nodes"], e["alpha"], e["scale"],
                 e["optimum"] if proven else "", e["best"], e["best_by"], e["bound"],
                 e["bound_by"], "0 %" if proven else f"{e['gap_pct']:.2f} %",
                 e.get("checked_by", "")]
        out.append("| " + " | ".join(str(c) for c in cells) + " |")
    return "\n".join(out) + "\n"
