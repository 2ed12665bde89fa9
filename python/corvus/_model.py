"""corvus.Model: one model of the flat interface, addressed by its id."""
import collections
import csv
import ctypes
import os
import subprocess
import sys
import tempfile

import numpy as np

from ._library import CorvusError, load_library

# DataType codes of the library, in order.
DTYPES = (np.dtype(np.float32), np.dtype(np.float16), np.dtype(np.int32), np.dtype(np.uint32),
          np.dtype(np.uint8), np.dtype(np.int8))
_CODES = {t: code for code, t in enumerate(DTYPES)}

TensorInfo = collections.namedtuple("TensorInfo", "name shape dtype")

# Loads a model in a separate interpreter: the library ends the process on a
# bad description or weights file, which must not be the caller's.
_CHECK = """
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
lib.load_model_keras.argtypes = [ctypes.c_uint32, ctypes.c_char_p, ctypes.c_char_p]
lib.load_model_keras(1, sys.argv[2].encode(), sys.argv[3].encode())
lib.release_model(1)
"""


def _check_loads(library, description, weights):
    r = subprocess.run([sys.executable, "-I", "-c", _CHECK, library, description, weights],
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if r.returncode == 0:
        return
    text = r.stderr.decode(errors="replace").strip()
    lines = [l for l in text.splitlines() if l.startswith("[ERROR MESSAGE]")]
    raise CorvusError("\n".join(lines) if lines else "loading %s ended with status %d: %s"
                      % (description, r.returncode, text or "no message"))


def _number(text):
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text  # "-" where a layer has no such value


class Model:
    """A loaded model: Model(description, weights, library=None).

    `inputs` and `outputs` list TensorInfo(name, shape, dtype). run() takes
    one array per input (an array, a list in input order, or a dict by
    name); each holds a whole number of input tensors back to back, run as
    a batch. Outputs come back in their own element types with the batch
    items stacked along the first dimension: an array (one output, array
    input), a list (list input) or a dict (dict input).
    """

    def __init__(self, description, weights, library=None):
        self._id = None
        description, weights = os.fspath(description), os.fspath(weights)
        for path, what in ((description, "model description"), (weights, "weights file")):
            if not os.path.isfile(path):
                raise CorvusError("cannot open %s '%s'" % (what, path))
        self._lib, name = load_library(library)
        _check_loads(name, description, weights)
        lib = self._lib
        self._id = lib.inc_model_id()
        lib.load_model_keras(self._id, description.encode(), weights.encode())
        # Names are copied unterminated into a zeroed buffer; none is longer
        # than the description that holds it (generated ones are short).
        size = max(4096, os.path.getsize(description) + 1)

        def info(count, write_name, get_shape, get_type):
            result = []
            for i in range(count(self._id)):
                buf = ctypes.create_string_buffer(size)
                write_name(self._id, i, buf)
                shape = (ctypes.c_uint32 * 7)()
                get_shape(self._id, i, shape)
                code = get_type(self._id, i)
                dtype = DTYPES[code] if code < len(DTYPES) else None
                result.append(TensorInfo(buf.value.decode(), tuple(shape[1:1 + shape[0]]), dtype))
            return result

        self.inputs = info(lib.get_inputs_number, lib.write_input_name, lib.get_input_shape, lib.get_input_type)
        self.outputs = info(lib.get_outputs_number, lib.write_output_name, lib.get_output_shape,
                            lib.get_output_type)

    def close(self):
        """Releases the model; further calls raise CorvusError."""
        if self._id is not None:
            self._lib.release_model(self._id)
            self._id = None

    def __del__(self):
        if getattr(self, "_id", None) is not None:
            self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _live(self):
        if self._id is None:
            raise CorvusError("the model was closed")
        return self._id

    def _host_arrays(self, x):
        if isinstance(x, dict):
            unknown = set(x) - {t.name for t in self.inputs}
            if unknown or len(x) != len(self.inputs):
                raise CorvusError("inputs by name must be exactly %s, got %s"
                                  % (sorted(t.name for t in self.inputs), sorted(x)))
            arrays = [x[t.name] for t in self.inputs]
        elif isinstance(x, (list, tuple)):
            arrays = list(x)
        else:
            arrays = [x]
        if len(arrays) != len(self.inputs):
            raise CorvusError("the model has %d input(s), %d given" % (len(self.inputs), len(arrays)))
        host, batch = [], None
        for t, a in zip(self.inputs, arrays):
            a = np.asarray(a)
            if a.dtype == np.float64:
                a = a.astype(np.float32)
            if a.dtype not in _CODES:
                raise CorvusError("input '%s': element type %s is not one of %s"
                                  % (t.name, a.dtype, ", ".join(str(d) for d in DTYPES)))
            if a.dtype != t.dtype and len(t.shape) > 4:
                raise CorvusError("input '%s': the library converts element types of up to 4 dimensions; "
                                  "pass %s" % (t.name, t.dtype))
            item = int(np.prod(t.shape, dtype=np.int64))
            if item == 0 or a.size % item != 0:
                raise CorvusError("input '%s': %d values are not a whole number of tensors of shape %s"
                                  % (t.name, a.size, t.shape))
            if batch is not None and a.size // item != batch:
                raise CorvusError("inputs hold different numbers of tensors: %d and %d" % (batch, a.size // item))
            batch = a.size // item
            host.append(np.ascontiguousarray(a))
        return host, 1 if batch is None else batch  # a model without inputs runs once

    def run(self, x):
        model = self._live()
        host, batch = self._host_arrays(x)
        outs = []
        for t in self.outputs:
            if t.dtype is None or t.dtype.itemsize != 4:
                raise CorvusError("output '%s' has element type %s; the flat interface returns only 4-byte "
                                  "elements" % (t.name, t.dtype))
            shape = list(t.shape) or [1]
            shape[0] *= batch
            outs.append(np.zeros(shape, dtype=t.dtype))
        if batch > 0:
            ins = (ctypes.c_void_p * max(1, len(host)))(*[a.ctypes.data for a in host])
            types = (ctypes.c_uint32 * max(1, len(host)))(*[_CODES[a.dtype] for a in host])
            outp = (ctypes.c_void_p * max(1, len(outs)))(*[y.ctypes.data for y in outs])
            self._lib.run_predict(model, ins, types, outp, batch)
        if isinstance(x, dict):
            return {t.name: y for t, y in zip(self.outputs, outs)}
        if isinstance(x, (list, tuple)) or len(outs) != 1:
            return outs
        return outs[0]

    def set_cores(self, cores):
        """Runs the heavy layers on `cores` cores (1 to 16; default 1) from
        the next prediction on; the results do not change by a single bit."""
        if not 1 <= int(cores) <= 16:
            raise ValueError("cores must be from 1 to 16, got %r" % (cores,))
        self._lib.set_model_cores_number(self._live(), int(cores))

    def save_statistics(self, path):
        """Writes the per-layer statistics CSV of the last run."""
        path = os.fspath(path)
        open(path, "w").close()  # an unwritable path raises here, not in the library
        self._lib.save_layers_statistic(self._live(), path.encode())

    def statistics(self):
        """The per-layer statistics of the last run: one dict per layer in
        execution order, keyed by the CSV's columns (numbers as numbers)."""
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "statistics.csv")
            self.save_statistics(path)
            with open(path, newline="") as f:
                rows = list(csv.reader(f, delimiter=";", quoting=csv.QUOTE_NONE))
        header = rows[0]
        numeric = {"Groups"} | set(header[header.index("MACs"):])
        return [{k: _number(v) if k in numeric else v for k, v in zip(header, row)} for row in rows[1:]]

    def dump(self, directory):
        """Writes every layer's inputs, output and inner tensors as tensor
        files into directory (created when missing)."""
        directory = os.fspath(directory)
        os.makedirs(directory, exist_ok=True)
        self._lib.save_layers_tensors(self._live(), directory.encode())
