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


def _upper(values) -> float | None:
    """A y limit that keeps the 65000 placeholder of infeasible points off
    the scale."""
    feasible = [v for v in values if v < INFEASIBLE]
    return max(feasible) * 1.05 if feasible else None


def convergence(panels: list[dict], path: str, title: str = "Convergence"):
    """panels: {"title", "series": [{"label", "histories" (runs x points),
    "step" (generations per point) or "x" (the generations of each point)}],
    "lines": {label: value}}. Draws the
    median and the interquartile band over the runs of each series."""
    fig, axes = _grid(len(panels))
    for ax, panel in zip(axes, panels):
        tops = []
        for s in panel["series"]:
            h = np.array(s["histories"], dtype=float)
            x = np.asarray(s["x"]) if "x" in s else np.arange(h.shape[1]) * s["step"]
            med = np.median(h, axis=0)
            q1, q3 = np.percentile(h, [25, 75], axis=0)
            label = s["label"] + (f" (median of {h.shape[0]})" if h.shape[0] > 1 else "")
            line, = ax.plot(x, med, label=label)
            ax.fill_between(x, q1, q3, alpha=0.25, color=line.get_color(), linewidth=0)
            tops += list(q3) + list(med)
        for label, value in panel.get("lines", {}).items():
            if value is not None:
                ax.axhline(value, linestyle="--", linewidth=1, color="gray" if "MST" in label
                           else "black", label=f"{label} {value:g}")
                tops.append(value)
        top = _upper(tops)
        if top:
            low = min(v for v in tops if v < INFEASIBLE)
            ax.set_ylim(low - 0.05 * (top - low) - 1, top)
        ax.set_title(panel["title"])
        ax.set_xlabel("generations")
        ax.set_ylabel("best energy")
        ax.legend(fontsize=7)
        ax.grid(alpha=0.3)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def final_energies(panels: list[dict], path: str):
    """panels: {"title", "groups": [(label, values)], "lines": {label: value}}:
    a box plot with every run as a point."""
    fig, axes = _grid(len(panels))
    rng = np.random.default_rng(0)
    for ax, panel in zip(axes, panels):
        labels = [g[0] for g in panel["groups"]]
        data = [np.array(g[1], dtype=float) for g in panel["groups"]]
        feasible = [d[d < INFEASIBLE] for d in data]
        ax.boxplot([f if len(f) else [np.nan] for f in feasible], widths=0.5,
                   showfliers=False)
        for i, d in enumerate(feasible, 1):
            ax.scatter(i + rng.uniform(-0.12, 0.12, len(d)), d, s=12, alpha=0.7, zorder=3)
        styles = {"MST": ("gray", "--"), "local search": ("tab:green", ":"),
                  "optimum": ("black", "-")}
        for label, value in panel.get("lines", {}).items():
            if value is not None:
                color, style = next((cs for key, cs in styles.items()
                                     if label.startswith(key)), ("black", "-."))
                ax.axhline(value, color=color, linestyle=style, linewidth=1,
                           label=f"{label} {value:g}")
        ax.set_xticks(range(1, len(labels) + 1), labels, fontsize=7, rotation=15)
        ax.set_title(panel["title"])
        ax.set_ylabel("final best energy")
        infeasible = sum(int((d >= INFEASIBLE).sum()) for d in data)
        if infeasible:
            ax.text(0.01, 0.98, f"{infeasible} run(s) without a connected topology",
                    transform=ax.transAxes, va="top", fontsize=7)
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


def topologies(inst: Instance, drawings: list[tuple[str, list]], path: str):
    """Draws each (title, 0-based links) over the same node placement: the
    links, and each node's power as a circle around it (its radius is the
    power: a true range where the positions are the instance's points)."""
    pos, exact_positions = layout(inst)
    fig, axes = plt.subplots(1, len(drawings), figsize=(6 * len(drawings), 6), squeeze=False)
    for ax, (title, links) in zip(axes[0], drawings):
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
        if inst.n <= 45:
            for v in range(inst.n):
                ax.annotate(str(v + 1), pos[v], fontsize=6, xytext=(3, 3),
                            textcoords="offset points")
        ax.set_aspect("equal")
        ax.set_title(title, fontsize=9)
        if not exact_positions:
            ax.set_xlabel("placed by the weights (no coordinates file)", fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
