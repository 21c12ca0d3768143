"""The MIP against exhaustive enumeration; the local search's guarantees."""
import random

import pytest
from helpers import REPO, enumerate_optimum, instance, instance_text
from smetp_lab.energy import check_links, energy, is_connected
from smetp_lab.exact import cached_solve, solve
from smetp_lab.heuristics import local_search, mst
from smetp_lab.instance import read_instance


def small_instances():
    """Random small instances: complete ones of 5 and 6 nodes (some with
    zero, negative and tied weights), incomplete ones of 7 nodes whose
    header promises fewer pairs, and one whose pairs cannot connect."""
    rng = random.Random(7)
    out = []
    for k in range(6):
        n = 5 + k % 2
        low = -20 if k % 3 == 0 else 1
        out.append(instance_text(n, rng=rng, low=low, high=60 if k % 2 else 500))
    for edges in (14, 16):
        out.append(instance_text(7, rng=rng, edges=edges, high=300))
    # 6 nodes, only the pairs (1,2)..(1,6),(2,3): fine; (1,2),(1,3),(1,4): node 5, 6 cut off.
    out.append(instance_text(6, rng=rng, edges=3))
    return out


@pytest.mark.parametrize("text", small_instances())
def test_mip_matches_enumeration(text):
    inst = instance(text)
    want = enumerate_optimum(inst)
    got = solve(inst, time_limit=60)
    assert got["proven"] and got["optimum"] == want and got["bound"] == want
    if want < 65000:
        links = check_links(inst, got["topology"], "mip")
        assert energy(inst, links) == want


def test_mip_optimum_is_capped_like_the_energy():
    inst = instance(instance_text(3, {(1, 2): 32767, (1, 3): 32000, (2, 3): 32767}))
    assert solve(inst, 30)["optimum"] == 64999


def random_tree_links(inst, rng):
    order = list(range(inst.n))
    rng.shuffle(order)
    return [tuple(sorted((order[i], order[rng.randrange(i)]))) for i in range(1, inst.n)]


def test_local_search_never_worse_and_connected():
    rng = random.Random(3)
    for k in range(12):
        inst = instance(instance_text(12, rng=rng, low=-5 if k % 4 == 0 else 1, high=400))
        starts = [mst(inst), random_tree_links(inst, rng)]
        # A start with extra links: a tree plus a few more edges.
        starts.append(sorted(set(random_tree_links(inst, rng))
                             | {(0, 1), (2, 5), (3, 9)}))
        for start in starts:
            before = energy(inst, start)
            after = local_search(inst, start)
            assert is_connected(inst.n, after)
            assert energy(inst, after) <= before


def test_local_search_leaves_a_disconnected_start_alone():
    inst = instance(instance_text(5, rng=random.Random(1)))
    start = [(0, 1), (2, 3)]
    assert local_search(inst, start) == start


def test_mst_within_twice_and_search_near_the_optimum_on_g20():
    inst = read_instance(f"{REPO}/data/g20.txt")
    opt = solve(inst, 120)
    assert opt["proven"]
    tree = mst(inst)
    assert energy(inst, tree) <= 2 * opt["optimum"]
    assert energy(inst, local_search(inst, tree)) <= 1.03 * opt["optimum"]


def test_cache_reuses_a_solve(tmp_path):
    inst = instance(instance_text(6, rng=random.Random(2)))
    first = cached_solve(inst, 30, str(tmp_path))
    again = cached_solve(inst, 30, str(tmp_path))
    assert not first["cached"] and again["cached"]
    assert again["optimum"] == first["optimum"]
    assert [p.name for p in tmp_path.iterdir()] == [f"exact-{inst.sha256}.json"]


def test_exact_beyond_the_engine_against_a_known_optimum(tmp_path, capsys):
    # 50 nodes on a line, 2000 apart: every node needs at least 2000 to
    # reach its nearest neighbour, and the path gives exactly that, so the
    # optimum is 50 * 2000 = 100000: a true sum, past the engine's cap.
    from smetp_lab.cli import main

    (tmp_path / "line.txt").write_text("".join(f"{2000 * k} 0\n" for k in range(50)))
    out = tmp_path / "line50.txt"
    assert main(["convert", str(tmp_path / "line.txt"), "-o", str(out)]) == 0
    inst = read_instance(str(out))
    assert not inst.engine_ok and inst.cap is None
    got = solve(inst, 120)
    assert got["proven"] and got["optimum"] == got["bound"] == 100000
    assert energy(inst, check_links(inst, got["topology"], "mip")) == 100000
    assert energy(inst, local_search(inst, mst(inst))) == 100000
    capsys.readouterr()
    assert main(["report", "--instance", str(out), "--exact", "--cache-dir",
                 str(tmp_path / "cache"), "-o", str(tmp_path / "rep"), "-q"]) == 0
    assert "| no runs | 0 | 0 | 0 |" in (tmp_path / "rep" / "report.md").read_text()


def test_local_search_on_candidate_lists_beyond_200_nodes():
    # Past 200 nodes the search moves over each node's nearest links only:
    # still connected, never worse than its start, from a random tree too.
    from smetp_lab.heuristics import DENSE_NODES

    rng = random.Random(9)
    n = DENSE_NODES + 50
    pts = [(rng.uniform(0, 1000), rng.uniform(0, 1000)) for _ in range(n)]
    w = {(u + 1, v + 1): round(((pts[u][0] - pts[v][0]) ** 2 + (pts[u][1] - pts[v][1]) ** 2)
                               ** 0.5) for u in range(n) for v in range(u + 1, n)}
    inst = instance(instance_text(n, w))
    for start in (mst(inst), random_tree_links(inst, rng)):
        after = local_search(inst, start)
        assert is_connected(n, after) and energy(inst, after) <= energy(inst, start)
    assert energy(inst, local_search(inst, mst(inst))) < energy(inst, mst(inst))


def test_ils_command_verified_and_never_worse_than_the_local_search(capsys):
    import json

    from smetp_lab.cli import main

    path = f"{REPO}/data/g20.txt"
    inst = read_instance(path)
    floor = energy(inst, local_search(inst, mst(inst)))
    assert main(["ils", path, "--time-limit", "0.3", "--seed", "5", "--json"]) == 0
    r = json.loads(capsys.readouterr().out)
    links = check_links(inst, r["topology"], "ils")
    assert is_connected(inst.n, links) and energy(inst, links) == r["energy"] <= floor
    assert (r["seed"], r["capped"], r["verified"]) == (5, False, True) and r["seconds"] >= 0.3
    assert main(["ils", path, "--time-limit", "-1"]) == 1
    assert "--time-limit -1: seconds, 0 or more" in capsys.readouterr().err
