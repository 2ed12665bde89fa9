#!/usr/bin/python3
"""ONNX backend node tests through the converter and the runtime.

    run_node_tests.py NODE_DIR WORK_DIR RUNNER [--markdown OUT.md] [--filter SUBSTRING]

NODE_DIR is the "node" directory written by gen_node_tests.py. A test is run
when every operator of its graph is one the converter maps; it passes when
every output matches the expected one (1e-4 relative, 1e-5 absolute). Tests
the converter refuses (an attribute or form the runtime does not express) and
tests of unsupported operators are skipped with the reason. Exit status 1
when a supported operator fails a test.
"""
import collections
import glob
import os
import re
import sys

import onnx
from onnx import numpy_helper

import common
import corvus_convert.onnx as conv  # found through common's path


def primary_op(test, ops):
    """The operator a test is about: its only operator, else the one its name starts with."""
    ops = sorted(set(ops) - {"Constant"}) or ["Constant"]
    if len(ops) == 1:
        return ops[0]
    name = test[5:].replace("_expanded", "")
    best = None
    for op in ops:
        snake = re.sub(r"(?<!^)(?=[A-Z][a-z])", "_", op).lower()
        if name.startswith(snake) or name.startswith(op.lower()):
            if best is None or len(op) > len(best):
                best = op
    if best:
        return best
    if test.endswith("_expanded"):
        # A function written out in primitive operators: grouped by the function's name.
        return "%s (expanded)" % name.split("_")[0]
    return "+".join(ops)


def read_pb(path):
    t = onnx.TensorProto()
    with open(path, "rb") as f:
        t.ParseFromString(f.read())
    return numpy_helper.to_array(t)


def freeze(model, values):
    """A copy of `model` whose graph inputs after the first are initializers."""
    m = onnx.ModelProto()
    m.CopyFrom(model)
    init_names = {t.name for t in m.graph.initializer}
    real = [i for i in m.graph.input if i.name not in init_names]
    keep = real[:1]
    for inp, val in zip(real[1:], values[1:]):
        m.graph.initializer.append(numpy_helper.from_array(val, inp.name))
    del m.graph.input[:]
    m.graph.input.extend(keep)
    return m


def main(argv):
    node_dir, work, runner = argv[1], os.path.abspath(argv[2]), os.path.abspath(argv[3])
    md = argv[argv.index("--markdown") + 1] if "--markdown" in argv else None
    filt = argv[argv.index("--filter") + 1] if "--filter" in argv else ""
    supported = set(conv.HANDLERS) | set(conv.FOLD) | {"Constant", "Shape"}
    stats = collections.OrderedDict()
    listing = []
    frozen_tests = []
    for test_dir in sorted(glob.glob(os.path.join(node_dir, "test_*"))):
        test = os.path.basename(test_dir)
        if filt not in test:
            continue
        try:
            model = onnx.load(os.path.join(test_dir, "model.onnx"))
        except Exception as e:  # noqa: BLE001
            listing.append((test, "?", "skipped", "cannot load: %s" % e))
            continue
        ops = [n.op_type for n in model.graph.node]
        op = primary_op(test, ops)
        st = stats.setdefault(op, {"pass": 0, "fail": 0, "skip": 0, "supported": op in supported})
        missing = sorted(set(ops) - supported)
        if missing or any(n.domain not in ("", "ai.onnx") for n in model.graph.node):
            st["skip"] += 1
            reason = "operator %s not in the runtime" % ", ".join(missing) if missing else "non-standard domain"
            listing.append((test, op, "skipped", reason))
            continue
        if any(not i.type.HasField("tensor_type") for i in model.graph.input) or \
                any(not o.type.HasField("tensor_type") for o in model.graph.output):
            st["skip"] += 1
            listing.append((test, op, "skipped", "sequence or optional values"))
            continue
        work_dir = os.path.join(work, test)
        os.makedirs(work_dir, exist_ok=True)
        jpath, wpath = os.path.join(work_dir, "model.json"), os.path.join(work_dir, "model.weights")
        data_sets = sorted(glob.glob(os.path.join(test_dir, "test_data_set_*")))
        n_in = len(model.graph.input) - len(model.graph.initializer)
        all_inputs = [[read_pb(os.path.join(ds, "input_%d.pb" % i)) for i in range(n_in)] for ds in data_sets]
        frozen = 0
        try:
            try:
                io = conv.convert(os.path.join(test_dir, "model.onnx"), jpath, wpath, quiet=True)
            except conv.ConversionError:
                # Operands the runtime takes as constants (filters, slice bounds,
                # scales, ...) arrive as graph inputs here: freeze every input
                # but the first to the test's values and convert again.
                if len(data_sets) != 1 or n_in < 2:
                    raise
                frozen_path = os.path.join(work_dir, "frozen.onnx")
                onnx.save(freeze(model, all_inputs[0]), frozen_path)
                io = conv.convert(frozen_path, jpath, wpath, quiet=True)
                frozen = n_in - 1
        except conv.ConversionError as e:
            st["skip"] += 1
            listing.append((test, op, "skipped", "converter refuses: %s" % e))
            continue
        except Exception as e:  # noqa: BLE001 - a converter crash is a failure to report
            st["fail"] += 1
            listing.append((test, op, "FAILED", "converter error: %s: %s" % (type(e).__name__, e)))
            continue
        status, reason = "passed", ""
        for ds, ds_inputs in zip(data_sets, all_inputs):
            inputs = ds_inputs[:len(ds_inputs) - frozen]
            wants = [read_pb(os.path.join(ds, "output_%d.pb" % i)) for i in range(len(io["outputs"]))]
            try:
                outs = common.run_converted(runner, jpath, wpath, io, inputs, work_dir)
            except Exception as e:  # noqa: BLE001
                status, reason = "FAILED", "runtime: %s" % e
                break
            for k, (g, w) in enumerate(zip(outs, wants)):
                ok, _, _, msg = common.compare(g, w)
                if not ok:
                    status, reason = "FAILED", "output %d: %s" % (k, msg)
                    break
            if status != "passed":
                break
        st["pass" if status == "passed" else "fail"] += 1
        if status != "passed":
            listing.append((test, op, status, reason))
        elif frozen:
            frozen_tests.append(test)
    lines = ["| operator | passed | failed | skipped |", "|---|---|---|---|"]
    tot = [0, 0, 0]
    for op in sorted(stats):
        s = stats[op]
        if not s["supported"] and s["pass"] == 0 and s["fail"] == 0:
            continue
        lines.append("| %s | %d | %d | %d |" % (op, s["pass"], s["fail"], s["skip"]))
        tot[0] += s["pass"]
        tot[1] += s["fail"]
        tot[2] += s["skip"]
    lines.append("| **total** | %d | %d | %d |" % tuple(tot))
    unsupported = sorted(op for op, s in stats.items() if not s["supported"] and s["pass"] == 0 and s["fail"] == 0)
    lines += ["", "Operators without a runtime mapping (their %d tests are skipped): %s." % (
        sum(stats[o]["skip"] for o in unsupported), ", ".join(unsupported)), "",
        "| test | operator | result | reason |", "|---|---|---|---|"]
    lines += ["| %s | %s | %s | %s |" % (t, o, r, why.replace("|", "/").replace("\n", " "))
              for t, o, r, why in listing if not why.startswith("operator ")]
    lines += ["", "Passed with every input but the first frozen to the test's values (%d): %s." % (
        len(frozen_tests), ", ".join(frozen_tests))]
    text = "\n".join(lines) + "\n"
    print(text)
    if md:
        with open(md, "w") as f:
            f.write(text)
    return 1 if tot[1] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
