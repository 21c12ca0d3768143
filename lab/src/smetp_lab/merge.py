"""Merging the results of shards (each ran the runs whose index i has
i mod N == K) back into one results file in run order."""
from __future__ import annotations

from .instance import LabError
from .results import Run, read_results, write_files

# At most this many ranges of missing runs are named; the count is always whole.
MAX_RANGES_SHOWN = 50


def missing_ranges(present: list[int], total: int) -> list[tuple[int, int]]:
    """The gaps (first, last) in 0..total-1 between the sorted indices
    present: as many as there are runs at most, whatever the indices."""
    out, nxt = [], 0
    for i in present:
        if i > nxt:
            out.append((nxt, i - 1))
        nxt = i + 1
    if total > nxt:
        out.append((nxt, total - 1))
    return out


def ranges(gaps: list[tuple[int, int]]) -> str:
    """3, 5-8, 12: a short list of ranges (the first MAX_RANGES_SHOWN)."""
    parts = [str(a) if a == b else f"{a}-{b}" for a, b in gaps[:MAX_RANGES_SHOWN]]
    if len(gaps) > MAX_RANGES_SHOWN:
        parts.append(f"... ({len(gaps) - MAX_RANGES_SHOWN} more ranges)")
    return ", ".join(parts)


def count(gaps: list[tuple[int, int]]) -> int:
    return sum(b - a + 1 for a, b in gaps)


def merge(paths: list[str], expect: int | None = None,
          partial: bool = False) -> tuple[list[Run], list[tuple[int, int]]]:
    """The runs of all shards in index order, and the ranges of indices
    missing (only when `partial`; otherwise a missing run is an error)."""
    by_index: dict[int, Run] = {}
    first: Run | None = None
    for path in paths:
        for run in read_results(path):
            sha = run.get("runs_sha256", str)
            if first is None:
                first = run
            elif sha != first.data["runs_sha256"]:
                raise LabError(run.where, f"runs_sha256 {sha[:12]}... differs from "
                               f"{first.data['runs_sha256'][:12]}... of {first.where}: the "
                               "shards come from different runs files")
            i = run.get("index", int)
            if i < 0 or (expect is not None and i >= expect):
                limit = f"0..{expect - 1}" if expect is not None else "0 or more"
                raise LabError(run.where, f"index {i} is outside {limit}")
            if i in by_index:
                raise LabError(run.where, f"run {i} is present twice (also at "
                               f"{by_index[i].where})")
            by_index[i] = run
    if not by_index:
        raise LabError(", ".join(paths), "no runs in the shards")
    order = sorted(by_index)
    total = expect if expect is not None else order[-1] + 1
    missing = missing_ranges(order, total)
    if missing and not partial:
        raise LabError("", f"{count(missing)} of {total} runs missing: {ranges(missing)}")
    return [by_index[i] for i in order], missing


def write_merged(runs: list[Run], out: str, record: str | None):
    """The merged results and, when asked, the records: both or neither."""
    items = [(out, "".join(r.text.rstrip("\r\n") + "\n" for r in runs))]
    if record:
        # A run with GA settings other than the design's has no record (null).
        items.append((record, "".join(r.get("record", str, null=True) or "" for r in runs)))
    write_files(items)
