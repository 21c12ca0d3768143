"""smetp-lab export --format: a run's topology as an edge list, GraphML and
GeoJSON, each read back to the same links, weights and energy."""
import csv
import json
import random
import xml.etree.ElementTree as ET

import pytest
from helpers import instance, instance_text, run_record, write_jsonl
from smetp_lab.cli import main
from smetp_lab.energy import energy

NS = {"g": "http://graphml.graphdrawing.org/xmlns"}


@pytest.fixture
def results(tmp_path):
    rng = random.Random(3)
    text = instance_text(6, rng=rng)
    (tmp_path / "six.txt").write_text(text)
    (tmp_path / "six.xy").write_text("".join(f"{v} {2 * v}.5\n" for v in range(6)))
    inst = instance(text, "six.txt")
    runs = [[(0, 1), (1, 2), (2, 3), (3, 4), (4, 5)], [(0, 5), (1, 5), (2, 5), (3, 5), (4, 5)]]
    write_jsonl(tmp_path / "r.jsonl", [run_record(inst, "six.txt", k, links)
                                       for k, links in enumerate(runs)])
    return tmp_path, inst, runs


def export(tmp_path, *options):
    return main(["export", str(tmp_path / "r.jsonl"), "--instances-dir", str(tmp_path),
                 *options])


def test_each_format_reads_back(results):
    tmp_path, inst, runs = results
    assert export(tmp_path, "--format", "csv", "-o", str(tmp_path / "t.csv")) == 0
    rows = list(csv.DictReader(open(tmp_path / "t.csv")))
    for k, links in enumerate(runs):
        mine = [(int(r["u"]) - 1, int(r["v"]) - 1, int(r["weight"])) for r in rows
                if r["index"] == str(k)]
        assert [(u, v) for u, v, _ in mine] == links
        assert all(w == inst.weight[u, v] for u, v, w in mine)

    assert export(tmp_path, "--format", "graphml", "--index", "1",
                  "-o", str(tmp_path / "t.graphml")) == 0
    (graph,) = ET.parse(tmp_path / "t.graphml").getroot().findall("g:graph", NS)
    edges = [(int(e.get("source")[1:]) - 1, int(e.get("target")[1:]) - 1)
             for e in graph.findall("g:edge", NS)]
    assert graph.get("id") == "run1" and edges == runs[1]
    powers = [int(n.find("g:data[@key='power']", NS).text) for n in graph.findall("g:node", NS)]
    assert sum(powers) == energy(inst, runs[1])
    assert graph.find("g:node/g:data[@key='y']", NS).text == "0.5"

    assert export(tmp_path, "--format", "geojson", "--index", "0",
                  "-o", str(tmp_path / "t.geojson")) == 0
    features = json.load(open(tmp_path / "t.geojson"))["features"]
    lines = [f for f in features if f["geometry"]["type"] == "LineString"]
    assert [(f["properties"]["u"] - 1, f["properties"]["v"] - 1) for f in lines] == runs[0]
    assert lines[0]["geometry"]["coordinates"] == [[0.0, 0.5], [1.0, 2.5]]


def test_geojson_needs_coordinates_and_one_kind_of_export(results, capsys):
    tmp_path, _, _ = results
    (tmp_path / "six.xy").unlink()
    assert export(tmp_path, "--format", "geojson", "-o", str(tmp_path / "t.geojson")) == 1
    assert "no coordinates file" in capsys.readouterr().err
    assert not (tmp_path / "t.geojson").exists()
    assert export(tmp_path, "--format", "csv", "--ioh", str(tmp_path / "ioh")) == 1
    assert export(tmp_path, "--format", "csv", "--index", "7") == 1
