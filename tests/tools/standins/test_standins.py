"""The stand-ins laid out by scripts/stage-home behave like the programs they replace."""

import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("TOLVANE_SOURCE_DIR",
                        os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "..")))
PYTHON = sys.executable


def stage(home):
    subprocess.run([os.path.join(SOURCE, "scripts", "stage-home"), home], check=True)


def write_binary_stl(path, triangles):
    with open(path, "wb") as f:
        f.write(b"\0" * 80 + struct.pack("<I", len(triangles)))
        for tri in triangles:
            f.write(struct.pack("<3f", 0, 0, 0))
            for corner in tri:
                f.write(struct.pack("<3f", *corner))
            f.write(b"\0\0")


def read_ascii_triangles(path):
    corners = [tuple(float(w) for w in line.split()[1:4]) for line in open(path) if line.split()[:1] == ["vertex"]]
    return [corners[i:i + 3] for i in range(0, len(corners), 3)]


class StagedHome(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.home = self.dir.name
        stage(self.home)
        self.cura = os.path.join(self.home, "bin/tolvane-slicer/current/Cura/cura.py")
        self.wifi = os.path.join(self.home, "bin/tolvane-wifi/current/wifiConfig.py")
        self.cube = os.path.join(self.home, "models/cube.stl")

    def tearDown(self):
        self.dir.cleanup()


class Layout(StagedHome):
    def test_places_every_program_and_folder_where_the_daemon_looks(self):
        for path in ("bin/tolvane-slicer/current/Cura/cura.py", "bin/tolvane-wifi/current/wifiConfig.py",
                     "debug/butterfly.sh"):
            self.assertTrue(os.access(os.path.join(self.home, path), os.X_OK), path)
        for folder in ("data-temp", "data"):
            self.assertTrue(os.path.isdir(os.path.join(self.home, folder)), folder)


class Slicer(StagedHome):
    def slice(self, model, settings="layer_height=0.1,platform_adhesion=None,support=None",
              matrix="[1.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,1.0]"):
        out = os.path.join(self.home, "data-temp", "out.gcode")
        run = subprocess.run([PYTHON, self.cura, "-s", "-t", matrix, "-p", settings, "-o", out, model],
                             capture_output=True, text=True, timeout=60)
        return run, out

    def moves(self, path):
        """The extruding moves of a sliced file as (x, y, z, e), z carried over from
        earlier moves."""
        moves, z = [], 0.0
        for line in open(path):
            words = dict((w[0], float(w[1:])) for w in line.split()[1:] if w[0] in "XYZE")
            z = words.get("Z", z)
            if line.startswith("G1 ") and "X" in words and "E" in words:
                moves.append((words["X"], words["Y"], z, words["E"]))
        return moves

    def test_reports_rising_percentages_then_saved_and_writes_moves_the_printer_streams(self):
        run, out = self.slice(self.cube, "layer_height=0.5,platform_adhesion=None,support=None")
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.splitlines()
        percents = [int(l[len("Slicing: "):]) for l in lines if l.startswith("Slicing: ")]
        self.assertGreater(len(percents), 3)
        self.assertEqual(percents, sorted(percents))
        self.assertEqual(percents[-1], 100)
        self.assertIn("GCode file saved", lines[-1])
        text = open(out).read()
        # The printer streams only G0/G1: no comments, resets or bed heating in the file.
        for banned in (";", "G92", "M140", "M190"):
            self.assertNotIn(banned, text)
        moves = self.moves(out)
        self.assertGreater(len(moves), 500)
        # One absolute extrusion axis: it only ever falls back by a retraction.
        extrusion = [m[3] for m in moves]
        self.assertGreater(extrusion[-1], 100)
        self.assertTrue(all(b - a > -2.01 for a, b in zip(extrusion, extrusion[1:])))
        # The 20 mm cube, centred on the bed at (100, 100); Slic3r keeps layers no
        # thicker than the 0.4 mm nozzle.
        xs = [m[0] for m in moves]
        self.assertAlmostEqual((min(xs) + max(xs)) / 2, 100.0, delta=1.0)
        self.assertAlmostEqual(max(m[2] for m in moves), 20.0, delta=0.6)
        heights = sorted(set(m[2] for m in moves))
        self.assertEqual(len(heights), 50)
        self.assertTrue(all(abs(b - a - 0.4) < 1e-6 for a, b in zip(heights, heights[1:])))

    def test_reads_binary_models_like_ascii_ones(self):
        binary = os.path.join(self.home, "models", "cube-binary.stl")
        write_binary_stl(binary, read_ascii_triangles(self.cube))
        ascii_run, ascii_out = self.slice(self.cube)
        ascii_gcode = open(ascii_out).read()
        binary_run, binary_out = self.slice(binary)
        self.assertEqual(binary_run.returncode, 0, binary_run.stderr)
        self.assertEqual(open(binary_out).read(), ascii_gcode)

    def test_applies_matrix_and_adhesion(self):
        run, out = self.slice(self.cube, "layer_height=0.25,platform_adhesion=Brim,support=Touching++buildplate",
                              "[0.5,0.0,0.0,0.0,0.5,0.0,0.0,0.0,0.5]")
        self.assertEqual(run.returncode, 0, run.stderr)
        moves = self.moves(out)
        self.assertAlmostEqual(max(m[2] for m in moves), 10.0, delta=0.3)  # 10 mm after scaling
        first = [m for m in moves if m[2] == min(m[2] for m in moves)]
        self.assertLess(min(m[0] for m in first), 94.0)  # the brim lies outside the 10 mm square

    def test_unreadable_model_gives_a_traceback_and_no_saved_line(self):
        broken = os.path.join(self.home, "models", "broken.stl")
        with open(broken, "w") as f:
            f.write("this is not a model\n")
        for model in (broken, os.path.join(self.home, "models", "absent.stl")):
            run, out = self.slice(model)
            self.assertNotEqual(run.returncode, 0)
            self.assertIn("Traceback", run.stdout + run.stderr)
            self.assertNotIn("GCode file saved", run.stdout + run.stderr)
            self.assertFalse(os.path.exists(out))


class Wifi(StagedHome):
    def run_wifi(self, *args):
        return subprocess.run([PYTHON, self.wifi] + list(args), capture_output=True, text=True, timeout=30)

    def test_scan_prints_one_json_line(self):
        run = self.run_wifi("scan")
        self.assertEqual(run.returncode, 0)
        lines = run.stdout.splitlines()
        self.assertEqual(len(lines), 1)
        self.assertIsInstance(json.loads(lines[0]), list)

    def test_connect_reports_the_ssid_as_given_or_none_for_a_wrong_pass_phrase(self):
        ssid = 'My++"Net"++$(touch pwned)'
        self.assertIn("Connected to wifi: " + ssid, self.run_wifi("connect", ssid, "secret").stdout.splitlines())
        self.assertIn("Connected to wifi: None", self.run_wifi("connect", ssid, "wrong").stdout.splitlines())
        log = os.path.join(os.path.dirname(self.wifi), "wifiConfig.log")
        calls = [json.loads(line) for line in open(log)]
        self.assertEqual(calls, [["connect", ssid, "secret"], ["connect", ssid, "wrong"]])
        self.assertFalse(os.path.exists("pwned"))


class ProductionScript(StagedHome):
    def test_writes_one_line_to_its_log_and_exits(self):
        script = os.path.join(self.home, "debug", "butterfly.sh")
        self.assertEqual(subprocess.run([script], timeout=30).returncode, 0)
        with open(os.path.join(self.home, "debug", "butterfly.log")) as f:
            self.assertEqual(len(f.read().splitlines()), 1)


if __name__ == "__main__":
    unittest.main()
