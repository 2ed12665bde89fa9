"""Finding libcorvus.so and declaring the flat interface's functions."""
import ctypes
import os

_NAMES = ("libcorvus.so", "libcorvus.so.0")
_loaded = {}


class CorvusError(Exception):
    """A model the library refused (its "[ERROR MESSAGE]" text), or a call
    this package refused before it could reach the library."""


def _declare(lib):
    u32, i32, char_p = ctypes.c_uint32, ctypes.c_int32, ctypes.c_char_p
    u32_p = ctypes.POINTER(u32)
    void_pp = ctypes.POINTER(ctypes.c_void_p)
    for name, args, result in (
            ("inc_model_id", [], u32),
            ("load_model_keras", [u32, char_p, char_p], None),
            ("get_inputs_number", [u32], u32),
            ("get_outputs_number", [u32], u32),
            ("write_input_name", [u32, i32, char_p], None),
            ("write_output_name", [u32, i32, char_p], None),
            ("get_input_shape", [u32, u32, u32_p], None),
            ("get_output_shape", [u32, u32, u32_p], None),
            ("get_input_type", [u32, u32], u32),
            ("get_output_type", [u32, u32], u32),
            ("run_predict", [u32, void_pp, u32_p, void_pp, u32], None),
            ("set_model_cores_number", [u32, u32], None),
            ("save_layers_statistic", [u32, char_p], None),
            ("save_layers_tensors", [u32, char_p], None),
            ("release_model", [u32], None)):
        fn = getattr(lib, name)
        fn.argtypes, fn.restype = args, result
    return lib


def _candidates(path):
    if path is not None:
        path = os.fspath(path)
        if os.path.isdir(path):
            return [os.path.join(path, n) for n in _NAMES]
        return [path]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = [os.path.join(here, n) for n in _NAMES if os.path.exists(os.path.join(here, n))]
    # Then the dynamic loader's own search: run paths, LD_LIBRARY_PATH, ld.so.cache.
    return beside + ["libcorvus.so.0", "libcorvus.so"]


def load_library(path=None):
    """Loads libcorvus.so: `path` (the file or its directory) when given,
    else a copy next to this package, else the system's library path.
    Returns (the ctypes library, the name it was loaded by)."""
    errors = []
    for candidate in _candidates(path):
        if candidate in _loaded:
            return _loaded[candidate], candidate
        try:
            lib = _declare(ctypes.CDLL(candidate))
        except OSError as e:
            errors.append(str(e))
            continue
        _loaded[candidate] = lib
        return lib, candidate
    raise CorvusError("cannot load libcorvus.so (%s); pass its path, place it next to the corvus package, or put "
                      "it on the library path (cmake --install, ldconfig or LD_LIBRARY_PATH)" % "; ".join(errors))
