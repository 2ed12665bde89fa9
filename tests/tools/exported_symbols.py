#!/usr/bin/env python3
"""Compares the dynamic symbols libcorvus.so exports with the functions and
objects the public headers declare: each declared one exported, nothing else.

usage: exported_symbols.py LIBRARY INCLUDE_DIR NM CXX

The headers go through the C++ preprocessor (so declarations made by macros
count), and only the text that comes from INCLUDE_DIR is read. Declarations
of the .hpp headers are C++ functions; nm names them with their parameters.
"""
import collections
import glob
import os
import re
import subprocess
import sys

# A return type, a name and one parameter list (which may hold function
# pointers); a struct's function-pointer member has a second list.
FUNCTION = re.compile(r"(?:extern )?[\w\s\*&:<>,]*?[\w\*&>]\s*\b(\w+)\s*\((?:[^()]|\([^()]*\))*\)")
OBJECT = re.compile(r"extern [\w\s\*]*?\b(\w+)\s*(?:\[[^\]]*\])?")
ATTRIBUTE = re.compile(r"__attribute__\s*\(\((?:[^()]|\([^()]*\))*\)\)")


def declared(include, cxx):
    headers = sorted(glob.glob(os.path.join(include, "**", "*.h*"), recursive=True))
    source = "".join('#include "%s"\n' % h for h in headers)
    text = subprocess.run([cxx, "-E", "-x", "c++", "-I", include, "-"], input=source, check=True,
                          capture_output=True, text=True).stdout
    ours, where = collections.defaultdict(str), None
    for line in text.splitlines():
        marker = re.match(r'# \d+ "([^"]*)"', line)
        if marker:
            path = os.path.realpath(marker.group(1))
            where = path if path.startswith(os.path.realpath(include) + os.sep) else None
        elif where:
            ours[where] += line + "\n"
    names = set()
    for path, body in ours.items():
        body = ATTRIBUTE.sub(" ", body.replace('extern "C"', " "))
        for statement in re.split(r"[;{}]", body):
            statement = " ".join(statement.split())
            if statement.startswith(("typedef", "static", "return")):
                continue
            match = FUNCTION.fullmatch(statement) or OBJECT.fullmatch(statement)
            if match:
                names.add(match.group(1) + ("()" if path.endswith(".hpp") and "(" in statement else ""))
    return names


def exported(library, nm):
    text = subprocess.run([nm, "-D", "--defined-only", "-C", library], check=True, capture_output=True,
                          text=True).stdout
    names = set()
    for line in text.splitlines():
        name = line.split(" ", 2)[2]
        # Instrumented builds: AddressSanitizer's marker of an exported object,
        # gcov's runtime in coverage builds.
        if not name.startswith(("__odr_asan.", "__gcov_")) and name != "mangle_path":
            names.add(name.split("(")[0] + "()" if "(" in name else name)
    return names


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    library, include, nm, cxx = sys.argv[1:]
    want, have = declared(include, cxx), exported(library, nm)
    for name in sorted(want - have):
        print("declared but not exported:", name)
    for name in sorted(have - want):
        print("exported but not declared:", name)
    print("%d exported symbols, %d declared" % (len(have), len(want)))
    sys.exit(1 if want != have else 0)


if __name__ == "__main__":
    main()
