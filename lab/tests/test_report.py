"""The report, polish, merge and plot-progress on small hand-made results."""
import csv
import json
import random
import statistics

import pytest
from helpers import instance, instance_text, run_record, write_jsonl
from smetp_lab import plots
from smetp_lab.cli import main
from smetp_lab.energy import energy
from smetp_lab.exact import solve
from smetp_lab.heuristics import local_search, mst


def random_tree(n, rng):
    return sorted(tuple(sorted((v, rng.randrange(v)))) for v in range(1, n))


@pytest.fixture
def sweep(tmp_path):
    """Two instances (one with a coordinates file), two parameter sets of
    three seeds each on the first, one run without a topology."""
    rng = random.Random(11)
    texts = {"a.txt": instance_text(8, rng=rng, high=900), "b.txt": instance_text(6, rng=rng)}
    insts = {}
    for name, text in texts.items():
        (tmp_path / name).write_text(text)
        insts[name] = instance(text, name)
    (tmp_path / "a.xy").write_text("".join(f"{rng.random()} {rng.random()}\n" for _ in range(8)))
    runs = []
    for density in (0.3, 0.5):
        for seed in (1, 2, 3):
            links = random_tree(8, rng)
            runs.append(run_record(insts["a.txt"], "a.txt", len(runs), links, seed=seed,
                                   density=density))
    runs.append(run_record(insts["b.txt"], "b.txt", len(runs), mst(insts["b.txt"])))
    runs.append(run_record(insts["b.txt"], "b.txt", len(runs), None, seed=2))
    res = tmp_path / "results.jsonl"
    write_jsonl(res, runs)
    return tmp_path, res, runs, insts


def test_report_files_and_table(sweep, capsys):
    tmp, res, runs, insts = sweep
    out = tmp / "rep"
    assert main(["report", str(res), "--exact", "--cache-dir", str(tmp / "cache"),
                 "-o", str(out), "-q"]) == 0
    names = sorted(p.name for p in out.iterdir())
    assert names == ["convergence.png", "ecdf.png", "final_energies.png", "report.md", "summary.csv",
                     "time_to_target.png", "topology_a.png", "topology_b.png"]
    rows = list(csv.DictReader(open(out / "summary.csv")))
    assert [(r["instance"], r["density"], r["runs"]) for r in rows] == [
        ("a.txt", "0.3", "3"), ("a.txt", "0.5", "3"), ("b.txt", "0.3", "2")]
    a = insts["a.txt"]
    opt = solve(a, 60)["optimum"]
    tree = mst(a)
    for row, group in ((rows[0], runs[:3]), (rows[1], runs[3:6])):
        bests = sorted(r["best"] for r in group)
        polished = min(energy(a, local_search(a, [(u - 1, v - 1) for u, v in r["topology"]]))
                       for r in group)
        assert (int(row["ga_best"]), float(row["ga_median"]), int(row["ga_worst"])) == (
            bests[0], statistics.median(bests), bests[-1])
        assert int(row["polished_best"]) == polished
        assert int(row["mst"]) == energy(a, tree)
        assert int(row["local_search"]) == energy(a, local_search(a, tree))
        assert int(row["optimum"]) == opt and row["proven"] == "yes"
        assert float(row["gap_ga_best_pct"]) == round(100 * (bests[0] - opt) / opt, 2)
        assert float(row["gap_mst_pct"]) == round(100 * (energy(a, tree) - opt) / opt, 2)
        assert row["verified_runs"] == "3"
    assert rows[2]["feasible_runs"] == "1" and rows[2]["ga_worst"] == "65000"
    assert rows[2]["gap_ga_worst_pct"] == ""  # no gap for a run without a topology
    md = (out / "report.md").read_text()
    assert "![convergence](convergence.png)" in md and "topology_a.png" in md
    assert f"| a.txt | h 0, d 0.3, 200 gen | 3 | 3 | 0 | {rows[0]['ga_best']} |" in md


def test_report_says_which_instance_is_missing(sweep, capsys):
    tmp, res, runs, _ = sweep
    runs[4]["instance"] = "gone/c.txt"
    write_jsonl(res, runs)
    assert main(["report", str(res), "-o", str(tmp / "rep"), "-q"]) == 1
    assert capsys.readouterr().err.startswith(
        f"smetp-lab: {res}:5: instance gone/c.txt not found")
    # An instances folder is searched by the file's last name too.
    assert main(["verify", str(res), "--instances-dir", str(tmp)]) == 1  # c.txt is not there
    (tmp / "c.txt").write_text((tmp / "a.txt").read_text())
    assert main(["verify", str(res), "--instances-dir", str(tmp)]) == 0


def test_polish_adds_fields_and_keeps_the_run(sweep):
    tmp, res, runs, insts = sweep
    out = tmp / "polished.jsonl"
    assert main(["polish", str(res), "-o", str(out)]) == 0
    polished = [json.loads(line) for line in out.read_text().splitlines()]
    assert len(polished) == len(runs)
    for before, after in zip(runs, polished):
        assert {k: after[k] for k in before} == before
        assert after["polished"] <= before["best"]
        if before["topology"] is None:
            assert after["polished"] == 65000 and after["polished_topology"] is None
        else:
            inst = insts[before["instance"]]
            links = [(u - 1, v - 1) for u, v in after["polished_topology"]]
            assert energy(inst, links) == after["polished"]


def shards(tmp, runs, count):
    paths = []
    for k in range(count):
        p = tmp / f"shard{k}.jsonl"
        write_jsonl(p, [r for r in runs if r["index"] % count == k])
        paths.append(str(p))
    return paths


def test_merge_orders_shards_and_rebuilds_records(sweep):
    tmp, res, runs, _ = sweep
    out, rec = tmp / "merged.jsonl", tmp / "out.dat"
    assert main(["merge", *shards(tmp, runs, 3), "-o", str(out), "--record", str(rec)]) == 0
    assert out.read_text() == res.read_text()
    assert rec.read_text() == "".join(r["record"] for r in runs)


def test_merge_refuses_missing_duplicate_and_foreign_runs(sweep, capsys):
    tmp, res, runs, _ = sweep
    paths = shards(tmp, runs, 3)
    out = tmp / "merged.jsonl"
    # Without the count, runs past the last index present cannot be missed.
    assert main(["merge", paths[0], paths[2], "-o", str(out)]) == 1
    assert "2 of 7 runs missing: 1, 4" in capsys.readouterr().err
    assert main(["merge", paths[0], paths[2], "--expect", "8", "-o", str(out)]) == 1
    assert "3 of 8 runs missing: 1, 4, 7" in capsys.readouterr().err
    assert not out.exists()
    assert main(["merge", *paths, paths[1], "-o", str(out)]) == 1
    assert "run 1 is present twice" in capsys.readouterr().err
    assert main(["merge", *paths, "--expect", "10", "-o", str(out)]) == 1
    assert "2 of 10 runs missing: 8-9" in capsys.readouterr().err
    assert main(["merge", paths[0], paths[2], "--partial", "--expect", "8", "-o", str(out)]) == 0
    assert "missing: 1, 4, 7" in capsys.readouterr().err
    assert len(out.read_text().splitlines()) == 5
    runs[2]["runs_sha256"] = "cd" * 32
    paths = shards(tmp, runs, 3)
    assert main(["merge", *paths, "-o", str(out)]) == 1
    assert "different runs files" in capsys.readouterr().err


def test_plot_progress(tmp_path, capsys):
    log = tmp_path / "run.out"
    log.write_text("(0,1)=5\nNajbolja:\t65000\t= 50\nNajbolja:\t900\t= 100\n"
                   "Najbolja:\t850\t= 150\nNajbolja:\t850\t= 200\n")
    png = tmp_path / "p.png"
    assert main(["plot-progress", str(log), "-o", str(png)]) == 0
    assert "4 progress lines, best 850 at generation 150" in capsys.readouterr().out
    assert png.stat().st_size > 1000
    log.write_text("nothing here\n")
    assert main(["plot-progress", str(log), "-o", str(png)]) == 1
    assert "no progress lines" in capsys.readouterr().err


def test_capped_runs_are_flagged_and_give_no_gap(tmp_path, capsys):
    # Every topology of this instance scores the cap: 32767 + 32000 + 32767.
    w = {(1, 2): 32767, (1, 3): 32000, (2, 3): 32767}
    text = instance_text(3, w)
    (tmp_path / "c.txt").write_text(text)
    g = instance(text, "c.txt")
    runs = [run_record(g, "c.txt", 0, [(0, 1), (0, 2)]),
            run_record(g, "c.txt", 1, [(0, 1), (1, 2)])]
    runs[1]["capped"] = True  # as the batch marks it; run 0 is derived from its best
    assert runs[0]["best"] == 64999
    write_jsonl(tmp_path / "r.jsonl", runs + [run_record(g, "c.txt", 2, None)])
    assert main(["report", str(tmp_path / "r.jsonl"), "-o", str(tmp_path / "rep"), "-q"]) == 0
    row = next(csv.DictReader(open(tmp_path / "rep" / "summary.csv")))
    assert (row["runs"], row["feasible_runs"], row["capped_runs"]) == ("3", "2", "2")
    assert row["gap_ga_best_pct"] == "" and row["gap_polished_pct"] == ""
    assert "Capped: 2 run(s)" in (tmp_path / "rep" / "report.md").read_text()
    assert main(["table", str(tmp_path / "r.jsonl"), "-o", str(tmp_path / "runs.csv")]) == 0
    table = list(csv.DictReader(open(tmp_path / "runs.csv")))
    assert [(t["index"], t["capped"], t["verified"], t["topology_links"]) for t in table] == [
        ("0", "true", "true", "2"), ("1", "true", "true", "2"), ("2", "false", "true", "")]
    capsys.readouterr()
    runs[0]["capped"] = False  # contradicts its best
    write_jsonl(tmp_path / "r.jsonl", runs)
    assert main(["verify", str(tmp_path / "r.jsonl")]) == 1
    out = capsys.readouterr().out.splitlines()
    assert '"capped" is false with best 64999' in out[0]
    assert out[1].endswith("ok (capped: the engine's cap, the true energy is higher)")


def test_wide_runs_are_judged_by_their_own_scores(tmp_path, capsys, monkeypatch):
    # A capped instance (every topology above 64999) run wide: exact energies,
    # one run connected at the optimum 120000, one unconnected (2^43 above).
    w = {(1, 2): 40000, (1, 3): 50000, (2, 3): 40000}
    text = instance_text(3, w)
    (tmp_path / "c.txt").write_text(text)
    g = instance(text, "c.txt")
    runs = []
    for k, (ls, best) in enumerate([([(0, 1), (1, 2)], 120000), ([(0, 1)], 2**43 + 80000)]):
        r = run_record(g, "c.txt", k, ls, best=best, history=[3 * 2**43, best], launches=1)
        r.update(candidate_links=3, capped=False, feasible=best < 2**43, record=None,
                 settings={"links": 0})
        runs.append(r)
    write_jsonl(tmp_path / "r.jsonl", runs)
    seen = {}
    save = plots._save
    monkeypatch.setattr(plots, "_save", lambda fig, path: (
        seen.__setitem__(path.rsplit("/", 1)[-1], plots.describe(fig)), save(fig, path)))
    assert main(["report", str(tmp_path / "r.jsonl"), "-o", str(tmp_path / "rep"), "-q"]) == 0
    # The plots: the unconnected start (3 * 2^43) sets no axis, and the
    # legends lie below the data.
    (conv,), (final,) = seen["convergence.png"], seen["final_energies.png"]
    assert conv["ylim"][1] < 1000 and conv["legend_clear"] and final["legend_clear"]
    row = next(csv.DictReader(open(tmp_path / "rep" / "summary.csv")))
    assert (row["feasible_runs"], row["capped_runs"], row["ga_best"]) == ("1", "0", "120000")
    assert (row["polished_best"], row["reference"], row["gap_ga_best_pct"]) == (
        "120000", "120000", "0")
    assert row["ga_mean"] == "" and row["gap_ga_worst_pct"] == "" and row["hits"] == "1"
    assert main(["table", str(tmp_path / "r.jsonl"), "-o", str(tmp_path / "runs.csv")]) == 0
    table = list(csv.DictReader(open(tmp_path / "runs.csv")))
    assert [(t["reference"], t["gap"]) for t in table] == [("120000", "0.0"), ("120000", "")]


def test_exact_skips_instances_beyond_its_size_with_a_note(tmp_path, capsys):
    # A ring of 301 nodes is beyond the exact model; the triangle still gets
    # its optimum.
    ring = "sparse 301 301\n" + "".join(f"{v} {v % 301 + 1} 5\n" for v in range(1, 302))
    (tmp_path / "ring.txt").write_text(ring)
    (tmp_path / "c.txt").write_text(instance_text(3, {(1, 2): 5, (1, 3): 7, (2, 3): 9}))
    big, small = instance(ring, "ring.txt"), instance(instance_text(3, {(1, 2): 5, (1, 3): 7,
                                                                         (2, 3): 9}), "c.txt")
    path = [(v, v + 1) for v in range(300)]
    write_jsonl(tmp_path / "r.jsonl", [run_record(big, "ring.txt", 0, path),
                                       run_record(small, "c.txt", 1, [(0, 1), (0, 2)])])
    cache = str(tmp_path / "cache")
    assert main(["table", str(tmp_path / "r.jsonl"), "-o", str(tmp_path / "t.csv"), "--exact",
                 "--cache-dir", cache]) == 0
    assert "ring.txt: 301 nodes, no exact optimum" in capsys.readouterr().err
    table = list(csv.DictReader(open(tmp_path / "t.csv")))
    assert [t["reference"] for t in table] == [str(300 * 5 + 5), "19"]
    assert main(["report", "--instance", str(tmp_path / "ring.txt"), "--instance",
                 str(tmp_path / "c.txt"), "--exact", "--cache-dir", cache, "-q",
                 "-o", str(tmp_path / "rep")]) == 0
    text = (tmp_path / "rep" / "report.md").read_text()
    assert "ring.txt: skipped, 301 nodes" in text and "c.txt: optimum 19" in text


def test_draw_a_run_and_a_topology_file(sweep, capsys):
    tmp, res, runs, insts = sweep
    png = tmp / "d.png"
    assert main(["draw", str(res), "--index", "2", "-o", str(png)]) == 0
    assert capsys.readouterr().out == f"{png}: energy {runs[2]['best']}\n"
    assert png.stat().st_size > 1000
    (tmp / "t.json").write_text(json.dumps(runs[2]["topology"][:2]))
    assert main(["draw", str(tmp / "a.txt"), str(tmp / "t.json"), "-o", str(png)]) == 0
    assert "does not connect all nodes" in capsys.readouterr().out
    assert main(["draw", str(res), "--index", "99", "-o", str(png)]) == 1
    assert capsys.readouterr().err == f"smetp-lab: {res}: no run with index 99\n"


def test_settings_make_groups_of_their_own_and_runs_without_records_merge(sweep):
    tmp, res, runs, insts = sweep
    design = {"elite": 16, "tournament": 8, "crossover": 0.85, "mutation": 0.005,
              "mutation_step": 0.005, "mutation_patience": 1000, "repair": "on",
              "init": "random", "memetic": "none", "memetic_every": 25, "memetic_count": 24}
    for r in runs:
        r["settings"] = dict(design)
    # The second parameter set becomes the first's density with a memetic step.
    for r in runs[3:6]:
        r["density"] = 0.3
        r["settings"].update(memetic="ls", memetic_every=10, kick=2)
        r["record"] = None
    write_jsonl(res, runs)
    out = tmp / "rep"
    assert main(["report", str(res), "-o", str(out), "-q"]) == 0
    rows = list(csv.DictReader(open(out / "summary.csv")))
    assert [(r["instance"], r["settings"], r["runs"]) for r in rows] == [
        ("a.txt", "design", "3"), ("a.txt", "memetic=ls memetic_every=10 kick=2", "3"),
        ("b.txt", "design", "2")]
    assert "memetic=ls memetic_every=10 kick=2" in (out / "report.md").read_text()
    # Time-limited runs of one parameter set are one group whatever generations
    # each happened to make; another time limit is another set.
    for r, (gens, limit) in zip(runs[:3], [(3050, 2), (3000, 2), (3000, 4)]):
        r.update(generations=gens, time_limit=limit, stop="time")
    write_jsonl(res, runs)
    assert main(["report", str(res), "-o", str(out), "-q"]) == 0
    rows = list(csv.DictReader(open(out / "summary.csv")))
    assert [(r["generations"], r["settings"], r["runs"]) for r in rows[:2]] == [
        ("", "design time_limit=2", "2"), ("", "design time_limit=4", "1")]
    assert main(["merge", str(res), "-o", str(tmp / "m.jsonl"), "--record",
                 str(tmp / "m.dat")]) == 0
    assert (tmp / "m.dat").read_text() == "".join(r["record"] or "" for r in runs)


def test_report_draws_the_ecdf_and_the_performance_profile(tmp_path, monkeypatch):
    from smetp_lab import plots
    from smetp_lab.report import build

    rng = random.Random(9)
    runs = []
    for k, name in enumerate(("a.txt", "b.txt")):
        text = instance_text(8, rng=rng)
        (tmp_path / name).write_text(text)
        inst = instance(text, str(tmp_path / name))
        # Runs ending at the local search's optimum: the reference itself.
        links = local_search(inst, mst(inst))
        for j, settings in enumerate(({}, {"elite": 4})):
            r = run_record(inst, name, 4 * k + j, links, seed=j + 1, seconds=1.0 + j)
            if settings:
                r["settings"] = settings
            runs.append(r)
    write_jsonl(tmp_path / "r.jsonl", runs)
    seen = {}
    real = plots.ecdf_and_profiles

    def spy(ecdf, profiles, path):
        seen.update(ecdf=ecdf, profiles=profiles)
        real(ecdf, profiles, path)

    monkeypatch.setattr(plots, "ecdf_and_profiles", spy)
    build(str(tmp_path / "r.jsonl"), str(tmp_path / "rep"))
    assert (tmp_path / "rep" / "ecdf.png").exists()
    assert "ECDF and performance profile" in (tmp_path / "rep" / "report.md").read_text()
    # Every run ends at the reference, so it reaches all six gap targets.
    assert {s["label"]: (len(s["times"]), s["pairs"]) for s in seen["ecdf"]["series"]} == \
        {"design": (12, 12), "elite=4": (12, 12)}
    # The design runs take half the time to the target: ratio 1, the others 2.
    ratios = {s["label"]: s["ratios"] for s in seen["profiles"]["series"]}
    assert ratios == {"design": [1.0, 1.0], "elite=4": [2.0, 2.0]}
