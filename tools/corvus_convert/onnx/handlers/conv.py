"""Convolutions (plain, grouped, depthwise, transposed) and pooling
(windowed and global), held channels-last."""
import numpy as np

from ..graph import channels_last, fail
from ..registry import handles
from .common import reshape_to


def spatial_pads(node, attrs, in_sizes, kernel, strides, dilations):
    n = len(kernel)
    pads = list(attrs.get("pads", [0] * 2 * n))
    auto = attrs.get("auto_pad", b"NOTSET")
    auto = auto.decode() if isinstance(auto, bytes) else auto
    if auto in ("SAME_UPPER", "SAME_LOWER"):
        pads = [0] * 2 * n
        for i in range(n):
            out = -(-in_sizes[i] // strides[i])
            total = max(0, (out - 1) * strides[i] + (kernel[i] - 1) * dilations[i] + 1 - in_sizes[i])
            small, big = total // 2, total - total // 2
            pads[i], pads[i + n] = (small, big) if auto == "SAME_UPPER" else (big, small)
    elif auto == "VALID":
        pads = [0] * 2 * n
    elif auto != "NOTSET":
        fail(node, "auto_pad %s is not supported" % auto)
    return pads


@handles("Conv")
def h_conv(c, node, attrs, ins):
    x, w = ins[0], ins[1]
    if w is None or w.const is None:
        fail(node, "the filter must be constant")
    if len(ins) > 2 and ins[2] is not None and ins[2].const is None:
        fail(node, "the bias must be constant")
    W = w.const.astype(np.float32)
    n = W.ndim - 2
    if n not in (1, 2, 3):
        fail(node, "%d spatial dimensions are not supported" % n)
    kernel = list(W.shape[2:])
    if "kernel_shape" in attrs and list(attrs["kernel_shape"]) != kernel:
        fail(node, "kernel_shape disagrees with the filter")
    strides = list(attrs.get("strides", [1] * n))
    dil = list(attrs.get("dilations", [1] * n))
    group = attrs.get("group", 1)
    pads = spatial_pads(node, attrs, x.shape[2:], kernel, strides, dil)
    cin, cout = x.shape[1], W.shape[0]
    bias = ins[2].const.astype(np.float32) if len(ins) > 2 and ins[2] is not None else None
    perm = channels_last(x.rank)
    src = c.ref_as(node.input[0], perm, node)
    key = c.key(node)
    if n == 2 and group == cin and group > 1 and W.shape[1] == 1:
        ref = c.emit("DepthwiseConv2D", key, [src], {
            "kernel_shape": kernel, "strides": strides, "dilations": dil, "pads": pads,
            "use_bias": [bias is not None]})
        # channel c*M + m is ONNX output channel c*M + m of group c
        filt = W[:, 0].transpose(1, 2, 0)
    else:
        if group > 1 and n == 3:
            fail(node, "grouped 3-D convolution is not supported")
        ref = c.emit("Conv", key, [src], {
            "kernel_shape": kernel, "filters": [cout], "group": [group], "strides": strides, "dilations": dil,
            "pads": pads, "use_bias": [bias is not None]})
        filt = W.transpose(list(range(2, 2 + n)) + [1, 0])  # spatial..., C_in/group, filters
    c.weights.append((ref, [filt] + ([bias] if bias is not None else [])))
    shape, dt = c.out_shape(node)
    c.set_runtime(node.output[0], shape, dt, ref, perm)


@handles("ConvTranspose")
def h_conv_transpose(c, node, attrs, ins):
    x, w = ins[0], ins[1]
    if w is None or w.const is None or (len(ins) > 2 and ins[2] is not None and ins[2].const is None):
        fail(node, "the filter and bias must be constant")
    W = w.const.astype(np.float32)
    n = W.ndim - 2
    if n not in (1, 2):
        fail(node, "%d spatial dimensions are not supported" % n)
    if attrs.get("group", 1) != 1:
        fail(node, "grouped transposed convolution is not supported")
    auto = attrs.get("auto_pad", b"NOTSET")
    auto = auto.decode() if isinstance(auto, bytes) else auto
    kernel = list(W.shape[2:])
    strides = list(attrs.get("strides", [1] * n))
    dil = list(attrs.get("dilations", [1] * n))
    pads = list(attrs.get("pads", [0] * 2 * n)) if auto == "NOTSET" else [0] * 2 * n
    outpad = list(attrs.get("output_padding", [0] * n))
    if "output_shape" in attrs or auto in ("SAME_UPPER", "SAME_LOWER"):
        # Pads that give the requested output size, split as ONNX splits them.
        want = list(attrs["output_shape"])[-n:] if "output_shape" in attrs else \
            [x.shape[2 + i] * strides[i] for i in range(n)]
        for i in range(n):
            total = strides[i] * (x.shape[2 + i] - 1) + outpad[i] + (kernel[i] - 1) * dil[i] + 1 - want[i]
            if total < 0:
                # The extra rows come from output padding, as ONNX derives it.
                outpad[i] -= total
                total = 0
                if outpad[i] >= max(strides[i], dil[i]):
                    fail(node, "output_shape larger than the transposed output can be")
            small, big = total // 2, total - total // 2
            pads[i], pads[i + n] = (small, big) if auto == "SAME_UPPER" else (big, small)
    elif auto not in ("NOTSET", "VALID"):
        fail(node, "auto_pad %s is not supported" % auto)
    bias = ins[2].const.astype(np.float32) if len(ins) > 2 and ins[2] is not None else None
    perm = channels_last(x.rank)
    cout = W.shape[1]
    ref = c.emit("ConvTranspose", c.key(node), [c.ref_as(node.input[0], perm, node)], {
        "kernel_shape": kernel, "filters": [cout], "group": [1], "use_bias": [bias is not None], "padding": pads,
        "strides": strides, "dilations": dil, "output_padding": outpad})
    # ONNX [C_in, C_out, k...] -> [k..., C_out, C_in]
    filt = W.transpose(list(range(2, 2 + n)) + [1, 0])
    c.weights.append((ref, [filt] + ([bias] if bias is not None else [])))
    shape, dt = c.out_shape(node)
    c.set_runtime(node.output[0], shape, dt, ref, perm)


@handles("MaxPool", "AveragePool")
def h_pool(c, node, attrs, ins):
    op = node.op_type
    x = ins[0]
    kernel = list(attrs["kernel_shape"])
    n = len(kernel)
    if n not in (1, 2, 3) or x.rank != n + 2:
        fail(node, "%d-D pooling of a %d-D input is not supported" % (n, x.rank))
    strides = list(attrs.get("strides", [1] * n))
    if any(d != 1 for d in attrs.get("dilations", [1] * n)):
        fail(node, "dilated pooling is not supported")
    if op == "MaxPool" and len(node.output) > 1 and node.output[1]:
        fail(node, "the indices output is not supported")
    pads = spatial_pads(node, attrs, x.shape[2:], kernel, strides, [1] * n)
    if x.dtype not in (np.float32, np.float64):
        fail(node, "element type %s is not supported (float32)" % x.dtype.name)
    shape, dt = c.out_shape(node)
    if attrs.get("ceil_mode", 0):
        # Extra end padding gives the rounded-up output size with floor rounding.
        for i in range(n):
            need = (shape[2 + i] - 1) * strides[i] + kernel[i] - (x.shape[2 + i] + pads[i] + pads[i + n])
            if need > 0:
                if op == "AveragePool":
                    fail(node, "ceil_mode with a partial last window is not supported for AveragePool")
                pads[i + n] += need
    correction = None
    if op == "AveragePool" and any(pads) and not attrs.get("count_include_pad", 0):
        # Average over the padded window, then rescale each output by the
        # window size over its count of cells inside the input.
        counts = np.ones([1], np.float64)
        for i in range(n):
            o = np.arange(shape[2 + i])
            start = o * strides[i] - pads[i]
            inside = np.minimum(start + kernel[i], x.shape[2 + i]) - np.maximum(start, 0)
            counts = np.multiply.outer(counts, inside) if i else inside.astype(np.float64)
        correction = (np.prod(kernel) / counts).astype(np.float32)
        correction = correction.reshape((1,) + correction.shape + (1,))
    perm = channels_last(x.rank)
    src = c.ref_as(node.input[0], perm, node)
    key = c.key(node)
    # MaxPool keeps its pads: the pooling layer skips window cells outside its
    # input and starts every window at the lowest float, which is what cells
    # holding the lowest float would give (they never exceed the running
    # maximum, NaN and -inf inputs included; a window wholly in the pads, as
    # ceil_mode's extra end padding can make, gives the lowest float either
    # way). Averages go through an explicit Pad node (zeros for an average
    # that counts the pads): independent of how the layer treats those cells.
    outer, pads = ([0] * 2 * n, pads) if op == "MaxPool" else (pads, [0] * 2 * n)
    dims = [x.shape[0]] + [x.shape[2 + i] + outer[i] + outer[i + n] for i in range(n)] + [x.shape[1]]
    if any(outer):
        held = [0] + outer[:n] + [0] + [0] + outer[n:] + [0]
        consts = {}
        refs = [src, c.const_input(key + "_pads", np.array(held, dtype=np.int64), consts),
                c.const_input(key + "_value", np.array([0.0], dtype=np.float32), consts)]
        src = c.emit("Pad", key + "_pad", refs, {"mode": "constant"}, consts)

    def pool2d(ref, name, k, st, pd):  # pd: ONNX order, begins then ends
        return c.emit(op, name, [ref], {"kernel_shape": k, "strides": st, "pads": pd})

    N, C = x.shape[0], x.shape[1]
    if n == 1:
        # A 2-D pooling over a unit height, which every pooling kernel takes.
        rows = reshape_to(c, src, key + "_rows", [N, 1, dims[1], C])
        ref = pool2d(rows, key + "_2d", [1] + kernel, [1] + strides, [0, pads[0], 0, pads[1]])
    elif n == 2:
        ref = pool2d(src, key + "_2d" if correction is not None else key, kernel, strides, pads)
    else:
        # Max and mean are separable: pool each depth slice over H and W,
        # then pool over depth with the H x W plane flattened.
        planes = reshape_to(c, src, key + "_planes", [N * dims[1], dims[2], dims[3], C])
        hw = pool2d(planes, key + "_hw", kernel[1:], strides[1:], pads[1:3] + pads[4:6])
        cols = reshape_to(c, hw, key + "_columns", [N, dims[1], shape[3] * shape[4], C])
        ref = pool2d(cols, key + "_depth", [kernel[0], 1], [strides[0], 1], [pads[0], 0, pads[3], 0])
    if n != 2:
        ref = reshape_to(c, ref, key + ("_window" if correction is not None else ""),
                         [shape[p] for p in perm])
    if correction is not None:
        consts = {}
        ref = c.emit("Mul", key, [ref, c.const_input(key + "_scale", correction, consts)], None, consts)
    c.set_runtime(node.output[0], shape, dt, ref, perm)


@handles("GlobalAveragePool", "GlobalMaxPool")
def h_global_pool(c, node, attrs, ins):
    x = ins[0]
    if x.rank < 3 or x.rank > 6:
        fail(node, "only 3-D to 6-D inputs are supported")
    perm = channels_last(x.rank)
    src = c.ref_as(node.input[0], perm, node)
    shape, dt = c.out_shape(node)
    if x.rank == 4:
        ref = c.emit(node.op_type, c.key(node), [src])
    else:
        # Over every spatial cell of each channel: the spatial dimensions
        # folded into a 4-D image (N, cells, 1, C) hold the same cells.
        key = c.key(node)
        cells = int(np.prod(x.shape[2:]))
        img = reshape_to(c, src, key + "_image", [x.shape[0], cells, 1, x.shape[1]])
        pooled = c.emit(node.op_type, key + "_4d", [img])
        ref = reshape_to(c, pooled, key, [shape[p] for p in perm])
    c.set_runtime(node.output[0], shape, dt, ref, perm)
