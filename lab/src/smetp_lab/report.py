"""The report over a results file: report.md, summary.csv and PNG plots."""
from __future__ import annotations

import csv
import io
import os
import re
import statistics
from collections import defaultdict

from . import plots
from .energy import check_links, energy
from .exact import cached_solve
from .heuristics import local_search, mst
from .instance import LabError, read_instance
from .judge import check_run, is_capped, polish_all, require_history, run_links
from .results import InstanceFinder, read_results

GENERATIONS_PER_LAUNCH = 50

COLUMNS = ["instance", "nodes", "hardness", "density", "generations", "settings", "runs",
           "feasible_runs",
           "capped_runs", "verified_runs", "ga_best", "ga_median", "ga_worst", "polished_best",
           "mst", "local_search", "optimum", "bound", "proven", "reference", "gap_ga_best_pct",
           "gap_ga_median_pct", "gap_ga_worst_pct", "gap_polished_pct", "gap_mst_pct",
           "gap_local_search_pct", "seconds_median"]


def gap(value, ref, inst):
    """Percent above the reference; None where either is no true energy (no
    connected topology, or the engine's cap standing in for a higher one)."""
    if value is None or ref in (None, 0):
        return None
    top = inst.infeasible if inst.cap is None else inst.cap
    if value >= top or ref >= top:
        return None
    return round(100.0 * (value - ref) / ref, 2)


def _fmt(v):
    if v is None:
        return ""
    if isinstance(v, bool):
        return "yes" if v else "no"
    if isinstance(v, float):
        return f"{v:g}"
    return str(v)


def _slug(text: str) -> str:
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", text).strip("_") or "instance"


def build(results_path: str | None, out_dir: str, use_exact: bool = False,
          time_limit: float = 600, cache_dir: str | None = None,
          instances_dir: str | None = None, log=None, instances: list[str] = ()) -> list[dict]:
    """The report over the runs of a results file and over `instances`
    without runs (their baselines and exact bound only)."""
    def say(msg):
        if log:
            log(msg)

    runs = read_results(results_path) if results_path else []
    if not runs and not instances:
        raise LabError(results_path or "", "no runs")
    finder = InstanceFinder(instances_dir)
    insts = {}
    given = {}  # each instance's path as the results name it
    for path in instances:
        inst = read_instance(path)
        insts[inst.path] = inst
        given[inst.path] = path
    groups: dict[tuple, list] = defaultdict(list)
    for run in runs:
        inst = finder(run)
        insts[inst.path] = inst
        given.setdefault(inst.path, run.data["instance"])
        require_history(run)
        # The batch writes a density of nan as null: a parameter set of its own.
        key = (inst.path, run.get("generations", int), run.get("hardness", int),
               run.get("density", float, null=True), settings_label(run))
        groups[key].append(run)

    # Per instance: the baselines and, when asked, the exact optimum.
    base = {}
    names = {}
    for path, inst in insts.items():
        name = _slug(inst.name)
        while name in names.values():
            name += "_"
        names[path] = name
        tree = mst(inst)
        entry = {"mst": None, "ls": None, "ls_links": None, "exact": None}
        if tree is not None:
            ls = local_search(inst, tree)
            entry.update(mst=energy(inst, tree), ls=energy(inst, ls), ls_links=ls)
        if use_exact:
            say(f"report: exact optimum of {path}")
            entry["exact"] = cached_solve(inst, time_limit, cache_dir, log)
        base[path] = entry

    # Per run: the check against its own topology and the polished energy
    # (the run's own "polished" where it has one; each distinct topology
    # searched once, on all processors).
    checks, polished, capped = {}, {}, {}
    todo = []
    for run in runs:
        inst = finder(run)
        checks[id(run)] = check_run(run, inst)
        capped[id(run)] = is_capped(run, inst)
        value = run.data.get("polished")
        if isinstance(value, int) and not isinstance(value, bool):
            polished[id(run)] = value
            continue
        c = checks[id(run)]
        if c.links is None or c.recomputed >= inst.infeasible:
            polished[id(run)] = inst.infeasible
        else:
            todo.append((run, inst, c.links))
    say(f"report: {len(runs)} runs checked; polishing {len(todo)}")
    for (run, inst, _), links in zip(todo, polish_all([(i, ls) for _, i, ls in todo], say)):
        polished[id(run)] = energy(inst, links)
    _make_folder(out_dir)

    rows = []
    for key in sorted(groups, key=lambda k: (k[0], _order(k))):
        path, gens, hard, dens, sets = key
        inst, rs, b = insts[path], groups[key], base[path]
        bests = sorted(r.data["best"] for r in rs)
        pol = [polished[id(r)] for r in rs]
        ex = b["exact"]
        optimum = ex["optimum"] if ex else None
        bound = ex["bound"] if ex else None
        candidates = [v for v in [b["ls"], min(bests), min(pol), optimum] if v is not None]
        reference = optimum if ex and ex["proven"] else min(candidates)
        row = {
            "instance": given[path], "nodes": inst.n, "hardness": hard, "density": dens,
            "generations": gens, "settings": sets, "runs": len(rs),
            "feasible_runs": sum(v < inst.infeasible for v in bests),
            "capped_runs": sum(capped[id(r)] for r in rs),
            "verified_runs": sum(checks[id(r)].ok for r in rs),
            "ga_best": bests[0], "ga_median": statistics.median(bests), "ga_worst": bests[-1],
            "polished_best": min(pol), "mst": b["mst"], "local_search": b["ls"],
            "optimum": optimum, "bound": bound, "proven": ex["proven"] if ex else None,
            "reference": reference,
            "seconds_median": _median_of(rs, "seconds"),
        }
        for col, val in (("gap_ga_best_pct", bests[0]), ("gap_ga_median_pct", row["ga_median"]),
                         ("gap_ga_worst_pct", bests[-1]), ("gap_polished_pct", min(pol)),
                         ("gap_mst_pct", b["mst"]), ("gap_local_search_pct", b["ls"])):
            row[col] = gap(val, reference, inst)
        rows.append(row)
    for path in insts:
        if any(k[0] == path for k in groups):
            continue
        # An instance without runs: its baselines against the exact result.
        inst, b = insts[path], base[path]
        ex = b["exact"]
        known = [v for v in (b["ls"], ex["optimum"] if ex else None) if v is not None]
        row = dict.fromkeys(COLUMNS)
        row.update(instance=given[path], nodes=inst.n, runs=0, feasible_runs=0, capped_runs=0,
                   verified_runs=0, mst=b["mst"], local_search=b["ls"],
                   optimum=ex["optimum"] if ex else None, bound=ex["bound"] if ex else None,
                   proven=ex["proven"] if ex else None,
                   reference=min(known) if known else None)
        row["gap_mst_pct"] = gap(b["mst"], row["reference"], inst)
        row["gap_local_search_pct"] = gap(b["ls"], row["reference"], inst)
        rows.append(row)

    with open(os.path.join(out_dir, "summary.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, COLUMNS)
        w.writeheader()
        for row in rows:
            w.writerow({k: _fmt(row[k]) for k in COLUMNS})

    say("report: plots")
    images = _plots(out_dir, insts, groups, base, names, given)
    _markdown(out_dir, results_path, rows, images, base, insts, use_exact, checks, given)
    return rows


TABLE_COLUMNS = ["index", "instance", "nodes", "edges", "seed", "generations", "hardness",
                 "density", "launches", "best", "feasible", "capped", "verified", "recomputed",
                 "links", "launch_of_best", "seconds_to_best", "seconds", "end_mutation",
                 "backend", "settings", "polished"]


def table(results_path: str, out_path: str, instances_dir: str | None = None) -> int:
    """One CSV row per run (TABLE_COLUMNS; fields a run lacks are empty, and
    fields not named here are left out): the run's own fields, whether it
    is capped, and its topology recomputed against the instance."""
    from .results import write_files

    runs = read_results(results_path)
    finder = InstanceFinder(instances_dir)
    buf = io.StringIO()
    w = csv.DictWriter(buf, TABLE_COLUMNS, extrasaction="ignore", lineterminator="\n")
    w.writeheader()
    for run in runs:
        inst = finder(run)
        c = check_run(run, inst)
        row = {k: run.data.get(k) for k in TABLE_COLUMNS}
        topo = run.data.get("topology")
        row.update(settings=settings_label(run), capped=is_capped(run, inst), verified=c.ok,
                   recomputed=c.recomputed,
                   links=len(topo) if isinstance(topo, list) else None)
        w.writerow({k: _csv_value(v) for k, v in row.items()})
    write_files([(out_path, buf.getvalue())])
    return len(runs)


def _csv_value(v):
    if v is None:
        return ""
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, (list, dict)):
        return ""
    return v


def _make_folder(path: str):
    """The output folder, made where missing; fails with one line when it
    cannot hold the report."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise LabError(path, "exists and is not a folder")
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as e:
        raise LabError(path, e.strerror or str(e)) from None
    if not os.access(path, os.W_OK | os.X_OK):
        raise LabError(path, "the folder is not writable")


def _median_of(runs, key):
    vals = [r.data[key] for r in runs if isinstance(r.data.get(key), (int, float))]
    return round(statistics.median(vals), 3) if vals else None


def _density(d) -> str:
    return "nan" if d is None else f"{d:g}"


# The GA settings of the design, as the batch writes them in "settings", and
# the memetic step's defaults.
DESIGN_SETTINGS = {"elite": 16, "tournament": 8, "crossover": 0.85, "mutation": 0.005,
                   "mutation_step": 0.005, "mutation_patience": 1000, "repair": "on",
                   "init": "random", "memetic": "none", "memetic_every": 25,
                   "memetic_count": 24}
MEMETIC_ONLY = ("memetic_every", "memetic_count")


def settings_label(run) -> str:
    """The run's GA settings that are not the design's, as name=value words
    ("design" for none; the memetic step's own settings only with a step)."""
    given = run.get("settings", dict, optional=True) or {}
    words = []
    for name, value in given.items():
        if name in MEMETIC_ONLY and given.get("memetic", "none") == "none":
            continue
        if DESIGN_SETTINGS.get(name) == value:
            continue
        words.append(f"{name}={value}")
    return " ".join(words) or "design"


def _order(key):
    """Sort key of a group: hardness, density (nan last), generations, the
    design before other settings."""
    _, gens, hard, dens, sets = key
    return (hard, dens is None, dens or 0.0, gens, sets != "design", sets)


def _label(key) -> str:
    _, gens, hard, dens, sets = key
    text = f"hardness {hard}, density {_density(dens)}, {gens} gen"
    return text if sets == "design" else f"{text}, {sets}"


def _plots(out_dir, insts, groups, base, names, given) -> dict:
    images = {"convergence": "convergence.png", "final": "final_energies.png", "topology": {}}
    conv, final = [], []
    for path, inst in insts.items():
        keys = sorted((k for k in groups if k[0] == path), key=_order)
        b = base[path]
        lines = {"MST": b["mst"]}
        if b["exact"]:
            lines["optimum" if b["exact"]["proven"] else "best known"] = b["exact"]["optimum"]
        series = []
        for k in keys:
            hists = [list(r.data["history"]) for r in groups[k]]
            width = max(len(h) for h in hists)
            hists = [h + [h[-1]] * (width - len(h)) for h in hists]
            series.append({"label": _label(k), "histories": hists,
                           "step": GENERATIONS_PER_LAUNCH})
        ceiling = inst.infeasible if inst.cap is None else inst.cap
        if keys:
            conv.append({"title": f"{given[path]} ({inst.n} nodes)", "series": series,
                         "lines": lines, "ceiling": ceiling})
            final.append({"title": f"{given[path]} ({inst.n} nodes)",
                          "groups": [(_label(k), [r.data["best"] for r in groups[k]])
                                     for k in keys],
                          "lines": {"MST": b["mst"], "local search": b["ls"],
                                    **({"optimum": b["exact"]["optimum"]} if b["exact"]
                                       and b["exact"]["proven"] else {})},
                          "ceiling": ceiling})
        # The best run of the instance, its polished form and the optimum.
        best_key, best_run = min(((k, r) for k in keys for r in groups[k]),
                                 key=lambda kr: (kr[1].data["best"], kr[1].data["index"]),
                                 default=(None, None))
        drawings = []
        links = run_links(best_run, inst) if best_run else None
        if links is not None and best_run.data["best"] < inst.infeasible:
            drawings.append((f"GA best {best_run.data['best']} (run {best_run.data['index']}, "
                             f"seed {best_run.data.get('seed')})", links))
            ptopo = best_run.data.get("polished_topology")
            plinks = (check_links(inst, ptopo, best_run.where) if ptopo
                      else local_search(inst, links))
            drawings.append((f"polished {energy(inst, plinks)}", plinks))
        ex = b["exact"]
        if not keys and ex and ex.get("topology") and b["ls_links"] is not None:
            drawings.append((f"local search from the MST {b['ls']}", b["ls_links"]))
        if ex and ex.get("topology"):
            exl = check_links(inst, ex["topology"], "exact cache")
            drawings.append((f"{'optimum' if ex['proven'] else 'best found'} "
                             f"{energy(inst, exl)}", exl))
        elif b["ls_links"] is not None:
            drawings.append((f"local search from the MST {b['ls']}", b["ls_links"]))
        if drawings:
            name = f"topology_{names[path]}.png"
            plots.topologies(inst, drawings, os.path.join(out_dir, name),
                             f"{given[path]} ({inst.n} nodes): " + (
                                 f"the best run has {_label(best_key)}" if best_key
                                 else "no runs; the baseline and the exact result"))
            images["topology"][path] = name
    if conv:
        plots.convergence(conv, os.path.join(out_dir, images["convergence"]))
        plots.final_energies(final, os.path.join(out_dir, images["final"]))
    else:
        images["convergence"] = images["final"] = None
    return images


def _markdown(out_dir, results_path, rows, images, base, insts, use_exact, checks, given):
    bad = [c for c in checks.values() if not c.ok]
    title = os.path.basename(results_path) if results_path else ", ".join(given.values())
    out = [f"# smetp results: {title}", ""]
    out.append(f"{sum(r['runs'] for r in rows)} runs over {len(insts)} instance(s)"
               + (f" from `{results_path}`" if results_path else "")
               + ". Energies: lower is better; 65000 marks a run that found no connected "
               "topology.")
    out.append("")
    if use_exact:
        out.append("Gaps are in percent above the reference: the proven optimum (or, where "
                   "the solver stopped early, the best energy known).")
    else:
        out.append("Gaps are in percent above the reference, the best energy known here "
                   "(GA, polished GA, local search); run with `--exact` for the optimum.")
    out.append("")
    out.append(f"Verified: {sum(c.ok for c in checks.values())} of {len(checks)} runs' "
               "topologies score their reported best.")
    for c in bad[:20]:
        out.append(f"- {c.run.where}: {'; '.join(c.problems)}")
    out.append("")
    capped = sum(r["capped_runs"] for r in rows)
    if capped:
        out.append(f"**Capped: {capped} run(s) ended at the engine's energy cap 64999**, so "
                   "their true energy is unknown (higher): no gap is computed from them. "
                   "Use smaller weights (`tools/make_instance.py --side`, `smetp-lab convert "
                   "--scale auto`).")
        out.append("")
    head = ["instance", "parameters", "runs", "feasible", "capped", "GA best", "GA median",
            "GA worst", "polished", "MST", "local search",
            "optimum" if use_exact else "reference", "GA best gap", "GA median gap",
            "polished gap", "MST gap", "LS gap"]
    out.append("| " + " | ".join(head) + " |")
    out.append("|" + "---|" * len(head))
    for r in rows:
        opt = r["optimum"]
        if use_exact and opt is not None and not r["proven"]:
            opt = f"{opt} (bound {r['bound']:g})"
        params = (f"h {r['hardness']}, d {_density(r['density'])}, {r['generations']} gen"
                  + ("" if r.get("settings") in (None, "design") else f", {r['settings']}")
                  if r["runs"] else "no runs")
        cells = [r["instance"], params, r["runs"], r["feasible_runs"], r["capped_runs"],
                 r["ga_best"], r["ga_median"], r["ga_worst"], r["polished_best"],
                 r["mst"], r["local_search"], opt if use_exact else r["reference"]]
        cells += [f"{g:.2f} %" if g is not None else "" for g in
                  (r["gap_ga_best_pct"], r["gap_ga_median_pct"], r["gap_polished_pct"],
                   r["gap_mst_pct"], r["gap_local_search_pct"])]
        out.append("| " + " | ".join(_fmt(c) for c in cells) + " |")
    out.append("")
    if use_exact:
        out.append("## Exact optimum")
        out.append("")
        for path in insts:
            ex = base[path]["exact"]
            out.append(f"- {given[path]}: {'optimum' if ex['proven'] else 'best'} {ex['optimum']}, "
                       f"bound {ex['bound']:g}, gap {100 * ex['gap']:.2f} %, "
                       f"{ex['seconds']:.1f} s ({ex.get('solver', 'MIP')})")
        out.append("")
    if images["convergence"]:
        out.append("## Convergence")
        out.append("")
        out.append("Best energy before each launch against generations: the median over the "
                   "seeds, with the interquartile band.")
        out.append("")
        out.append(f"![convergence]({images['convergence']})")
        out.append("")
        out.append("## Final energies")
        out.append("")
        out.append(f"![final energies]({images['final']})")
        out.append("")
    out.append("## Best topologies")
    out.append("")
    for path, name in images["topology"].items():
        out.append(f"{given[path]}: links in red, each node's power as a circle around it.")
        out.append("")
        out.append(f"![{given[path]}]({name})")
        out.append("")
    out.append("Files: `summary.csv` (the table above, one row per instance and parameter "
               "set), the PNG plots.")
    with open(os.path.join(out_dir, "report.md"), "w") as f:
        f.write("\n".join(out) + "\n")

