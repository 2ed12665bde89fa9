#define CORVUS_MODULE "KerasParser"
#include "parsers/KerasParser.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Layers.h"
#include "LayersActivation.h"
#include "LayersAudio.h"
#include "LayersBroadcast.h"
#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "LayersDataMovement.h"
#include "LayersDense.h"
#include "LayersDetection.h"
#include "LayersNormalization.h"
#include "LayersPooling.h"
#include "LayersRecurrent.h"
#include "LayersResize.h"
#include "Model.h"
#include "ModelParser.hpp"
#include "Padding.h"
#include "Report.h"

using corvus_json::Find;
using corvus_json::kMaxElements;
using corvus_json::kMaxExtent;
using corvus_json::Text;
using corvus_json::Value;

namespace {

bool IsAbsent(const Value* v) { return v == nullptr || v->IsNull(); }

int64_t ReadInteger(const Value& v, const char* name)
{
    int64_t x;
    if (!corvus_json::Integer(v, &x)) CV_FATAL("Value of %s is not an integer", name);
    return x;
}

// The element `index` of a list member, or the scalar member itself.
const Value& Element(const Value& member, const char* name, uint32_t index)
{
    if (!member.IsArray()) return member;
    if (index >= member.Size()) CV_FATAL("Value of %s has no element %u", name, index);
    return member[index];
}

uint32_t ToUint(const Value& member, const char* name, uint32_t index)
{
    const int64_t v = ReadInteger(Element(member, name, index), name);
    if (v < INT32_MIN || v > (int64_t)UINT32_MAX) CV_FATAL("Value of %s does not fit 32 bits", name);
    return (uint32_t)v;
}

int32_t ToInt(const Value& member, const char* name, uint32_t index)
{
    const int64_t v = ReadInteger(Element(member, name, index), name);
    if (v < INT32_MIN || v > INT32_MAX) CV_FATAL("Value of %s does not fit 32 bits", name);
    return (int32_t)v;
}

}  // namespace

uint32_t get_uint(const Value& obj, const std::string& name, uint32_t index)
{
    const Value* member = Find(obj, name.c_str());
    if (member == nullptr) CV_FATAL("No value of %s", name.c_str());
    return ToUint(*member, name.c_str(), index);
}

uint32_t get_uint_or_default(const Value& obj, const std::string& name, uint32_t defaultValue, uint32_t index)
{
    const Value* member = Find(obj, name.c_str());
    return member == nullptr ? defaultValue : ToUint(*member, name.c_str(), index);
}

int32_t get_int(const Value& obj, const std::string& name, uint32_t index)
{
    const Value* member = Find(obj, name.c_str());
    if (member == nullptr) CV_FATAL("No value of %s", name.c_str());
    return ToInt(*member, name.c_str(), index);
}

int32_t get_int_or_default(const Value& obj, const std::string& name, int32_t defaultValue, uint32_t index)
{
    const Value* member = Find(obj, name.c_str());
    return member == nullptr ? defaultValue : ToInt(*member, name.c_str(), index);
}

namespace {

// ---- Typed reading of one layer's configuration ----------------------------

std::string RequiredString(const Value& obj, const char* key)
{
    const Value* v = Find(obj, key);
    if (v == nullptr) CV_FATAL("No value of %s", key);
    if (!v->IsString()) CV_FATAL("Value of %s must be a string", key);
    return Text(*v);
}

std::string StringOr(const Value& obj, const char* key, const char* defaultValue)
{
    const Value* v = Find(obj, key);
    if (IsAbsent(v)) return defaultValue;
    if (!v->IsString()) CV_FATAL("Value of %s must be a string", key);
    return Text(*v);
}

// True exactly for the literal true; an absent key takes `absent`, which is
// Keras' default for keys Keras always writes.
bool Bool(const Value& obj, const char* key, bool absent = false)
{
    const Value* v = Find(obj, key);
    if (v == nullptr) return absent;
    return v->IsTrue();
}

float Float(const Value& obj, const char* key)
{
    const Value* v = Find(obj, key);
    if (v == nullptr) CV_FATAL("No value of %s", key);
    if (!v->IsNumber()) CV_FATAL("Value of %s must be a number", key);
    return (float)v->GetDouble();
}

float FloatOr(const Value& obj, const char* key, float defaultValue)
{
    const Value* v = Find(obj, key);
    return IsAbsent(v) ? defaultValue : Float(obj, key);
}

// A size-like setting: positive and bounded.
uint32_t Extent(uint32_t v, const char* key)
{
    if (v == 0 || v > kMaxExtent) CV_FATAL("Value of %s must be a positive integer below %u", key, kMaxExtent);
    return v;
}
uint32_t ExtentOf(const Value& obj, const char* key, uint32_t index) { return Extent(get_uint(obj, key, index), key); }
uint32_t ExtentOr(const Value& obj, const char* key, uint32_t defaultValue, uint32_t index)
{
    const Value* v = Find(obj, key);
    return Extent(IsAbsent(v) ? defaultValue : get_uint(obj, key, index), key);
}

DataLayout LayoutOf(const Value& config)
{
    const Value* v = Find(config, "data_format");
    if (IsAbsent(v)) return DL_NONE;
    if (!v->IsString()) CV_FATAL("Value of data_format must be a string");
    const std::string format = Text(*v);
    if (format == "channels_last") return DL_NHWC;
    if (format == "channels_first") return DL_NCHW;
    CV_FATAL("Unsupported layout: %s", format.c_str());
}

uint32_t ActivationOf(const Value& config)
{
    return (uint32_t)GetActivationName(StringOr(config, "activation", "linear").c_str());
}

PaddingMode PaddingOf(const Value& config) { return GetPaddingName(StringOr(config, "padding", "valid").c_str()); }

// ---- The reader -------------------------------------------------------------

class KerasReader {
public:
    ~KerasReader()
    {
        // Only reached with layers still owned here when a layer class raised
        // its runtime error: release what was built so far.
        if (ioLayers_ != nullptr) DestroyIOLayers(ioLayers_);
        for (Layer* layer : built_) DestroyLayer(layer);
    }

    IOLayers* Read(std::istream& stream);

private:
    void ReadInbound(const Value& layers);
    void Bypass(const std::string& name);
    void BuildLayer(const Value& layerObj, const std::string& name, const std::string& className);
    Layer* Build(const std::string& name, const std::string& className, const Value& config,
                 const std::vector<Layer*>& inputs);
    void FillIO(const Value& list, const char* key, Layer** out, uint32_t count, bool inputs);
    void DropUnused();

    std::map<std::string, Layer*> layers_;                     // name map
    std::map<std::string, std::vector<std::string>> inbound_;  // inbound map
    std::vector<Layer*> built_;                                // in construction order
    IOLayers* ioLayers_ = nullptr;
};

const Value& RequiredMember(const Value& obj, const char* key, const char* what)
{
    const Value* v = Find(obj, key);
    if (v == nullptr) CV_FATAL("No value of %s", key);
    if (strcmp(what, "object") == 0 ? !v->IsObject() : !v->IsArray()) CV_FATAL("Value of %s must be an %s", key, what);
    return *v;
}

// Element 0 of an entry [name, node index, tensor index, ...].
std::string EntryName(const Value& entry, const char* where)
{
    if (!entry.IsArray() || entry.Empty() || !entry[0].IsString())
        CV_FATAL("Entries of %s must be lists that start with a layer name", where);
    return Text(entry[0]);
}

IOLayers* KerasReader::Read(std::istream& stream)
{
    corvus_json::Document document;
    if (!corvus_json::ParseStream(stream, document)) CV_FATAL("Model description is not valid JSON");
    if (!document.IsObject()) CV_FATAL("Model description must be a JSON object");

    const Value* className = Find(document, "class_name");
    if (className == nullptr) CV_FATAL("cannot find class_name parameter in JSON file");
    if (!className->IsString() ||
        (strcmp(className->GetString(), "Model") != 0 && strcmp(className->GetString(), "Functional") != 0))
        CV_FATAL("class_name must have value \"Model\" or \"Functional\"");

    const Value& config = RequiredMember(document, "config", "object");
    const Value& layers = RequiredMember(config, "layers", "array");
    const Value& inputList = RequiredMember(config, "input_layers", "array");
    const Value& outputList = RequiredMember(config, "output_layers", "array");
    if (inputList.Empty()) CV_FATAL("Model has no input layers");
    if (outputList.Empty()) CV_FATAL("Model has no output layers");

    IOLayers* ioLayers = (IOLayers*)calloc(1, sizeof(IOLayers));
    if (ioLayers == nullptr) CV_FATAL("ioLayers = (IOLayers*)malloc(sizeof(IOLayers))==NULL, expected not NULL value");
    ioLayers_ = ioLayers;
    ioLayers->inputLayersCount = inputList.Size();
    ioLayers->outputLayersCount = outputList.Size();
    CV_CHECK_PTR(ioLayers->inputLayers = (Layer**)malloc(ioLayers->inputLayersCount * sizeof(Layer*)));
    CV_CHECK_PTR(ioLayers->outputLayers = (Layer**)malloc(ioLayers->outputLayersCount * sizeof(Layer*)));

    ReadInbound(layers);

    for (const Value& layerObj : layers.GetArray()) {
        const std::string name = RequiredString(layerObj, "name");
        const std::string layerClass = RequiredString(layerObj, "class_name");
        if (layerClass == "Dropout") {
            Bypass(name);
            continue;
        }
        BuildLayer(layerObj, name, layerClass);
    }

    FillIO(inputList, "input_layers", ioLayers_->inputLayers, ioLayers_->inputLayersCount, true);
    FillIO(outputList, "output_layers", ioLayers_->outputLayers, ioLayers_->outputLayersCount, false);
    DropUnused();

    IOLayers* result = ioLayers_;
    ioLayers_ = nullptr;
    built_.clear();
    return result;
}

void KerasReader::ReadInbound(const Value& layers)
{
    for (const Value& layerObj : layers.GetArray()) {
        if (!layerObj.IsObject()) CV_FATAL("Entries of layers must be objects");
        const std::string name = RequiredString(layerObj, "name");
        if (inbound_.count(name) != 0) CV_FATAL("Layer name \"%s\" is used twice", name.c_str());
        std::vector<std::string>& names = inbound_[name];
        const Value* nodes = Find(layerObj, "inbound_nodes");
        if (IsAbsent(nodes)) continue;
        if (!nodes->IsArray()) CV_FATAL("Value of inbound_nodes must be a list (layer \"%s\")", name.c_str());
        if (nodes->Empty()) continue;
        const Value& node = (*nodes)[0];
        if (!node.IsArray())
            CV_FATAL("Inbound nodes of layer \"%s\" must be lists of [name, node index, tensor index, kwargs]",
                     name.c_str());
        for (const Value& entry : node.GetArray()) names.push_back(EntryName(entry, "inbound_nodes"));
    }
}

void KerasReader::Bypass(const std::string& name)
{
    const auto own = inbound_.find(name);
    if (own == inbound_.end() || own->second.empty())
        CV_FATAL("Layer \"%s\" to bypass has no inbound layer", name.c_str());
    const std::string source = own->second[0];
    bool replaced = false;
    for (auto& entry : inbound_)
        if (!entry.second.empty() && entry.second[0] == name) {
            entry.second[0] = source;
            replaced = true;
        }
    inbound_.erase(name);
    if (!replaced) CV_FATAL("Ignoring layer is still not ignoring");
}

void KerasReader::FillIO(const Value& list, const char* key, Layer** out, uint32_t count, bool inputs)
{
    for (uint32_t i = 0; i < count; ++i) {
        const std::string name = EntryName(list[i], key);
        const auto it = layers_.find(name);
        if (it == layers_.end()) CV_FATAL("Layer \"%s\" of %s is not defined", name.c_str(), key);
        if (inputs && it->second->op != OP_Input)
            CV_FATAL("Layer \"%s\" of %s is not an InputLayer", name.c_str(), key);
        out[i] = it->second;
    }
}

// Layers no output depends on never join the model, so nothing would release
// them: drop them here, with the helper layers only they use. An input no
// output depends on is refused (it could not be fed).
void KerasReader::DropUnused()
{
    auto reach = [](std::vector<Layer*> stack) {
        std::set<Layer*> seen;
        while (!stack.empty()) {
            Layer* l = stack.back();
            stack.pop_back();
            if (l == nullptr || !seen.insert(l).second || l->inputLayers == nullptr) continue;
            for (uint32_t i = 0; i < l->inputLayersNum; ++i) stack.push_back(l->inputLayers[i]);
        }
        return seen;
    };
    const std::set<Layer*> keep =
        reach(std::vector<Layer*>(ioLayers_->outputLayers, ioLayers_->outputLayers + ioLayers_->outputLayersCount));
    for (uint32_t i = 0; i < ioLayers_->inputLayersCount; ++i)
        if (keep.count(ioLayers_->inputLayers[i]) == 0)
            CV_FATAL("Input layer \"%s\" is not used by any output layer", ioLayers_->inputLayers[i]->name);
    for (Layer* l : keep) {
        uint32_t k = 0;
        for (uint32_t c = 0; c < l->consumerLayersNum; ++c)
            if (keep.count(l->consumerLayers[c]) != 0) l->consumerLayers[k++] = l->consumerLayers[c];
        l->consumerLayersNum = k;
    }
    for (Layer* l : reach(built_))
        if (keep.count(l) == 0) DestroyLayer(l);
}

void CheckTensorSize(const Tensor* t, const std::string& name)
{
    if (t == nullptr) return;
    uint64_t n = 1;
    for (uint32_t d = 0; d < t->ndim && d < MAX_NDIM_VALUE; ++d) {
        n *= t->shape.dimension[d];
        if (n > kMaxElements)
            CV_FATAL("Layer \"%s\" makes a tensor of more than %llu elements", name.c_str(),
                     (unsigned long long)kMaxElements);
    }
}

void KerasReader::BuildLayer(const Value& layerObj, const std::string& name, const std::string& className)
{
    const Value& config = RequiredMember(layerObj, "config", "object");
    const std::vector<std::string>& names = inbound_[name];
    std::vector<Layer*> inputs;
    for (const std::string& in : names) {
        const auto it = layers_.find(in);
        if (it == layers_.end())
            CV_FATAL("Inbound layer \"%s\" of layer \"%s\" is not defined before it", in.c_str(), name.c_str());
        inputs.push_back(it->second);
    }
    if (className != "InputLayer" && inputs.empty()) CV_FATAL("Layer \"%s\" has no inbound layers", name.c_str());

    Layer* layer = Build(name, className, config, inputs);
    CV_CHECK_PTR(layer);
    built_.push_back(layer);
    layers_[name] = layer;
    const NNKernel* kernel = layer->kernel;
    for (uint32_t i = 0; i < kernel->outputsNum; ++i) CheckTensorSize(kernel->output[i], name);
    for (uint32_t i = 0; i < kernel->innerNum; ++i) CheckTensorSize(kernel->inner[i], name);
}

// ---- Layer classes ----------------------------------------------------------

const Tensor* Shape0(const std::vector<Layer*>& inputs) { return inputs[0]->kernel->output[0]; }

// Spatial sizes of the first input: dimensions 1 .. count.
std::vector<uint32_t> SpatialSizes(const std::vector<Layer*>& inputs, uint32_t count, const std::string& name)
{
    const Tensor* t = Shape0(inputs);
    if (t->ndim != count + 2)
        CV_FATAL("Layer \"%s\" needs a %u-dimensional input, its input has %u dimensions", name.c_str(), count + 2,
                 t->ndim);
    return std::vector<uint32_t>(t->shape.dimension + 1, t->shape.dimension + 1 + count);
}

Layer* InputLayerOf(const std::string& name, const Value& config)
{
    const Value* shape = Find(config, "batch_input_shape");
    if (IsAbsent(shape)) CV_FATAL("InputLayer has not shape");
    if (!shape->IsArray() || shape->Empty() || shape->Size() > MAX_NDIM_VALUE)
        CV_FATAL("batch_input_shape of \"%s\" must list 1 to %d dimensions", name.c_str(), MAX_NDIM_VALUE);
    TensorShape dims{};
    dims.dimension[0] = 1;
    for (uint32_t i = 1; i < shape->Size(); ++i) {
        const Value& v = (*shape)[i];
        if (!v.IsNumber()) CV_FATAL("batch_input_shape of \"%s\" has no size for dimension %u", name.c_str(), i);
        dims.dimension[i] = Extent(ToUint(v, "batch_input_shape", 0), "batch_input_shape");
    }
    Tensor* t = CreateTensor(DT_FLOAT32, DL_NONE, shape->Size(), dims, false);
    CheckTensorSize(t, name);
    Layer* layer = AddInputLayer(name.c_str(), t);
    DestroyTensor(t);
    return layer;
}

Layer* ReluOf(Layer* in, const std::string& name, const Value& config)
{
    const Value* maxValue = Find(config, "max_value");
    ActivationParams a{};
    if (FloatOr(config, "threshold", 0.0f) != 0.0f || FloatOr(config, "negative_slope", 0.0f) != 0.0f)
        CV_FATAL("Unsupported ReLU values");
    if (maxValue != nullptr && maxValue->IsNumber()) {
        if (std::fabs(maxValue->GetDouble() - 6.0) > 1e-5) CV_FATAL("Unsupported ReLU values");
        a.type = ReLU6;
    } else {
        a.type = ReLU;
    }
    return AddActivationLayer(in, nullptr, name.c_str(), a);
}

Layer* SoftmaxOf(Layer* in, const std::string& name, const Value& config)
{
    const int32_t axis = get_int_or_default(config, "axis", -1, 0);
    if (axis != -1 && axis != (int32_t)in->kernel->output[0]->ndim - 1)
        CV_FATAL("Cannot add \"%s\" layer.\nSoftmax supports axis parameter value only as last dimension.",
                 name.c_str());
    ActivationParams a{};
    a.type = Softmax;
    return AddActivationLayer(in, nullptr, name.c_str(), a);
}

Layer* Pool2DOf(const std::vector<Layer*>& inputs, const std::string& name, const Value& config, DataLayout layout,
                bool isMax)
{
    const std::vector<uint32_t> in = SpatialSizes(inputs, 2, name);
    const uint32_t pool[2] = {ExtentOr(config, "pool_size", 2, 0), ExtentOr(config, "pool_size", 2, 1)};
    // Keras' strides default to the pool size.
    const uint32_t strides[2] = {ExtentOr(config, "strides", pool[0], 0), ExtentOr(config, "strides", pool[1], 1)};
    const uint32_t dilations[2] = {1, 1};
    const PaddingStruct padding =
        ComputePaddingStruct(2, in.data(), pool, strides, dilations, PaddingOf(config), nullptr, 1);
    auto add = isMax ? AddMaxPool2DLayer : AddAveragePool2DLayer;
    return add(inputs[0], nullptr, name.c_str(), layout, pool[0], pool[1], strides[0], strides[1], 1, &padding,
               POOL_PADDING_IGNORE);
}

Layer* AveragePool1DOf(const std::vector<Layer*>& inputs, const std::string& name, const Value& config)
{
    const std::vector<uint32_t> in = SpatialSizes(inputs, 1, name);
    const uint32_t pool = ExtentOr(config, "pool_size", 2, 0);
    const uint32_t stride = ExtentOr(config, "strides", pool, 0);
    const uint32_t dilation = 1;
    const PaddingStruct padding =
        ComputePaddingStruct(1, in.data(), &pool, &stride, &dilation, PaddingOf(config), nullptr, 1);
    return AddAveragePooling1DLayer(inputs[0], nullptr, name.c_str(), pool, stride, 1, padding, POOL_PADDING_IGNORE);
}

Layer* ReshapeOf(Layer* in, const std::string& name, const Value& config)
{
    const Value* target = Find(config, "target_shape");
    if (target == nullptr) CV_FATAL("No value of target_shape");
    if (!target->IsArray()) CV_FATAL("Value of target_shape must be a list");
    const Tensor* t = in->kernel->output[0];
    const uint32_t entries = target->Size();
    if (entries + 1 > MAX_NDIM_VALUE)
        CV_FATAL("target_shape of \"%s\" has %u entries, at most %d are supported", name.c_str(), entries,
                 MAX_NDIM_VALUE - 1);
    uint32_t shape[MAX_NDIM_VALUE] = {t->shape.dimension[0]};
    int32_t unknown = -1;
    uint64_t p = 1;
    for (uint32_t i = 0; i < entries; ++i) {
        const int32_t v = ToInt((*target)[i], "target_shape", 0);
        if (v == 0 || v < -1) CV_FATAL("Unsuppoted shape value in OP_Reshape: %d", v);
        if (v == -1) {
            if (unknown >= 0) CV_FATAL("Only one input size may be -1 in OP_Reshape");
            unknown = (int32_t)i;
            continue;
        }
        shape[i + 1] = (uint32_t)v;
        p *= (uint64_t)v;
        if (p > kMaxElements) CV_FATAL("target_shape of \"%s\" is too large", name.c_str());
    }
    if (unknown >= 0) {
        uint64_t c = 1;
        for (uint32_t d = 1; d < t->ndim; ++d) c *= t->shape.dimension[d];
        shape[unknown + 1] = p == 0 ? 0 : (uint32_t)(c / p);
    }
    return AddReshapeLayer(in, nullptr, name.c_str(), shape, entries + 1);
}

Layer* PermuteOf(Layer* in, const std::string& name, const Value& config)
{
    const uint32_t r = in->kernel->output[0]->ndim;
    const Value* dims = Find(config, "dims");
    if (dims == nullptr) CV_FATAL("No value of dims");
    if (!dims->IsArray() || dims->Size() + 1 != r)
        CV_FATAL("dims of \"%s\" must list %u axes for its %u-dimensional input", name.c_str(), r - 1, r);
    uint32_t axes[MAX_NDIM_VALUE] = {0};
    for (uint32_t i = 1; i < r; ++i) {
        axes[i] = ToUint((*dims)[i - 1], "dims", 0);
        if (axes[i] < 1 || axes[i] >= r) CV_FATAL("dims of \"%s\" must be a permutation of 1..%u", name.c_str(), r - 1);
    }
    return AddTransposeLayer(in, nullptr, axes, r, name.c_str());
}

Layer* ConcatenateOf(std::vector<Layer*>& inputs, const std::string& name, int32_t axis)
{
    // Negative axes count from the end (Keras' rule; -1 is the last axis).
    const int32_t ndim = (int32_t)Shape0(inputs)->ndim;
    if (axis < 0) axis += ndim;
    if (axis < 0 || axis >= ndim) CV_FATAL("Concatenation axis of \"%s\" is outside its inputs", name.c_str());
    return AddConcatenateLayer(inputs.data(), nullptr, (uint32_t)inputs.size(), name.c_str(), axis);
}

Layer* AnchorBoxesOf(Layer* in, const std::string& name, const Value& config)
{
    const Value* ratios = Find(config, "aspect_ratios");
    if (ratios == nullptr) CV_FATAL("No value of aspect_ratios");
    if (!ratios->IsArray()) CV_FATAL("Value of aspect_ratios must be a list");
    const uint32_t aspectRationsCount = ratios->Size();
    CV_CHECK(aspectRationsCount <= MAX_ASPECT_RATIOS_COUNT);
    float aspectRatios[MAX_ASPECT_RATIOS_COUNT] = {};
    for (uint32_t i = 0; i < aspectRationsCount; ++i) {
        if (!(*ratios)[i].IsNumber()) CV_FATAL("Value of aspect_ratios must be a list of numbers");
        aspectRatios[i] = (float)(*ratios)[i].GetDouble();
    }
    const std::string coords = RequiredString(config, "coords");
    if (coords != "centroids")
        CV_FATAL("std::string(config[\"coords\"].GetString()) == \"centroids\": false, expected: true");
    const Value* variancesValue = Find(config, "variances");
    if (variancesValue == nullptr) CV_FATAL("No value of variances");
    if (!variancesValue->IsArray()) CV_FATAL("Value of variances must be a list");
    const uint32_t variances_count = variancesValue->Size();
    CV_CHECK(variances_count == 4);
    float variances[4];
    for (uint32_t i = 0; i < 4; ++i) {
        if (!(*variancesValue)[i].IsNumber()) CV_FATAL("Value of variances must be a list of numbers");
        variances[i] = (float)(*variancesValue)[i].GetDouble();
    }
    return AddAnchorBoxesLayer(in, nullptr, name.c_str(), get_uint(config, "img_height", 0),
                               get_uint(config, "img_width", 0), aspectRationsCount, aspectRatios,
                               Bool(config, "two_boxes_for_ar1"), Bool(config, "clip_boxes"), variances, CT_Centroids,
                               Bool(config, "normalize_coords"), Float(config, "this_steps"),
                               Float(config, "this_offset"), Float(config, "this_scale"), Float(config, "next_scale"));
}

Layer* DecodeDetectionsOf(Layer* in, const std::string& name, const Value& config)
{
    const uint32_t imgHeight = get_uint(config, "img_height", 0);
    const uint32_t imgWidth = get_uint(config, "img_width", 0);
    const float confidence = Float(config, "confidence_thresh");
    const float iou = Float(config, "iou_threshold");
    const std::string coords = RequiredString(config, "coords");
    if (coords != "centroids")
        CV_FATAL("std::string(config[\"coords\"].GetString()) == \"centroids\": false, expected: true");
    const bool normalize = Bool(config, "normalize_coords");
    const uint32_t topK = Extent(get_uint(config, "top_k", 0), "top_k");
    const uint32_t maxPerClass = Extent(get_uint(config, "nms_max_output_size", 0), "nms_max_output_size");
    return AddDecodeDetections(in, nullptr, name.c_str(), topK, maxPerClass, CT_Centroids, normalize, imgHeight,
                               imgWidth, confidence, iou);
}

Layer* MfccOf(std::vector<Layer*>& inputs, const std::string& name, const Value& config)
{
    const float upper = Float(config, "upper_frequency_limit");
    const float lower = Float(config, "lower_frequency_limit");
    const int32_t channels = get_int(config, "filterbnk_channel_count", 0);
    const int32_t coefficients = get_int(config, "dct_coefficient_count", 0);
    if (channels < 1 || coefficients < 1 || channels > MFCC_MAX_CHANNELS || coefficients > channels)
        CV_FATAL("Mfcc \"%s\" needs 1 <= dct_coefficient_count <= filterbnk_channel_count <= %d", name.c_str(),
                 MFCC_MAX_CHANNELS);
    uint32_t sampleRate = 1;
    uint32_t count = (uint32_t)inputs.size();
    if (Find(config, "sample_rate") != nullptr) {
        // The rate is a setting: the layer reads one input only.
        const uint32_t numinputs = count;
        CV_CHECK(numinputs == 1);
        sampleRate = (uint32_t)get_int(config, "sample_rate", 0);
    }
    return AddMfccLayer(inputs.data(), nullptr, count, name.c_str(), (uint32_t)coefficients, (uint32_t)channels,
                        sampleRate, lower, upper);
}

Layer* AudioSpectrogramOf(Layer* in, const std::string& name, const Value& config)
{
    const bool magnitudeSquared = Bool(config, "magnitude_squared");
    const uint32_t stride = ExtentOf(config, "stride", 0);
    const uint32_t windowSize = ExtentOf(config, "window_size", 0);
    return AddAudioSpectrogram(in, nullptr, name.c_str(), windowSize, stride, magnitudeSquared);
}

bool UseBias(const Value& config) { return Bool(config, "use_bias", true); }
ActivationParams FusedActivation(const Value& config) { return ActivationParams{ActivationOf(config), 0.0f}; }

// Kernel sizes, strides and dilations of an n-dimensional window.
struct Window {
    uint32_t k[3], s[3], d[3];
};

Window WindowOf(const Value& config, uint32_t n)
{
    Window w{};
    for (uint32_t i = 0; i < n; ++i) {
        w.k[i] = ExtentOf(config, "kernel_size", i);
        w.s[i] = ExtentOr(config, "strides", 1, i);
        w.d[i] = ExtentOr(config, "dilation_rate", 1, i);
    }
    return w;
}

Layer* DenseOf(Layer* in, const std::string& name, const Value& config)
{
    return AddDenseLayer(in, nullptr, name.c_str(), ExtentOf(config, "units", 0), UseBias(config),
                         ActivationOf(config));
}

Layer* ConvOf(const std::vector<Layer*>& inputs, const std::string& name, const Value& config, DataLayout layout,
              uint32_t n)
{
    const std::vector<uint32_t> in = SpatialSizes(inputs, n, name);
    const uint32_t filters = ExtentOf(config, "filters", 0);
    const uint32_t groups = get_uint_or_default(config, "groups", 1, 0);
    const Window w = WindowOf(config, n);
    const PaddingMode mode = PaddingOf(config);
    const PaddingStruct padding = ComputePaddingStruct(n, in.data(), w.k, w.s, w.d, mode, nullptr, 1);
    const char* c = name.c_str();
    if (n == 1)
        return AddConv1DLayer(inputs[0], nullptr, c, filters, w.k[0], w.s[0], w.d[0], groups, &padding, UseBias(config),
                              FusedActivation(config));
    if (n == 2)
        return AddConv2DLayer(inputs[0], nullptr, c, layout, filters, w.k[0], w.k[1], w.s[0], w.s[1], w.d[0], w.d[1],
                              &padding, UseBias(config), FusedActivation(config), groups);
    return AddConv3DLayer(inputs[0], nullptr, c, filters, groups, w.k[0], w.k[1], w.k[2], w.s[0], w.s[1], w.s[2],
                          w.d[0], w.d[1], w.d[2], &padding, UseBias(config), mode, FusedActivation(config));
}

Layer* DepthwiseOf(const std::vector<Layer*>& inputs, const std::string& name, const Value& config, DataLayout layout)
{
    const std::vector<uint32_t> in = SpatialSizes(inputs, 2, name);
    const uint32_t multiplier = ExtentOr(config, "depth_multiplier", 1, 0);
    const Window w = WindowOf(config, 2);
    const PaddingStruct padding = ComputePaddingStruct(2, in.data(), w.k, w.s, w.d, PaddingOf(config), nullptr, 1);
    return AddDepthwiseConv2DLayer(inputs[0], nullptr, name.c_str(), layout, w.k[0], w.k[1], w.s[0], w.s[1], w.d[0],
                                   w.d[1], multiplier, &padding, UseBias(config), ActivationOf(config));
}

// "output_padding" counts only when present and not null.
bool OutputPadding(const Value& config, uint32_t n, uint32_t* out)
{
    if (IsAbsent(Find(config, "output_padding"))) return false;
    for (uint32_t i = 0; i < n; ++i) {
        out[i] = get_uint(config, "output_padding", i);
        if (out[i] > kMaxExtent) CV_FATAL("Value of output_padding must be below %u", kMaxExtent);
    }
    return true;
}

Layer* ConvTransposeOf(const std::vector<Layer*>& inputs, const std::string& name, const Value& config,
                       DataLayout layout, uint32_t n)
{
    const PaddingMode mode = PaddingOf(config);
    const uint32_t filters = ExtentOf(config, "filters", 0);
    const std::vector<uint32_t> in = SpatialSizes(inputs, n, name);
    const Window w = WindowOf(config, n);
    uint32_t outPad[2] = {0, 0};
    const bool hasOutPad = OutputPadding(config, n, outPad);
    if (n == 1) {
        const PaddingStruct padding =
            ComputePaddingStructTransposed(1, in.data(), w.k, w.s, w.d, mode, nullptr, outPad, hasOutPad);
        return AddConv1DTransposeLayer(inputs[0], nullptr, name.c_str(), filters, w.k[0], w.d[0], w.s[0], 1, &padding,
                                       UseBias(config), FusedActivation(config));
    }
    const PaddingStruct padding = ComputePaddingStructT(in[0], in[1], w.k[0], w.k[1], w.s[0], w.s[1], w.d[0], w.d[1], 0,
                                                        0, outPad[0], outPad[1], mode, hasOutPad);
    return AddConv2DTransposeLayer(inputs[0], nullptr, name.c_str(), layout, filters, w.k[0], w.k[1], w.s[0], w.s[1],
                                   w.d[0], w.d[1], &padding, 1, UseBias(config), FusedActivation(config));
}

Layer* BatchNormalizationOf(Layer* in, const std::string& name, const Value& config)
{
    // The layer normalises the last axis, which is Keras' default.
    const int32_t axis = get_int_or_default(config, "axis", -1, 0);
    const int32_t last = (int32_t)in->kernel->output[0]->ndim - 1;
    const Value* axes = Find(config, "axis");
    if ((axis != -1 && axis != last) || (axes != nullptr && axes->IsArray() && axes->Size() != 1))
        CV_FATAL("BatchNormalization \"%s\" normalizes other axes than the last one", name.c_str());
    return AddBatchNormalizationLayer(in, nullptr, name.c_str(), Bool(config, "scale", true),
                                      Bool(config, "center", true), FloatOr(config, "epsilon", 1e-3f));
}

Layer* ZeroPadding2DOf(Layer* in, const std::string& name, const Value& config, DataLayout layout)
{
    // [[top, bottom], [left, right]], or [vertical, horizontal], or one number.
    const Value* padding = Find(config, "padding");
    if (padding == nullptr) CV_FATAL("No value of padding");
    uint32_t pads[4];
    for (uint32_t i = 0; i < 4; ++i) {
        const Value& axis = Element(*padding, "padding", i / 2);
        pads[i] = ToUint(axis, "padding", i % 2);
        if (pads[i] > kMaxExtent) CV_FATAL("Value of padding must be below %u", kMaxExtent);
    }
    return AddZeroPadding2DLayer(in, nullptr, name.c_str(), layout, pads[0], pads[1], pads[2], pads[3]);
}

Layer* UpSampling2DOf(Layer* in, const std::string& name, const Value& config, DataLayout layout)
{
    if (StringOr(config, "interpolation", "nearest") != "nearest")
        CV_FATAL("UpSampling2D \"%s\": only nearest interpolation is supported", name.c_str());
    return AddUpSampling2DLayer(in, nullptr, name.c_str(), layout, ExtentOr(config, "size", 2, 0),
                                ExtentOr(config, "size", 2, 1));
}

Layer* LSTMOf(std::vector<Layer*>& inputs, const std::string& name, const Value& config)
{
    if (inputs.size() > 3)
        CV_FATAL("LSTM \"%s\" takes at most 3 inputs (sequence, hidden and cell state)", name.c_str());
    LSTMParams p{};
    p.parserType = LSTM_PARSER_KERAS;
    p.direction = 0;
    p.hiddenSize = ExtentOf(config, "units", 0);
    p.numDirections = 1;
    p.batchMajor = !Bool(config, "time_major");
    p.hasBias = UseBias(config);
    p.sequenceFlag = Bool(config, "return_sequences");
    p.hasInitialH = inputs.size() >= 2;
    p.hasInitialC = inputs.size() == 3;
    p.numInputs = (uint32_t)inputs.size();
    p.numInner = p.hasBias ? 3 : 2;
    p.numOutputs = 1;
    p.outputIndex = 0;
    return AddLSTMLayer(inputs.data(), nullptr, &p, name.c_str());
}

// SeparableConv2D is read but not built: callers get a runtime error.
[[noreturn]] void SeparableConv2DOf(const Value& config)
{
    (void)get_uint(config, "filters", 0);
    (void)get_uint_or_default(config, "depth_multiplier", 1, 0);
    for (const char* key : {"kernel_size", "strides", "dilation_rate"})
        for (uint32_t i = 0; i < 2; ++i) (void)get_uint_or_default(config, key, 1, i);
    (void)PaddingOf(config);
    (void)Bool(config, "use_bias", true);
    (void)ActivationOf(config);
    throw std::runtime_error("Unrealized method AddSeparableConv2DLayer");
}

Layer* KerasReader::Build(const std::string& name, const std::string& className, const Value& config,
                          const std::vector<Layer*>& inputs)
{
    const char* n = name.c_str();
    std::vector<Layer*> all(inputs);
    Layer* in = all.empty() ? nullptr : all[0];

    if (className == "InputLayer") return InputLayerOf(name, config);
    // Keras writes "data_format" for every layer that has one, channels_last
    // by default; a description that leaves it out means that default.
    DataLayout layout = LayoutOf(config);
    if (layout == DL_NONE) layout = DL_NHWC;

    if (className == "Activation") {
        const std::string activation = RequiredString(config, "activation");
        ActivationParams a{};
        a.type = GetActivationName(activation.c_str());
        if (a.type == None) CV_FATAL("Unsupported activation name: %s\n", activation.c_str());
        return AddActivationLayer(in, nullptr, n, a);
    }
    if (className == "ReLU") return ReluOf(in, name, config);
    if (className == "Softmax") return SoftmaxOf(in, name, config);
    if (className == "HardSigmoid") return AddHardSigmoidLayer(in, nullptr, n, 0.2f, 0.5f);
    if (className == "Dense") return DenseOf(in, name, config);
    if (className == "Conv1D") return ConvOf(all, name, config, layout, 1);
    if (className == "Conv2D") return ConvOf(all, name, config, layout, 2);
    if (className == "Conv3D") return ConvOf(all, name, config, layout, 3);
    if (className == "DepthwiseConv2D") return DepthwiseOf(all, name, config, layout);
    if (className == "Conv1DTranspose") return ConvTransposeOf(all, name, config, layout, 1);
    if (className == "Conv2DTranspose") return ConvTransposeOf(all, name, config, layout, 2);
    if (className == "BatchNormalization") return BatchNormalizationOf(in, name, config);
    if (className == "L2Normalization") return AddL2NormalizationLayer(in, nullptr, n, Float(config, "gamma_init"));
    if (className == "ZeroPadding2D") return ZeroPadding2DOf(in, name, config, layout);
    if (className == "UpSampling2D") return UpSampling2DOf(in, name, config, layout);
    if (className == "LSTM") return LSTMOf(all, name, config);
    if (className == "MaxPooling2D") return Pool2DOf(all, name, config, layout, true);
    if (className == "AveragePooling2D") return Pool2DOf(all, name, config, layout, false);
    if (className == "AveragePooling1D") return AveragePool1DOf(all, name, config);
    if (className == "GlobalAveragePooling2D")
        return AddGlobalAveragePool2DLayer(in, nullptr, n, layout, Bool(config, "keepdims", false) ? 1 : 0);
    if (className == "Flatten") return AddFlattenLayer(in, nullptr, n);
    if (className == "Reshape") return ReshapeOf(in, name, config);
    if (className == "Permute") return PermuteOf(in, name, config);
    if (className == "Add") return AddAddLayer(all.data(), nullptr, (uint32_t)all.size(), n);
    if (className == "Multiply") return AddMulLayer(all.data(), nullptr, (uint32_t)all.size(), n);
    if (className == "Concatenate") return ConcatenateOf(all, name, get_int_or_default(config, "axis", -1, 0));
    if (className == "Merge") return ConcatenateOf(all, name, get_int(config, "concat_axis", 0));
    if (className == "Mfcc") return MfccOf(all, name, config);
    if (className == "Audio_spectrogram") return AudioSpectrogramOf(in, name, config);
    if (className == "AnchorBoxes") return AnchorBoxesOf(in, name, config);
    if (className == "DecodeDetections") return DecodeDetectionsOf(in, name, config);
    if (className == "SeparableConv2D") SeparableConv2DOf(config);
    CV_FATAL("Unknown layer type");
}

}  // namespace

IOLayers* _ParseLayersFromKerasJSON(std::istream& stream)
{
    KerasReader reader;
    return reader.Read(stream);
}

IOLayers* ParseLayersFromKerasJSON(std::istream& stream) { return _ParseLayersFromKerasJSON(stream); }

extern "C" IOLayers* ParseLayersFromKerasJSON(const char* path)
{
    CV_CHECK_PTR(path);
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) CV_FATAL("Cannot open model file: %s\n", path);
    IOLayers* result = _ParseLayersFromKerasJSON(file);
    file.close();
    return result;
}
