"""The converter's picture of the ONNX graph: values (constants, or runtime
tensors held in some dimension order) and the permutations between holdings."""
import numpy as np


class ConversionError(Exception):
    """What the runtime cannot express; the message names the node."""


def fail(node, text):
    raise ConversionError("node %r (%s): %s" % (node.name or node.output[0], node.op_type, text))


def channels_last(rank):
    return tuple([0] + list(range(2, rank)) + [1]) if rank >= 3 else tuple(range(rank))


def identity(rank):
    return tuple(range(rank))


def inverse(perm):
    inv = [0] * len(perm)
    for i, p in enumerate(perm):
        inv[p] = i
    return tuple(inv)


class Value:
    """An ONNX value: either a constant (numpy array) or a runtime tensor named
    `ref` in the document, held as the ONNX tensor transposed by `perm`."""

    def __init__(self, shape, dtype, const=None, ref=None, perm=None):
        self.shape = tuple(int(d) for d in shape)
        self.dtype = np.dtype(dtype)
        self.const = const
        self.ref = ref
        self.perm = perm
        self.views = {}  # perm -> ref of a converted copy

    @property
    def rank(self):
        return len(self.shape)


def same_order(v, perm):
    """True when holding v with perm instead of v.perm moves only unit dimensions."""
    held = [v.shape[p] for p in v.perm]
    want = [v.shape[p] for p in perm]
    return [v.perm[i] for i in range(v.rank) if held[i] != 1] == [perm[i] for i in range(v.rank) if want[i] != 1]
