"""The weights file both converters write: a little-endian uint32 entry
count, then per entry its zero-terminated name, a uint32 tensor count, the
uint32 element counts and the float32 values. A None tensor keeps its
position with a count of 0."""
import struct

import numpy as np


def write_weights(path, entries):
    with open(path, "wb") as f:
        f.write(struct.pack("<I", len(entries)))
        for name, arrays in entries:
            f.write(name.encode("utf-8") + b"\0")
            f.write(struct.pack("<I", len(arrays)))
            f.write(struct.pack("<%dI" % len(arrays), *[0 if a is None else a.size for a in arrays]))
            for a in arrays:
                if a is not None:
                    f.write(np.ascontiguousarray(a, dtype="<f4").tobytes())
