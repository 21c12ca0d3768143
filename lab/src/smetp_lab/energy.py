"""Energy of a topology, computed independently of the C++ engine.

Each node transmits with the largest weight among its chosen links, never
below 0; the energy is the sum over nodes, capped at 64999; a topology that
does not connect every node scores 65000. On instances beyond the engine's
limits the sum is not capped and an unconnected topology scores
INFEASIBLE_LARGE.
"""
from __future__ import annotations

import json

import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import connected_components

from .instance import Instance, LabError

Links = list[tuple[int, int]]  # 0-based pairs, u < v


def check_links(inst: Instance, pairs, where: str) -> Links:
    """Checks 1-based pairs against the instance and returns them 0-based,
    u < v, sorted, each once (a pair listed twice is the same link)."""
    fast = _check_fast(inst, pairs)
    if fast is not None:
        return fast
    out = set()
    for k, pair in enumerate(pairs):
        if (not isinstance(pair, (list, tuple)) or len(pair) != 2
                or not all(isinstance(x, int) and not isinstance(x, bool) for x in pair)):
            raise LabError(where, f"link {k + 1}: {json.dumps(pair)} is not a pair of node numbers")
        u, v = pair
        if not (1 <= u <= inst.n and 1 <= v <= inst.n):
            raise LabError(where, f"link {k + 1}: [{u}, {v}] has a node outside 1..{inst.n}")
        if u == v:
            raise LabError(where, f"link {k + 1}: [{u}, {v}] joins a node to itself")
        a, b = min(u, v) - 1, max(u, v) - 1
        if not inst.has_edge[a, b]:
            raise LabError(where, f"link {k + 1}: [{u}, {v}] is not an edge of the instance "
                           f"(it lists {len(inst.edges)} edges)")
        out.add((a, b))
    return sorted(out)


def _check_fast(inst: Instance, pairs) -> Links | None:
    """check_links at once for a list of well-formed pairs of edges; None
    for anything else, which the loop then names."""
    if not isinstance(pairs, list) or not pairs:
        return None
    if {type(p) for p in pairs} != {list} or {len(p) for p in pairs} != {2} \
            or {type(x) for p in pairs for x in p} != {int}:
        return None
    try:
        a = np.array(pairs, dtype=np.int64)
    except OverflowError:
        return None  # a node number beyond 64 bits: the loop names it
    lo, hi = np.minimum(a[:, 0], a[:, 1]) - 1, np.maximum(a[:, 0], a[:, 1]) - 1
    if lo.min() < 0 or hi.max() >= inst.n or (lo == hi).any() or not inst.has_edge[lo, hi].all():
        return None
    code = np.unique(lo * inst.n + hi)
    return list(zip((code // inst.n).tolist(), (code % inst.n).tolist()))


def to_pairs(links: Links) -> list[list[int]]:
    """0-based links as the sorted 1-based pairs of the results format."""
    return [[u + 1, v + 1] for u, v in sorted(links)]


def read_topology_file(path: str, inst: Instance) -> Links:
    """A topology file: JSON ``[[u, v], ...]`` or one ``u v`` line per link."""
    try:
        with open(path) as f:
            text = f.read()
    except OSError as e:
        raise LabError(path, e.strerror or str(e)) from None
    if text.lstrip().startswith("["):
        try:
            pairs = json.loads(text)
        except json.JSONDecodeError as e:
            raise LabError(f"{path}:{e.lineno}", f"not valid JSON: {e.msg}") from None
        except RecursionError:
            raise LabError(path, "not valid JSON: nested too deeply") from None
        if not isinstance(pairs, list):
            raise LabError(path, "a topology is a JSON list of [u, v] pairs")
        return check_links(inst, pairs, path)
    out: Links = []
    for lineno, line in enumerate(text.splitlines(), 1):
        fields = line.split("#", 1)[0].split()
        if not fields:
            continue
        try:
            if len(fields) != 2:
                raise ValueError
            pair = [int(fields[0]), int(fields[1])]
        except ValueError:
            raise LabError(f"{path}:{lineno}", f'"{line.strip()}" is not a line "u v"') from None
        out += check_links(inst, [pair], f"{path}:{lineno}")
    return sorted(set(out))


def powers(inst: Instance, links: Links) -> np.ndarray:
    p = np.zeros(inst.n, dtype=np.int64)
    if links:
        a = np.array(links, dtype=np.int64)
        w = inst.weight[a[:, 0], a[:, 1]]
        np.maximum.at(p, a[:, 0], w)
        np.maximum.at(p, a[:, 1], w)
    return p


def components(n: int, links: Links) -> np.ndarray:
    """Component label of each node in the graph of the given links."""
    if not links:
        return np.arange(n)
    a = np.array(links)
    m = csr_matrix((np.ones(len(a)), (a[:, 0], a[:, 1])), shape=(n, n))
    return connected_components(m, directed=False)[1]


def is_connected(n: int, links: Links) -> bool:
    from ._moves import connected

    if len(links) < n - 1:
        return False
    a = np.array(links, dtype=np.int64).reshape(-1, 2)
    return connected(n, a[:, 0], a[:, 1])


# A wide run of smetp-batch (its results carry "candidate_links") scores a
# topology that leaves the nodes in c > 1 pieces (c - 1) * 2^43 plus its energy.
WIDE_UNCONNECTED_STEP = 2**43


def wide_score(inst: Instance, links: Links) -> int:
    """A topology's score as a wide run scores it: the true energy, plus
    WIDE_UNCONNECTED_STEP for each piece beyond the first."""
    pieces = int(components(inst.n, links).max()) + 1
    return (pieces - 1) * WIDE_UNCONNECTED_STEP + int(powers(inst, links).sum())


def energy(inst: Instance, links: Links, capped: bool = True) -> int:
    """The energy as the engine scores it (capped=False: the true sum, also
    on instances the engine runs)."""
    if not is_connected(inst.n, links):
        return inst.infeasible
    total = int(powers(inst, links).sum())
    return total if inst.cap is None or not capped else min(total, inst.cap)


# Power-assignment view: with powers p, the usable links are the edges whose
# weight neither end's power falls short of.
def usable(inst: Instance, p: np.ndarray) -> np.ndarray:
    return inst.has_edge & (inst.weight <= np.minimum.outer(p, p))


def usable_components(inst: Instance, p: np.ndarray) -> tuple[int, np.ndarray]:
    return connected_components(csr_matrix(usable(inst, p)), directed=False)
