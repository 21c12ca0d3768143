#!/usr/bin/env python3
"""Times the exact optimum of the bundled samples (no cache) and prints the
gaps of the minimum spanning tree and of the local search from it.

    .venv/bin/python bench/bench_lab.py [--time-limit S] [INSTANCE ...]
"""
import argparse
import os
import resource
import sys
import time

from smetp_lab.energy import energy
from smetp_lab.exact import solve
from smetp_lab.heuristics import local_search, mst
from smetp_lab.instance import read_instance

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def cpu() -> float:
    """Processor seconds of this process (the solver's threads included):
    steadier than wall time on a shared machine."""
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("instances", nargs="*",
                   default=[os.path.join(ROOT, "data", f"g{n}.txt") for n in (10, 20, 30, 45)])
    p.add_argument("--time-limit", type=float, default=300)
    a = p.parse_args()
    print(f"{'instance':<10} {'nodes':>5} {'optimum':>8} {'proven':>6} {'exact s':>8} {'cpu s':>6} "
          f"{'MST':>6} {'MST gap':>8} {'LS':>6} {'LS gap':>7} {'LS s':>6}")
    for path in a.instances:
        inst = read_instance(path)
        tree = mst(inst)
        t0 = time.perf_counter()
        ls = local_search(inst, tree)
        ls_s = time.perf_counter() - t0
        c0 = cpu()
        r = solve(inst, a.time_limit)
        cpu_s = cpu() - c0
        opt = r["optimum"]
        e_mst, e_ls = energy(inst, tree), energy(inst, ls)
        print(f"{inst.name:<10} {inst.n:>5} {opt:>8} {'yes' if r['proven'] else 'no':>6} "
              f"{r['seconds']:>8.2f} {cpu_s:>6.2f} {e_mst:>6} {100 * (e_mst - opt) / opt:>7.2f}% "
              f"{e_ls:>6} {100 * (e_ls - opt) / opt:>6.2f}% {ls_s:>6.2f}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
