#!/usr/bin/env python3
"""Writes a TensorFlow.js layers model as a Keras 2 HDF5 model file.

    tfjs_to_h5.py MODEL_DIR OUT.h5

The layout is the one Keras 2 writes with model.save("x.h5"): root attributes
keras_version, backend and model_config (the JSON topology), a group
model_weights listing layer_names, one group per layer listing weight_names
such as "conv/kernel:0" (LSTM variables under "<layer>/lstm_cell/"), and one
dataset per weight at model_weights/<layer>/<weight name>. It lets the
fixtures exercise the converter's HDF5 path with the framework's weights.
"""
import json
import os
import sys

import h5py
import numpy as np


def main(model_dir, out_path):
    with open(os.path.join(model_dir, "model.json")) as f:
        manifest = json.load(f)
    topology = manifest["modelTopology"]
    data = b""
    entries = []
    for group in manifest["weightsManifest"]:
        data += b"".join(open(os.path.join(model_dir, p), "rb").read() for p in group["paths"])
        entries += group["weights"]
    weights, offset = {}, 0
    for entry in entries:
        count = int(np.prod(entry["shape"], dtype=np.int64))
        array = np.frombuffer(data, dtype="<f4", count=count, offset=offset).reshape(entry["shape"])
        offset += 4 * count
        layer, variable = entry["name"].rsplit("/", 1)
        weights.setdefault(layer, []).append((variable, array))
    classes = {l["name"]: l["class_name"] for l in topology["config"]["layers"]}

    with h5py.File(out_path, "w") as f:
        f.attrs["keras_version"] = np.bytes_(topology.get("keras_version", "2"))
        f.attrs["backend"] = np.bytes_("tensorflow")
        model_config = {"class_name": topology["class_name"], "config": topology["config"]}
        f.attrs["model_config"] = np.bytes_(json.dumps(model_config))
        root = f.create_group("model_weights")
        root.attrs["layer_names"] = [np.bytes_(n) for n in classes]
        for layer in classes:
            group = root.create_group(layer)
            names = []
            for variable, array in weights.get(layer, []):
                scope = layer + "/lstm_cell" if classes[layer] == "LSTM" else layer
                name = "%s/%s:0" % (scope, variable)
                group.create_dataset(name, data=array, track_times=False)
                names.append(np.bytes_(name))
            group.attrs["weight_names"] = names


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
