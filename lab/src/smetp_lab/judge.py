"""Checking runs: the recomputed energy of each run's topology, and the
local search started from it."""
from __future__ import annotations

from dataclasses import dataclass

from .energy import check_links, energy, to_pairs
from .heuristics import local_search
from .instance import Instance, LabError
from .results import Run


@dataclass
class Check:
    run: Run
    best: int
    recomputed: int
    problems: list[str]

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
    recomputed = inst.infeasible if links is None else energy(inst, links)
    if recomputed != best:
        problems.append(f"best {best} but the topology scores {recomputed}")
    feasible = run.get("feasible", bool, optional=True)
    if feasible is not None and feasible != (best < inst.infeasible):
        problems.append(f'"feasible" is {str(feasible).lower()} with best {best}')
    topo = run.data.get("topology")
    if topo is not None and len({tuple(sorted(p)) for p in topo}) != len(topo):
        problems.append("the topology lists a link twice")
    return Check(run, best, recomputed, problems)


def describe(run: Run) -> str:
    d = run.data
    parts = [f"run {d.get('index')}", str(d.get("instance"))]
    for key in ("seed", "hardness", "density"):
        if key in d:
            parts.append(f"{key} {d[key]}")
    return " ".join(parts)


def polish_run(run: Run, inst: Instance) -> dict:
    """The run's fields with `polished` and `polished_topology` added: the
    local search from the run's own topology (65000 and null when that does
    not connect all nodes, since the search needs a connected start)."""
    links = run_links(run, inst)
    out = dict(run.data)
    if links is None or energy(inst, links) >= inst.infeasible:
        out["polished"] = inst.infeasible
        out["polished_topology"] = None
        return out
    better = local_search(inst, links)
    out["polished"] = energy(inst, better)
    out["polished_topology"] = to_pairs(better)
    return out


def is_capped(run: Run, inst: Instance) -> bool:
    """Whether the run's best is the engine's energy cap, so that its true
    energy is unknown: the run's "capped" field where the batch wrote one,
    else derived from its best."""
    flag = run.get("capped", bool, optional=True)
    if flag is not None:
        return flag
    return inst.cap is not None and run.get("best", int) == inst.cap


def polished_value(run: Run, inst: Instance) -> int:
    """The run's polished energy: the field when present, else computed."""
    value = run.data.get("polished")
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    return polish_run(run, inst)["polished"]


def require_history(run: Run) -> list[int]:
    hist = run.get("history", list)
    if not hist or not all(isinstance(v, int) and not isinstance(v, bool) for v in hist):
        raise LabError(run.where, '"history" must be a non-empty list of integers')
    return hist
