"""Constant and shape folding: nodes whose inputs are all constant (the
initializers, and shapes once the input shapes are fixed) are evaluated here
with numpy, so shape sub-graphs never reach the runtime."""
import functools

import numpy as np
import onnx
from onnx import numpy_helper

from .registry import FOLD, register


def _axes_arg(node, attrs, vals, idx=1):
    if len(vals) > idx and vals[idx] is not None:
        return [int(a) for a in vals[idx]]
    return attrs.get("axes")


def fold_slice(node, attrs, v, c):
    x = v[0]
    if c.opset < 10:
        starts, ends, axes, steps = attrs["starts"], attrs["ends"], attrs.get("axes"), None
    else:
        starts, ends = v[1], v[2]
        axes = v[3] if len(v) > 3 and v[3] is not None else None
        steps = v[4] if len(v) > 4 and v[4] is not None else None
    axes = list(range(len(starts))) if axes is None else [int(a) % x.ndim for a in axes]
    steps = [1] * len(starts) if steps is None else steps
    sl = [slice(None)] * x.ndim
    for a, s, e, st in zip(axes, starts, ends, steps):
        sl[a] = slice(int(max(min(s, 2 ** 62), -2 ** 62)), int(max(min(e, 2 ** 62), -2 ** 62)), int(st))
    return x[tuple(sl)]


def fold_reduce(fn):
    def f(node, attrs, v, c):
        axes = _axes_arg(node, attrs, v) if (node.op_type != "ReduceSum" or c.opset >= 13) and c.opset >= 18 \
            or node.op_type == "ReduceSum" and c.opset >= 13 else attrs.get("axes")
        keep = bool(attrs.get("keepdims", 1))
        if not axes:
            if attrs.get("noop_with_empty_axes", 0):
                return v[0]
            axes = None
        else:
            axes = tuple(int(a) % v[0].ndim for a in axes)
        return fn(v[0], axis=axes, keepdims=keep).astype(v[0].dtype)
    return f


def fold_squeeze(node, attrs, v, c):
    axes = _axes_arg(node, attrs, v)
    if axes is None:
        return np.squeeze(v[0])
    return np.squeeze(v[0], axis=tuple(int(a) % v[0].ndim for a in axes))


def fold_unsqueeze(node, attrs, v, c):
    axes = _axes_arg(node, attrs, v)
    r = v[0].ndim + len(axes)
    out = v[0]
    for a in sorted(int(a) % r for a in axes):
        out = np.expand_dims(out, a)
    return out


def fold_reshape(node, attrs, v, c):
    shape = [int(s) for s in (v[1] if len(v) > 1 else attrs["shape"])]
    if not attrs.get("allowzero", 0):
        shape = [v[0].shape[i] if s == 0 else s for i, s in enumerate(shape)]
    return v[0].reshape(shape)


def fold_shape(node, attrs, v, c):
    shape = np.array(v[0].shape, dtype=np.int64)
    start, end = attrs.get("start", 0), attrs.get("end", None)
    return shape[start:end]


def fold_gather(node, attrs, v, c):
    return np.take(v[0], v[1].astype(np.int64), axis=attrs.get("axis", 0))


def fold_cast(node, attrs, v, c):
    return v[0].astype(onnx.mapping.TENSOR_TYPE_TO_NP_TYPE[attrs["to"]])


def fold_const_of_shape(node, attrs, v, c):
    val = numpy_helper.to_array(attrs["value"]) if "value" in attrs else np.zeros(1, np.float32)
    return np.full([int(d) for d in v[0]], val.reshape(-1)[0], dtype=val.dtype)


def fold_concat(node, attrs, v, c):
    return np.concatenate(v, axis=attrs["axis"])


def fold_transpose(node, attrs, v, c):
    return np.transpose(v[0], attrs.get("perm"))


def fold_range(node, attrs, v, c):
    return np.arange(v[0], v[1], v[2]).astype(v[0].dtype)


def fold_expand(node, attrs, v, c):
    return v[0] * np.ones([int(d) for d in v[1]], dtype=v[0].dtype)


def fold_where(node, attrs, v, c):
    return np.where(v[0], v[1], v[2])


def binary(fn):
    return lambda node, attrs, v, c: np.asarray(fn(v[0], v[1]))


def int_div(a, b):
    if np.issubdtype(a.dtype, np.integer):
        return (np.trunc(a / b)).astype(a.dtype)
    return a / b


def fold_split(node, attrs, v, c):
    axis = attrs.get("axis", 0)
    sizes = [int(x) for x in v[1]] if len(v) > 1 and v[1] is not None else attrs.get("split")
    if sizes is None:
        n = attrs.get("num_outputs", len(node.output))
        step = -(-v[0].shape[axis] // n)
        sizes = [min(step, v[0].shape[axis] - i * step) for i in range(n)]
    return np.split(v[0], np.cumsum(sizes)[:-1], axis=axis)


for _op, _fold in {
    "Shape": fold_shape, "Size": lambda n, a, v, c: np.array(v[0].size, dtype=np.int64),
    "Gather": fold_gather, "Cast": fold_cast, "ConstantOfShape": fold_const_of_shape,
    "Concat": fold_concat, "Unsqueeze": fold_unsqueeze, "Squeeze": fold_squeeze, "Reshape": fold_reshape,
    "Slice": fold_slice, "Split": fold_split, "Transpose": fold_transpose, "Range": fold_range,
    "Expand": fold_expand, "Tile": lambda n, a, v, c: np.tile(v[0], [int(r) for r in v[1]]),
    "Where": fold_where, "Identity": lambda n, a, v, c: v[0],
    "NonZero": lambda n, a, v, c: np.array(np.nonzero(v[0]), dtype=np.int64),
    "Add": binary(np.add), "Sub": binary(np.subtract), "Mul": binary(np.multiply), "Div": binary(int_div),
    "Mod": lambda n, a, v, c: np.asarray(np.fmod(v[0], v[1]) if a.get("fmod", 0) else np.mod(v[0], v[1])),
    "Pow": lambda n, a, v, c: np.asarray(np.power(v[0], v[1]).astype(v[0].dtype)),
    "Max": lambda n, a, v, c: np.asarray(functools.reduce(np.maximum, v)),
    "Min": lambda n, a, v, c: np.asarray(functools.reduce(np.minimum, v)),
    "Equal": binary(np.equal), "Less": binary(np.less), "Greater": binary(np.greater),
    "GreaterOrEqual": binary(np.greater_equal), "LessOrEqual": binary(np.less_equal),
    "And": binary(np.logical_and), "Or": binary(np.logical_or), "Xor": binary(np.logical_xor),
    "Not": lambda n, a, v, c: np.logical_not(v[0]), "Neg": lambda n, a, v, c: -v[0],
    "Sqrt": lambda n, a, v, c: np.sqrt(v[0]), "Floor": lambda n, a, v, c: np.floor(v[0]),
    "Ceil": lambda n, a, v, c: np.ceil(v[0]), "Abs": lambda n, a, v, c: np.abs(v[0]),
    "Sign": lambda n, a, v, c: np.sign(v[0]), "Reciprocal": lambda n, a, v, c: np.reciprocal(v[0]),
    "Flatten": lambda n, a, v, c: v[0].reshape(int(np.prod(v[0].shape[:a.get("axis", 1)])), -1),
    "ReduceProd": fold_reduce(np.prod), "ReduceSum": fold_reduce(np.sum), "ReduceMax": fold_reduce(np.max),
    "ReduceMin": fold_reduce(np.min),
}.items():
    register(FOLD, _op, _fold)
