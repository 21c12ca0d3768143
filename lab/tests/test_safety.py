"""Nothing lost, nothing silent: inputs never overwritten, outputs checked
before any work, hostile numbers and line separators refused or read
cleanly, capped energies named with their true values."""
import itertools
import json
import resource
import subprocess
import sys

import pytest
from helpers import REPO, instance, instance_text, run_record, write_jsonl
from smetp_lab.cli import main
from smetp_lab.energy import energy, is_connected
from smetp_lab.instance import read_instance
from smetp_lab.results import read_results

W3 = {(1, 2): 5, (1, 3): 7, (2, 3): 9}


@pytest.fixture
def files(tmp_path):
    g = instance(instance_text(3, W3))
    (tmp_path / "g3.txt").write_text(instance_text(3, W3))
    for k in range(2):
        run = run_record(g, "g3.txt", k, [(0, 1), (0, 2)])
        write_jsonl(tmp_path / f"s{k}.jsonl", [run])
    (tmp_path / "c.txt").write_text("0 0\n3 4\n6 8\n")
    (tmp_path / "c.xy").write_text("0 0\n3 4\n6 8\n")
    (tmp_path / "p.txt").write_text("Najbolja: 5 = 50\n")
    return tmp_path


# (command with {t} for the folder, what it must say after "smetp-lab: ")
REFUSED = [
    ("table {t}/s0.jsonl -o {t}/s0.jsonl", "{t}/s0.jsonl: -o names an input"),
    ("polish {t}/s0.jsonl -o {t}/s0.jsonl", "{t}/s0.jsonl: -o names an input"),
    ("merge {t}/s0.jsonl {t}/s1.jsonl -o {t}/m.jsonl --record {t}/s1.jsonl",
     "{t}/s1.jsonl: --record names an input"),
    ("merge {t}/s0.jsonl {t}/s1.jsonl -o {t}/q.jsonl --record {t}/q.jsonl",
     "{t}/q.jsonl: -o and --record name the same file"),
    ("merge {t}/s0.jsonl {t}/s1.jsonl -o {t}/m.jsonl --expect -5",
     "merge: --expect -5: the runs file's number of runs is 1 or more"),
    ("merge {t}/s0.jsonl {t}/s1.jsonl -o {t}/m.jsonl --record=", "merge: --record names no"),
    ("convert {t}/c.txt -o {t}/c.txt", "{t}/c.txt: -o names an input"),
    ("convert {t}/c.xy -o {t}/c.txt", "{t}/c.xy: its .xy file names an input"),
    ("plot-progress {t}/p.txt -o {t}/p.txt", "{t}/p.txt: -o names an input"),
    ("draw {t}/s0.jsonl --index 0 -o {t}/s0.jsonl", "{t}/s0.jsonl: -o names an input"),
    ("draw {t}/s0.jsonl --index 0 -o {t}/g3.txt", "{t}/g3.txt: -o names an input"),
]


@pytest.mark.parametrize("command, says", REFUSED)
def test_inputs_never_overwritten_and_outputs_checked_first(files, capsys, command, says):
    before = {p.name: p.read_bytes() for p in files.iterdir()}
    assert main(command.format(t=files).split()) == 1
    assert capsys.readouterr().err.startswith("smetp-lab: " + says.format(t=files))
    assert {p.name: p.read_bytes() for p in files.iterdir()} == before


def test_outputs_checked_before_the_runs_are_read(files, capsys):
    (files / "g3.txt").unlink()  # the runs' instance is missing too
    for command in ("table", "polish", "draw"):
        argv = [command, str(files / "s0.jsonl"), "-o", str(files / "none" / "out")]
        assert main(argv + (["--index", "0"] if command == "draw" else [])) == 1
        assert capsys.readouterr().err == f"smetp-lab: {files}/none/out: no folder {files}/none\n"


def test_json_lines_split_on_newline_only(files):
    # smetp-batch writes U+2028, U+2029 and U+0085 raw inside a JSON string.
    path = "g\u2028x\u2029y\u0085z.txt"
    (files / path).write_text(instance_text(3, W3))
    run = run_record(instance(instance_text(3, W3)), path, 0, [(0, 1), (0, 2)])
    line = json.dumps(run, ensure_ascii=False)
    (files / "u.jsonl").write_text(line + "\r\n", encoding="utf-8")
    runs = read_results(str(files / "u.jsonl"))
    assert [r.data["instance"] for r in runs] == [path] and runs[0].text == line
    assert main(["merge", str(files / "u.jsonl"), "-o", str(files / "m.jsonl")]) == 0
    assert (files / "m.jsonl").read_text(encoding="utf-8") == line + "\n"
    assert main(["verify", str(files / "u.jsonl")]) == 0


def test_node_numbers_beyond_64_bits(files, capsys):
    run = run_record(instance(instance_text(3, W3)), "g3.txt", 0, [(0, 1), (0, 2)])
    run["topology"] = [[1, 10**30]]
    write_jsonl(files / "big.jsonl", [run])
    (files / "big.json").write_text("[[1, %d]]" % 10**30)
    big = str(files / "big.jsonl")
    for argv in (["verify", big], ["table", big, "-o", str(files / "t.csv")],
                 ["draw", big, "--index", "0", "-o", str(files / "d.png")],
                 ["report", big, "-o", str(files / "rep"), "-q"],
                 ["verify", str(files / "g3.txt"), str(files / "big.json")]):
        assert main(argv) == 1
        assert f"[1, {10**30}] has a node outside 1..3" in capsys.readouterr().err


def convert(files, text, *options, name="in.txt"):
    (files / name).write_text(text)
    return main(["convert", str(files / name), "-o", str(files / "g.txt"), *options])


@pytest.mark.parametrize("text, options, says", [
    ("0 0\n3 4\n", ["--alpha", "1e10"], "distance^alpha overflows"),
    ("0 0\n3 4\n", ["--alpha", "1e10", "--scale", "auto"], "distance^alpha overflows"),
    ("1e308 0\n-1e308 0\n", [], "distances infinite"),
    ("0 0\n3 4\n", ["--scale", "inf"], "--scale inf: must be a positive number"),
    ("0 0\n3 4\n", ["--alpha", "nan"], "--alpha nan: must be a positive number"),
    ("0 0\n3 4\n", ["--scale", "1e300"], "weights up to 5e+300 at scale 1e+300"),
    ("id,a,b\n1,0,0\n2,3,4\n", [], "the header id,a,b names no x and y columns"),
    ("".join(f"{k} 0\n" for k in range(3001)), [], "3001 points; convert writes every pair"),
])
def test_convert_refuses_what_it_cannot_write_right(files, capsys, text, options, says):
    assert convert(files, text, *options) == 1
    assert says in capsys.readouterr().err
    assert not (files / "g.txt").exists()


def test_convert_columns_by_name_and_rounding_warnings(files, capsys):
    assert convert(files, "id,easting,northing\n7,0,0\n8,30,40\n", name="e.csv") == 0
    assert [w for _, _, w in read_instance(str(files / "g.txt")).edges] == [50]
    capsys.readouterr()
    assert main(["convert", f"{REPO}/data/g45.xy", "-o", str(files / "g.txt"), "--alpha", "4",
                 "--scale", "auto"]) == 0
    err = capsys.readouterr().err
    assert "50 links between distinct points have weight 0" in err
    assert "moves the minimum spanning tree's energy by 21.2 %" in err


def test_capped_energies_name_the_true_value(files, capsys):
    # Five nodes, every weight near 30000: any topology passes the cap.
    w = {p: 30000 + 100 * k for k, p in enumerate(itertools.combinations(range(1, 6), 2))}
    (files / "cap.txt").write_text(instance_text(5, w))
    inst = read_instance(str(files / "cap.txt"))
    trees = [list(t) for t in itertools.combinations([(u, v) for u, v, _ in inst.edges], 4)]
    true = min(energy(inst, t, capped=False) for t in trees if is_connected(5, t))
    assert true > 64999
    assert main(["exact", str(files / "cap.txt"), "--no-cache", "-q"]) == 0
    out = capsys.readouterr().out
    assert f"optimum: 64999 (capped: the engine's cap; the true optimum is {true})" in out
    assert main(["exact", str(files / "cap.txt"), "--no-cache", "-q", "--json"]) == 0
    r = json.loads(capsys.readouterr().out)
    assert (r["optimum"], r["capped"], r["true_optimum"], r["proven"]) == (64999, True, true, True)
    assert main(["baseline", str(files / "cap.txt"), "--json"]) == 0
    b = json.loads(capsys.readouterr().out)["local_search"]
    assert (b["energy"], b["capped"]) == (64999, True) and b["true_energy"] >= true
    assert main(["baseline", str(files / "cap.txt")]) == 0
    assert "64999 (capped: the engine's cap; the true energy is" in capsys.readouterr().out
    assert main(["ils", str(files / "cap.txt"), "--time-limit", "0.1", "--json"]) == 0
    r = json.loads(capsys.readouterr().out)
    assert (r["energy"], r["capped"]) == (64999, True) and r["true_energy"] >= true


@pytest.mark.parametrize("mib", [60, 120, 250])
def test_libraries_that_fail_to_load_give_one_line(files, mib):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (mib << 20, mib << 20))

    r = subprocess.run([sys.executable, "-m", "smetp_lab", "verify", str(files / "g3.txt"),
                        str(files / "none.json")], capture_output=True, text=True,
                       preexec_fn=limit, timeout=60)
    assert r.returncode == 1 and "Traceback" not in r.stderr
    # OpenBLAS may end the process itself with its own one line.
    assert r.stderr.startswith(("smetp-lab: ", "OpenBLAS")) and len(r.stderr.splitlines()) == 1
