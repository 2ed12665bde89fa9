"""The model's topology in the form the Corvus Keras reader expects: a
functional model (Sequential ones rewritten), Keras 2 inbound lists, every
layer checked."""
from .layers import ConversionError, check_layer


def tensor_names(entry):
    """Names of the layers that produced the tensors of an inbound entry."""
    if isinstance(entry, dict):
        if "keras_history" in entry.get("config", {}):
            return [entry["config"]["keras_history"][0]]
        return [n for v in entry.values() for n in tensor_names(v)]
    if isinstance(entry, list):
        return [n for v in entry for n in tensor_names(v)]
    return []


def normalize_inbound(layer):
    """Keras 3 writes nodes as {"args": [...], "kwargs": {...}}; the reader
    expects the Keras 2 lists [[name, node, tensor, kwargs], ...]."""
    nodes = layer.get("inbound_nodes") or []
    result = []
    for node in nodes:
        if isinstance(node, dict):
            result.append([[name, 0, 0, {}] for name in tensor_names(node.get("args", []))])
        else:
            result.append(node)
    layer["inbound_nodes"] = result


def io_list(value):
    """input_layers/output_layers: a single [name, 0, 0] becomes a list of one."""
    if value and isinstance(value[0], str):
        return [value]
    return value


def sequential_to_functional(topology):
    config = topology["config"]
    layers = config["layers"] if isinstance(config, dict) else config
    if not layers:
        raise ConversionError("the Sequential model has no layers")
    functional = []
    first = layers[0]
    if first["class_name"] == "InputLayer":
        inp = first
        rest = layers[1:]
    else:
        shape = first["config"].get("batch_input_shape") or first["config"].get("batch_shape")
        if shape is None:
            raise ConversionError("the first layer of the Sequential model has no input shape")
        name = first["config"]["name"] + "_input"
        inp = {"class_name": "InputLayer", "config": {"batch_input_shape": shape, "name": name}}
        rest = layers
    inp = dict(inp)
    inp["name"] = inp["config"]["name"]
    inp["inbound_nodes"] = []
    functional.append(inp)
    previous = inp["name"]
    for layer in rest:
        layer = dict(layer)
        layer["name"] = layer["config"]["name"]
        layer["inbound_nodes"] = [[[previous, 0, 0, {}]]]
        functional.append(layer)
        previous = layer["name"]
    return {
        "class_name": "Functional",
        "config": {"name": config.get("name", "model") if isinstance(config, dict) else "model",
                   "layers": functional, "input_layers": [[inp["name"], 0, 0]],
                   "output_layers": [[previous, 0, 0]]},
    }


def normalize_topology(topology, keras_version):
    if "model_config" in topology:  # TensorFlow.js files converted from Keras
        keras_version = topology.get("keras_version", keras_version)
        topology = topology["model_config"]
    if topology.get("class_name") == "Sequential":
        topology = sequential_to_functional(topology)
    if topology.get("class_name") not in ("Model", "Functional"):
        raise ConversionError("the model is a %s, not a functional Keras model" % topology.get("class_name"))
    config = topology["config"]
    for layer in config["layers"]:
        layer.setdefault("name", layer["config"].get("name"))
        normalize_inbound(layer)
        check_layer(layer)
    config["input_layers"] = io_list(config["input_layers"])
    config["output_layers"] = io_list(config["output_layers"])
    return {"class_name": topology["class_name"], "config": config,
            "keras_version": str(keras_version or "unknown")}
