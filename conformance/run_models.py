#!/usr/bin/python3
"""Real-architecture conformance: exports ResNet-18, MobileNetV2, SqueezeNet
1.1 and a small LSTM from PyTorch, runs them with ONNX Runtime (CPU) as the
reference, converts them with onnx2corvus, runs the converted models through
the runner and compares (1e-4 relative, 1e-5 absolute).

    run_models.py WORK_DIR RUNNER [--markdown OUT.md]
"""
import json
import os
import subprocess
import sys

import numpy as np

import common

HERE = os.path.dirname(os.path.abspath(__file__))


def main(argv):
    work, runner = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    md = argv[argv.index("--markdown") + 1] if "--markdown" in argv else None
    models_dir = os.path.join(work, "models")
    if "--no-export" not in argv:
        subprocess.run([sys.executable, os.path.join(HERE, "models", "export.py"), models_dir], check=True)
    conv = common.load_converter()
    rows, failed = [], 0
    for name in ("resnet18", "mobilenet_v2", "squeezenet1_1", "small_lstm"):
        onnx_path = os.path.join(models_dir, name + ".onnx")
        inp = os.path.join(models_dir, name + ".input.bin")
        prefix = os.path.join(models_dir, name + ".ort")
        subprocess.run(["node", os.path.join(HERE, "ort", "reference.mjs"), onnx_path, prefix, inp], check=True)
        shape = json.load(open(inp + ".shape"))
        x = np.fromfile(inp, dtype=np.float32).reshape(shape)
        jpath, wpath = os.path.join(models_dir, name + ".json"), os.path.join(models_dir, name + ".weights")
        try:
            io = conv.convert(onnx_path, jpath, wpath, quiet=True)
            outs = common.run_converted(runner, jpath, wpath, io, [x], os.path.join(work, "run", name))
        except (conv.ConversionError, RuntimeError) as e:
            rows.append((name, "FAIL", "-", "-", str(e)))
            failed += 1
            continue
        worst_abs, worst_rel, ok_all, notes = 0.0, 0.0, True, []
        for k, (o, e) in enumerate(zip(outs, io["outputs"])):
            meta = json.load(open("%s.%d.shape" % (prefix, k)))
            want = np.fromfile("%s.%d.bin" % (prefix, k), dtype=np.float32).reshape(meta["dims"])
            ok, a, r, msg = common.compare(o, want)
            # Relative to the output's magnitude, the figure the tolerance is stated in.
            scale = float(np.abs(want).max()) or 1.0
            worst_abs = max(worst_abs, a or 0.0)
            worst_rel = max(worst_rel, (a or 0.0) / scale)
            ok_all &= ok
            if not ok:
                notes.append("%s: %s" % (meta["name"], msg))
        rows.append((name, "pass" if ok_all else "FAIL", "%.3g" % worst_abs, "%.3g" % worst_rel, "; ".join(notes)))
        failed += 0 if ok_all else 1
    lines = ["| model | result | max abs error | max error / max abs(reference) | notes |",
             "|---|---|---|---|---|"] + ["| %s | %s | %s | %s | %s |" % r for r in rows]
    print("\n".join(lines))
    if md:
        with open(md, "w") as f:
            f.write("\n".join(lines) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
