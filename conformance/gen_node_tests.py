#!/usr/bin/python3
"""Generates the ONNX backend node tests from the installed onnx package.

    gen_node_tests.py OUT_DIR

The generators of onnx 1.12 use numpy aliases (numpy.float, numpy.int, ...)
that numpy 1.24 removed; they are restored before onnx is imported.
"""
import sys

import numpy as np

for alias, real in (("float", float), ("int", int), ("bool", bool), ("object", object), ("complex", complex),
                    ("str", str), ("long", int), ("unicode", str)):
    if alias not in np.__dict__:
        setattr(np, alias, real)

from onnx.backend.test.case import collect_snippets  # noqa: E402
from onnx.backend.test.cmd_tools import generate_data  # noqa: E402
import argparse  # noqa: E402


def main(out_dir):
    collect_snippets()
    generate_data(argparse.Namespace(output=out_dir, op_type=None))


if __name__ == "__main__":
    main(sys.argv[1])
