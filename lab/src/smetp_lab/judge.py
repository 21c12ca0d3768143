"""Checking runs: the recomputed energy of each run's topology, and the
local search started from it."""
from __future__ import annotations

import json
import os
from dataclasses import dataclass

from .energy import WIDE_UNCONNECTED_STEP, Links, check_links, energy, to_pairs, wide_score
from .heuristics import candidates, local_search
from .instance import Instance, LabError
from .results import Run


@dataclass(frozen=True)
class Marks:
    """How a run's engine scores topologies: from `infeasible` up a topology
    leaves nodes unreachable; `cap`, where there is one, stands in for every
    higher energy (its true energy is unknown)."""
    infeasible: int
    cap: int | None


# A wide run (over candidate links) scores exact energies, with its own mark
# of an unconnected topology, and is never capped.
WIDE_MARKS = Marks(WIDE_UNCONNECTED_STEP, None)


def is_wide(run: Run) -> bool:
    """Whether the batch ran it as a wide run: its result names its
    candidate links."""
    return "candidate_links" in run.data


def marks(run: Run, inst: Instance) -> Marks:
    """The scoring of `run` on `inst`: the wide run's, or the instance's."""
    return WIDE_MARKS if is_wide(run) else Marks(inst.infeasible, inst.cap)


def run_energy(run: Run, inst: Instance, links: Links) -> int:
    """`links` scored as the run's engine scores a topology."""
    return wide_score(inst, links) if is_wide(run) else energy(inst, links)


@dataclass
class Check:
    run: Run
    best: int
    recomputed: int
    problems: list[str]
    links: Links | None = None  # the run's topology, checked, 0-based

    @property
    def ok(self) -> bool:
        return not self.problems


def run_links(run: Run, inst: Instance):
    """The run's topology as checked 0-based links, or None when it has none."""
    topo = run.get("topology", list, optional=True)
    if topo is None:
        return None
    return check_links(inst, topo, run.where)


def check_run(run: Run, inst: Instance) -> Check:
    best = run.get("best", int)
    problems = []
    for key, actual in (("nodes", inst.n), ("edges", len(inst.edges))):
        given = run.get(key, int, optional=True)
        if given is not None and given != actual:
            problems.append(f'"{key}" is {given}, the instance has {actual}')
    links = run_links(run, inst)
    wide = is_wide(run)
    infeasible = marks(run, inst).infeasible
    if wide:
        k = run.data["candidate_links"]
        if not isinstance(k, int) or isinstance(k, bool) or k < 0:
            problems.append(f'"candidate_links" is {json.dumps(k)}, not a count of links')
    if links is None:
        # No topology: the run made no launch, and its best is the mark of no
        # link at all (every node a piece of its own on a wide run).
        recomputed = inst.n * WIDE_UNCONNECTED_STEP if wide else inst.infeasible
    else:
        recomputed = run_energy(run, inst, links)
    if recomputed != best:
        problems.append(f"best {best} but the topology scores {recomputed}")
    feasible = run.get("feasible", bool, optional=True)
    if feasible is not None and feasible != (best < infeasible):
        problems.append(f'"feasible" is {str(feasible).lower()} with best {best}')
    capped = run.get("capped", bool, optional=True)
    if capped is not None and capped != (not wide and inst.cap is not None and best == inst.cap):
        problems.append(f'"capped" is {str(capped).lower()} with best {best}')
    topo = run.data.get("topology")
    if topo is not None and len({tuple(sorted(p)) for p in topo}) != len(topo):
        problems.append("the topology lists a link twice")
    return Check(run, best, recomputed, problems, links)


# The GA settings of the design, as the batch writes them in "settings", and
# the memetic step's defaults.
DESIGN_SETTINGS = {"elite": 16, "tournament": 8, "crossover": 0.85, "mutation": 0.005,
                   "mutation_step": 0.005, "mutation_patience": 1000, "repair": "on",
                   "init": "random", "memetic": "none", "memetic_every": 25,
                   "memetic_count": 24, "kick": 0}
MEMETIC_ONLY = ("memetic_every", "memetic_count", "kick")


def settings_label(run: Run) -> str:
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


def describe(run: Run) -> str:
    """The run as a person names it: index, instance, seed, hardness,
    density and the GA settings that are not the design's."""
    d = run.data
    parts = [f"run {d.get('index')}", str(d.get("instance"))]
    for key in ("seed", "hardness", "density"):
        if key in d:
            parts.append(f"{key} {d[key]}")
    sets = settings_label(run)
    if sets != "design":
        parts.append(sets)
    return " ".join(parts)


def polish_runs(runs: list[Run], insts: list[Instance], log=None) -> list[dict]:
    """Each run's fields with `polished` and `polished_topology` added: the
    local search from the run's own topology (the infeasible mark and null
    when that does not connect all nodes, since the search needs a
    connected start)."""
    out, todo = [], []
    for run, inst in zip(runs, insts):
        links = run_links(run, inst)
        out.append(dict(run.data))
        mark = marks(run, inst).infeasible
        if links is None or run_energy(run, inst, links) >= mark:
            out[-1].update(polished=mark, polished_topology=None)
        else:
            todo.append((len(out) - 1, run, inst, links))
    for (k, run, inst, _), better in zip(todo, polish_all([(i, ls) for _, _, i, ls in todo],
                                                           log)):
        out[k].update(polished=run_energy(run, inst, better), polished_topology=to_pairs(better))
    return out


def is_capped(run: Run, inst: Instance) -> bool:
    """Whether the run's best is the engine's energy cap, so that its true
    energy is unknown: the run's "capped" field where the batch wrote one,
    else derived from its best."""
    flag = run.get("capped", bool, optional=True)
    if flag is not None:
        return flag
    return inst.cap is not None and run.get("best", int) == inst.cap


# What the worker processes of polish_all read: inherited when they fork.
_WORK: dict = {}


def _polish_chunk(bounds: tuple[int, int]) -> list[Links]:
    tasks, cands = _WORK["tasks"], _WORK["cands"]
    return [local_search(inst, links, cands[inst.path]) for inst, links in
            tasks[bounds[0]:bounds[1]]]


def polish_all(items: list[tuple[Instance, Links]], log=None) -> list[Links]:
    """The local search from each (instance, connected links): each distinct
    start searched once, spread over all processors."""
    import multiprocessing

    keys = [(inst.path, tuple(links)) for inst, links in items]
    first: dict[tuple, int] = {}
    for i, key in enumerate(keys):
        first.setdefault(key, i)
    tasks = [items[i] for i in first.values()]
    cands = {}
    for inst, _ in tasks:
        if inst.path not in cands:
            cands[inst.path] = candidates(inst)
    _WORK.update(tasks=tasks, cands=cands)
    chunk = 50
    bounds = [(a, min(a + chunk, len(tasks))) for a in range(0, len(tasks), chunk)]
    workers = min(len(os.sched_getaffinity(0)), len(bounds))
    out: list[Links] = []
    try:
        if workers > 1:
            # The searches are compiled already (candidates() and one search
            # here), so the forked workers start at once.
            local_search(*tasks[0], cands[tasks[0][0].path])
            with multiprocessing.get_context("fork").Pool(workers) as pool:
                for part in pool.imap(_polish_chunk, bounds):
                    out += part
                    if log:
                        log(f"polish: {len(out)} of {len(tasks)} distinct topologies")
        else:
            for b in bounds:
                out += _polish_chunk(b)
    finally:
        _WORK.clear()
    done = dict(zip(first, out))
    return [done[key] for key in keys]


def require_history(run: Run) -> list[int]:
    hist = run.get("history", list)
    if not hist or not all(isinstance(v, int) and not isinstance(v, bool) for v in hist):
        raise LabError(run.where, '"history" must be a non-empty list of integers')
    return hist
