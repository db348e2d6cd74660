"""The stand-ins laid out by scripts/stage-home behave like the programs they replace."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("TOLVANE_SOURCE_DIR",
                        os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "..")))


class StagedHome(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.home = self.dir.name
        subprocess.run([os.path.join(SOURCE, "scripts", "stage-home"), self.home], check=True)
        self.cube = os.path.join(self.home, "models/cube.stl")

    def tearDown(self):
        self.dir.cleanup()

    def run_program(self, path, *args):
        return subprocess.run([sys.executable, os.path.join(self.home, path)] + list(args),
                              capture_output=True, text=True, timeout=60)


class Slicer(StagedHome):
    def slice(self, model, settings="layer_height=0.1,platform_adhesion=None,support=None",
              matrix="[1.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,1.0]"):
        out = os.path.join(self.home, "data-temp", "out.gcode")
        return self.run_program("bin/tolvane-slicer/current/Cura/cura.py", "-s", "-t", matrix, "-p", settings,
                                "-o", out, model), out

    def moves(self, path):
        """The extruding moves of a sliced file as (x, y, z, e), z carried over."""
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
        for banned in (";", "G92", "M140", "M190"):  # the printer streams only G0/G1
            self.assertNotIn(banned, text)
        moves = self.moves(out)
        self.assertGreater(len(moves), 500)
        # One absolute extrusion axis: it only ever falls back by a retraction.
        extrusion = [m[3] for m in moves]
        self.assertGreater(extrusion[-1], 100)
        self.assertTrue(all(b - a > -2.01 for a, b in zip(extrusion, extrusion[1:])))
        # The 20 mm cube, centred on the bed at (100, 100), in layers no thicker than the 0.4 mm nozzle.
        xs = [m[0] for m in moves]
        self.assertAlmostEqual((min(xs) + max(xs)) / 2, 100.0, delta=1.0)
        heights = sorted(set(m[2] for m in moves))
        self.assertAlmostEqual(heights[-1], 20.0, delta=0.6)
        self.assertEqual(len(heights), 50)
        self.assertTrue(all(abs(b - a - 0.4) < 1e-6 for a, b in zip(heights, heights[1:])))

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


class OtherScripts(StagedHome):
    def test_wifi_scans_and_reports_the_ssid_as_given_or_none_for_a_wrong_pass_phrase(self):
        wifi = "bin/tolvane-wifi/current/wifiConfig.py"
        scan = self.run_program(wifi, "scan").stdout.splitlines()
        self.assertEqual(len(scan), 1)
        self.assertIsInstance(json.loads(scan[0]), list)
        ssid = 'My++"Net"++$(touch pwned)'
        self.assertIn("Connected to wifi: " + ssid, self.run_program(wifi, "connect", ssid, "secret").stdout.splitlines())
        self.assertIn("Connected to wifi: None", self.run_program(wifi, "connect", ssid, "wrong").stdout.splitlines())
        calls = [json.loads(line) for line in open(os.path.join(self.home, os.path.dirname(wifi), "wifiConfig.log"))]
        self.assertEqual(calls, [["scan"], ["connect", ssid, "secret"], ["connect", ssid, "wrong"]])
        self.assertFalse(os.path.exists("pwned"))


if __name__ == "__main__":
    unittest.main()
