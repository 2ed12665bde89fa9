"""Keras models to Corvus (TensorFlow.js model.json with its shards, or an
HDF5 .h5 file, which needs h5py).

    corvus.keras.convert("model.h5", "model.json", "model.weights")

raises corvus.keras.ConversionError for layers the runtime does not take;
the console script keras2corvus takes the same arguments.
"""
import sys

from ._convert import keras as _tool

ConversionError = _tool.ConversionError


def convert(model_path, description_path, weights_path):
    return _tool.convert(model_path, description_path, weights_path)


def main():
    sys.exit(_tool.main(sys.argv))
