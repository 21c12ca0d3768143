"""The lower bound: never above the optimum, whatever the instance, the
restricted links or the multipliers; cached; shown beside results."""
import json
import random

import numpy as np
from helpers import enumerate_optimum, instance, instance_text, run_record, write_jsonl
from smetp_lab.bound import _Pricing, _Program, lower_bound
from smetp_lab.cli import main
from smetp_lab.exact import solve
from smetp_lab.heuristics import mst


def points_instance(n: int, seed: int, alpha: float, scale: float) -> str:
    rng = random.Random(seed)
    pts = [(rng.uniform(0, 1000), rng.uniform(0, 1000)) for _ in range(n)]
    w = {}
    for u in range(n):
        for v in range(u + 1, n):
            d = ((pts[u][0] - pts[v][0]) ** 2 + (pts[u][1] - pts[v][1]) ** 2) ** 0.5
            w[(u + 1, v + 1)] = round(scale * d**alpha)
    return instance_text(n, w)


def test_bound_never_above_the_enumerated_optimum():
    # Small complete and incomplete instances, zero, negative and tied
    # weights, with as few as 2 links per node in the first program so that
    # pricing has to bring in the rest.
    rng = random.Random(11)
    for k in range(10):
        n = 5 + k % 2
        if k < 8:
            text = instance_text(n, rng=rng, low=-20 if k % 3 == 0 else 1, high=60 + 100 * k)
        else:
            text = instance_text(7, rng=rng, edges=14 + 2 * (k - 8), high=300)
        inst = instance(text)
        opt = enumerate_optimum(inst)
        r = lower_bound(inst, 30, nearest=2, search_seconds=0, branch=False)
        assert r["bound"] <= opt, (k, r)
        assert r["complete"] and r["bound"] >= r["mst"]


def test_bound_never_above_the_proven_optimum_on_random_points():
    # The fast version of the 200-instance check (5 to 30 nodes, alpha 1
    # to 4): each bound against exact's proven optimum.
    rng = random.Random(5)
    tight = 0
    for k in range(12):
        n = rng.randint(5, 30)
        alpha = 1 + k % 4
        inst = instance(points_instance(n, 100 + k, alpha, [1, 0.01, 1e-5, 1e-8][alpha - 1]))
        e = solve(inst, 60)
        opt = e.get("true_optimum", e["optimum"])
        r = lower_bound(inst, 30, nearest=[2, 3, 8][k % 3], search_seconds=0.02,
                        branch=False)
        assert e["proven"] and r["bound"] <= opt, (k, n, alpha, r, opt)
        tight += r["bound"] >= 0.98 * opt
    # The relaxation is strong on such instances, not merely valid.
    assert tight >= 9


def test_lagrangian_is_a_bound_for_any_multipliers():
    # The bound's validity rests on the Lagrangian function being computed
    # over the complete instance: with multipliers of the right signs, but
    # otherwise anything (here the program's duals, shaken), it must stay at
    # or below the optimum, though the program holds the tree's links only.
    rng = np.random.default_rng(3)
    inst = instance(instance_text(6, rng=random.Random(4), high=90))
    opt = enumerate_optimum(inst)
    prog = _Program(inst, set(mst(inst)))
    pr = _Pricing(inst)
    # A cut and a power cut of each side of a few node sets.
    for nodes in ([1, 2], [3, 4, 5], [1]):
        inside = np.zeros(6, dtype=bool)
        inside[nodes] = True
        prog.dcuts.append(inside)
        for side in (inside, ~inside):
            members = np.nonzero(side)[0]
            prog.ecuts.append((members, pr.W[members][:, ~side].min(axis=1).astype(np.int64)))
    prog.build()
    prog.h.run()
    d0 = np.array(prog.h.getSolution().row_dual)
    lp = prog.h.getInfo().objective_function_value
    kinds = [k[0] for k in prog.kinds]
    values = []
    for k in range(200):
        d = d0 + rng.normal(0, 0 if k == 0 else 15, len(kinds))
        for i, kind in enumerate(kinds):
            if kind in ("D", "E"):
                d[i] = max(d[i], 0.0)
            elif kind in ("B", "C"):
                d[i] = min(d[i], 0.0)
        values.append(prog.lagrangian(d, pr)[0])
    assert max(values) <= opt + 1e-6
    # Not vacuous: the program's own duals give nearly its value (less what
    # the links it lacks could gain).
    assert values[0] >= 0.5 * lp > 0


def test_bound_command_prints_and_caches(tmp_path, capsys):
    path = tmp_path / "p12.txt"
    path.write_text(points_instance(12, 3, 2, 0.01))
    cache = str(tmp_path / "cache")
    assert main(["bound", str(path), "--time-limit", "20", "--cache-dir", cache, "-q",
                 "--json"]) == 0
    first = json.loads(capsys.readouterr().out)
    opt = solve(instance(path.read_text()), 60)["optimum"]
    # Time left after the relaxation went to branch and bound: on 12 nodes
    # it proves the optimum, and the bound is final.
    assert first["bound"] == opt == first["best"] and first["final"] and not first["cached"]
    assert main(["bound", str(path), "--time-limit", "20", "--cache-dir", cache, "-q"]) == 0
    out = capsys.readouterr().out
    assert f"bound: {first['bound']} " in out and "(from the cache)" in out
    assert "linear relaxation" in out


def test_verify_and_report_show_the_certified_gap(tmp_path, capsys):
    text = points_instance(10, 8, 1, 1)
    path = tmp_path / "p10.txt"
    path.write_text(text)
    inst = instance(text, str(path))
    cache = str(tmp_path / "cache")
    results = tmp_path / "r.jsonl"
    write_jsonl(results, [run_record(inst, "p10.txt", 0, mst(inst))])
    # No bound known yet: no gap is claimed.
    assert main(["verify", str(results), "--cache-dir", cache]) == 0
    assert "certified gap" not in capsys.readouterr().out
    assert main(["bound", str(path), "--time-limit", "20", "--cache-dir", cache, "-q",
                 "--json"]) == 0
    b = json.loads(capsys.readouterr().out)["bound"]
    assert main(["verify", str(results), "--cache-dir", cache]) == 0
    out = capsys.readouterr().out
    best = run_record(inst, "p10.txt", 0, mst(inst))["best"]
    assert f"certified gap {100 * (best - b) / best:.2f} % (bound {b}" in out
    out_dir = tmp_path / "rep"
    assert main(["report", str(results), "-o", str(out_dir), "--cache-dir", cache, "-q"]) == 0
    md = (out_dir / "report.md").read_text()
    assert "certified gap" in md and str(b) in md
