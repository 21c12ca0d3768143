#!/usr/bin/env python3
"""Times smetp-lab: the exact optimum of instances (no cache; the bundled
samples by default) with the gaps of the minimum spanning tree and of the
local search from it; optionally the baseline on a large generated instance
and a report over a results file.

    .venv/bin/python bench/bench_lab.py [--time-limit S] [INSTANCE ...]
    .venv/bin/python bench/bench_lab.py --no-exact --baseline-nodes 1000
    .venv/bin/python bench/bench_lab.py --no-exact --report results.jsonl

Exact times are wall seconds; "cpu s" counts the processor time of this
process (steadier on a shared machine); "peak MB" is the process's largest
resident size so far.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

from smetp_lab.energy import energy
from smetp_lab.exact import solve
from smetp_lab.heuristics import local_search, mst
from smetp_lab.instance import read_instance

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def bench_exact(paths, time_limit):
    print(f"{'instance':<10} {'nodes':>5} {'optimum':>8} {'bound':>8} {'gap':>6} {'proven':>6} "
          f"{'exact s':>8} {'cpu s':>7} {'peak MB':>7} {'MST':>6} {'MST gap':>8} {'LS':>6} "
          f"{'LS gap':>7}")
    for path in paths:
        inst = read_instance(path)
        tree = mst(inst)
        ls = local_search(inst, tree)
        c0 = cpu()
        r = solve(inst, time_limit)
        cpu_s = cpu() - c0
        opt = r["optimum"]
        e_mst, e_ls = energy(inst, tree), energy(inst, ls)
        print(f"{inst.name:<10} {inst.n:>5} {opt:>8} {r['bound']:>8.0f} {100 * r['gap']:>5.2f}% "
              f"{'yes' if r['proven'] else 'no':>6} {r['seconds']:>8.2f} {cpu_s:>7.1f} "
              f"{peak_mb():>7.0f} {e_mst:>6} {100 * (e_mst - opt) / opt:>7.2f}% {e_ls:>6} "
              f"{100 * (e_ls - opt) / opt:>6.2f}%", flush=True)


def bench_baseline(nodes):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, f"g{nodes}.txt")
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make_instance.py"),
                        str(nodes), "1", "-o", path], check=True, stderr=subprocess.DEVNULL)
        t0 = time.perf_counter()
        out = subprocess.run([sys.executable, "-m", "smetp_lab.cli", "baseline", path, "--json"],
                             check=True, capture_output=True, text=True).stdout
        wall = time.perf_counter() - t0
    r = json.loads(out)
    print(f"baseline on {nodes} nodes (smetp-lab baseline, the whole command): {wall:.1f} s; "
          f"MST {r['mst']['energy']}, local search {r['local_search']['energy']}")


def bench_report(results):
    with tempfile.TemporaryDirectory() as d:
        t0 = time.perf_counter()
        subprocess.run([sys.executable, "-m", "smetp_lab.cli", "report", results, "-o", d, "-q"],
                       check=True, stdout=subprocess.DEVNULL)
        wall = time.perf_counter() - t0
    runs = sum(1 for line in open(results) if line.strip())
    print(f"report on {runs} runs of {results} (the whole command): {wall:.1f} s")


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("instances", nargs="*",
                   default=[os.path.join(ROOT, "data", f"g{n}.txt") for n in (10, 20, 30, 45)])
    p.add_argument("--time-limit", type=float, default=300)
    p.add_argument("--no-exact", action="store_true", help="skip the exact optimum")
    p.add_argument("--baseline-nodes", type=int, metavar="N",
                   help="also time the baseline on a generated instance of N nodes")
    p.add_argument("--report", metavar="RESULTS", help="also time a report over RESULTS")
    a = p.parse_args()
    if not a.no_exact:
        bench_exact(a.instances, a.time_limit)
    if a.baseline_nodes:
        bench_baseline(a.baseline_nodes)
    if a.report:
        bench_report(a.report)


if __name__ == "__main__":
    sys.exit(main())
