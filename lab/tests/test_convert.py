"""Instances from coordinates against weights worked out by hand."""
import pytest
from smetp_lab.cli import main
from smetp_lab.instance import read_instance


def weights(path):
    return [w for _, _, w in read_instance(str(path)).edges]


# (1,1) is sqrt(2) from (0,0) and (0,2), which are 2 apart.
PLAIN = "# three nodes\n0 0\n1 1\n\n0 2\n"
CSV = "id,y,x\n1,0,0\n2,1,1\n3,2,0\n"


@pytest.mark.parametrize("name, text, alpha, scale, want", [
    ("p.txt", PLAIN, 2, 10, [20, 40, 20]),          # 10 * 2, 10 * 4
    ("p.txt", PLAIN, 3, 10, [28, 80, 28]),          # 10 * 2.828, 10 * 8
    ("c.csv", CSV, 3, 10, [28, 80, 28]),            # the columns by name
    ("c.csv", "1,5\n4,9\n", 1, 1, [5]),             # no header: a 3-4-5 triangle
])
def test_convert_weights(tmp_path, capsys, name, text, alpha, scale, want):
    (tmp_path / name).write_text(text)
    out = tmp_path / "g.txt"
    assert main(["convert", str(tmp_path / name), "-o", str(out), "--alpha", str(alpha),
                 "--scale", str(scale)]) == 0
    assert weights(out) == want
    inst = read_instance(str(out))
    assert inst.coords is not None and (inst.alpha, inst.scale) == (alpha, scale)
    assert "rounding error" in capsys.readouterr().out


def test_tsplib_geo(tmp_path, capsys):
    # 1 degree along the equator: 6378.388 * pi / 180 = 111.32 km; 1 deg 30
    # min (written 1.30) north: 166.99 km; between those two points,
    # acos(cos 1.5 deg * cos 1 deg) = 200.68 km.
    (tmp_path / "t.tsp").write_text(
        "NAME: t\nTYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: GEO\nNODE_COORD_SECTION\n"
        "1 0.00 0.00\n2 0.00 1.00\n3 1.30 0.00\nEOF\n")
    out = tmp_path / "g.txt"
    assert main(["convert", str(tmp_path / "t.tsp"), "-o", str(out)]) == 0
    assert weights(out) == [111, 167, 201]
    assert main(["convert", str(tmp_path / "t.tsp"), "-o", str(out), "--alpha", "2",
                 "--scale", "auto"]) == 0
    # At alpha 2 the heaviest links of nodes 1, 2, 3 are 166.99^2, 200.68^2
    # and 200.68^2: 108433.1 together, and 64999 over that is 0.59944.
    out_text = capsys.readouterr()
    assert "scale: 0.5994 (auto)" in out_text.out and "warning" not in out_text.err
    assert weights(out) == [7428, 16714, 24140]  # 0.5994 * (12393.0, 27884.3, 40274.4)


def test_longitude_and_latitude_columns_are_degrees_on_the_earth(tmp_path):
    # At 60 degrees north, 0.02 degrees east and 0.01 degrees north are both
    # about 1.11 km: links of equal weight, not 20 and 10.
    (tmp_path / "p.csv").write_text("name,lat,lon\na,60,10\nb,60,10.02\nc,60.01,10\n")
    out = tmp_path / "g.txt"
    assert main(["convert", str(tmp_path / "p.csv"), "-o", str(out), "--scale", "1000"]) == 0
    ab, ac, bc = weights(out)
    assert ab == ac == 1112 and bc == 1572
    (tmp_path / "bad.csv").write_text("lon,lat\n10,95\n11,60\n")
    assert main(["convert", str(tmp_path / "bad.csv"), "-o", str(out)]) == 1


def test_auto_scale_and_cap_warning(tmp_path, capsys):
    # 45 points on a line 10 apart: node k's farthest is max(k, 44 - k) * 10
    # away, 14960 over all nodes; 64999 over that is 4.3449, while the
    # longest weight (440) would allow 74.
    (tmp_path / "line.txt").write_text("".join(f"{10 * k} 0\n" for k in range(45)))
    out = tmp_path / "g.txt"
    assert main(["convert", str(tmp_path / "line.txt"), "-o", str(out), "--scale",
                 "auto"]) == 0
    assert "scale: 4.344 (auto)" in capsys.readouterr().out
    assert main(["convert", str(tmp_path / "line.txt"), "-o", str(out), "--scale", "5"]) == 0
    err = capsys.readouterr().err
    assert "warning" in err and "capped runs" in err


def test_convert_errors(tmp_path, capsys):
    (tmp_path / "bad.txt").write_text("0 0\n1 x\n")
    (tmp_path / "e.tsp").write_text("NAME: e\nEDGE_WEIGHT_TYPE: ATT\nNODE_COORD_SECTION\n"
                                    "1 0 0\n2 1 1\n")
    for src, says in (("bad.txt", "bad.txt:2: \"x\" is not a number"),
                      ("e.tsp", "e.tsp: EDGE_WEIGHT_TYPE ATT")):
        assert main(["convert", str(tmp_path / src), "-o", str(tmp_path / "g.txt")]) == 1
        assert capsys.readouterr().err.startswith(f"smetp-lab: {tmp_path}/{says}")
    assert not (tmp_path / "g.txt").exists()


def test_make_instance_alpha_and_cap_warning(tmp_path):
    import subprocess
    import sys

    from helpers import REPO

    tool = f"{REPO}/tools/make_instance.py"
    out = tmp_path / "g.txt"
    r = subprocess.run([sys.executable, tool, "45", "3", "--side", "5000"],
                       capture_output=True, text=True, check=True)
    assert "warning" in r.stderr and "cap 64999" in r.stderr
    subprocess.run([sys.executable, tool, "5", "1", "--alpha", "2", "--scale", "0.01", "-o",
                    str(out)], capture_output=True, check=True)
    inst = read_instance(str(out))
    for u, v, w in inst.edges:
        d2 = ((inst.coords[u] - inst.coords[v]) ** 2).sum()
        assert abs(0.01 * d2 - w) <= 0.5 + 1e-6
    assert (inst.alpha, inst.scale) == (2, 0.01)
