"""Element-wise operators of several broadcast tensors: arithmetic,
comparisons, logic, Where, and the variadic Sum, Mean, Max and Min."""
import numpy as np

from ..graph import fail
from ..registry import handles
from .common import Chain, broadcast_inputs
from .elementwise import h_alias


F32 = {np.dtype(np.float32), np.dtype(np.float64)}


ARITH = F32 | {np.dtype(np.float16), np.dtype(np.int32), np.dtype(np.int64)}


BINARY_TYPES = {"Add": ARITH, "Sub": ARITH, "Mul": ARITH, "Div": ARITH, "Pow": F32, "Mod": F32 | {
    np.dtype(np.int32), np.dtype(np.int64)}}


def h_binary(op):
    def h(c, node, attrs, ins):
        if op == "Pow" and ins[0].const is not None:
            fail(node, "a constant base is not supported")
        types = {v.dtype for v in ins if v.const is None} | {v.dtype for v in ins if v.const is not None}
        allowed = BINARY_TYPES.get(op)
        if allowed and any(t not in allowed for t in types):
            fail(node, "element types %s are not supported by the runtime's %s" % (
                sorted(t.name for t in types), op))
        if op == "Mod" and attrs.get("fmod", 0) and not all(np.issubdtype(t, np.floating) for t in types):
            fail(node, "fmod on integers is not supported")
        refs, consts, perm, shape = broadcast_inputs(c, node, ins)
        extra = {}
        if op == "Mod":
            extra["fmod"] = [attrs.get("fmod", 0)]
        ref = c.emit(op, c.key(node), refs, extra, consts)
        _, dt = c.out_shape(node)
        c.set_runtime(node.output[0], shape, dt, ref, perm)
    return h


@handles("Where")
def h_where(c, node, attrs, ins):
    refs, consts, perm, shape = broadcast_inputs(c, node, ins)
    ref = c.emit("Where", c.key(node), refs, None, consts)
    _, dt = c.out_shape(node)
    c.set_runtime(node.output[0], shape, dt, ref, perm)


def h_not_of(op):
    """GreaterOrEqual = Not(Less), LessOrEqual = Not(Greater)."""
    def h(c, node, attrs, ins):
        refs, consts, perm, shape = broadcast_inputs(c, node, ins)
        cmp_ = c.emit(op, c.key(node) + "_" + op.lower(), refs, None, consts)
        ref = c.emit("Not", c.key(node), [cmp_])
        c.set_runtime(node.output[0], shape, np.bool_, ref, perm)
    return h


@handles("Or")
def h_or(c, node, attrs, ins):
    refs, consts, perm, shape = broadcast_inputs(c, node, ins)
    key = c.key(node)
    a = c.emit("Not", key + "_not_a", [refs[0]], None, {k: v for k, v in consts.items() if k == refs[0]})
    b = c.emit("Not", key + "_not_b", [refs[1]], None, {k: v for k, v in consts.items() if k == refs[1]})
    both = c.emit("And", key + "_and", [a, b])
    ref = c.emit("Not", key, [both])
    c.set_runtime(node.output[0], shape, np.bool_, ref, perm)


@handles("Xor")
def h_xor(c, node, attrs, ins):
    """On booleans (0 or 1 bytes) Xor is inequality."""
    refs, consts, perm, shape = broadcast_inputs(c, node, ins)
    eq = c.emit("Equal", c.key(node) + "_equal", refs, None, consts)
    ref = c.emit("Not", c.key(node), [eq])
    c.set_runtime(node.output[0], shape, np.bool_, ref, perm)


def h_variadic(op):
    """Sum, Mean, Max, Min of any number of inputs, pairwise."""
    def h(c, node, attrs, ins):
        if any(v.dtype not in (np.float32, np.float64) for v in ins):
            fail(node, "element types other than float32 are not supported")
        if len(ins) == 1:
            return h_alias(c, node, attrs, ins)
        refs, consts, perm, shape = broadcast_inputs(c, node, ins)
        pending = dict(consts)  # each embedded constant goes into the first node reading it
        acc = refs[0]
        for i, r in enumerate(refs[1:]):
            last = i == len(refs) - 2 and op != "Mean"
            own = {k: pending.pop(k) for k in list(pending) if k in (r, acc)}
            key = c.key(node) if last else "%s_%d" % (c.key(node), i)
            if op in ("Sum", "Mean"):
                acc = c.emit("Add", key, [acc, r], None, own)
            else:
                cmp_ = c.emit("Greater" if op == "Max" else "Less", key + "_cmp", [acc, r], None, own)
                acc = c.emit("Where", key, [cmp_, acc, r])
        if op == "Mean":
            acc = Chain(c, node, perm, len(shape), np.float32)("Mul", [acc, 1.0 / len(refs)], final=True)
        c.set_runtime(node.output[0], shape, np.dtype(np.float32), acc, perm)
    return h


for _op in ("Add", "Sub", "Mul", "Div", "Pow", "Mod", "Equal", "Less", "Greater", "And"):
    handles(_op)(h_binary(_op))
handles("GreaterOrEqual")(h_not_of("Less"))
handles("LessOrEqual")(h_not_of("Greater"))
for _op in ("Sum", "Mean", "Max", "Min"):
    handles(_op)(h_variadic(_op))
