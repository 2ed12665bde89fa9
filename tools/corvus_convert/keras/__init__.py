"""Keras models (TensorFlow.js layers format or HDF5) to the Keras
description and weights file the Corvus Keras reader loads.

    import corvus_convert.keras as keras2corvus
    keras2corvus.convert("model.json", "description.json", "weights.bin")

Modules: layers (the classes the reader takes and their weights), topology
(the description), readers (TensorFlow.js and HDF5), cli (convert() and the
command line); the weights file is written by corvus_convert.weights.
"""
import sys

try:
    import numpy  # noqa: F401 - present before anything needs it
except ImportError:  # pragma: no cover - depends on the machine
    sys.exit("keras2corvus: numpy is required (Debian package python3-numpy)")

from .cli import convert, main  # noqa: E402
from .layers import ConversionError  # noqa: E402

__all__ = ["ConversionError", "convert", "main"]
