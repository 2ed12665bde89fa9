"""Normalisations: batch, instance and layer normalisation; softmax,
log-softmax and hardmax over one axis."""
import numpy as np

from ..graph import channels_last, fail, identity
from ..registry import handles
from .common import Chain, channel_last_perm, one_hot_of


@handles("BatchNormalization")
def h_batchnorm(c, node, attrs, ins):
    x = ins[0]
    for i in range(1, 5):
        if ins[i].const is None:
            fail(node, "scale, bias, mean and variance must be constant")
    if len([o for o in node.output if o]) > 1:
        fail(node, "training outputs are not supported")
    perm = channel_last_perm(x)
    ref = c.emit("BatchNormalization", c.key(node), [c.ref_as(node.input[0], perm, node)],
                 {"epsilon": [attrs.get("epsilon", 1e-5)]})
    c.weights.append((ref, [ins[i].const.astype(np.float32).reshape(-1) for i in range(1, 5)]))
    c.set_runtime(node.output[0], x.shape, x.dtype, ref, perm)


@handles("InstanceNormalization")
def h_instnorm(c, node, attrs, ins):
    x = ins[0]
    if x.rank not in (3, 4) or ins[1].const is None or ins[2].const is None:
        fail(node, "only 3-D or 4-D inputs with constant scale and bias are supported")
    perm = channels_last(x.rank)
    ref = c.emit("InstanceNormalization", c.key(node), [c.ref_as(node.input[0], perm, node)],
                 {"epsilon": [attrs.get("epsilon", 1e-5)]})
    c.weights.append((ref, [ins[1].const.astype(np.float32), ins[2].const.astype(np.float32)]))
    c.set_runtime(node.output[0], x.shape, x.dtype, ref, perm)


def layernorm_composed(c, node, attrs, ins):
    """LayerNormalization over the trailing axes from `axis`, with its mean and
    inverse deviation outputs, written with reductions and arithmetic."""
    x = ins[0]
    if x.dtype != np.float32:
        fail(node, "element type %s is not supported" % x.dtype.name)
    axis = attrs.get("axis", -1) % x.rank
    eps = attrs.get("epsilon", 1e-5)
    perm = identity(x.rank)
    ch = Chain(c, node, perm, x.rank, np.float32)
    src = c.ref_as(node.input[0], perm, node)
    axes = np.arange(axis, x.rank, dtype=np.int64)
    mean = ch("ReduceMean", [src, axes], {"keepdims": [1]})
    d = ch("Sub", [src, mean])
    var = ch("ReduceMean", [ch("Mul", [d, d]), axes], {"keepdims": [1]})
    inv = ch("Div", [1.0, ch("Sqrt", [ch("Add", [var, eps])])])
    y = ch("Mul", [d, inv])

    def param(v):
        return v.const.astype(np.float32).reshape((1,) * (x.rank - v.rank) + v.const.shape)
    y = ch("Mul", [y, param(ins[1])], final=len(ins) < 3 or ins[2] is None)
    if len(ins) > 2 and ins[2] is not None:
        y = ch("Add", [y, param(ins[2])], final=True)
    c.set_runtime(node.output[0], x.shape, x.dtype, y, perm)
    stat_shape = x.shape[:axis] + (1,) * (x.rank - axis)
    for i, ref in ((1, mean), (2, inv)):
        if len(node.output) > i and node.output[i]:
            c.set_runtime(node.output[i], stat_shape, np.float32, ref, perm)


@handles("LayerNormalization")
def h_layernorm(c, node, attrs, ins):
    x = ins[0]
    if ins[1].const is None or (len(ins) > 2 and ins[2] is not None and ins[2].const is None):
        fail(node, "scale and bias must be constant")
    if attrs.get("axis", -1) % x.rank != x.rank - 1 or len([o for o in node.output if o]) > 1:
        return layernorm_composed(c, node, attrs, ins)
    if ins[1].const is None or (len(ins) > 2 and ins[2] is not None and ins[2].const is None):
        fail(node, "scale and bias must be constant")
    C = x.shape[-1]
    gamma = np.broadcast_to(ins[1].const.astype(np.float32), (C,)).copy()
    beta = np.zeros(C, np.float32) if len(ins) < 3 or ins[2] is None else \
        np.broadcast_to(ins[2].const.astype(np.float32), (C,)).copy()
    perm = identity(x.rank)
    ref = c.emit("LayerNorm", c.key(node), [c.ref_as(node.input[0], perm, node)],
                 {"epsilon": [attrs.get("epsilon", 1e-5)]})
    c.weights.append((ref, [gamma, beta]))
    c.set_runtime(node.output[0], x.shape, x.dtype, ref, perm)


@handles("Softmax")
def h_softmax(c, node, attrs, ins):
    v = ins[0]
    axis = attrs.get("axis", -1 if c.opset >= 13 else 1) % v.rank
    if c.opset < 13 and axis != v.rank - 1:
        fail(node, "softmax over the flattened axes %d.. is not supported" % axis)
    # The runtime normalises its last dimension: hold the tensor with the ONNX axis last.
    if v.perm[-1] == axis:
        perm = v.perm
    else:
        perm = tuple([p for p in v.perm if p != axis] + [axis])
    src = c.ref_as(node.input[0], perm, node)
    key = c.key(node)
    if c.fast_softmax:
        ref = c.emit("Softmax", key, [src], {"axis": [-1]})
    else:
        # The runtime's Softmax layer uses an approximate exponential; this
        # chain computes exp(x - max) / sum exactly.
        last = np.array([v.rank - 1], dtype=np.int64)
        consts = {}
        mx = c.emit("ReduceMax", key + "_max", [src, c.const_input(key + "_axes", last, consts)],
                    {"keepdims": [1]}, consts)
        sub = c.emit("Sub", key + "_sub", [src, mx])
        ex = c.emit("Exp", key + "_exp", [sub])
        consts = {}
        sm = c.emit("ReduceSum", key + "_sum", [ex, c.const_input(key + "_sumaxes", last, consts)],
                    {"keepdims": [1]}, consts)
        ref = c.emit("Div", key, [ex, sm])
    c.set_runtime(node.output[0], v.shape, v.dtype, ref, perm)


@handles("LogSoftmax")
def h_log_softmax(c, node, attrs, ins):
    v = ins[0]
    axis = attrs.get("axis", -1 if c.opset >= 13 else 1) % v.rank
    if c.opset < 13 and axis != v.rank - 1:
        fail(node, "log-softmax over the flattened axes %d.. is not supported" % axis)
    perm = v.perm if v.perm[-1] == axis else tuple([p for p in v.perm if p != axis] + [axis])
    src = c.ref_as(node.input[0], perm, node)
    key = c.key(node)
    last = np.array([v.rank - 1], dtype=np.int64)
    consts = {}
    mx = c.emit("ReduceMax", key + "_max", [src, c.const_input(key + "_axes", last, consts)],
                {"keepdims": [1]}, consts)
    sub = c.emit("Sub", key + "_sub", [src, mx])
    ex = c.emit("Exp", key + "_exp", [sub])
    consts = {}
    sm = c.emit("ReduceSum", key + "_sum", [ex, c.const_input(key + "_sumaxes", last, consts)],
                {"keepdims": [1]}, consts)
    lg = c.emit("Log", key + "_log", [sm])
    ref = c.emit("Sub", key, [sub, lg])
    c.set_runtime(node.output[0], v.shape, v.dtype, ref, perm)


@handles("Hardmax")
def h_hardmax(c, node, attrs, ins):
    """One at the first maximum along the axis: ArgMax, then a one-hot."""
    v = ins[0]
    if v.dtype not in (np.float32, np.float64):
        fail(node, "element type %s is not supported (float32)" % v.dtype.name)
    axis = attrs.get("axis", -1 if c.opset >= 13 else 1) % v.rank
    if c.opset < 13 and axis != v.rank - 1:
        fail(node, "hardmax over the flattened axes %d.. is not supported" % axis)
    key = c.key(node)
    am = c.emit("ArgMax", key + "_argmax", [c.ref_as(node.input[0], identity(v.rank), node)],
                {"axis": [axis], "keepdims": [0], "select_last_index": [0]})
    idx_shape = v.shape[:axis] + v.shape[axis + 1:]
    ref = one_hot_of(c, node, key, am, idx_shape, np.int32, axis, v.shape[axis], 1.0, 0.0, np.float32, False)
    c.set_runtime(node.output[0], v.shape, v.dtype, ref, identity(v.rank))
