"""Corvus from Python: models of the inference runtime through libcorvus.so
(ctypes, no compiled extension), and the model converters.

    import corvus
    model = corvus.Model("model.json", "model.weights")   # library=PATH to choose libcorvus.so
    y = model.run(x)                                        # numpy in, numpy out

corvus.onnx.convert(...) and corvus.keras.convert(...) write the description
and weights file of an ONNX or Keras model (console scripts onnx2corvus and
keras2corvus).
"""
from ._library import CorvusError, load_library
from ._model import DTYPES, Model, TensorInfo

__all__ = ["CorvusError", "DTYPES", "Model", "TensorInfo", "load_library"]
__version__ = "0.1.0"
