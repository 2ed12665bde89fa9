"""NonMaxSuppression, with ONNX's conventions made explicit for the runtime."""
import numpy as np

from ..elements import FLOAT_MAX
from ..graph import fail, identity
from ..registry import handles


@handles("NonMaxSuppression")
def h_nms(c, node, attrs, ins):
    """The runtime's NonMaxSuppression with ONNX's conventions made explicit:
    both thresholds always given (no score threshold keeps every score above
    -FLOAT_MAX), suppression at IoU > t written as IoU >= the next float above t
    (the runtime's IoU is a float32), and corners ordered (or centre boxes
    turned into corners) before it."""
    if node.output[0] not in [o.name for o in c.model.graph.output]:
        fail(node, "selected_indices must be a graph output: their count is known only at run time")
    for i in range(2, len(ins)):
        if ins[i] is not None and ins[i].const is None:
            fail(node, "max_output_boxes_per_class and the thresholds must be constant")
    boxes, scores = ins[0], ins[1]
    if boxes.dtype not in (np.float32, np.float64) or scores.dtype not in (np.float32, np.float64):
        fail(node, "boxes and scores must be float32")
    key = c.key(node)
    M = int(ins[2].const.reshape(-1)[0]) if len(ins) > 2 and ins[2] is not None else 0
    iou = float(ins[3].const.reshape(-1)[0]) if len(ins) > 3 and ins[3] is not None else 0.0
    score = float(ins[4].const.reshape(-1)[0]) if len(ins) > 4 and ins[4] is not None else -FLOAT_MAX
    N, C, B = scores.shape
    M = min(M, B)
    if M <= 0:
        fail(node, "max_output_boxes_per_class of 0 selects nothing; empty outputs are not supported")
    centre = attrs.get("center_point_box", 0)
    if boxes.const is not None:
        b = boxes.const.astype(np.float32)
        if centre:
            half = b[..., 2:] / np.float32(2)
            b = np.concatenate([b[..., :2] - half, b[..., :2] + half], axis=-1)
        corners = np.concatenate([np.minimum(b[..., :2], b[..., 2:]), np.maximum(b[..., :2], b[..., 2:])], -1)
        consts = {}
        bref = c.const_input(key + "_boxes", corners, consts)
    else:
        consts = {}
        src = c.ref_as(node.input[0], identity(3), node)

        def half(lo, tag):
            cc = {}
            refs = [src] + [c.const_input(key + tag + nm, np.array([val], np.int64), cc)
                            for nm, val in (("_s", lo), ("_e", lo + 2), ("_a", 2), ("_st", 1))]
            return c.emit("Slice", key + tag, refs, None, cc)
        first, second = half(0, "_first"), half(2, "_second")
        if centre:
            cc = {}
            hw = c.emit("Mul", key + "_halfsize", [second, c.const_input(key + "_half", np.full((1, 1, 1), 0.5,
                                                                                                np.float32), cc)],
                        None, cc)
            first, second = c.emit("Sub", key + "_low", [first, hw]), c.emit("Add", key + "_high", [first, hw])
        less = c.emit("Less", key + "_ordered", [first, second])
        lo = c.emit("Where", key + "_min", [less, first, second])
        hi = c.emit("Where", key + "_max", [less, second, first])
        bref = c.emit("Concat", key + "_corners", [lo, hi], {"axis": [2]})
    sref = c.ref_as(node.input[1], identity(3), node) if scores.const is None else \
        c.const_input(key + "_scores", scores.const.astype(np.float32), consts)
    above = np.nextafter(np.float32(iou), np.float32(np.inf), dtype=np.float32)
    refs = [bref, sref, c.const_input(key + "_max_boxes", np.array([M], np.int64), consts),
            c.const_input(key + "_iou", np.array([above], np.float32), consts),
            c.const_input(key + "_score", np.array([score], np.float32), consts)]
    ref = c.emit("NonMaxSuppression", key, refs, None, consts)
    c.set_runtime(node.output[0], (N * C * M, 3), np.int64, ref, identity(2))
    c.varying_rows.add(node.output[0])
