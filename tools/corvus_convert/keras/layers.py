"""The layer classes the Corvus Keras reader builds: which it takes, the
settings it would silently ignore, and the weights each class carries."""
import numpy as np


class ConversionError(Exception):
    """A model the runtime cannot take; the message names the layer."""


# Classes the reader builds, with the weights each one takes, in order.
# A name in parentheses is present only when the flag is set in the config.
WEIGHTS = {
    "Dense": ["kernel", "(use_bias)bias"],
    "Conv1D": ["kernel", "(use_bias)bias"],
    "Conv2D": ["kernel", "(use_bias)bias"],
    "Conv3D": ["kernel", "(use_bias)bias"],
    "Conv1DTranspose": ["kernel", "(use_bias)bias"],
    "Conv2DTranspose": ["kernel", "(use_bias)bias"],
    "DepthwiseConv2D": ["depthwise_kernel", "(use_bias)bias"],
    "BatchNormalization": ["(scale)gamma", "(center)beta", "moving_mean", "moving_variance"],
    "LSTM": ["kernel", "recurrent_kernel", "(use_bias)bias"],
    "L2Normalization": ["gamma"],
}
WITHOUT_WEIGHTS = {
    "InputLayer", "Activation", "ReLU", "Softmax", "HardSigmoid", "MaxPooling2D", "AveragePooling2D",
    "AveragePooling1D", "GlobalAveragePooling2D", "Flatten", "Reshape", "Permute", "ZeroPadding2D",
    "UpSampling2D", "Add", "Multiply", "Concatenate", "Merge", "Mfcc", "Audio_spectrogram", "AnchorBoxes",
    "DecodeDetections", "Dropout",
}
# Keras booleans that default to true when a config leaves them out.
TRUE_BY_DEFAULT = {"use_bias", "scale", "center"}
# Activation names the runtime computes (others would silently become none).
ACTIVATIONS = {"linear", "relu", "relu6", "sigmoid", "tanh", "softmax", None}
ACTIVATION_ALIASES = {"hardSigmoid": "hard_sigmoid"}


def flag(config, key):
    value = config.get(key)
    return (key in TRUE_BY_DEFAULT) if value is None else bool(value)


def check_layer(layer):
    cls, config, name = layer["class_name"], layer["config"], layer["name"]
    if cls not in WEIGHTS and cls not in WITHOUT_WEIGHTS:
        raise ConversionError("layer '%s': class %s is not supported" % (name, cls))
    activation = config.get("activation")
    if isinstance(activation, dict):  # a serialized function object
        activation = activation.get("config")
    activation = ACTIVATION_ALIASES.get(activation, activation)
    if activation not in ACTIVATIONS:
        raise ConversionError("layer '%s': activation %s is not supported" % (name, activation))
    if isinstance(activation, str):
        config["activation"] = activation
    if cls == "LSTM":
        recurrent = ACTIVATION_ALIASES.get(config.get("recurrent_activation", "sigmoid"),
                                           config.get("recurrent_activation", "sigmoid"))
        if config.get("activation", "tanh") != "tanh" or recurrent != "sigmoid":
            raise ConversionError("layer '%s': LSTM supports only tanh and sigmoid activations" % name)
        for key in ("go_backwards", "return_state", "stateful"):
            if config.get(key):
                raise ConversionError("layer '%s': LSTM with %s is not supported" % (name, key))
    if cls == "UpSampling2D" and config.get("interpolation", "nearest") != "nearest":
        raise ConversionError("layer '%s': only nearest up-sampling is supported" % name)
    if cls == "Reshape":
        # TensorFlow.js writes the inferred dimension as null.
        config["target_shape"] = [-1 if v is None else v for v in config["target_shape"]]
    if cls == "InputLayer" and "batch_input_shape" not in config and "batch_shape" in config:
        config["batch_input_shape"] = config["batch_shape"]


def variable_name(weight_name):
    """'conv/kernel', 'model_weights/conv/conv/kernel:0' or 'lstm/lstm_cell/kernel:0' -> 'kernel'."""
    return weight_name.split("/")[-1].split(":")[0]


def layer_entries(description, weights):
    """weights: layer name -> {variable name: array}. Returns [(name, [arrays])]."""
    entries = []
    for layer in description["config"]["layers"]:
        cls, name, config = layer["class_name"], layer["name"], layer["config"]
        have = weights.get(name, {})
        if cls not in WEIGHTS:
            if have:
                raise ConversionError("layer '%s' (%s) has weights the runtime does not take" % (name, cls))
            continue
        arrays = []
        for entry in WEIGHTS[cls]:
            key = None
            if entry.startswith("("):
                key, entry = entry[1:].split(")")
            if key is not None and not flag(config, key):
                continue
            if entry not in have:
                raise ConversionError("layer '%s' (%s) has no weight '%s'" % (name, cls, entry))
            arrays.append(np.asarray(have[entry], dtype=np.float32))
        check_shapes(cls, name, config, arrays)
        entries.append((name, arrays))
    return entries


def check_shapes(cls, name, config, arrays):
    kernel = arrays[0]
    expected_rank = {"Dense": 2, "Conv1D": 3, "Conv2D": 4, "Conv3D": 5, "Conv1DTranspose": 3,
                     "Conv2DTranspose": 4, "DepthwiseConv2D": 4, "LSTM": 2}.get(cls)
    if expected_rank is not None and kernel.ndim != expected_rank:
        raise ConversionError("layer '%s': kernel of rank %d, expected %d" % (name, kernel.ndim, expected_rank))
    if cls == "LSTM":
        units = 4 * int(config["units"])
        if any(a.shape[-1] != units for a in arrays):
            raise ConversionError("layer '%s': LSTM weights must have 4 x units columns" % name)
    if cls == "BatchNormalization" and len({a.size for a in arrays}) != 1:
        raise ConversionError("layer '%s': batch normalization statistics differ in size" % name)
