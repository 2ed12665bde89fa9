"""The operator tables. Every operator family (handlers/*.py) registers its
handlers here, and fold.py its constant folds; Converter.convert_node looks
operators up in them.

A handler h(c, node, attrs, ins) writes runtime nodes for one ONNX node
through the Converter c (ins: the input Values, None for absent ones); a fold
f(node, attrs, values, c) computes the outputs of a node whose inputs are all
constant (numpy arrays)."""

HANDLERS = {}  # ONNX operator -> handler
FOLD = {}  # ONNX operator -> fold


def register(table, op, fn):
    if op in table:
        raise ValueError("operator %s is registered twice" % op)
    table[op] = fn
    return fn


def handles(*ops):
    """Decorator: the function is the handler of the ONNX operators `ops`."""
    def add(fn):
        for op in ops:
            register(HANDLERS, op, fn)
        return fn
    return add
