"""Data movement that keeps element values: concatenation, transposition
(a relabelling of the held layout), reshapes, slices and splits, padding,
expansion and tiling, depth-to-space."""
import numpy as np

from ..graph import Value, fail, identity, inverse, same_order
from ..registry import handles
from .common import reshape_to, text_attr


@handles("Concat")
def h_concat(c, node, attrs, ins):
    shape, dt = c.out_shape(node)
    r = len(shape)
    axis = attrs["axis"] % r
    runtime = [v for v in ins if v.const is None]
    perm = runtime[0].perm if runtime else identity(r)
    refs, consts = [], {}
    for n, v in zip(node.input, ins):
        if v.const is not None:
            refs.append(c.const_input(c.key(node) + "_" + n, np.transpose(v.const, perm), consts))
        else:
            refs.append(c.ref_as(n, perm, node))
    ref = c.emit("Concat", c.key(node), refs, {"axis": [perm.index(axis)]}, consts)
    c.set_runtime(node.output[0], shape, dt, ref, perm)


@handles("Transpose")
def h_transpose(c, node, attrs, ins):
    v = ins[0]
    t = attrs.get("perm", list(reversed(range(v.rank))))
    tinv = inverse(t)
    # Relabel only: runtime dimension j holds ONNX output dimension tinv[perm[j]].
    shape = tuple(v.shape[p] for p in t)
    new = Value(shape, v.dtype, ref=v.ref, perm=tuple(tinv[p] for p in v.perm))
    for p, ref in v.views.items():
        new.views[tuple(tinv[q] for q in p)] = ref
    c.values[node.output[0]] = new


@handles("Reshape", "Flatten", "Squeeze", "Unsqueeze")
def h_reshape_like(c, node, attrs, ins):
    """Reshape, Flatten, Squeeze, Unsqueeze: ONNX element order, so the input is held plainly."""
    shape, dt = c.out_shape(node)
    v = ins[0]
    if v.const is None and same_order(v, identity(v.rank)):
        src = v.ref  # already in ONNX element order; a second reshape would be a copy
    else:
        src = c.ref_as(node.input[0], identity(v.rank), node)
    consts = {}
    cname = c.const_input(c.key(node) + "_shape", np.array(shape, dtype=np.int64), consts)
    ref = c.emit("Reshape", c.key(node), [src, cname], None, consts)
    c.set_runtime(node.output[0], shape, dt, ref, identity(len(shape)))


@handles("Slice")
def h_slice(c, node, attrs, ins):
    v = ins[0]
    if any(x is not None and x.const is None for x in ins[1:]):
        fail(node, "starts, ends, axes and steps must be constant")
    if c.opset < 10:
        starts, ends = list(attrs["starts"]), list(attrs["ends"])
        axes, steps = attrs.get("axes"), None
    else:
        starts, ends = list(ins[1].const), list(ins[2].const)
        axes = ins[3].const if len(ins) > 3 and ins[3] is not None else None
        steps = ins[4].const if len(ins) > 4 and ins[4] is not None else None
    axes = list(range(len(starts))) if axes is None else [int(a) % v.rank for a in axes]
    steps = [1] * len(starts) if steps is None else [int(s) for s in steps]
    # Normalised, clamped bounds per ONNX, so the runtime sees no sentinels.
    rs, re_, ra, rst = [], [], [], []
    gathers = []
    for a, s, e, st in zip(axes, starts, ends, steps):
        d = v.shape[a]
        s, e = int(s), int(e)
        s = s + d if s < 0 else s
        e = e + d if e < 0 else e
        if st > 0:
            s, e = min(max(s, 0), d), min(max(e, 0), d)
        else:
            s, e = min(max(s, -1), d - 1), min(max(e, -1), d - 1)
            if e < 0:
                # Through index 0 backwards (a reversal): the runtime's end
                # cannot say so, a Gather of the constant indices can.
                gathers.append((a, np.arange(s, -1, st, dtype=np.int64)))
                continue
        rs.append(s)
        re_.append(e)
        ra.append(v.perm.index(a))
        rst.append(st)
    consts = {}
    ref = c.ref_as(node.input[0], v.perm, node)
    if ra:
        refs = [ref]
        for nm, arr in (("starts", rs), ("ends", re_), ("axes", ra), ("steps", rst)):
            refs.append(c.const_input(c.key(node) + "_" + nm, np.array(arr, dtype=np.int64), consts))
        ref = c.emit("Slice", c.key(node) + ("_bounds" if gathers else ""), refs, None, consts)
    for k, (a, idx) in enumerate(gathers):
        consts = {}
        last = k == len(gathers) - 1
        ref = c.emit("Gather", c.key(node) if last else "%s_axis%d" % (c.key(node), a),
                     [ref, c.const_input(c.key(node) + "_indices", idx, consts)], {"axis": [v.perm.index(a)]}, consts)
    shape, dt = c.out_shape(node)
    c.set_runtime(node.output[0], shape, dt, ref, v.perm)


@handles("Split")
def h_split(c, node, attrs, ins):
    """One Slice per output along the axis."""
    v = ins[0]
    axis = attrs.get("axis", 0) % v.rank
    outs = [o for o in node.output]
    if len(ins) > 1 and ins[1] is not None:
        if ins[1].const is None:
            fail(node, "the split sizes must be constant")
        sizes = [int(x) for x in ins[1].const]
    elif "split" in attrs:
        sizes = list(attrs["split"])
    else:
        parts = attrs.get("num_outputs", len(outs))
        step = -(-v.shape[axis] // parts)
        sizes = [min(step, v.shape[axis] - i * step) for i in range(parts)]
    if len(sizes) != len(outs) or sum(sizes) != v.shape[axis] or min(sizes) <= 0:
        fail(node, "split sizes %s do not divide the axis of %d into %d parts" % (sizes, v.shape[axis], len(outs)))
    perm = v.perm
    start = 0
    for k, (name, size) in enumerate(zip(outs, sizes)):
        if name:
            consts = {}
            key = "%s_%d" % (c.key(node), k)
            refs = [c.ref_as(node.input[0], perm, node)]
            for nm, val in (("starts", start), ("ends", start + size), ("axes", perm.index(axis)), ("steps", 1)):
                refs.append(c.const_input(key + "_" + nm, np.array([val], np.int64), consts))
            ref = c.emit("Slice", key, refs, None, consts)
            shape = tuple(size if q == axis else d for q, d in enumerate(v.shape))
            c.set_runtime(name, shape, v.dtype, ref, perm)
        start += size


@handles("Pad")
def h_pad(c, node, attrs, ins):
    v = ins[0]
    mode = attrs.get("mode", b"constant")
    mode = mode.decode() if isinstance(mode, bytes) else mode
    if mode not in ("constant", "reflect", "edge"):
        fail(node, "pad mode %s is not supported" % mode)
    if v.dtype not in (np.float32, np.float16, np.float64) and mode == "constant":
        fail(node, "element type %s is not supported (float32 or float16)" % v.dtype.name)
    if c.opset < 11:
        pads, value = list(attrs["pads"]), attrs.get("value", 0.0)
    else:
        if ins[1].const is None or (len(ins) > 2 and ins[2] is not None and ins[2].const is None):
            fail(node, "pads and value must be constant")
        pads = [int(p) for p in ins[1].const]
        value = ins[2].const.reshape(-1)[0] if len(ins) > 2 and ins[2] is not None else 0
        if len(ins) > 3 and ins[3] is not None:
            if ins[3].const is None:
                fail(node, "axes must be constant")
            full = [0] * 2 * v.rank
            ax = [int(a) % v.rank for a in ins[3].const]
            for i, a in enumerate(ax):
                full[a], full[a + v.rank] = pads[i], pads[i + len(ax)]
            pads = full
    if any(p < 0 for p in pads):
        fail(node, "negative pads are not supported")
    perm = v.perm
    native_reflect = mode == "reflect" and v.dtype != np.int32 and v.rank <= 4 and not pads[0] and \
        not pads[v.rank] and all(pads[a] < v.shape[a] and pads[a + v.rank] < v.shape[a] for a in range(v.rank))
    if mode != "constant" and not native_reflect:
        # Edge and reflect padding copy input elements: a Gather per padded
        # axis with the constant source index of every output position (the
        # runtime has no edge mode; its reflect takes floats of up to 4
        # dimensions with the batch unpadded).
        ref = c.ref_as(node.input[0], perm, node)
        for a in range(v.rank):
            b, e, L = pads[a], pads[a + v.rank], v.shape[a]
            if not b and not e:
                continue
            pos = np.arange(-b, L + e)
            if mode == "edge":
                idx = np.clip(pos, 0, L - 1)
            else:
                if L < 2 or b >= L or e >= L:
                    fail(node, "reflect pads of %d and %d on an axis of %d are not supported" % (b, e, L))
                idx = np.where(pos < 0, -pos, np.where(pos >= L, 2 * (L - 1) - pos, pos))
            consts = {}
            ref = c.emit("Gather", "%s_axis%d" % (c.key(node), a), [ref, c.const_input(
                c.key(node) + "_indices", idx.astype(np.int64), consts)], {"axis": [perm.index(a)]}, consts)
        shape, dt = c.out_shape(node)
        return c.set_runtime(node.output[0], shape, dt, ref, perm)
    held = [pads[p] for p in perm] + [pads[p + v.rank] for p in perm]
    consts = {}
    refs = [c.ref_as(node.input[0], perm, node),
            c.const_input(c.key(node) + "_pads", np.array(held, dtype=np.int64), consts),
            c.const_input(c.key(node) + "_value", np.array([value], dtype=v.dtype if v.dtype != np.float64
                                                               else np.float32), consts)]
    ref = c.emit("Pad", c.key(node), refs, {"mode": mode}, consts)
    shape, dt = c.out_shape(node)
    c.set_runtime(node.output[0], shape, dt, ref, perm)


@handles("Expand")
def h_expand(c, node, attrs, ins):
    v, s = ins
    if s.const is None:
        fail(node, "the shape must be constant")
    shape, dt = c.out_shape(node)
    consts = {}
    refs = [c.ref_as(node.input[0], identity(v.rank), node),
            c.const_input(c.key(node) + "_shape", np.array(shape, dtype=np.int64), consts)]
    ref = c.emit("Expand", c.key(node), refs, None, consts)
    c.set_runtime(node.output[0], shape, dt, ref, identity(len(shape)))


@handles("Tile")
def h_tile(c, node, attrs, ins):
    v, rep = ins
    if rep.const is None:
        fail(node, "repeats must be constant")
    perm = v.perm
    consts = {}
    refs = [c.ref_as(node.input[0], perm, node),
            c.const_input(c.key(node) + "_repeats", np.array([rep.const[p] for p in perm], np.uint32), consts)]
    ref = c.emit("Tile", c.key(node), refs, None, consts)
    shape, dt = c.out_shape(node)
    c.set_runtime(node.output[0], shape, dt, ref, perm)


@handles("DepthToSpace", "SpaceToDepth")
def h_depth_space(c, node, attrs, ins):
    """DepthToSpace and SpaceToDepth as Reshape, Transpose, Reshape in ONNX order."""
    v = ins[0]
    if v.rank != 4:
        fail(node, "only 4-D inputs are supported")
    b = attrs["blocksize"]
    n, ch, h, w = v.shape
    key = c.key(node)
    src = c.ref_as(node.input[0], identity(4), node)
    if node.op_type == "DepthToSpace":
        crd = text_attr(attrs, "mode", "DCR") == "CRD"
        split = [n, ch // (b * b), b, b, h, w] if crd else [n, b, b, ch // (b * b), h, w]
        perm = [0, 1, 4, 2, 5, 3] if crd else [0, 3, 4, 1, 5, 2]
        shape = [n, ch // (b * b), h * b, w * b]
    else:
        split = [n, ch, h // b, b, w // b, b]
        perm = [0, 3, 5, 1, 2, 4]
        shape = [n, ch * b * b, h // b, w // b]
    t = c.emit("Transpose", key + "_blocks", [reshape_to(c, src, key + "_split", split)], {"perm": perm})
    ref = reshape_to(c, t, key, shape)
    c.set_runtime(node.output[0], shape, v.dtype, ref, identity(4))


@handles("ConstantOfShape")
def h_const_of_shape(c, node, attrs, ins):
    # Constant shapes are folded before this; the reader needs the shape constant.
    fail(node, "the shape must be constant")
