"""The report over a results file: report.md, summary.csv and PNG plots."""
from __future__ import annotations

import csv
import io
import math
import os
import re
import statistics
import time

from . import plots
from .energy import check_links, energy
from .bound import certified_gap, known_bound
from .exact import EXACT_MAX_NODES, cached_solve
from .heuristics import local_search, mst
from .instance import LabError, read_instance
from .judge import (DESIGN_SETTINGS, MEMETIC_ONLY, check_run, is_capped,  # noqa: F401
                    is_wide, marks, polish_all, require_history, run_energy, run_links,
                    settings_label)
from .results import InstanceFinder, read_results

GENERATIONS_PER_LAUNCH = 50

COLUMNS = ["instance", "nodes", "hardness", "density", "generations", "settings", "runs",
           "feasible_runs", "capped_runs", "verified_runs", "unverified_runs",
           "ga_best", "ga_median", "ga_worst", "ga_mean", "ga_sd", "ga_q1", "ga_q3",
           "polished_best", "mst", "local_search", "optimum", "bound", "proven", "reference",
           "gap_ga_best_pct", "gap_ga_median_pct", "gap_ga_worst_pct", "gap_ga_mean_pct",
           "gap_ga_sd_pct", "gap_ga_q1_pct", "gap_ga_q3_pct", "gap_polished_pct", "gap_mst_pct",
           "gap_local_search_pct", "target", "target_kind", "hits",
           "seconds_to_target_median", "ert_seconds", "seconds_to_target_bound",
           "seconds_median", "lower_bound", "bound_source", "certified_gap_ga_best_pct",
           "certified_gap_ga_median_pct"]


def gap(value, ref, inst):
    """Percent above the reference; None where either is no true energy (no
    connected topology, or the engine's cap standing in for a higher one) as
    `inst` scores them (an Instance, or a run's judge.Marks)."""
    if value is None or ref in (None, 0):
        return None
    top = inst.infeasible if inst.cap is None else inst.cap
    if value >= top or ref >= top:
        return None
    return round(100.0 * (value - ref) / ref, 2)


def true_energy(value, inst) -> bool:
    """Whether `value` is a topology's energy, not the mark of no connected
    topology nor the engine's cap standing in for a higher energy."""
    top = inst.infeasible if inst.cap is None else inst.cap
    return value is not None and value < top


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


def quartiles(values, inst):
    """First quartile, median and third quartile, interpolated between the
    ordered values as numpy's percentile does by default; where the upper
    neighbour is no true energy (no topology, or the cap) the quantile is
    that mark: a value between an energy and a run without one is unknown."""
    v = sorted(values)
    out = []
    for q in (0.25, 0.5, 0.75):
        pos = q * (len(v) - 1)
        lo = int(pos)
        hi = min(lo + 1, len(v) - 1)
        if pos > lo and not true_energy(v[hi], inst):
            out.append(v[hi])
        else:
            out.append(v[lo] + (v[hi] - v[lo]) * (pos - lo))
    return out


def _num(x):
    """A whole float as an int (5214.0 -> 5214), so that tables show no
    needless decimals; other numbers rounded to 2 places."""
    if isinstance(x, float):
        return int(x) if x.is_integer() else round(x, 2)
    return x


def _seconds(run, key):
    v = run.data.get(key)
    if isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) and v >= 0:
        return float(v)
    return None


def _run_target(run):
    """The target the batch run stopped at (its "target" field or setting),
    or None."""
    sets = run.data.get("settings")
    for v in (run.data.get("target"), sets.get("target") if isinstance(sets, dict) else None):
        if isinstance(v, (int, float)) and not isinstance(v, bool):
            return v
    return None


def time_to_target(run, target):
    """(seconds, exact) for a run whose best is at or below `target`: the
    run's own seconds_to_target where it ran to this very target; otherwise
    its seconds_to_best, an upper bound (the best it ended with, at or below
    the target, was reached then, so the target no later). (None, False)
    where the run gives neither."""
    own = _seconds(run, "seconds_to_target")
    if own is not None and _run_target(run) == target:
        return own, True
    return _seconds(run, "seconds_to_best"), False


def group_stats(runs, inst, reference, target) -> dict:
    """The statistics of one parameter set over its verified runs: order
    statistics of the final best (a run without a true energy ranks above
    all others), mean and standard deviation where every run has a true
    energy, gaps to `reference`, hits of `target` and the time to it."""
    bests = sorted(r.data["best"] for r in runs)
    row = dict.fromkeys(["ga_best", "ga_median", "ga_worst", "ga_mean", "ga_sd", "ga_q1",
                         "ga_q3", "hits", "seconds_to_target_median", "ert_seconds",
                         "seconds_to_target_bound"])
    if not bests:
        return row
    q1, med, q3 = quartiles(bests, inst)
    row.update(ga_best=bests[0], ga_worst=bests[-1], ga_median=_num(med), ga_q1=_num(q1),
               ga_q3=_num(q3))
    if all(true_energy(b, inst) for b in bests):
        row["ga_mean"] = round(statistics.fmean(bests), 2)
        row["ga_sd"] = round(statistics.stdev(bests), 2) if len(bests) > 1 else None
    if target is None:
        return row
    hits, spent, to_target, bound, known = 0, 0.0, [], False, True
    for r in runs:
        if true_energy(r.data["best"], inst) and r.data["best"] <= target:
            hits += 1
            secs, exact = time_to_target(r, target)
            if secs is None:
                known = False
                continue
            bound |= not exact
            to_target.append(secs)
            spent += secs
        else:
            secs = _seconds(r, "seconds")
            if secs is None:
                known = False
            else:
                spent += secs
    row["hits"] = hits
    if to_target and len(to_target) == hits:
        row["seconds_to_target_median"] = round(statistics.median(to_target), 3)
    if known:
        # The expected running time to the target: all the time spent, over
        # the hits (unbounded without one).
        row["ert_seconds"] = round(spent / hits, 3) if hits else math.inf
    row["seconds_to_target_bound"] = bound if hits else None
    return row


def exact_or_skip(inst, time_limit, cache_dir, log):
    """The exact result of `inst` (cached), or None with a note where the
    instance is larger than the exact model takes: the other instances of a
    report or table still get theirs."""
    if inst.n > EXACT_MAX_NODES:
        if log:
            log(f"smetp-lab: note: {inst.path}: {inst.n} nodes, no exact optimum (exact takes "
                f"up to {EXACT_MAX_NODES}); its reference is the best energy known")
        return None
    if log:
        log(f"report: exact optimum of {inst.path}")
    return cached_solve(inst, time_limit, cache_dir, log)


def parse_targets(texts) -> dict:
    """--target E (every instance) or --target INSTANCE=E: {path or None: E}."""
    out = {}
    for text in texts or ():
        name, _, value = text.rpartition("=")
        try:
            e = int(value)
        except ValueError:
            raise LabError("--target", f"{text!r}: give E or INSTANCE=E, E an integer "
                           "energy") from None
        out[name or None] = e
    return out


def _target_for(targets, path, given):
    for key in (given, path, os.path.basename(path)):
        if key in targets:
            return targets[key]
    return targets.get(None)


def build(results_path: str | None, out_dir: str, use_exact: bool = False,
          time_limit: float = 600, cache_dir: str | None = None,
          instances_dir: str | None = None, log=None, instances: list[str] = (),
          targets: dict | None = None) -> list[dict]:
    """The report over the runs of a results file and over `instances`
    without runs (their baselines and exact bound only)."""
    def say(msg):
        if log:
            log(msg)

    targets = targets or {}
    # The output folder is checked before any work, and made only at the end.
    _check_folder(out_dir)
    runs = read_results(results_path) if results_path else []
    if not runs and not instances:
        raise LabError(results_path or "", "no runs")
    finder = InstanceFinder(instances_dir)
    # Instances and parameter sets in the order the results first name them,
    # then the instances given without runs.
    insts = {}
    given = {}  # each instance's path as the results name it
    groups: dict[tuple, list] = {}
    for run in runs:
        inst = finder(run)
        insts.setdefault(inst.path, inst)
        given.setdefault(inst.path, run.data["instance"])
        require_history(run)
        # The batch writes a density of nan as null: a parameter set of its own.
        # A parameter set is the settings, limits and stop rule: the runs with
        # a time limit or a target make as many generations as they happen to,
        # so these are no part of it.
        stops = _stop_rule(run)
        key = (inst.path, None if stops else run.get("generations", int),
               run.get("hardness", int), run.get("density", float, null=True),
               " ".join([settings_label(run)] + stops))
        groups.setdefault(key, []).append(run)
    # Such a set's generation limit, where one of its runs made all of them.
    groups = {(k[:1] + (_limit(rs),) + k[2:] if k[1] is None else k): rs
              for k, rs in groups.items()}
    for path in instances:
        inst = read_instance(path)
        insts.setdefault(inst.path, inst)
        given.setdefault(inst.path, path)

    # Per instance: the baselines and, when asked, the exact optimum.
    base = {}
    names = {}
    for path, inst in insts.items():
        name = _slug(inst.name)
        while name in names.values():
            name += "_"
        names[path] = name
        tree = mst(inst)
        entry = {"mst": None, "ls": None, "ls_links": None, "exact": None, "ls_seconds": None}
        if tree is not None:
            t0 = time.monotonic()
            ls = local_search(inst, tree)
            entry.update(mst=energy(inst, tree), ls=energy(inst, ls), ls_links=ls,
                         ls_seconds=time.monotonic() - t0)
        if use_exact:
            entry["exact"] = exact_or_skip(inst, time_limit, cache_dir, log)
        # The best lower bound cached for it (bound or exact), if any.
        entry["lower"] = known_bound(inst, cache_dir)
        base[path] = entry

    # Per run: the check against its own topology and the polished energy
    # (the run's own "polished" where it has one; each distinct topology
    # searched once, on all processors). A run whose best its topology does
    # not score is left out of every figure, so it is not polished either.
    checks, polished, capped = {}, {}, {}
    todo = []
    for run in runs:
        inst = finder(run)
        checks[id(run)] = check_run(run, inst)
        capped[id(run)] = is_capped(run, inst)
        c = checks[id(run)]
        if not c.ok:
            continue
        value = run.data.get("polished")
        if isinstance(value, int) and not isinstance(value, bool):
            polished[id(run)] = value
            continue
        mark = marks(run, inst).infeasible
        if c.links is None or c.recomputed >= mark:
            polished[id(run)] = mark
        else:
            todo.append((run, inst, c.links))
    say(f"report: {len(runs)} runs checked; polishing {len(todo)}")
    for (run, inst, _), links in zip(todo, polish_all([(i, ls) for _, i, ls in todo], say)):
        polished[id(run)] = run_energy(run, inst, links)
    _make_folder(out_dir)

    verified = {key: [r for r in rs if checks[id(r)].ok] for key, rs in groups.items()}
    # One reference per instance, so that the gaps of all its parameter sets
    # compare: the proven optimum, else the least energy known (local
    # search, the verified runs, their polished forms, the solver's best).
    refs, goals = {}, {}
    for path, inst in insts.items():
        b, ex = base[path], base[path]["exact"]
        vs = [r for k, rs in verified.items() if k[0] == path for r in rs]
        # Each value judged by its own scoring: a wide run's are exact, the
        # design's capped.
        known = [(b["ls"], inst), (ex["optimum"] if ex else None, inst)]
        known += [(v, marks(r, inst)) for r in vs for v in (r.data["best"], polished[id(r)])]
        known = [v for v, m in known if true_energy(v, m)]
        refs[path] = ex["optimum"] if ex and ex["proven"] else min(known, default=None)
        own = _target_for(targets, path, given[path])
        if own is not None:
            goals[path] = (own, "target")
        elif refs[path] is not None:
            goals[path] = (refs[path], "optimum" if ex and ex["proven"] else "best known")
        else:
            goals[path] = (None, None)

    rows = []
    for path in insts:
        keys = [k for k in groups if k[0] == path]
        inst, b = insts[path], base[path]
        ex = b["exact"]
        reference = refs[path]
        target, kind = goals[path]
        common = dict(instance=given[path], nodes=inst.n, mst=b["mst"], local_search=b["ls"],
                      optimum=ex["optimum"] if ex else None, bound=ex["bound"] if ex else None,
                      proven=ex["proven"] if ex else None, reference=reference,
                      target=target, target_kind=kind,
                      lower_bound=b["lower"]["bound"] if b["lower"] else None,
                      bound_source=b["lower"]["source"] if b["lower"] else None)
        if not keys:
            # An instance without runs: its baselines against the exact result.
            row = dict.fromkeys(COLUMNS)
            row.update(common, runs=0, feasible_runs=0, capped_runs=0, verified_runs=0,
                       unverified_runs=0, target=None, target_kind=None)
            row["gap_mst_pct"] = gap(b["mst"], reference, inst)
            row["gap_local_search_pct"] = gap(b["ls"], reference, inst)
            rows.append(row)
            continue
        for key in keys:
            _, gens, hard, dens, sets = key
            rs, vs = groups[key], verified[key]
            # The runs of a parameter set are all wide or all the design's.
            scored = marks(rs[0], inst)
            row = dict(common, hardness=hard, density=dens, generations=gens, settings=sets,
                       runs=len(rs), verified_runs=len(vs), unverified_runs=len(rs) - len(vs),
                       feasible_runs=sum(r.data["best"] < scored.infeasible for r in vs),
                       capped_runs=sum(capped[id(r)] for r in vs),
                       polished_best=min((polished[id(r)] for r in vs), default=None),
                       seconds_median=_median_of(vs, "seconds"))
            row.update(group_stats(vs, scored, reference, target))
            for col, val in (("gap_ga_best_pct", row["ga_best"]),
                             ("gap_ga_median_pct", row["ga_median"]),
                             ("gap_ga_worst_pct", row["ga_worst"]),
                             ("gap_ga_mean_pct", row["ga_mean"]),
                             ("gap_ga_q1_pct", row["ga_q1"]), ("gap_ga_q3_pct", row["ga_q3"]),
                             ("gap_polished_pct", row["polished_best"])):
                row[col] = gap(val, reference, scored)
            for col, val in (("gap_mst_pct", b["mst"]), ("gap_local_search_pct", b["ls"])):
                row[col] = gap(val, reference, inst)
            for col, val in (("certified_gap_ga_best_pct", row["ga_best"]),
                             ("certified_gap_ga_median_pct", row["ga_median"])):
                row[col] = (round(100.0 * certified_gap(val, row["lower_bound"]), 2)
                            if row["lower_bound"] is not None and true_energy(val, inst)
                            else None)
            row["gap_ga_sd_pct"] = (round(100.0 * row["ga_sd"] / reference, 2)
                                    if row["ga_sd"] is not None and reference else None)
            rows.append(row)

    with open(os.path.join(out_dir, "summary.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, COLUMNS)
        w.writeheader()
        for row in rows:
            w.writerow({k: _fmt(row[k]) for k in COLUMNS})

    say("report: plots")
    images = _plots(out_dir, insts, groups, verified, base, names, given, refs, goals)
    _markdown(out_dir, results_path, rows, images, base, insts, use_exact, checks, given)
    return rows


TABLE_COLUMNS = ["index", "instance", "nodes", "edges", "seed", "generations", "hardness",
                 "density", "launches", "best", "feasible", "capped", "verified", "recomputed",
                 "topology_links", "launch_of_best", "seconds_to_best", "seconds", "end_mutation",
                 "backend", "settings", "polished", "stop", "seconds_to_target", "reference",
                 "gap"]


def table(results_path: str, out_path: str, instances_dir: str | None = None,
          use_exact: bool = False, time_limit: float = 600,
          cache_dir: str | None = None, log=None) -> int:
    """One CSV row per run (TABLE_COLUMNS; fields a run lacks are empty, and
    fields not named here are left out): the run's own fields, whether it
    is capped, its topology recomputed against the instance, and its gap in
    percent above the instance's reference (the proven optimum with
    use_exact, else the least energy of the local search from the minimum
    spanning tree and of the file's verified runs; no gap for an unverified
    run)."""
    from .results import write_files

    runs = read_results(results_path)
    finder = InstanceFinder(instances_dir)
    checked = [(run, finder(run)) for run in runs]
    checked = [(run, inst, check_run(run, inst)) for run, inst in checked]
    known = {}  # path -> (instance, proven, candidate energies)
    for run, inst, c in checked:
        if inst.path not in known:
            ex = exact_or_skip(inst, time_limit, cache_dir, log) if use_exact else None
            tree = mst(inst)
            vals = [(ex["optimum"], inst)] if ex else []
            if tree is not None and not (ex and ex["proven"]):
                vals.append((energy(inst, local_search(inst, tree)), inst))
            known[inst.path] = (inst, bool(ex and ex["proven"]), vals)
        _, proven, vals = known[inst.path]
        if c.ok and not proven:
            vals.append((c.best, marks(run, inst)))
    ref = {path: min((v for v, m in vals if true_energy(v, m)), default=None)
           for path, (inst, _, vals) in known.items()}
    buf = io.StringIO()
    w = csv.DictWriter(buf, TABLE_COLUMNS, extrasaction="ignore", lineterminator="\n")
    w.writeheader()
    for run, inst, c in checked:
        row = {k: run.data.get(k) for k in TABLE_COLUMNS}
        topo = run.data.get("topology")
        row.update(settings=settings_label(run), capped=is_capped(run, inst), verified=c.ok,
                   recomputed=c.recomputed, reference=ref[inst.path],
                   gap=gap(c.best, ref[inst.path], marks(run, inst)) if c.ok else None,
                   topology_links=len(topo) if isinstance(topo, list) else None)
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


def _check_folder(path: str):
    """Fails with one line, before any work, when `path` cannot become the
    report's folder: it is a file, or it (or the nearest folder above it
    that exists) does not take new files."""
    if os.path.exists(path):
        if not os.path.isdir(path):
            raise LabError(path, "exists and is not a folder")
        if not os.access(path, os.W_OK | os.X_OK):
            raise LabError(path, "the folder is not writable")
        return
    above = os.path.dirname(os.path.abspath(path))
    while not os.path.exists(above):
        above = os.path.dirname(above)
    if not os.path.isdir(above):
        raise LabError(path, f"{above} is not a folder")
    if not os.access(above, os.W_OK | os.X_OK):
        raise LabError(path, f"the folder {above} is not writable")


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


def _stop_rule(run) -> list[str]:
    """The run's time limit and target as name=value words (none for a run
    that makes its generations)."""
    words = []
    for name in ("time_limit", "target"):
        v = run.data.get(name)
        if isinstance(v, (int, float)) and not isinstance(v, bool):
            words.append(f"{name}={v:g}")
    return words


def _limit(runs):
    """The generations of the runs that ended by making them all (None when
    every run ended by its time limit or target)."""
    made = [r.data.get("generations") for r in runs if r.data.get("stop") == "generations"]
    return max((g for g in made if isinstance(g, int)), default=None)


def _generations(gens) -> str:
    return "gen to the stop rule" if gens is None else f"{gens} gen"


def _parameters(key) -> list[str]:
    _, gens, hard, dens, sets = key
    return [f"h {hard}", f"d {_density(dens)}", _generations(gens), sets]


def _labels(keys) -> tuple[str, list[str]]:
    """The parameters all `keys` share (for a title) and, per key, those that
    differ with its GA settings always named ("design" for the design's)."""
    params = [_parameters(k) for k in keys]
    shared = [i for i in range(3) if len({p[i] for p in params}) == 1]
    common = ", ".join(params[0][i] for i in shared) if params else ""
    labels = [", ".join([p[i] for i in range(3) if i not in shared] + [p[3]]) for p in params]
    return common, labels


def _ceiling(scored) -> int:
    """The least value that is no true energy as `scored` (an Instance or a
    run's Marks) scores topologies: the cap, else the mark of no topology."""
    return scored.infeasible if scored.cap is None else scored.cap


def _plots(out_dir, insts, groups, verified, base, names, given, refs, goals) -> dict:
    """The plots, panels and series in the report's order; verified runs
    only."""
    images = {"convergence": "convergence.png", "final": "final_energies.png",
              "ttt": "time_to_target.png", "topology": {}}
    conv, final, ttt = [], [], []
    for path, inst in insts.items():
        keys = [k for k in groups if k[0] == path]
        b, ex = base[path], base[path]["exact"]
        # Percent above a reference of 0 has no meaning: energies then.
        ref = refs[path] or None
        target, kind = goals[path]
        common, labels = _labels(keys)
        title = f"{given[path]} ({inst.n} nodes)" + (f": {common}" if common else "")
        lines = {"MST": b["mst"], "local search": b["ls"]}
        if ex:
            # An unproven solve is the solver's best, not the reference
            # ("best known"), which may be lower.
            lines["optimum" if ex["proven"] else "exact's best"] = ex["optimum"]
        if kind == "target":
            lines["target"] = target
        ceiling = _ceiling(inst)
        drawn = [(k, label) for k, label in zip(keys, labels) if verified[k]]
        if drawn:
            series = []
            for k, label in drawn:
                hists = [list(r.data["history"]) for r in verified[k]]
                width = max(len(h) for h in hists)
                hists = [h + [h[-1]] * (width - len(h)) for h in hists]
                # A wide run's values are no energies from its own mark up
                # (its start, before a connected topology, among them).
                series.append({"label": label, "histories": hists,
                               "step": GENERATIONS_PER_LAUNCH,
                               "ceiling": _ceiling(marks(verified[k][0], inst))})
            conv.append({"title": title, "series": series, "lines": lines,
                         "ceiling": ceiling, "reference": ref})
            final.append({"title": title,
                          "groups": [(label, [r.data["best"] for r in verified[k]])
                                     for k, label in drawn],
                          "ceilings": [s["ceiling"] for s in series],
                          "lines": lines, "ceiling": ceiling, "reference": ref})
        if drawn and target is not None:
            tseries = []
            for k, label in drawn:
                secs, bound = [], False
                for r in verified[k]:
                    if true_energy(r.data["best"], marks(r, inst)) and r.data["best"] <= target:
                        t, exact = time_to_target(r, target)
                        if t is not None:
                            secs.append(t)
                            bound |= not exact
                tseries.append({"label": label, "runs": len(verified[k]), "seconds": secs,
                                "bound": bound})
            others = {}
            if true_energy(b["ls"], inst) and b["ls"] <= target:
                others["local search from the MST"] = b["ls_seconds"]
            if ex and true_energy(ex["optimum"], inst) and ex["optimum"] <= target:
                others["exact (proven)" if ex["proven"] else "exact"] = ex["seconds"]
            what = {"target": "target", "optimum": "the optimum",
                    "best known": "the best known"}[kind]
            ttt.append({"title": f"{title}\n{what} {target:g}", "series": tseries,
                        "marks": others})
        # The best verified run of the instance, its polished form and the optimum.
        best_key, best_run = min(((k, r) for k in keys for r in verified[k]),
                                 key=lambda kr: (kr[1].data["best"], kr[1].data["index"]),
                                 default=(None, None))
        drawings = []
        links = run_links(best_run, inst) if best_run else None
        if links is not None and best_run.data["best"] < marks(best_run, inst).infeasible:
            drawings.append((f"GA best {best_run.data['best']} (run {best_run.data['index']}, "
                             f"seed {best_run.data.get('seed')})", links))
            ptopo = best_run.data.get("polished_topology")
            plinks = (check_links(inst, ptopo, best_run.where) if ptopo
                      else local_search(inst, links))
            drawings.append((f"polished {run_energy(best_run, inst, plinks)}", plinks))
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
                                 "the best run has " + ", ".join(_parameters(best_key))
                                 if best_key else "no runs; the baseline and the exact result"))
            images["topology"][path] = name
    if conv:
        plots.convergence(conv, os.path.join(out_dir, images["convergence"]))
        plots.final_energies(final, os.path.join(out_dir, images["final"]))
    else:
        images["convergence"] = images["final"] = None
    if ttt:
        plots.time_to_target(ttt, os.path.join(out_dir, images["ttt"]))
    else:
        images["ttt"] = None
    images["ecdf"] = _ecdf_plot(out_dir, insts, groups, verified, refs, goals)
    return images


GAP_TARGETS = (10.0, 5.0, 2.0, 1.0, 0.5, 0.0)


def _ecdf_plot(out_dir, insts, groups, verified, refs, goals) -> str | None:
    """The ECDF of (run, gap target) pairs reached over time per setting,
    over all instances, and the settings' performance profile (time to each
    instance's target); None without a reference."""
    from .ioh import improvements

    ecdf, ttt = {}, {}  # setting -> data
    for key, runs in verified.items():
        path, label = key[0], key[4]
        ref = refs[path]
        target = goals[path][0]
        if not ref or not runs:
            continue
        e = ecdf.setdefault(label, {"label": label, "times": [], "pairs": 0})
        secs = []
        for r in runs:
            rows = improvements(r, marks(r, insts[path]).infeasible)
            e["pairs"] += len(GAP_TARGETS)
            for g in GAP_TARGETS:
                hit = next((s for _, y, s in rows if y <= ref * (1 + g / 100.0)), None)
                if hit is not None:
                    e["times"].append(hit)
            if target is not None:
                secs.append(next((s for _, y, s in rows if y <= target), math.inf))
        if secs:
            ttt.setdefault(path, {})[label] = statistics.median(secs)
    if not ecdf:
        return None
    profiles = None
    labels = list(ecdf)
    if len(labels) > 1:
        ratios = {lb: [] for lb in labels}
        for per in ttt.values():
            fastest = min(per.values())
            for lb in labels:
                t = per.get(lb, math.inf)
                ratios[lb].append(t / fastest if math.isfinite(fastest) and fastest > 0
                                  else (1.0 if t == fastest else math.inf))
        finite = [r for rs in ratios.values() for r in rs if math.isfinite(r)]
        profiles = {"tau_max": max(2.0, 1.5 * max(finite, default=2.0)),
                    "series": [{"label": lb, "ratios": ratios[lb]} for lb in labels]}
    name = "ecdf.png"
    plots.ecdf_and_profiles({"targets": GAP_TARGETS, "series": list(ecdf.values())},
                            profiles, os.path.join(out_dir, name))
    return name


def _pct(g):
    return "" if g is None else f"{g:.2f} %"


def _spread(mean, sd, pct=False):
    if mean is None:
        return ""
    if pct:
        return f"{mean:.2f} ± {sd:.2f} %" if sd is not None else f"{mean:.2f} %"
    return f"{mean:g} ± {sd:g}" if sd is not None else f"{mean:g}"


def _iqr(med, q1, q3, pct=False):
    """The median and the interquartile range; a gap quartile that is no
    true energy (no topology, or the cap) shows as "–"."""
    if med is None:
        return ""
    if pct:
        q1, q3 = ("–" if q is None else f"{q:.2f}" for q in (q1, q3))
        return f"{med:.2f} % ({q1} to {q3})"
    return f"{_fmt(med)} ({_fmt(q1)} to {_fmt(q3)})"


def _secs(v, bound):
    if v is None:
        return ""
    if v == math.inf:
        return "∞"
    return ("≤ " if bound else "") + f"{v:.3g} s"


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
        out.append("Gaps are in percent above the reference of each instance: the proven "
                   "optimum (or, where the solver stopped early, the best energy known).")
    else:
        out.append("Gaps are in percent above the reference of each instance, the best "
                   "energy known here (GA, polished GA, local search); run with `--exact` "
                   "for the optimum.")
    out.append("")
    out.append(f"Verified: {sum(c.ok for c in checks.values())} of {len(checks)} runs' "
               "topologies score their reported best.")
    for c in bad[:20]:
        out.append(f"- {c.run.where}: {'; '.join(c.problems)}")
    if bad:
        out.append("")
        out.append(f"**{len(bad)} unverified run(s) are left out of every figure below** "
                   "(statistics, reference, plots); `runs` counts them, the rest counts "
                   "the verified runs only.")
    out.append("")
    capped = sum(r["capped_runs"] for r in rows)
    if capped:
        out.append(f"**Capped: {capped} run(s) ended at the engine's energy cap 64999**, so "
                   "their true energy is unknown (higher): no gap is computed from them. "
                   "Use smaller weights (`tools/make_instance.py --side`, `smetp-lab convert "
                   "--scale auto`).")
        out.append("")
    out.append("## Final energies")
    out.append("")
    out.append("Per instance and parameter set, over the verified runs: the final best "
               "energy's best, mean ± standard deviation (only where every run found a "
               "true energy), median with the interquartile range, worst; the best of the "
               "runs' topologies polished by local search; the baselines.")
    out.append("")
    head = ["instance", "parameters", "runs", "feasible", "capped", "GA best", "GA mean ± sd",
            "GA median (IQR)", "GA worst", "polished", "MST", "local search",
            "optimum" if use_exact else "reference"]
    out.append("| " + " | ".join(head) + " |")
    out.append("|" + "---|" * len(head))
    for r in rows:
        opt = r["optimum"]
        if use_exact and opt is not None and not r["proven"]:
            opt = f"{opt} (bound {r['bound']:g})"
        runs = r["runs"]
        if r.get("unverified_runs"):
            runs = f"{runs} ({r['unverified_runs']} unverified)"
        cells = [r["instance"], _params(r), runs, r["feasible_runs"], r["capped_runs"],
                 r["ga_best"], _spread(r["ga_mean"], r["ga_sd"]),
                 _iqr(r["ga_median"], r["ga_q1"], r["ga_q3"]), r["ga_worst"],
                 r["polished_best"], r["mst"], r["local_search"],
                 opt if use_exact else r["reference"]]
        out.append("| " + " | ".join(_fmt(c) for c in cells) + " |")
    out.append("")
    out.append("## Gaps and time to target")
    out.append("")
    out.append("Gaps in percent above the reference. Hits: verified runs whose best is at "
               "or below the target (the optimum, `--target E`, or else the best energy "
               "known), as k of n. Time to target: the median over the hits; ERT, the "
               "expected running time to the target, is all the seconds the runs spent "
               "(the whole run for a miss, the time to target for a hit) over the hits. "
               "A run that ran to this very target gives its `seconds_to_target`; for "
               "others the time it reached its final best serves, an upper bound (marked "
               "≤).")
    out.append("")
    head = ["instance", "parameters", "target", "hits", "GA best gap", "GA mean ± sd gap",
            "GA median gap (IQR)", "GA worst gap", "polished gap", "MST gap", "LS gap",
            "median time to target", "ERT"]
    out.append("| " + " | ".join(head) + " |")
    out.append("|" + "---|" * len(head))
    for r in rows:
        target = "" if r["target"] is None else f"{r['target_kind']} {r['target']}"
        hits = "" if r["hits"] is None else f"{r['hits']} of {r['verified_runs']}"
        bound = bool(r.get("seconds_to_target_bound"))
        cells = [r["instance"], _params(r), target, hits, _pct(r["gap_ga_best_pct"]),
                 _spread(r["gap_ga_mean_pct"], r["gap_ga_sd_pct"], True),
                 _iqr(r["gap_ga_median_pct"], r["gap_ga_q1_pct"], r["gap_ga_q3_pct"], True),
                 _pct(r["gap_ga_worst_pct"]), _pct(r["gap_polished_pct"]),
                 _pct(r["gap_mst_pct"]), _pct(r["gap_local_search_pct"]),
                 _secs(r["seconds_to_target_median"], bound),
                 _secs(r["ert_seconds"], bound)]
        out.append("| " + " | ".join(_fmt(c) for c in cells) + " |")
    out.append("")
    certified = [r for r in rows if r["runs"] and r.get("lower_bound") is not None]
    if certified:
        out.append("## Certified gaps")
        out.append("")
        out.append("How far above the optimum the runs are at most: (energy - bound) / energy, "
                   "the bound a valid lower bound on every topology's energy, cached by "
                   "`smetp-lab bound` or `smetp-lab exact`.")
        out.append("")
        head = ["instance", "parameters", "lower bound", "GA best", "certified gap",
                "GA median", "certified gap"]
        out.append("| " + " | ".join(head) + " |")
        out.append("|" + "---|" * len(head))
        for r in certified:
            cells = [r["instance"], _params(r), f"{r['lower_bound']} ({r['bound_source']})",
                     r["ga_best"], _pct(r["certified_gap_ga_best_pct"]), r["ga_median"],
                     _pct(r["certified_gap_ga_median_pct"])]
            out.append("| " + " | ".join(_fmt(c) for c in cells) + " |")
        out.append("")
    if use_exact:
        out.append("## Exact optimum")
        out.append("")
        for path in insts:
            ex = base[path]["exact"]
            if ex is None:
                out.append(f"- {given[path]}: skipped, {insts[path].n} nodes (exact takes up to "
                           f"{EXACT_MAX_NODES}); its reference is the best energy known")
                continue
            out.append(f"- {given[path]}: {'optimum' if ex['proven'] else 'best'} {ex['optimum']}, "
                       f"bound {ex['bound']:g}, gap {100 * ex['gap']:.2f} %, "
                       f"{ex['seconds']:.1f} s ({ex.get('solver', 'MIP')})")
        out.append("")
    if images["convergence"]:
        out.append("## Convergence")
        out.append("")
        out.append("Best energy before each launch against generations, in percent above the "
                   "reference: the median over the seeds, with the interquartile band.")
        out.append("")
        out.append(f"![convergence]({images['convergence']})")
        out.append("")
        out.append("## Final energies per run")
        out.append("")
        out.append(f"![final energies]({images['final']})")
        out.append("")
    if images.get("ttt"):
        out.append("## Time to target")
        out.append("")
        out.append("The fraction of runs at or below the target against seconds, one curve "
                   "per parameter set; the local search from the MST and the exact solver "
                   "as marks where they reach the target.")
        out.append("")
        out.append(f"![time to target]({images['ttt']})")
        out.append("")
    if images.get("ecdf"):
        out.append("## ECDF and performance profile")
        out.append("")
        out.append("Left: for each setting over all instances, the fraction of (run, gap "
                   "target) pairs reached against seconds, for gaps of "
                   + ", ".join(f"{g:g}" for g in GAP_TARGETS) + " % above each instance's "
                   "reference (a run's time at a launch is its seconds spread evenly over its "
                   "launches). Right, with several settings: the performance profile, the "
                   "fraction of instances on which a setting's median time to the "
                   "instance's target is within a factor tau of the fastest setting's.")
        out.append("")
        out.append(f"![ECDF]({images['ecdf']})")
        out.append("")
    out.append("## Best topologies")
    out.append("")
    for path, name in images["topology"].items():
        out.append(f"{given[path]}: links in red, each node's power as a circle around it.")
        out.append("")
        out.append(f"![{given[path]}]({name})")
        out.append("")
    out.append("Files: `summary.csv` (the tables above and more columns, one row per "
               "instance and parameter set), the PNG plots.")
    with open(os.path.join(out_dir, "report.md"), "w") as f:
        f.write("\n".join(out) + "\n")


def _params(r) -> str:
    if not r["runs"]:
        return "no runs"
    return (f"h {r['hardness']}, d {_density(r['density'])}, {_generations(r['generations'])}"
            + ("" if r.get("settings") in (None, "design") else f", {r['settings']}"))
