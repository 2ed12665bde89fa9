#!/usr/bin/python3
"""Builds small ONNX models for the converter test, converts them with
tools/onnx2corvus and writes, in the runtime's layout, the input and the
outputs a plain NCHW numpy computation expects.

    onnx2corvus_cases.py OUT_DIR

Per case C: C.json, C.weights, C.in0.bin, C.out<k>.bin (float32, row-major,
the shapes the converter declared). Exit status 1 on any mismatch of the
declared layouts.
"""
import importlib.machinery
import importlib.util
import os
import sys

import numpy as np
from onnx import TensorProto, helper, numpy_helper

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
loader = importlib.machinery.SourceFileLoader("onnx2corvus", os.path.join(ROOT, "tools", "onnx2corvus"))
module_spec = importlib.util.spec_from_loader("onnx2corvus", loader)
conv = importlib.util.module_from_spec(module_spec)
loader.exec_module(conv)


def conv2d(x, w, b, stride, pads, group):
    n, c, h, wd = x.shape
    o, cg, kh, kw = w.shape
    xp = np.pad(x, ((0, 0), (0, 0), (pads[0], pads[2]), (pads[1], pads[3])))
    oh, ow = (xp.shape[2] - kh) // stride + 1, (xp.shape[3] - kw) // stride + 1
    y = np.zeros((n, o, oh, ow), np.float64)
    og = o // group
    for oc in range(o):
        g = oc // og
        for i in range(oh):
            for j in range(ow):
                win = xp[:, g * cg:(g + 1) * cg, i * stride:i * stride + kh, j * stride:j * stride + kw]
                y[:, oc, i, j] = (win * w[oc]).sum(axis=(1, 2, 3)) + b[oc]
    return y


def maxpool(x, k, stride, pads):
    xp = np.pad(x, ((0, 0), (0, 0), (pads[0], pads[2]), (pads[1], pads[3])), constant_values=-np.inf)
    oh, ow = (xp.shape[2] - k) // stride + 1, (xp.shape[3] - k) // stride + 1
    return np.array([[[[xp[n, c, i * stride:i * stride + k, j * stride:j * stride + k].max() for j in range(ow)]
                       for i in range(oh)] for c in range(x.shape[1])] for n in range(x.shape[0])])


def cnn_case(rng):
    x = rng.uniform(-1, 1, (1, 3, 7, 6)).astype(np.float32)
    w1 = rng.uniform(-0.5, 0.5, (4, 3, 3, 3)).astype(np.float32)
    b1 = rng.uniform(-0.1, 0.1, 4).astype(np.float32)
    gamma, beta = rng.uniform(0.5, 1.5, 4).astype(np.float32), rng.uniform(-0.2, 0.2, 4).astype(np.float32)
    mean, var = rng.uniform(-0.2, 0.2, 4).astype(np.float32), rng.uniform(0.5, 1.5, 4).astype(np.float32)
    wd = rng.uniform(-0.5, 0.5, (4, 1, 3, 3)).astype(np.float32)
    bd = rng.uniform(-0.1, 0.1, 4).astype(np.float32)
    wg = rng.uniform(-0.5, 0.5, (5, 8 * 2 * 2)).astype(np.float32)
    bg = rng.uniform(-0.1, 0.1, 5).astype(np.float32)
    inits = [numpy_helper.from_array(a, n) for a, n in ((w1, "w1"), (b1, "b1"), (gamma, "g"), (beta, "be"),
                                                      (mean, "m"), (var, "v"), (wd, "wd"), (bd, "bd"),
                                                      (wg, "wg"), (bg, "bg"))]
    nodes = [
        helper.make_node("Conv", ["x", "w1", "b1"], ["c1"], name="conv", strides=[2, 2], pads=[1, 1, 1, 1]),
        helper.make_node("BatchNormalization", ["c1", "g", "be", "m", "v"], ["bn"], name="bn", epsilon=1e-3),
        helper.make_node("Relu", ["bn"], ["r"], name="relu"),
        helper.make_node("MaxPool", ["r"], ["p"], name="pool", kernel_shape=[2, 2], strides=[2, 2],
                         pads=[1, 1, 0, 0]),
        helper.make_node("Conv", ["p", "wd", "bd"], ["d"], name="dw", group=4, pads=[1, 1, 1, 1]),
        helper.make_node("Concat", ["p", "d"], ["cat"], name="cat", axis=1),
        helper.make_node("Flatten", ["cat"], ["f"], name="flat"),
        helper.make_node("Gemm", ["f", "wg", "bg"], ["gm"], name="fc", transB=1, alpha=0.5),
        helper.make_node("Softmax", ["gm"], ["prob"], name="softmax", axis=-1),
    ]
    graph = helper.make_graph(nodes, "cnn", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 7, 6])],
                              [helper.make_tensor_value_info("prob", TensorProto.FLOAT, [1, 5]),
                               helper.make_tensor_value_info("cat", TensorProto.FLOAT, [1, 8, 2, 2])], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    # The same computation in NCHW, in double precision.
    c1 = conv2d(x.astype(np.float64), w1, b1, 2, [1, 1, 1, 1], 1)
    bn = (c1 - mean[:, None, None]) / np.sqrt(var[:, None, None] + 1e-3) * gamma[:, None, None] + beta[:, None, None]
    p = maxpool(np.maximum(bn, 0), 2, 2, [1, 1, 0, 0])
    d = conv2d(p, wd, bd, 1, [1, 1, 1, 1], 4)
    cat = np.concatenate([p, d], axis=1)
    gm = 0.5 * cat.reshape(1, -1) @ wg.T + bg
    e = np.exp(gm - gm.max())
    return model, [x], [e / e.sum(), cat]


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    model, inputs, outputs = cnn_case(np.random.RandomState(7))
    import onnx
    path = os.path.join(out_dir, "cnn.onnx")
    onnx.save(model, path)
    io = conv.convert(path, os.path.join(out_dir, "cnn.json"), os.path.join(out_dir, "cnn.weights"), quiet=True)
    # Images are channels-last at the interface, other tensors as in ONNX.
    if io["inputs"][0]["perm"] != [0, 2, 3, 1] or io["outputs"][1]["perm"] != [0, 2, 3, 1] or \
            io["outputs"][0]["perm"] != [0, 1] or [o["name"] for o in io["outputs"]] != ["prob", "cat"]:
        sys.exit("unexpected interface: %s" % io)
    for e in io["inputs"]:
        np.ascontiguousarray(np.transpose(inputs[e["index"]], e["perm"]), np.float32).tofile(
            os.path.join(out_dir, "cnn.in%d.bin" % e["index"]))
    for k, (e, want) in enumerate(zip(io["outputs"], outputs)):
        np.ascontiguousarray(np.transpose(want, e["perm"]), np.float32).tofile(
            os.path.join(out_dir, "cnn.out%d.bin" % k))
    # Refusals name the node.
    bad = helper.make_graph([helper.make_node("Sin", ["x"], ["y"], name="the_sine")], "bad",
                            [helper.make_tensor_value_info("x", TensorProto.FLOAT, [2])],
                            [helper.make_tensor_value_info("y", TensorProto.FLOAT, [2])])
    onnx.save(helper.make_model(bad, opset_imports=[helper.make_opsetid("", 13)]), os.path.join(out_dir, "sin.onnx"))
    pad = helper.make_graph([helper.make_node("Pad", ["x", "pads"], ["y"], name="edge_pad", mode="edge")], "pad",
                            [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 2, 3, 3])],
                            [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 2, 5, 5])],
                            [numpy_helper.from_array(np.array([0, 0, 1, 1, 0, 0, 1, 1], np.int64), "pads")])
    onnx.save(helper.make_model(pad, opset_imports=[helper.make_opsetid("", 13)]), os.path.join(out_dir, "edge.onnx"))


if __name__ == "__main__":
    main(sys.argv[1])
