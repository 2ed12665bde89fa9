"""Operator handlers by family; importing the package registers them all in
registry.HANDLERS. A new operator: a handler in its family's module under
@handles("OpType") (and a fold in fold.py when it can compute on constants)."""
from . import (arithmetic, conv, detection, elementwise, indexing, linear, movement,  # noqa: F401
               normalization, recurrent, reduce, resize)
