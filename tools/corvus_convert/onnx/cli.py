"""onnx2corvus: converts an ONNX model into a Corvus model description (the
converted-ONNX JSON document) and its binary weights file.

    onnx2corvus MODEL.onnx OUT.json OUT.weights [--io OUT.io.json] [--fast-softmax]
                [--input-shape NAME=D1,D2,... ...]

Inputs must have fixed shapes; --input-shape fixes (or overrides) the shape of
the named input. From the fixed input shapes, sub-graphs that compute on
shapes (Shape, Size, Gather, Slice, Concat, arithmetic, ConstantOfShape, Range,
Expand and Reshape targets) are evaluated and folded into constants before
operators are written, so every written operator has a static shape.

The whole graph is carried to channels-last: 4-D (and 3-D, 5-D) activations
of spatial operators are held as N, spatial..., C, so the model's 4-D inputs
and outputs are declared NHWC. The converter prints, for every input and
output, the shape the runtime expects and the permutation from the ONNX
shape; --io writes the same as JSON. Constant sub-graphs are folded. An
operator or attribute the runtime cannot express faithfully stops the
conversion with a message naming the node (exit status 1); no document is
written then.
"""
import json
import sys

import onnx

from ..weights import write_weights
from .converter import Converter
from .graph import ConversionError


def convert(model_path, json_path, weights_path, io_path=None, quiet=False, fast_softmax=False, input_shapes=None):
    model = onnx.load(model_path)
    conv = Converter(model, fast_softmax, input_shapes)
    conv.run()
    with open(json_path, "w") as f:
        json.dump(conv.doc, f, indent=1)
    write_weights(weights_path, conv.weights)
    io = {"inputs": conv.inputs, "outputs": conv.outputs, "unused_inputs": conv.unused_inputs}
    if io_path:
        with open(io_path, "w") as f:
            json.dump(io, f, indent=1)
    if not quiet:
        for kind in ("inputs", "outputs"):
            for e in io[kind]:
                layout = "NHWC (channels-last)" if len(e["shape"]) == 4 and e["perm"] == [0, 2, 3, 1] else "as ONNX"
                print("%s %s: ONNX %s -> runtime %s, %s" % (kind[:-1], e["name"], e["onnx_shape"], e["shape"],
                                                           layout))
    return io


def parse_input_shapes(argv):
    """--input-shape NAME=D1,D2,... (repeatable) -> {NAME: [D1, D2, ...]}."""
    shapes = {}
    for i, a in enumerate(argv):
        if a != "--input-shape":
            continue
        text = argv[i + 1] if i + 1 < len(argv) else ""
        name, _, dims = text.rpartition("=")
        try:
            shape = [int(d) for d in dims.split(",")]
        except ValueError:
            shape = []
        if not name or not shape or any(d <= 0 for d in shape) or len(shape) > 6:
            raise ConversionError("--input-shape needs NAME=D1,D2,... with 1 to 6 positive dimensions, not %r"
                                  % text)
        shapes[name] = shape
    return shapes


def main(argv):
    argv = list(argv)
    try:
        input_shapes = parse_input_shapes(argv)
    except ConversionError as e:
        sys.stderr.write("onnx2corvus: %s\n" % e)
        return 1
    for i in range(len(argv) - 1, 0, -1):
        if argv[i - 1] == "--input-shape":
            del argv[i - 1:i + 1]
    args = [a for a in argv[1:] if not a.startswith("--")]
    io_path = None
    if "--io" in argv:
        i = argv.index("--io")
        if i + 1 >= len(argv):
            sys.exit("onnx2corvus: --io needs a file name")
        io_path = argv[i + 1]
        args.remove(io_path)
    if len(args) != 3:
        sys.stderr.write(__doc__)
        return 1
    try:
        convert(args[0], args[1], args[2], io_path, fast_softmax="--fast-softmax" in argv,
                input_shapes=input_shapes)
    except ConversionError as e:
        sys.stderr.write("onnx2corvus: %s\n" % e)
        return 1
    except Exception as e:  # noqa: BLE001 - unreadable files and invalid models end with a message
        sys.stderr.write("onnx2corvus: cannot convert %s: %s: %s\n" % (args[0], type(e).__name__, e))
        return 1
    return 0
