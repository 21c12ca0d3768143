"""Instances from node coordinates: weight = round(scale * d^alpha), d the
distance between two nodes (alpha, the path-loss exponent, is 2 to 4 for
radios; 1 gives plain distances).

Coordinates come as plain "x y" lines (# comments), CSV with a header (the
columns named x and y, else the first two), or TSPLIB files with
EDGE_WEIGHT_TYPE EUC_2D (d Euclidean) or GEO (d the great-circle distance in
km on TSPLIB's sphere of radius 6378.388, coordinates as DDD.MM degrees and
minutes; the .xy file then holds km on a plane through the points' mean
latitude, so that drawn ranges are near true).
"""
from __future__ import annotations

import csv
import io
import math
import os
import re

import numpy as np

from .instance import LabError
# The weighting rules and their warnings, shared with the Python package's
# Instance.from_points.
from .pathloss import (EARTH_RADIUS, GEO_RADIUS, check_model, choose_scale, costs, geo_radians,
                       weigh)
# CSV column names read as x and y, in order of preference.
_CSV_AXES = (("x", "y"), ("easting", "northing"), ("lon", "lat"), ("lng", "lat"),
             ("long", "lat"), ("longitude", "latitude"))
# From here on in _CSV_AXES the columns are longitude and latitude in degrees.
_CSV_FIRST_GEOGRAPHIC = 2


def _number(text: str, where: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise LabError(where, f'"{text}" is not a number') from None
    if not math.isfinite(value):
        raise LabError(where, f'"{text}" is not a finite number')
    return value


def _tsplib(lines: list[str], path: str) -> tuple[np.ndarray, str]:
    spec: dict[str, str] = {}
    points = []
    in_coords = False
    for lineno, line in enumerate(lines, 1):
        text = line.strip()
        if not text or text == "EOF":
            if text == "EOF":
                break
            continue
        if in_coords:
            fields = text.split()
            if not re.fullmatch(r"[+-]?\d+", fields[0]):
                in_coords = False  # the next section starts
            else:
                if len(fields) < 3:
                    raise LabError(f"{path}:{lineno}", "a node line needs: number x y")
                if int(fields[0]) != len(points) + 1:
                    raise LabError(f"{path}:{lineno}", f"node {fields[0]} where node "
                                   f"{len(points) + 1} was expected")
                points.append((_number(fields[1], f"{path}:{lineno}"),
                               _number(fields[2], f"{path}:{lineno}")))
                continue
        if text.startswith("NODE_COORD_SECTION"):
            in_coords = True
            continue
        if ":" in text:
            key, value = text.split(":", 1)
            spec[key.strip().upper()] = value.strip()
        elif text.endswith("_SECTION"):
            raise LabError(f"{path}:{lineno}", f"{text} is not read; "
                           "give the points in a NODE_COORD_SECTION")
    kind = spec.get("EDGE_WEIGHT_TYPE", "").upper()
    if kind not in ("EUC_2D", "GEO"):
        raise LabError(path, f"EDGE_WEIGHT_TYPE {kind or 'missing'}; "
                       "EUC_2D and GEO are read")
    if "DIMENSION" in spec and spec["DIMENSION"].isdigit() \
            and int(spec["DIMENSION"]) != len(points):
        raise LabError(path, f"DIMENSION {spec['DIMENSION']} but {len(points)} nodes")
    return np.array(points, dtype=float).reshape(-1, 2), kind


def _is_number(text: str) -> bool:
    try:
        float(text)
        return True
    except ValueError:
        return False


def _csv_columns(header: list[str], path: str) -> tuple[int, int, bool]:
    """The x and y columns a header names, and whether they are longitude
    and latitude; two unnamed columns are x and y. A wider header without
    such names is refused: its first column is as likely an id as x."""
    for k, (x, y) in enumerate(_CSV_AXES):
        if x in header and y in header:
            return header.index(x), header.index(y), k >= _CSV_FIRST_GEOGRAPHIC
    if len(header) == 2:
        return 0, 1, False
    raise LabError(f"{path}:1", f"the header {','.join(header)} names no x and y columns "
                   "(x,y; easting,northing; lon,lat); name them, or keep only two columns")


def _csv(text: str, path: str) -> tuple[np.ndarray, str]:
    """The points and their kind: "LONLAT" for longitude and latitude
    columns (degrees on the sphere, not a plane), else "csv"."""
    rows = list(csv.reader(io.StringIO(text)))
    header = [h.strip().lower() for h in rows[0]]
    # A first row of numbers is a point, not a header.
    first = 1 if not all(_is_number(h) for h in header[:2]) else 0
    *cols, geographic = _csv_columns(header, path) if first else (0, 1, False)
    points = []
    for lineno, row in enumerate(rows[first:], first + 1):
        if not any(c.strip() for c in row):
            continue
        if len(row) <= max(cols):
            raise LabError(f"{path}:{lineno}", f"{len(row)} columns, the header has "
                           f"{len(header)}")
        points.append(tuple(_number(row[c].strip(), f"{path}:{lineno}") for c in cols))
        if geographic and not (-180 <= points[-1][0] <= 360 and -90 <= points[-1][1] <= 90):
            raise LabError(f"{path}:{lineno}", f"longitude {points[-1][0]:g}, latitude "
                           f"{points[-1][1]:g}: not degrees on the Earth")
    return np.array(points, dtype=float).reshape(-1, 2), "LONLAT" if geographic else "csv"


def _plain(lines: list[str], path: str) -> np.ndarray:
    points = []
    for lineno, line in enumerate(lines, 1):
        fields = line.split("#", 1)[0].split()
        if not fields:
            continue
        if len(fields) != 2:
            raise LabError(f"{path}:{lineno}", f'"{line.strip()}" is not a line "x y"')
        points.append(tuple(_number(f, f"{path}:{lineno}") for f in fields))
    return np.array(points, dtype=float).reshape(-1, 2)


def read_points(path: str) -> tuple[np.ndarray, str]:
    """The points of a coordinates file and their kind: "plain", "csv",
    "LONLAT" (a CSV file's longitude and latitude columns), "EUC_2D" or
    "GEO"."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise LabError(path, e.strerror or str(e)) from None
    except UnicodeDecodeError:
        raise LabError(path, "not UTF-8 text") from None
    lines = text.splitlines()
    first = next((ln for ln in lines if ln.strip() and not ln.startswith("#")), "")
    if re.match(r"\s*(NAME|TYPE|COMMENT|DIMENSION|EDGE_WEIGHT_TYPE)\s*:", first, re.I):
        points, kind = _tsplib(lines, path)
    elif "," in first:
        points, kind = _csv(text, path)
    else:
        points, kind = _plain(lines, path), "plain"
    if len(points) < 2:
        raise LabError(path, f"{len(points)} points; an instance needs at least 2")
    return points, kind


def plane_points(points: np.ndarray, kind: str) -> np.ndarray:
    """Points for drawing, in the units of the distances."""
    if kind == "LONLAT":
        lon, lat = np.radians(points[:, 0]), np.radians(points[:, 1])
        return EARTH_RADIUS * np.column_stack([lon * np.cos(lat.mean()), lat])
    if kind != "GEO":
        return points
    r = geo_radians(points)
    lat, lon = r[:, 0], r[:, 1]
    return GEO_RADIUS * np.column_stack([lon * np.cos(lat.mean()), lat])


def instance_text(w: np.ndarray) -> str:
    """A complete instance: each pair once per direction, as the generator
    writes them."""
    n = len(w)
    lines = [f"{n} {n * (n - 1)}"]
    iu, iv = np.triu_indices(n, 1)
    lines += [f"{u + 1} {v + 1} {x}" for u, v, x in zip(iu.tolist(), iv.tolist(),
                                                         w[iu, iv].tolist())]
    lines += [f"{v + 1} {u + 1} {x}" for u, v, x in zip(iu.tolist(), iv.tolist(),
                                                         w[iu, iv].tolist())]
    return "\n".join(lines) + "\n"


def xy_text(points: np.ndarray, note: str, alpha: float, scale: float) -> str:
    head = f"# x y of nodes 1..{len(points)}: {note}\n# model: alpha {alpha:g} scale {scale:g}\n"
    return head + "".join(f"{x:.6f} {y:.6f}\n" for x, y in points)


def convert(path: str, out: str, alpha: float = 1.0, scale: str | float = 1.0) -> dict:
    """Writes the instance and its .xy file; returns what was done (scale,
    rounding error, warnings)."""
    from .results import write_files

    try:
        check_model(alpha, scale)
    except ValueError as e:
        raise LabError("", str(e)) from None
    points, kind = read_points(path)
    try:
        d, cost = costs(points, kind, alpha)
        s = choose_scale(cost, scale)
    except ValueError as e:
        raise LabError(path, str(e)) from None
    w, error, warnings = weigh(d, cost, s)
    coords_out = os.path.splitext(out)[0] + ".xy"
    note = f"smetp-lab convert {os.path.basename(path)} ({kind})"
    write_files([(out, instance_text(w)),
                 (coords_out, xy_text(plane_points(points, kind), note, alpha, s))])
    return {"nodes": len(points), "kind": kind, "scale": s, "alpha": alpha,
            "rounding_error": error, "max_weight": int(w.max()), "xy": coords_out,
            "warnings": warnings}
