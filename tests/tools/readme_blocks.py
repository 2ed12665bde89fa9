#!/usr/bin/env python3
"""Pulls the README's code blocks marked for testing into files.

    readme_blocks.py README.md OUTDIR

A block opened with ```c test, ```cpp test or ```sh test becomes
OUTDIR/readme_<n>.c, .cpp or .sh (n counts from 1 in README order); files of
blocks that no longer exist are removed.
"""
import glob
import os
import re
import sys

LANGUAGES = ("c", "cpp", "sh")


def main():
    readme, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    with open(readme) as f:
        found = re.findall(r"^```(\w+) test\n(.*?)^```$", f.read(), re.M | re.S)
    if not found:
        raise SystemExit("readme_blocks: no blocks marked for testing")
    wanted = set()
    for n, (ext, code) in enumerate(found, 1):
        if ext not in LANGUAGES:
            raise SystemExit(f"readme_blocks: unknown block language '{ext}'")
        path = os.path.join(out, f"readme_{n}.{ext}")
        wanted.add(path)
        old = open(path).read() if os.path.exists(path) else None
        if old != code:  # leave unchanged files alone: no needless rebuilds
            with open(path, "w") as f:
                f.write(code)
    for path in glob.glob(os.path.join(out, "readme_*.*")):
        if path not in wanted and os.path.isfile(path):
            os.remove(path)


if __name__ == "__main__":
    main()
