"""Helpers the operator families share: operands held alike for
broadcasting, reshapes, compositions of runtime operators."""
import numpy as np

from ..graph import channels_last, fail, identity


def first_runtime(c, node, ins, perm=None):
    v = ins[0]
    if v is None or v.const is not None:
        fail(node, "the data input must not be constant here")
    return c.ref_as(node.input[0], v.perm if perm is None else perm, node)


def broadcast_inputs(c, node, ins, names=None):
    """Refs of broadcast operands held alike; constants are transposed to match."""
    shape, _ = c.out_shape(node)
    r = len(shape)
    names = node.input if names is None else names
    runtime = [v for v in ins if v is not None and v.const is None]
    perm = identity(r)
    for v in runtime:
        if v.rank == r:
            perm = v.perm
            break
    if any(v.rank != r for v in runtime):
        perm = identity(r)
    refs, consts = [], {}
    for n, v in zip(names, ins):
        if v.const is not None:
            arr = v.const.reshape((1,) * (r - v.rank) + v.const.shape)
            arr = np.transpose(arr, perm)
            if arr.dtype == np.float64:
                arr = arr.astype(np.float32)
            refs.append(c.const_input(c.key(node) + "_" + (n or "c"), arr, consts))
        elif v.rank == r:
            refs.append(c.ref_as(n, perm, node))
        else:
            refs.append(c.ref_as(n, identity(v.rank), node))
    return refs, consts, perm, shape


def reshape_to(c, ref, key, shape):
    consts = {}
    return c.emit("Reshape", key, [ref, c.const_input(key + "_shape", np.array(shape, dtype=np.int64), consts)],
                  None, consts)


def channel_last_perm(v):
    """A holding of v with ONNX dimension 1 last, v's own when it has it."""
    if v.rank < 2:
        return identity(v.rank)
    if v.perm[-1] == 1:
        return v.perm
    return channels_last(v.rank)


def text_attr(attrs, name, default):
    v = attrs.get(name, default)
    return v.decode() if isinstance(v, bytes) else v


class Chain:
    """Writes a composition of runtime operators on tensors held alike."""

    def __init__(self, c, node, perm, rank, dtype):
        self.c, self.key, self.perm, self.rank, self.dtype, self.n = c, c.key(node), perm, rank, dtype, 0

    def const(self, value):
        return np.full((1,) * self.rank, value, dtype=self.dtype)

    def __call__(self, op, inputs, attrs=None, final=False):
        consts, refs = {}, []
        for x in inputs:
            if isinstance(x, str):
                refs.append(x)
            else:
                arr = x if isinstance(x, np.ndarray) else self.const(x)
                refs.append(self.c.const_input(self.key + "_c", arr, consts))
        self.n += 1
        return self.c.emit(op, self.key if final else "%s_%s%d" % (self.key, op.lower(), self.n), refs, attrs,
                           consts)


def one_hot_of(c, node, key, idx_ref, idx_shape, idx_dtype, axis, depth, on, off, out_dtype, wrap):
    """Where(index == position along `axis`, on, off), with negative indices
    also matched against position - depth when `wrap`."""
    r = len(idx_shape) + 1
    positions = np.arange(depth).reshape([-1 if q == axis else 1 for q in range(r)]).astype(idx_dtype)
    padded = list(idx_shape[:axis]) + [1] + list(idx_shape[axis:])
    unsq = reshape_to(c, idx_ref, key + "_unsqueezed", [1 if q == axis else d for q, d in enumerate(padded)])
    consts = {}
    eq = c.emit("Equal", key + "_hit", [unsq, c.const_input(key + "_positions", positions, consts)], None, consts)
    if wrap:
        consts = {}
        eq2 = c.emit("Equal", key + "_hit_from_end", [unsq, c.const_input(key + "_negative", positions - depth,
                                                                          consts)], None, consts)
        both = c.emit("And", key + "_neither", [c.emit("Not", key + "_miss", [eq]),
                                                 c.emit("Not", key + "_miss_from_end", [eq2])])
        eq = c.emit("Not", key + "_any", [both])
    consts = {}
    refs = [eq, c.const_input(key + "_on", np.array(on, out_dtype).reshape((1,) * r), consts),
            c.const_input(key + "_off", np.array(off, out_dtype).reshape((1,) * r), consts)]
    return c.emit("Where", key, refs, None, consts)
