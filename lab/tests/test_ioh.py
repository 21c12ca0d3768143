"""The IOHprofiler export against the format's documented layout."""
import os
import re

from helpers import instance, instance_text, run_record, write_jsonl
from smetp_lab.cli import main
from smetp_lab.heuristics import mst

INFO_HEAD = re.compile(r"suite = '[^']*', funcId = (\d+), funcName = '([^']+)', DIM = (\d+), "
                       r"maximization = 'F', algId = '([^']*)'$")


def parse_ioh(folder):
    """Reads a folder as an IOHprofiler reader does: each .info file's
    blocks of three lines, each block's .dat file, its runs split at the
    header lines. Returns {(function, dim, alg): [(instance, evals, best,
    rows)]}, failing on anything out of the layout."""
    out = {}
    for top, _, files in os.walk(folder):
        for name in files:
            if not name.endswith(".info"):
                continue
            m = re.fullmatch(r"IOHprofiler_f(\d+)_(.+)\.info", name)
            assert m, name
            lines = open(os.path.join(top, name)).read().splitlines()
            assert len(lines) % 3 == 0
            for k in range(0, len(lines), 3):
                head = INFO_HEAD.match(lines[k])
                assert head and head.group(1) == m.group(1) and head.group(2) == m.group(2)
                assert lines[k + 1].startswith("%")
                parts = lines[k + 2].split(", ")
                dat = parts[0]
                assert dat == (f"data_f{head.group(1)}_{head.group(2)}/IOHprofiler_f"
                               f"{head.group(1)}_DIM{head.group(3)}.dat")
                runs = []
                for p in parts[1:]:
                    mm = re.fullmatch(r"(\d+):(\d+)\|([-+.e0-9]+|inf)", p)
                    assert mm, p
                    runs.append((int(mm.group(1)), int(mm.group(2)), float(mm.group(3))))
                blocks, cur = [], None
                for line in open(os.path.join(top, dat)).read().splitlines():
                    if line == "evaluations raw_y seconds":
                        cur = []
                        blocks.append(cur)
                    else:
                        e, y, s = line.split()
                        cur.append((int(e), float(y), float(s)))
                assert len(blocks) == len(runs)
                key = (head.group(2), int(head.group(3)), head.group(4))
                out[key] = [(i, e, b, rows) for (i, e, b), rows in zip(runs, blocks)]
    return out


def test_export_follows_the_layout(tmp_path, capsys):
    import random

    rng = random.Random(2)
    runs = []
    for k, (name, n) in enumerate((("u0010a2s1.txt", 10), ("g7.txt", 7), ("g8.txt", 8))):
        text = instance_text(n, rng=rng)
        (tmp_path / name).write_text(text)
        inst = instance(text, str(tmp_path / name))
        e = run_record(inst, name, k, mst(inst))
        runs.append(e)
        # A second setting on the same instance, with a history that stalls.
        f = dict(run_record(inst, name, 10 + k, mst(inst)), settings={"elite": 4})
        f["history"] = [65000, f["best"] + 5, f["best"] + 5, f["best"] + 5, f["best"]]
        runs.append(f)
    write_jsonl(tmp_path / "r.jsonl", runs)
    out = tmp_path / "ioh"
    assert main(["export", str(tmp_path / "r.jsonl"), "--ioh", str(out)]) == 0
    assert "6 runs" in capsys.readouterr().out
    data = parse_ioh(out)
    # uniform (the set's naming), and g at 7 and 8 nodes; two settings each.
    assert {(f, d) for f, d, _ in data} == {("uniform_a1", 10), ("g_a1", 7), ("g_a1", 8)}
    assert {a for _, _, a in data} == {"design", "elite=4"}
    for (_, _, alg), items in data.items():
        for iid, evals, best, rows in items:
            assert iid == 1
            ys = [y for _, y, _ in rows]
            # Improving rows, then the run's end (which may repeat the last).
            assert all(a > b for a, b in zip(ys[:-2], ys[1:-1])) and ys[-1] <= ys[-2]
            assert rows[-1][1] == best and rows[-1][0] == evals == 4 * 50 * 128
            assert [e for e, _, _ in rows] == sorted(e for e, _, _ in rows)
            if alg == "elite=4":
                # 65000 is no energy; the stall adds no row.
                assert [y for _, y, _ in rows] == [best + 5, best]


def test_ils_results_join_export_and_report(tmp_path, capsys):
    import json
    import random

    text = instance_text(9, rng=random.Random(6))
    (tmp_path / "g9.txt").write_text(text)
    inst = instance(text, str(tmp_path / "g9.txt"))
    res = tmp_path / "ils.jsonl"
    assert main(["ils", str(tmp_path / "g9.txt"), "--time-limit", "0.3", "--results",
                 str(res), "--index", "5", "--json"]) == 0
    printed = json.loads(capsys.readouterr().out)
    line = json.loads(res.read_text())
    assert line["index"] == 5 and line["best"] == printed["energy"] == line["history"][-1]
    assert line["settings"] == {"solver": "ils"} and line["history"][0] == 65000
    assert main(["verify", str(res)]) == 0
    ga = run_record(inst, "g9.txt", 0, mst(inst))
    write_jsonl(tmp_path / "all.jsonl", [ga, line])
    assert main(["export", str(tmp_path / "all.jsonl"), "--ioh", str(tmp_path / "ioh")]) == 0
    data = parse_ioh(tmp_path / "ioh")
    (_, _, evals, best, rows), = [(k, *v[0]) for k, v in data.items() if k[2] == "solver=ils"]
    # Its rows: each improvement at its own seconds and local searches made,
    # then the run's end.
    k = len(line["history"]) - 1
    assert best == line["best"] and [e for e, _, _ in rows[:k]] == line["history_evaluations"][1:]
    assert [s for _, _, s in rows[:k]] == line["history_seconds"][1:]
    assert rows[k:] == [(rows[k - 1][0], best, line["seconds"])]
