"""Results files of smetp-batch: JSON Lines, one run a line."""
from __future__ import annotations

import json
import os
from dataclasses import dataclass

from .instance import Instance, LabError, read_instance


@dataclass
class Run:
    data: dict
    file: str
    line: int
    text: str  # the line as read, kept so that a merge copies it unchanged

    @property
    def where(self) -> str:
        return f"{self.file}:{self.line}"

    def get(self, key, kind=None, optional=False, null=False):
        """The field's value, checked to be of `kind`. An optional field may
        be absent or null (None); `null` allows null in a required one."""
        if key not in self.data:
            if optional:
                return None
            raise LabError(self.where, f'the run has no "{key}" field')
        value = self.data[key]
        if value is None and not (optional or null):
            raise LabError(self.where, f'"{key}" is null')
        if kind is not None and value is not None and not _is(value, kind):
            raise LabError(self.where, f'"{key}" is {json.dumps(value)[:40]}, not {_name(kind)}')
        return value


def _is(value, kind) -> bool:
    if kind is int:
        return isinstance(value, int) and not isinstance(value, bool)
    if kind is float:
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    return isinstance(value, kind)


def _name(kind) -> str:
    return {int: "an integer", float: "a number", str: "a string", list: "a list",
            bool: "true or false"}.get(kind, kind.__name__)


def read_results(path: str) -> list[Run]:
    try:
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
    except OSError as e:
        raise LabError(path, e.strerror or str(e)) from None
    except UnicodeDecodeError:
        raise LabError(path, "not UTF-8 text") from None
    # JSON Lines end at "\n" alone: U+2028, U+2029 and U+0085 may stand raw
    # inside a string (an instance path), where splitlines() would cut.
    lines = [line.removesuffix("\r") for line in text.split("\n")]
    runs = []
    for lineno, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            data = json.loads(line)
        except json.JSONDecodeError as e:
            raise LabError(f"{path}:{lineno}", f"not a JSON object: {e.msg}") from None
        except RecursionError:
            raise LabError(f"{path}:{lineno}", "not a JSON object: nested too deeply") from None
        if not isinstance(data, dict):
            raise LabError(f"{path}:{lineno}", "not a JSON object")
        run = Run(data, path, lineno, line)
        run.get("index", int)
        run.get("instance", str)
        runs.append(run)
    return runs


def runs_of(results, name: str = "<results>") -> list[Run]:
    """Results held in memory (the Python package's Result objects, or the
    dicts of their as_dict()) as the runs of a results file, for the
    functions that judge runs (judge.check_run, ...); run k is line k + 1
    of `name`."""
    runs = []
    for lineno, r in enumerate(results, 1):
        data = r.as_dict() if hasattr(r, "as_dict") else r
        if not isinstance(data, dict):
            raise LabError(f"{name}:{lineno}", "not a result (a Result or a dict)")
        run = Run(data, name, lineno, json.dumps(data))
        run.get("index", int)
        run.get("instance", str)
        runs.append(run)
    return runs


class InstanceFinder:
    """Finds and reads each run's instance once: the path as given, taken
    from the current folder, then from the results file's folder; with an
    instances folder, that folder is tried first (the path, then its last
    name)."""

    def __init__(self, instances_dir: str | None = None):
        self.instances_dir = instances_dir
        self.cache: dict[str, Instance] = {}

    def candidates(self, run: Run) -> list[str]:
        given = run.get("instance", str)
        out = []
        if self.instances_dir:
            out += [os.path.join(self.instances_dir, given),
                    os.path.join(self.instances_dir, os.path.basename(given))]
        out.append(given)
        if not os.path.isabs(given):
            out.append(os.path.join(os.path.dirname(run.file) or ".", given))
        return out

    def __call__(self, run: Run) -> Instance:
        tried = self.candidates(run)
        for path in tried:
            if os.path.isfile(path):
                key = os.path.realpath(path)
                if key not in self.cache:
                    self.cache[key] = read_instance(path)
                return self.cache[key]
        looked = ", ".join(dict.fromkeys(tried))
        raise LabError(run.where,
                       f"instance {run.get('instance')} not found (looked for {looked})")


def write_results(path: str, runs: list[dict]):
    text = "".join(json.dumps(r, separators=(", ", ": ")) + "\n" for r in runs)
    if path == "-":
        import sys
        sys.stdout.write(text)
        return
    write_files([(path, text)])


def check_writable(path: str):
    """Fails (LabError) unless a file can be written at `path`: its folder
    exists and takes new files, and the path is not a folder."""
    folder = os.path.dirname(path) or "."
    if os.path.isdir(path):
        raise LabError(path, "is a folder, not a file")
    if not os.path.isdir(folder):
        raise LabError(path, f"no folder {folder}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise LabError(path, f"the folder {folder} is not writable")


def same_file(a: str, b: str) -> bool:
    """Whether two paths name one file (links and hard links included)."""
    if a == "-" or b == "-":
        return False
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def check_outputs(outputs: list[tuple[str, str]], inputs: list[str]):
    """Fails (LabError) before any work unless each output (option, path)
    can be written, is none of the inputs and no other output: a command
    never overwrites what it reads, and files written together stay
    distinct, so that "both or neither" holds."""
    for k, (option, path) in enumerate(outputs):
        if path == "-":
            continue
        check_writable(path)
        for given in inputs:
            if same_file(path, given):
                raise LabError(path, f"{option} names an input ({given}), which would be "
                               "overwritten; write to another file")
        for other, earlier in outputs[:k]:
            if same_file(path, earlier):
                raise LabError(path, f"{other} and {option} name the same file; give each "
                               "its own")


def write_files(items: list[tuple[str, str]]):
    """Writes each (path, text) through a temporary file beside it, and
    renames them into place only when all were written: on any error none
    of the files is changed."""
    for path, _ in items:
        check_writable(path)
    done = []
    try:
        for path, text in items:
            tmp = f"{path}.tmp{os.getpid()}"
            done.append((tmp, path))
            with open(tmp, "w", encoding="utf-8", newline="") as f:
                f.write(text)
        for tmp, path in done:
            os.replace(tmp, path)
    except OSError as e:
        for tmp, _ in done:
            if os.path.exists(tmp):
                os.remove(tmp)
        raise LabError(e.filename or path, e.strerror or str(e)) from None
