"""PNG plots (matplotlib, no display needed)."""
from __future__ import annotations

import math
import textwrap

import matplotlib
import matplotlib.ticker

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
          "optimum": ("black", "-"), "exact's best": ("black", "-."),
          "target": ("tab:red", "-.")}
# One marker per series, so that series of one colour family or drawn on top
# of each other still tell apart.
MARKERS = "osD^vP*X<>ph"
# A gap axis whose values spread wider than this (percent) is logarithmic
# above 1 % (linear from 0 to 1 %, so that 0 % stays on the axis).
LOG_ABOVE = 50.0


def _save(fig, path: str):
    """Writes the figure, all of its text inside the image, and closes it."""
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)


def _legend(ax):
    """The legend below the axes, where it covers no data, its long labels
    wrapped."""
    handles, labels = ax.get_legend_handles_labels()
    if handles:
        ax.legend(handles, [textwrap.fill(t, 80) for t in labels], fontsize=7,
                  loc="upper center", bbox_to_anchor=(0.5, -0.16), frameon=False)


def _misses(ax, missed: list, times: list):
    """Series that never reached their target: a flat line at 0 over the
    seconds shown, so that they are seen, not only named."""
    lo, hi = (min(times), max(times)) if times else (0.0, 1.0)
    if hi <= lo:
        lo, hi = lo * 0.9, hi * 1.1 or 1.0
    for i, label in missed:
        ax.plot([lo, hi], [0.0, 0.0], marker=MARKERS[i % len(MARKERS)], markevery=[0, 1],
                markersize=5, zorder=3, label=label)
    if not times:
        ax.set_xlim(0.0, 1.0)


def describe(fig) -> list[dict]:
    """What each visible panel of a figure shows: title, axis scale, the
    legend's entries and the x tick labels (for checks of a plot's series),
    whether the legend lies clear of the data area, and the labels of
    curves drawn without a point."""
    fig.canvas.draw()
    out = []
    for ax in fig.axes:
        if not ax.get_visible():
            continue
        legend = ax.get_legend()
        clear = (legend is None or not legend.get_window_extent().overlaps(
            ax.get_window_extent()))
        empty = [line.get_label() for line in ax.get_lines() if len(line.get_xdata()) == 0]
        out.append({"legend_clear": clear, "empty_curves": empty,
                    "title": ax.get_title(), "yscale": ax.get_yscale(),
                    "xscale": ax.get_xscale(), "ylabel": ax.get_ylabel(),
                    "ylim": tuple(float(v) for v in ax.get_ylim()),
                    "legend": [t.get_text() for t in legend.get_texts()] if legend else [],
                    "xticks": [t.get_text() for t in ax.get_xticklabels()],
                    "texts": [t.get_text() for t in ax.texts]})
    return out


def _to_gap(values, reference):
    """Energies as percent above the reference (NaN stays NaN)."""
    return 100.0 * (np.asarray(values, dtype=float) - reference) / reference


def _lines(ax, lines: dict, ceiling: float, reference=None) -> list[float]:
    """Draws the reference lines beneath everything else; lines of equal
    value become one line whose label names them all (so that none hides
    under another). With a reference, at their gap to it. Returns the values
    drawn (in the axis's units)."""
    merged: dict[float, list[str]] = {}
    for label, value in lines.items():
        if value is not None and value < ceiling:
            merged.setdefault(float(value), []).append(label)
    drawn = []
    for value, labels in merged.items():
        color, style = next((cs for key, cs in STYLES.items() if labels[-1].startswith(key)),
                            ("black", "-."))
        y = value if reference is None else float(_to_gap(value, reference))
        text = f"{' = '.join(labels)} {value:g}"
        if reference is not None:
            text += f" ({y:+.2f} %)"
        ax.axhline(y, color=color, linestyle=style, linewidth=1.1, zorder=1, label=text)
        drawn.append(y)
    return drawn


def _ylim(ax, values: list[float]):
    """Limits with room below the lowest and above the highest value, so that
    a line at either end is not drawn on the axis."""
    if not values:
        return
    low, top = min(values), max(values)
    pad = 0.06 * (top - low) if top > low else max(1.0, 0.02 * abs(top))
    ax.set_ylim(low - pad, top + pad)


def _energy_axis(ax, shown, ref, what):
    """The y axis of energies, or of their gap to ref where there is one."""
    if ref is None:
        _ylim(ax, shown)
        ax.set_ylabel(what)
    else:
        _gap_axis(ax, shown, f"{what}, % above {ref:g}")


def _gap_axis(ax, values: list[float], label: str):
    """A percent axis: logarithmic above 1 % where the values spread wide."""
    ax.set_ylabel(label)
    values = [v for v in values if np.isfinite(v)]
    if values and max(values) - min(values) > LOG_ABOVE and min(values) > -1.0:
        ax.set_yscale("symlog", linthresh=1.0, linscale=0.5)
        ax.set_ylim(-0.3, max(values) * 1.6)
        ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g} %"))
    else:
        _ylim(ax, values)
        ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g} %"))


def _quantile(h, q: float, ceiling: float):
    """The q-quantile of each column of h, interpolated as numpy's percentile
    does, except that between an energy and a value from the ceiling up (no
    true energy) it is that value: unknown, not somewhere in between."""
    v = np.sort(h, axis=0)
    pos = q * (v.shape[0] - 1)
    lo = int(pos)
    hi = min(lo + 1, v.shape[0] - 1)
    a, b = v[lo], v[hi]
    if pos == lo:
        return a
    return np.where(b >= ceiling, b, a + (b - a) * (pos - lo))


def convergence(panels: list[dict], path: str, title: str = "Convergence"):
    """panels: {"title", "series": [{"label", "histories" (runs x points),
    "step" (generations per point) or "x" (the generations of each point),
    optional "ceiling" of its own}, "lines": {label: value}, "ceiling": values
    from here up are no true energies (default 64999), "reference": optional
    energy}. Draws the median
    and the interquartile band over the runs of each series (as percent
    above the reference where there is one); a series with nothing below the
    ceiling is named in a note, not in the legend."""
    fig, axes = _grid(len(panels))
    for ax, panel in zip(axes, panels):
        ceiling = panel.get("ceiling", INFEASIBLE - 1)
        ref = panel.get("reference")
        shown, hidden = [], []
        for i, s in enumerate(panel["series"]):
            top = s.get("ceiling", ceiling)
            h = np.array(s["histories"], dtype=float)
            x = np.asarray(s["x"]) if "x" in s else np.arange(h.shape[1]) * s["step"]
            q1, med, q3 = (_quantile(h, q, top) for q in (0.25, 0.5, 0.75))
            if not (med < top).any():
                hidden.append(s["label"])
                continue
            # Points without a true energy are left out, not drawn at the mark.
            med, q1, q3 = (np.where(v < top, v, np.nan) for v in (med, q1, q3))
            if ref is not None:
                med, q1, q3 = (_to_gap(v, ref) for v in (med, q1, q3))
            label = s["label"] + (f" (median of {h.shape[0]})" if h.shape[0] > 1 else "")
            line, = ax.plot(x, med, label=label, marker=MARKERS[i % len(MARKERS)],
                            markevery=max(1, len(x) // 12), markersize=5, zorder=3)
            ax.fill_between(x, q1, q3, alpha=0.2, color=line.get_color(), linewidth=0,
                            zorder=2)
            shown += [float(v) for v in np.concatenate([q3, med]) if np.isfinite(v)]
        shown += _lines(ax, panel.get("lines", {}), ceiling, ref)
        _energy_axis(ax, shown, ref, "best energy")
        if hidden:
            ax.text(0.01, 0.02, "not drawn (no energy below " f"{ceiling:g}): "
                    + "; ".join(hidden), transform=ax.transAxes, fontsize=7, va="bottom")
        ax.set_title(panel["title"], fontsize=9)
        ax.set_xlabel("generations")
        _legend(ax)
        ax.grid(alpha=0.3)
    fig.suptitle(title)
    fig.tight_layout()
    _save(fig, path)


def final_energies(panels: list[dict], path: str):
    """panels: {"title", "groups": [(label, values)], "lines": {label: value},
    "ceiling", optional "ceilings" (one per group), "reference": optional
    energy}: a box per group with every run
    as a point on top (its own marker per group), reference lines beneath;
    as percent above the reference where there is one."""
    fig, axes = _grid(len(panels))
    rng = np.random.default_rng(0)
    for ax, panel in zip(axes, panels):
        ceiling = panel.get("ceiling", INFEASIBLE - 1)
        ref = panel.get("reference")
        labels = [g[0] for g in panel["groups"]]
        data = [np.array(g[1], dtype=float) for g in panel["groups"]]
        tops = panel.get("ceilings") or [ceiling] * len(data)
        feasible = [d[d < top] for d, top in zip(data, tops)]
        if ref is not None:
            feasible = [_to_gap(d, ref) for d in feasible]
        ax.boxplot([f if len(f) else [np.nan] for f in feasible], widths=0.5,
                   showfliers=False, zorder=2, medianprops={"color": "black"})
        for i, d in enumerate(feasible, 1):
            ax.scatter(i + rng.uniform(-0.12, 0.12, len(d)), d, s=16, alpha=0.8, zorder=3,
                       marker=MARKERS[(i - 1) % len(MARKERS)])
        shown = [float(v) for d in feasible for v in d]
        shown += _lines(ax, panel.get("lines", {}), ceiling, ref)
        _energy_axis(ax, shown, ref, "final best energy")
        ax.set_xticks(range(1, len(labels) + 1), [textwrap.fill(t, 30) for t in labels],
                      fontsize=7)
        ax.set_title(panel["title"], fontsize=9)
        off = sum(int((d >= top).sum()) for d, top in zip(data, tops))
        if off:
            ax.text(0.01, 0.98, f"{off} run(s) not drawn: no connected topology or at the "
                    "engine's cap", transform=ax.transAxes, va="top", fontsize=7)
        _legend(ax)
        ax.grid(alpha=0.3, axis="y")
    fig.tight_layout()
    _save(fig, path)


def time_to_target(panels: list[dict], path: str):
    """panels: {"title", "series": [{"label", "runs" (how many), "seconds"
    (each hit's seconds to the target), "bound" (the seconds are upper
    bounds)}], "marks": {label: seconds}}: the fraction of runs at or below
    the target against seconds, one step curve per series; the marks
    (other methods' times) as vertical lines beneath."""
    fig, axes = _grid(len(panels))
    for ax, panel in zip(axes, panels):
        times, missed = [], []
        for i, s in enumerate(panel["series"]):
            t = sorted(s["seconds"])
            label = f"{s['label']} ({len(t)} of {s['runs']})"
            if s.get("bound") and t:
                label = label[:-1] + ", upper bounds)"
            if not t:
                missed.append((i, label))
                continue
            frac = np.arange(1, len(t) + 1) / s["runs"]
            ax.step([t[0]] + t, [0.0] + list(frac), where="post", zorder=3, label=label,
                    marker=MARKERS[i % len(MARKERS)], markersize=5)
            times += t
        for j, (label, secs) in enumerate(panel.get("marks", {}).items()):
            if secs is not None and secs > 0:
                ax.axvline(secs, color=("black", "tab:green", "gray")[j % 3],
                           linestyle=("-", ":", "--")[j % 3], linewidth=1.1, zorder=1,
                           label=f"{label} {secs:.3g} s")
                times.append(secs)
        times = [t for t in times if t > 0]
        _misses(ax, missed, times)
        if times and max(times) / min(times) > 20:
            ax.set_xscale("log")
        if not any(s["seconds"] for s in panel["series"]):
            ax.text(0.01, 0.98, "no run reached the target", transform=ax.transAxes,
                    va="top", fontsize=7)
        ax.set_ylim(-0.03, 1.03)
        ax.set_xlabel("seconds")
        ax.set_ylabel("fraction of runs\nat or below the target")
        ax.set_title(panel["title"], fontsize=9)
        _legend(ax)
        ax.grid(alpha=0.3)
    fig.tight_layout()
    _save(fig, path)


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
        # A long line of parameters and settings is wrapped to the figure's width.
        fig.suptitle(textwrap.fill(title, 12 * len(drawings) + 60), fontsize=10)
    fig.tight_layout()
    _save(fig, path)


def ecdf_and_profiles(ecdf: dict, profiles: dict | None, path: str):
    """Two panels. ecdf: {"targets": [gaps in percent], "series": [{"label",
    "times": [seconds at which a (run, target) pair was first reached, one
    entry per pair reached], "pairs": all pairs}]}: the fraction of (run,
    gap target) pairs reached against seconds, one step curve per setting.
    profiles: {"tau_max", "series": [{"label", "ratios": [per instance, the
    setting's time to target over the fastest one's; inf for none]}]}: the
    performance profile, the fraction of instances within a factor tau of
    the fastest (absent with fewer than two settings)."""
    fig, axes = _grid(2 if profiles else 1)
    ax = axes[0]
    times, missed = [], []
    for i, s in enumerate(ecdf["series"]):
        t = sorted(s["times"])
        label = f"{s['label']} ({len(t)} of {s['pairs']})"
        if not t:
            missed.append((i, label))
            continue
        ax.step([t[0]] + t, [0.0] + list(np.arange(1, len(t) + 1) / s["pairs"]), where="post",
                marker=MARKERS[i % len(MARKERS)], markersize=4, label=label)
        times += t
    times = [t for t in times if t > 0]
    _misses(ax, missed, times)
    if times and max(times) / min(times) > 20:
        ax.set_xscale("log")
    ax.set_ylim(-0.03, 1.03)
    ax.set_xlabel("seconds")
    ax.set_ylabel("fraction of (run, target)\npairs reached")
    gaps = ", ".join(f"{g:g}" for g in ecdf["targets"])
    ax.set_title(f"ECDF over gap targets {gaps} % above the reference", fontsize=9)
    _legend(ax)
    ax.grid(alpha=0.3)
    if profiles:
        ax = axes[1]
        top = profiles["tau_max"]
        for i, s in enumerate(profiles["series"]):
            r = np.array(sorted(s["ratios"]))
            taus = np.concatenate([[1.0], r[np.isfinite(r)], [top]])
            frac = [(r <= t).mean() for t in taus]
            ax.step(taus, frac, where="post", marker=MARKERS[i % len(MARKERS)], markersize=4,
                    label=s["label"])
        ax.set_xscale("log")
        ax.set_xlim(1.0, top)
        ax.set_ylim(-0.03, 1.03)
        ax.set_xlabel("tau (time to target over the fastest setting's)")
        ax.set_ylabel("fraction of instances")
        ax.set_title("Performance profile: time to each instance's target", fontsize=9)
        _legend(ax)
        ax.grid(alpha=0.3)
    fig.tight_layout()
    _save(fig, path)
