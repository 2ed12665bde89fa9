"""Shared pieces of the conformance scripts: converting, running the
converted model through the runner, and comparing."""
import os
import subprocess
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))  # the converters: import corvus_convert.onnx

RTOL, ATOL = 1e-4, 1e-5
RUNTIME_NP = {0: np.float32, 1: np.float16, 2: np.int32, 3: np.uint32, 4: np.uint8, 5: np.int8}
HOLD = {"float32": np.float32, "float64": np.float32, "float16": np.float16, "int64": np.int32,
        "int32": np.int32, "uint8": np.uint8, "int8": np.int8, "bool": np.int8, "uint32": np.uint32,
        "uint64": np.uint32}


def run_converted(runner, json_path, weights_path, io, inputs, work):
    """Feeds ONNX-shaped arrays `inputs` (in io order) through the runner and
    returns the outputs in ONNX shape and order; raises RuntimeError with the
    runner's message on failure."""
    in_dir, out_dir = os.path.join(work, "in"), os.path.join(work, "out")
    os.makedirs(in_dir, exist_ok=True)
    os.makedirs(out_dir, exist_ok=True)
    for f in os.listdir(out_dir):
        os.remove(os.path.join(out_dir, f))
    for i, e in enumerate(io["inputs"]):
        arr = inputs[e["index"]]
        held = np.ascontiguousarray(np.transpose(np.asarray(arr), e["perm"]).astype(HOLD[e["dtype"]]))
        held.tofile(os.path.join(in_dir, "%d.bin" % i))
    p = subprocess.run([runner, json_path, weights_path, in_dir, out_dir], capture_output=True, text=True,
                       timeout=600)
    if p.returncode != 0:
        msg = (p.stderr.strip() or p.stdout.strip() or "exit %d" % p.returncode).splitlines()
        raise RuntimeError(" | ".join(m for m in msg if m)[-400:] or "exit status %d" % p.returncode)
    outs = []
    for j, e in enumerate(io["outputs"]):
        meta = open(os.path.join(out_dir, "%d.txt" % j)).read().split()
        dt, nd = int(meta[0]), int(meta[1])
        shape = [int(d) for d in meta[2:2 + nd]]
        data = np.fromfile(os.path.join(out_dir, "%d.bin" % j), dtype=RUNTIME_NP[dt])
        if e.get("rows_vary") and data.size == int(np.prod(shape)) and shape[0] <= e["shape"][0]:
            outs.append(data.reshape([shape[0]] + e["shape"][1:]))
            continue
        if data.size != int(np.prod(shape)) or int(np.prod(shape)) != int(np.prod(e["shape"])):
            raise RuntimeError("output %s has shape %s, expected %s" % (e["name"], shape, e["shape"]))
        held = data.reshape(e["shape"])
        outs.append(np.transpose(held, np.argsort(e["perm"])))
    return outs


def compare(got, want, rtol=RTOL, atol=ATOL):
    """(ok, max abs error, max relative error, message)."""
    got, want = np.asarray(got), np.asarray(want)
    if got.shape != want.shape:
        if got.size == want.size:
            got = got.reshape(want.shape)
        else:
            return False, None, None, "shape %s vs %s" % (got.shape, want.shape)
    if want.dtype == np.bool_:
        want = want.astype(np.int8)
    if not np.issubdtype(want.dtype, np.floating):
        ok = np.array_equal(got.astype(np.int64), want.astype(np.int64))
        return ok, 0 if ok else None, 0, "" if ok else "integer values differ"
    g, w = got.astype(np.float64), want.astype(np.float64)
    nan_ok = np.array_equal(np.isnan(g), np.isnan(w))
    fin = ~np.isnan(w)
    err = np.abs(g[fin] - w[fin])
    max_abs = float(err.max()) if err.size else 0.0
    rel = err / np.maximum(np.abs(w[fin]), 1e-30)
    max_rel = float(rel.max()) if rel.size else 0.0
    same_inf = np.array_equal(np.isinf(g[fin]), np.isinf(w[fin])) and np.array_equal(g[np.isinf(w)], w[np.isinf(w)])
    finite = fin & ~np.isinf(w)
    ok = nan_ok and same_inf and bool(np.all(np.abs(g[finite] - w[finite]) <= atol + rtol * np.abs(w[finite])))
    return ok, max_abs, max_rel, "" if ok else "max abs error %.3g, max rel error %.3g" % (max_abs, max_rel)
