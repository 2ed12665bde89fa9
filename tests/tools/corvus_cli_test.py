#!/usr/bin/env python3
"""Exercises every corvus subcommand on a Keras fixture whose outputs were
computed by an independent Keras implementation.

    corvus_cli_test.py CORVUS SOURCE_DIR WORK_DIR
"""
import json
import os
import re
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET

import numpy as np

TOOL, ROOT, WORK = sys.argv[1:4]
FIXTURE = os.path.join(ROOT, "tests/fixtures/keras/conv_net")
MODEL, WEIGHTS = os.path.join(WORK, "conv_net.json"), os.path.join(WORK, "conv_net.bin")
# The output ends in the runtime's fast (approximate) softmax.
SOFTMAX = {"rtol": 3e-2, "atol": 1e-3}
# A converted-ONNX model with an integer output: x (1,4) -> ArgMax over axis 1.
LONG = "index_of_the_largest_score_in_each_row_of_the_model_input"
ARGMAX, NO_WEIGHTS = os.path.join(WORK, "argmax.json"), os.path.join(WORK, "empty.bin")


def corvus(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True)


class CorvusTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(WORK, exist_ok=True)
        subprocess.run([sys.executable, os.path.join(ROOT, "tools/keras2corvus"), os.path.join(FIXTURE, "model.json"),
                        MODEL, WEIGHTS], check=True)
        with open(os.path.join(FIXTURE, "cases.json")) as f:
            case = json.load(f)
        cls.x = np.array(case["inputs"][0]["data"], dtype=np.float32).reshape(case["inputs"][0]["shape"])
        cls.expected = np.array(case["outputs"][0]["data"], dtype=np.float32)
        with open(ARGMAX, "w") as f:
            json.dump({"__header__": {"converter_version": "2.8.0", "count_of_inputs": 1, "count_of_outputs": 1,
                                      "output_names": [LONG]},
                       "x": {"type": "Input", "inputs": [], "outputs": ["x"], "size": [1, 4], "dataType": [1]},
                       LONG: {"type": "ArgMax", "inputs": ["x"], "outputs": [LONG], "axis": 1,
                              "output_node_flag": [True]}}, f)
        with open(NO_WEIGHTS, "wb") as f:
            f.write(struct.pack("<I", 0))
        cls.raw = os.path.join(WORK, "x.raw")
        cls.x.tofile(cls.raw)

    def ok(self, *args):
        r = corvus(*args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r

    def test_info(self):
        r = self.ok("info", MODEL, WEIGHTS)
        self.assertIn("input  0: image (1,8,8,3)", r.stdout)
        self.assertIn("output 0: classes (1,3)", r.stdout)
        # Dense classes: 4 inputs -> 3 units, 2 x 4 x 3 operations.
        self.assertRegex(r.stdout, r"\n\s+\d+\s+classes\s+Dense\s+\S+\s+\(1,3\)\s+24\n")
        self.assertGreater(int(re.search(r"total FLOPs: (\d+)", r.stdout).group(1)), 24)
        self.assertRegex(r.stdout, r"\nvector level: (x86-64|aarch64|native|baseline)")

    def test_run_raw_and_npy_batches(self):
        raw = os.path.join(WORK, "ints.raw")
        r = self.ok("run", MODEL, WEIGHTS, "--input", self.raw)
        printed = [float(v) for v in r.stdout.split(":")[1].split()]
        np.testing.assert_allclose(printed, self.expected, **SOFTMAX)

        # Two items of another element type: the second is the case, the first zeros.
        batch = np.concatenate([np.zeros_like(self.x), self.x]).astype(np.float64)
        np.save(os.path.join(WORK, "x2.npy"), batch)
        out = os.path.join(WORK, "run_out")
        self.ok("run", MODEL, WEIGHTS, "--input", os.path.join(WORK, "x2.npy"), "--output", out)
        y = np.load(os.path.join(out, "classes.npy"))
        self.assertEqual(y.shape, (2, 3))
        np.testing.assert_allclose(y[1], self.expected, **SOFTMAX)
        self.assertFalse(np.allclose(y[0], y[1]))

        # Integer outputs print and save as integers.
        np.array([[0.1, 0.9, 0.3, 0.2], [5, 1, 7, 2]], dtype=np.float32).tofile(raw)
        r = self.ok("run", ARGMAX, NO_WEIGHTS, "--input", raw)
        self.assertEqual(r.stdout, f"{LONG}[0]: 1\n{LONG}[1]: 2\n")
        self.ok("run", ARGMAX, NO_WEIGHTS, "--input", raw, "--output", out)
        y = np.load(os.path.join(out, LONG + ".npy"))
        self.assertEqual(y.dtype, np.int32)
        self.assertEqual(y.tolist(), [[1], [2]])

    def test_bench(self):
        r = self.ok("bench", MODEL, WEIGHTS, "-n", "7")
        self.assertIn("runs: 7 (batch 1)", r.stdout)
        m = re.search(r"min (\S+)  p50 (\S+)  p90 (\S+)  p99 (\S+)  max (\S+)  mean (\S+)", r.stdout)
        values = [float(v) for v in m.groups()]
        self.assertEqual(values[:5], sorted(values[:5]))
        self.assertTrue(values[0] <= values[5] <= values[4])

    def test_profile_csv_and_svg(self):
        csv, svg = os.path.join(WORK, "stats.csv"), os.path.join(WORK, "time.svg")
        self.ok("profile", MODEL, WEIGHTS, "--csv", csv, "--svg", svg)
        with open(csv) as f:
            lines = f.read().splitlines()
        self.assertTrue(lines[0].startswith("Name;LayerType;"))
        layers = int(re.search(r"layers: (\d+)", corvus("info", MODEL, WEIGHTS).stdout).group(1))
        self.assertEqual(len(lines), 1 + layers)
        self.assertTrue(all(len(l.split(";")) == 24 for l in lines[1:]))
        root = ET.parse(svg).getroot()  # raises on malformed XML
        ns = "{http://www.w3.org/2000/svg}"
        self.assertEqual(root.tag, ns + "svg")
        groups = root.findall(ns + "g")
        self.assertEqual(len(groups), layers)
        titles = [g.find(ns + "title").text for g in groups]
        self.assertEqual(sorted(t.split(" (")[0] for t in titles), sorted(l.split(";")[0] for l in lines[1:]))
        widths = [float(g.find(ns + "rect").get("width")) for g in groups]
        self.assertEqual(widths, sorted(widths, reverse=True))  # longest first

    def test_dump(self):
        out = os.path.join(WORK, "dump")
        self.ok("dump", MODEL, WEIGHTS, out, "--input", self.raw)
        files = set(os.listdir(out))
        with open(os.path.join(out, "classes_out"), "rb") as f:
            data = f.read()
        np.testing.assert_allclose(np.frombuffer(data[-12:], dtype="<f4"), self.expected, **SOFTMAX)
        self.assertIn("image_out", files)
        self.assertIn("classes_inner_0", files)

    def test_graph_dot_and_svg(self):
        digits = os.path.join(ROOT, "examples/digits")
        model, weights = os.path.join(digits, "model.json"), os.path.join(digits, "weights.bin")
        dot, svg = os.path.join(WORK, "digits.dot"), os.path.join(WORK, "digits.svg")
        self.ok("graph", model, weights, "--dot", dot)
        with open(dot) as f:
            text = f.read()
        nodes = dict(re.findall(r'^  "([^"]+)" \[label="([^"]*)"\];$', text, re.M))
        edges = re.findall(r'^  "([^"]+)" -> "([^"]+)";$', text, re.M)
        # Every layer with its operation and kernel as `info` lists them, its
        # output and a place in the memory plan; an edge per Keras inbound link.
        info = re.findall(r"^\s+\d+  (\S+)\s+(\S+)\s+(\S+)\s+(\(\S+\))", corvus("info", model, weights).stdout, re.M)
        self.assertEqual(sorted(nodes), sorted(row[0] for row in info))
        for name, op, kernel, shape in info:
            self.assertIn(f"{name}\\n{op} / {kernel}\\n{shape} float32\\n", nodes[name])
            self.assertRegex(nodes[name], r"\\n(offset \d+|host input|own storage)$")
        self.assertIn("activation ReLU", nodes["conv1"])
        with open(model) as f:
            layers = json.load(f)["config"]["layers"]
        self.assertEqual(sorted(edges), sorted((link[0], l["name"]) for l in layers
                                               for node in l["inbound_nodes"] for link in node))

        # --svg runs Graphviz's dot, or says it is missing and fails.
        fake = os.path.join(WORK, "fakebin")
        os.makedirs(fake, exist_ok=True)
        with open(os.path.join(fake, "dot"), "w") as f:
            f.write('#!/bin/sh\n[ "$1" = -Tsvg ] && [ "$2" = -o ] && grep -q "^digraph" "$4" && echo "<svg/>" > "$3"\n')
        os.chmod(os.path.join(fake, "dot"), 0o755)
        path = [d for d in os.environ["PATH"].split(os.pathsep) if not os.access(os.path.join(d, "dot"), os.X_OK)]
        for dirs, code in (([fake] + path, 0), (path, 1)):
            r = subprocess.run([TOOL, "graph", model, weights, "--dot", dot, "--svg", svg], capture_output=True,
                               text=True, env=dict(os.environ, PATH=os.pathsep.join(dirs)))
            self.assertEqual(r.returncode, code, r.stderr)
        self.assertTrue(os.path.exists(svg))
        self.assertIn("Graphviz", r.stderr)

    def test_usage_errors_exit_2_bad_files_1(self):
        bad, odd = os.path.join(WORK, "bad.npy"), os.path.join(WORK, "odd.raw")
        with open(bad, "wb") as f:
            f.write(b"not numpy")
        np.zeros(5, dtype=np.float32).tofile(odd)
        usage = [[], ["frobnicate", MODEL, WEIGHTS], ["info", MODEL], ["info", MODEL, WEIGHTS, "extra"],
                 ["run", MODEL, WEIGHTS], ["run", MODEL, WEIGHTS, "--input"], ["bench", MODEL, WEIGHTS, "-n", "0"],
                 ["bench", MODEL, WEIGHTS, "-n", "x"], ["profile", MODEL, WEIGHTS], ["dump", MODEL, WEIGHTS],
                 ["info", MODEL, WEIGHTS, "--svg", "a.svg"], ["graph", MODEL, WEIGHTS, "--svg", "a.svg"],
                 ["run", MODEL, WEIGHTS, "--input", self.raw, self.raw]]
        for args, code, message in [(args, 2, "usage: corvus") for args in usage] + [
                (["info", "/nonexistent.json", WEIGHTS], 1, "cannot open model description"),
                (["run", MODEL, WEIGHTS, "--input", bad], 1, "bad magic"),
                (["run", MODEL, WEIGHTS, "--input", odd], 1, "not a whole number of inputs")]:
            r = corvus(*args)
            self.assertEqual(r.returncode, code, args)
            self.assertIn(message, r.stderr, args)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
