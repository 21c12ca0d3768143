"""Merging the results of shards (each ran the runs whose index i has
i mod N == K) back into one results file in run order."""
from __future__ import annotations

import os

from .instance import LabError
from .results import Run, read_results


def ranges(indices: list[int]) -> str:
    """3, 5-8, 12: a short list of sorted indices."""
    parts, i = [], 0
    while i < len(indices):
        j = i
        while j + 1 < len(indices) and indices[j + 1] == indices[j] + 1:
            j += 1
        parts.append(str(indices[i]) if i == j else f"{indices[i]}-{indices[j]}")
        i = j + 1
    return ", ".join(parts)


def merge(paths: list[str], expect: int | None = None,
          partial: bool = False) -> tuple[list[Run], list[int]]:
    """The runs of all shards in index order, and the indices missing (only
    when `partial`; otherwise a missing run is an error)."""
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
    total = expect if expect is not None else max(by_index) + 1
    missing = [i for i in range(total) if i not in by_index]
    if missing and not partial:
        raise LabError("", f"{len(missing)} of {total} runs missing: {ranges(missing)}")
    return [by_index[i] for i in sorted(by_index)], missing


def write_merged(runs: list[Run], out: str, record: str | None):
    text = "".join(r.text.rstrip("\r\n") + "\n" for r in runs)
    records = None
    if record:
        parts = []
        for r in runs:
            rec = r.get("record", str)
            parts.append(rec)
        records = "".join(parts)
    for path, content in ((out, text), (record, records)):
        if path is None or content is None:
            continue
        tmp = f"{path}.tmp{os.getpid()}"
        try:
            with open(tmp, "w", encoding="utf-8", newline="") as f:
                f.write(content)
            os.replace(tmp, path)
        except OSError as e:
            raise LabError(path, e.strerror or str(e)) from None
