"""Converts a trained Keras model into the two files Corvus loads.

    keras2corvus MODEL DESCRIPTION.json WEIGHTS.bin

MODEL is either a TensorFlow.js layers model (model.json beside its weight
shards) or a Keras HDF5 file (.h5/.hdf5, read with h5py). DESCRIPTION.json
receives the Keras functional description in the form the Corvus Keras
reader expects; WEIGHTS.bin the weights file: a little-endian uint32 entry
count, then per layer with weights its zero-terminated name, a uint32 tensor
count, the uint32 element counts and the float32 values, in the order and
layout of the layer's inner tensors.

Weights that the TensorFlow.js converter quantized (uint8 or uint16 with a
min and a scale, or float16) are dequantized as TensorFlow.js loads them.
Sequential models become functional ones; layer classes that Corvus cannot
run, and settings it would silently ignore, are refused with a message.
Needs numpy (Debian: python3-numpy) and, for HDF5 files, h5py (python3-h5py).
"""
import json
import sys

from ..weights import write_weights
from .layers import ConversionError, layer_entries
from .readers import read_hdf5, read_tfjs


def convert(model_path, description_path, weights_path):
    if model_path.lower().endswith((".h5", ".hdf5", ".keras.h5")):
        description, weights = read_hdf5(model_path)
    else:
        description, weights = read_tfjs(model_path)
    entries = layer_entries(description, weights)
    with open(description_path, "w") as f:
        json.dump(description, f)
    write_weights(weights_path, entries)
    return description, entries


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    try:
        convert(argv[1], argv[2], argv[3])
    except ConversionError as e:
        sys.stderr.write("keras2corvus: %s\n" % e)
        return 1
    except (OSError, ValueError, KeyError, TypeError) as e:
        sys.stderr.write("keras2corvus: cannot read %s: %s\n" % (argv[1], e))
        return 1
    return 0
