"""Results in the IOHprofiler format, for IOHanalyzer and the tools that
read it.

Layout: one folder per algorithm (the runs' GA settings), as the
format's loggers write one per experiment, each holding

  IOHprofiler_f<id>_<function>.info      per function: three lines per
                                         dimension
  data_f<id>_<function>/IOHprofiler_f<id>_DIM<n>.dat
                                         per function and dimension: each
                                         run's rows under its own header

The function is the instance family and alpha (`<family>_a<alpha>`), the
dimension the number of nodes, the instance the instance file (numbered per
function and dimension in order of appearance), the algorithm the run's GA
settings. The .info blocks:

  suite = 'smetp', funcId = 1, funcName = 'uniform_a2', DIM = 40, maximization = 'F', algId = '...'
  %
  data_f1_uniform_a2/IOHprofiler_f1_DIM40.dat, 1:409600|5.12e+03, 2:409600|4.87e+03

(instance:evaluations|best per run). Each run in a .dat file starts with
the header line `evaluations raw_y seconds`, then one row at each
improvement of its best: the evaluations made by then (128 per generation,
50 generations per launch), the energy (minimised) and the seconds, spread
evenly over the run's launches (results keep the best per launch, not the
clock per launch); the run's last row is at its end.
"""
from __future__ import annotations

import os
import re

from .instance import Instance, LabError
from .results import Run

POPULATION = 128
GENERATIONS_PER_LAUNCH = 50


def family_of(inst: Instance, given: str) -> str:
    """The instance family: the set's family for its instances, else the
    file name without its trailing digits and the alpha of its model."""
    from .suite import FAMILIES

    stem = os.path.splitext(os.path.basename(given))[0]
    m = re.fullmatch(r"([uct])\d{4}a\d+s\d+", stem)
    fam = {f[0]: f for f in FAMILIES}[m.group(1)] if m else (stem.rstrip("0123456789") or stem)
    fam = re.sub(r"[^A-Za-z0-9]+", "-", fam).strip("-") or "instance"
    return f"{fam}_a{inst.alpha:g}"


def improvements(run: Run, infeasible: int) -> list[tuple[int, int, float]]:
    """(evaluations, best, seconds) at each improvement of the run's best,
    and at its end. A run that keeps the time and evaluations of each
    history entry (history_seconds, history_evaluations: the iterated local
    search's results, its evaluations the local searches made) gives them."""
    history = run.get("history", list)
    if isinstance(run.data.get("history_seconds"), list):
        evals = run.data.get("history_evaluations") or list(range(1, len(history) + 1))
        rows = [(int(e), int(y), float(s)) for e, y, s in
                zip(evals, history, run.data["history_seconds"]) if y < infeasible]
        end = (rows[-1][0] if rows else 0, run.get("best", int),
               float(run.get("seconds", float, optional=True) or 0.0))
        return rows + ([end] if rows and end[2] > rows[-1][2] else [])
    launches = max(1, run.get("launches", int, optional=True) or len(history) - 1)
    seconds = float(run.get("seconds", float, optional=True) or 0.0)
    rows = []
    best = None
    per_launch = POPULATION * GENERATIONS_PER_LAUNCH
    for k, value in enumerate(history):
        if value >= infeasible:
            continue
        if best is None or value < best:
            best = value
            rows.append((max(1, k * per_launch), value, round(seconds * k / launches, 6)))
    final = run.get("best", int)
    end = (launches * per_launch, final, seconds)
    if final < infeasible and (not rows or rows[-1][1] != final or rows[-1][0] != end[0]):
        rows.append(end)
    return rows


def export(runs: list[Run], insts: list[Instance], out_dir: str) -> dict:
    """Writes the folder; returns counts (functions, files, runs)."""
    from .judge import marks, settings_label

    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise LabError(out_dir, "is a file, not a folder")
    funcs: dict[str, int] = {}
    inst_ids: dict[tuple, dict] = {}
    # (function, dimension, algorithm) -> [(instance id, rows)]
    groups: dict[tuple, list] = {}
    for run, inst in zip(runs, insts):
        fname = family_of(inst, run.data["instance"])
        fid = funcs.setdefault(fname, len(funcs) + 1)
        ids = inst_ids.setdefault((fname, inst.n), {})
        iid = ids.setdefault(inst.sha256, len(ids) + 1)
        rows = improvements(run, marks(run, inst).infeasible)
        groups.setdefault((fname, fid, inst.n, settings_label(run)), []).append((iid, rows))
    os.makedirs(out_dir, exist_ok=True)
    files = 0
    info: dict[str, list[str]] = {}
    dat: dict[str, list[str]] = {}
    folders: dict[str, str] = {}
    for (fname, fid, n, alg), items in groups.items():
        top = folders.setdefault(alg, _folder_name(alg, folders.values()))
        rel = f"data_f{fid}_{fname}/IOHprofiler_f{fid}_DIM{n}.dat"
        body = dat.setdefault(f"{top}/{rel}", [])
        summary = []
        for iid, rows in items:
            body.append("evaluations raw_y seconds")
            body += [f"{e} {y} {s:.6g}" for e, y, s in rows]
            if rows:
                summary.append(f"{iid}:{rows[-1][0]}|{rows[-1][1]:.6e}")
            else:
                summary.append(f"{iid}:0|inf")
        alg_text = alg.replace("'", "")
        info.setdefault(f"{top}/IOHprofiler_f{fid}_{fname}.info", []).extend([
            f"suite = 'smetp', funcId = {fid}, funcName = '{fname}', DIM = {n}, "
            f"maximization = 'F', algId = '{alg_text}'",
            "%",
            ", ".join([rel] + summary)])
    for rel, lines in dat.items():
        os.makedirs(os.path.join(out_dir, os.path.dirname(rel)), exist_ok=True)
        with open(os.path.join(out_dir, rel), "w") as f:
            f.write("\n".join(lines) + "\n")
        files += 1
    for name, lines in info.items():
        with open(os.path.join(out_dir, name), "w") as f:
            f.write("\n".join(lines) + "\n")
        files += 1
    return {"functions": len(funcs), "algorithms": len(folders), "files": files,
            "runs": len(runs)}


def _folder_name(alg: str, taken) -> str:
    name = re.sub(r"[^A-Za-z0-9=.,+-]+", "_", alg).strip("_")[:80] or "runs"
    base, k = name, 2
    while name in taken:
        name, k = f"{base}_{k}", k + 1
    return name
