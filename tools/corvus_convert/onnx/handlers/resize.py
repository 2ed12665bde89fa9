"""Resize and Upsample: the runtime's resize layers where they compute the
ONNX result, otherwise one axis at a time as a gather (nearest) or a product
with a constant interpolation matrix (linear, cubic)."""
import numpy as np

from ..graph import channels_last, fail
from ..registry import handles
from .common import reshape_to, text_attr
from .elementwise import h_alias


RESIZE_CTM = ("half_pixel", "pytorch_half_pixel", "align_corners", "asymmetric", "tf_half_pixel_for_nn",
              "tf_crop_and_resize")


NEAREST_MODES = ("round_prefer_floor", "round_prefer_ceil", "floor", "ceil")


def resize_source(o, L, O, s, ctm, roi):
    """Input coordinate of output index o along an axis (float64); O is the
    resized length, L * s when scales are given (not rounded down)."""
    if ctm == "half_pixel":
        return (o + 0.5) / s - 0.5
    if ctm == "pytorch_half_pixel":
        return (o + 0.5) / s - 0.5 if O > 1 else 0.0
    if ctm == "align_corners":
        return 0.0 if O == 1 else o * (L - 1) / (O - 1)
    if ctm == "asymmetric":
        return o / s
    if ctm == "tf_half_pixel_for_nn":
        return (o + 0.5) / s
    start, end = roi
    return start * (L - 1) + o * (end - start) * (L - 1) / (O - 1) if O > 1 else 0.5 * (start + end) * (L - 1)


def cubic_weights(r, a):
    """Weights of inputs i-1, i, i+1, i+2 at i + r (0 <= r < 1)."""
    d = [r + 1.0, r, 1.0 - r, 2.0 - r]
    return [((a * t - 5 * a) * t + 8 * a) * t - 4 * a if t > 1 else ((a + 2) * t - (a + 3)) * t * t + 1 for t in d]


def resize_axis(L, O, s, ctm, mode, nearest, a, exclude, roi, length):
    """One axis of a Resize: (indices or None, matrix [O, L] or None, outside
    mask [O]). Nearest gives indices (a gather), linear and cubic a matrix whose
    row o holds the interpolation weights of output o; rows outside a
    tf_crop_and_resize window are flagged in the mask."""
    idx, mat, outside = np.zeros(O, np.int64), np.zeros((O, L), np.float64), np.zeros(O, bool)
    for o in range(O):
        x = resize_source(o, L, length, s, ctm, roi)
        if ctm == "tf_crop_and_resize" and (x < 0 or x > L - 1):
            outside[o] = True
            continue
        if mode == "nearest":
            f = np.floor(x)
            if nearest == "floor":
                i = f
            elif nearest == "ceil":
                i = np.ceil(x)
            elif x - f == 0.5:
                i = f if nearest == "round_prefer_floor" else f + 1
            else:
                i = np.floor(x + 0.5)
            idx[o] = min(max(int(i), 0), L - 1)
            continue
        i0 = int(np.floor(x))
        r = x - i0
        taps = [(i0, 1.0 - r), (i0 + 1, r)] if mode == "linear" else list(zip(range(i0 - 1, i0 + 3),
                                                                             cubic_weights(r, a)))
        if exclude:
            taps = [(i, w) for i, w in taps if 0 <= i < L]
            total = sum(w for _, w in taps)
            taps = [(i, w / total) for i, w in taps]
        for i, w in taps:
            mat[o, min(max(i, 0), L - 1)] += w
    return (idx if mode == "nearest" else None), (mat if mode != "nearest" else None), outside


@handles("Resize", "Upsample")
def h_resize(c, node, attrs, ins):
    v = ins[0]
    mode = text_attr(attrs, "mode", "nearest")
    if mode not in ("nearest", "linear", "cubic") or (mode == "cubic" and node.op_type == "Upsample"):
        fail(node, "mode %s is not supported" % mode)
    for name, ok in (("antialias", 0), ("axes", None)):
        if attrs.get(name, ok) != ok:
            fail(node, "attribute %s is not supported" % name)
    if text_attr(attrs, "keep_aspect_ratio_policy", "stretch") != "stretch":
        fail(node, "keep_aspect_ratio_policy %s is not supported" % text_attr(attrs, "keep_aspect_ratio_policy", ""))
    shape, dt = c.out_shape(node)
    roi, by_sizes = None, False
    if node.op_type == "Upsample" or c.opset < 11:
        # Upsample and the first Resize: asymmetric coordinates; nearest
        # rounds down when enlarging and up when reducing.
        scales = ins[1].const if len(ins) > 1 and ins[1] is not None else np.array(attrs.get("scales"))
        if scales is None or (len(ins) > 1 and ins[1] is not None and ins[1].const is None):
            fail(node, "the scales must be constant")
        ctm, nearest = "asymmetric", None
    else:
        ctm = text_attr(attrs, "coordinate_transformation_mode", "half_pixel")
        nearest = text_attr(attrs, "nearest_mode", "round_prefer_floor")
        if ctm not in RESIZE_CTM:
            fail(node, "coordinate_transformation_mode %s is not supported" % ctm)
        if nearest not in NEAREST_MODES:
            fail(node, "nearest_mode %s is not supported" % nearest)
        for i in (1, 2, 3):
            if len(ins) > i and ins[i] is not None and ins[i].const is None:
                fail(node, "%s must be constant" % ("roi", "scales", "sizes")[i - 1])
        scales = ins[2].const if len(ins) > 2 and ins[2] is not None and ins[2].const.size else None
        by_sizes = scales is None
        if scales is None:
            if len(ins) < 4 or ins[3] is None:
                fail(node, "scales or sizes are required")
            scales = np.array(shape, np.float64) / np.array(v.shape, np.float64)
        if ctm == "tf_crop_and_resize":
            if len(ins) < 2 or ins[1] is None or ins[1].const.size != 2 * v.rank:
                fail(node, "tf_crop_and_resize needs a constant roi of %d values" % (2 * v.rank))
            roi = ins[1].const.astype(np.float64).reshape(2, v.rank)
    scales = np.asarray(scales, np.float64).reshape(-1)
    if scales.size != v.rank or (scales <= 0).any():
        fail(node, "%d positive scales are required" % v.rank)
    if v.dtype not in (np.float32, np.float64) and mode != "nearest":
        fail(node, "element type %s is not supported for %s resize (float32)" % (v.dtype.name, mode))
    a = attrs.get("cubic_coeff_a", -0.75)
    exclude = bool(attrs.get("exclude_outside", 0))
    plans = []
    for ax in range(v.rank):
        L, O = v.shape[ax], shape[ax]
        if L == O and scales[ax] == 1.0 and ctm != "tf_crop_and_resize":
            continue  # every transformation maps o to o at scale 1
        if nearest is None and mode == "nearest":
            nm = "floor" if scales[ax] >= 1 else "ceil"
        else:
            nm = nearest
        window = None if roi is None else (roi[0, ax], roi[1, ax])
        length = O if by_sizes else L * float(scales[ax])
        plans.append((ax,) + resize_axis(L, O, float(scales[ax]), ctm, mode, nm, a, exclude, window, length))
    if not plans:
        return h_alias(c, node, attrs, ins)
    if native_resize(c, node, v, mode, ctm, nearest, scales, shape, dt):
        return
    # Written with existing operators, one axis at a time: nearest as a Gather
    # with constant indices, linear and cubic as a product with the constant
    # interpolation matrix along that axis.
    key = c.key(node)
    cur = node.input[0]
    for n, (ax, idx, mat, _) in enumerate(plans):
        w = c.values[cur]
        perm = w.perm
        held = perm.index(ax)
        new_shape = tuple(shape[q] if q == ax else w.shape[q] for q in range(v.rank))
        src = c.ref_as(cur, perm, node)
        if idx is not None:
            consts = {}
            ref = c.emit("Gather", "%s_axis%d" % (key, ax), [src, c.const_input(key + "_indices", idx, consts)],
                         {"axis": [held]}, consts)
        else:
            dims = [w.shape[q] for q in perm]
            before, after = int(np.prod(dims[:held])), int(np.prod(dims[held + 1:]))
            x3 = reshape_to(c, src, "%s_rows%d" % (key, ax), [before, dims[held], after])
            mm = matmul_const_left(c, "%s_axis%d" % (key, ax), mat.astype(np.float32), x3)
            ref = reshape_to(c, mm, "%s_axis%d_out" % (key, ax), [new_shape[q] for q in perm])
        cur = c.unique(key + "_resized")
        c.set_runtime(cur, new_shape, dt, ref, perm)
    outside = np.zeros(shape, bool)
    for ax, _, _, out_ax in plans:
        outside |= out_ax.reshape([-1 if q == ax else 1 for q in range(v.rank)])
    if outside.any():
        # tf_crop_and_resize outside the input: the extrapolation value.
        w = c.values[cur]
        consts = {}
        fill = np.array(attrs.get("extrapolation_value", 0.0), np.float32).reshape((1,) * v.rank)
        refs = [c.const_input(key + "_outside", np.transpose(outside, w.perm), consts),
                c.const_input(key + "_extrapolation", fill, consts), c.ref_as(cur, w.perm, node)]
        ref = c.emit("Where", key, refs, None, consts)
        c.set_runtime(cur, shape, dt, ref, w.perm)
    c.values[node.output[0]] = c.values[cur]


def native_resize(c, node, v, mode, ctm, nearest, scales, shape, dt):
    """The runtime's own resize layers where they compute the ONNX result:
    UpSampling2D (out[h] = in[h / k]) is nearest enlargement by whole factors
    k of H and W in every coordinate mode but align_corners and
    tf_crop_and_resize (asymmetric floor gives floor(o / k) directly; in the
    half-pixel modes the source (o + 0.5) / k - 0.5 lies strictly within half
    a step of floor(o / k), so no rounding mode can leave it; in
    tf_half_pixel_for_nn floor((o + 0.5) / k) = floor(o / k)); and the area
    resize at scale 1/2 is linear half_pixel halving (source 2o + 0.5: the
    mean of inputs 2o and 2o + 1)."""
    if v.rank != 4 or scales[0] != 1 or scales[1] != 1 or v.dtype not in (np.float32, np.float64):
        return False
    hw = [float(x) for x in scales[2:]]
    if mode == "nearest":
        agree = ctm == "asymmetric" and nearest in (None, "floor") or ctm in (
            "half_pixel", "pytorch_half_pixel") and nearest in ("round_prefer_floor", "round_prefer_ceil") or \
            ctm == "tf_half_pixel_for_nn" and nearest == "floor"
        if not agree or any(x < 1 or x != int(x) or x > 65535 for x in hw) or \
                [v.shape[2] * int(hw[0]), v.shape[3] * int(hw[1])] != list(shape[2:]):
            return False
    elif not (mode == "linear" and ctm in ("half_pixel", "pytorch_half_pixel") and all(x in (0.5, 1.0) for x in hw)
              and [int(v.shape[2] * hw[0]), int(v.shape[3] * hw[1])] == list(shape[2:])):
        return False
    perm = channels_last(4)
    consts = {}
    refs = [c.ref_as(node.input[0], perm, node),
            c.const_input(c.key(node) + "_scales", np.array([1, 1] + hw, np.float32), consts)]
    ref = c.emit("Resize", c.key(node), refs, {"mode": mode}, consts)
    c.set_runtime(node.output[0], shape, dt, ref, perm)
    return True


def matmul_const_left(c, key, mat, ref):
    """MatMul of a constant matrix [O, L] with a runtime tensor [..., L, M]
    (broadcast over the leading dimensions); the matrix goes to the weights file."""
    key = c.unique(key)
    c.used_names.discard(key)
    cname = c.unique(key + "_matrix")
    out = c.emit("MatMul", key, [cname, ref])
    c.doc[out][cname] = c.initializer(mat, with_data=False)
    c.weights.append((out, [mat]))
    return out
