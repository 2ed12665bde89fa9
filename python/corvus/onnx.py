"""ONNX models to Corvus (needs the onnx package, Debian python3-onnx).

    corvus.onnx.convert("model.onnx", "model.json", "model.weights")

raises corvus.onnx.ConversionError for what the runtime cannot express; the
console script onnx2corvus takes the same arguments and options as
tools/onnx2corvus.
"""
import sys

from ._convert import onnx as _tool

ConversionError = _tool.ConversionError


def convert(model_path, json_path, weights_path, io_path=None, quiet=False, fast_softmax=False, input_shapes=None):
    return _tool.convert(model_path, json_path, weights_path, io_path=io_path, quiet=quiet,
                         fast_softmax=fast_softmax, input_shapes=input_shapes)


def main():
    sys.exit(_tool.main(sys.argv))
