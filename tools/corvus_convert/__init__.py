"""The model converters: onnx (ONNX models to the converted-ONNX document) and
keras (Keras models to the Keras description), each with the weights file of
weights.py. The commands tools/onnx2corvus and tools/keras2corvus run their
command lines; the Python package ships them as corvus._convert."""
