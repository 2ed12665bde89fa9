"""Element types: the codes of the converted-ONNX document (ONNX's own
numbering, which the model's element types use too) and the numpy types the
runtime holds them in."""
import numpy as np

from .graph import ConversionError

FLOAT32, UINT8, INT8, INT32, INT64, BOOL, FLOAT16, FLOAT64, UINT32, UINT64 = 1, 2, 3, 6, 7, 9, 10, 11, 12, 13
FLOAT_MAX = 3.4028234663852886e38  # the largest float32

# numpy type of a value -> its document code (booleans are held as int8 bytes)
DTYPES = {
    np.dtype(np.float32): FLOAT32, np.dtype(np.uint8): UINT8, np.dtype(np.int8): INT8, np.dtype(np.int32): INT32,
    np.dtype(np.int64): INT64, np.dtype(np.float16): FLOAT16, np.dtype(np.uint32): UINT32,
    np.dtype(np.uint64): UINT64, np.dtype(np.bool_): INT8,
}
# document code -> numpy type the runtime holds (64-bit integers narrowed to 32)
RUNTIME_NP = {FLOAT32: np.float32, UINT8: np.uint8, INT8: np.int8, INT32: np.int32, INT64: np.int32,
              FLOAT16: np.float16, UINT32: np.uint32, UINT64: np.uint32}
# ONNX element types a model may use
KNOWN_ELEM = {FLOAT32, UINT8, INT8, INT32, INT64, BOOL, FLOAT16, FLOAT64, UINT32, UINT64}


def type_code(dtype):
    dtype = np.dtype(dtype)
    if dtype == np.float64:
        return FLOAT32
    if dtype not in DTYPES:
        raise ConversionError("element type %s is not supported" % dtype)
    return DTYPES[dtype]
