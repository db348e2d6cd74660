#!/usr/bin/env python3
"""Slicer stand-in: the printer's slicer command line and output, with Debian's Slic3r
doing the slicing.

    cura.py -s -t MATRIX -p "layer_height=H,platform_adhesion=A,support=S" -o OUT.gcode MODEL.stl

Reads a binary or ASCII STL model, applies the 3x3 matrix given with -t (JSON text,
row-major) and has Slic3r slice it for this printer: a 0.4 mm nozzle, 1.75 mm PLA at
185 degrees, no heated bed, the model centred on the bed at (100, 100), layer height,
brim or raft and support as -p asks. The printer homes, heats and resets the extruder
itself and streams only the movement lines (G0/G1) of the file, so the file is made to
stand on those alone: no start or end sequence, no bed-heater commands, comments
dropped, and extrusion written as one absolute E axis from 0 (Slic3r's own "G92 E0"
resets are folded into the E values that follow them).

While working it prints "Slicing: NN" lines (whole percentages, one per stage Slic3r
reports) and, once the file is written, "GCode file saved : OUT". A model that cannot
be read, or that Slic3r refuses, ends the program with Python's traceback (on standard
error) and no "saved" line; the output file is then not written.

"++" in a -p value stands for a blank (the daemon's way of keeping one argument).
"""

import argparse
import json
import os
import re
import struct
import subprocess
import tempfile

BED_CENTRE = (100.0, 100.0)
NOZZLE_DIAMETER = 0.4
FILAMENT_DIAMETER = 1.75
TEMPERATURE = 185
SLIC3R = os.environ.get("TOLVANE_SLIC3R", "slic3r")
# Stages Slic3r announces with a "=> " line; each one moves the reported percentage on.
STAGES = 8


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


def transform(triangles, matrix):
    m = [float(v) for v in matrix]
    if len(m) != 9:
        raise ValueError("the matrix needs 9 numbers")
    return [[(m[0] * x + m[1] * y + m[2] * z, m[3] * x + m[4] * y + m[5] * z, m[6] * x + m[7] * y + m[8] * z)
             for (x, y, z) in tri] for tri in triangles]


def write_ascii_stl(path, triangles):
    # ASCII: Slic3r guesses the kind of a binary file from its first bytes, and takes
    # some binary models for ASCII ones.
    with open(path, "w") as f:
        f.write("solid model\n")
        for tri in triangles:
            f.write("facet normal 0 0 0\nouter loop\n")
            for corner in tri:
                f.write("vertex %r %r %r\n" % corner)
            f.write("endloop\nendfacet\n")
        f.write("endsolid model\n")


def slic3r_arguments(height, adhesion, support, model, gcode, empty):
    args = [SLIC3R, "--no-gui", "--nozzle-diameter", str(NOZZLE_DIAMETER),
            "--filament-diameter", str(FILAMENT_DIAMETER),
            "--temperature", str(TEMPERATURE), "--first-layer-temperature", str(TEMPERATURE),
            "--bed-temperature", "0", "--first-layer-bed-temperature", "0",
            "--print-center", "%g,%g" % BED_CENTRE, "--gcode-flavor", "reprap",
            "--start-gcode", empty, "--end-gcode", empty,
            "--layer-height", "%g" % height, "--first-layer-height", "%g" % max(height, 0.2)]
    if adhesion == "Brim":
        args += ["--brim-width", "3"]
    elif adhesion == "Raft":
        args += ["--raft-layers", "2"]
    if support != "None":
        args += ["--support-material"]
        if "buildplate" in support:
            args += ["--support-material-buildplate-only"]
    return args + ["-o", gcode, model]


E_WORD = re.compile(r"(?<=\s)E(-?[\d.]+)")


def printer_lines(text):
    """Slic3r's G-code as this printer runs it: comments and bed heating out, one
    absolute extrusion axis (each "G92 E<v>" folded into the values after it)."""
    offset, last = 0.0, 0.0
    for raw in text.splitlines():
        line = raw.split(";", 1)[0].strip()
        if not line:
            continue
        words = line.split()
        if words[0] in ("M140", "M190"):
            continue
        if words[0] == "G92":
            for w in words[1:]:
                if w.startswith("E"):
                    offset = last - float(w[1:])
            continue
        if words[0] in ("G0", "G1"):
            match = E_WORD.search(line)
            if match:
                last = float(match.group(1)) + offset
                line = line[:match.start(1)] + "%.5f" % last + line[match.end(1):]
        yield line


def slice_model(args):
    height, adhesion, support = parse_settings(args.p)
    triangles = transform(read_stl(args.model), json.loads(args.t))
    with tempfile.TemporaryDirectory(prefix="tolvane-slicing-") as work:
        model = os.path.join(work, "model.stl")
        gcode = os.path.join(work, "model.gcode")
        empty = os.path.join(work, "empty.gcode")
        write_ascii_stl(model, triangles)
        open(empty, "w").close()
        slic3r = subprocess.Popen(slic3r_arguments(height, adhesion, support, model, gcode, empty),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        said, stages = [], 0
        print("Slicing: 0", flush=True)
        for line in slic3r.stdout:
            said.append(line.rstrip())
            if line.startswith("=> "):
                stages = min(stages + 1, STAGES)
                print("Slicing: %d" % (5 + 85 * stages // STAGES), flush=True)
        if slic3r.wait() != 0 or not os.path.exists(gcode):
            raise RuntimeError("Slic3r failed: " + " / ".join(said[-3:]))
        with open(gcode) as f:
            lines = list(printer_lines(f.read()))
    with open(args.o, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("Slicing: 100", flush=True)
    print("GCode file saved : %s" % args.o, flush=True)


def main():
    parser = argparse.ArgumentParser(description="Slices an STL model into G-code for the printer.")
    parser.add_argument("-s", action="store_true", help="slice (the only mode)")
    parser.add_argument("-t", default="[1,0,0,0,1,0,0,0,1]", help="3x3 transform, JSON text")
    parser.add_argument("-p", default="", help="comma-separated key=value settings")
    parser.add_argument("-o", required=True, help="G-code file to write")
    parser.add_argument("model", help="STL model")
    slice_model(parser.parse_args())


if __name__ == "__main__":
    main()
