/* Model description readers: a Keras functional model exported to JSON, or a
 * JSON document written by the ONNX-to-JSON converter.
 *
 * Every entry returns an IOLayers record (Model.h) whose input and output
 * lists point into a freshly built graph of layers; the record and its two
 * arrays are malloc'd and belong to the caller (DestroyIOLayers releases
 * them, the layers go with the model made by CreateModel from the outputs).
 * Any failure is fatal. The C++ stream entries are in ModelParser.hpp. */
#ifndef CORVUS_MODELPARSER_H
#define CORVUS_MODELPARSER_H

#include "CorvusExport.h"
#include "Model.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Reads a Keras export when the root object has a member "keras_version",
 * otherwise a converted-ONNX document. */
CORVUS_EXPORT IOLayers* ParseLayersFromJSON(const char* path);
CORVUS_EXPORT IOLayers* ParseLayersFromKerasJSON(const char* path);
CORVUS_EXPORT IOLayers* ParseLayersFromONNXJSON(const char* path);

#ifdef __cplusplus
}
#endif

#endif
