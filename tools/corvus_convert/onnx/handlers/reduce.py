"""Reductions over axes (the runtime's own and those composed from them),
ArgMax, ArgMin and CumSum."""
import numpy as np
import onnx

from ..graph import fail
from ..registry import handles
from .common import Chain
from .elementwise import h_alias


@handles("ReduceMean", "ReduceSum", "ReduceMax", "ReduceMin", "ReduceL2")
def h_reduce(c, node, attrs, ins):
    op = node.op_type
    v = ins[0]
    axes_from_input = (op == "ReduceSum" and c.opset >= 13) or c.opset >= 18
    if axes_from_input and len(ins) > 1 and ins[1] is not None:
        if ins[1].const is None:
            fail(node, "the axes must be constant")
        axes = [int(a) for a in ins[1].const]
    else:
        axes = attrs.get("axes")
    if not axes:
        if attrs.get("noop_with_empty_axes", 0):
            return h_alias(c, node, attrs, ins)
        axes = list(range(v.rank))
    axes = sorted(set(int(a) % v.rank for a in axes))
    keep = attrs.get("keepdims", 1)
    perm = v.perm
    consts = {}
    held_axes = sorted(perm.index(a) for a in axes)
    refs = [c.ref_as(node.input[0], perm, node),
            c.const_input(c.key(node) + "_axes", np.array(held_axes, dtype=np.int64), consts)]
    ref = c.emit(op, c.key(node), refs, {"keepdims": [keep]}, consts)
    shape, dt = c.out_shape(node)
    if keep:
        out_perm = perm
    else:
        rest = [p for p in perm if p not in axes]
        out_perm = tuple(sorted(rest).index(p) for p in rest)
    c.set_runtime(node.output[0], shape, dt, ref, out_perm)


@handles("ReduceSumSquare", "ReduceL1", "ReduceLogSum", "ReduceLogSumExp")
def h_reduce_composed(c, node, attrs, ins):
    """ReduceSumSquare, ReduceL1, ReduceLogSum, ReduceLogSumExp through ReduceSum/ReduceMax."""
    op = node.op_type
    v = ins[0]
    if v.dtype not in (np.float32, np.float64):
        fail(node, "element types other than float32 are not supported")
    if c.opset >= 18 and len(ins) > 1 and ins[1] is not None:
        if ins[1].const is None:
            fail(node, "the axes must be constant")
        axes = [int(a) for a in ins[1].const]
    else:
        axes = attrs.get("axes")
    if not axes:
        if attrs.get("noop_with_empty_axes", 0):
            fail(node, "noop_with_empty_axes is not supported here")
        axes = list(range(v.rank))
    axes = sorted(set(int(a) % v.rank for a in axes))
    keep = attrs.get("keepdims", 1)
    perm = v.perm
    held = np.array(sorted(perm.index(a) for a in axes), dtype=np.int64)
    ch = Chain(c, node, perm, v.rank, np.float32)
    x = c.ref_as(node.input[0], perm, node)
    if op == "ReduceSumSquare":
        ref = ch("ReduceSum", [ch("Mul", [x, x]), held], {"keepdims": [keep]}, final=True)
    elif op == "ReduceL1":
        ref = ch("ReduceSum", [ch("Abs", [x]), held], {"keepdims": [keep]}, final=True)
    elif op == "ReduceLogSum":
        ref = ch("Log", [ch("ReduceSum", [x, held], {"keepdims": [keep]})], final=True)
    else:
        mx = ch("ReduceMax", [x, held], {"keepdims": [1]})
        sm = ch("ReduceSum", [ch("Exp", [ch("Sub", [x, mx])]), held], {"keepdims": [1]})
        ref = ch("Add", [ch("Log", [sm]), mx], final=bool(keep))
    shape, dt = c.out_shape(node)
    if keep:
        out_perm = perm
    else:
        rest = [p for p in perm if p not in axes]
        out_perm = tuple(sorted(rest).index(p) for p in rest)
        if op == "ReduceLogSumExp":
            # drop the kept unit dimensions
            r2 = c.emit("Reshape", c.key(node), [ref, None])
            cname = c.unique(r2 + "_shape")
            c.doc[r2]["inputs"][1] = cname
            c.doc[r2][cname] = c.initializer(np.array([shape[p] for p in out_perm], dtype=np.int64))
            ref = r2
    c.set_runtime(node.output[0], shape, dt, ref, out_perm)


@handles("ArgMax")
def h_argmax(c, node, attrs, ins):
    v = ins[0]
    axis = attrs.get("axis", 0) % v.rank
    keep = attrs.get("keepdims", 1)
    perm = v.perm
    ref = c.emit("ArgMax", c.key(node), [c.ref_as(node.input[0], perm, node)],
                 {"axis": [perm.index(axis)], "keepdims": [keep],
                  "select_last_index": [attrs.get("select_last_index", 0)]})
    shape, dt = c.out_shape(node)
    if keep:
        out_perm = perm
    else:
        rest = [p for p in perm if p != axis]
        out_perm = tuple(sorted(rest).index(p) for p in rest)
    c.set_runtime(node.output[0], shape, dt, ref, out_perm)


@handles("ArgMin")
def h_argmin(c, node, attrs, ins):
    """ArgMin(x) = ArgMax(-x): negation is exact and keeps ties."""
    v = ins[0]
    if v.dtype not in (np.float32, np.float64):
        fail(node, "element type %s is not supported (float32)" % v.dtype.name)
    neg = c.emit("Neg", c.key(node) + "_negated", [c.ref_as(node.input[0], v.perm, node)])
    tmp = c.unique(c.key(node) + "_neg")
    c.set_runtime(tmp, v.shape, v.dtype, neg, v.perm)
    h_argmax(c, onnx.helper.make_node("ArgMax", [tmp], list(node.output), name=c.key(node)), attrs,
             [c.values[tmp]])


@handles("CumSum")
def h_cumsum(c, node, attrs, ins):
    v, ax = ins
    if ax.const is None:
        fail(node, "the axis must be constant")
    perm = v.perm
    consts = {}
    axis = int(ax.const.reshape(-1)[0]) % v.rank
    refs = [c.ref_as(node.input[0], perm, node),
            c.const_input(c.key(node) + "_axis", np.array(perm.index(axis), np.int64), consts)]
    ref = c.emit("CumSum", c.key(node), refs,
                 {"exclusive": [attrs.get("exclusive", 0)], "reverse": [attrs.get("reverse", 0)]}, consts)
    c.set_runtime(node.output[0], v.shape, v.dtype, ref, perm)
