#!/usr/bin/env python3
"""Writes the demo's model: a twisted, tapering twelve-sided tower (44 mm across, 30 mm
tall, a closed mesh), as an ASCII STL file.

    make_tower.py OUT.stl
"""

import math
import sys

SIDES = 12
RINGS = 31          # one ring per millimetre of height
HEIGHT = 30.0
RADIUS = 22.0
TOP_RADIUS = 14.0
TWIST = math.pi / 3  # the top ring turned by 60 degrees


def ring(k):
    z = HEIGHT * k / (RINGS - 1)
    r = RADIUS + (TOP_RADIUS - RADIUS) * k / (RINGS - 1)
    turn = TWIST * k / (RINGS - 1)
    return [(r * math.cos(2 * math.pi * i / SIDES + turn), r * math.sin(2 * math.pi * i / SIDES + turn), z)
            for i in range(SIDES)]


def triangles():
    rings = [ring(k) for k in range(RINGS)]
    bottom, top = (0.0, 0.0, 0.0), (0.0, 0.0, HEIGHT)
    for i in range(SIDES):
        j = (i + 1) % SIDES
        yield (bottom, rings[0][j], rings[0][i])  # facing down
        yield (top, rings[-1][i], rings[-1][j])   # facing up
        for k in range(RINGS - 1):
            a, b, c, d = rings[k][i], rings[k][j], rings[k + 1][j], rings[k + 1][i]
            yield (a, b, c)
            yield (a, c, d)


def main():
    with open(sys.argv[1], "w") as f:
        f.write("solid tower\n")
        for tri in triangles():
            f.write("  facet normal 0 0 0\n    outer loop\n")
            for corner in tri:
                f.write("      vertex %.4f %.4f %.4f\n" % corner)
            f.write("    endloop\n  endfacet\n")
        f.write("endsolid tower\n")


if __name__ == "__main__":
    main()
