#!/usr/bin/env python3
"""Checks the machine code of the hot kernels in a built libcorvus.so.

In the copy of the kernels for the given instruction-set level (namespace
corvus_level<N>, kernels/VectorLevel.h), every hot kernel must contain vector
fused multiply-adds, and no function of that copy may call the C library's
fmaf (a target without a fused multiply-add instruction would). Also, only
one copy of a kernel source may run code when the library is loaded (static
initialisers): the others may need instructions the processor lacks.

usage: check-codegen.py LIBRARY x86_64|aarch64 LEVEL [OBJDUMP]
"""
import re
import subprocess
import sys

# Hot kernels with multiply-adds: a name (for the report) and the functions
# of the level's copy that hold their loops (where the compiler left them).
HOT = [
    ("Conv2D", r"::(RunConv|RunConvPacked|ConvTile|ConvChannels|ConvRun|Conv2D_fl32_ref)\b"),
    ("Conv1D/Conv3D", r"::(RunForward|ForwardTile|Conv1D_fl32_ref|Conv3D_fl32_ref)\b"),
    ("transposed convolution", r"::(RunTransposed|TransposedTaps|Conv[12]DTranspose_fl32_ref)\b"),
    ("depthwise Conv2D", r"::(DwFloat32|DwTile|DwChannels|Execute_DWConvolution_ref)\b"),
    ("Dense/MatMul block product", r"corvus_gemm::|::(Gen_mult_vect_by_mat|Dense_fl32_ref|Matmul_2dim_fl32)\b"),
    ("Linear", r"::Execute_Linear_fl32_ref\b"),
    ("LSTM gates", r"::(RowTimesMatrix|LSTMCell|LSTM_ref)\b"),
]
VECTOR_FMA = {
    "x86_64": re.compile(r"\bvfn?m(add|sub)[0-9]*ps\b"),
    "aarch64": re.compile(r"\bfml[as]\s+v[0-9]+\.[24]s"),
}
FMAF_CALL = re.compile(r"\b(call|jmp|bl|b)\s+\S*\s*<fmaf(@plt)?>")


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    lib, arch, level = sys.argv[1], sys.argv[2], sys.argv[3]
    objdump = sys.argv[4] if len(sys.argv) > 4 else "objdump"
    text = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", lib], check=True,
                          capture_output=True, text=True).stdout
    mine = re.compile(r"corvus_level%s::|::level%s::" % (level, level))
    functions = {}
    name = None
    for line in text.splitlines():
        m = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if m:
            name = m.group(1) if mine.search(m.group(1)) else None
            if name is not None:
                functions[name] = []
        elif name is not None and line.strip():
            functions[name].append(line)
    if not functions:
        sys.exit("no function of level %s in %s (stripped, or a build without that level?)" % (level, lib))

    failures = []
    nm = objdump[:-len("objdump")] + "nm" if objdump.endswith("objdump") else "nm"
    symbols = subprocess.run([nm, lib], check=True, capture_output=True, text=True).stdout
    inits = re.findall(r"\s_GLOBAL__sub_I_(\S+)$", symbols, re.M)
    for source in sorted(set(i for i in inits if inits.count(i) > 1)):
        failures.append("load-time code in more than one copy of " + source)
    for fn, body in functions.items():
        if any(FMAF_CALL.search(l) for l in body):
            failures.append("calls fmaf: " + fn)
    fma = VECTOR_FMA[arch]
    for label, pattern in HOT:
        found = [fn for fn in functions if re.search(pattern, fn)]
        count = sum(1 for fn in found for l in functions[fn] if fma.search(l))
        if not found:
            failures.append("%s: no function matches %s" % (label, pattern))
        elif count == 0:
            failures.append("%s: no vector fused multiply-add in %s" % (label, ", ".join(found)))
        else:
            print("%-28s %5d vector fused multiply-adds" % (label, count))
    for f in failures:
        print("FAIL " + f)
    if failures:
        sys.exit(1)
    print("level %s of %s (%s): %d functions, no fmaf calls" % (level, lib, arch, len(functions)))


if __name__ == "__main__":
    main()
