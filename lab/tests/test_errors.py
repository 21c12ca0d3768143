"""Input faults: each ends in one line "smetp-lab: FILE[:LINE]: reason",
status 1, and nothing written."""
import json
import os

import pytest
from helpers import instance, instance_text, run_record, write_jsonl
from smetp_lab.cli import main

W3 = {(1, 2): 5, (1, 3): 7, (2, 3): 9}


def edit(key, value):
    def change(run):
        run[key] = value
    return change


CASES = [
    # (name, change to the first run, command, expected message after "smetp-lab: ")
    ("instance null", edit("instance", None), "report", "{res}:1: \"instance\" is null"),
    ("best null", edit("best", None), "verify", "{res}:1: \"best\" is null"),
    ("sha null", edit("runs_sha256", None), "merge", "{res}:1: \"runs_sha256\" is null"),
    ("nested", None, "verify", "{res}:1: not a JSON object: nested too deeply"),
    ("report into a file", None, "report-file", "{tmp}/taken: exists and is not a folder"),
    ("report read-only", None, "report-ro", "{tmp}/ro/rep: Permission denied"),
    ("record folder missing", None, "merge-record", "{tmp}/nodir/x.dat: no folder"),
]


@pytest.mark.parametrize("name, change, command, says", CASES, ids=[c[0] for c in CASES])
def test_input_faults_give_one_line(tmp_path, capsys, name, change, command, says):
    g = instance(instance_text(3, W3))
    (tmp_path / "g3.txt").write_text(instance_text(3, W3))
    runs = [run_record(g, "g3.txt", 0, [(0, 1), (0, 2)]), run_record(g, "g3.txt", 1, None)]
    if change:
        change(runs[0])
    res = tmp_path / "r.jsonl"
    write_jsonl(res, runs)
    if name == "nested":
        res.write_text("[" * 100000 + "\n")
    before = sorted(os.listdir(tmp_path))
    out = tmp_path / "rep"
    argv = {"report": ["report", str(res), "-o", str(out), "-q"],
            "verify": ["verify", str(res)],
            "merge": ["merge", str(res), "-o", str(tmp_path / "m.jsonl")],
            "report-file": ["report", str(res), "-o", str(tmp_path / "taken"), "-q"],
            "report-ro": ["report", str(res), "-o", str(tmp_path / "ro" / "rep"), "-q"],
            "merge-record": ["merge", str(res), "-o", str(tmp_path / "m.jsonl"),
                             "--record", str(tmp_path / "nodir" / "x.dat")]}[command]
    if command == "report-file":
        (tmp_path / "taken").write_text("keep")
        before = sorted(os.listdir(tmp_path))
    if command == "report-ro":
        (tmp_path / "ro").mkdir(mode=0o500)
        before = sorted(os.listdir(tmp_path))
        if os.access(tmp_path / "ro", os.W_OK):
            pytest.skip("running as a user who may write anywhere")
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(
        "smetp-lab: " + says.format(res=res, tmp=tmp_path)), err
    assert sorted(os.listdir(tmp_path)) == before


def test_merge_of_a_huge_index_names_ranges(tmp_path, capsys):
    g = instance(instance_text(3, W3))
    runs = [run_record(g, "g3.txt", i, None) for i in (0, 1, 5, 10**12)]
    res = tmp_path / "r.jsonl"
    write_jsonl(res, runs)
    assert main(["merge", str(res), "-o", str(tmp_path / "m.jsonl")]) == 1
    assert capsys.readouterr().err == (
        f"smetp-lab: {10**12 - 3} of {10**12 + 1} runs missing: 2-4, 6-{10**12 - 1}\n")


def test_density_null_is_a_parameter_set_and_unknown_fields_pass(tmp_path):
    g = instance(instance_text(3, W3))
    (tmp_path / "g3.txt").write_text(instance_text(3, W3))
    runs = [run_record(g, "g3.txt", 0, [(0, 1), (0, 2)]),
            run_record(g, "g3.txt", 1, [(0, 1), (1, 2)])]
    runs[1]["density"] = None
    runs[0]["settings"] = {"fields": "that smetp-lab does not know"}  # ignored
    write_jsonl(tmp_path / "r.jsonl", runs)
    assert main(["report", str(tmp_path / "r.jsonl"), "-o", str(tmp_path / "rep"), "-q"]) == 0
    md = (tmp_path / "rep" / "report.md").read_text()
    assert "h 0, d 0.3, 200 gen" in md and "h 0, d nan, 200 gen" in md
    assert json.loads((tmp_path / "r.jsonl").read_text().splitlines()[1])["density"] is None
    assert main(["table", str(tmp_path / "r.jsonl"), "-o", str(tmp_path / "t.csv")]) == 0
    assert main(["verify", str(tmp_path / "r.jsonl")]) == 0


def test_version_is_the_projects(capsys):
    import re
    from helpers import REPO

    with open(os.path.join(REPO, "CMakeLists.txt")) as f:
        want = re.search(r"project\(smetp VERSION ([0-9.]+)", f.read()).group(1)
    with pytest.raises(SystemExit) as done:
        main(["--version"])
    assert done.value.code == 0 and capsys.readouterr().out == f"smetp-lab {want}\n"
