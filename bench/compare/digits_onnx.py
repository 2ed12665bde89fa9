#!/usr/bin/env python3
"""Writes the bundled digit classifier (examples/digits) as an ONNX model, so
ONNX Runtime can time the same network as Corvus.

    digits_onnx.py [--nchw] MODEL_DIR OUT.onnx

Reads the Keras description and the Corvus weights file of MODEL_DIR. The
network is a small sequential one (Conv2D, MaxPooling2D, Flatten, Dense with
ReLU/linear activations); the ONNX graph takes the same NHWC input and
flattens in NHWC order, so both runtimes compute the same function. With
--nchw the graph takes an NCHW input instead, as frameworks export images
(examples/digits/model.onnx, the converter's example).
"""
import json
import struct
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def read_weights(path):
    data = open(path, "rb").read()
    (count,), pos, out = struct.unpack_from("<I", data, 0), 4, {}
    for _ in range(count):
        end = data.index(b"\0", pos)
        name = data[pos:end].decode()
        pos = end + 1
        (n,) = struct.unpack_from("<I", data, pos)
        sizes = struct.unpack_from("<%dI" % n, data, pos + 4)
        pos += 4 + 4 * n
        arrays = []
        for s in sizes:
            arrays.append(np.frombuffer(data, dtype="<f4", count=s, offset=pos).copy())
            pos += 4 * s
        out[name] = arrays
    return out


def main(model_dir, out_path, nchw_input=False):
    desc = json.load(open(model_dir + "/model.json"))
    weights = read_weights(model_dir + "/weights.bin")
    layers = desc["config"]["layers"]
    nodes, inits = [], []
    shape = layers[0]["config"]["batch_input_shape"][1:]  # H, W, C
    x = "input"
    h, w, c = shape
    if nchw_input:
        graph_input = helper.make_tensor_value_info(x, TensorProto.FLOAT, [1, c, h, w])
    else:
        graph_input = helper.make_tensor_value_info(x, TensorProto.FLOAT, [1] + shape)
        nodes.append(helper.make_node("Transpose", [x], ["nchw"], perm=[0, 3, 1, 2]))
        x = "nchw"
    for layer in layers[1:]:
        cls, cfg, name = layer["class_name"], layer["config"], layer["config"]["name"]
        act = cfg.get("activation")
        if cls == "Conv2D":
            kh, kw = cfg["kernel_size"]
            if cfg["padding"] != "same" or kh % 2 == 0 or kw % 2 == 0 or cfg["strides"] != [1, 1]:
                sys.exit("digits_onnx: only stride-1 odd 'same' convolutions are expected")
            kern, bias = weights[name]
            f = cfg["filters"]
            kern = kern.reshape(kh, kw, c, f).transpose(3, 2, 0, 1)
            inits += [numpy_helper.from_array(kern, name + "_W"), numpy_helper.from_array(bias, name + "_B")]
            nodes.append(helper.make_node("Conv", [x, name + "_W", name + "_B"], [name], kernel_shape=[kh, kw],
                                          pads=[kh // 2, kw // 2, kh // 2, kw // 2]))
            x, c = name, f
        elif cls == "MaxPooling2D":
            ph, pw = cfg["pool_size"]
            nodes.append(helper.make_node("MaxPool", [x], [name], kernel_shape=[ph, pw], strides=cfg["strides"]))
            x, h, w = name, h // ph, w // pw
            continue
        elif cls == "Flatten":
            nodes.append(helper.make_node("Transpose", [x], [name + "_nhwc"], perm=[0, 2, 3, 1]))
            nodes.append(helper.make_node("Flatten", [name + "_nhwc"], [name]))
            x, c = name, h * w * c
            continue
        elif cls == "Dense":
            kern, bias = weights[name]
            units = cfg["units"]
            inits += [numpy_helper.from_array(kern.reshape(c, units), name + "_W"),
                      numpy_helper.from_array(bias, name + "_B")]
            nodes.append(helper.make_node("Gemm", [x, name + "_W", name + "_B"], [name]))
            x, c = name, units
        else:
            sys.exit("digits_onnx: unexpected layer class %s" % cls)
        if act == "relu":
            nodes.append(helper.make_node("Relu", [x], [name + "_relu"]))
            x = name + "_relu"
        elif act not in (None, "linear"):
            sys.exit("digits_onnx: unexpected activation %s" % act)
    nodes.append(helper.make_node("Identity", [x], ["output"]))
    out = helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, c])
    graph = helper.make_graph(nodes, "digits", [graph_input], [out], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, out_path)


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if a != "--nchw"]
    if len(args) != 2:
        sys.exit("usage: digits_onnx.py [--nchw] MODEL_DIR OUT.onnx")
    main(args[0], args[1], "--nchw" in sys.argv[1:])
