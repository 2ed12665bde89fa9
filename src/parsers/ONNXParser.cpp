// The converted-ONNX model description reader: one JSON object whose first
// member is the header and every further member one node in execution order
// (format: docs/onnx-format.md). Constant sub-graphs are evaluated while the
// graph is built, so shape arithmetic costs nothing at run time.
#define CORVUS_MODULE "ONNXParser"
#include "parsers/ONNXParser.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "DataTypeConvert.h"
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
#include "LayersReduction.h"
#include "LayersResize.h"
#include "ModelParser.hpp"
#include "NNKernelFnSelector.h"
#include "Padding.h"
#include "Report.h"
#include "Tensor.h"

using corvus_json::Find;
using corvus_json::kMaxElements;
using corvus_json::kMaxExtent;
using corvus_json::kMaxListLength;
using corvus_json::Text;
using corvus_json::Value;

const int SUPPORTED_ONNX_CONVERTER_MAJOR_VERSION = 2;
const int SUPPORTED_ONNX_CONVERTER_MINOR_VERSION = 8;
int SUPPORTED_ONNX_CONVERTER_PATCH_VERSION;

namespace {

const char* const kSelf = "_ParseLayersFromONNXJSON";

// One node being read: its JSON object and the names around it, so that
// every message can say which node and attribute it is about.
struct Node {
    const Value& json;
    std::string key;
    std::string type;
    std::vector<std::string> inputs;
    std::string output;
};

[[noreturn]] void Missing(const Node& n, const char* key)
{
    if (n.type == "header") CV_FATAL("ONNXParser: the header has no member %s", key);
    CV_FATAL("ONNXParser: node %s (%s) has no attribute %s", n.key.c_str(), n.type.c_str(), key);
}

// A scalar attribute: the plain value, or the first element of an array.
const Value& Scalar(const Node& n, const char* key, const Value& v)
{
    if (!v.IsArray()) return v;
    if (v.Size() == 0) CV_FATAL("ONNXParser: node %s: attribute %s is an empty list", n.key.c_str(), key);
    return v[0];
}

int64_t IntegerOf(const Node& n, const char* key, const Value& v)
{
    int64_t x;
    if (!corvus_json::Integer(v, &x))
        CV_FATAL("ONNXParser: node %s: attribute %s must be an integer", n.key.c_str(), key);
    return x;
}

int32_t Int(const Node& n, const char* key)
{
    const Value* v = Find(n.json, key);
    if (v == nullptr) Missing(n, key);
    const int64_t x = IntegerOf(n, key, Scalar(n, key, *v));
    if (x < INT32_MIN || x > INT32_MAX)
        CV_FATAL("ONNXParser: node %s: attribute %s does not fit 32 bits", n.key.c_str(), key);
    return (int32_t)x;
}

int32_t IntOr(const Node& n, const char* key, int32_t def) { return Find(n.json, key) ? Int(n, key) : def; }

// A size-like attribute: positive and bounded.
uint32_t Extent(const Node& n, const char* key, int64_t v)
{
    if (v <= 0 || v > kMaxExtent)
        CV_FATAL("ONNXParser: node %s: attribute %s must be a positive integer below %u", n.key.c_str(), key,
                 kMaxExtent);
    return (uint32_t)v;
}

float Float(const Node& n, const char* key)
{
    const Value* v = Find(n.json, key);
    if (v == nullptr) Missing(n, key);
    const Value& s = Scalar(n, key, *v);
    if (!s.IsNumber()) CV_FATAL("ONNXParser: node %s: attribute %s must be a number", n.key.c_str(), key);
    return (float)s.GetDouble();
}

float FloatOr(const Node& n, const char* key, float def) { return Find(n.json, key) ? Float(n, key) : def; }

// True only for the literal true (plain or as the first element).
bool Bool(const Node& n, const char* key)
{
    const Value* v = Find(n.json, key);
    if (v == nullptr) return false;
    if (v->IsArray()) return v->Size() > 0 && (*v)[0].IsTrue();
    return v->IsTrue();
}

std::string String(const Node& n, const char* key)
{
    const Value* v = Find(n.json, key);
    if (v == nullptr) Missing(n, key);
    if (!v->IsString()) CV_FATAL("ONNXParser: node %s: attribute %s must be a string", n.key.c_str(), key);
    return Text(*v);
}

std::string StringOr(const Node& n, const char* key, const char* def)
{
    return Find(n.json, key) ? String(n, key) : std::string(def);
}

// A list attribute of integers (a plain integer counts as a list of one).
std::vector<int64_t> IntList(const Node& n, const char* key, bool required = true)
{
    const Value* v = Find(n.json, key);
    std::vector<int64_t> out;
    if (v == nullptr) {
        if (required) Missing(n, key);
        return out;
    }
    if (!v->IsArray()) return {IntegerOf(n, key, *v)};
    if (v->Size() > kMaxListLength)
        CV_FATAL("ONNXParser: node %s: attribute %s has too many entries", n.key.c_str(), key);
    for (const Value& e : v->GetArray()) out.push_back(IntegerOf(n, key, e));
    return out;
}

// Entry i of a per-dimension list, with a default for an absent list.
uint32_t ListEntry(const Node& n, const char* key, const std::vector<int64_t>& list, uint32_t i, uint32_t def)
{
    if (list.empty()) return def;
    if (i >= list.size())
        CV_FATAL("ONNXParser: node %s: attribute %s needs at least %u entries", n.key.c_str(), key, i + 1);
    return Extent(n, key, list[i]);
}

// Explicit pads: 2n non-negative entries (begins, then ends); none means 0.
std::vector<uint32_t> Pads(const Node& n, const char* key, uint32_t dims)
{
    const std::vector<int64_t> list = IntList(n, key, false);
    std::vector<uint32_t> pads(2 * dims, 0);
    if (list.empty()) return pads;
    if (list.size() != 2 * dims)
        CV_FATAL("ONNXParser: node %s: attribute %s must have %u entries", n.key.c_str(), key, 2 * dims);
    for (uint32_t i = 0; i < 2 * dims; ++i) {
        if (list[i] < 0 || list[i] > kMaxExtent)
            CV_FATAL("ONNXParser: node %s: attribute %s out of range", n.key.c_str(), key);
        pads[i] = (uint32_t)list[i];
    }
    return pads;
}

const Tensor* Output(const Layer* layer)
{
    CV_CHECK_PTR(layer);
    if (layer->kernel == nullptr || layer->kernel->outputsNum == 0 || layer->kernel->output[0] == nullptr)
        CV_FATAL("ONNXParser: layer %s has no output tensor", layer->name);
    return layer->kernel->output[0];
}

// The values of a static (constant) layer's output as doubles.
std::vector<double> StaticValues(const Layer* layer)
{
    const Tensor* t = Output(layer);
    if (!layer->staticOutput || t->data == nullptr || !IsSerialData(t))
        CV_FATAL("ONNXParser: layer %s must be a constant", layer->name);
    const uint32_t count = GetTensorSize(t);
    std::vector<double> v(count);
    for (uint32_t i = 0; i < count; ++i) {
        switch (t->dtype) {
        case DT_FLOAT32:
            v[i] = ((const float*)t->data)[i];
            break;
        case DT_FLOAT16: {
            float f;
            float16_to_float32((const uint16_t*)t->data + i, &f, 1);
            v[i] = f;
            break;
        }
        case DT_INT32:
            v[i] = ((const int32_t*)t->data)[i];
            break;
        case DT_UINT32:
            v[i] = ((const uint32_t*)t->data)[i];
            break;
        case DT_UINT8:
            v[i] = ((const uint8_t*)t->data)[i];
            break;
        case DT_INT8:
            v[i] = ((const int8_t*)t->data)[i];
            break;
        default:
            CV_FATAL("ONNXParser: layer %s has an unknown data type", layer->name);
        }
    }
    return v;
}

// Reads one node after another and keeps what later nodes refer to.
class Reader {
public:
    explicit Reader(const corvus_json::Document& doc) : doc_(doc) {}
    IOLayers* Read();

private:
    const corvus_json::Document& doc_;
    std::map<std::string, Layer*> names_;
    std::set<std::string> keys_;
    std::vector<Layer*> created_;
    std::set<const Layer*> withoutData_;          // initializers whose values come from the weights file
    std::map<const Layer*, uint32_t> postIndex_;  // PostLSTM layers and the LSTM output they expose
    IOLayers* io_ = nullptr;
    uint32_t inputsCount_ = 0, outputsCount_ = 0, inputsStored_ = 0, outputsStored_ = 0;

    Layer* Keep(Layer* layer)
    {
        CV_CHECK_PTR(layer);
        created_.push_back(layer);
        return layer;
    }
    // A constant whose values are known now (not one awaiting the weights file).
    bool IsStatic(const Layer* layer) const
    {
        return layer->staticOutput && Output(layer)->data != nullptr && !withoutData_.count(layer);
    }
    Layer* Resolve(const Node& n, size_t i, bool withData = true);
    std::vector<Layer*> ResolveAll(const Node& n, bool withData = true);
    Layer* First(const Node& n)
    {
        if (n.inputs.empty()) CV_FATAL("ONNXParser: node %s (%s) has no inputs", n.key.c_str(), n.type.c_str());
        return Resolve(n, 0);
    }
    Layer* StaticInput(const Node& n, size_t i, const char* message)
    {
        if (i >= n.inputs.size())
            CV_FATAL("ONNXParser: node %s (%s) needs input %zu", n.key.c_str(), n.type.c_str(), i);
        Layer* l = Resolve(n, i);
        if (!IsStatic(l)) CV_FATAL("%s", message);
        return l;
    }
    std::vector<Layer*> TwoInputs(const Node& n);

    // One builder per node type (the table in Build).
    using Builder = Layer* (Reader::*)(const Node&);
    using MultiFn = Layer* (*)(Layer**, Tensor**, uint32_t, const char*);
    using UnaryFn = Layer* (*)(Layer*, Tensor*, const char*);
    using ReduceFn = Layer* (*)(Layer*, Tensor*, const char*, const uint32_t*, uint32_t, uint32_t);
    Layer* Build(const Node& n);
    template <ActivationType kind> Layer* BuildActivation(const Node& n);
    template <MultiFn fn> Layer* BuildMulti(const Node& n);
    template <UnaryFn fn> Layer* BuildUnary(const Node& n);
    template <ReduceFn fn> Layer* BuildReduce(const Node& n);
    template <bool max> Layer* BuildPool(const Node& n);
    Layer* BuildInput(const Node& n);
    Layer* BuildLeakyRelu(const Node& n);
    Layer* BuildSoftmax(const Node& n);
    Layer* BuildHardSigmoid(const Node& n);
    Layer* BuildClip(const Node& n);
    Layer* BuildConv(const Node& n);
    Layer* BuildDepthwiseConv2D(const Node& n);
    Layer* BuildConvTranspose(const Node& n);
    Layer* BuildGlobalAveragePool(const Node& n);
    Layer* BuildGlobalMaxPool(const Node& n);
    Layer* BuildBatchNormalization(const Node& n);
    Layer* BuildInstanceNormalization(const Node& n);
    Layer* BuildLayerNorm(const Node& n);
    Layer* BuildDense(const Node& n);
    Layer* BuildMatMul(const Node& n);
    Layer* BuildEinsum(const Node& n);
    Layer* BuildPow(const Node& n);
    Layer* BuildMod(const Node& n);
    Layer* BuildNot(const Node& n);
    Layer* BuildReshape(const Node& n);
    Layer* BuildIdentity(const Node& n);
    Layer* BuildTranspose(const Node& n);
    Layer* BuildConstantOfShape(const Node& n);
    Layer* BuildGather(const Node& n);
    Layer* BuildGatherElements(const Node& n);
    Layer* BuildTile(const Node& n);
    Layer* BuildCumSum(const Node& n);
    Layer* BuildConcat(const Node& n);
    Layer* BuildRange(const Node& n);
    Layer* BuildCast(const Node& n);
    Layer* BuildResize(const Node& n);
    Layer* BuildPad(const Node& n);
    Layer* BuildScatterND(const Node& n);
    Layer* BuildArgMax(const Node& n);
    Layer* BuildNonZero(const Node& n);
    Layer* BuildNonMaxSuppression(const Node& n);
    Layer* BuildNMSYolo(const Node& n);
    Layer* BuildLSTM(const Node& n);
    Layer* BuildPostLSTM(const Node& n);
    Layer* BuildMfcc(const Node& n);
    Layer* BuildAudiospectrogram(const Node& n);
    void Prune();
    void OrderLSTMConsumers();
};

Layer* Reader::Resolve(const Node& n, size_t i, bool withData)
{
    const std::string& name = n.inputs[i];
    const auto it = names_.find(name);
    if (it != names_.end()) {
        // Such an initializer is filled by the weights entry of a MatMul,
        // Einsum or LSTM node, after the graph is built: a node whose
        // constructor reads its operand's values would read zeros.
        static const std::set<std::string> readsValues = {"Slice", "Expand",   "Unsqueeze",         "Squeeze",
                                                          "Tile",  "Identity", "NonMaxSuppression", "Range"};
        if (withData && withoutData_.count(it->second) && readsValues.count(n.type))
            CV_FATAL("ONNXParser: node %s (%s): initializer %s takes its values from the weights file, too late for "
                     "this node",
                     n.key.c_str(), n.type.c_str(), name.c_str());
        return it->second;
    }
    const Value* init = Find(n.json, name.c_str());
    if (name.empty() || init == nullptr || !init->IsObject())
        CV_FATAL("ONNXParser: node %s: input \"%s\" is neither an earlier output nor an initializer of the node",
                 n.key.c_str(), name.c_str());
    Layer* layer = Keep(ParseInitializer(n.json, name, withData));
    if (!withData) withoutData_.insert(layer);
    names_[name] = layer;
    return layer;
}

std::vector<Layer*> Reader::ResolveAll(const Node& n, bool withData)
{
    if (n.inputs.empty()) CV_FATAL("ONNXParser: node %s (%s) has no inputs", n.key.c_str(), n.type.c_str());
    std::vector<Layer*> layers;
    for (size_t i = 0; i < n.inputs.size(); ++i) layers.push_back(Resolve(n, i, withData));
    return layers;
}

Layer* Reader::BuildInput(const Node& n)
{
    const std::vector<int64_t> size = IntList(n, "size");
    if (size.empty() || size.size() > MAX_NDIM_VALUE)
        CV_FATAL("ONNXParser: node %s: Input size must have 1 to %d entries", n.key.c_str(), MAX_NDIM_VALUE);
    TensorShape shape = {};
    uint64_t count = 1;
    for (size_t i = 0; i < size.size(); ++i) {
        shape.dimension[i] = Extent(n, "size", size[i]);
        count *= shape.dimension[i];
        if (count > kMaxElements) CV_FATAL("ONNXParser: node %s: Input size is too large", n.key.c_str());
    }
    const DataType dtype = GetDataTypeFromJson((uint32_t)Int(n, "dataType"));
    Tensor* t = CreateTensor(dtype, size.size() == 4 ? DL_NHWC : DL_NONE, (uint32_t)size.size(), shape, false);
    CV_CHECK_PTR(t);
    Layer* layer = AddInputLayer(n.key.c_str(), t);
    CV_CHECK_PTR(layer);
    DestroyTensor(t);
    if (inputsStored_ >= inputsCount_) CV_FATAL("ONNXParser: more Input nodes than count_of_inputs (%u)", inputsCount_);
    io_->inputLayers[inputsStored_++] = layer;
    return layer;
}

// Spatial input sizes: dimensions 1..dims of the input.
std::vector<uint32_t> SpatialSizes(const Node& n, const Layer* in, uint32_t dims)
{
    const Tensor* t = Output(in);
    if (t->ndim < dims + 2)
        CV_FATAL("ONNXParser: node %s: input must have %u dimensions for %u spatial ones", n.key.c_str(), dims + 2,
                 dims);
    return std::vector<uint32_t>(t->shape.dimension + 1, t->shape.dimension + 1 + dims);
}

// The dilated window must fit the padded input, or the output size wraps.
void FitsWindow(const Node& n, const std::vector<uint32_t>& sizes, const uint32_t* k, const uint32_t* d,
                const std::vector<uint32_t>& pads)
{
    const size_t dims = sizes.size();
    for (size_t i = 0; i < dims; ++i)
        if ((uint64_t)sizes[i] + pads[i] + pads[dims + i] < (uint64_t)(k[i] - 1) * d[i] + 1)
            CV_FATAL("ONNXParser: node %s: the window is larger than the padded input", n.key.c_str());
}

Layer* Reader::BuildConv(const Node& n)
{
    Layer* in = First(n);
    const std::vector<int64_t> ks = IntList(n, "kernel_shape");
    const uint32_t dims = (uint32_t)ks.size();
    if (dims < 1 || dims > 3) CV_FATAL("ONNXParser: Unsupported conv dimensions number (%d)", (int)dims);
    const std::vector<int64_t> st = IntList(n, "strides", false), dl = IntList(n, "dilations", false);
    uint32_t k[3], s[3], d[3];
    for (uint32_t i = 0; i < dims; ++i) {
        k[i] = Extent(n, "kernel_shape", ks[i]);
        s[i] = ListEntry(n, "strides", st, i, 1);
        d[i] = ListEntry(n, "dilations", dl, i, 1);
    }
    const std::vector<uint32_t> pads = Pads(n, "pads", dims);
    const std::vector<uint32_t> sizes = SpatialSizes(n, in, dims);
    FitsWindow(n, sizes, k, d, pads);
    const PaddingStruct pad = ComputePaddingStruct(dims, sizes.data(), k, s, d, EXPLICIT, pads.data(), 0);
    const uint32_t filters = Extent(n, "filters", Int(n, "filters"));
    const uint32_t group = Extent(n, "group", IntOr(n, "group", 1));
    const bool bias = Bool(n, "use_bias");
    const ActivationParams none = {None, 0.0f};
    const char* name = n.key.c_str();
    if (dims == 1) return AddConv1DLayer(in, nullptr, name, filters, k[0], s[0], d[0], group, &pad, bias, none);
    if (dims == 2)
        return AddConv2DLayer(in, nullptr, name, DL_NHWC, filters, k[0], k[1], s[0], s[1], d[0], d[1], &pad, bias, none,
                              group);
    return AddConv3DLayer(in, nullptr, name, filters, group, k[0], k[1], k[2], s[0], s[1], s[2], d[0], d[1], d[2], &pad,
                          bias, EXPLICIT, none);
}

Layer* Reader::BuildConvTranspose(const Node& n)
{
    Layer* in = First(n);
    const std::vector<int64_t> ks = IntList(n, "kernel_shape");
    const uint32_t dims = (uint32_t)ks.size();
    if (dims != 1 && dims != 2) CV_FATAL("ONNXParser: Unsupported dimension number for ConvTranspose: %d\n", (int)dims);
    const std::vector<int64_t> st = IntList(n, "strides", false), dl = IntList(n, "dilations", false);
    const std::vector<int64_t> op = IntList(n, "output_padding", false);
    uint32_t k[2], s[2], d[2], outPad[2] = {0, 0};
    for (uint32_t i = 0; i < dims; ++i) {
        k[i] = Extent(n, "kernel_shape", ks[i]);
        s[i] = ListEntry(n, "strides", st, i, 1);
        d[i] = ListEntry(n, "dilations", dl, i, 1);
        if (!op.empty()) {
            if (i >= op.size() || op[i] < 0 || op[i] >= (int64_t)std::max(s[i], d[i]))
                CV_FATAL("ONNXParser: node %s: attribute output_padding out of range", n.key.c_str());
            outPad[i] = (uint32_t)op[i];
        }
    }
    const std::vector<uint32_t> pads = Pads(n, "padding", dims);
    const std::vector<uint32_t> sizes = SpatialSizes(n, in, dims);
    const PaddingStruct pad =
        ComputePaddingStructTransposed(dims, sizes.data(), k, s, d, EXPLICIT, pads.data(), outPad, !op.empty());
    for (uint32_t i = 0; i < dims; ++i)
        if (pad.outputSize[i] == 0 || pad.outputSize[i] > kMaxExtent)
            CV_FATAL("ONNXParser: node %s: padding leaves no output", n.key.c_str());
    const uint32_t filters = Extent(n, "filters", Int(n, "filters"));
    const uint32_t group = Extent(n, "group", IntOr(n, "group", 1));
    const bool bias = Bool(n, "use_bias");
    const ActivationParams none = {None, 0.0f};
    if (dims == 1)
        return AddConv1DTransposeLayer(in, nullptr, n.key.c_str(), filters, k[0], d[0], s[0], group, &pad, bias, none);
    return AddConv2DTransposeLayer(in, nullptr, n.key.c_str(), DL_NHWC, filters, k[0], k[1], s[0], s[1], d[0], d[1],
                                   &pad, group, bias, none);
}

template <bool max> Layer* Reader::BuildPool(const Node& n)
{
    Layer* in = First(n);
    const std::vector<int64_t> ks = IntList(n, "kernel_shape");
    const uint32_t dims = (uint32_t)ks.size();
    if (dims != 1 && dims != 2) {
        if (max) CV_FATAL("ONNXParser: Unsupported MaxPooling dimensions number (%d)", (int)dims);
        CV_FATAL("ONNXParser: Unsupported AveragePooling dimensions number (%d)", (int)dims);
    }
    const std::vector<int64_t> st = IntList(n, "strides", false);
    uint32_t k[2], s[2], d[2] = {1, 1};
    for (uint32_t i = 0; i < dims; ++i) {
        k[i] = Extent(n, "kernel_shape", ks[i]);
        s[i] = ListEntry(n, "strides", st, i, 1);
    }
    const uint32_t ceil = max && IntOr(n, "ceil_mode", 0) != 0 ? 1 : 0;
    const PaddingMode mode = ceil ? SAME : EXPLICIT;
    const std::vector<uint32_t> pads = Pads(n, "pads", dims);
    const std::vector<uint32_t> sizes = SpatialSizes(n, in, dims);
    for (uint32_t i = 0; i < dims; ++i)
        if (mode == EXPLICIT && sizes[i] + pads[i] + pads[dims + i] < k[i])
            CV_FATAL("ONNXParser: node %s: pooling window larger than the padded input", n.key.c_str());
    const PaddingStruct pad = ComputePaddingStruct(dims, sizes.data(), k, s, d, mode, pads.data(), ceil);
    const char* name = n.key.c_str();
    // Window cells outside the input are skipped (ONNX's count_include_pad 0).
    const uint32_t cells = POOL_PADDING_IGNORE;
    if (dims == 1)
        return max ? AddMaxPooling1DLayer(in, nullptr, name, k[0], s[0], ceil, pad, cells)
                   : AddAveragePooling1DLayer(in, nullptr, name, k[0], s[0], ceil, pad, cells);
    return max ? AddMaxPool2DLayer(in, nullptr, name, DL_NHWC, k[0], k[1], s[0], s[1], ceil, &pad, cells)
               : AddAveragePool2DLayer(in, nullptr, name, DL_NHWC, k[0], k[1], s[0], s[1], ceil, &pad, cells);
}

Layer* Reader::BuildReshape(const Node& n)
{
    const std::vector<Layer*> in = ResolveAll(n);
    if (in.size() < 2) CV_FATAL("ONNXParser: node %s: Reshape needs the target shape as input 1", n.key.c_str());
    if (!IsStatic(in[1])) CV_FATAL("ONNXParser: Reshape: the target shape (%s) must be a constant", in[1]->name);
    const Tensor* t = Output(in[0]);
    const uint64_t c = GetTensorSize(t);
    const std::vector<double> e = StaticValues(in[1]);
    if (e.empty() || e.size() > MAX_NDIM_VALUE)
        CV_FATAL("ONNXParser: Reshape: target shape of %s must have 1 to %d entries", n.key.c_str(), MAX_NDIM_VALUE);
    uint32_t shape[MAX_NDIM_VALUE];
    int open = -1;
    uint64_t p = 1;
    for (size_t i = 0; i < e.size(); ++i) {
        if (e[i] == 0) {
            if (i >= t->ndim)
                CV_FATAL("ONNXParser: Reshape: %s copies dimension %zu the input lacks", n.key.c_str(), i);
            shape[i] = t->shape.dimension[i];
        } else if (e[i] == -1) {
            if (open >= 0) CV_FATAL("ONNXParser: Reshape: %s leaves more than one dimension open", n.key.c_str());
            open = (int)i;
            continue;
        } else if (e[i] < 0 || e[i] > kMaxElements) {
            CV_FATAL("ONNXParser: Reshape: invalid target dimension %g in %s", e[i], n.key.c_str());
        } else {
            shape[i] = (uint32_t)e[i];
        }
        p *= shape[i];
        if (p > kMaxElements) CV_FATAL("ONNXParser: Reshape: target shape of %s is too large", n.key.c_str());
    }
    if (open >= 0) shape[open] = p == 0 ? 0 : (uint32_t)(c / p);
    return AddReshapeLayer(in[0], nullptr, n.key.c_str(), shape, (uint32_t)e.size());
}

Layer* Reader::BuildIdentity(const Node& n)
{
    if (n.inputs.size() != 1)
        CV_FATAL("Identity parsing error. inputs_num must equal 1. Given value: %d", (int)n.inputs.size());
    const bool earlier = names_.count(n.inputs[0]) > 0 && !Find(n.json, n.inputs[0].c_str());
    Layer* in = Resolve(n, 0);
    const Tensor* t = Output(in);
    if (earlier || in->op != OP_Initializer) {
        const uint32_t* shape = t->shape.dimension;
        return AddReshapeLayer(in, nullptr, n.key.c_str(), shape, t->ndim);
    }
    return AddInitializerLayer(t->ndim, t->shape.dimension, (DataType)t->dtype, t->data, n.output.c_str());
}

Layer* Reader::BuildClip(const Node& n)
{
    if (n.inputs.size() != 3)
        CV_FATAL("Clip: Inputs number is less then 3, check if minimum or maximum value is defined");
    Layer* x = Resolve(n, 0);
    Layer* lo = Resolve(n, 1);
    Layer* hi = Resolve(n, 2);
    if (!IsStatic(lo) || !IsStatic(hi))
        CV_FATAL("Clip: Currently layer is supported for min_value andmax_value defined as initializers");
    const char* unsupported =
        "Clip: Unsupported data type for min_value and max_value, please convert to float32 or int32, or check "
        "matching of tensor and min/maxdatatypes";
    const DataType dt = (DataType)Output(x)->dtype;
    if (Output(lo)->dtype != dt || (dt != DT_FLOAT32 && dt != DT_INT32 && dt != DT_FLOAT16))
        CV_FATAL("%s", unsupported);
    const std::vector<double> a = StaticValues(lo), b = StaticValues(hi);
    if (a.size() != 1 || b.size() != 1)
        CV_FATAL("ONNXParser: Clip: %s: min and max must hold one value each", n.key.c_str());
    ClipValue mn, mx;
    if (dt == DT_INT32) {
        mn.i32 = ((const int32_t*)Output(lo)->data)[0];
        mx.i32 = Output(hi)->dtype == DT_INT32 ? ((const int32_t*)Output(hi)->data)[0] : (int32_t)b[0];
    } else {
        mn.f32 = (float)a[0];
        mx.f32 = (float)b[0];
        if (dt == DT_FLOAT32 && std::fabs(mn.f32) <= 1.1920929e-07f && mx.f32 == 6.0f)
            return AddActivationLayer(x, nullptr, n.key.c_str(), ActivationParams{ReLU6, 0.0f});
    }
    return AddClipLayer(x, nullptr, mn, mx, n.key.c_str());
}

Layer* Reader::BuildPad(const Node& n)
{
    const std::string mode = StringOr(n, "mode", "constant");
    uint32_t m;
    if (mode == "constant")
        m = 0;
    else if (mode == "reflect")
        m = 1;
    else
        CV_FATAL("ONNXParser: Pad: pad mode %s is not supported now", mode.c_str());
    Layer* x = First(n);
    Layer* padsLayer = StaticInput(
        n, 1, "Pad: Currently layer is supported for padsdefined as initializers or outputs from previous layers");
    const std::vector<double> pv = StaticValues(padsLayer);
    const uint32_t ndim = Output(x)->ndim;
    if (pv.size() != 2 * ndim)
        CV_FATAL("ONNXParser: Pad: %s needs %u pads for a %u-dimensional input", n.key.c_str(), 2 * ndim, ndim);
    std::vector<uint32_t> pads(pv.size());
    for (size_t i = 0; i < pv.size(); ++i) {
        if (pv[i] < 0 || pv[i] > kMaxExtent) CV_FATAL("ONNXParser: Pad: %s: pads must be non-negative", n.key.c_str());
        pads[i] = (uint32_t)pv[i];
    }
    float value = 0.0f;
    if (n.inputs.size() > 2 && !n.inputs[2].empty()) {
        Layer* v = StaticInput(
            n, 2, "Pad: Currently layer is supported for valuedefined as initializers or outputs from previous layers");
        const std::vector<double> vv = StaticValues(v);
        const uint32_t value_len = (uint32_t)vv.size();
        CV_CHECK(value_len == 1);
        value = (float)vv[0];
    }
    return AddPadLayer(x, nullptr, n.key.c_str(), pads.empty() ? nullptr : pads.data(), m, value);
}

Layer* Reader::BuildConstantOfShape(const Node& n)
{
    Layer* shape = First(n);
    if (!IsStatic(shape)) CV_FATAL("ONNXParser: ConstantOfShape: the shape (%s) must be a constant", shape->name);
    const Value* value = Find(n.json, "value");
    if (value == nullptr || !value->IsObject())
        CV_FATAL("ONNXParser: node %s: ConstantOfShape needs a \"value\" object", n.key.c_str());
    const Node v{*value, n.key + ".value", n.type, {}, ""};
    const DataType dt = GetDataTypeFromJson((uint32_t)Int(v, "dataType"));
    const Value* data = Find(*value, "data");
    if (data == nullptr)
        CV_FATAL("ONNXParser: node %s (%s) has no attribute value.data", n.key.c_str(), n.type.c_str());
    const Value& d = Scalar(v, "data", *data);
    ConstantOfShapeParams p;
    memset(&p, 0, sizeof(p));
    if (dt == DT_FLOAT32) {
        if (!d.IsNumber()) CV_FATAL("ONNXParser: node %s: attribute value.data must be a number", n.key.c_str());
        p.f32 = (float)d.GetDouble();
    } else if (dt == DT_INT32) {
        const int64_t x = IntegerOf(v, "data", d);
        if (x < INT32_MIN || x > INT32_MAX)
            CV_FATAL("ONNXParser: node %s: attribute value.data does not fit 32 bits", n.key.c_str());
        p.i32 = (int32_t)x;
    } else if (dt == DT_INT8) {
        p.i8 = d.IsTrue() || (d.IsNumber() && d.GetDouble() != 0) ? 1 : 0;
    } else {
        CV_FATAL("ONNXParser: Unsupported data type for constant value");
    }
    return AddConstantOfShapeLayer(shape, nullptr, n.key.c_str(), dt, p);
}

Layer* Reader::BuildResize(const Node& n)
{
    Layer* x = First(n);
    if (n.inputs.size() < 2)
        CV_FATAL("ONNXParser (Resize): Supported only for 4D tensors, current scales number (%d)", 0);
    Layer* sc = Resolve(n, 1);
    const Tensor* st = Output(sc);
    const uint32_t count = GetTensorSize(st);
    if (count != 4)
        CV_FATAL("ONNXParser (Resize): Supported only for 4D tensors, current scales number (%d)", (int)count);
    if (st->dtype != DT_FLOAT32 && st->dtype != DT_INT32)
        CV_FATAL("ONNXParser (Resize): Unsupported datatype of scale");
    if (!IsStatic(sc)) CV_FATAL("ONNXParser (Resize): scales of %s must be a constant", n.key.c_str());
    const std::vector<double> v = StaticValues(sc);
    const Tensor* in = Output(x);
    if (in->ndim != 4) CV_FATAL("ONNXParser (Resize): input of %s must have 4 dimensions", n.key.c_str());
    // Given in N, C, H, W order; the runtime tensor is N, H, W, C.
    const uint32_t nhwcOf[4] = {0, 3, 1, 2};
    float nchw[4];
    for (int i = 0; i < 4; ++i) {
        const double s = st->dtype == DT_FLOAT32 ? v[i] : v[i] / (double)in->shape.dimension[nhwcOf[i]];
        if (!(s > 0) || s * in->shape.dimension[nhwcOf[i]] > kMaxExtent)
            CV_FATAL("ONNXParser (Resize): invalid scale %g in %s", s, n.key.c_str());
        nchw[i] = (float)s;
    }
    const float scales[4] = {nchw[0], nchw[2], nchw[3], nchw[1]};
    const std::string mode = StringOr(n, "mode", "nearest");
    if (mode == "nearest") {
        if (scales[0] == 1.0f && scales[3] == 1.0f && scales[1] == std::floor(scales[1]) &&
            scales[2] == std::floor(scales[2]))
            return AddUpSampling2DLayer(x, nullptr, n.key.c_str(), DL_NHWC, (uint32_t)scales[1], (uint32_t)scales[2]);
        return AddResizeLayer(x, nullptr, scales, 4, n.key.c_str(), 0);
    }
    if (mode == "linear") return AddResizeLayer(x, nullptr, scales, 4, n.key.c_str(), 1);
    CV_FATAL("ONNXParser (Resize): Unsupported resize mode");
}

template <Reader::ReduceFn fn> Layer* Reader::BuildReduce(const Node& n)
{
    if (n.inputs.empty() || n.inputs.size() > 2)
        CV_FATAL("ONNXParser: node %s: a reduction takes one or two inputs, not %zu", n.key.c_str(), n.inputs.size());
    Layer* x = First(n);
    const Tensor* t = Output(x);
    const uint32_t keep = IntOr(n, "keepdims", 1) != 0 ? 1 : 0;
    std::vector<uint32_t> axes;
    if (n.inputs.size() == 2) {
        Layer* a = Resolve(n, 1);
        if (!IsStatic(a)) CV_FATAL("ONNXParser: node %s: the reduction axes must be a constant", n.key.c_str());
        for (double e : StaticValues(a)) {
            const int64_t axis = (int64_t)e + (e < 0 ? t->ndim : 0);
            if (axis < 0 || axis >= t->ndim)
                CV_FATAL("ONNXParser: node %s: invalid reduction axis %g", n.key.c_str(), e);
            axes.push_back((uint32_t)axis);
        }
    } else {
        if (IntOr(n, "noop_with_empty_axes", 0) != 0)
            return AddReshapeLayer(x, nullptr, n.key.c_str(), t->shape.dimension, t->ndim);
        for (uint32_t i = 0; i < t->ndim; ++i) axes.push_back(i);
    }
    const char* name = n.key.c_str();
    const uint32_t* ax = axes.empty() ? nullptr : axes.data();
    const uint32_t cnt = (uint32_t)axes.size();
    return fn(x, nullptr, name, ax, cnt, keep);
}

// ONNX inputs: X, W, R, B, sequence_lens, initial_h, initial_c. W, R, B and
// sequence_lens are inner tensors filled from the weights file; the layer's
// own inputs are X and the initial states.
Layer* Reader::BuildLSTM(const Node& n)
{
    const std::string direction = StringOr(n, "direction", "forward");
    if (direction == "reverse" || direction == "bidirectional")
        CV_FATAL("ONNX LSTM: Only forward LSTM direction supported");
    if (!Find(n.json, "hidden_size")) CV_FATAL("ONNX LSTM: No hidden size in model file.");
    const uint32_t hidden = Extent(n, "hidden_size", Int(n, "hidden_size"));
    if (Find(n.json, "layout") && Int(n, "layout") != 0) CV_FATAL("ONNX LSTM: Suported only [0] layout.");
    auto present = [&n](size_t i) { return n.inputs.size() > i && !n.inputs[i].empty(); };
    if (!present(0)) CV_FATAL("ONNXParser: node %s: LSTM has no input sequence", n.key.c_str());
    if (present(6) && !present(5))
        CV_FATAL("ONNXParser: node %s: an initial cell state needs an initial hidden state", n.key.c_str());
    LSTMParams p;
    memset(&p, 0, sizeof(p));
    p.parserType = LSTM_PARSER_ONNX;
    p.direction = 0;
    p.hiddenSize = hidden;
    p.batchMajor = false;
    p.hasBias = present(3);
    p.sequenceFlag = present(4);
    p.hasInitialH = present(5);
    p.hasInitialC = present(6);
    p.numInputs = p.hasInitialC ? 3 : (p.hasInitialH ? 2 : 1);
    p.numInner = 4;
    p.numOutputs = 3;
    p.outputIndex = 0;
    // X is not in the weights entry: a constant sequence keeps its values.
    std::vector<Layer*> in = {Resolve(n, 0)};
    if (p.hasInitialH) in.push_back(Resolve(n, 5, false));
    if (p.hasInitialC) in.push_back(Resolve(n, 6, false));
    return AddLSTMLayer(in.data(), nullptr, &p, n.key.c_str());
}

template <ActivationType kind> Layer* Reader::BuildActivation(const Node& n)
{
    return AddActivationLayer(First(n), nullptr, n.key.c_str(), ActivationParams{kind, 0.0f});
}

Layer* Reader::BuildLeakyRelu(const Node& n)
{
    return AddActivationLayer(First(n), nullptr, n.key.c_str(),
                              ActivationParams{LeakyReLU, FloatOr(n, "alpha", 0.01f)});
}

Layer* Reader::BuildSoftmax(const Node& n)
{
    Layer* x = First(n);
    const int32_t axis = IntOr(n, "axis", -1), ndim = (int32_t)Output(x)->ndim;
    if (axis != -1 && axis != ndim - 1)
        CV_FATAL("Softmax: Supported only for last dimension (axis = %d, ndim = %d)", axis, ndim);
    return AddActivationLayer(x, nullptr, n.key.c_str(), ActivationParams{Softmax, 0.0f});
}

Layer* Reader::BuildHardSigmoid(const Node& n)
{
    return AddHardSigmoidLayer(First(n), nullptr, n.key.c_str(), FloatOr(n, "alpha", 0.2f), FloatOr(n, "beta", 0.5f));
}

Layer* Reader::BuildDepthwiseConv2D(const Node& n)
{
    const char* name = n.key.c_str();
    Layer* x = First(n);
    const std::vector<int64_t> ks = IntList(n, "kernel_shape");
    if (ks.size() != 2) CV_FATAL("ONNXParser: node %s: DepthwiseConv2D needs 2 kernel_shape entries", name);
    const std::vector<int64_t> st = IntList(n, "strides", false), dl = IntList(n, "dilations", false);
    uint32_t k[2], s[2], d[2];
    for (uint32_t i = 0; i < 2; ++i) {
        k[i] = Extent(n, "kernel_shape", ks[i]);
        s[i] = ListEntry(n, "strides", st, i, 1);
        d[i] = ListEntry(n, "dilations", dl, i, 1);
    }
    const std::vector<uint32_t> pads = Pads(n, "pads", 2), sizes = SpatialSizes(n, x, 2);
    FitsWindow(n, sizes, k, d, pads);
    const PaddingStruct pad = ComputePaddingStruct(2, sizes.data(), k, s, d, EXPLICIT, pads.data(), 0);
    const uint32_t mult = Extent(n, "depth_multiplier", IntOr(n, "depth_multiplier", 1));
    return AddDepthwiseConv2DLayer(x, nullptr, name, DL_NHWC, k[0], k[1], s[0], s[1], d[0], d[1], mult, &pad,
                                   Bool(n, "use_bias"), None);
}

Layer* Reader::BuildGlobalAveragePool(const Node& n)
{
    return AddGlobalAveragePool2DLayer(First(n), nullptr, n.key.c_str(), DL_NHWC, 1);
}

Layer* Reader::BuildGlobalMaxPool(const Node& n)
{
    const size_t numinputs = n.inputs.size();
    CV_CHECK(numinputs == 1);
    return AddGlobalMaxPool(First(n), nullptr, n.key.c_str());
}

Layer* Reader::BuildBatchNormalization(const Node& n)
{
    return AddBatchNormalizationLayer(First(n), nullptr, n.key.c_str(), true, true, Float(n, "epsilon"));
}

Layer* Reader::BuildInstanceNormalization(const Node& n)
{
    return AddInstanceNormalizationLayer(First(n), nullptr, n.key.c_str(), Float(n, "epsilon"));
}

Layer* Reader::BuildLayerNorm(const Node& n)
{
    return AddLayerNormLayer(First(n), nullptr, n.key.c_str(), Float(n, "epsilon"));
}

Layer* Reader::BuildDense(const Node& n)
{
    return AddDenseLayer(First(n), nullptr, n.key.c_str(), Extent(n, "units", Int(n, "units")), Bool(n, "use_bias"),
                         None);
}

Layer* Reader::BuildMatMul(const Node& n)
{
    std::vector<Layer*> in = ResolveAll(n, false);
    if (in.size() != 2) CV_FATAL("ONNXParser: node %s: MatMul takes 2 inputs, not %zu", n.key.c_str(), in.size());
    uint32_t mode = 0;
    for (uint32_t i = 0; i < 2; ++i)
        if (in[i]->op == OP_Initializer && withoutData_.count(in[i])) mode = 1u << i;
    return AddMatmulLayer(in.data(), nullptr, n.key.c_str(), mode);
}

template <Reader::MultiFn fn> Layer* Reader::BuildMulti(const Node& n)
{
    std::vector<Layer*> in = ResolveAll(n);
    return fn(in.data(), nullptr, (uint32_t)in.size(), n.key.c_str());
}

template <Reader::UnaryFn fn> Layer* Reader::BuildUnary(const Node& n) { return fn(First(n), nullptr, n.key.c_str()); }

Layer* Reader::BuildPow(const Node& n)
{
    std::vector<Layer*> in = ResolveAll(n);
    // Only an exponent of 2 squares the base: a constant base of 2 is 2^x, not x*x.
    if (in.size() == 2 && IsStatic(in[1]) && GetTensorSize(Output(in[1])) == 1 && StaticValues(in[1])[0] == 2.0) {
        Layer* sq[2] = {in[0], in[0]};
        return AddMulLayer(sq, nullptr, 2, n.key.c_str());
    }
    return AddPowLayer(in.data(), nullptr, (uint32_t)in.size(), n.key.c_str());
}

Layer* Reader::BuildMod(const Node& n)
{
    std::vector<Layer*> in = ResolveAll(n);
    if (IntOr(n, "fmod", 0) != 0 && Output(in[0])->dtype == DT_INT32)
        CV_FATAL("%s: Currently fmod flag for int32 data type is not supported", kSelf);
    return AddModLayer(in.data(), nullptr, (uint32_t)in.size(), n.key.c_str());
}

Layer* Reader::BuildNot(const Node& n)
{
    if (n.inputs.size() != 1) CV_FATAL("params[\"inputs\"].Size() == 1: false, expected: true");
    return AddNotLayer(First(n), nullptr, n.key.c_str());
}

Layer* Reader::BuildTranspose(const Node& n)
{
    const char* name = n.key.c_str();
    Layer* x = First(n);
    const std::vector<int64_t> perm = IntList(n, "perm");
    if (perm.empty() || perm.size() > MAX_NDIM_VALUE)
        CV_FATAL("ONNXParser: node %s: perm must have 1 to 6 entries", name);
    uint32_t axes[MAX_NDIM_VALUE];
    for (size_t i = 0; i < perm.size(); ++i) {
        if (perm[i] < 0 || perm[i] >= (int64_t)perm.size()) CV_FATAL("ONNXParser: node %s: invalid perm entry", name);
        axes[i] = (uint32_t)perm[i];
    }
    return AddTransposeLayer(x, nullptr, axes, (uint32_t)perm.size(), name);
}

Layer* Reader::BuildGather(const Node& n)
{
    std::vector<Layer*> in = ResolveAll(n);
    return AddGatherLayer(in.data(), nullptr, (uint32_t)in.size(), IntOr(n, "axis", 0), n.key.c_str());
}

// GatherElements, Tile and CumSum take exactly two inputs.
std::vector<Layer*> Reader::TwoInputs(const Node& n)
{
    const size_t num_inputs = n.inputs.size();
    CV_CHECK(num_inputs == 2);
    return ResolveAll(n);
}

Layer* Reader::BuildGatherElements(const Node& n)
{
    std::vector<Layer*> in = TwoInputs(n);
    return AddGatherElementsLayer(in.data(), nullptr, IntOr(n, "axis", 0), 2, n.key.c_str());
}

Layer* Reader::BuildTile(const Node& n)
{
    std::vector<Layer*> in = TwoInputs(n);
    // Repeats are unsigned; ONNX writes them as 64-bit integers.
    const Tensor* r = Output(in[1]);
    if (IsStatic(in[1]) && r->dtype == DT_INT32) {
        std::vector<uint32_t> u;
        for (double v : StaticValues(in[1])) {
            if (v < 0) CV_FATAL("ONNXParser: node %s: Tile repeats must not be negative", n.key.c_str());
            u.push_back((uint32_t)v);
        }
        in[1] =
            Keep(AddInitializerLayer(r->ndim, r->shape.dimension, DT_UINT32, u.data(), (n.key + "/repeats").c_str()));
    }
    return AddTileLayer(in.data(), nullptr, 2, n.key.c_str());
}

Layer* Reader::BuildCumSum(const Node& n)
{
    std::vector<Layer*> in = TwoInputs(n);
    return AddCumSumLayer(in.data(), nullptr, n.key.c_str(), 2, IntOr(n, "exclusive", 0) != 0,
                          IntOr(n, "reverse", 0) != 0);
}

Layer* Reader::BuildConcat(const Node& n)
{
    std::vector<Layer*> in = ResolveAll(n);
    int32_t axis = Int(n, "axis");
    if (axis == -1) axis = (int32_t)Output(in[0])->ndim - 1;
    return AddConcatenateLayer(in.data(), nullptr, (uint32_t)in.size(), n.key.c_str(), axis);
}

Layer* Reader::BuildRange(const Node& n)
{
    std::vector<Layer*> in = ResolveAll(n);
    float v[3] = {0, 0, 0};
    for (size_t i = 0; i < 3 && i < in.size(); ++i)
        if (IsStatic(in[i]) && GetTensorSize(Output(in[i])) == 1) v[i] = (float)StaticValues(in[i])[0];
    return AddRangeLayer(in.data(), nullptr, n.key.c_str(), (uint32_t)in.size(), v[0], v[1], v[2]);
}

Layer* Reader::BuildCast(const Node& n)
{
    return AddCastLayer(First(n), nullptr, n.key.c_str(), GetDataTypeFromJson((uint32_t)Int(n, "to")));
}

Layer* Reader::BuildScatterND(const Node& n)
{
    const size_t numinputs = n.inputs.size();
    CV_CHECK(numinputs == 3);
    const std::string r = StringOr(n, "reduction", "none");
    const char* names[] = {"none", "add", "mul", "max", "min"};
    uint32_t reduction = 5;
    for (uint32_t i = 0; i < 5; ++i)
        if (r == names[i]) reduction = i;
    if (reduction == 5) CV_FATAL("ONNX Parser: ScatterND: incorrect  reduction function");
    std::vector<Layer*> in = ResolveAll(n);
    return AddScatterNDLayer(in.data(), nullptr, 3, reduction, n.key.c_str());
}

Layer* Reader::BuildArgMax(const Node& n)
{
    Layer* x = First(n);
    int32_t axis = IntOr(n, "axis", 0);
    if (axis < 0) {
        const int32_t given = axis;
        axis += (int32_t)Output(x)->ndim;
        if (axis < 0) CV_FATAL("ONNXParser ArgMax: Invalid axis value (%i)", given);
    }
    return AddArgMax(x, nullptr, n.key.c_str(), axis, IntOr(n, "keepdims", 1) != 0,
                     IntOr(n, "select_last_index", 0) != 0);
}

Layer* Reader::BuildEinsum(const Node& n)
{
    if (n.inputs.size() != 2) CV_FATAL("%s: Einsum must have only 2 inputs", kSelf);
    const Value* eq = Find(n.json, "equation");
    if (eq == nullptr || !eq->IsString()) CV_FATAL("%s: Einsum must have only 'equation' attribute", kSelf);
    std::vector<Layer*> in = ResolveAll(n, false);
    return AddEinsumLayer(in.data(), nullptr, n.key.c_str(), eq->GetString());
}

Layer* Reader::BuildNonZero(const Node& n)
{
    Layer* x = First(n);
    if (!IsStatic(x)) CV_FATAL("NonZero: Currently layer is supported for value defined as initializers");
    return AddNonZeroLayer(x, nullptr, n.key.c_str());
}

Layer* Reader::BuildNonMaxSuppression(const Node& n)
{
    const size_t num_inputs = n.inputs.size();
    CV_CHECK(num_inputs > 2 && num_inputs <= 5);
    if (Find(n.json, "center_point_box") && Int(n, "center_point_box") != 0)
        CV_FATAL("NonMaxSuppression: only value 0 is supported for the parameter center_point_box");
    std::vector<Layer*> in = ResolveAll(n);
    return AddNonMaxSuppressionLayer(in.data(), nullptr, (uint32_t)in.size(), n.key.c_str());
}

Layer* Reader::BuildNMSYolo(const Node& n)
{
    const float score = Float(n, "score_threshold");
    const uint32_t maxBoxes = Extent(n, "max_elements_number", Int(n, "max_elements_number"));
    return AddNMSYoloLayer(First(n), nullptr, maxBoxes, n.key.c_str(), score, score);
}

Layer* Reader::BuildPostLSTM(const Node& n)
{
    const char* name = n.key.c_str();
    Layer* lstm = First(n);
    if (lstm->op != OP_LSTM) CV_FATAL("ONNXParser: node %s: PostLSTM input %s is not an LSTM", name, lstm->name);
    const int32_t index = Int(n, "lstm_output_index");
    if (index < 1 || index > 2) CV_FATAL("ONNXParser: node %s: lstm_output_index must be 1 or 2", name);
    Layer* post = AddPostLSTMLayer(lstm, nullptr, name, (uint32_t)index);
    postIndex_[post] = (uint32_t)index;
    return post;
}

Layer* Reader::BuildMfcc(const Node& n)
{
    const size_t numinputs = n.inputs.size();
    const Value& params = n.json;
    CV_CHECK(numinputs == 2 || (numinputs == 1 && params.HasMember("sample_rate")));
    std::vector<Layer*> in = ResolveAll(n);
    const uint32_t rate = Find(n.json, "sample_rate") ? Extent(n, "sample_rate", Int(n, "sample_rate")) : 0;
    return AddMfccLayer(in.data(), nullptr, (uint32_t)in.size(), n.key.c_str(),
                        Extent(n, "dct_coefficient_count", Int(n, "dct_coefficient_count")),
                        Extent(n, "filterbank_channel_count", Int(n, "filterbank_channel_count")), rate,
                        Float(n, "lower_frequency_limit"), Float(n, "upper_frequency_limit"));
}

Layer* Reader::BuildAudiospectrogram(const Node& n)
{
    return AddAudioSpectrogram(First(n), nullptr, n.key.c_str(), Extent(n, "window_size", Int(n, "window_size")),
                               Extent(n, "stride", Int(n, "stride")), Bool(n, "magnitude_squared"));
}

// Node type to builder. Types that differ only in their constructor share a
// builder template. A constant table: nothing to construct at run time.
Layer* Reader::Build(const Node& n)
{
    struct Entry {
        const char* type;
        Builder build;
    };
    static constexpr Entry builders[] = {
        {"Input", &Reader::BuildInput},
        {"Relu", &Reader::BuildActivation<ReLU>},
        {"Tanh", &Reader::BuildActivation<Tanh>},
        {"Sigmoid", &Reader::BuildActivation<Sigmoid>},
        {"Log", &Reader::BuildActivation<Log>},
        {"LeakyRelu", &Reader::BuildLeakyRelu},
        {"Softmax", &Reader::BuildSoftmax},
        {"HardSigmoid", &Reader::BuildHardSigmoid},
        {"Clip", &Reader::BuildClip},
        {"Conv", &Reader::BuildConv},
        {"DepthwiseConv2D", &Reader::BuildDepthwiseConv2D},
        {"ConvTranspose", &Reader::BuildConvTranspose},
        {"MaxPool", &Reader::BuildPool<true>},
        {"AveragePool", &Reader::BuildPool<false>},
        {"GlobalAveragePool", &Reader::BuildGlobalAveragePool},
        {"GlobalMaxPool", &Reader::BuildGlobalMaxPool},
        {"BatchNormalization", &Reader::BuildBatchNormalization},
        {"InstanceNormalization", &Reader::BuildInstanceNormalization},
        {"LayerNorm", &Reader::BuildLayerNorm},
        {"Dense", &Reader::BuildDense},
        {"MatMul", &Reader::BuildMatMul},
        {"Einsum", &Reader::BuildEinsum},
        {"Add", &Reader::BuildMulti<AddAddLayer>},
        {"Mul", &Reader::BuildMulti<AddMulLayer>},
        {"Sub", &Reader::BuildMulti<AddSubLayer>},
        {"Div", &Reader::BuildMulti<AddDivLayer>},
        {"Equal", &Reader::BuildMulti<AddEqualLayer>},
        {"Less", &Reader::BuildMulti<AddLessLayer>},
        {"Greater", &Reader::BuildMulti<AddGreaterLayer>},
        {"And", &Reader::BuildMulti<AddAndLayer>},
        {"Where", &Reader::BuildMulti<AddWhereLayer>},
        {"Expand", &Reader::BuildMulti<AddExpandLayer>},
        {"Unsqueeze", &Reader::BuildMulti<AddUnsqueezeLayer>},
        {"Squeeze", &Reader::BuildMulti<AddSqueezeLayer>},
        {"Slice", &Reader::BuildMulti<AddSliceLayer>},
        {"Pow", &Reader::BuildPow},
        {"Mod", &Reader::BuildMod},
        {"Not", &Reader::BuildNot},
        {"Exp", &Reader::BuildUnary<AddExpLayer>},
        {"Sqrt", &Reader::BuildUnary<AddSqrtLayer>},
        {"Erf", &Reader::BuildUnary<AddErfLayer>},
        {"Neg", &Reader::BuildUnary<AddNegLayer>},
        {"Abs", &Reader::BuildUnary<AddAbsLayer>},
        {"Ceil", &Reader::BuildUnary<AddCeilLayer>},
        {"Floor", &Reader::BuildUnary<AddFloorLayer>},
        {"PRelu", &Reader::BuildUnary<AddPReluLayer>},
        {"Flatten", &Reader::BuildUnary<AddFlattenLayer>},
        {"Shape", &Reader::BuildUnary<AddShapeLayer>},
        {"Reshape", &Reader::BuildReshape},
        {"Identity", &Reader::BuildIdentity},
        {"Transpose", &Reader::BuildTranspose},
        {"ConstantOfShape", &Reader::BuildConstantOfShape},
        {"Gather", &Reader::BuildGather},
        {"GatherElements", &Reader::BuildGatherElements},
        {"Tile", &Reader::BuildTile},
        {"CumSum", &Reader::BuildCumSum},
        {"Concat", &Reader::BuildConcat},
        {"Range", &Reader::BuildRange},
        {"Cast", &Reader::BuildCast},
        {"Resize", &Reader::BuildResize},
        {"Pad", &Reader::BuildPad},
        {"ScatterND", &Reader::BuildScatterND},
        {"ReduceMean", &Reader::BuildReduce<AddReduceMean>},
        {"ReduceSum", &Reader::BuildReduce<AddReduceSum>},
        {"ReduceMax", &Reader::BuildReduce<AddReduceMax>},
        {"ReduceMin", &Reader::BuildReduce<AddReduceMin>},
        {"ReduceL2", &Reader::BuildReduce<AddReduceL2>},
        {"ArgMax", &Reader::BuildArgMax},
        {"NonZero", &Reader::BuildNonZero},
        {"NonMaxSuppression", &Reader::BuildNonMaxSuppression},
        {"NMSYolo", &Reader::BuildNMSYolo},
        {"LSTM", &Reader::BuildLSTM},
        {"PostLSTM", &Reader::BuildPostLSTM},
        {"Mfcc", &Reader::BuildMfcc},
        {"Audiospectrogram", &Reader::BuildAudiospectrogram},
    };
    for (const Entry& e : builders)
        if (n.type == e.type) return (this->*e.build)(n);
    CV_FATAL("ONNXParser: Unsupported operation. Operation %s\n", n.type.c_str());
}

// Layers the outputs do not depend on (for example the LSTM weight
// initializers, which the weights file fills instead) are released here and
// dropped from their producers' consumer lists, so the model neither leaks
// them nor plans memory for them.
void Reader::Prune()
{
    std::set<const Layer*> keep;
    std::vector<Layer*> stack(io_->outputLayers, io_->outputLayers + outputsStored_);
    while (!stack.empty()) {
        Layer* l = stack.back();
        stack.pop_back();
        if (!keep.insert(l).second) continue;
        for (uint32_t i = 0; i < l->inputLayersNum; ++i) stack.push_back(l->inputLayers[i]);
    }
    // The model is built from its outputs, so an Input node none of them
    // reads is no model input: it goes with the other unused layers, and
    // out of the input list too, or nothing would ever release it.
    uint32_t used = 0;
    for (uint32_t i = 0; i < io_->inputLayersCount; ++i)
        if (keep.count(io_->inputLayers[i])) io_->inputLayers[used++] = io_->inputLayers[i];
    io_->inputLayersCount = used;
    std::vector<Layer*> dropped;
    for (Layer* l : created_) {
        if (!keep.count(l)) {
            dropped.push_back(l);
            continue;
        }
        uint32_t k = 0;
        for (uint32_t c = 0; c < l->consumerLayersNum; ++c)
            if (keep.count(l->consumerLayers[c])) l->consumerLayers[k++] = l->consumerLayers[c];
        l->consumerLayersNum = k;
    }
    for (Layer* l : dropped) DestroyLayer(l);
    created_.erase(std::remove_if(created_.begin(), created_.end(), [&keep](Layer* l) { return !keep.count(l); }),
                   created_.end());
}

// An LSTM hands output m to its m-th consumer when the model is initialised,
// so the layer exposing output m (PostLSTM m) must sit at position m. Other
// consumers bind output 0 themselves and may take any free position; a free
// position before a PostLSTM is filled with that PostLSTM again, which the
// later position then overrides.
void Reader::OrderLSTMConsumers()
{
    for (Layer* l : created_) {
        if (l->op != OP_LSTM || l->consumerLayersNum == 0) continue;
        std::vector<Layer*> slots(3, nullptr), others;
        for (uint32_t c = 0; c < l->consumerLayersNum; ++c) {
            Layer* cl = l->consumerLayers[c];
            const auto it = postIndex_.find(cl);
            if (it == postIndex_.end()) {
                others.push_back(cl);
            } else if (slots[it->second] != nullptr) {
                CV_FATAL("ONNXParser: output %u of LSTM %s is exposed by two PostLSTM nodes", it->second, l->name);
            } else {
                slots[it->second] = cl;
            }
        }
        size_t next = 0;
        for (uint32_t m = 0; m < 3 && next < others.size(); ++m)
            if (slots[m] == nullptr) slots[m] = others[next++];
        for (uint32_t m = 0; m < 3; ++m)
            if (slots[m] == nullptr)
                for (uint32_t j = m + 1; j < 3 && slots[m] == nullptr; ++j) slots[m] = slots[j];
        while (!slots.empty() && slots.back() == nullptr) slots.pop_back();
        slots.insert(slots.end(), others.begin() + next, others.end());
        Layer** list = (Layer**)realloc(l->consumerLayers, slots.size() * sizeof(Layer*));
        if (list == nullptr) CV_FATAL("Cannot allocate memory");
        std::copy(slots.begin(), slots.end(), list);
        l->consumerLayers = list;
        l->consumerLayersNum = (uint32_t)slots.size();
    }
}

IOLayers* Reader::Read()
{
    const Value& root = doc_;
    if (!root.IsObject() || root.MemberCount() == 0)
        CV_FATAL("ONNXParser: model description must be a JSON object whose first member is the header");
    const Value& header = root.MemberBegin()->value;
    CV_CHECK_PTR(io_ = (IOLayers*)malloc(sizeof(IOLayers)));
    memset(io_, 0, sizeof(IOLayers));
    const Value* version = Find(header, "converter_version");
    if (version == nullptr) CV_FATAL("ONNXParser: model JSON file must have \"converter_version\" key");
    if (!version->IsString()) CV_FATAL("ONNXParser: converter_version must be a string");
    std::string v = Text(*version);
    check_onnx_converter_version(v);

    const Node h{header, "header", "header", {}, ""};
    const uint32_t nodes = root.MemberCount() - 1;
    const int32_t ni = Int(h, "count_of_inputs"), no = Int(h, "count_of_outputs");
    if (ni < 0 || (uint32_t)ni > nodes || no < 0 || (uint32_t)no > nodes)
        CV_FATAL("ONNXParser: count_of_inputs and count_of_outputs must be between 0 and the number of nodes (%u)",
                 nodes);
    inputsCount_ = (uint32_t)ni;
    outputsCount_ = (uint32_t)no;
    io_->inputLayers = (Layer**)calloc(inputsCount_ + 1, sizeof(Layer*));
    io_->outputLayers = (Layer**)calloc(outputsCount_ + 1, sizeof(Layer*));
    if (io_->inputLayers == nullptr || io_->outputLayers == nullptr) CV_FATAL("Cannot allocate memory");
    const Value* outNames = Find(header, "output_names");
    if (outNames == nullptr || !outNames->IsArray()) CV_FATAL("ONNXParser: the header must have an output_names list");
    std::vector<std::string> outputNames;
    for (const Value& s : outNames->GetArray()) {
        if (!s.IsString()) CV_FATAL("ONNXParser: output_names must hold strings");
        outputNames.push_back(Text(s));
    }
    if (outputNames.size() < outputsCount_)
        CV_FATAL("ONNXParser: output_names holds %zu names for %u outputs", outputNames.size(), outputsCount_);

    for (auto m = root.MemberBegin() + 1; m != root.MemberEnd(); ++m) {
        const std::string key = Text(m->name);
        if (!m->value.IsObject()) CV_FATAL("ONNXParser: node %s must be an object", key.c_str());
        if (!keys_.insert(key).second) CV_FATAL("ONNXParser: node name %s is used twice", key.c_str());
        const Value& json = m->value;
        const Value* type = Find(json, "type");
        if (type == nullptr || !type->IsString())
            CV_FATAL("ONNXParser: node %s must have a string \"type\"", key.c_str());
        const Value* ins = Find(json, "inputs");
        const Value* outs = Find(json, "outputs");
        if (ins == nullptr || !ins->IsArray() || outs == nullptr || !outs->IsArray() || outs->Size() == 0 ||
            !(*outs)[0].IsString())
            CV_FATAL("ONNXParser: node %s must have an \"inputs\" list and a non-empty \"outputs\" list", key.c_str());
        Node n{json, key, Text(*type), {}, Text((*outs)[0])};
        for (const Value& s : ins->GetArray()) {
            if (!s.IsString()) CV_FATAL("ONNXParser: node %s: inputs must be strings", key.c_str());
            n.inputs.push_back(Text(s));
        }
        Layer* layer = Keep(Build(n));
        names_[n.output] = layer;
        // Outputs are allocated later (or now, when folded): bound them first.
        for (uint32_t j = 0; j < layer->kernel->outputsNum; ++j) {
            const Tensor* o = layer->kernel->output[j];
            if (o == nullptr) continue;
            uint64_t count = 1;
            for (uint32_t d = 0; d < o->ndim && d < MAX_NDIM_VALUE; ++d) {
                count *= o->shape.dimension[d];
                if (count > kMaxElements)
                    CV_FATAL("ONNXParser: node %s: output of more than %llu elements", key.c_str(),
                             (unsigned long long)kMaxElements);
            }
        }
        if (layer->op != OP_Input && layer->op != OP_MatMul) {
            // Layers whose weights or constant operands still await the
            // weights file cannot be computed yet.
            bool ready = true;
            for (uint32_t i = 0; i < layer->kernel->innerNum; ++i)
                if (layer->kernel->inner[i] != nullptr && layer->kernel->inner[i]->data == nullptr) ready = false;
            for (uint32_t i = 0; i < layer->inputLayersNum; ++i)
                if (withoutData_.count(layer->inputLayers[i])) ready = false;
            if (ready) ExecuteLayer(layer);
        }
        if (Bool(n, "output_node_flag")) {
            if (outputsStored_ >= outputsCount_)
                CV_FATAL("ONNXParser: more flagged output nodes than count_of_outputs (%u)", outputsCount_);
            io_->outputLayers[outputsStored_++] = layer;
        }
    }
    if (inputsStored_ != inputsCount_)
        CV_FATAL("ONNXParser: %u Input nodes for count_of_inputs %u", inputsStored_, inputsCount_);
    if (outputsStored_ != outputsCount_)
        CV_FATAL("ONNXParser: %u flagged output nodes for count_of_outputs %u", outputsStored_, outputsCount_);
    io_->inputLayersCount = inputsCount_;
    io_->outputLayersCount = outputsCount_;
    SwapOutputs(outputNames, io_);
    for (uint32_t i = 0; i < outputsCount_; ++i)
        if (outputNames[i] != io_->outputLayers[i]->name)
            CV_FATAL("ONNXParser: output name %s names no flagged output node", outputNames[i].c_str());
    Prune();
    OrderLSTMConsumers();
    return io_;
}

}  // namespace

void check_onnx_converter_version(std::string& version)
{
    std::vector<long> pieces;
    size_t start = 0;
    while (true) {
        const size_t dot = version.find('.', start);
        const std::string piece = version.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        // A piece that is not a number is a malformed version, not a crash.
        char* end = nullptr;
        errno = 0;
        const long x = std::strtol(piece.c_str(), &end, 10);
        if (piece.empty() || *end != '\0' || errno != 0)
            CV_FATAL("ONNXParser: Wrong format of converter_version: %s. Must be MAJOR.MINOR.PATCH", version.c_str());
        pieces.push_back(x);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (pieces.size() != 3)
        CV_FATAL("ONNXParser: Wrong format of converter_version: %s. Must be MAJOR.MINOR.PATCH", version.c_str());
    const uint32_t minor = (uint32_t)pieces[1], patch = (uint32_t)pieces[2];
    const bool ok = pieces[0] == SUPPORTED_ONNX_CONVERTER_MAJOR_VERSION &&
                    (minor < (uint32_t)SUPPORTED_ONNX_CONVERTER_MINOR_VERSION ||
                     (minor == (uint32_t)SUPPORTED_ONNX_CONVERTER_MINOR_VERSION &&
                      patch <= (uint32_t)SUPPORTED_ONNX_CONVERTER_PATCH_VERSION));
    if (!ok)
        CV_FATAL("ONNXParser: Unsupported version of ONNX converter: %s. Supported versions >=%d.0.0 <=%d.%d.%d",
                 version.c_str(), SUPPORTED_ONNX_CONVERTER_MAJOR_VERSION, SUPPORTED_ONNX_CONVERTER_MAJOR_VERSION,
                 SUPPORTED_ONNX_CONVERTER_MINOR_VERSION, SUPPORTED_ONNX_CONVERTER_PATCH_VERSION);
}

DataType GetDataTypeFromJson(uint32_t code)
{
    switch (code) {
    case 1:
        return DT_FLOAT32;
    case 2:
        return DT_UINT8;
    case 3:
        return DT_INT8;
    case 6:
    case 7:
        return DT_INT32;
    case 10:
        return DT_FLOAT16;
    case 12:
    case 13:
        return DT_UINT32;
    default:
        CV_FATAL("GetDataTypeFromJson: Unknown data type (%d)", (int)code);
    }
}

Layer* ParseInitializer(const Value& node, const std::string& name, bool withData)
{
    const Value* init = Find(node, name.c_str());
    if (init == nullptr || !init->IsObject()) CV_FATAL("ParseInitializer: no initializer object %s", name.c_str());
    const Node n{*init, name, "initializer", {}, ""};
    const Value* dims = Find(*init, "dims");
    if (dims == nullptr || !dims->IsArray() || dims->Size() > MAX_NDIM_VALUE)
        CV_FATAL("ParseInitializer: %s: dims must be a list of at most %d integers", name.c_str(), MAX_NDIM_VALUE);
    uint32_t shape[MAX_NDIM_VALUE] = {0};
    const uint32_t ndim = dims->Size();
    uint64_t count = 1;
    for (uint32_t i = 0; i < ndim; ++i) {
        const int64_t d = IntegerOf(n, "dims", (*dims)[i]);
        if (d < 0 || d > (int64_t)kMaxElements) CV_FATAL("ParseInitializer: %s: invalid dimension", name.c_str());
        shape[i] = (uint32_t)d;
        count *= shape[i];
        if (count > kMaxElements)
            CV_FATAL("ParseInitializer: %s: more than %llu elements", name.c_str(), (unsigned long long)kMaxElements);
    }
    const DataType dtype = GetDataTypeFromJson((uint32_t)Int(n, "dataType"));
    if (!withData) return AddInitializerLayer(ndim, shape, dtype, nullptr, name.c_str());

    const Value* data = Find(*init, "data");
    if (data == nullptr || !data->IsArray() || data->Size() != count)
        CV_FATAL("ParseInitializer: %s: data must be a list of %llu numbers", name.c_str(), (unsigned long long)count);
    const size_t size = DataTypeSize(dtype);
    void* buffer = malloc(count * size + 1);
    if (buffer == nullptr) CV_FATAL("ParseInitializer: data pointer is NULL");
    const bool isFloat = dtype == DT_FLOAT32 || dtype == DT_FLOAT16;
    int64_t lo = INT32_MIN, hi = INT32_MAX;
    if (dtype == DT_UINT8) lo = 0, hi = UINT8_MAX;
    if (dtype == DT_INT8) lo = INT8_MIN, hi = INT8_MAX;
    if (dtype == DT_UINT32) lo = 0, hi = UINT32_MAX;
    for (uint32_t i = 0; i < count; ++i) {
        const Value& e = (*data)[i];
        if (isFloat) {
            if (!e.IsNumber()) CV_FATAL("ParseInitializer: %s: data must be numbers", name.c_str());
            const float f = (float)e.GetDouble();
            if (dtype == DT_FLOAT32)
                ((float*)buffer)[i] = f;
            else
                float32_to_float16(&f, (uint16_t*)buffer + i, 1);
            continue;
        }
        // 64-bit integers are narrowed: out-of-range values saturate, which
        // keeps "to the end" slice bounds such as INT64_MAX meaningful.
        int64_t x = IntegerOf(n, "data", e);
        if (dtype == DT_INT32) x = std::min<int64_t>(std::max<int64_t>(x, lo), hi);
        if (x < lo || x > hi) CV_FATAL("ParseInitializer: %s: value out of range of its type", name.c_str());
        switch (dtype) {
        case DT_INT32:
            ((int32_t*)buffer)[i] = (int32_t)x;
            break;
        case DT_UINT32:
            ((uint32_t*)buffer)[i] = (uint32_t)x;
            break;
        case DT_UINT8:
            ((uint8_t*)buffer)[i] = (uint8_t)x;
            break;
        default:
            ((int8_t*)buffer)[i] = (int8_t)x;
            break;
        }
    }
    Layer* layer = AddInitializerLayer(ndim, shape, dtype, buffer, name.c_str());
    free(buffer);
    return layer;
}

void SwapOutputs(std::vector<std::string> names, IOLayers* ioLayers)
{
    CV_CHECK_PTR(ioLayers);
    if (names.size() < ioLayers->outputLayersCount)
        CV_FATAL("SwapOutputs: %zu names for %u outputs", names.size(), ioLayers->outputLayersCount);
    for (uint32_t i = 0; i < ioLayers->outputLayersCount; ++i)
        for (uint32_t j = 0; j < ioLayers->outputLayersCount; ++j)
            if (j != i && names[i] == ioLayers->outputLayers[j]->name)
                std::swap(ioLayers->outputLayers[i], ioLayers->outputLayers[j]);
}

IOLayers* _ParseLayersFromONNXJSON(std::istream& stream)
{
    corvus_json::Document doc;
    if (!corvus_json::ParseStream(stream, doc)) CV_FATAL("ONNXParser: model description is not valid JSON");
    Reader reader(doc);
    return reader.Read();
}
