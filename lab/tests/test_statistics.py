"""Report statistics, the table's gap and the plots' series, on a small fixed
results file whose figures are worked out by hand below."""
import csv

import pytest
from helpers import instance, instance_text, run_record, write_jsonl
from smetp_lab import plots
from smetp_lab.cli import main

# Four nodes; every node's lightest link weighs 10, so the path 1-2-3-4 (40)
# is the optimum, and the local search from the minimum spanning tree finds it.
H = {(1, 2): 10, (1, 3): 50, (1, 4): 100, (2, 3): 10, (2, 4): 70, (3, 4): 10}
PATH = [(0, 1), (1, 2), (2, 3)]                   # 10 + 10 + 10 + 10 = 40
STAR2 = [(0, 1), (1, 2), (1, 3)]                  # 10 + 70 + 10 + 70 = 160
VIA3 = [(0, 2), (0, 1), (2, 3)]                   # 50 + 10 + 50 + 10 = 120
VIA3B = [(0, 1), (1, 2), (2, 3), (0, 2)]          # the same powers: 120 (a tie)
WIDE = [(0, 3), (0, 1), (1, 2)]                   # 100 + 10 + 10 + 100 = 220
LS = {"elite": 16, "tournament": 8, "crossover": 0.85, "mutation": 0.005,
      "mutation_step": 0.005, "mutation_patience": 1000, "repair": "on", "init": "random",
      "memetic": "ls", "memetic_every": 25, "memetic_count": 24}


@pytest.fixture
def fixed(tmp_path):
    text = instance_text(4, H)
    (tmp_path / "h.txt").write_text(text)
    h = instance(text, "h.txt")
    # Every topology of c.txt scores the engine's cap.
    ctext = instance_text(3, {(1, 2): 32767, (1, 3): 32000, (2, 3): 32767})
    (tmp_path / "c.txt").write_text(ctext)
    c = instance(ctext, "c.txt")

    def run(inst, path, links, secs_to_best, secs, **fields):
        r = run_record(inst, path, 0, links, **{k: fields.pop(k) for k in ("best",)
                                                if k in fields})
        r.update(seconds_to_best=secs_to_best, seconds=secs, **fields)
        return r

    runs = [
        # memetic=ls first: the report keeps the results' order.
        run(h, "h.txt", PATH, 0.05, 0.5, settings=LS, stop="target", target=40,
            seconds_to_target=0.1),
        run(h, "h.txt", None, 0.0, 2.0, settings=LS, stop="generations", target=40,
            history=[65000] * 5),
        run(h, "h.txt", PATH, 0.3, 0.9, settings=LS, stop="target", target=40,
            seconds_to_target=0.3),
        # The design: 40, 120, 120 (a tie), 160; the first reached the
        # optimum at most 0.2 s in (no seconds_to_target: its time to best).
        run(h, "h.txt", PATH, 0.2, 1.0),
        run(h, "h.txt", VIA3, 0.4, 1.0),
        run(h, "h.txt", VIA3B, 0.5, 2.0),
        run(h, "h.txt", STAR2, 0.6, 3.0),
        # Claims 30, below the optimum, with a topology that scores 220: it
        # must feed no figure (no hit, no reference of 30, no gap).
        run(h, "h.txt", WIDE, 0.1, 0.2, best=30),
        # Capped runs: no true energy, no hits.
        run(c, "c.txt", [(0, 1), (0, 2)], 0.1, 1.0),
        run(c, "c.txt", [(0, 1), (1, 2)], 0.1, 1.5),
    ]
    for i, r in enumerate(runs):
        r["index"] = i
    res = tmp_path / "r.jsonl"
    write_jsonl(res, runs)
    return tmp_path, res


def test_statistics_by_hand(fixed):
    tmp, res = fixed
    assert main(["report", str(res), "-o", str(tmp / "rep"), "-q"]) == 0
    rows = list(csv.DictReader(open(tmp / "rep" / "summary.csv")))
    assert [(r["instance"], r["settings"]) for r in rows] == [
        ("h.txt", "memetic=ls target=40"), ("h.txt", "design"), ("c.txt", "design")]
    ls, design, capped = rows

    def pick(row, *cols):
        return [row[c] for c in cols]

    # 40, 40 and a run without a topology: no mean; the third quartile falls
    # between 40 and the mark, so it is the mark and has no gap.
    assert pick(ls, "runs", "verified_runs", "feasible_runs", "ga_best", "ga_median",
                "ga_q3", "ga_worst", "ga_mean", "gap_ga_q3_pct") == [
        "3", "3", "2", "40", "40", "65000", "65000", "", ""]
    assert pick(ls, "reference", "target", "target_kind", "hits",
                "seconds_to_target_median", "ert_seconds", "seconds_to_target_bound") == [
        "40", "40", "best known", "2", "0.2", "1.2", "no"]  # (0.1 + 0.3 + 2.0) / 2
    # 40, 120, 120, 160 (the unverified run left out of every figure).
    assert pick(design, "runs", "unverified_runs", "verified_runs", "ga_best", "ga_q1",
                "ga_median", "ga_q3", "ga_worst", "ga_mean", "ga_sd") == [
        "5", "1", "4", "40", "100", "120", "130", "160", "110", "50.33"]
    assert pick(design, "gap_ga_best_pct", "gap_ga_q1_pct", "gap_ga_median_pct",
                "gap_ga_q3_pct", "gap_ga_worst_pct", "gap_ga_mean_pct",
                "gap_ga_sd_pct") == ["0", "150", "200", "225", "300", "175", "125.83"]
    # One hit of four: its time to best bounds its time to the target.
    assert pick(design, "hits", "seconds_to_target_median", "ert_seconds",
                "seconds_to_target_bound") == ["1", "0.2", "6.2", "yes"]
    # No true energy on c.txt: no reference, so no target to count hits of.
    assert pick(capped, "runs", "capped_runs", "hits", "ert_seconds", "ga_mean",
                "gap_ga_best_pct", "reference") == ["2", "2", "", "", "", "", ""]
    md = (tmp / "rep" / "report.md").read_text()
    assert "Verified: 9 of 10" in md and "1 unverified run(s) are left out" in md
    assert "| h.txt | h 0, d 0.3, 200 gen | best known 40 | 1 of 4 | 0.00 % |" in md
    assert "| ≤ 0.2 s | ≤ 6.2 s |" in md and "| 2 of 3 |" in md
    # With a target of 120: the design's three runs at or below it; the
    # capped runs (64999 stands for a higher energy) never hit one.
    assert main(["report", str(res), "-o", str(tmp / "rep2"), "-q",
                 "--target", "h.txt=120", "--target", "65500"]) == 0
    rows = list(csv.DictReader(open(tmp / "rep2" / "summary.csv")))
    assert pick(rows[1], "target", "target_kind", "hits", "reference") == [
        "120", "target", "3", "40"]
    assert pick(rows[2], "target", "hits", "ert_seconds", "seconds_to_target_median") == [
        "65500", "0", "inf", ""]


def test_table_gap_and_batch_fields(fixed, capsys):
    tmp, res = fixed
    assert main(["verify", str(res)]) == 1  # the run that claims 30
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "run 0 h.txt seed 1 hardness 0 density 0.3 memetic=ls: best 40, " \
        "recomputed 40: ok"
    assert lines[3].startswith("run 3 h.txt seed 1 hardness 0 density 0.3: best 40")
    assert main(["table", str(res), "-o", str(tmp / "t.csv")]) == 0
    t = list(csv.DictReader(open(tmp / "t.csv")))
    assert [(r["stop"], r["seconds_to_target"], r["gap"], r["verified"]) for r in t[:8]] == [
        ("target", "0.1", "0.0", "true"), ("generations", "", "", "true"),
        ("target", "0.3", "0.0", "true"), ("", "", "0.0", "true"), ("", "", "200.0", "true"),
        ("", "", "200.0", "true"), ("", "", "300.0", "true"), ("", "", "", "false")]
    assert {r["reference"] for r in t[:8]} == {"40"} and t[8]["gap"] == ""


def test_plots_show_every_series(fixed, monkeypatch):
    tmp, res = fixed
    seen = {}
    save = plots._save
    monkeypatch.setattr(plots, "_save", lambda fig, path: (
        seen.__setitem__(path.rsplit("/", 1)[-1], plots.describe(fig)), save(fig, path)))
    assert main(["report", str(res), "-o", str(tmp / "rep"), "-q",
                 "--target", "c.txt=65500"]) == 0
    final = seen["final_energies.png"][0]
    assert final["title"] == "h.txt (4 nodes): h 0, d 0.3, 200 gen"
    assert final["xticks"] == ["memetic=ls target=40", "design"]
    assert final["yscale"] == "symlog"  # 0 to 300 %
    assert final["legend"] == ["MST = local search 40 (+0.00 %)"]
    assert "1 run(s) not drawn" in final["texts"][0]  # the run without a topology
    conv = seen["convergence.png"][0]
    assert conv["legend"][:2] == ["memetic=ls target=40 (median of 3)", "design (median of 4)"]
    # The run without a topology widens no band: the axis ends near the
    # design's start (about 280 %), not at a value between 40 and the mark.
    assert conv["ylim"][1] < 1000
    ttt = seen["time_to_target.png"]
    assert ttt[0]["legend"][:2] == ["memetic=ls target=40 (2 of 3)",
                                    "design (1 of 4, upper bounds)"]
    assert ttt[0]["legend"][2].startswith("local search from the MST ")
    # No local search mark where it ends at the cap.
    assert ttt[1]["texts"] == ["no run reached the target"] and len(ttt[1]["legend"]) == 1
    # ... and its series is drawn (at 0), not only named; legends cover no data.
    assert ttt[1]["empty_curves"] == [] and all(p["legend_clear"] for p in ttt)
    assert len(seen["final_energies.png"]) == 2  # c.txt: a panel with nothing drawn


def test_report_checks_its_folder_before_any_work(fixed, capsys):
    tmp, res = fixed
    (tmp / "file").write_text("")
    assert main(["report", str(res), "-o", str(tmp / "file")]) == 1
    # Nothing checked or polished first: the one line is all it says.
    assert capsys.readouterr().err == f"smetp-lab: {tmp / 'file'}: exists and is not a folder\n"
