#!/usr/bin/python3
"""Builds small ONNX models for the converter test, converts them with
corvus_convert.onnx (tools/) and writes, in the runtime's layout, the input
and the outputs a plain NCHW numpy computation expects.

    onnx2corvus_cases.py OUT_DIR

Per case C: C.json, C.weights, C.in0.bin, C.out<k>.bin (float32, row-major,
the shapes the converter declared); cases.txt lists the cases and their
output names. Exit status 1 on any mismatch of the declared layouts.
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "tools"))
import corvus_convert.onnx as conv  # noqa: E402


def conv2d(x, w, b, stride, pads, group):
    """Grouped NCHW convolution in double precision: windows of the padded input times the filter."""
    n, o, (kh, kw) = x.shape[0], w.shape[0], w.shape[2:]
    xp = np.pad(x, ((0, 0), (0, 0), (pads[0], pads[2]), (pads[1], pads[3])))
    win = np.lib.stride_tricks.sliding_window_view(xp, (kh, kw), axis=(2, 3))[:, :, ::stride, ::stride]
    win = win.reshape(n, group, -1, *win.shape[2:])  # n g c oh ow kh kw
    y = np.einsum("ngchwij,gocij->ngohw", win, w.reshape(group, o // group, *w.shape[1:]).astype(np.float64))
    return y.reshape(n, o, *y.shape[3:]) + b[:, None, None]


def tensors(**arrays):
    return [numpy_helper.from_array(a, n) for n, a in arrays.items()]


def make_model(nodes, name, x_shape, outputs, inits, opset=13):
    """The graph of float input x and float outputs (names, or (name, shape) pairs) as a model."""
    info = lambda n, shape=None: helper.make_tensor_value_info(n, TensorProto.FLOAT, shape)  # noqa: E731
    graph = helper.make_graph(nodes, name, [info("x", x_shape)],
                              [info(*o) if isinstance(o, tuple) else info(o) for o in outputs], inits)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)])


def cnn_case(rng):
    """Conv with stride and SAME_UPPER pads, BatchNormalization, Relu, padded
    MaxPool with ceil_mode, a grouped (depthwise) Conv, Concat over channels, Flatten in ONNX
    element order, Gemm with transB and alpha, Softmax; an NHWC image output."""
    x = rng.uniform(-1, 1, (1, 3, 7, 6)).astype(np.float32)
    w1 = rng.uniform(-0.5, 0.5, (4, 3, 3, 3)).astype(np.float32)
    b1 = rng.uniform(-0.1, 0.1, 4).astype(np.float32)
    gamma, beta = rng.uniform(0.5, 1.5, 4).astype(np.float32), rng.uniform(-0.2, 0.2, 4).astype(np.float32)
    mean, var = rng.uniform(-0.2, 0.2, 4).astype(np.float32), rng.uniform(0.5, 1.5, 4).astype(np.float32)
    wd = rng.uniform(-0.5, 0.5, (4, 1, 3, 3)).astype(np.float32)
    bd = rng.uniform(-0.1, 0.1, 4).astype(np.float32)
    wg = rng.uniform(-0.5, 0.5, (5, 8 * 3 * 2)).astype(np.float32)
    bg = rng.uniform(-0.1, 0.1, 5).astype(np.float32)
    inits = tensors(w1=w1, b1=b1, g=gamma, be=beta, m=mean, v=var, wd=wd, bd=bd, wg=wg, bg=bg)
    nodes = [
        helper.make_node("Conv", ["x", "w1", "b1"], ["c1"], name="conv", strides=[2, 2], auto_pad="SAME_UPPER"),
        helper.make_node("BatchNormalization", ["c1", "g", "be", "m", "v"], ["bn"], name="bn", epsilon=1e-3),
        helper.make_node("Relu", ["bn"], ["r"], name="relu"),
        helper.make_node("MaxPool", ["r"], ["p"], name="pool", kernel_shape=[2, 2], strides=[2, 2],
                         pads=[1, 1, 0, 0], ceil_mode=1),
        helper.make_node("Conv", ["p", "wd", "bd"], ["d"], name="dw", group=4, pads=[1, 1, 1, 1]),
        helper.make_node("Concat", ["p", "d"], ["cat"], name="cat", axis=1),
        helper.make_node("Flatten", ["cat"], ["f"], name="flat"),
        helper.make_node("Gemm", ["f", "wg", "bg"], ["gm"], name="fc", transB=1, alpha=0.5),
        helper.make_node("Softmax", ["gm"], ["prob"], name="softmax", axis=-1),
    ]
    model = make_model(nodes, "cnn", [1, 3, 7, 6], [("prob", [1, 5]), ("cat", [1, 8, 3, 2])], inits)
    # The same computation in NCHW, in double precision.
    c1 = conv2d(x.astype(np.float64), w1, b1, 2, [1, 0, 1, 1], 1)  # SAME_UPPER: the odd pad cell after
    bn = (c1 - mean[:, None, None]) / np.sqrt(var[:, None, None] + 1e-3) * gamma[:, None, None] + beta[:, None, None]
    p = pool(np.maximum(bn, 0), [2, 2], [2, 2], [1, 1, 1, 0], lambda w: w.max(-1), -np.inf)  # ceil_mode: a row more
    d = conv2d(p, wd, bd, 1, [1, 1, 1, 1], 4)
    cat = np.concatenate([p, d], axis=1)
    gm = 0.5 * cat.reshape(1, -1) @ wg.T + bg
    e = np.exp(gm - gm.max())
    return model, [x], [e / e.sum(), cat], None


def shapes_case(rng):
    """Operands computed from shapes (chunk, flatten to (N, -1)) of an input
    whose batch is given on the command line, and a mask constant holding -inf."""
    x = rng.uniform(-1, 1, (2, 4, 3, 5)).astype(np.float32)
    mask = np.where(rng.uniform(size=(1, 60)) < 0.3, -np.inf, 0).astype(np.float32)
    i64 = lambda v: np.array(v, np.int64)  # noqa: E731
    inits = tensors(one=i64(1), two=i64(2), zero=i64(0), minus1=i64(-1), mask=mask, zero_1=i64([0]), one_1=i64([1]))
    nodes = [helper.make_node("Shape", ["x"], ["s"]),
             helper.make_node("Gather", ["s", "one"], ["c"], axis=0),
             helper.make_node("Div", ["c", "two"], ["half"]),
             helper.make_node("Unsqueeze", ["half", "zero_1"], ["end"]),
             helper.make_node("Unsqueeze", ["zero", "zero_1"], ["start"]),
             helper.make_node("Unsqueeze", ["one", "zero_1"], ["axis"]),
             helper.make_node("Slice", ["x", "start", "end", "axis"], ["chunk"], name="chunk"),
             helper.make_node("Slice", ["s", "zero_1", "one_1"], ["n"]),
             helper.make_node("Unsqueeze", ["minus1", "zero_1"], ["rest"]),
             helper.make_node("Concat", ["n", "rest"], ["target"], axis=0),
             helper.make_node("Reshape", ["x", "target"], ["flat"], name="flat"),
             helper.make_node("Add", ["flat", "mask"], ["masked"]),
             helper.make_node("Exp", ["masked"], ["e"], name="exp")]
    model = make_model(nodes, "shapes", ["b", 4, 3, 5], ["chunk", "e"], inits)
    return model, [x], [x[:, :2], np.exp(x.reshape(2, -1).astype(np.float64) + mask)], {"x": [2, 4, 3, 5]}


def resize_case(rng):
    """Resize forms the runtime has no kernel for, against ONNX's own
    reference interpolation."""
    from onnx.backend.test.case.node import resize as ref
    x = rng.uniform(-1, 1, (1, 2, 4, 5)).astype(np.float32)
    f32 = lambda *v: np.array(v, np.float32)  # noqa: E731
    forms = [  # (attributes, roi, scales, sizes, reference)
        (dict(mode="nearest", coordinate_transformation_mode="asymmetric", nearest_mode="round_prefer_ceil"),
         None, f32(1, 1, 1.7, 0.6), None,
         lambda: ref.interpolate_nd(x, lambda r: ref.nearest_coeffs(r, "round_prefer_ceil"),
                                    scale_factors=[1, 1, 1.7, 0.6], coordinate_transformation_mode="asymmetric")),
        (dict(mode="linear", coordinate_transformation_mode="align_corners"), None, None, [1, 2, 7, 3],
         lambda: ref.interpolate_nd(x, ref.linear_coeffs, output_size=[1, 2, 7, 3],
                                    coordinate_transformation_mode="align_corners")),
        (dict(mode="cubic", cubic_coeff_a=-0.5, exclude_outside=1), None, f32(1, 1, 2, 1.5), None,
         lambda: ref.interpolate_nd(x, lambda r: ref.cubic_coeffs(r, -0.5), scale_factors=[1, 1, 2, 1.5],
                                    exclude_outside=True)),
        (dict(mode="linear", coordinate_transformation_mode="tf_crop_and_resize", extrapolation_value=7.0),
         f32(0, 0, 0.4, -0.2, 1, 1, 1.1, 0.9), None, [1, 2, 3, 6],
         lambda: ref.interpolate_nd(x, ref.linear_coeffs, output_size=[1, 2, 3, 6],
                                    roi=f32(0, 0, 0.4, -0.2, 1, 1, 1.1, 0.9), extrapolation_value=7.0,
                                    coordinate_transformation_mode="tf_crop_and_resize")),
    ]
    nodes, inits, outs, wants = [], [], [], []
    for k, (attrs, roi, scales, sizes, want) in enumerate(forms):
        names = ["x", "roi%d" % k if roi is not None else "", "scales%d" % k if scales is not None else ""]
        if roi is not None:
            inits.append(numpy_helper.from_array(roi, "roi%d" % k))
        if scales is not None:
            inits.append(numpy_helper.from_array(scales, "scales%d" % k))
        else:
            inits.append(numpy_helper.from_array(np.array(sizes, np.int64), "sizes%d" % k))
            names.append("sizes%d" % k)
        nodes.append(helper.make_node("Resize", names, ["y%d" % k], name="resize%d" % k, **attrs))
        outs.append("y%d" % k)
        wants.append(want())
    return make_model(nodes, "resize", x.shape, outs, inits), [x], wants, None


def pool(x, k, stride, pads, reduce, fill):
    """Windowed pooling over the trailing len(k) axes of x (N, C, ...)."""
    n = len(k)
    xp = np.pad(x, [(0, 0), (0, 0)] + [(pads[i], pads[i + n]) for i in range(n)], constant_values=fill)
    out_sz = [(xp.shape[2 + i] - k[i]) // stride[i] + 1 for i in range(n)]
    y = np.zeros(x.shape[:2] + tuple(out_sz))
    for o in np.ndindex(*out_sz):
        win = xp[(slice(None), slice(None)) + tuple(slice(o[i] * stride[i], o[i] * stride[i] + k[i])
                                                    for i in range(n))]
        y[(slice(None), slice(None)) + o] = reduce(win.reshape(x.shape[0], x.shape[1], -1))
    return y


def pool_case(rng):
    """1-D and 3-D windowed pooling, global pooling of 3-D and 5-D tensors."""
    x = rng.uniform(-1, 1, (1, 3, 5, 6, 7)).astype(np.float32)
    nodes = [helper.make_node("MaxPool", ["x"], ["m3"], name="max3d", kernel_shape=[2, 3, 2], strides=[2, 1, 2],
                              pads=[0, 0, 1, 1, 2, 0]),
             helper.make_node("AveragePool", ["x"], ["a3"], name="avg3d", kernel_shape=[3, 2, 3], strides=[1, 2, 2],
                              pads=[1, 1, 0, 1, 0, 1]),
             helper.make_node("GlobalMaxPool", ["x"], ["g5"], name="gmax5d"),
             helper.make_node("Reshape", ["x", "rows"], ["r"]),
             helper.make_node("AveragePool", ["r"], ["a1"], name="avg1d", kernel_shape=[4], strides=[3], pads=[2, 1],
                              count_include_pad=1),
             helper.make_node("GlobalAveragePool", ["r"], ["g3"], name="gavg3d")]
    model = make_model(nodes, "pool", x.shape, ["m3", "a3", "g5", "a1", "g3"],
                       tensors(rows=np.array([1, 3, 210], np.int64)))
    x64, r = x.astype(np.float64), x.reshape(1, 3, 210).astype(np.float64)
    inside = pool(np.ones_like(x64), [3, 2, 3], [1, 2, 2], [1, 1, 0, 1, 0, 1], lambda w: w.sum(-1), 0)
    wants = [pool(x64, [2, 3, 2], [2, 1, 2], [0, 0, 1, 1, 2, 0], lambda w: w.max(-1), -np.inf),
             pool(x64, [3, 2, 3], [1, 2, 2], [1, 1, 0, 1, 0, 1], lambda w: w.sum(-1), 0) / inside,
             x64.max(axis=(2, 3, 4), keepdims=True),
             pool(r, [4], [3], [2, 1], lambda w: w.mean(-1), 0), r.mean(axis=2, keepdims=True)]
    return model, [x], wants, None


def lowering_case(rng):
    """Operators written as other operators: Split, DepthToSpace (CRD),
    Trilu, Hardmax, Einsum with a constant operand, edge Pad and
    ScatterElements with constant indices."""
    x = rng.uniform(-1, 1, (1, 8, 3, 4)).astype(np.float32)
    w = rng.uniform(-1, 1, (4, 5)).astype(np.float32)
    idx = np.array([3, 0, 2, 1, 0, 2] * 8, np.int64).reshape(1, 8, 3, 2)
    upd = rng.uniform(-1, 1, idx.shape).astype(np.float32)
    inits = tensors(sizes=np.array([3, 5], np.int64), k=np.array(1, np.int64), w=w, idx=idx, upd=upd,
                    pads=np.array([0, 0, 1, 2, 0, 0, 2, 1], np.int64))
    nodes = [helper.make_node("Split", ["x", "sizes"], ["s0", "s1"], axis=1),
             helper.make_node("DepthToSpace", ["x"], ["d2s"], blocksize=2, mode="CRD"),
             helper.make_node("Trilu", ["x", "k"], ["triu"]),
             helper.make_node("Hardmax", ["x"], ["hmax"], axis=1),
             helper.make_node("Einsum", ["x", "w"], ["ein"], equation="nchw,wk->nchk"),
             helper.make_node("Pad", ["x", "pads"], ["edge"], mode="edge"),
             helper.make_node("ScatterElements", ["x", "idx", "upd"], ["scat"], axis=3)]
    names = ["s0", "s1", "d2s", "triu", "hmax", "ein", "edge", "scat"]
    hard = (x == x.max(axis=1, keepdims=True)).astype(np.float32)
    scat = x.copy()
    for i in np.ndindex(*idx.shape):
        scat[i[:3] + (idx[i],)] = upd[i]
    wants = [x[:, :3], x[:, 3:], x.reshape(1, 2, 2, 2, 3, 4).transpose(0, 1, 4, 2, 5, 3).reshape(1, 2, 6, 8),
             np.triu(x, 1), hard, np.einsum("nchw,wk->nchk", x.astype(np.float64), w),
             np.pad(x, ((0, 0), (0, 0), (1, 2), (2, 1)), mode="edge"), scat]
    return make_model(nodes, "lowering", x.shape, names, inits, 14), [x], wants, None


def write_case(out_dir, name, case):
    """Converts one case and writes its input and expected outputs in the
    runtime's layout; returns the output count."""
    model, inputs, outputs, shapes = case
    path = os.path.join(out_dir, name + ".onnx")
    onnx.save(model, path)
    io = conv.convert(path, os.path.join(out_dir, name + ".json"), os.path.join(out_dir, name + ".weights"),
                      quiet=True, input_shapes=shapes)
    for e in io["inputs"]:
        np.ascontiguousarray(np.transpose(inputs[e["index"]], e["perm"]), np.float32).tofile(
            os.path.join(out_dir, "%s.in%d.bin" % (name, e["index"])))
    for k, (e, want) in enumerate(zip(io["outputs"], outputs)):
        np.ascontiguousarray(np.transpose(want, e["perm"]), np.float32).tofile(
            os.path.join(out_dir, "%s.out%d.bin" % (name, k)))
    return io


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    io = write_case(out_dir, "cnn", cnn_case(np.random.RandomState(7)))
    # Images are channels-last at the interface, other tensors as in ONNX.
    if io["inputs"][0]["perm"] != [0, 2, 3, 1] or io["outputs"][1]["perm"] != [0, 2, 3, 1] or \
            io["outputs"][0]["perm"] != [0, 1] or [o["name"] for o in io["outputs"]] != ["prob", "cat"]:
        sys.exit("unexpected interface: %s" % io)
    with open(os.path.join(out_dir, "cases.txt"), "w") as f:  # a case and its output names per line
        f.write("cnn prob cat\n")
        for name, make in (("shapes", shapes_case), ("resize", resize_case), ("pool", pool_case),
                           ("lowering", lowering_case)):
            io = write_case(out_dir, name, make(np.random.RandomState(3)))
            f.write(" ".join([name] + [o["name"] for o in io["outputs"]]) + "\n")
    # Refusals name the node.
    pads = tensors(pads=np.array([0, 0, 1, 1, 0, 0, 1, 1], np.int64))
    for name, node, x, y, inits in (
            ("sin", helper.make_node("Sin", ["x"], ["y"], name="the_sine"), [2], [2], []),
            ("edge", helper.make_node("Pad", ["x", "pads"], ["y"], name="wrap_pad", mode="wrap"), [1, 2, 3, 3],
             [1, 2, 5, 5], pads),
            ("dyn", helper.make_node("Relu", ["x"], ["y"]), ["batch", 3], ["batch", 3], [])):
        onnx.save(make_model([node], name, x, [("y", y)], inits), os.path.join(out_dir, name + ".onnx"))

if __name__ == "__main__":
    main(sys.argv[1])
