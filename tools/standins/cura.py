#!/usr/bin/env python3
"""Slicer stand-in with the command line and output contract of the printer's slicer.

    cura.py -s -t MATRIX -p "layer_height=H,platform_adhesion=A,support=S" -o OUT.gcode MODEL.stl

Reads a binary or ASCII STL model, applies the 3x3 matrix given with -t (JSON text,
row-major), rests the model on the bed at its centre and writes layered G-code: for
every layer the outline of the model's cross-section as extruding G1 moves, with a
short start and end sequence. While working it prints "Slicing: NN" lines (whole
percentages) and, once the file is written, "GCode file saved : OUT". A model that
cannot be read ends the program with Python's own traceback (on standard error) and
no "saved" line; the output file is then not written.

"++" in a -p value stands for a blank (the daemon's way of keeping one argument).
"""

import argparse
import json
import math
import struct
import sys

BED_CENTRE = (100.0, 100.0)
NOZZLE_DIAMETER = 0.4
FILAMENT_DIAMETER = 1.75
TRAVEL_FEED = 6000
PRINT_FEED = 1800


def read_stl(path):
    """Returns the model's triangles as lists of three (x, y, z) tuples."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) >= 84:
        (count,) = struct.unpack_from("<I", data, 80)
        if count > 0 and len(data) == 84 + 50 * count:
            triangles = []
            for i in range(count):
                values = struct.unpack_from("<12f", data, 84 + 50 * i)
                triangles.append([tuple(values[3 + 3 * k:6 + 3 * k]) for k in range(3)])
            return triangles
    text = data.decode("ascii")
    if not text.lstrip().startswith("solid"):
        raise ValueError("not an STL model: " + path)
    triangles, corners = [], []
    for line in text.splitlines():
        words = line.split()
        if words and words[0] == "vertex":
            corners.append(tuple(float(w) for w in words[1:4]))
            if len(corners) == 3:
                triangles.append(corners)
                corners = []
    if not triangles:
        raise ValueError("STL model without facets: " + path)
    return triangles


def parse_settings(text):
    settings = {"layer_height": "0.1", "platform_adhesion": "None", "support": "None"}
    for item in text.split(","):
        if "=" in item:
            key, value = item.split("=", 1)
            settings[key.strip()] = value.strip().replace("++", " ")
    height = float(settings["layer_height"])
    if not 0.0 < height <= 5.0:
        raise ValueError("layer height out of range: %s" % settings["layer_height"])
    return height, settings["platform_adhesion"], settings["support"]


def place(triangles, matrix):
    """Applies the matrix, then moves the model onto the bed, centred."""
    m = [float(v) for v in matrix]
    if len(m) != 9:
        raise ValueError("the matrix needs 9 numbers")
    moved = [[(m[0] * x + m[1] * y + m[2] * z, m[3] * x + m[4] * y + m[5] * z, m[6] * x + m[7] * y + m[8] * z)
              for (x, y, z) in tri] for tri in triangles]
    xs = [p[0] for t in moved for p in t]
    ys = [p[1] for t in moved for p in t]
    zs = [p[2] for t in moved for p in t]
    dx = BED_CENTRE[0] - (min(xs) + max(xs)) / 2
    dy = BED_CENTRE[1] - (min(ys) + max(ys)) / 2
    dz = -min(zs)
    return [[(x + dx, y + dy, z + dz) for (x, y, z) in t] for t in moved], max(zs) + dz


def cross_section(triangles, z):
    """Segments where the plane at height z cuts the model."""
    segments = []
    for tri in triangles:
        points = []
        for a, b in ((tri[0], tri[1]), (tri[1], tri[2]), (tri[2], tri[0])):
            if (a[2] - z) * (b[2] - z) < 0:
                t = (z - a[2]) / (b[2] - a[2])
                points.append((a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1])))
        if len(points) == 2 and points[0] != points[1]:
            segments.append(tuple(points))
    return segments


def chain(segments):
    """Joins segments that share end points into paths (closed outlines where the mesh is)."""
    def key(p):
        return (round(p[0], 4), round(p[1], 4))

    ends = {}
    for index, (a, b) in enumerate(segments):
        ends.setdefault(key(a), []).append(index)
        ends.setdefault(key(b), []).append(index)
    used = [False] * len(segments)
    paths = []
    for start in range(len(segments)):
        if used[start]:
            continue
        used[start] = True
        path = list(segments[start])
        while True:
            nxt = None
            for index in ends.get(key(path[-1]), []):
                if not used[index]:
                    nxt = index
                    break
            if nxt is None:
                break
            used[nxt] = True
            a, b = segments[nxt]
            path.append(b if key(a) == key(path[-1]) else a)
        paths.append(path)
    return paths


class Writer:
    def __init__(self, layer_height):
        self.lines = []
        self.e = 0.0
        # Millimetres of filament per millimetre of line.
        self.rate = (NOZZLE_DIAMETER * layer_height) / (math.pi * (FILAMENT_DIAMETER / 2) ** 2)
        self.position = None

    def emit(self, text):
        self.lines.append(text)

    def travel(self, p):
        self.emit("G0 F%d X%.3f Y%.3f" % (TRAVEL_FEED, p[0], p[1]))
        self.position = p

    def extrude(self, p):
        self.e += math.hypot(p[0] - self.position[0], p[1] - self.position[1]) * self.rate
        self.emit("G1 F%d X%.3f Y%.3f E%.5f" % (PRINT_FEED, p[0], p[1], self.e))
        self.position = p

    def outline(self, points):
        self.travel(points[0])
        for p in points[1:]:
            self.extrude(p)

    def rectangle(self, x0, y0, x1, y1):
        self.outline([(x0, y0), (x1, y0), (x1, y1), (x0, y1), (x0, y0)])


def slice_model(args):
    height, adhesion, support = parse_settings(args.p)
    triangles, top = place(read_stl(args.model), json.loads(args.t))
    out = Writer(height)
    out.emit(";Sliced layer height %.3f, adhesion %s, support %s" % (height, adhesion, support))
    out.emit("M104 S210")
    out.emit("G28")
    out.emit("M109 S210")
    out.emit("G92 E0")

    z0 = 0.0
    xs = [p[0] for t in triangles for p in t]
    ys = [p[1] for t in triangles for p in t]
    box = (min(xs), min(ys), max(xs), max(ys))
    if adhesion == "Raft":
        for k in range(2):
            z0 += height
            out.emit(";RAFT %d" % k)
            out.emit("G0 Z%.3f" % z0)
            out.rectangle(box[0] - 3, box[1] - 3, box[2] + 3, box[3] + 3)

    count = max(1, int(math.ceil(top / height - 1e-9)))
    reported = -1
    for layer in range(count):
        z = (layer + 0.5) * height
        out.emit(";LAYER:%d" % layer)
        out.emit("G0 Z%.3f" % (z0 + (layer + 1) * height))
        if layer == 0 and adhesion == "Brim":
            for k in range(3, 0, -1):
                out.rectangle(box[0] - k, box[1] - k, box[2] + k, box[3] + k)
        for path in chain(cross_section(triangles, z)):
            out.outline(path)
        percent = (layer + 1) * 100 // (count + 1)
        if percent != reported:
            print("Slicing: %d" % percent, flush=True)
            reported = percent

    out.emit("M104 S0")
    out.emit("G0 Z%.3f" % (z0 + count * height + 10))
    out.emit("G28 X0 Y0")
    out.emit("M84")
    with open(args.o, "w") as f:
        f.write("\n".join(out.lines) + "\n")
    print("Slicing: 100", flush=True)
    print("GCode file saved : %s" % args.o, flush=True)


def main():
    parser = argparse.ArgumentParser(description="Slices an STL model into G-code.")
    parser.add_argument("-s", action="store_true", help="slice (the only mode)")
    parser.add_argument("-t", default="[1,0,0,0,1,0,0,0,1]", help="3x3 transform, JSON text")
    parser.add_argument("-p", default="", help="comma-separated key=value settings")
    parser.add_argument("-o", required=True, help="G-code file to write")
    parser.add_argument("model", help="STL model")
    slice_model(parser.parse_args())


if __name__ == "__main__":
    main()
