"""PNG plots (matplotlib, no display needed)."""
from __future__ import annotations

import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.patches import Circle  # noqa: E402
from scipy.sparse import csr_matrix  # noqa: E402
from scipy.sparse.csgraph import shortest_path  # noqa: E402

from .energy import powers  # noqa: E402
from .instance import INFEASIBLE, Instance  # noqa: E402


def _grid(count: int):
    cols = min(count, 2)
    rows = math.ceil(count / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(6.4 * cols, 4.4 * rows), squeeze=False)
    for ax in axes.flat[count:]:
        ax.set_visible(False)
    return fig, list(axes.flat)


STYLES = {"MST": ("gray", "--"), "local search": ("tab:green", ":"),
          "optimum": ("black", "-"), "best known": ("black", "-.")}


def _lines(ax, lines: dict, ceiling: float) -> list[float]:
    """Draws the reference lines; lines of equal value become one line whose
    label names them all (so that none hides under another). Returns the
    values drawn."""
    merged: dict[float, list[str]] = {}
    for label, value in lines.items():
        if value is not None and value < ceiling:
            merged.setdefault(float(value), []).append(label)
    for value, labels in merged.items():
        color, style = next((cs for key, cs in STYLES.items() if labels[-1].startswith(key)),
                            ("black", "-."))
        ax.axhline(value, color=color, linestyle=style, linewidth=1.2, zorder=4,
                   label=f"{' = '.join(labels)} {value:g}")
    return list(merged)


def _ylim(ax, values: list[float]):
    """Limits with room below the lowest and above the highest value, so that
    a line at either end is not drawn on the axis."""
    if not values:
        return
    low, top = min(values), max(values)
    pad = 0.06 * (top - low) if top > low else max(1.0, 0.02 * abs(top))
    ax.set_ylim(low - pad, top + pad)


def convergence(panels: list[dict], path: str, title: str = "Convergence"):
    """panels: {"title", "series": [{"label", "histories" (runs x points),
    "step" (generations per point) or "x" (the generations of each point)}],
    "lines": {label: value}, "ceiling": values from here up are no true
    energies (default 64999)}. Draws the median and the interquartile band
    over the runs of each series; a series with nothing below the ceiling is
    named in a note, not in the legend."""
    fig, axes = _grid(len(panels))
    for ax, panel in zip(axes, panels):
        ceiling = panel.get("ceiling", INFEASIBLE - 1)
        shown, hidden = [], []
        for s in panel["series"]:
            h = np.array(s["histories"], dtype=float)
            x = np.asarray(s["x"]) if "x" in s else np.arange(h.shape[1]) * s["step"]
            med = np.median(h, axis=0)
            q1, q3 = np.percentile(h, [25, 75], axis=0)
            if not (med < ceiling).any():
                hidden.append(s["label"])
                continue
            label = s["label"] + (f" (median of {h.shape[0]})" if h.shape[0] > 1 else "")
            line, = ax.plot(x, med, label=label)
            ax.fill_between(x, q1, q3, alpha=0.25, color=line.get_color(), linewidth=0)
            shown += [v for v in list(q3) + list(med) if v < ceiling]
        shown += _lines(ax, panel.get("lines", {}), ceiling)
        _ylim(ax, shown)
        if hidden:
            ax.text(0.01, 0.02, "not drawn (no energy below " f"{ceiling:g}): "
                    + "; ".join(hidden), transform=ax.transAxes, fontsize=7, va="bottom")
        ax.set_title(panel["title"])
        ax.set_xlabel("generations")
        ax.set_ylabel("best energy")
        if ax.get_legend_handles_labels()[0]:
            ax.legend(fontsize=7)
        ax.grid(alpha=0.3)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def final_energies(panels: list[dict], path: str):
    """panels: {"title", "groups": [(label, values)], "lines": {label: value},
    "ceiling"}: a box plot with every run as a point."""
    fig, axes = _grid(len(panels))
    rng = np.random.default_rng(0)
    for ax, panel in zip(axes, panels):
        ceiling = panel.get("ceiling", INFEASIBLE - 1)
        labels = [g[0] for g in panel["groups"]]
        data = [np.array(g[1], dtype=float) for g in panel["groups"]]
        feasible = [d[d < ceiling] for d in data]
        ax.boxplot([f if len(f) else [np.nan] for f in feasible], widths=0.5,
                   showfliers=False)
        for i, d in enumerate(feasible, 1):
            ax.scatter(i + rng.uniform(-0.12, 0.12, len(d)), d, s=12, alpha=0.7, zorder=3)
        shown = [float(v) for d in feasible for v in d]
        shown += _lines(ax, panel.get("lines", {}), ceiling)
        _ylim(ax, shown)
        ax.set_xticks(range(1, len(labels) + 1), labels, fontsize=7, rotation=15)
        ax.set_title(panel["title"])
        ax.set_ylabel("final best energy")
        off = sum(int((d >= ceiling).sum()) for d in data)
        if off:
            ax.text(0.01, 0.98, f"{off} run(s) not drawn: no connected topology or at the "
                    "engine's cap", transform=ax.transAxes, va="top", fontsize=7)
        if ax.get_legend_handles_labels()[0]:
            ax.legend(fontsize=7)
        ax.grid(alpha=0.3, axis="y")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def layout(inst: Instance) -> tuple[np.ndarray, bool]:
    """Node positions: the instance's coordinates when it has them, else
    classical multidimensional scaling of the weights (shortest-path
    distances where a pair is not an edge). True when coordinates."""
    if inst.coords is not None:
        return inst.coords, True
    w = np.where(inst.has_edge, np.clip(inst.weight, 0, None), 0).astype(float)
    # Zero entries of a sparse graph are "no edge": lift zero weights a bit.
    w = np.where(inst.has_edge & (w == 0), 1e-6, w)
    d = shortest_path(csr_matrix(w), directed=False)
    d[~np.isfinite(d)] = np.nanmax(d[np.isfinite(d)]) * 2 if np.isfinite(d).any() else 1.0
    n = inst.n
    j = np.eye(n) - np.ones((n, n)) / n
    b = -0.5 * j @ (d**2) @ j
    vals, vecs = np.linalg.eigh(b)
    top = np.argsort(vals)[::-1][:2]
    return vecs[:, top] * np.sqrt(np.clip(vals[top], 0, None)), False


def topologies(inst: Instance, drawings: list[tuple[str, list]], path: str,
               title: str | None = None):
    """Draws each (title, 0-based links) over the same node placement and the
    same axis ranges: the links, and each node's power as a circle around it
    (its radius is the distance the power reaches where the positions are
    the instance's points, else the power)."""
    pos, exact_positions = layout(inst)
    fig, axes = plt.subplots(1, len(drawings), figsize=(6 * len(drawings), 6.4), squeeze=False,
                             sharex=True, sharey=True)
    lo, hi = pos.min(axis=0), pos.max(axis=0)
    pad = 0.08 * max(float((hi - lo).max()), 1e-9)
    for ax, (sub, links) in zip(axes[0], drawings):
        p = powers(inst, links)
        r = inst.reach(p) if exact_positions else p
        for v in range(inst.n):
            if p[v] > 0:
                ax.add_patch(Circle(pos[v], r[v], fill=True, alpha=0.06, color="tab:blue"))
                ax.add_patch(Circle(pos[v], r[v], fill=False, alpha=0.35, color="tab:blue",
                                    linewidth=0.6))
        for u, v in links:
            ax.plot(*zip(pos[u], pos[v]), color="tab:red", linewidth=1.2, zorder=2)
        ax.scatter(pos[:, 0], pos[:, 1], s=18, color="black", zorder=3)
        if inst.n <= 60:
            for v in range(inst.n):
                ax.annotate(str(v + 1), pos[v], fontsize=6, xytext=(3, 3),
                            textcoords="offset points")
        ax.set_aspect("equal")
        ax.set_xlim(lo[0] - pad, hi[0] + pad)
        ax.set_ylim(lo[1] - pad, hi[1] + pad)
        ax.set_title(sub, fontsize=9)
        if not exact_positions:
            ax.set_xlabel("placed by the weights (no coordinates file)", fontsize=7)
    if title:
        fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
