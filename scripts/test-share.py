#!/usr/bin/env python3
"""Test lines against product lines: non-blank lines of the tracked code files
under tests/ and under include/, src/, kernels/ and tools/."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CODE = (".c", ".cc", ".cpp", ".h", ".hpp", ".def", ".py", ".sh")


def is_code(path):
    if path.endswith(CODE):
        return True
    # Command-line scripts without an extension (tools/onnx2corvus, ...).
    if "." in os.path.basename(path):
        return False
    with open(os.path.join(ROOT, path), "rb") as f:
        return f.read(2) == b"#!"


def count(dirs):
    files = subprocess.run(["git", "ls-files", "--"] + dirs, cwd=ROOT, check=True,
                           capture_output=True, text=True).stdout.split()
    total = 0
    for rel in files:
        if not is_code(rel):
            continue
        with open(os.path.join(ROOT, rel), encoding="utf-8", errors="replace") as f:
            total += sum(1 for line in f if line.strip())
    return total


tests = count(["tests"])
product = count(["include", "src", "kernels", "tools"])
print(f"test lines {tests}, product lines {product}: {100.0 * tests / product:.1f}%")
sys.exit(0)
