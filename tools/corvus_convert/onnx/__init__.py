"""ONNX models to the converted-ONNX document and weights file.

    import corvus_convert.onnx as onnx2corvus
    io = onnx2corvus.convert("model.onnx", "model.json", "model.weights", quiet=True)

Modules by concern: graph (values and layouts), elements (element-type
codes), converter (the walk over the graph and the document it writes),
fold (constant and shape folding), handlers/ (one module per operator family,
each registering its operators in registry.HANDLERS), cli (convert() and the
command line); the weights file is written by corvus_convert.weights.
"""
import sys

try:
    import numpy  # noqa: F401 - present before anything needs it
except ImportError:
    sys.exit("onnx2corvus: numpy is required (Debian package python3-numpy)")
try:
    import onnx  # noqa: F401
    from onnx import numpy_helper, shape_inference  # noqa: F401
except ImportError:
    sys.exit("onnx2corvus: the onnx package is required (Debian package python3-onnx)")

from . import fold, handlers  # noqa: E402 - they fill the operator tables
from .cli import convert, main, parse_input_shapes  # noqa: E402
from .converter import CONVERTER_VERSION, Converter  # noqa: E402
from .graph import ConversionError  # noqa: E402
from .registry import FOLD, HANDLERS  # noqa: E402

__all__ = ["CONVERTER_VERSION", "ConversionError", "Converter", "FOLD", "HANDLERS", "convert", "fold", "handlers",
           "main", "parse_input_shapes"]
