"""Test helpers: instance texts and results files written by hand."""
from __future__ import annotations

import hashlib
import itertools
import json
import os
import random

import numpy as np
from smetp_lab.energy import energy, to_pairs
from smetp_lab.instance import INFEASIBLE, parse_instance

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def instance_text(n: int, weights: dict | None = None, edges: int | None = None,
                  rng: random.Random | None = None, low: int = 1, high: int = 100) -> str:
    """A graph file: the first `edges` pairs in file order (all by default),
    weights from `weights[(u, v)]` (1-based) or drawn from low..high; each
    pair also listed reversed, as the generator does."""
    pairs = list(itertools.combinations(range(1, n + 1), 2))
    count = len(pairs) if edges is None else edges
    w = {}
    for u, v in pairs[:count]:
        w[(u, v)] = weights[(u, v)] if weights and (u, v) in weights else rng.randint(low, high)
    lines = [f"{n} {2 * count}"]
    lines += [f"{u} {v} {w[(u, v)]}" for u, v in pairs[:count]]
    lines += [f"{v} {u} {w[(u, v)]}" for u, v in pairs[:count]]
    return "\n".join(lines) + "\n"


def instance(text: str, path: str = "t.txt"):
    return parse_instance(text, path)


def enumerate_optimum(inst) -> int:
    """The least energy over every subset of the instance's edges."""
    edges = inst.edges
    m = len(edges)
    masks = np.arange(1 << m, dtype=np.int64)
    n = inst.n
    p = np.zeros((n, len(masks)), dtype=np.int64)
    reach = [np.full(len(masks), 1 << v, dtype=np.int64) for v in range(n)]
    chosen = [((masks >> e) & 1).astype(bool) for e in range(m)]
    for e, (u, v, w) in enumerate(edges):
        wc = max(w, 0)
        p[u] = np.where(chosen[e], np.maximum(p[u], wc), p[u])
        p[v] = np.where(chosen[e], np.maximum(p[v], wc), p[v])
    for _ in range(n):
        for e, (u, v, _) in enumerate(edges):
            both = np.where(chosen[e], reach[u] | reach[v], 0)
            reach[u] |= both
            reach[v] |= both
    connected = reach[0] == (1 << n) - 1
    if not connected.any():
        return INFEASIBLE
    return int(min(p.sum(axis=0)[connected].min(), 64999))


def run_record(inst, path: str, index: int, links, seed: int = 1, launches: int = 4,
               hardness: int = 0, density: float = 0.3, sha: str = "ab" * 32,
               best: int | None = None, history=None, seconds: float = 0.5) -> dict:
    """One results line as smetp-batch writes it, its best from our own
    energy (or as given, to make a mismatch)."""
    e = energy(inst, links) if links is not None else INFEASIBLE
    best = e if best is None else best
    if history is None:
        history = [INFEASIBLE] + [best + 10 * (launches - k) for k in range(1, launches)] + [best]
    return {"index": index, "runs_sha256": sha, "instance": path, "nodes": inst.n,
            "edges": len(inst.edges), "seed": seed, "generations": launches * 50,
            "hardness": hardness, "density": density, "launches": launches, "best": best,
            "feasible": best < INFEASIBLE, "history": history,
            "launch_of_best": launches if best < INFEASIBLE else 0,
            "seconds_to_best": seconds / 2, "seconds": seconds, "end_mutation": 0.005,
            "backend": "cpu", "topology": None if links is None else to_pairs(links),
            "record": f"run {index}\nconst:\t{index}\n"}


def write_jsonl(path, runs):
    with open(path, "w") as f:
        for r in runs:
            f.write(json.dumps(r) + "\n")


def sha(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()
