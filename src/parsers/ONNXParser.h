/* Internal to the converted-ONNX reader: its pieces that tests exercise on
 * their own. The document format is described in docs/onnx-format.md. */
#ifndef CORVUS_PARSERS_ONNXPARSER_H
#define CORVUS_PARSERS_ONNXPARSER_H

#include <cstdint>
#include <string>
#include <vector>

#include "DataType.h"
#include "Layers.h"
#include "Model.h"
#include "parsers/Json.h"

/* Converter versions accepted: 2.0.0 up to and including these. */
extern const int SUPPORTED_ONNX_CONVERTER_MAJOR_VERSION;
extern const int SUPPORTED_ONNX_CONVERTER_MINOR_VERSION;
extern int SUPPORTED_ONNX_CONVERTER_PATCH_VERSION;

/* Returns when `version` ("MAJOR.MINOR.PATCH") is supported; fatal otherwise. */
void check_onnx_converter_version(std::string& version);

/* ONNX element type code to the runtime type (64-bit integers narrowed). */
DataType GetDataTypeFromJson(uint32_t code);

/* An OP_Initializer layer named `name` from the member `name` of `node`
 * ("dims", "dataType", "data"); withData false leaves the values to the
 * weights file (zeros until then). */
Layer* ParseInitializer(const corvus_json::Value& node, const std::string& name, bool withData);

/* Reorders ioLayers->outputLayers so that entry i is the layer named names[i]. */
void SwapOutputs(std::vector<std::string> names, IOLayers* ioLayers);

#endif
