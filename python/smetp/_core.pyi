"""The compiled engine of smetp; use the smetp module instead."""
from typing import Any, Callable

import numpy as np

class Graph:
    """An instance as the engine reads it."""
    @property
    def n(self) -> int: ...
    @property
    def wide(self) -> bool: ...
    @property
    def sparse(self) -> bool: ...
    @property
    def name(self) -> str: ...
    def links(self) -> np.ndarray:
        """Every link as an (m, 3) array: 1-based u < v, weight."""

class Batch:
    """A batch running on the engine's pool."""
    def next(self, progress: Callable[[int], Any] | None) -> list[dict] | None:
        """The next results in run order (dicts of a result line's fields); None at the end."""
    def close(self) -> None:
        """Stops the batch and waits for its threads."""
    def checkpoint_notes(self) -> list[str]:
        """Checkpoints that were refused or could not be written, once the batch has ended."""
    @property
    def best(self) -> int:
        """The lowest best of the runs in progress that connects all nodes; -1: none."""
    def request_stop(self) -> None:
        """Asks the batch to stop after the launches in progress, without waiting."""
    def failure(self) -> tuple[int, str, BaseException | None] | None:
        """What ended the runs early: (run, reason, exception) or None."""

def read_graph(path: str) -> Graph: ...
def parse_graph(text: bytes, name: str) -> Graph: ...
def check_run(seed: int, generations: int | None, hardness: int, density: float,
              words: list[str]) -> None: ...
def backend() -> str: ...
def start_batch(next_run: Callable[[], Any], jobs: int, resident: int, time_limit: float,
                target: float, max_instances: int, runs: int, islands: int = 1,
                checkpoint: str = "", checkpoint_every: float = 0.0) -> Batch: ...
def concurrent_blocks(jobs: int) -> int: ...
