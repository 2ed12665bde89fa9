"""Matrix products: Gemm and MatMul (a Dense layer where the right operand is
a constant matrix) and Einsum."""
import numpy as np
import onnx

from ..graph import fail, identity
from ..registry import handles
from .common import text_attr
from .movement import h_transpose


def dense(c, node, src, weight, bias, out_name, shape, dt):
    ref = c.emit("Dense", c.key(node), [src], {"units": [int(weight.shape[1])], "use_bias": [bias is not None]})
    c.weights.append((ref, [weight.astype(np.float32)] + ([bias.astype(np.float32)] if bias is not None else [])))
    c.set_runtime(out_name, shape, dt, ref, identity(len(shape)))


@handles("Gemm")
def h_gemm(c, node, attrs, ins):
    a, b = ins[0], ins[1]
    cc = ins[2] if len(ins) > 2 else None
    if a.const is not None or b.const is None or (cc is not None and cc.const is None):
        fail(node, "only a variable A with constant B and C is supported")
    B = b.const.astype(np.float32)
    if attrs.get("transB", 0):
        B = B.T
    B = B * np.float32(attrs.get("alpha", 1.0))
    bias, full = None, None
    if cc is not None:
        C = cc.const.astype(np.float32) * np.float32(attrs.get("beta", 1.0))
        if C.size == B.shape[1] or C.size == 1:
            bias = np.broadcast_to(C.reshape(-1), (B.shape[1],)).copy()
        else:
            full = C.reshape((1,) * (2 - C.ndim) + C.shape)  # added after the product
    shape, dt = c.out_shape(node)
    # transA: A held transposed, which the tracked layout gives by a Transpose.
    src = c.ref_as(node.input[0], (1, 0) if attrs.get("transA", 0) else identity(2), node)
    if full is None:
        return dense(c, node, src, B, bias, node.output[0], shape, dt)
    product = c.unique(c.key(node) + "_product")
    dense(c, node, src, B, None, product, shape, dt)
    consts = {}
    ref = c.emit("Add", c.key(node) + "_bias", [c.values[product].ref, c.const_input(c.key(node) + "_c", full, consts)],
                 None, consts)
    c.set_runtime(node.output[0], shape, dt, ref, identity(2))


@handles("MatMul")
def h_matmul(c, node, attrs, ins):
    a, b = ins
    shape, dt = c.out_shape(node)
    if a.const is None and b.const is not None and a.rank == 2 and b.rank == 2:
        return dense(c, node, c.ref_as(node.input[0], identity(2), node), b.const, None, node.output[0], shape, dt)
    refs, node_consts = [], {}
    key = c.unique(c.key(node))
    c.used_names.discard(key)
    weights = []
    for n, v in zip(node.input, ins):
        if v.const is not None:
            cname = c.unique(key + "_" + n)
            refs.append(cname)
            node_consts[cname] = v.const.astype(np.float32)
            weights.append(v.const.astype(np.float32))
        else:
            refs.append(c.ref_as(n, identity(v.rank), node))
    ref = c.emit("MatMul", key, refs)
    for name, arr in node_consts.items():
        c.doc[ref][name] = c.initializer(arr, with_data=False)
    if weights:
        c.weights.append((ref, weights))
    c.set_runtime(node.output[0], shape, dt, ref, identity(len(shape)))


@handles("Einsum")
def h_einsum(c, node, attrs, ins):
    eq = text_attr(attrs, "equation", "").replace(" ", "")
    if "." in eq:
        fail(node, "equation %s has an ellipsis, which is not supported" % eq)
    if "->" not in eq:
        # Implicit result: the letters that occur once, in alphabetical order.
        letters = eq.replace(",", "")
        eq += "->" + "".join(sorted(ch for ch in set(letters) if letters.count(ch) == 1))
    terms = eq.replace("->", ",").split(",")
    if any(len(t) > 6 or len(set(t)) != len(t) for t in terms):
        fail(node, "equation %s repeats a letter within a term or has more than 6" % eq)
    if len(ins) == 1:
        return einsum_single(c, node, terms[0], terms[1], ins[0])
    if len(ins) != 2:
        fail(node, "only one or two operands are supported (equation %s)" % eq)
    if any(v.dtype not in (np.float32, np.float64) for v in ins):
        fail(node, "element types other than float32 are not supported")
    # The result's shape from its letters (shape inference leaves it open).
    size = {}
    for term, v in zip(terms, ins):
        if len(term) != v.rank:
            fail(node, "term %s of equation %s does not match a %d-D operand" % (term, eq, v.rank))
        for ch, d in zip(term, v.shape):
            if size.setdefault(ch, d) != d:
                fail(node, "letter %s of equation %s has sizes %d and %d" % (ch, eq, size[ch], d))
    if any(ch not in size for ch in terms[2]):
        fail(node, "result letters of equation %s occur in no operand" % eq)
    shape, dt = tuple(size[ch] for ch in terms[2]), np.dtype(np.float32)
    key = c.unique(c.key(node))
    c.used_names.discard(key)
    refs, weights, names = [], [], []
    for n, v in zip(node.input, ins):
        if v.const is not None:
            cname = c.unique(key + "_" + n)
            refs.append(cname)
            names.append((cname, v.const.astype(np.float32)))
            weights.append(v.const.astype(np.float32))
        else:
            refs.append(c.ref_as(n, identity(v.rank), node))
    ref = c.emit("Einsum", key, refs, {"equation": eq})
    for cname, arr in names:
        c.doc[ref][cname] = c.initializer(arr, with_data=False)
    if weights:
        c.weights.append((ref, weights))
    c.set_runtime(node.output[0], shape, dt, ref, identity(len(shape)))


def einsum_single(c, node, term, result, v):
    """One operand: a sum over the letters not in the result, then a transpose."""
    gone = [i for i, ch in enumerate(term) if ch not in result]
    kept = [ch for ch in term if ch in result]
    src = node.input[0]
    if gone:
        consts = {}
        refs = [c.ref_as(src, v.perm, node), c.const_input(c.key(node) + "_axes", np.array(
            sorted(v.perm.index(a) for a in gone), np.int64), consts)]
        ref = c.emit("ReduceSum", c.key(node) + "_sum", refs, {"keepdims": [0]}, consts)
        rest = [p for p in v.perm if p not in gone]
        src = c.unique(c.key(node) + "_summed")
        c.set_runtime(src, [d for i, d in enumerate(v.shape) if i not in gone], v.dtype, ref,
                      tuple(sorted(rest).index(p) for p in rest))
    h_transpose(c, onnx.helper.make_node("Transpose", [src], list(node.output)), {
        "perm": [kept.index(ch) for ch in result]}, [c.values[src]])
