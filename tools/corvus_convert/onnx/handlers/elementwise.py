"""Element-wise functions of one tensor: the runtime's own unary layers,
aliases (Identity, Dropout), casts and clips, and the activations written
with other runtime operators."""
import numpy as np
import onnx

from ..elements import FLOAT_MAX, KNOWN_ELEM, type_code
from ..graph import fail
from ..registry import handles
from .common import Chain, channel_last_perm, first_runtime


def h_unary(op):
    def h(c, node, attrs, ins):
        v = ins[0]
        ref = c.emit(op, c.key(node), [first_runtime(c, node, ins)])
        shape, dt = c.out_shape(node)
        c.set_runtime(node.output[0], shape, dt, ref, v.perm)
    return h


@handles("Identity", "Dropout")
def h_alias(c, node, attrs, ins):
    if node.op_type == "Dropout":
        ratio = ins[1] if len(ins) > 1 else None
        no_drop = ratio is not None and ratio.const is not None and float(ratio.const) == 0.0
        if len(ins) > 2 and ins[2] is not None and (ins[2].const is None or bool(ins[2].const)) and not no_drop:
            fail(node, "training_mode is not supported (with a ratio other than 0)")
        if len(node.output) > 1 and node.output[1]:
            # Inference keeps every element: the mask is all true.
            c.set_const(node.output[1], np.ones(ins[0].shape, np.bool_))
    c.values[node.output[0]] = ins[0]


@handles("LeakyRelu")
def h_leaky(c, node, attrs, ins):
    ref = c.emit("LeakyRelu", c.key(node), [first_runtime(c, node, ins)], {"alpha": [attrs.get("alpha", 0.01)]})
    c.set_runtime(node.output[0], ins[0].shape, ins[0].dtype, ref, ins[0].perm)


@handles("HardSigmoid")
def h_hardsigmoid(c, node, attrs, ins):
    ref = c.emit("HardSigmoid", c.key(node), [first_runtime(c, node, ins)],
                 {"alpha": [attrs.get("alpha", 0.2)], "beta": [attrs.get("beta", 0.5)]})
    c.set_runtime(node.output[0], ins[0].shape, ins[0].dtype, ref, ins[0].perm)


@handles("Cast")
def h_cast(c, node, attrs, ins):
    if attrs["to"] not in KNOWN_ELEM:
        fail(node, "target element type %d is not held by the runtime" % attrs["to"])
    to = onnx.mapping.TENSOR_TYPE_TO_NP_TYPE[attrs["to"]]
    ref = c.emit("Cast", c.key(node), [first_runtime(c, node, ins)], {"to": [type_code(to)]})
    c.set_runtime(node.output[0], ins[0].shape, to, ref, ins[0].perm)


@handles("Clip")
def h_clip(c, node, attrs, ins):
    v = ins[0]
    dt = v.dtype if v.dtype != np.float64 else np.dtype(np.float32)
    if dt not in (np.float32, np.float16, np.int32):
        fail(node, "element type %s is not supported (float32, float16 or int32)" % dt.name)
    if c.opset < 11:
        lo, hi = attrs.get("min", -FLOAT_MAX), attrs.get("max", FLOAT_MAX)
    else:
        for i in (1, 2):
            if len(ins) > i and ins[i] is not None and ins[i].const is None:
                fail(node, "min and max must be constant")
        info = np.finfo(dt) if np.issubdtype(dt, np.floating) else np.iinfo(dt)
        lo = ins[1].const if len(ins) > 1 and ins[1] is not None else info.min
        hi = ins[2].const if len(ins) > 2 and ins[2] is not None else info.max
    consts = {}
    refs = [first_runtime(c, node, ins),
            c.const_input(c.key(node) + "_min", np.array(lo, dtype=dt).reshape(()), consts),
            c.const_input(c.key(node) + "_max", np.array(hi, dtype=dt).reshape(()), consts)]
    ref = c.emit("Clip", c.key(node), refs, None, consts)
    c.set_runtime(node.output[0], v.shape, v.dtype, ref, v.perm)


@handles("PRelu")
def h_prelu(c, node, attrs, ins):
    x, s = ins
    if s.const is None:
        fail(node, "the slope must be constant")
    perm = channel_last_perm(x)
    last = x.shape[perm[-1]]
    slope = s.const.astype(np.float32)
    full = np.broadcast_to(slope, x.shape)
    held = np.transpose(full, perm).reshape(-1, last)
    if not (held == held[0]).all():
        # A slope varying along other axes: where(x < 0, x * slope, x).
        src = c.ref_as(node.input[0], x.perm, node)
        key = c.key(node)
        if x.dtype != np.float32:
            fail(node, "element type %s is not supported" % x.dtype.name)
        consts = {}
        sl = np.transpose(slope.reshape((1,) * (x.rank - slope.ndim) + slope.shape), x.perm)
        scaled = c.emit("Mul", key + "_scaled", [src, c.const_input(key + "_slope", sl, consts)], None, consts)
        consts = {}
        neg = c.emit("Less", key + "_negative", [src, c.const_input(key + "_zero", np.zeros((1,) * x.rank,
                                                                                          np.float32), consts)],
                     None, consts)
        ref = c.emit("Where", key, [neg, scaled, src])
        return c.set_runtime(node.output[0], x.shape, x.dtype, ref, x.perm)
    ref = c.emit("PRelu", c.key(node), [c.ref_as(node.input[0], perm, node)])
    c.weights.append((ref, [held[0].copy()]))
    c.set_runtime(node.output[0], x.shape, x.dtype, ref, perm)


@handles("HardSwish")
def h_hardswish(c, node, attrs, ins):
    v = ins[0]
    src = c.ref_as(node.input[0], v.perm, node)
    hs = c.emit("HardSigmoid", c.key(node) + "_gate", [src], {"alpha": [1.0 / 6.0], "beta": [0.5]})
    ref = c.emit("Mul", c.key(node), [src, hs])
    c.set_runtime(node.output[0], v.shape, v.dtype, ref, v.perm)


@handles("Reciprocal")
def h_reciprocal(c, node, attrs, ins):
    v = ins[0]
    consts = {}
    one = c.const_input(c.key(node) + "_one", np.ones((1,) * v.rank, v.dtype), consts)
    ref = c.emit("Div", c.key(node), [one, c.ref_as(node.input[0], v.perm, node)], None, consts)
    c.set_runtime(node.output[0], v.shape, v.dtype, ref, v.perm)


@handles("IsNaN")
def h_isnan(c, node, attrs, ins):
    """NaN is the only value unequal to itself."""
    v = ins[0]
    if v.dtype not in (np.float32, np.float64):
        fail(node, "element type %s is not supported (float32)" % v.dtype.name)
    src = c.ref_as(node.input[0], v.perm, node)
    eq = c.emit("Equal", c.key(node) + "_self", [src, src])
    ref = c.emit("Not", c.key(node), [eq])
    c.set_runtime(node.output[0], v.shape, np.bool_, ref, v.perm)


def h_elementwise(build):
    """Unary functions written with runtime operators (float32 only)."""
    def h(c, node, attrs, ins):
        v = ins[0]
        if v.dtype not in (np.float32, np.float64):
            fail(node, "element type %s is not supported (float32)" % v.dtype.name)
        ch = Chain(c, node, v.perm, v.rank, np.float32)
        ref = build(ch, c.ref_as(node.input[0], v.perm, node), attrs)
        c.set_runtime(node.output[0], v.shape, v.dtype, ref, v.perm)
    return h


def build_elu(ch, x, a):
    alpha = a.get("alpha", 1.0)
    neg = ch("Less", [x, 0.0])
    e = ch("Sub", [ch("Exp", [x]), 1.0])
    return ch("Where", [neg, ch("Mul", [e, alpha]), x], final=True)


def build_selu(ch, x, a):
    alpha, gamma = a.get("alpha", 1.67326319217681884765625), a.get("gamma", 1.05070102214813232421875)
    neg = ch("Less", [x, 0.0])
    e = ch("Mul", [ch("Sub", [ch("Exp", [x]), 1.0]), alpha])
    return ch("Mul", [ch("Where", [neg, e, x]), gamma], final=True)


def build_celu(ch, x, a):
    alpha = a.get("alpha", 1.0)
    neg = ch("Less", [x, 0.0])
    e = ch("Mul", [ch("Sub", [ch("Exp", [ch("Div", [x, alpha])]), 1.0]), alpha])
    return ch("Where", [neg, e, x], final=True)


def build_softsign(ch, x, a):
    return ch("Div", [x, ch("Add", [ch("Abs", [x]), 1.0])], final=True)


def build_softplus(ch, x, a):
    return ch("Log", [ch("Add", [ch("Exp", [x]), 1.0])], final=True)


def build_thresholded_relu(ch, x, a):
    above = ch("Greater", [x, a.get("alpha", 1.0)])
    return ch("Where", [above, x, 0.0], final=True)


def build_sign(ch, x, a):
    pos = ch("Greater", [x, 0.0])
    neg = ch("Less", [x, 0.0])
    return ch("Where", [pos, 1.0, ch("Where", [neg, -1.0, 0.0])], final=True)


def build_shrink(ch, x, a):
    lambd, bias = a.get("lambd", 0.5), a.get("bias", 0.0)
    low = ch("Less", [x, -lambd])
    high = ch("Greater", [x, lambd])
    return ch("Where", [low, ch("Add", [x, bias]), ch("Where", [high, ch("Sub", [x, bias]), 0.0])], final=True)


for _op in ("Relu", "Tanh", "Sigmoid", "Log", "Exp", "Sqrt", "Erf", "Neg", "Abs", "Ceil", "Floor", "Not"):
    handles(_op)(h_unary(_op))
for _op, _build in (("Elu", build_elu), ("Selu", build_selu), ("Celu", build_celu), ("Softsign", build_softsign),
                    ("Softplus", build_softplus), ("ThresholdedRelu", build_thresholded_relu), ("Sign", build_sign),
                    ("Shrink", build_shrink)):
    handles(_op)(h_elementwise(_build))
