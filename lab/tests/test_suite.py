"""The benchmark set: its generator is the documented one, and a row's
check finds a wrong value."""
import json

import pytest
from smetp_lab.cli import main
from smetp_lab.errors import LabError
from smetp_lab.exact import solve
from smetp_lab.instance import read_instance
from smetp_lab.suite import FAMILIES, SIDE, SplitMix64, points, write_instance


def test_generator_is_splitmix64_and_families_stay_in_the_square():
    # SplitMix64's published first outputs from seed 0.
    r = SplitMix64(0)
    assert [r.next(), r.next()] == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4]
    for fam in FAMILIES:
        p = points(fam, 50, 3)
        assert p.shape == (50, 2) and (p >= 0).all() and (p < SIDE).all()
        assert (points(fam, 50, 3) == p).all() and not (points(fam, 50, 4) == p).all()


def test_check_finds_a_wrong_row(tmp_path, capsys):
    entry = {"name": "c0012a2s1", "family": "clustered", "nodes": 12, "alpha": 2, "seed": 1,
             "scale": "auto"}
    inst = read_instance(write_instance(dict(entry), str(tmp_path)))
    r = solve(inst, 60)
    assert r["proven"]
    good = dict(entry, sha256=inst.sha256, optimum=r["optimum"], best=r["optimum"],
                bound=r["optimum"], best_by="exact", bound_by="exact", gap_pct=0.0)
    suite = tmp_path / "suite"
    suite.mkdir()
    rows = [good, dict(good, name="bad-best", best=good["best"] - 1,
                       optimum=good["best"] - 1, bound=good["best"] - 1)]
    (suite / "suite.json").write_text(json.dumps({"instances": rows}))
    (suite / "best.json").write_text(json.dumps({"c0012a2s1": r["topology"],
                                                 "bad-best": r["topology"]}))
    opts = ["--suite", str(suite), "--cache-dir", str(tmp_path / "c"), "-q"]
    assert main(["suite", "check", "c0012a2s1"] + opts) == 0
    assert capsys.readouterr().out == "c0012a2s1: ok\n"
    assert main(["suite", "check", "--all"] + opts) == 1
    out = capsys.readouterr().out
    assert "bad-best: the best topology scores" in out and "exact gives" in out
    # A rebuild that differs from the row's sha256 is refused.
    with pytest.raises(LabError, match="sha256"):
        write_instance(dict(good, sha256="0" * 64), str(tmp_path))


def test_the_committed_set_holds_together(tmp_path, capsys):
    from helpers import REPO
    from smetp_lab.suite import read_manifest

    folder = f"{REPO}/bench/suite"
    rows = read_manifest(f"{folder}/suite.json")["instances"]
    best = read_manifest(f"{folder}/best.json")
    assert len(rows) >= 40 and {r["family"] for r in rows} == set(FAMILIES)
    assert {r["alpha"] for r in rows} == {1, 2, 3, 4}
    assert min(r["nodes"] for r in rows) == 20 and max(r["nodes"] for r in rows) == 2000
    for r in rows:
        assert r["bound"] <= r["best"] and r["name"] in best
        if r.get("optimum") is not None:
            assert r["optimum"] == r["best"] == r["bound"]
            assert not r["checked_by"].startswith("CHECK FAILED")
    # The 20-node rows rebuild, their topologies score, exact proves them again.
    assert main(["suite", "check", "--max-nodes", "20", "--all", "--suite", folder,
                 "--cache-dir", str(tmp_path / "c"), "-q"]) == 0
    assert capsys.readouterr().out.count(": ok\n") == sum(r["nodes"] <= 20 for r in rows)
