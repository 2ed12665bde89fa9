#define CORVUS_MODULE "ModelParser"
#include "parsers/Json.h"

#include <cstring>
#include <fstream>

#include "ModelParser.hpp"
#include "Report.h"

namespace {

// True when the root object has a member named exactly "keras_version".
// A file that cannot be opened or parsed has no members.
bool IsKerasDescription(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return false;
    corvus_json::Document document;
    if (!corvus_json::ParseStream(file, document) || !document.IsObject()) return false;
    for (const auto& member : document.GetObject())
        if (member.name.GetStringLength() == 13 && memcmp(member.name.GetString(), "keras_version", 13) == 0)
            return true;
    return false;
}

}  // namespace

extern "C" IOLayers* ParseLayersFromJSON(const char* path)
{
    CV_CHECK_PTR(path);
    return IsKerasDescription(path) ? ParseLayersFromKerasJSON(path) : ParseLayersFromONNXJSON(path);
}

// The converted-ONNX entries; their failures are reported as the reader's.
extern "C" IOLayers* ParseLayersFromONNXJSON(const char* path)
{
    if (path == nullptr) CorvusFatal("ONNXParser", __LINE__, "path==NULL, expected not NULL value");
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) CorvusFatal("ONNXParser", __LINE__, "Cannot open model file: %s\n", path);
    IOLayers* result = _ParseLayersFromONNXJSON(file);
    file.close();
    return result;
}

IOLayers* ParseLayersFromONNXJSON(std::istream& stream) { return _ParseLayersFromONNXJSON(stream); }

// Stand-in until the converted-ONNX reader is part of the library; its own
// definition replaces this one.
__attribute__((weak)) IOLayers* _ParseLayersFromONNXJSON(std::istream&)
{
    CorvusFatal("ONNXParser", __LINE__, "Converted-ONNX model descriptions are not supported yet");
}
