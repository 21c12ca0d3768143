"""Topologies for other tools: an edge list (CSV), GraphML (graph tools,
networkx, Gephi) or GeoJSON (maps and GIS, where the instance's coordinates
file gives the nodes' places).

Every format takes a list of (run index, instance, 0-based links): nodes are
numbered 1..n as in graph files, each link carries its weight and each node
its power (its heaviest link), so that the energy can be summed again.
"""
from __future__ import annotations

import csv
import io
import json
import xml.etree.ElementTree as ET

from .energy import energy, powers
from .instance import Instance, LabError

FORMATS = ("csv", "graphml", "geojson")
GRAPHML_NS = "http://graphml.graphdrawing.org/xmlns"

Item = tuple[int, Instance, list]


def _links(inst: Instance, links) -> list[tuple[int, int, int]]:
    """1-based (u, v, weight), u < v, sorted."""
    return [(u + 1, v + 1, int(inst.weight[u, v])) for u, v in sorted(links)]


def csv_text(items: list[Item]) -> str:
    out = io.StringIO()
    w = csv.writer(out, lineterminator="\n")
    w.writerow(["index", "u", "v", "weight"])
    for index, inst, links in items:
        w.writerows([index, u, v, x] for u, v, x in _links(inst, links))
    return out.getvalue()


def graphml_text(items: list[Item]) -> str:
    ET.register_namespace("", GRAPHML_NS)
    root = ET.Element(f"{{{GRAPHML_NS}}}graphml")
    keys = [("instance", "graph", "string"), ("energy", "graph", "long"),
            ("x", "node", "double"), ("y", "node", "double"), ("power", "node", "long"),
            ("weight", "edge", "long")]
    for name, owner, kind in keys:
        ET.SubElement(root, f"{{{GRAPHML_NS}}}key", {"id": name, "for": owner,
                                                     "attr.name": name, "attr.type": kind})

    def data(parent, key, value):
        ET.SubElement(parent, f"{{{GRAPHML_NS}}}data", {"key": key}).text = str(value)

    for index, inst, links in items:
        g = ET.SubElement(root, f"{{{GRAPHML_NS}}}graph",
                          {"id": f"run{index}", "edgedefault": "undirected"})
        data(g, "instance", inst.path)
        data(g, "energy", energy(inst, links))
        p = powers(inst, links)
        for v in range(inst.n):
            node = ET.SubElement(g, f"{{{GRAPHML_NS}}}node", {"id": f"n{v + 1}"})
            if inst.coords is not None:
                data(node, "x", repr(float(inst.coords[v, 0])))
                data(node, "y", repr(float(inst.coords[v, 1])))
            data(node, "power", int(p[v]))
        for u, v, x in _links(inst, links):
            edge = ET.SubElement(g, f"{{{GRAPHML_NS}}}edge", {"source": f"n{u}",
                                                              "target": f"n{v}"})
            data(edge, "weight", x)
    ET.indent(root)
    return ET.tostring(root, encoding="unicode", xml_declaration=True) + "\n"


def geojson_text(items: list[Item], where: str = "") -> str:
    """Nodes as points and links as lines, at the coordinates as the
    instance's coordinates file holds them (longitude and latitude where the
    coordinates came so)."""
    features = []
    for index, inst, links in items:
        if inst.coords is None:
            raise LabError(where or inst.path, f"{inst.path} has no coordinates file "
                           "(.xy beside it): GeoJSON needs the nodes' places")
        xy = [[float(x), float(y)] for x, y in inst.coords]
        p = powers(inst, links)
        features += [{"type": "Feature", "geometry": {"type": "Point", "coordinates": xy[v]},
                      "properties": {"index": index, "node": v + 1, "power": int(p[v])}}
                     for v in range(inst.n)]
        features += [{"type": "Feature",
                      "geometry": {"type": "LineString", "coordinates": [xy[u - 1], xy[v - 1]]},
                      "properties": {"index": index, "u": u, "v": v, "weight": x}}
                     for u, v, x in _links(inst, links)]
    # One feature a line: readable, and small enough for a thousand nodes.
    return ('{"type": "FeatureCollection", "features": [\n'
            + ",\n".join(json.dumps(f) for f in features) + "\n]}\n")


def topology_text(fmt: str, items: list[Item], where: str = "") -> str:
    if fmt == "csv":
        return csv_text(items)
    if fmt == "graphml":
        return graphml_text(items)
    return geojson_text(items, where)
