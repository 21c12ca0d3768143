"""The verifier and the instance reader against hand-made cases."""
import json

import pytest
from helpers import REPO, instance, instance_text, run_record, write_jsonl
from smetp_lab.cli import main
from smetp_lab.energy import check_links, energy, read_topology_file
from smetp_lab.instance import LabError, parse_instance, read_instance

# 4 nodes: weights chosen so that every node's power is easy to follow.
W4 = {(1, 2): 10, (1, 3): 40, (1, 4): 30, (2, 3): 20, (2, 4): 50, (3, 4): 5}


@pytest.fixture
def g4():
    return instance(instance_text(4, W4))


def links(inst, pairs):
    return check_links(inst, pairs, "test")


def test_energy_of_hand_made_topologies(g4):
    # A path 1-2-3-4: powers 10, 20, 20, 5.
    assert energy(g4, links(g4, [[1, 2], [2, 3], [3, 4]])) == 55
    # A star at 1: powers 40, 10, 40, 30.
    assert energy(g4, links(g4, [[1, 2], [1, 3], [1, 4]])) == 120
    # Two pieces, and node 1 left out: both unreachable somewhere.
    assert energy(g4, links(g4, [[1, 2], [3, 4]])) == 65000
    assert energy(g4, links(g4, [[2, 3], [3, 4], [2, 4]])) == 65000
    assert energy(g4, []) == 65000
    # Extra links (a cycle) still connect; the heaviest link sets the power.
    assert energy(g4, links(g4, [[1, 2], [2, 3], [3, 4], [2, 4]])) == 10 + 50 + 20 + 50


def test_zero_and_negative_weights_give_no_power():
    g = instance(instance_text(3, {(1, 2): 0, (1, 3): -7, (2, 3): 9}))
    assert energy(g, links(g, [[1, 2], [1, 3]])) == 0
    assert energy(g, links(g, [[1, 3], [2, 3]])) == 18


def test_energy_is_capped_below_the_infeasible_mark():
    g = instance(instance_text(3, {(1, 2): 32767, (1, 3): 32767, (2, 3): 32767}))
    assert energy(g, links(g, [[1, 2], [2, 3]])) == 64999


def test_link_list_checks(g4):
    # Duplicates and reversed pairs are the same link.
    assert links(g4, [[2, 1], [1, 2], [3, 4], [4, 3]]) == [(0, 1), (2, 3)]
    for bad, says in (([[1, 5]], "outside 1..4"), ([[0, 2]], "outside 1..4"),
                      ([[2, 2]], "itself"), ([[1, "2"]], "not a pair"),
                      ([[1, 2, 3]], "not a pair")):
        with pytest.raises(LabError, match=says):
            links(g4, bad)
    # A pair past the edges the header promises is no edge.
    short = instance(instance_text(4, W4, edges=4))
    with pytest.raises(LabError, match="not an edge"):
        links(short, [[2, 4]])


def test_topology_files(g4, tmp_path):
    j = tmp_path / "t.json"
    j.write_text("[[1, 2], [2, 3], [3, 4]]")
    t = tmp_path / "t.txt"
    t.write_text("# a path\n1 2\n2 3\n\n3 4\n")
    assert read_topology_file(str(j), g4) == read_topology_file(str(t), g4)
    t.write_text("1 2\n2 x\n")
    with pytest.raises(LabError, match=r"t.txt:2: "):
        read_topology_file(str(t), g4)


@pytest.mark.parametrize("text, line, says", [
    ("", 1, "header"),
    ("1 2\n", 1, "1 nodes; a graph has at least 2"),
    ("3 8\n1 2 1\n1 3 1\n2 3 1\n1 2 1\n", 1, "more than the 3 pairs"),
    ("3 6\n1 2 5\n1 3 x\n", 3, "not a number after 1 of 3"),
    ("3 6\n1 2 5\n1 3 5\n", 3, "ends after 2 of 3"),
    ("3 6\n1 2 5\n2 3 5\n1 3 5\n", 3, "expected the pair 1 3"),
    ("3 6\n1 2 3000000000\n", 2, "too large"),
    ("3 6\n1 4 5\n", 2, "outside 1..3"),
])
def test_instance_errors_name_file_and_line(text, line, says):
    with pytest.raises(LabError) as e:
        parse_instance(text, "bad.txt")
    assert str(e.value).startswith(f"bad.txt:{line}: ") and says in str(e.value)


def test_instance_reads_like_the_loader():
    # Reverse lines are skipped, a value runs to its first non-digit.
    g = parse_instance("3 4\n2 1 7\n1 2 5\n1 3 6abc", "x")
    assert g.edges == [(0, 1, 5), (0, 2, 6)]


def test_verify_results_reports_each_run(g4, tmp_path, capsys):
    inst_path = tmp_path / "g4.txt"
    inst_path.write_text(instance_text(4, W4))
    good = links(g4, [[1, 2], [2, 3], [3, 4]])
    runs = [run_record(g4, "g4.txt", 0, good),
            run_record(g4, "g4.txt", 1, None),
            run_record(g4, "g4.txt", 2, good, best=54)]
    res = tmp_path / "r.jsonl"
    write_jsonl(res, runs)
    # The instance is found beside the results file.
    assert main(["verify", str(res)]) == 1
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 3
    assert out[0].endswith("best 55, recomputed 55: ok") and out[1].endswith(": ok")
    assert "MISMATCH: best 54 but the topology scores 55" in out[2]
    write_jsonl(res, runs[:2])
    assert main(["verify", str(res)]) == 0
    # The batch writes each link once: a repeated one is reported.
    runs[0]["topology"].append([1, 2])
    write_jsonl(res, runs[:1])
    assert main(["verify", str(res)]) == 1
    assert "MISMATCH: the topology lists a link twice" in capsys.readouterr().out


def test_verify_errors(g4, tmp_path, capsys):
    res = tmp_path / "r.jsonl"
    r = run_record(g4, "missing.txt", 0, None)
    write_jsonl(res, [r])
    assert main(["verify", str(res)]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"smetp-lab: {res}:1: instance missing.txt not found")
    (tmp_path / "g4.txt").write_text(instance_text(4, W4))
    r = run_record(g4, "g4.txt", 0, None)
    r["topology"] = [[1, 2], [2, 9]]
    res.write_text("\n" + json.dumps(r) + "\n")
    assert main(["verify", str(res)]) == 1
    err = capsys.readouterr().err
    assert err == f"smetp-lab: {res}:2: link 2: [2, 9] has a node outside 1..4\n"
    res.write_text('{"index": 0,\n')
    assert main(["verify", str(res)]) == 1
    assert capsys.readouterr().err.startswith(f"smetp-lab: {res}:1: not a JSON object")


def test_verify_instance_and_topology(tmp_path, capsys):
    (tmp_path / "g4.txt").write_text(instance_text(4, W4))
    (tmp_path / "t.json").write_text("[[1, 2], [3, 4]]")
    assert main(["verify", str(tmp_path / "g4.txt"), str(tmp_path / "t.json")]) == 0
    assert "65000 (does not connect all 4 nodes: 2 pieces)" in capsys.readouterr().out


@pytest.mark.parametrize("n", [10, 20, 30, 45])
def test_sample_coordinates_give_the_weights(n):
    # The .xy beside each sample must be the points its weights came from.
    inst = read_instance(f"{REPO}/data/g{n}.txt")
    assert inst.coords is not None
    for u, v, w in inst.edges:
        (x1, y1), (x2, y2) = inst.coords[u], inst.coords[v]
        assert abs(((x1 - x2) ** 2 + (y1 - y2) ** 2) ** 0.5 - w) <= 0.5 + 1e-4


def test_fast_reader_matches_the_scanner():
    # Plain files are read at once; every other goes through the scanner.
    # Both must give the same instance, the same edges and weights.
    import random

    from smetp_lab import instance as reader

    rng = random.Random(5)
    for n, edges in ((7, None), (9, 20), (60, None)):
        text = instance_text(n, rng=rng, edges=edges, low=-40000, high=70000)
        fast = parse_instance(text, "f")
        assert reader._fast_edges(text, n, len(fast.edges)) is not None
        slow = parse_instance(text + "\n# a comment sends it to the scanner\n", "s")
        assert fast.edges == slow.edges and (fast.weight == slow.weight).all()
    assert not parse_instance(instance_text(60, rng=rng), "g").engine_ok


def test_sparse_files_and_wide_results(tmp_path, capsys):
    # The sparse format: pairs in any order and direction; the same instance
    # as the design's format of those pairs.
    sparse = "sparse 4 4\n4 3 5\n2 1 10\n3 2 20\n1 3 40\n"
    inst = parse_instance(sparse, "s.txt")
    assert inst.edges == [(0, 1, 10), (0, 2, 40), (1, 2, 20), (2, 3, 5)]
    with pytest.raises(LabError, match="listed twice"):
        parse_instance("sparse 3 2\n1 2 1\n2 1 1\n", "s.txt")
    # The engine's grammar: text glued to a number is no number; a sign may
    # follow one (3-5 is 3 and -5).
    for bad in ("sparse 3 2\n1 2 1\n2 3 1x\n", "sparse 3 2\n1 2 1_0\n2 3 1\n"):
        with pytest.raises(LabError, match="unreadable sparse"):
            parse_instance(bad, "s.txt")
    assert parse_instance("sparse 3 2\n1 2 1\n2 3-5\n", "s.txt").edges == [(0, 1, 1),
                                                                            (1, 2, -5)]
    # A wide run's results: exact scores, an unconnected topology 2^43 per
    # extra piece above its energy, never capped.
    (tmp_path / "s.txt").write_text(sparse)
    tree = links(inst, [[1, 2], [2, 3], [3, 4]])
    apart = links(inst, [[1, 2], [3, 4]])
    runs = []
    for k, (ls, best) in enumerate([(tree, 55), (apart, 2**43 + 30), (apart, 30)]):
        r = run_record(inst, "s.txt", k, ls, best=best)
        r.update(candidate_links=4, capped=False, feasible=best < 2**43, record=None)
        runs.append(r)
    # A wide result without a topology is a run without a launch, whose best
    # is 2^43 per node; one that claims less, or names no candidate links,
    # is no verified result.
    for best, k in ((4 * 2**43, 4), (20, 4), (4 * 2**43, None)):
        r = run_record(inst, "s.txt", len(runs), None, best=best)
        r.update(candidate_links=k, capped=False, feasible=best < 2**43, record=None)
        runs.append(r)
    res = tmp_path / "r.jsonl"
    write_jsonl(res, runs)
    assert main(["verify", str(res)]) == 1
    out = capsys.readouterr().out.splitlines()
    assert out[0].endswith("ok") and out[1].endswith("ok") and out[3].endswith("ok")
    assert f"MISMATCH: best 30 but the topology scores {2**43 + 30}" in out[2]
    assert f"MISMATCH: best 20 but the topology scores {4 * 2**43}" in out[4]
    assert 'MISMATCH: "candidate_links" is null' in out[5]
