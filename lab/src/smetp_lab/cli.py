"""smetp-lab: judges smetp results (verify, baselines, exact optimum,
reports with plots, merging of shards)."""
from __future__ import annotations

import argparse
import json
import os
import re
import resource  # loaded now: after a failure to load, it might not
import sys

# One BLAS thread: smetp-lab does little dense algebra, and under a small
# address space (ulimit -v) the threads' start in OpenBLAS can hang while
# numpy or scipy loads. Set before either is imported; the caller's setting
# stands.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

# Only what needs no numpy at the top: a failure to load the libraries (a
# small ulimit -v) is then reported by main() in one line.
from . import __version__
from .errors import LabError


def _log(msg: str):
    print(msg, file=sys.stderr, flush=True)


def _read(path: str):
    """Reads an instance, saying on standard error when it is not design-sized
    (it is judged all the same, with true, uncapped energies)."""
    from .instance import read_instance

    inst = read_instance(path)
    if not inst.engine_ok:
        _log(f"smetp-lab: note: {path}: {inst.size_note}")
    return inst


def cmd_verify(a) -> int:
    from .energy import components, energy, read_topology_file
    from .judge import check_run, describe, is_capped
    from .results import InstanceFinder, read_results

    if a.topology is not None:
        inst = _read(a.first)
        links = read_topology_file(a.topology, inst)
        e = energy(inst, links)
        if e >= inst.infeasible:
            pieces = int(components(inst.n, links).max()) + 1
            print(f"{a.topology}: {inst.infeasible} (does not connect all {inst.n} nodes: "
                  f"{pieces} pieces)")
        else:
            print(f"{a.topology}: {e} (connects all {inst.n} nodes with {len(links)} links)")
        return 0
    finder = InstanceFinder(a.instances_dir)
    bad = 0
    for run in read_results(a.first):
        inst = finder(run)
        c = check_run(run, inst)
        if c.ok:
            note = " (capped: the engine's cap, the true energy is higher)" \
                if is_capped(run, inst) else _certified(run, inst, a.cache_dir)
            print(f"{describe(run)}: best {c.best}, recomputed {c.recomputed}: ok{note}")
        else:
            bad += 1
            print(f"{describe(run)}: MISMATCH: {'; '.join(c.problems)} ({run.where})")
    if bad:
        _log(f"smetp-lab: {bad} run(s) do not match")
    return 1 if bad else 0


def _certified(run, inst, cache_dir) -> str:
    """", certified gap ..." for a run with a true energy and a cached bound."""
    from .bound import certified_gap, known_bound
    from .judge import marks

    best = run.data["best"]
    known = known_bound(inst, cache_dir) if best < marks(run, inst).infeasible else None
    if known is None:
        return ""
    return (f", certified gap {100 * certified_gap(best, known['bound']):.2f} % (bound "
            f"{known['bound']}, {known['source']})")


def cmd_baseline(a) -> int:
    from .energy import energy, to_pairs
    from .heuristics import local_search, mst

    inst = _read(a.instance)
    tree = mst(inst)
    if tree is None:
        out = {"mst": None, "local_search": None}
    else:
        ls = local_search(inst, tree)
        out = {}
        for key, links in (("mst", tree), ("local_search", ls)):
            e, true = energy(inst, links), energy(inst, links, capped=False)
            out[key] = {"energy": e, "capped": e != true, "true_energy": true,
                        "topology": to_pairs(links)}
    if a.json:
        print(json.dumps(out))
    elif tree is None:
        print(f"{a.instance}: the edges do not connect all nodes; no spanning tree "
              f"({inst.infeasible})")
    else:
        for key, label in (("mst", "minimum spanning tree"), ("local_search", "local search")):
            links = " ".join(f"{u}-{v}" for u, v in out[key]["topology"])
            note = (f" (capped: the engine's cap; the true energy is {out[key]['true_energy']})"
                    if out[key]["capped"] else "")
            print(f"{label}: {out[key]['energy']}{note}\n  links: {links}")
    return 0


def cmd_ils(a) -> int:
    import math
    import time

    from .energy import check_links, energy, is_connected, to_pairs
    from .heuristics import iterated_local_search, mst

    if not (a.time_limit >= 0 and math.isfinite(a.time_limit)):
        raise LabError("", f"ils: --time-limit {a.time_limit:g}: seconds, 0 or more")
    if a.seed < 0:
        raise LabError("", f"ils: --seed {a.seed}: 0 or more")
    t0 = time.monotonic()
    inst = _read(a.instance)
    tree = mst(inst)
    out = {"instance": a.instance, "nodes": inst.n, "edges": len(inst.edges), "seed": a.seed,
           "time_limit": a.time_limit}
    if tree is None:
        out.update(energy=inst.infeasible, capped=False, true_energy=inst.infeasible,
                   topology=None, verified=True)
    else:
        # The search kicks and searches again until the limit, counted from
        # the start of the command; a search under way is finished.
        left = max(0.0, a.time_limit - (time.monotonic() - t0))
        trace = []
        links = iterated_local_search(inst, tree, left, seed=a.seed, trace=trace)
        e = energy(inst, links)
        # Verified as any result: the written pairs read back against the
        # instance, connected, and scored again.
        topology = to_pairs(links)
        back = check_links(inst, topology, "ils")
        if not is_connected(inst.n, back) or energy(inst, back) != e:
            raise LabError(a.instance, "ils: the topology found does not verify")
        true = energy(inst, back, capped=False)
        out.update(energy=e, capped=e != true, true_energy=true, topology=topology,
                   verified=True)
    out["seconds"] = round(time.monotonic() - t0, 3)
    if a.results:
        _write_ils_result(a, inst, out, trace if tree is not None else [])
    if a.json:
        print(json.dumps(out))
        return 0
    print(f"instance: {a.instance} ({inst.n} nodes, {len(inst.edges)} edges)")
    if out["topology"] is None:
        print(f"energy: {inst.infeasible} (the edges do not connect all nodes)")
    else:
        note = (f" (capped: the engine's cap; the true energy is {out['true_energy']})"
                if out["capped"] else "")
        print(f"energy: {out['energy']}{note}")
    print(f"time: {out['seconds']:.2f} s (limit {a.time_limit:g} s, seed {a.seed})")
    if out["topology"] is not None:
        print(f"verified: connects all {inst.n} nodes with {len(out['topology'])} links")
        print(f"topology: {json.dumps(out['topology'])}")
    return 0


def _write_ils_result(a, inst, out: dict, trace: list):
    """The search as one line of a results file (smetp-batch's fields, its
    settings "solver": "ils", each improvement's time and searches kept), so
    that report and export compare it with GA runs."""
    from .results import check_outputs, write_results

    check_outputs([("--results", a.results)], [a.instance])
    best = out["energy"]
    line = {"index": a.index, "instance": a.instance, "nodes": inst.n,
            "edges": len(inst.edges), "seed": a.seed, "best": best,
            "feasible": best < inst.infeasible,
            "history": [inst.infeasible] + [int(min(e, inst.cap or e)) for _, e, _ in trace],
            "history_seconds": [0.0] + [round(s, 6) for s, _, _ in trace],
            "history_evaluations": [0] + [k for _, _, k in trace],
            "seconds_to_best": round(trace[-1][0], 6) if trace else None,
            "seconds": out["seconds"], "settings": {"solver": "ils"},
            "time_limit": a.time_limit, "topology": out["topology"]}
    write_results(a.results, [line])


def cmd_polish(a) -> int:
    from .judge import polish_runs
    from .results import InstanceFinder, check_outputs, read_results, write_results

    check_outputs([("-o", a.output)], [a.results])
    finder = InstanceFinder(a.instances_dir)
    runs = read_results(a.results)
    write_results(a.output, polish_runs(runs, [finder(r) for r in runs], _log))
    return 0


def _fresh_or_cached(a, inst, compute, cached, key: str) -> dict | None:
    """compute's result, or without --no-cache, cached's (per instance
    content, in --cache-dir). Prints it whole with --json, else the
    instance line and, when the edges connect no topology, `key`'s line;
    returns the result only when more remains to print."""
    log = None if a.quiet else _log
    if a.no_cache:
        r = compute(inst, a.time_limit, log)
        r["cached"] = False
    else:
        r = cached(inst, a.time_limit, a.cache_dir, log)
    if a.json:
        print(json.dumps(r))
        return None
    print(f"instance: {a.instance} ({inst.n} nodes, {len(inst.edges)} edges)")
    if r[key] >= inst.infeasible:
        print(f"{key}: {inst.infeasible} (the edges do not connect all nodes)")
        return None
    return r


def cmd_exact(a) -> int:
    from .exact import cached_solve, solve

    inst = _read(a.instance)
    r = _fresh_or_cached(a, inst, solve, cached_solve, "optimum")
    if r is None:
        return 0
    if r.get("capped"):
        # The engine scores every topology here at its cap: the cap is what
        # runs are compared with, the true values are what the instance has.
        print(f"{'optimum' if r['proven'] else 'best found'}: {r['optimum']} (capped: the "
              f"engine's cap; the true {'optimum' if r['proven'] else 'best'} is "
              f"{r['true_optimum']})")
        print(f"bound: {r['true_bound']:g} (true energies)")
    else:
        print(f"{'optimum' if r['proven'] else 'best found'}: {r['optimum']}")
        print(f"bound: {r['bound']:g}")
    print(f"gap: {100 * r['gap']:.2f} %")
    print(f"proven: {'yes' if r['proven'] else 'no'}")
    print(f"time: {r['seconds']:.2f} s{' (from the cache)' if r.get('cached') else ''}")
    print(f"topology: {json.dumps(r['topology'])}")
    return 0


def cmd_bound(a) -> int:
    import math

    from .bound import cached_bound, lower_bound

    if not (a.time_limit > 0 and math.isfinite(a.time_limit)):
        raise LabError("", f"bound: --time-limit {a.time_limit:g}: seconds, more than 0")
    inst = _read(a.instance)
    r = _fresh_or_cached(a, inst, lower_bound, cached_bound, "bound")
    if r is None:
        return 0
    print(f"bound: {r['bound']} (true energies, valid for every topology)")
    print(f"how: {r['method']}")
    print(f"best found: {r['best']} (local search, or branch and bound where it ran)")
    print(f"gap: {100 * r['gap']:.2f} % (the best found is at most this far above the optimum)")
    print(f"complete: {'yes' if r['complete'] else 'no (time limit)'}")
    print(f"time: {r['seconds']:.2f} s{' (from the cache)' if r.get('cached') else ''}")
    return 0


def cmd_export(a) -> int:
    from .ioh import export
    from .judge import check_run, run_links
    from .results import InstanceFinder, check_outputs, read_results

    if (a.ioh is None) == (a.format is None):
        raise LabError("", "export: give --ioh DIR or --format FORMAT (one of them)")
    if a.format is not None and a.output != "-":
        check_outputs([("-o", a.output)], [a.results])
    finder = InstanceFinder(a.instances_dir)
    runs = read_results(a.results)
    if a.index is not None:
        runs = [r for r in runs if r.data.get("index") == a.index]
        if not runs:
            raise LabError(a.results, f"no run with index {a.index}")
    insts = [finder(r) for r in runs]
    # Only runs whose topology scores their best: what is exported is judged.
    bad = [r.where for r, i in zip(runs, insts) if not check_run(r, i).ok]
    if bad:
        raise LabError(bad[0], f"{len(bad)} run(s) do not verify (smetp-lab verify says "
                       "why); nothing exported")
    if a.format is not None:
        return _export_topologies(a, runs, insts, run_links)
    r = export(runs, insts, a.ioh)
    print(f"{a.ioh}: {r['runs']} runs, {r['functions']} function(s), {r['algorithms']} "
          f"algorithm folder(s), {r['files']} files (IOHprofiler format)")
    return 0


def _export_topologies(a, runs, insts, run_links) -> int:
    from .results import write_files
    from .topology_files import topology_text

    items = []
    for run, inst in zip(runs, insts):
        links = run_links(run, inst)
        if links is None:
            _log(f"smetp-lab: note: {run.where}: the run has no topology; left out")
            continue
        items.append((run.data["index"], inst, links))
    if not items:
        raise LabError(a.results, "no run with a topology; nothing exported")
    text = topology_text(a.format, items, a.results)
    if a.output == "-":
        sys.stdout.write(text)
    else:
        write_files([(a.output, text)])
        print(f"{a.output}: {len(items)} topolog{'y' if len(items) == 1 else 'ies'} ({a.format})")
    return 0


def cmd_suite(a) -> int:
    import tempfile

    from . import suite

    path = suite.manifest_path(a.suite)
    manifest = suite.read_manifest(path)
    entries = manifest["instances"]
    if a.names:
        entries = suite.find(manifest, a.names)
    elif a.action == "check" and not a.all:
        raise LabError("", "suite check: name the rows (NAME ...) or give --all")
    entries = [e for e in entries if e["nodes"] <= a.max_nodes]
    if a.action == "table":
        print(suite.table({"instances": entries}), end="")
        return 0
    if a.action == "write":
        if not a.dir:
            raise LabError("", "suite write: give --dir DIR")
        os.makedirs(a.dir, exist_ok=True)
        for e in entries:
            print(suite.write_instance(e, a.dir))
        return 0
    best = suite.read_manifest(os.path.join(os.path.dirname(path), "best.json"))
    bad = 0
    with tempfile.TemporaryDirectory() as tmp:
        for e in entries:
            problems = suite.check(e, best.get(e["name"]), a.dir or tmp, a.time_limit,
                                   a.cache_dir, None if a.quiet else _log)
            bad += bool(problems)
            print(f"{e['name']}: {'; '.join(problems) if problems else 'ok'}")
    return 1 if bad else 0


def cmd_report(a) -> int:
    from .report import build, parse_targets

    if a.results is None and not a.instance:
        raise LabError("", "report: give RESULTS, or --instance INSTANCE")
    rows = build(a.results, a.output, a.exact, a.time_limit, a.cache_dir, a.instances_dir,
                 None if a.quiet else _log, a.instance or [], parse_targets(a.target))
    print(f"{os.path.join(a.output, 'report.md')}: {len(rows)} instance/parameter rows")
    return 0


def cmd_table(a) -> int:
    from .report import table
    from .results import check_outputs

    check_outputs([("-o", a.output)], [a.results])
    count = table(a.results, a.output, a.instances_dir, a.exact, a.time_limit, a.cache_dir,
                  _log)
    print(f"{a.output}: {count} runs")
    return 0


def cmd_draw(a) -> int:
    from . import plots
    from .energy import energy, read_topology_file
    from .judge import describe, run_links
    from .results import InstanceFinder, check_outputs, read_results

    check_outputs([("-o", a.output)], [a.first] + ([a.topology] if a.topology else []))
    if a.index is not None:
        if a.topology is not None:
            raise LabError("", "draw: give RESULTS --index K, or INSTANCE TOPOLOGY")
        runs = [r for r in read_results(a.first) if r.data["index"] == a.index]
        if not runs:
            raise LabError(a.first, f"no run with index {a.index}")
        run = runs[0]
        inst = InstanceFinder(a.instances_dir)(run)
        check_outputs([("-o", a.output)], [inst.path])  # the instance the run names
        links = run_links(run, inst)
        if links is None:
            raise LabError(run.where, "the run has no topology")
        title = f"{describe(run)}, {run.data.get('generations')} gen"
    elif a.topology is not None:
        inst = _read(a.first)
        links = read_topology_file(a.topology, inst)
        title = f"{a.topology} on {a.first}"
    else:
        raise LabError("", "draw: give RESULTS --index K, or INSTANCE TOPOLOGY")
    e = energy(inst, links)
    label = (f"energy {e}" if e < inst.infeasible else "does not connect all nodes")
    plots.topologies(inst, [(f"{label}, {len(links)} links", links)], a.output, title)
    print(f"{a.output}: {label}")
    return 0


PROGRESS = re.compile(r"^Najbolja:\s+(-?\d+)\s+=\s+(-?\d+)\s*$")


def read_progress(path: str) -> list[tuple[int, int]]:
    """(generations, best) from smetp's progress lines."""
    try:
        if path == "-":
            lines = sys.stdin.read().splitlines()
        else:
            with open(path, errors="replace") as f:
                lines = f.read().splitlines()
    except OSError as e:
        raise LabError(path, e.strerror or str(e)) from None
    points = []
    for line in lines:
        m = PROGRESS.match(line)
        if m:
            points.append((int(m.group(2)), int(m.group(1))))
    if not points:
        raise LabError("standard input" if path == "-" else path,
                       'no progress lines ("Najbolja: <best> = <generations>") found')
    return points


def cmd_plot_progress(a) -> int:
    import numpy as np

    from . import plots
    from .results import check_outputs

    check_outputs([("-o", a.output)], a.files)
    series = []
    for path in a.files or ["-"]:
        pts = read_progress(path)
        label = "standard input" if path == "-" else os.path.basename(path)
        # One run: a band of zero width, at the generations the lines print.
        series.append({"label": label, "histories": [[b for _, b in pts]],
                       "x": [g for g, _ in pts]})
        final = pts[-1][1]
        print(f"{label}: {len(pts)} progress lines, best {final} at generation "
              f"{pts[int(np.argmax(np.array([b for _, b in pts]) == final))][0]}")
    lines = {}
    if a.optimum is not None:
        lines["optimum"] = a.optimum
    # With an optimum, in percent above it, as the report draws convergence.
    ref = a.optimum if a.optimum is not None and a.optimum > 0 else None
    plots.convergence([{"title": "smetp progress", "series": series, "lines": lines,
                        "reference": ref}],
                      a.output, title="Best energy before each launch")
    print(f"{a.output}: written")
    return 0


def cmd_merge(a) -> int:
    from .merge import count, merge, ranges, write_merged
    from .results import check_outputs

    if a.expect is not None and a.expect < 1:
        raise LabError("", f"merge: --expect {a.expect}: the runs file's number of runs is "
                       "1 or more")
    if a.record == "":
        raise LabError("", "merge: --record names no file")
    check_outputs([("-o", a.output)] + ([("--record", a.record)] if a.record else []),
                  a.shards)
    runs, missing = merge(a.shards, a.expect, a.partial)
    write_merged(runs, a.output, a.record)
    if missing:
        _log(f"smetp-lab: merge: {count(missing)} run(s) missing: {ranges(missing)}")
    print(f"{a.output}: {len(runs)} runs" + (f", records in {a.record}" if a.record else ""))
    return 0


def cmd_convert(a) -> int:
    from .coords import convert
    from .instance import ENGINE_MAX_NODES, ENGINE_MAX_WEIGHT, coords_path, size_note
    from .results import check_outputs

    check_outputs([("-o", a.output), ("its .xy file", coords_path(a.output))],
                  [a.coords])
    r = convert(a.coords, a.output, a.alpha, a.scale)
    print(f"{a.output}: {r['nodes']} nodes ({r['kind']} coordinates), weight = "
          f"round({r['scale']:g} * d^{r['alpha']:g}), weights up to {r['max_weight']}")
    print(f"scale: {r['scale']:g}{' (auto)' if a.scale == 'auto' else ''}")
    print(f"rounding error: {100 * r['rounding_error']:.3f} % (the minimum spanning tree's "
          "energy under rounded against real weights)")
    print(f"{r['xy']}: coordinates written")
    for w in r["warnings"]:
        _log(f"smetp-lab: warning: {a.output}: {w}")
    reasons = []
    if r["nodes"] > ENGINE_MAX_NODES:
        reasons.append(f"{r['nodes']} nodes (design-sized runs take 2 to {ENGINE_MAX_NODES})")
    if r["max_weight"] > ENGINE_MAX_WEIGHT:
        reasons.append(f"weights up to {r['max_weight']} (design-sized runs take up to "
                       f"{ENGINE_MAX_WEIGHT})")
    note = size_note(r["nodes"], r["max_weight"], reasons)
    if note:
        _log(f"smetp-lab: note: {a.output}: {note}")
    return 0


def _scale(text: str):
    if text == "auto":
        return text
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is neither a number nor auto") from None


def _solver_options(s, cache: dict, limit_help: str, verb: str):
    """The instance and options of a command whose results are cached."""
    s.add_argument("instance", metavar="INSTANCE")
    s.add_argument("--time-limit", type=float, default=600.0, metavar="S", help=limit_help)
    s.add_argument("--cache-dir", **cache)
    s.add_argument("--no-cache", action="store_true", help=f"{verb} even when cached, "
                   "store nothing")
    s.add_argument("--json", action="store_true", help="print one JSON object")
    s.add_argument("-q", "--quiet", action="store_true", help="no progress on standard error")


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="smetp-lab",
        description="Judges smetp results: verifies topologies, computes baselines and the "
                    "exact optimum, writes reports with plots, merges shards.")
    p.add_argument("--version", action="version", version=f"smetp-lab {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    inst_dir = dict(metavar="DIR", help="folder to look for instances in first (then the "
                    "path as given, from the current folder and from the results file's "
                    "folder)")
    cache = dict(metavar="DIR", help="cache of exact and bound results (default "
                 "$XDG_CACHE_HOME/smetp-lab or ~/.cache/smetp-lab)")

    s = sub.add_parser("verify", help="recompute the energy of topologies",
                       description="verify INSTANCE TOPOLOGY: the energy of one topology "
                       "(JSON [[u, v], ...] or lines 'u v', 1-based). verify RESULTS.jsonl: "
                       "each run's topology against its best; status 1 on any mismatch.")
    s.add_argument("first", metavar="INSTANCE|RESULTS")
    s.add_argument("topology", metavar="TOPOLOGY", nargs="?")
    s.add_argument("--instances-dir", **inst_dir)
    s.add_argument("--cache-dir", **cache)
    s.set_defaults(func=cmd_verify)

    s = sub.add_parser("baseline", help="minimum spanning tree and local search",
                       description="The minimum spanning tree (a 2-approximation) and the "
                       "local search from it: energy and links.")
    s.add_argument("instance", metavar="INSTANCE")
    s.add_argument("--json", action="store_true", help="print one JSON object")
    s.set_defaults(func=cmd_baseline)

    s = sub.add_parser("ils", help="iterated local search for a time",
                       description="The iterated local search (what exact starts from): "
                       "from the minimum spanning tree, the local search, then random kicks "
                       "and searches again until the time limit; the best topology met, "
                       "verified: energy, topology, time.")
    s.add_argument("instance", metavar="INSTANCE")
    s.add_argument("--time-limit", type=float, required=True, metavar="S",
                   help="seconds for the whole command (a search under way is finished)")
    s.add_argument("--seed", type=int, default=1, metavar="K", help="seed of the kicks "
                   "(default 1)")
    s.add_argument("--results", metavar="FILE", help="also write the search as a results "
                   "line (settings solver=ils, each improvement's seconds), for report and "
                   "export beside GA runs")
    s.add_argument("--index", type=int, default=0, metavar="I", help="the results line's "
                   "index (default 0)")
    s.add_argument("--json", action="store_true", help="print one JSON object")
    s.set_defaults(func=cmd_ils)

    s = sub.add_parser("polish", help="local search from each run's topology",
                       description="Adds polished and polished_topology to each run: the "
                       "local search started from the run's topology; the run's own fields "
                       "stay as they are.")
    s.add_argument("results", metavar="RESULTS")
    s.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="results file to write (- for standard output)")
    s.add_argument("--instances-dir", **inst_dir)
    s.set_defaults(func=cmd_polish)

    s = sub.add_parser("exact", help="the optimum by mixed-integer programming",
                       description="The optimum by mixed-integer programming (HiGHS): "
                       "optimum, bound, gap, time, whether proven. Results are cached per "
                       "instance content.")
    _solver_options(s, cache, "seconds the solver may take (default 600)", "solve")
    s.set_defaults(func=cmd_exact)

    s = sub.add_parser("bound", help="a lower bound on the optimum at any size",
                       description="A lower bound on the optimum, valid for every topology of "
                       "the complete instance (2 to 2,000 nodes): the linear relaxation of "
                       "exact's model over a restricted set of links and power levels, with "
                       "cuts, made valid for all edges by pricing (a Lagrangian bound). Prints "
                       "the bound, how it was obtained, the best topology a local search "
                       "found, the gap between them and the time. Results are cached per "
                       "instance content; report and verify show the certified gap of runs "
                       "where a bound is cached.")
    _solver_options(s, cache, "seconds it may take (default 600); the bound found by then "
                    "is valid", "compute")
    s.set_defaults(func=cmd_bound)

    s = sub.add_parser("export", help="results in formats other tools read",
                       description="Writes the runs of a results file for other tools. "
                       "--format: each run's topology (or the run --index K's) as an edge "
                       "list (csv: index,u,v,weight), GraphML (one graph a run, with each "
                       "node's power and place, each link's weight) or GeoJSON (nodes as "
                       "points, links as lines; needs the instance's .xy coordinates file). "
                       "--ioh DIR: the IOHprofiler format (IOHanalyzer): the instance family "
                       "and alpha as the function, the nodes as the dimension, the energy "
                       "minimised, evaluations and seconds as columns, a row at each "
                       "improvement; one folder per GA setting.")
    s.add_argument("results", metavar="RESULTS")
    s.add_argument("--format", choices=("csv", "graphml", "geojson"),
                   help="write the topologies in this format")
    s.add_argument("-o", "--output", default="-", metavar="FILE",
                   help="file for --format (default: standard output)")
    s.add_argument("--index", type=int, metavar="K", help="only the run whose index is K")
    s.add_argument("--ioh", metavar="DIR", help="folder to write the IOHprofiler files in")
    s.add_argument("--instances-dir", **inst_dir)
    s.set_defaults(func=cmd_export)

    s = sub.add_parser("report", help="report.md, summary.csv and plots",
                       description="A Markdown report, a CSV summary per instance and "
                       "parameter set, and PNG plots (convergence, final energies, best "
                       "topologies). --instance adds an instance without runs (any size): "
                       "its baselines and, with --exact, the optimum or bound.")
    s.add_argument("results", metavar="RESULTS", nargs="?")
    s.add_argument("--instance", action="append", metavar="INSTANCE",
                   help="an instance to report without runs (repeat for several)")
    s.add_argument("-o", "--output", required=True, metavar="DIR")
    s.add_argument("--exact", action="store_true", help="also the exact optimum (cached)")
    s.add_argument("--time-limit", type=float, default=600.0, metavar="S",
                   help="time limit of each exact solve (default 600)")
    s.add_argument("--cache-dir", **cache)
    s.add_argument("--instances-dir", **inst_dir)
    s.add_argument("--target", action="append", metavar="[INSTANCE=]E",
                   help="count hits of energy E and the time to it, for every instance or "
                   "for INSTANCE (repeatable; default: the optimum with --exact, else the "
                   "best energy known)")
    s.add_argument("-q", "--quiet", action="store_true", help="no progress on standard error")
    s.set_defaults(func=cmd_report)

    s = sub.add_parser("plot-progress", help="convergence plot from smetp's console output",
                       description="Reads smetp's console output (files, or standard input) "
                       "and plots the best energy of the progress lines against generations.")
    s.add_argument("files", nargs="*", metavar="FILE", help="console output (default: "
                   "standard input; - also reads it)")
    s.add_argument("-o", "--output", default="progress.png", metavar="PNG",
                   help="plot to write (default progress.png)")
    s.add_argument("--optimum", type=int, metavar="E", help="draw this energy as a line, and "
                   "the energies in percent above it")
    s.set_defaults(func=cmd_plot_progress)

    s = sub.add_parser("convert", help="an instance from node coordinates",
                       description="Writes an instance (and its .xy file beside it) from "
                       "node coordinates: plain 'x y' lines, CSV with a header (columns x "
                       "and y, else the first two), or TSPLIB (EUC_2D, GEO). Weight = "
                       "round(scale * d^alpha), d the real distance (GEO: km).")
    s.add_argument("coords", metavar="COORDS")
    s.add_argument("-o", "--output", required=True, metavar="INSTANCE")
    s.add_argument("--alpha", type=float, default=1.0, metavar="A",
                   help="path-loss exponent (default 1: plain distances; radios: 2 to 4)")
    s.add_argument("--scale", type=_scale, default=1.0, metavar="S|auto",
                   help="factor on d^alpha (default 1); auto: the largest that keeps "
                   "weights within 16 bits and, up to 45 nodes, every topology's energy "
                   "(at most each node at its heaviest link) within the engine's cap 64999")
    s.set_defaults(func=cmd_convert)

    s = sub.add_parser("table", help="one CSV row per run",
                       description="One CSV row per run (for spreadsheets and pandas): the "
                       "run's fields, capped, whether its topology scores its best, and its "
                       "gap in percent above the instance's reference (the optimum with "
                       "--exact, else the least of the local search and the verified runs).")
    s.add_argument("results", metavar="RESULTS")
    s.add_argument("-o", "--output", required=True, metavar="CSV")
    s.add_argument("--exact", action="store_true", help="the gap to the exact optimum "
                   "(cached)")
    s.add_argument("--time-limit", type=float, default=600.0, metavar="S",
                   help="time limit of each exact solve (default 600)")
    s.add_argument("--cache-dir", **cache)
    s.add_argument("--instances-dir", **inst_dir)
    s.set_defaults(func=cmd_table)

    s = sub.add_parser("draw", help="draw one topology",
                       description="draw RESULTS --index K: the topology of the run whose "
                       "index is K. draw INSTANCE TOPOLOGY: a topology file (JSON [[u, v], "
                       "...] or lines 'u v', nodes 1-based). Links, and each node's power "
                       "as a circle; nodes at the .xy coordinates where there are some.")
    s.add_argument("first", metavar="RESULTS|INSTANCE")
    s.add_argument("topology", metavar="TOPOLOGY", nargs="?")
    s.add_argument("--index", type=int, metavar="K", help="the run's index (as in the file)")
    s.add_argument("-o", "--output", default="topology.png", metavar="PNG",
                   help="plot to write (default topology.png)")
    s.add_argument("--instances-dir", **inst_dir)
    s.set_defaults(func=cmd_draw)

    s = sub.add_parser("merge", help="merge shard results in run order",
                       description="Merges the results of shards into one file ordered by "
                       "index. Errors: a run present twice, shards of different runs files "
                       "(runs_sha256), a missing run (indices must cover 0..max, or "
                       "0..N-1 with --expect N).")
    s.add_argument("shards", nargs="+", metavar="SHARD")
    s.add_argument("-o", "--output", required=True, metavar="RESULTS")
    s.add_argument("--record", metavar="FILE", help="also write the run records, each run's "
                   "record text in index order (the file is replaced)")
    s.add_argument("--expect", type=int, metavar="N", help="the runs file has N runs")
    s.add_argument("--partial", action="store_true", help="merge what is there and list the "
                   "missing runs on standard error instead of failing")
    s.set_defaults(func=cmd_merge)

    s = sub.add_parser("suite", help="the benchmark set: instances, values, rechecks",
                       description="The benchmark set of bench/suite: write builds its "
                       "instances from the generator (each checked against its sha256), "
                       "table prints its rows as Markdown, check rechecks rows: the "
                       "instance rebuilds, the best topology scores the best value, the bound "
                       "is at or below it, exact proves a row's optimum again (bound "
                       "recomputed where there is none).")
    s.add_argument("action", choices=("write", "table", "check"))
    s.add_argument("names", nargs="*", metavar="NAME", help="rows (default: all)")
    s.add_argument("--all", action="store_true", help="check every row")
    s.add_argument("--dir", metavar="DIR", help="folder for the instances (write: "
                   "required; check: default a temporary one)")
    s.add_argument("--max-nodes", type=int, default=2000, metavar="N",
                   help="only rows of up to N nodes")
    s.add_argument("--time-limit", type=float, default=600.0, metavar="S",
                   help="seconds for each exact or bound run of a check (default 600)")
    s.add_argument("--suite", metavar="DIR", help="the set's folder (default bench/suite "
                   "of this checkout)")
    s.add_argument("--cache-dir", **cache)
    s.add_argument("-q", "--quiet", action="store_true", help="no progress on standard error")
    s.set_defaults(func=cmd_suite)
    return p


def _load_failure(e: BaseException) -> str:
    """One line for a library that failed to load or memory that ran out,
    with the address space limit where one is set (the usual cause)."""
    lines = [ln.strip() for ln in str(e).splitlines() if ln.strip()]
    cause = next((ln.split(":", 1)[1].strip() for ln in lines
                  if ln.startswith("Original error was:")), lines[0] if lines else "")
    what = (f"cannot load {e.name}" if isinstance(e, ImportError) and e.name
            else "cannot load a library" if isinstance(e, ImportError) else "out of memory")
    text = f"{what}{': ' + cause[:200] if cause else ''}"
    limit = resource.getrlimit(resource.RLIMIT_AS)[0]
    if limit != resource.RLIM_INFINITY:
        text += (f" (the address space is limited to {limit // 2**20} MiB, ulimit -v; "
                 "smetp-lab needs about 1 GiB)")
    return text


def main(argv=None) -> int:
    a = parser().parse_args(argv)
    try:
        return a.func(a)
    except LabError as e:
        print(f"smetp-lab: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return 1
    except OSError as e:
        # A file that could not be written (or read) where no check caught it.
        print(f"smetp-lab: {e.filename or ''}: {e.strerror or e}", file=sys.stderr)
        return 1
    except RecursionError:
        print("smetp-lab: input nested too deeply", file=sys.stderr)
        return 1
    except (ImportError, MemoryError) as e:
        print(f"smetp-lab: {_load_failure(e)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
