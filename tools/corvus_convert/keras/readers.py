"""Reading a Keras model: the TensorFlow.js layers format (model.json and its
weight shards, dequantized as TensorFlow.js loads them) and Keras HDF5
files (with h5py). Both give (description, {layer: {variable: array}})."""
import json
import os

import numpy as np

from .layers import ConversionError, variable_name
from .topology import normalize_topology


# ---- TensorFlow.js layers format --------------------------------------------

TFJS_DTYPES = {"float32": np.float32, "int32": np.int32}
QUANTIZED_DTYPES = {"uint8": np.uint8, "uint16": np.uint16, "float16": np.float16}


def dequantize(q, quant, dtype):
    """As TensorFlow.js loads quantized weights: q * scale + min in double
    precision, stored once as float32 (int32 weights rounded half up);
    float16 values widened, which is exact."""
    if q.dtype == np.float16:
        return q.astype(np.float32)
    v = q.astype(np.float64) * float(quant["scale"]) + float(quant["min"])
    return np.floor(v + 0.5).astype(np.int32) if dtype == np.int32 else v.astype(np.float32)


def read_tfjs(path):
    with open(path) as f:
        manifest = json.load(f)
    if "modelTopology" not in manifest:
        raise ConversionError("%s has no modelTopology" % path)
    topology = manifest["modelTopology"]
    directory = os.path.dirname(os.path.abspath(path))
    weights = {}
    for group in manifest.get("weightsManifest", []):
        data = b"".join(open(os.path.join(directory, p), "rb").read() for p in group["paths"])
        offset = 0
        for entry in group["weights"]:
            dtype = TFJS_DTYPES.get(entry["dtype"])
            if dtype is None:
                raise ConversionError("weight %s has unsupported type %s" % (entry["name"], entry["dtype"]))
            quant = entry.get("quantization")
            stored = dtype
            if quant is not None:
                stored = QUANTIZED_DTYPES.get(quant.get("dtype"))
                if stored is None or (stored != np.float16 and not all(
                        isinstance(quant.get(k), (int, float)) for k in ("min", "scale"))):
                    raise ConversionError("weight %s has an unsupported quantization %s" % (entry["name"], quant))
            count = int(np.prod(entry["shape"], dtype=np.int64))
            size = count * np.dtype(stored).itemsize
            if offset + size > len(data):
                raise ConversionError("weight shards end before weight %s" % entry["name"])
            array = np.frombuffer(data, dtype=np.dtype(stored).newbyteorder("<"), count=count, offset=offset)
            offset += size
            if quant is not None:
                array = dequantize(array, quant, dtype)
            layer = entry["name"].rsplit("/", 1)[0] if "/" in entry["name"] else entry["name"]
            weights.setdefault(layer, {})[variable_name(entry["name"])] = array.reshape(entry["shape"])
    return normalize_topology(topology, topology.get("keras_version")), weights


# ---- Keras HDF5 -------------------------------------------------------------

def text(value):
    return value.decode("utf-8") if isinstance(value, (bytes, np.bytes_)) else str(value)


def hdf5_names(group, attribute):
    """A list attribute; Keras splits long ones into attribute0, attribute1, ..."""
    if attribute in group.attrs:
        return [text(v) for v in group.attrs[attribute]]
    names, chunk = [], 0
    while "%s%d" % (attribute, chunk) in group.attrs:
        names += [text(v) for v in group.attrs["%s%d" % (attribute, chunk)]]
        chunk += 1
    return names


def read_hdf5(path):
    try:
        import h5py
    except ImportError:
        raise ConversionError("reading HDF5 files needs h5py (Debian package python3-h5py)")
    with h5py.File(path, "r") as f:
        if "model_config" not in f.attrs:
            raise ConversionError("%s holds no model configuration (saved with save_weights?)" % path)
        topology = json.loads(text(f.attrs["model_config"]))
        keras_version = text(f.attrs["keras_version"]) if "keras_version" in f.attrs else None
        root = f["model_weights"] if "model_weights" in f else f
        weights = {}
        for layer in hdf5_names(root, "layer_names"):
            group = root[layer]
            for weight_name in hdf5_names(group, "weight_names"):
                weights.setdefault(layer, {})[variable_name(weight_name)] = np.array(group[weight_name])
    return normalize_topology(topology, keras_version), weights
