"""Link weights from node coordinates: weight = round(scale * d^alpha), d the
distance between two nodes (alpha, the path-loss exponent, is 2 to 4 for
radios; 1 gives plain distances).

These rules are shared: smetp-lab's ``convert`` and the Python package's
``smetp.Instance.from_points`` both use this module (the package's build
installs it as ``smetp._pathloss``), so it needs numpy alone (SciPy where
installed) and imports nothing else of smetp-lab. A bad model or set of
points raises ValueError with the reason; callers add where it came from.
"""
from __future__ import annotations

import math

import numpy as np

# Design-sized runs (up to 45 nodes, 16-bit weights) score topologies with a
# capped 16-bit energy sum; larger instances run as wide runs with exact sums.
DESIGN_MAX_NODES = 45
DESIGN_MAX_WEIGHT = 32767
ENERGY_CAP = 64999  # the engine never scores a connected design-sized topology above this
GRAPH_MAX_WEIGHT = 2**31 - 1  # the largest weight a graph file holds
GEO_RADIUS = 6378.388
# The Earth's mean radius in km, for longitudes and latitudes in decimal degrees.
EARTH_RADIUS = 6371.0088
# An instance holds every pair of points: 3,000 points take some 1.5 GB and
# 9 s to write, and 20,000 would take some 30 times that.
MAX_POINTS = 3000
# Warn when rounding moves the minimum spanning tree's energy by more, or
# makes more of the links free.
ROUNDING_WARN = 0.01


def check_model(alpha: float, scale: str | float) -> None:
    if not (alpha > 0 and math.isfinite(alpha)):
        raise ValueError(f"--alpha {alpha:g}: must be a positive number")
    if scale != "auto" and not (float(scale) > 0 and math.isfinite(float(scale))):
        raise ValueError(f"--scale {float(scale):g}: must be a positive number or auto")


def geo_radians(points: np.ndarray) -> np.ndarray:
    """TSPLIB's GEO reading: DDD.MM is DDD degrees and MM minutes."""
    deg = np.trunc(points)
    return np.pi * (deg + 5.0 * (points - deg) / 3.0) / 180.0


def distances(points: np.ndarray, kind: str = "EUC_2D") -> np.ndarray:
    """The n x n matrix of real distances: Euclidean; for "GEO" the
    great-circle distance in km on TSPLIB's sphere; for "LONLAT" (longitude,
    latitude in decimal degrees) the great-circle distance in km on the
    Earth's mean sphere (the haversine form, exact at short range too)."""
    if kind == "LONLAT":
        lon, lat = np.radians(points[:, 0]), np.radians(points[:, 1])
        dlat = lat[:, None] - lat[None, :]
        dlon = lon[:, None] - lon[None, :]
        h = (np.sin(dlat / 2) ** 2
             + np.cos(lat[:, None]) * np.cos(lat[None, :]) * np.sin(dlon / 2) ** 2)
        return 2 * EARTH_RADIUS * np.arcsin(np.sqrt(np.clip(h, 0.0, 1.0)))
    if kind == "GEO":
        r = geo_radians(points)
        lat, lon = r[:, 0], r[:, 1]
        q1 = np.cos(lon[:, None] - lon[None, :])
        q2 = np.cos(lat[:, None] - lat[None, :])
        q3 = np.cos(lat[:, None] + lat[None, :])
        c = np.clip(0.5 * ((1.0 + q1) * q2 - (1.0 - q1) * q3), -1.0, 1.0)
        d = GEO_RADIUS * np.arccos(c)
        np.fill_diagonal(d, 0.0)
        return d
    dx = points[:, 0, None] - points[None, :, 0]
    dy = points[:, 1, None] - points[None, :, 1]
    return np.sqrt(dx * dx + dy * dy)


def costs(points: np.ndarray, kind: str, alpha: float) -> tuple[np.ndarray, np.ndarray]:
    """The distances and d^alpha, checked: (n, 2) finite points, at most
    MAX_POINTS of them, and no overflow."""
    points = np.asarray(points, dtype=float)
    if points.ndim != 2 or points.shape[1] != 2 or not np.all(np.isfinite(points)):
        raise ValueError("the points must be an (n, 2) array of finite numbers")
    if len(points) > MAX_POINTS:
        raise ValueError(f"{len(points)} points; convert writes every pair of points "
                         f"and takes up to {MAX_POINTS}")
    with np.errstate(over="ignore", invalid="ignore"):
        d = distances(points, kind)
        cost = d**alpha
    if not np.isfinite(cost).all():
        far = "infinite" if not np.isfinite(d).all() else f"up to {d.max():.6g}"
        raise ValueError(f"distance^alpha overflows (distances {far}, alpha {alpha:g}): "
                         "lower --alpha or bring the coordinates closer to 0")
    return d, cost


def most_energy(w: np.ndarray) -> float:
    """The highest energy any topology can have: each node at its heaviest
    link."""
    return float(np.clip(w, 0, None).max(axis=1).sum())


def auto_scale(cost: np.ndarray) -> float:
    """The largest scale that keeps every weight within 16 bits and, for a
    design-sized instance (up to 45 nodes), every topology's energy below the
    engine's cap. The GA starts from random topologies, whose energies are a
    good part of the highest possible; where they score the cap the GA has
    nothing to select on and its runs end there. Beyond 45 nodes no cap
    applies, and a smaller scale would only round more."""
    top = float(cost.max())
    most = most_energy(cost) if len(cost) <= DESIGN_MAX_NODES else 0.0
    limits = [(DESIGN_MAX_WEIGHT + 0.5) / top if top > 0 else math.inf,
              ENERGY_CAP / most if most > 0 else math.inf]
    scale = min(limits)
    if not math.isfinite(scale):
        return 1.0
    # A short decimal just below the limit (easy to quote and to repeat),
    # lowered while rounding the weights up puts them past it.
    digits = 3 - math.floor(math.log10(scale))
    steps = math.floor(scale * 10**digits)
    while steps > 1 and not _within(weights(cost, steps / 10**digits)):
        steps -= 1
    return steps / 10**digits


def _within(w: np.ndarray) -> bool:
    return w.max() <= DESIGN_MAX_WEIGHT and (len(w) > DESIGN_MAX_NODES
                                            or most_energy(w) <= ENERGY_CAP)


def choose_scale(cost: np.ndarray, scale: str | float) -> float:
    """The scale asked for ("auto": auto_scale), checked to give weights a
    graph file holds."""
    s = auto_scale(cost) if scale == "auto" else float(scale)
    top = s * float(cost.max())
    if not top < GRAPH_MAX_WEIGHT + 0.5:
        raise ValueError(f"weights up to {top:.6g} at scale {s:g}; the largest a graph file "
                         f"holds is {GRAPH_MAX_WEIGHT}: lower --scale")
    return s


def weights(cost: np.ndarray, scale: float) -> np.ndarray:
    return np.rint(scale * cost).astype(np.int64)


def weights_of_points(points, alpha: float = 1.0, scale: str | float = "auto",
                      kind: str = "EUC_2D") -> tuple[np.ndarray, float, list[str]]:
    """The (n, n) weights of the complete instance on the points, the scale
    used, and the warnings (weigh)."""
    check_model(alpha, scale)
    d, cost = costs(points, kind, alpha)
    if len(d) < 2:
        raise ValueError(f"{len(d)} point(s); an instance has 2 or more")
    s = choose_scale(cost, scale)
    w, _, warnings = weigh(d, cost, s)
    return w, s, warnings


def weigh(d: np.ndarray, cost: np.ndarray, s: float) -> tuple[np.ndarray, float, list[str]]:
    """The weights of distances d (cost = d**alpha) at scale s, the rounding
    error of the minimum spanning tree's energy, and the warnings: the
    engine's cap, and what rounding to integers costs."""
    w = weights(cost, s)
    _, tree = mst_energy(w.astype(float))
    real, rounded = s * tree_energy(cost, tree), tree_energy(w.astype(float), tree)
    error = abs(rounded - real) / real if real > 0 else 0.0
    return w, error, cap_warnings(w) + rounding_warnings(w, d, error)


def mst_energy(cost: np.ndarray) -> tuple[float, list[tuple[int, int]]]:
    """Energy (each node pays its heaviest tree link) of the minimum spanning
    tree of a dense cost matrix, and the tree. Among trees of equal weight
    the energy may differ: SciPy's tree is the one taken where SciPy is
    installed (always with smetp-lab), else Prim's with ties to the lowest
    node (the package needs NumPy alone)."""
    n = len(cost)
    try:
        from scipy.sparse.csgraph import minimum_spanning_tree
    except ImportError:
        return _prim(cost)
    # The routine reads zero as "no edge": shift costs to at least 1.
    t = minimum_spanning_tree(cost + 1.0 - np.eye(n) * (cost.diagonal() + 1.0)).tocoo()
    links = list(zip(t.row.tolist(), t.col.tolist()))
    return tree_energy(cost, links), links


def _prim(cost: np.ndarray) -> tuple[float, list[tuple[int, int]]]:
    n = len(cost)
    inside = np.zeros(n, dtype=bool)
    inside[0] = True
    best = np.array(cost[0], dtype=float)
    via = np.zeros(n, dtype=np.int64)
    links = []
    for _ in range(n - 1):
        v = int(np.argmin(np.where(inside, np.inf, best)))
        links.append((int(via[v]), v))
        inside[v] = True
        closer = ~inside & (cost[v] < best)
        best[closer] = cost[v][closer]
        via[closer] = v
    return tree_energy(cost, links), links


def tree_energy(cost: np.ndarray, links) -> float:
    p = np.zeros(len(cost))
    for u, v in links:
        p[u] = max(p[u], cost[u, v])
        p[v] = max(p[v], cost[u, v])
    return float(p.sum())


def cap_warnings(w: np.ndarray) -> list[str]:
    """What the engine's energy cap does to an instance with weights w (an
    n x n matrix of the complete graph): empty when no topology reaches it."""
    n = len(w)
    if n > DESIGN_MAX_NODES or w.max() > DESIGN_MAX_WEIGHT:
        return []  # beyond the engine: no cap applies
    e_mst, _ = mst_energy(w.astype(float))
    most = most_energy(w)
    if e_mst >= ENERGY_CAP:
        return [f"the minimum spanning tree's energy {e_mst:.0f} is at or above the "
                f"engine's cap {ENERGY_CAP}: every run will end capped; use smaller weights"]
    if most > ENERGY_CAP:
        return [f"topologies can score up to {most:.0f}, above the engine's cap {ENERGY_CAP} "
                f"(the minimum spanning tree scores {e_mst:.0f}): runs whose topologies all "
                "score the cap have nothing to select on and can end there (capped runs); "
                "--scale auto keeps every topology below the cap"]
    return []


def rounding_warnings(w: np.ndarray, d: np.ndarray, error: float) -> list[str]:
    """What rounding the weights to integers costs: links between distinct
    points that became free (when more than ROUNDING_WARN of all links: a
    pair or two of near points is no harm), and a large rounding error."""
    iu, iv = np.triu_indices(len(w), 1)
    free = int(((w[iu, iv] <= 0) & (d[iu, iv] > 0)).sum())
    out = []
    if free > ROUNDING_WARN * len(iu):
        out.append(f"{free} links between distinct points have weight 0 after rounding, "
                   "so topologies get them for nothing: raise --scale (with --scale auto "
                   "the engine's limits bound it: lower --alpha or use fewer points)")
    if error > ROUNDING_WARN:
        out.append(f"rounding to integers moves the minimum spanning tree's energy by "
                   f"{100 * error:.1f} %: weights this small are coarse; raise --scale or "
                   "lower --alpha")
    return out

