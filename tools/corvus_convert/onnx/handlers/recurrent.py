"""Recurrent layers: the forward LSTM, its gates reordered for the runtime."""
import numpy as np

from ..graph import fail, identity
from ..registry import handles


@handles("LSTM")
def h_lstm(c, node, attrs, ins):
    node_key = c.key(node) if node.name else "LSTM"
    direction = attrs.get("direction", b"forward")
    direction = direction.decode() if isinstance(direction, bytes) else direction
    if direction != "forward":
        fail(node, "only forward LSTMs are supported")
    if attrs.get("layout", 0) != 0:
        fail(node, "only layout 0 is supported")
    for a in ("activations", "clip", "input_forget"):
        if a in attrs and (a != "input_forget" or attrs[a]):
            fail(node, "attribute %s is not supported" % a)
    H = attrs["hidden_size"]
    w, r = ins[1], ins[2]
    if w.const is None or r.const is None:
        fail(node, "W and R must be constant")
    opt = [ins[i] if len(ins) > i else None for i in range(3, 7)]
    b, seq, h0, c0 = opt
    if len(ins) > 7 and ins[7] is not None:
        fail(node, "peephole weights are not supported")
    for t in (b, seq, h0, c0):
        if t is not None and t.const is None:
            fail(node, "bias and initial states must be constant")

    def gates(m):  # ONNX i, o, f, c -> runtime i, f, c, o (last axis)
        i_, o_, f_, c_ = np.split(m, 4, axis=-1)
        return np.concatenate([i_, f_, c_, o_], axis=-1)

    Wt = gates(w.const.astype(np.float32).transpose(0, 2, 1))
    Rt = gates(r.const.astype(np.float32).transpose(0, 2, 1))
    key = c.unique(node_key)
    c.used_names.discard(key)
    names = [c.ref_as(node.input[0], identity(3), node), key + "_W", key + "_R"]
    inits = {key + "_W": w.const, key + "_R": r.const}
    bias = None
    if b is not None:
        bb = b.const.astype(np.float32)
        bias = gates(bb[:, :4 * H]) + gates(bb[:, 4 * H:])
        names.append(key + "_B")
        inits[key + "_B"] = b.const
    else:
        names.append("")
    if seq is not None:
        names.append(key + "_seq")
        inits[key + "_seq"] = seq.const
    else:
        names.append("")
    states = []
    for tag, t in (("_h0", h0), ("_c0", c0)):
        if t is not None:
            names.append(key + tag)
            inits[key + tag] = t.const
            states.append(t.const.astype(np.float32))
        else:
            names.append("")
    while names and names[-1] == "":
        names.pop()
    ref = c.emit("LSTM", key, names, {"hidden_size": [H], "direction": "forward", "layout": [0]})
    for n, arr in inits.items():
        c.doc[ref][n] = c.initializer(np.asarray(arr, dtype=np.float32), with_data=False)
    for n in list(inits):
        c.used_names.add(n)
    # Fixed positions: W, R, B, sequence lengths, initial h, initial c, peepholes.
    entry = [Wt, Rt, bias, None if seq is None else seq.const.astype(np.float32), states[0] if h0 is not None else None,
             (states[-1] if c0 is not None else None), None]
    c.weights.append((ref, entry))
    if node.output[0]:
        shape, dt = c.out_shape(node)
        c.set_runtime(node.output[0], shape, dt, ref, identity(4))
    for idx in (1, 2):
        if len(node.output) > idx and node.output[idx]:
            pref = c.emit("PostLSTM", key + ("_Y_h" if idx == 1 else "_Y_c"), [ref],
                          {"lstm_output_index": [idx]})
            s, d = c.out_shape(node, idx)
            c.set_runtime(node.output[idx], s, d, pref, identity(3))
