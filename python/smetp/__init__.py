"""The smetp genetic algorithm in-process.

Instances, single runs and streaming batches on the same engine and pool as
``smetp-batch``; each result is the object ``smetp-batch`` writes as a JSON
line::

    import smetp
    g = smetp.Instance.read("data/g45.txt")
    r = smetp.run(g, seed=1, generations=5000)   # profile="solve", the default
    print(r.best, r.stop, r.topology[:3])
    for r in smetp.batch({"instance": g, "seed": s, "generations": 500} for s in range(1, 9)):
        print(r.as_dict()["seed"], r.best)

Bad instances, runs and settings raise :class:`SmetpError` (a ValueError)
with the message ``smetp-batch`` prints.
"""
from __future__ import annotations

# The module's namespace holds its interface only: the modules it uses go by
# private names.
import atexit as _atexit
import json as _json
import re as _re
from collections import abc as _abc
import math as _math
import os as _os
import signal as _signal
import sys as _sys
import threading as _threading
import typing as _typing
import warnings as _warnings

import numpy as _np

if _typing.TYPE_CHECKING:
    from typing import Any, Callable, Iterable, Iterator, Mapping

from . import _core

#: The project's version (CMakeLists.txt), compiled into the engine.
__version__: str = _core.__version__

__all__ = ["Instance", "Result", "SmetpError", "InstanceError", "RunError", "SmetpWarning",
           "NO_LINK", "run", "batch", "solve", "to_frame", "backend"]

#: ``Instance.weights`` holds this for a pair of nodes without a link.
NO_LINK = _np.iinfo(_np.int64).min

# Different instances one batch may use (each is copied once into the batch).
_MAX_INSTANCES = 4096

_FIELDS = ("instance", "seed", "generations", "hardness", "density")
_STOPS = ("time_limit", "target")


class SmetpError(ValueError):
    """A bad instance, run, setting or argument; the message is smetp-batch's."""


class SmetpWarning(UserWarning):
    """What smetp-batch and smetp-lab convert warn of: generations that are
    not a multiple of 50, runs ending at the energy cap, coarse weights."""


class InstanceError(SmetpError):
    """A graph file or matrix that the engine cannot use (or cannot open)."""


class RunError(SmetpError):
    """A bad run description: ``run`` is its 0-based position in the batch."""

    def __init__(self, run: int, reason: str):
        super().__init__(f"run {run}: {reason}")
        self.run = run
        self.reason = reason


def backend() -> str:
    """The engine's form: ``"cpu"`` or ``"cuda"``."""
    return _core.backend()


class Instance:
    """An instance as the engine reads it (the batch's reader: 2 to 2,000
    nodes, 32-bit weights, the design's format or the sparse one)."""

    __slots__ = ("_graph",)

    def __init__(self, graph: _core.Graph):
        self._graph = graph

    @classmethod
    def read(cls, path: str | _os.PathLike) -> "Instance":
        """Reads a graph file; runs name it by this path."""
        try:
            return cls(_core.read_graph(_os.fspath(path)))
        except ValueError as e:
            raise InstanceError(str(e)) from None

    @classmethod
    def from_weights(cls, matrix, name: str = "<weights>") -> "Instance":
        """A complete instance from a square, symmetric integer matrix (the
        diagonal is ignored). The engine's rules hold: 2 to 2,000 nodes,
        weights within 32 bits; above 45 nodes or outside 16 bits the runs
        are wide runs."""
        w = _np.asarray(matrix)
        if w.ndim != 2 or w.shape[0] != w.shape[1]:
            raise InstanceError(f"{name}: the weights must be a square matrix, not {w.shape}")
        if w.dtype.kind not in "iub":
            if w.dtype.kind != "f" or not _np.all(_np.isfinite(w)) or _np.any(w != _np.round(w)):
                raise InstanceError(f"{name}: the weights must be integers")
        n = w.shape[0]
        if n > 2000:
            # The reader's own message, from the header alone (before a text
            # of millions of lines is made).
            try:
                _core.parse_graph(f"{n} {n * (n - 1)}\n".encode(), name)
            except ValueError as e:
                raise InstanceError(str(e)) from None
        if not _np.array_equal(w, w.T):
            bad = _np.argwhere(w != w.T)[0]
            raise InstanceError(f"{name}: the weights are not symmetric (row {bad[0] + 1}, "
                                f"column {bad[1] + 1})")
        if w.size and (w.min() < -2**31 or w.max() > 2**31 - 1):
            raise InstanceError(f"bad graph file {name}: weights must be within 32 bits")
        w = w.astype(_np.int64)
        iu, iv = _np.triu_indices(n, 1)
        body = "\n".join(f"{u} {v} {x}" for u, v, x in
                         zip((iu + 1).tolist(), (iv + 1).tolist(), w[iu, iv].tolist()))
        text = f"{n} {n * (n - 1)}\n{body}\n"
        try:
            return cls(_core.parse_graph(text.encode(), name))
        except ValueError as e:
            raise InstanceError(str(e)) from None

    @classmethod
    def from_points(cls, xy, alpha: float = 1.0, scale: float | str = "auto",
                    name: str = "<points>") -> "Instance":
        """A complete instance from node coordinates, as ``smetp-lab convert``
        makes one (the same rules, shared with it): weight = round(scale *
        d**alpha), d the Euclidean distance; ``scale="auto"`` is the largest
        that keeps every weight within 16 bits and, up to 45 nodes, every
        topology below the energy cap."""
        from . import _pathloss

        try:
            w, _, said = _pathloss.weights_of_points(_np.asarray(xy, dtype=float), alpha, scale)
        except (ValueError, TypeError) as e:
            raise InstanceError(f"{name}: {e}") from None
        for text in said:
            _warnings.warn(f"{name}: {text}", SmetpWarning, stacklevel=2)
        return cls.from_weights(w, name)

    @property
    def n(self) -> int:
        """Nodes."""
        return self._graph.n

    @property
    def name(self) -> str:
        """The path (or name) that results report as ``instance``."""
        return self._graph.name

    @property
    def wide(self) -> bool:
        """Runs on it are wide runs (more than 45 nodes, a weight outside 16
        bits, or a sparse file)."""
        return self._graph.wide

    @property
    def links(self) -> _np.ndarray:
        """Every link as an (m, 3) int64 array: 1-based u < v, weight."""
        return self._graph.links()

    @property
    def weights(self) -> _np.ndarray:
        """The (n, n) int64 weight matrix, symmetric, 0 on the diagonal,
        ``NO_LINK`` for pairs without a link."""
        w = _np.full((self.n, self.n), NO_LINK, dtype=_np.int64)
        _np.fill_diagonal(w, 0)
        t = self.links
        w[t[:, 0] - 1, t[:, 1] - 1] = t[:, 2]
        w[t[:, 1] - 1, t[:, 0] - 1] = t[:, 2]
        return w

    def save(self, path: str | _os.PathLike) -> None:
        """Writes the instance as a graph file that smetp-batch and smetp-lab
        read: the design's format for a complete instance, else (and for one
        read from a sparse file, whose runs are wide runs) the sparse one."""
        t = self.links
        n = self.n
        if len(t) == n * (n - 1) // 2 and not self._graph.sparse:
            head = f"{n} {n * (n - 1)}"  # the links come in the design's pair order
        else:
            head = f"sparse {n} {len(t)}"
        with open(path, "w") as f:
            f.write(head + "\n")
            f.write("".join(f"{u} {v} {w}\n" for u, v, w in t.tolist()))

    def __repr__(self) -> str:
        return f"Instance({self.name!r}, n={self.n}{', wide' if self.wide else ''})"


class Result:
    """One finished run: the object ``smetp-batch`` writes for it, with
    ``runs_sha256`` None (an in-process batch has no runs file) and ``index``
    its position in the batch."""

    __slots__ = ("_d",)

    def __init__(self, fields: dict):
        self._d = fields

    def as_dict(self) -> dict:
        """The result as smetp-batch's JSON object (a fresh copy)."""
        return _json.loads(_json.dumps(self._d))

    def __getitem__(self, key: str):
        return self._d[key]

    @property
    def best(self) -> int:
        """The run's best fitness (65000, or 2^43 and more on a wide run:
        no connected topology)."""
        return self._d["best"]

    @property
    def feasible(self) -> bool:
        return self._d["feasible"]

    @property
    def topology(self) -> _np.ndarray:
        """The best topology as a (k, 2) array of 1-based pairs, u < v
        (empty when the run made no launch)."""
        t = self._d["topology"] or []
        return _np.array(t, dtype=_np.int64).reshape(-1, 2)

    @property
    def history(self) -> list[int]:
        """The best before each launch, then the final best."""
        return list(self._d["history"])

    @property
    def seconds(self) -> float:
        return self._d["seconds"]

    @property
    def seconds_to_best(self) -> float:
        return self._d["seconds_to_best"]

    @property
    def stop(self) -> str:
        """``"generations"``, ``"time"`` or ``"target"``."""
        return self._d["stop"]

    @property
    def settings(self) -> dict:
        return dict(self._d["settings"])

    def to_networkx(self, instance: Instance | None = None):
        """The best topology as a ``networkx.Graph`` (networkx is optional:
        the ``networkx`` extra): nodes 1..n, one edge per link, the run's
        ``instance``, ``seed`` and ``best`` as graph attributes. Given the
        run's ``Instance``, each edge also has its ``weight`` and each node
        its ``power`` (its heaviest link, never below 0), which sum to the
        energy."""
        try:
            import networkx
        except ImportError:
            raise ImportError("Result.to_networkx needs networkx: pip install networkx") from None
        d = self._d
        g = networkx.Graph(instance=d["instance"], seed=d["seed"], best=d["best"])
        g.add_nodes_from(range(1, d["nodes"] + 1))
        links = self.topology.tolist()
        if instance is None:
            g.add_edges_from(map(tuple, links))
            return g
        if instance.n != d["nodes"]:
            raise InstanceError(f"{instance.name}: {instance.n} nodes; the run's instance has "
                                f"{d['nodes']}")
        w = instance.weights
        power = _np.zeros(instance.n + 1, dtype=_np.int64)
        for u, v in links:
            g.add_edge(u, v, weight=int(w[u - 1, v - 1]))
            power[u] = max(power[u], w[u - 1, v - 1])
            power[v] = max(power[v], w[u - 1, v - 1])
        networkx.set_node_attributes(g, {v: int(power[v]) for v in g.nodes}, "power")
        return g

    def __repr__(self) -> str:
        d = self._d
        return (f"Result({d['instance']!r}, seed={d['seed']}, best={d['best']}, "
                f"launches={d['launches']}, stop={d['stop']!r})")


def _word(value, name: str) -> str:
    """A value as a runs-file word (NumPy's numbers as Python's)."""
    if isinstance(value, (bool, _np.bool_)):
        raise SmetpError(f"{name}: {value!r} is a bool; give a number or a word")
    if isinstance(value, float):  # np.float64 too, whose repr is no number
        return repr(float(value))
    if isinstance(value, _np.integer):
        return str(int(value))
    return str(value)


def _whole(value, name: str) -> int:
    """A whole-number field as the engine takes it (NumPy's integers as
    Python's; a text of an optional sign and digits as its number)."""
    if isinstance(value, (bool, _np.bool_)):
        raise SmetpError(f"{name}: {value!r} is a bool; give a number or a word")
    if isinstance(value, _np.integer):
        value = int(value)
    elif isinstance(value, str) and _re.fullmatch(r"[+-]?[0-9]+", value):
        value = int(value)
    if not isinstance(value, int) or not -(1 << 31) <= value < (1 << 31):
        raise SmetpError(f"{name} {_quote(value)} is not a whole number (an optional sign and "
                         f"digits, within 32-bit integers)")
    return value


def _density(value) -> float:
    """The density as the engine takes it: a number from 0 to 1."""
    if isinstance(value, (bool, _np.bool_)):
        raise SmetpError(f"density: {value!r} is a bool; give a number or a word")
    try:
        d = float(value) if isinstance(value, (int, float, _np.integer, _np.floating, str)) \
            else None
    except ValueError:
        d = None
    if d is None or not 0 <= d <= 1:
        raise SmetpError(f"density {_quote(value)} is not a number from 0 to 1")
    return d


def _quote(value) -> str:
    text = str(value)
    return f'"{text}"' if len(text) <= 60 else f'"{text[:60]}..."'


def _line(run: Mapping[str, Any], instances: dict, notes: dict) -> tuple:
    """A run description as the record the engine takes: (graph, seed,
    generations or None, hardness, density, words), the words its settings,
    time limit and target as ``name=value``. Warns, once a batch (as
    smetp-batch does), of generations that are not a multiple of 50."""
    if not isinstance(run, _abc.Mapping):
        raise SmetpError(f"a run is a dict with the fields {', '.join(_FIELDS)}, not "
                         f"{type(run).__name__}")
    for field in ("instance", "seed"):
        if field not in run:
            raise SmetpError(f"the run has no {field!r}")
    inst = run["instance"]
    if isinstance(inst, Instance):
        graph = inst._graph
    elif isinstance(inst, (str, _os.PathLike)):
        path = _os.fspath(inst)
        graph = instances.get(path)
        if graph is None:
            graph = instances[path] = Instance.read(path)._graph
    else:
        raise SmetpError(f"instance: a path or an Instance, not {type(inst).__name__}")
    gens = run.get("generations")
    seed = _whole(run["seed"], "seed")
    gens = None if gens is None else _whole(gens, "generations")
    hardness = _whole(run.get("hardness", 0), "hardness")
    density = _density(run.get("density", 0.3))
    words = []
    for key, value in run.items():
        if key in _FIELDS or value is None and key in _STOPS:
            continue
        if not isinstance(key, str) or not key or any(c.isspace() or c in "#=" for c in key):
            raise SmetpError(f"{key!r}: not a setting name")
        text = _word(value, key)
        if not text or any(c.isspace() for c in text) or text.startswith("#"):
            raise SmetpError(f"{key}={text!r}: not a setting value")
        words.append(f"{key}={text}")
    if gens is not None and gens >= 0 and gens % 50 and not notes.get("generations"):
        notes["generations"] = True
        _warnings.warn(f"generations={gens} is not a multiple of 50: a run makes generations / 50 "
                       f"launches of 50 generations, so {gens} makes {gens // 50 * 50} generations",
                       SmetpWarning, stacklevel=3)
    return graph, seed, gens, hardness, density, words


class _Progress:
    """``progress=True``: runs done (of how many, where known), the best so
    far (of the runs in progress and the finished ones that connect all
    nodes) and the launches, on standard error. A tqdm bar
    where tqdm is installed; else a line redrawn in place on a terminal, and
    elsewhere (a log, a notebook's pipe) whole lines, at most one every 5 s."""

    def __init__(self, total: int | None):
        self.total, self.done, self.launches = total, 0, 0
        self.best = self.finished_best = -1  # -1: no connected topology yet
        self.tty = _sys.stderr.isatty()
        self.shown_at = None
        try:
            from tqdm.auto import tqdm
        except ImportError:
            self.bar = None
        else:
            self.bar = tqdm(total=total, unit="run", desc="smetp", file=_sys.stderr)

    def best_text(self) -> str:
        known = [b for b in (self.best, self.finished_best) if b >= 0]
        return str(min(known)) if known else "-"

    def text(self) -> str:
        runs = f"{self.done}/{self.total}" if self.total is not None else f"{self.done}"
        return f"{runs} runs, best {self.best_text()}, {self.launches} launches"

    def show(self, final: bool = False) -> None:
        if self.bar is not None:
            self.bar.n = self.done
            self.bar.set_postfix_str(f"best {self.best_text()}, {self.launches} launches",
                                     refresh=False)
            self.bar.refresh()
            if final:
                self.bar.close()
            return
        if self.tty:
            _sys.stderr.write(f"\rsmetp: {self.text()}\x1b[K" + ("\n" if final else ""))
        else:
            import time

            now = time.monotonic()
            if not final and self.shown_at is not None and now - self.shown_at < 5:
                return
            self.shown_at = now
            _sys.stderr.write(f"smetp: {self.text()}\n")
        _sys.stderr.flush()

    def __call__(self, launches: int, best: int) -> None:
        self.launches, self.best = launches, best
        self.show()

    def run_done(self, result: Result) -> None:
        self.done += 1
        if result.feasible and (self.finished_best < 0 or result.best < self.finished_best):
            self.finished_best = result.best
        if self.bar is not None or self.tty:
            self.show()


# Seconds between two checkpoints of a run (batch's checkpoint_every), as
# smetp-batch's --checkpoint-every.
_CHECKPOINT_EVERY: float = 60.0


def batch(runs: Iterable[Mapping[str, Any]], jobs: int | None = None,
          time_limit: float | None = None, target: float | None = None,
          progress: Callable[[int], Any] | bool | None = None,
          resident: int | None = None, islands: int | None = None,
          checkpoint: str | _os.PathLike | None = None,
          checkpoint_every: float = _CHECKPOINT_EVERY) -> Iterator[Result]:
    """Runs the runs on the engine's streaming pool and yields their results
    in run order as they finish.

    Each run is a dict with the runs-file fields ``instance`` (a path or an
    :class:`Instance`), ``seed``, ``generations`` (None or left out: no limit,
    which needs a time limit), ``hardness`` (default 0), ``density``
    (default 0.3), and GA settings, ``time_limit`` and ``target`` as further
    keys (``links=6``, ``profile="design"``; a run gets ``profile="solve"``
    unless it names another, and a named setting overrides only itself). ``time_limit`` and
    ``target`` here apply to every run that does not name its own.

    ``jobs`` is the number of worker threads (default: the cores);
    ``resident`` the runs resident at once (default: the form's). A run
    with ``islands=I`` takes I blocks of one launch: ``islands`` is the most
    islands of any run, looked up in a list of runs, needed for runs with
    islands from an iterator.
    ``checkpoint`` is a folder for the state of the unfinished runs, written
    every ``checkpoint_every`` seconds and when the batch stops (Ctrl-C, the
    generator closed); a later batch with the same folder continues each run
    from its checkpoint (the run at the same position, with the same fields,
    settings and instance) and ends it as the run made in one go would end
    (the times aside). A finished run's checkpoint is removed; one of another
    run is refused with a warning and the run starts from its beginning.
    ``progress`` is called with the launches made so far (``True``: runs
    done, the best of the runs in progress and the launches on standard
    error, through tqdm where it is installed). A list of runs is checked whole before any run
    starts; runs from an iterator are checked as they are taken, and a bad
    one raises :class:`RunError` once the results before it are yielded.
    Ctrl-C raises KeyboardInterrupt after the launches in progress; the
    results already yielded stay valid. Closing the generator stops the
    batch. The engine runs with the GIL released."""
    jobs = (_os.cpu_count() or 1) if jobs is None else jobs
    # The command line's ranges for --jobs and --resident.
    if not (isinstance(jobs, int) and 1 <= jobs <= 4096):
        raise SmetpError(f"jobs: {jobs!r} not in [1 - 4096]")
    if resident is not None and not (isinstance(resident, int) and 1 <= resident <= 1 << 20):
        raise SmetpError(f"resident: {resident!r} not in [1 - 1048576]")
    stops = {}
    if time_limit is not None:
        stops["time_limit"] = time_limit
    if target is not None:
        stops["target"] = target
    for key, value in stops.items():
        try:
            _core.check_run(1, None, 0, 0.3, [f"{key}={_word(value, key)}"])
        except ValueError as e:
            raise SmetpError(f"{key}: {e}") from None
    if isinstance(runs, (_abc.Mapping, str, bytes)):
        raise SmetpError(f"batch takes a list or an iterable of runs (dicts), not one "
                         f"{type(runs).__name__}: batch([run]), or run(**run) for one run")
    instances: dict[str, _core.Graph] = {}
    notes: dict = {"capped": set()}
    if isinstance(runs, (list, tuple)):
        # The whole list checked first, as smetp-batch checks a runs file.
        records = []
        for i, r in enumerate(runs):
            try:
                record = _line(r, instances, notes)
                _core.check_run(*record[1:5], record[5] + _stop_words(stops, r))
            except SmetpError as e:
                raise RunError(i, str(e)) from None
            except ValueError as e:
                raise RunError(i, str(e)) from None
            records.append(record)
        source: Iterator = iter(records)
    else:
        source = (_line(r, instances, notes) for r in runs)
    total = len(runs) if isinstance(runs, (list, tuple)) else None
    if islands is None:
        islands = max([1] + [int(r.get("islands") or 1) for r in runs]) if total else 1
    if not (isinstance(checkpoint_every, (int, float)) and 0 <= checkpoint_every <= 1e9):
        raise SmetpError(f"checkpoint_every: {checkpoint_every!r} not in [0 - 1e9]")
    folder = "" if checkpoint is None else _os.fspath(checkpoint)
    return _stream(source, jobs, resident or 0, stops, progress, notes, total, islands,
                   (folder, float(checkpoint_every)))


def _stop_words(stops: dict, run: Mapping) -> list:
    """The batch's time limit and target as the words of a run that names
    none of its own."""
    return [f"{k}={_word(v, k)}" for k, v in stops.items() if run.get(k) is None]


def _stream(source: Iterator, jobs: int, resident: int, stops: dict, progress,
            notes: dict, total: int | None = None, islands: int = 1,
            checkpoint: tuple = ("", 0.0)) -> Iterator[Result]:
    def next_run():
        # The next run, None at the end; what the iterable raises ends the
        # runs and is raised in the consumer's thread once the runs before it
        # are yielded. Called by the engine's feeder thread, one run at a
        # time, as the pool needs them.
        return next(source, None)

    bar = _Progress(total) if progress is True else None
    if bar is not None:
        def progress(launches: int):
            bar(launches, b.best)
    elif progress is False:
        progress = None
    b = _core.start_batch(next_run, int(jobs), int(resident),
                          float(stops.get("time_limit", 0.0)), float(stops.get("target", -1.0)),
                          _MAX_INSTANCES, max(total or 0, 0), int(islands), *checkpoint)
    _watch(b)
    try:
        while True:
            results = b.next(progress)
            if results is None:
                break
            for d in results:
                d["runs_sha256"] = None
                if d["capped"] and d["instance"] not in notes["capped"]:
                    # Once an instance, as smetp-batch warns.
                    notes["capped"].add(d["instance"])
                    _warnings.warn(f"run {d['index']} ({d['instance']} seed {d['seed']}) ends "
                                   "at the energy cap 64999: its true energy may be higher, so "
                                   "runs of this instance cannot be compared by energy (scale "
                                   "its weights down)", SmetpWarning, stacklevel=2)
                r = Result(d)
                if bar is not None:
                    bar.run_done(r)
                yield r
        failure = b.failure()
        if failure is not None:
            run, reason, exc = failure
            if exc is None:
                raise RunError(run, reason)
            if isinstance(exc, SmetpError) and not isinstance(exc, RunError):
                raise RunError(run, str(exc)) from None
            raise exc
    finally:
        _unwatch(b)
        b.close()
        if bar is not None:
            bar.show(final=True)
        for note in b.checkpoint_notes():
            _warnings.warn(note, SmetpWarning, stacklevel=2)


# A batch still running when the interpreter exits (in a daemon thread, or
# after Ctrl-C left a thread's batch behind) is stopped before Python
# finalises: its threads then never take the interpreter again, and the exit
# goes on as Python's own (files flushed, status kept).
_atexit.register(_core.shutdown)

# Ctrl-C may come while the caller's code runs between two results, and the
# KeyboardInterrupt then leaves the generator suspended (a traceback can keep
# it for long): a SIGINT handler stops every running batch at once, then
# raises as Python's own handler does. It is installed only over Python's
# default handler, in the main thread, while batches run.
_running: dict[int, Any] = {}
_installed = None


def _on_sigint(signum, frame):
    for b in list(_running.values()):
        b.request_stop()
    return _signal.default_int_handler(signum, frame)


def _watch(b) -> None:
    global _installed
    _running[id(b)] = b
    if (_installed is None and _threading.current_thread() is _threading.main_thread()
            and _signal.getsignal(_signal.SIGINT) is _signal.default_int_handler):
        _signal.signal(_signal.SIGINT, _on_sigint)
        _installed = _on_sigint


def _unwatch(b) -> None:
    global _installed
    _running.pop(id(b), None)
    if (not _running and _installed is not None
            and _threading.current_thread() is _threading.main_thread()):
        if _signal.getsignal(_signal.SIGINT) is _on_sigint:
            _signal.signal(_signal.SIGINT, _signal.default_int_handler)
        _installed = None


def run(instance: Instance | str | _os.PathLike, seed: int, generations: int | None = None,
        hardness: int = 0, density: float = 0.3, time_limit: float | None = None,
        target: float | None = None, **settings) -> Result:
    """One run (one worker thread); ``generations=None`` leaves them open,
    which needs a time limit. Settings as keywords: ``links=6``, ``kick=4``
    ... over ``profile="solve"`` (the default), or ``profile="design"``."""
    r = {"instance": instance, "seed": seed, "generations": generations, "hardness": hardness,
         "density": density, "time_limit": time_limit, "target": target, **settings}
    try:
        return next(iter(batch([r], jobs=1)))
    except RunError as e:
        raise SmetpError(e.reason) from None


def solve(instance: Instance | str | _os.PathLike, time_limit: float | None = None,
          islands: int | None = None, seed: int = 1, target: float | None = None,
          generations: int | None = None, jobs: int | None = None,
          progress: Callable[[int], Any] | bool | None = None, **settings) -> Result:
    """One instance with the whole machine, as ``smetp-batch solve``: one run
    of ``profile="solve"`` with ``islands`` populations (default: one a
    worker, or a block on each place of the GPU) that exchange their best
    chromosomes. ``time_limit`` defaults to 30 s unless ``generations`` is
    given; settings as keywords (``links=12``, ``migrate_every=5``)."""
    jobs = (_os.cpu_count() or 1) if jobs is None else jobs
    if islands is None:
        islands = min(max(_core.concurrent_blocks(int(jobs)), 1), 4096)
    if time_limit is None and generations is None:
        time_limit = 30.0
    r = {"instance": instance, "seed": seed, "generations": generations,
         "time_limit": time_limit, "target": target, "islands": islands, **settings}
    try:
        return next(iter(batch([r], jobs=jobs, progress=progress)))
    except RunError as e:
        raise SmetpError(e.reason) from None


def to_frame(results: Iterable[Result]):
    """The results as a pandas DataFrame, one row per run: the result's
    fields, each setting as a column ``settings.NAME`` (needs pandas)."""
    try:
        import pandas as pd
    except ImportError:
        raise ImportError("to_frame needs pandas: pip install pandas") from None
    rows = []
    for r in results:
        d = r.as_dict()
        for k, v in d.pop("settings").items():
            d[f"settings.{k}"] = v
        rows.append(d)
    return pd.DataFrame(rows)


del annotations
