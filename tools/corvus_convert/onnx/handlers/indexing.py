"""Operators driven by indices or masks: gathers, scatters, Trilu, OneHot,
NonZero."""
import numpy as np

from ..elements import FLOAT32, INT32
from ..graph import fail, identity
from ..registry import handles
from .common import one_hot_of, text_attr


@handles("Gather")
def h_gather(c, node, attrs, ins):
    v, idx = ins
    axis = attrs.get("axis", 0) % v.rank
    shape, dt = c.out_shape(node)
    consts = {}
    if idx.const is not None:
        ind = idx.const.astype(np.int64)
        ind = np.where(ind < 0, ind + v.shape[axis], ind)
        if idx.rank == 1:
            # Same rank: keep the input's holding, gather along the held axis.
            perm = v.perm
            iref = c.const_input(c.key(node) + "_indices", ind, consts)
            ref = c.emit("Gather", c.key(node), [c.ref_as(node.input[0], perm, node), iref],
                         {"axis": [perm.index(axis)]}, consts)
            return c.set_runtime(node.output[0], shape, dt, ref, perm)
        iref = c.const_input(c.key(node) + "_indices", ind, consts)
    else:
        iref = c.ref_as(node.input[1], identity(idx.rank), node)
    ref = c.emit("Gather", c.key(node), [c.ref_as(node.input[0], identity(v.rank), node), iref],
                 {"axis": [axis]}, consts)
    c.set_runtime(node.output[0], shape, dt, ref, identity(len(shape)))


@handles("GatherElements")
def h_gather_elements(c, node, attrs, ins):
    v, idx = ins
    axis = attrs.get("axis", 0) % v.rank
    perm = v.perm
    consts = {}
    if idx.const is not None:
        ind = idx.const.astype(np.int64)
        ind = np.where(ind < 0, ind + v.shape[axis], ind)
        iref = c.const_input(c.key(node) + "_indices", np.transpose(ind, perm), consts)
    else:
        # ONNX indices may count from the end; the runtime's must not.
        raw = c.ref_as(node.input[1], perm, node)
        it = idx.dtype if idx.dtype != np.int64 else np.dtype(np.int64)
        key = c.key(node)
        consts = {}
        as_float = c.emit("Cast", key + "_float", [raw], {"to": [FLOAT32]})
        neg = c.emit("Less", key + "_negative", [as_float, c.const_input(
            key + "_zero", np.zeros((1,) * idx.rank, np.float32), consts)], None, consts)
        consts2 = {}
        wrapped = c.emit("Add", key + "_wrapped", [raw, c.const_input(
            key + "_extent", np.full((1,) * idx.rank, v.shape[axis], it), consts2)], None, consts2)
        iref = c.emit("Where", key + "_indices", [neg, wrapped, raw])
    ref = c.emit("GatherElements", c.key(node), [c.ref_as(node.input[0], perm, node), iref],
                 {"axis": [perm.index(axis)]}, consts)
    shape, dt = c.out_shape(node)
    c.set_runtime(node.output[0], shape, dt, ref, perm)


@handles("ScatterND")
def h_scatter_nd(c, node, attrs, ins):
    data, idx, upd = ins
    red = attrs.get("reduction", b"none")
    red = red.decode() if isinstance(red, bytes) else red
    consts = {}
    refs = []
    for n_, v in zip(node.input, ins):
        if v.const is not None:
            refs.append(c.const_input(c.key(node) + "_" + n_, v.const, consts))
        else:
            refs.append(c.ref_as(n_, identity(v.rank), node))
    ref = c.emit("ScatterND", c.key(node), refs, {"reduction": red}, consts)
    shape, dt = c.out_shape(node)
    c.set_runtime(node.output[0], shape, dt, ref, identity(len(shape)))


@handles("ScatterElements", "Scatter")
def h_scatter_elements(c, node, attrs, ins):
    """ScatterND with the full coordinates of each constant index."""
    data, idx, upd = ins
    if idx.const is None:
        fail(node, "the indices must be constant")
    axis = attrs.get("axis", 0) % data.rank
    red = text_attr(attrs, "reduction", "none")
    ind = idx.const.astype(np.int64)
    ind = np.where(ind < 0, ind + data.shape[axis], ind)
    grid = np.indices(ind.shape)
    grid[axis] = ind
    coords = np.moveaxis(grid, 0, -1)
    consts = {}
    refs = []
    for n_, v, name in ((node.input[0], data, "data"), (None, None, "indices"), (node.input[2], upd, "updates")):
        if v is None:
            refs.append(c.const_input(c.key(node) + "_indices", coords, consts))
        elif v.const is not None:
            refs.append(c.const_input(c.key(node) + "_" + name, v.const, consts))
        else:
            refs.append(c.ref_as(n_, identity(v.rank), node))
    ref = c.emit("ScatterND", c.key(node), refs, {"reduction": red}, consts)
    c.set_runtime(node.output[0], data.shape, data.dtype, ref, identity(data.rank))


@handles("Trilu")
def h_trilu(c, node, attrs, ins):
    """Where with the constant triangle mask: the kept elements are copied."""
    v = ins[0]
    k = 0
    if len(ins) > 1 and ins[1] is not None:
        if ins[1].const is None:
            fail(node, "k must be constant")
        k = int(ins[1].const.reshape(-1)[0])
    rows, cols = v.shape[-2], v.shape[-1]
    i, j = np.indices((rows, cols))
    keep = (j - i >= k) if attrs.get("upper", 1) else (j - i <= k)
    mask = np.broadcast_to(keep, (1,) * (v.rank - 2) + keep.shape)
    perm = v.perm
    consts = {}
    zero = np.zeros((1,) * v.rank, v.dtype if v.dtype != np.float64 else np.float32)
    refs = [c.const_input(c.key(node) + "_mask", np.transpose(mask, perm), consts),
            c.ref_as(node.input[0], perm, node), c.const_input(c.key(node) + "_zero", zero, consts)]
    ref = c.emit("Where", c.key(node), refs, None, consts)
    c.set_runtime(node.output[0], v.shape, v.dtype, ref, perm)


@handles("OneHot")
def h_onehot(c, node, attrs, ins):
    idx, depth, values = ins
    if depth.const is None or values.const is None:
        fail(node, "depth and values must be constant")
    if idx.dtype not in (np.int32, np.int64, np.float32, np.float64):
        fail(node, "index element type %s is not supported" % idx.dtype.name)
    d = int(depth.const.reshape(-1)[0])
    src = c.ref_as(node.input[0], identity(idx.rank), node)
    if idx.dtype.kind == "f":
        # Float indices count as integers truncated toward zero, as the cast does.
        src = c.emit("Cast", c.key(node) + "_index", [src], {"to": [INT32]})
    shape, dt = c.out_shape(node)
    axis = attrs.get("axis", -1) % len(shape)
    held = np.int32
    out_dt = dt if dt != np.float64 else np.float32
    if np.dtype(out_dt) not in (np.float32, np.int32):
        fail(node, "value element type %s is not supported (float32 or int32)" % np.dtype(dt).name)
    ref = one_hot_of(c, node, c.key(node), src, idx.shape, held, axis,
                     d, values.const.reshape(-1)[1], values.const.reshape(-1)[0], out_dt, True)
    c.set_runtime(node.output[0], shape, dt, ref, identity(len(shape)))


@handles("NonZero")
def h_nonzero(c, node, attrs, ins):
    fail(node, "the input must be constant (its values size the output)")
