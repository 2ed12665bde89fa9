#!/usr/bin/python3
"""Real-architecture conformance: exports the models of models/export.py from
PyTorch, runs them with ONNX Runtime (CPU) as the reference, converts them
with onnx2corvus, runs the converted models through the runner and compares.
A model passes when its largest error is within 1e-4 of the largest
magnitude of the reference output it is in.

    run_models.py WORK_DIR RUNNER [--markdown OUT.md] [--models a,b,...]
                  [--time CORVUS_TIME] [--no-export]

--time adds the median time of one prediction (batch 1, one thread) with
Corvus (bench/compare/corvus_time) and ONNX Runtime (bench/compare/ort_time.mjs).
"""
import json
import os
import statistics
import subprocess
import sys

import numpy as np

import common
import corvus_convert.onnx as conv  # found through common's path

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "models"))
TOLERANCE = 1e-4  # of the reference's largest magnitude
DEFAULT_MODELS = ("resnet18", "mobilenet_v2", "squeezenet1_1", "small_lstm", "resnet50", "efficientnet_b0",
                  "mobilenet_v3_small", "shufflenet_v2_x1_0", "transformer_encoder", "transformer_decoder",
                  "lraspp_mobilenet_v3", "audio_conv1d")


def median_ms(cmd, runs):
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=1200)
    times = [float(line.split()[1]) for line in p.stdout.splitlines() if line.startswith("run ")]
    return "%.2f" % statistics.median(times) if p.returncode == 0 and times else "-"


def main(argv):
    work, runner = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    opt = {k: argv[argv.index(k) + 1] for k in ("--markdown", "--models", "--time") if k in argv}
    names = opt["--models"].split(",") if "--models" in opt else list(DEFAULT_MODELS)
    models_dir = os.path.join(work, "models")
    if "--no-export" not in argv:
        subprocess.run([sys.executable, os.path.join(HERE, "models", "export.py"), models_dir] + names)
    rows, failed = [], 0
    for name in names:
        onnx_path = os.path.join(models_dir, name + ".onnx")
        inp = os.path.join(models_dir, name + ".input.bin")
        prefix = os.path.join(models_dir, name + ".ort")
        if not os.path.exists(onnx_path):
            rows.append((name, "FAIL", "-", "-", "-", "-", "does not export to ONNX (opset 13)"))
            failed += 1
            continue
        ref = subprocess.run(["node", os.path.join(HERE, "ort", "reference.mjs"), onnx_path, prefix, inp],
                             capture_output=True, text=True)
        if ref.returncode != 0:
            rows.append((name, "FAIL", "-", "-", "-", "-", "ONNX Runtime: " + (ref.stderr.strip().splitlines()
                                                                             or ["exit %d" % ref.returncode])[-1][:200]))
            failed += 1
            continue
        shape = json.load(open(inp + ".shape"))
        x = np.fromfile(inp, dtype=np.float32).reshape(shape)
        jpath, wpath = os.path.join(models_dir, name + ".json"), os.path.join(models_dir, name + ".weights")
        try:
            io = conv.convert(onnx_path, jpath, wpath, quiet=True)
            outs = common.run_converted(runner, jpath, wpath, io, [x], os.path.join(work, "run", name))
        except (conv.ConversionError, RuntimeError) as e:
            rows.append((name, "FAIL", "-", "-", "-", "-", str(e)))
            failed += 1
            continue
        worst_abs, worst_rel, ok_all, notes = 0.0, 0.0, True, []
        for k, o in enumerate(outs):
            meta = json.load(open("%s.%d.shape" % (prefix, k)))
            want = np.fromfile("%s.%d.bin" % (prefix, k), dtype=np.float32).reshape(meta["dims"])
            if o.shape != want.shape:
                ok_all = False
                notes.append("%s: shape %s, expected %s" % (meta["name"], o.shape, want.shape))
                continue
            err = float(np.abs(o.astype(np.float64) - want).max())
            scale = float(np.abs(want).max()) or 1.0
            worst_abs, worst_rel = max(worst_abs, err), max(worst_rel, err / scale)
            if not err <= TOLERANCE * scale:
                ok_all = False
                notes.append("%s: max error %.3g of %.3g" % (meta["name"], err, scale))
        times = ("-", "-")
        if "--time" in opt:
            root = os.path.dirname(HERE)
            times = (median_ms([opt["--time"], jpath, wpath, "10", "2"], 10),
                     median_ms(["node", os.path.join(root, "bench", "compare", "ort_time.mjs"), onnx_path, "10", "2"],
                               10))
        rows.append((name, "pass" if ok_all else "FAIL", "%.3g" % worst_abs, "%.3g" % worst_rel) + times +
                    ("; ".join(notes),))
        failed += 0 if ok_all else 1
    lines = ["| model | result | max abs error | max error / max abs(reference) | Corvus ms | ORT ms | notes |",
             "|---|---|---|---|---|---|---|"] + ["| %s | %s | %s | %s | %s | %s | %s |" % r for r in rows]
    print("\n".join(lines))
    if "--markdown" in opt:
        with open(opt["--markdown"], "w") as f:
            f.write("\n".join(lines) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
