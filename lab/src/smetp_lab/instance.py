"""Graph (instance) files: reading them exactly as smetp reads them (and the
sparse format that smetp-batch also reads: "sparse N M", then M "u v w" lines).

A file holds a header ``N A`` (nodes, twice the edge count) and then lines
``u v w``. Only lines with u < v are kept; they must list the pairs in the
order (1,2), (1,3), ..., (1,N), (2,3), ... and the first A/2 such pairs are
the instance's edges. Values are read like C's ``%d``: blanks skipped, an
optional sign and digits, the next character left for the next read.
"""
from __future__ import annotations

import hashlib
import os
import re
from dataclasses import dataclass, field

import numpy as np

from .errors import LabError  # noqa: F401 (also imported from here)

# The limits of a design-sized run, which scores topologies with the engine's
# capped 16-bit energy. Larger instances run as wide runs (smetp-batch takes 2
# to WIDE_MAX_NODES nodes, weights up to 2^31 - 1) and are judged here with
# energies as true, uncapped sums.
from .pathloss import DESIGN_MAX_NODES as ENGINE_MAX_NODES  # noqa: E402
from .pathloss import DESIGN_MAX_WEIGHT as ENGINE_MAX_WEIGHT  # noqa: E402
from .pathloss import ENERGY_CAP, GRAPH_MAX_WEIGHT  # noqa: E402

ENGINE_MAX_EDGES = 990
ENGINE_MIN_WEIGHT = -32768
WIDE_MAX_NODES = 2000
INFEASIBLE = 65000  # the engine's score of a topology that leaves a node unreachable
# The mark of an unconnected topology on an instance beyond the engine, where
# true energies can pass 65000: above any sum of 31-bit weights over 10^6 nodes.
INFEASIBLE_LARGE = 2**53


def size_note(n: int, max_weight: int, reasons: list[str]) -> str | None:
    """None for a design-sized instance; otherwise how smetp-batch runs it
    (as a wide run, up to WIDE_MAX_NODES nodes) and how smetp-lab judges it."""
    if not reasons:
        return None
    if n > WIDE_MAX_NODES or max_weight > GRAPH_MAX_WEIGHT:
        return (f"{'; '.join(reasons)}: beyond what smetp-batch runs (2 to {WIDE_MAX_NODES:,} "
                "nodes); smetp-lab judges it alone, with energies as true sums")
    return (f"{'; '.join(reasons)}: smetp-batch runs it as a wide run; energies are true "
            "sums, not capped")


def where(path: str, line: int | None = None) -> str:
    return f"{path}:{line}" if line else str(path)


@dataclass
class Instance:
    path: str
    n: int
    edges: list[tuple[int, int, int]]  # 0-based (u, v, w), u < v, in file order
    sha256: str
    # n x n weight matrix; pairs that are not edges hold a huge value so that
    # no comparison with a power ever makes them usable.
    weight: np.ndarray = field(repr=False)
    has_edge: np.ndarray = field(repr=False)  # n x n bool
    coords: np.ndarray | None = field(default=None, repr=False)
    # How weights follow from the coordinates: weight = scale * distance^alpha.
    alpha: float = 1.0
    scale: float = 1.0
    _engine_ok: bool | None = field(default=None, repr=False)

    @property
    def beyond_engine(self) -> list[str]:
        """What makes the instance too large for a design-sized run (empty when
        it is one): smetp-batch runs it as a wide run, with exact energies."""
        out = []
        if self.n > ENGINE_MAX_NODES:
            out.append(f"{self.n} nodes (design-sized runs take 2 to {ENGINE_MAX_NODES})")
        if len(self.edges) > ENGINE_MAX_EDGES:
            out.append(f"{len(self.edges)} edges (design-sized runs take up to "
                       f"{ENGINE_MAX_EDGES})")
        w = self.weight[self.has_edge]
        if len(w) and (w.min() < ENGINE_MIN_WEIGHT or w.max() > ENGINE_MAX_WEIGHT):
            out.append(f"weights {int(w.min())}..{int(w.max())} (design-sized runs take "
                       f"16-bit weights, {ENGINE_MIN_WEIGHT}..{ENGINE_MAX_WEIGHT})")
        return out

    @property
    def size_note(self) -> str | None:
        """What smetp-lab says of an instance that is not design-sized."""
        w = self.weight[self.has_edge]
        return size_note(self.n, int(w.max()) if len(w) else 0, self.beyond_engine)

    @property
    def engine_ok(self) -> bool:
        if self._engine_ok is None:
            self._engine_ok = not self.beyond_engine
        return self._engine_ok

    @property
    def infeasible(self) -> int:
        """The energy that marks a topology leaving a node unreachable."""
        return INFEASIBLE if self.engine_ok else INFEASIBLE_LARGE

    @property
    def cap(self) -> int | None:
        """The highest energy of a connected topology as the engine scores it
        (None beyond the engine: true sums)."""
        return ENERGY_CAP if self.engine_ok else None

    def reach(self, power):
        """The distance a power covers, in the units of the coordinates."""
        return (np.maximum(power, 0) / self.scale) ** (1.0 / self.alpha)

    @property
    def name(self) -> str:
        return os.path.splitext(os.path.basename(self.path))[0]

    def w(self, u: int, v: int) -> int:
        return int(self.weight[u, v])


UNUSABLE = np.int64(1) << 40
# A dense n x n weight matrix is held per instance: 20,000 nodes take 3.2 GB.
MAX_READ_NODES = 20000


class _Scanner:
    """Reads integers the way the C++ loader does, keeping line numbers."""

    def __init__(self, text: str):
        self.text = text
        self.pos = 0
        self.line = 1
        self.last_line = 1

    def read_int(self) -> tuple[str, int]:
        t, n = self.text, len(self.text)
        while self.pos < n and t[self.pos].isspace():
            if t[self.pos] == "\n":
                self.line += 1
            self.pos += 1
        if self.pos >= n:
            self.line = self.last_line  # the end is reported at the last line read
            return "end", 0
        self.last_line = self.line
        start = self.pos
        if t[self.pos] in "+-":
            self.pos += 1
        digits = self.pos
        while self.pos < n and "0" <= t[self.pos] <= "9":
            self.pos += 1
        if self.pos == digits:
            self.pos = start
            return "not a number", 0
        value = int(t[start:self.pos])
        if not -(2**31) <= value < 2**31:
            return "too large", 0
        return "ok", value


_SPACE = " \t\n\v\f\r"  # what C's isspace takes, as the engine's reader
_SPARSE_WORD = re.compile(rf"[+-]?[0-9]+(?=[{_SPACE}+-]|\Z)|[^{_SPACE}]+?(?=[{_SPACE}]|\Z)")
_SPARSE_INT = re.compile(r"[+-]?[0-9]+")


def _sparse_int(word: str) -> int:
    if not _SPARSE_INT.fullmatch(word):
        raise ValueError(word)
    return int(word)


def _parse_sparse(text: str, path: str) -> Instance:
    """The sparse format smetp-batch reads: "sparse N M", then M lines
    "u v w" (1-based, u != v, each pair once, any order)."""
    # The engine's grammar: a number is an optional sign and digits, followed
    # by white space, a sign or the end; anything else glued to it (1x, 1_0)
    # makes a word that is no number. Only the header's and the M links'
    # words are read.
    words = [m.group() for m in _SPARSE_WORD.finditer(text, 0)]
    try:
        if words[0] != "sparse":
            raise ValueError
        head = [_sparse_int(w) for w in words[1:3]]
        n, m = head[0], head[1]
        vals = np.array([_sparse_int(w) for w in words[3:3 + 3 * m]], dtype=np.int64)
    except (IndexError, ValueError, OverflowError):
        raise LabError(where(path, 1), "unreadable sparse file (sparse N M, then M lines u v w)")
    if not 2 <= n <= MAX_READ_NODES or m < 1 or len(vals) != 3 * m:
        raise LabError(where(path, 1), f"sparse file: {n} nodes and {m} links do not fit")
    t = vals.reshape(-1, 3)
    u, v, w = np.minimum(t[:, 0], t[:, 1]) - 1, np.maximum(t[:, 0], t[:, 1]) - 1, t[:, 2]
    if (u < 0).any() or (v >= n).any() or (u == v).any() or (w < -(2**31)).any() \
            or (w >= 2**31).any():
        raise LabError(where(path), "sparse file: a node outside 1..N, a link from a node to "
                                    "itself, or a weight beyond 32 bits")
    order = np.lexsort((v, u))
    u, v, w = u[order], v[order], w[order]
    if ((u[1:] == u[:-1]) & (v[1:] == v[:-1])).any():
        raise LabError(where(path), "sparse file: a pair is listed twice")
    return _build(path, text, n, u, v, w)


def parse_instance(text: str, path: str) -> Instance:
    if text.lstrip().startswith("sparse"):
        return _parse_sparse(text, path)
    sc = _Scanner(text)
    s1, n = sc.read_int()
    s2, a = (sc.read_int() if s1 == "ok" else (s1, 0))
    if s1 != "ok" or s2 != "ok":
        raise LabError(where(path, sc.line),
                       "missing or unreadable header (two integers: nodes, twice the edge count)")
    nl = int(a / 2)  # C integer division truncates toward zero
    if n < 2:
        raise LabError(where(path, 1), f"{n} nodes; a graph has at least 2")
    if n > MAX_READ_NODES:
        raise LabError(where(path, 1), f"{n} nodes; smetp-lab reads up to {MAX_READ_NODES}")
    if nl < 1:
        raise LabError(where(path, 1), f"{nl} edges (header {a} / 2); a graph has at least 1")
    if nl > n * (n - 1) // 2:
        raise LabError(where(path, 1),
                       f"{nl} edges, more than the {n * (n - 1) // 2} pairs of {n} nodes")
    fast = _fast_edges(text, n, nl)
    if fast is not None:
        return _build(path, text, n, *fast)
    edges: list[tuple[int, int, int]] = []
    want_u, want_v = 1, 2
    while len(edges) < nl:
        vals = []
        for _ in range(3):
            status, value = sc.read_int()
            if status != "ok":
                if status == "end":
                    reason = f"the file ends after {len(edges)} of {nl} edges"
                elif status == "not a number":
                    reason = f"text that is not a number after {len(edges)} of {nl} edges"
                else:
                    reason = f"a number too large after {len(edges)} of {nl} edges"
                raise LabError(where(path, sc.line), reason)
            vals.append(value)
        u, v, w = vals
        line = sc.line
        if not (1 <= u <= n and 1 <= v <= n):
            raise LabError(where(path, line),
                           f'edge line "{u} {v} {w}": node number outside 1..{n}')
        if u >= v:
            continue
        if (u, v) != (want_u, want_v):
            raise LabError(where(path, line),
                           f'edge line "{u} {v} {w}": expected the pair {want_u} {want_v} next '
                           f"(pairs u < v must come in the order 1 2, 1 3, ..., {n - 1} {n})")
        edges.append((u - 1, v - 1, w))
        want_v += 1
        if want_v > n:
            want_u += 1
            want_v = want_u + 1
    e = np.array(edges, dtype=np.int64).reshape(-1, 3)
    return _build(path, text, n, e[:, 0], e[:, 1], e[:, 2])


def _build(path, text, n, iu, iv, w) -> Instance:
    weight = np.full((n, n), UNUSABLE, dtype=np.int64)
    has_edge = np.zeros((n, n), dtype=bool)
    weight[iu, iv] = weight[iv, iu] = w
    has_edge[iu, iv] = has_edge[iv, iu] = True
    edges = list(zip(iu.tolist(), iv.tolist(), w.tolist()))
    digest = hashlib.sha256(text.encode("utf-8", "surrogateescape")).hexdigest()
    return Instance(path, n, edges, digest, weight, has_edge)


_PLAIN = re.compile(r"\A[ \t\n\r\v\f0-9+-]*\Z")


def _fast_edges(text: str, n: int, nl: int):
    """The edges (0-based u, v and w arrays) read at once, for a file of
    plain integers whose edge lines are all well formed; None sends every
    other file through the scanner, which finds and names the fault."""
    if not _PLAIN.match(text):
        return None
    try:
        vals = np.array(text.split()[2:], dtype=np.int64)
    except (ValueError, OverflowError):
        return None
    t = vals[: len(vals) // 3 * 3].reshape(-1, 3)
    kept = np.nonzero(t[:, 0] < t[:, 1])[0]
    if len(kept) < nl:
        return None
    t = t[: kept[nl - 1] + 1]
    if (t < -(2**31)).any() or (t >= 2**31).any():
        return None
    u, v = t[:, 0], t[:, 1]
    if (u < 1).any() or (u > n).any() or (v < 1).any() or (v > n).any():
        return None
    t = t[u < v]
    # The pairs u < v must be (1,2), (1,3), ..., (1,n), (2,3), ... in order.
    want_u, want_v = np.triu_indices(n, 1)
    if not (np.array_equal(t[:, 0] - 1, want_u[:nl]) and np.array_equal(t[:, 1] - 1, want_v[:nl])):
        return None
    return t[:, 0] - 1, t[:, 1] - 1, t[:, 2]


def coords_path(path: str) -> str:
    return os.path.splitext(path)[0] + ".xy"


_MODEL = re.compile(r"#\s*model:\s*alpha\s+(\S+)\s+scale\s+(\S+)")


def read_coords(path: str, n: int) -> tuple[np.ndarray | None, float, float]:
    """Reads the coordinates file beside an instance (one "x y" line per node,
    in node order, and optionally a comment "# model: alpha A scale S");
    None when there is none or it does not fit the instance."""
    p = coords_path(path)
    alpha, scale = 1.0, 1.0
    if not os.path.isfile(p):
        return None, alpha, scale
    rows = []
    try:
        with open(p, errors="replace") as f:
            text = f.read()
    except OSError:
        return None, alpha, scale
    for line in text.splitlines():
        m = _MODEL.match(line)
        if m:
            try:
                a, s = float(m.group(1)), float(m.group(2))
                if a > 0 and s > 0:
                    alpha, scale = a, s
            except ValueError:
                pass
        line = line.split("#", 1)[0].split()
        if not line:
            continue
        try:
            rows.append((float(line[0]), float(line[1])))
        except (ValueError, IndexError):
            return None, alpha, scale
    return (np.array(rows) if len(rows) == n else None), alpha, scale


def read_instance(path: str) -> Instance:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise LabError(str(path), e.strerror or str(e)) from None
    inst = parse_instance(data.decode("utf-8", "surrogateescape"), str(path))
    inst.sha256 = hashlib.sha256(data).hexdigest()
    inst.coords, inst.alpha, inst.scale = read_coords(str(path), inst.n)
    return inst
