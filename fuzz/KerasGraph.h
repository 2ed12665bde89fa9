// Random layer graphs as Keras descriptions, for the whole-pipeline fuzz
// target and the differential check of optimised against plain execution.
//
// A byte source drives a small grammar of layers that tracks every tensor's
// shape, so most byte strings give a description the reader accepts. The
// weights file is written for the model the description builds, with the
// values drawn from the same source.
#ifndef CORVUS_FUZZ_KERASGRAPH_H
#define CORVUS_FUZZ_KERASGRAPH_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "LayersNormalization.h"
#include "Model.h"
#include "Tensor.h"

namespace keras_graph {

// Bytes of a fuzz input or of a pseudo-random stream; zeros once used up.
class ByteSource {
public:
    ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // A value in [lo, hi].
    uint32_t Range(uint32_t lo, uint32_t hi) { return lo + Byte() % (hi - lo + 1); }
    bool Chance(uint32_t inEight) { return (Byte() & 7) < inEight; }
    size_t Left() const { return size_ - (pos_ < size_ ? pos_ : size_); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

struct Limits {
    uint32_t maxLayers;  // layers after the inputs
    uint32_t maxExtent;  // input height and width
    uint32_t maxChannels;
    // Only graphs the optimiser must accept: no zero padding before a
    // convolution or pooling that pads itself (which it refuses by design).
    bool optimisable;
};

struct Node {
    std::string name;
    std::vector<uint32_t> dims;  // without the batch
    bool isInput;
    uint32_t deps;          // bit i: depends on input i
    bool inexact;           // an optimised form of it or of a producer rounds differently
    std::string sigmoidOf;  // for a sigmoid activation: its input
};

struct Graph {
    std::string json;
    std::vector<std::string> lines;  // one readable line per layer
    // Per output: false where the optimised model may round differently
    // (see Builder::Inexact).
    std::vector<bool> exactOutputs;
};

namespace detail {

inline std::string List(const std::vector<uint32_t>& v)
{
    std::string s = "[";
    for (size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + std::to_string(v[i]);
    return s + "]";
}

inline uint32_t Product(const std::vector<uint32_t>& v)
{
    uint32_t p = 1;
    for (uint32_t d : v) p *= d;
    return p;
}

// Keras' window arithmetic; 0 when the window does not fit.
inline uint32_t Windowed(uint32_t in, uint32_t k, uint32_t s, uint32_t d, bool same)
{
    if (same) return (in + s - 1) / s;
    const uint32_t span = (k - 1) * d + 1;
    return in < span ? 0 : (in - span) / s + 1;
}

class Builder {
public:
    Builder(ByteSource& src, const Limits& limits) : src_(src), lim_(limits) {}

    Graph Build(uint32_t keepLayers)
    {
        const uint32_t inputs = src_.Chance(2) ? 2 : 1;
        for (uint32_t i = 0; i < inputs; ++i) {
            // One-channel inputs make convolutions that the optimiser turns
            // into depthwise ones (inexact): rarer in the differential.
            const std::vector<uint32_t> dims = {src_.Range(1, lim_.maxExtent), src_.Range(1, lim_.maxExtent),
                                                src_.Range(lim_.optimisable ? 2 : 1, lim_.maxChannels)};
            const std::string name = "in" + std::to_string(i);
            Emit(name, "InputLayer", "\"batch_input_shape\": [null, " + List(dims).substr(1), {}, dims, true);
        }
        const uint32_t count = src_.Range(1, lim_.maxLayers);
        for (uint32_t i = 0; i < count && i < keepLayers && src_.Left() > 0; ++i) Step();
        // The last node and up to two others are outputs.
        // Every input must reach an output: the reader refuses unused inputs.
        for (uint32_t i = 0; i < inputs; ++i) {
            bool used = false;
            for (const Node& n : nodes_) used |= !n.isInput && (n.deps & (1u << i));
            if (!used) Activation(nodes_[i], false);
        }
        std::vector<const Node*> outs = {&nodes_.back()};
        uint32_t covered = nodes_.back().deps;
        for (uint32_t k = src_.Range(0, 2); k > 0; --k) AddOutput(outs, covered, nodes_[src_.Byte() % nodes_.size()]);
        for (uint32_t i = 0; i < inputs; ++i)
            for (size_t j = nodes_.size(); j-- > 0 && !(covered & (1u << i));)
                if (nodes_[j].deps & (1u << i)) AddOutput(outs, covered, nodes_[j]);
        std::string in = "", out = "";
        for (const Node& n : nodes_)
            if (n.isInput) in += std::string(in.empty() ? "" : ", ") + "[\"" + n.name + "\", 0, 0]";
        for (const Node* n : outs) {
            out += std::string(out.empty() ? "" : ", ") + "[\"" + n->name + "\", 0, 0]";
            graph_.exactOutputs.push_back(!n->inexact);
        }
        graph_.json = "{\"class_name\": \"Model\", \"keras_version\": \"2.4.0\", \"config\": {\"name\": \"g\", "
                      "\"layers\": [" +
                      layers_ + "], \"input_layers\": [" + in + "], \"output_layers\": [" + out + "]}}";
        graph_.lines.push_back("outputs:" + out);
        return graph_;
    }

private:
    void AddOutput(std::vector<const Node*>& outs, uint32_t& covered, const Node& n)
    {
        bool seen = n.isInput;
        for (const Node* o : outs) seen |= o->name == n.name;
        if (seen) return;
        outs.push_back(&n);
        covered |= n.deps;
    }

    const Node& Pick() { return nodes_[nodes_.size() - 1 - src_.Byte() % (nodes_.size() < 4 ? nodes_.size() : 4)]; }

    const Node& Emit(const std::string& name, const std::string& cls, const std::string& config,
                     const std::vector<const Node*>& inputs, const std::vector<uint32_t>& dims, bool isInput = false)
    {
        std::string inbound;
        for (const Node* n : inputs)
            inbound += std::string(inbound.empty() ? "" : ", ") + "[\"" + n->name + "\", 0, 0, {}]";
        if (!layers_.empty()) layers_ += ", ";
        layers_ += "{\"name\": \"" + name + "\", \"class_name\": \"" + cls + "\", \"config\": {" + config +
                   "}, \"inbound_nodes\": [" + (inputs.empty() ? "" : "[" + inbound + "]") + "]}";
        std::string line = name + " " + cls + " {" + config + "} <-";
        for (const Node* n : inputs) line += " " + n->name;
        graph_.lines.push_back(line + " -> " + List(dims));
        uint32_t deps = isInput ? 1u << nodes_.size() : 0;
        bool inexact = Inexact(cls, inputs);
        for (const Node* n : inputs) deps |= n->deps, inexact |= n->inexact;
        const bool sigmoid = cls == "Activation" && config.find("sigmoid") != std::string::npos;
        nodes_.push_back(Node{name, dims, isInput, deps, inexact, sigmoid ? inputs[0]->name : ""});
        return nodes_.back();
    }

    // The optimised average poolings pool one axis after the other; the
    // optimiser folds batch normalisation into a convolution's weights and
    // x * sigmoid(x) into one tabulated activation, and runs a convolution of
    // one input channel as a depthwise one (fused multiply-adds): all round
    // differently from the plain model by design.
    static bool Inexact(const std::string& cls, const std::vector<const Node*>& inputs)
    {
        if (cls == "AveragePooling2D" || cls == "GlobalAveragePooling2D") return true;
        if (cls == "Conv2D") return inputs[0]->dims[2] == 1;
        if (cls == "BatchNormalization")
            return inputs[0]->name.compare(0, 4, "Conv") == 0 || inputs[0]->name.compare(0, 5, "Depth") == 0;
        if (cls == "Multiply")
            for (const Node* a : inputs)
                for (const Node* b : inputs)
                    if (b->sigmoidOf == a->name) return true;
        return false;
    }

    std::string NewName(const char* op) { return std::string(op) + std::to_string(nodes_.size()); }

    const char* ConvActivation()
    {
        static const char* const kNames[] = {"linear", "linear", "relu", "relu6", "sigmoid", "tanh"};
        return kNames[src_.Byte() % 6];
    }

    // A convolution, depthwise convolution or pooling window over a 4-D node.
    const Node* Windowed2D(const Node& in, const char* cls, bool paddedInput)
    {
        const bool conv = std::strcmp(cls, "Conv2D") == 0, dw = std::strcmp(cls, "DepthwiseConv2D") == 0;
        const bool pool = !conv && !dw;
        const uint32_t k = src_.Range(1, 3), s = src_.Range(1, 2);
        const uint32_t d = (pool || s > 1) ? 1 : src_.Range(1, 2);
        paddedInput |= in.name.compare(0, 7, "zeropad") == 0;
        const bool same = !(paddedInput && lim_.optimisable) && src_.Chance(4);
        const uint32_t h = Windowed(in.dims[0], k, s, d, same), w = Windowed(in.dims[1], k, s, d, same);
        if (h == 0 || w == 0) return nullptr;
        std::string cfg = "\"padding\": \"" + std::string(same ? "same" : "valid") +
                          "\", \"data_format\": \"channels_last\", \"strides\": [" + std::to_string(s) + ", " +
                          std::to_string(s) + "]";
        uint32_t c = in.dims[2];
        if (pool) {
            cfg += ", \"pool_size\": [" + std::to_string(k) + ", " + std::to_string(k) + "]";
        } else {
            cfg += ", \"kernel_size\": [" + std::to_string(k) + ", " + std::to_string(k) + "], \"dilation_rate\": [" +
                   std::to_string(d) + ", " + std::to_string(d) + "], \"activation\": \"" + ConvActivation() +
                   "\", \"use_bias\": " + (src_.Chance(6) ? "true" : "false");
            if (conv) {
                c = src_.Range(1, 2 * lim_.maxChannels);
                cfg += ", \"filters\": " + std::to_string(c);
            } else {
                const uint32_t m = src_.Range(1, 2);
                c *= m;
                cfg += ", \"depth_multiplier\": " + std::to_string(m);
            }
        }
        return &Emit(NewName(cls), cls, cfg, {&in}, {h, w, c});
    }

    // Another node of the same shape as `in` (or `in` itself).
    const Node& Partner(const Node& in)
    {
        std::vector<const Node*> same;
        for (const Node& n : nodes_)
            if (n.dims == in.dims && n.name != in.name) same.push_back(&n);
        return same.empty() || src_.Chance(1) ? in : *same[src_.Byte() % same.size()];
    }

    void Step()
    {
        const Node in = Pick();
        const std::vector<uint32_t>& d = in.dims;
        const bool image = d.size() == 3;
        switch (src_.Byte() % 16) {
        case 0:
            if (image)
                Windowed2D(in, "Conv2D", false);
            else
                Dense(in);
            break;
        case 1:
            if (image)
                Windowed2D(in, "DepthwiseConv2D", false);
            else
                Dense(in);
            break;
        case 2:
        case 3:
            if (image)
                Windowed2D(in, src_.Chance(lim_.optimisable ? 6 : 4) ? "MaxPooling2D" : "AveragePooling2D", false);
            break;
        case 4:
            BatchNorm(in);
            break;
        case 5: {
            // Convolution chain: optional padding, convolution, batch
            // normalisation, activation (the optimiser's fusion patterns).
            if (!image) break;
            const Node* x = &in;
            if (src_.Chance(4)) x = ZeroPad(*x);
            x = Windowed2D(*x, src_.Chance(5) ? "Conv2D" : "DepthwiseConv2D", x != &in);
            if (x == nullptr) break;
            if (src_.Chance(5)) x = BatchNorm(*x);
            if (src_.Chance(5)) Activation(*x, true);
            break;
        }
        case 6:
            if (image) {
                const Node* p = ZeroPad(in);
                if (src_.Chance(3)) Windowed2D(*p, src_.Chance(5) ? "Conv2D" : "MaxPooling2D", true);
            }
            break;
        case 7:
            Activation(in, false);
            break;
        case 8: {
            const Node& other = Partner(in);
            const bool mul = src_.Chance(3);
            Emit(NewName(mul ? "mul" : "add"), mul ? "Multiply" : "Add", "", {&in, &other}, d);
            break;
        }
        case 9: {
            // x * sigmoid(x)
            const std::string sig = NewName("sigmoid");
            Emit(sig, "Activation", "\"activation\": \"sigmoid\"", {&in}, d);
            const Node& s = nodes_.back();
            const bool swap = src_.Chance(4);
            Emit(NewName("swish"), "Multiply", "", {swap ? &s : &in, swap ? &in : &s}, d);
            break;
        }
        case 10:
            Concatenate(in);
            break;
        case 11:
            if (image) {
                const uint32_t f = src_.Range(1, 2);
                Emit(NewName("up"), "UpSampling2D",
                     "\"size\": [" + std::to_string(f) + ", " + std::to_string(f) +
                         "], \"data_format\": \"channels_last\"",
                     {&in}, {d[0] * f, d[1] * f, d[2]});
            }
            break;
        case 12:
            if (image && src_.Chance(4))
                Emit(NewName("gap"), "GlobalAveragePooling2D", "\"data_format\": \"channels_last\"", {&in}, {d[2]});
            else if (image)
                Emit(NewName("flatten"), "Flatten", "", {&in}, {Product(d)});
            break;
        case 13:
            Reshape(in);
            break;
        case 14:
            if (image) {
                static const uint32_t kPerms[][3] = {{2, 1, 3}, {1, 3, 2}, {3, 2, 1}};
                const uint32_t* p = kPerms[src_.Byte() % 3];
                Emit(NewName("permute"), "Permute", "\"dims\": " + List({p[0], p[1], p[2]}), {&in},
                     {d[p[0] - 1], d[p[1] - 1], d[p[2] - 1]});
            }
            break;
        default:
            if (!image)
                Dense(in);
            else
                Windowed2D(in, "Conv2D", false);
            break;
        }
    }

    void Dense(const Node& in)
    {
        static const char* const kActs[] = {"linear", "relu", "relu6", "sigmoid", "tanh", "softmax"};
        const uint32_t units = src_.Range(1, 16);
        Emit(NewName("dense"), "Dense",
             "\"units\": " + std::to_string(units) + ", \"activation\": \"" + kActs[src_.Byte() % 6] +
                 "\", \"use_bias\": " + (src_.Chance(6) ? "true" : "false"),
             {&in}, {units});
    }

    const Node* BatchNorm(const Node& in)
    {
        const bool scale = src_.Chance(6), center = src_.Chance(6);
        return &Emit(NewName("bn"), "BatchNormalization",
                     std::string("\"axis\": -1, \"epsilon\": 0.001, \"scale\": ") + (scale ? "true" : "false") +
                         ", \"center\": " + (center ? "true" : "false"),
                     {&in}, in.dims);
    }

    const Node* ZeroPad(const Node& in)
    {
        uint32_t p[4] = {src_.Range(0, 2), src_.Range(0, 2), 0, 0};
        const bool symmetric = src_.Chance(5);
        p[2] = symmetric ? p[0] : src_.Range(0, 2);
        p[3] = symmetric ? p[1] : src_.Range(0, 2);
        return &Emit(NewName("zeropad"), "ZeroPadding2D",
                     "\"padding\": [" + List({p[0], p[2]}) + ", " + List({p[1], p[3]}) +
                         "], \"data_format\": \"channels_last\"",
                     {&in}, {in.dims[0] + p[0] + p[2], in.dims[1] + p[1] + p[3], in.dims[2]});
    }

    void Activation(const Node& in, bool fusable)
    {
        static const char* const kActs[] = {"relu", "relu6", "linear", "sigmoid", "tanh", "softmax"};
        const uint32_t k = src_.Byte() % (fusable ? 3 : 6);
        if (k < 2 && src_.Chance(3)) {
            Emit(NewName("relu"), "ReLU", k == 1 ? "\"max_value\": 6.0" : "", {&in}, in.dims);
            return;
        }
        Emit(NewName("act"), "Activation", std::string("\"activation\": \"") + kActs[k] + "\"", {&in}, in.dims);
    }

    void Concatenate(const Node& in)
    {
        // Along the last axis, or for images also along height or width.
        const uint32_t rank = (uint32_t)in.dims.size();
        const uint32_t axis = rank == 1 ? 0 : src_.Byte() % rank;
        std::vector<const Node*> parts = {&in};
        std::vector<uint32_t> dims = in.dims;
        for (const Node& n : nodes_) {
            if (n.dims.size() != rank || parts.size() >= 4 || !src_.Chance(5)) continue;
            bool fits = true;
            for (uint32_t a = 0; a < rank; ++a) fits &= a == axis || n.dims[a] == in.dims[a];
            if (!fits) continue;
            parts.push_back(&n);
            dims[axis] += n.dims[axis];
        }
        if (parts.size() < 2) {
            parts.push_back(&in);
            dims[axis] += in.dims[axis];
        }
        Emit(NewName("concat"), "Concatenate", "\"axis\": " + std::to_string(axis + 1), parts, dims);
    }

    void Reshape(const Node& in)
    {
        const uint32_t n = Product(in.dims);
        std::vector<uint32_t> to;
        switch (src_.Byte() % 4) {
        case 0:
            to = {n};
            break;
        case 1:
            to = {1, 1, n};
            break;
        case 2:
            if (in.dims.size() == 3)
                to = {in.dims[0] * in.dims[1], 1, in.dims[2]};
            else
                to = {n, 1, 1};
            break;
        default:
            if (in.dims.size() == 3)
                to = {in.dims[1], in.dims[0], in.dims[2]};
            else
                to = {1, n, 1};
            break;
        }
        Emit(NewName("reshape"), "Reshape", "\"target_shape\": " + List(to), {&in}, to);
    }

    ByteSource& src_;
    Limits lim_;
    std::vector<Node> nodes_;
    std::string layers_;
    Graph graph_;
};

}  // namespace detail

// A description from the source; keepLayers cuts the graph after that many
// generated layers (for shrinking a failure to a shorter graph).
inline Graph Generate(ByteSource& src, const Limits& limits, uint32_t keepLayers = 0xFFFFFFFFu)
{
    return detail::Builder(src, limits).Build(keepLayers);
}

// Values of weights and inputs. In hostile mode a few byte values stand for
// non-finite and huge numbers.
inline float ValueOf(uint8_t b, bool hostile)
{
    if (hostile && b >= 0xFD) return b == 0xFF ? NAN : b == 0xFE ? INFINITY : -3e38f;
    return ((int)b - 128) / 128.0f;
}

// A weights file for every layer of the model with inner tensors. With
// `corrupt`, a source byte may damage it (a wrong count, a dropped entry, a
// cut) so that the loader's checks are exercised as well.
inline std::vector<uint8_t> WeightsFor(const Model* model, ByteSource& src, bool corrupt)
{
    std::vector<uint8_t> out;
    auto u32 = [&out](uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back((uint8_t)(v >> (8 * i)));
    };
    const uint8_t damage = corrupt ? src.Byte() : 0;
    std::vector<const Layer*> weighted;
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        const NNKernel* k = model->layers[i]->kernel;
        bool any = false;
        for (uint32_t j = 0; k != nullptr && j < k->innerNum; ++j) any |= k->inner[j] != nullptr;
        if (any) weighted.push_back(model->layers[i]);
    }
    if (damage == 0xF0 && !weighted.empty()) weighted.pop_back();
    u32((uint32_t)weighted.size() + (damage == 0xF1 ? 1 : 0));
    for (const Layer* l : weighted) {
        const NNKernel* k = l->kernel;
        out.insert(out.end(), l->name, l->name + std::strlen(l->name) + 1);
        std::vector<uint32_t> sizes;
        bool variance = false;
        if (l->op == OP_BatchNormalization && k->params != nullptr && k->inner[0] != nullptr) {
            const NormalizationParams* p = (const NormalizationParams*)k->params;
            const uint32_t c = GetTensorSize(k->inner[0]);
            sizes.assign((p->scale ? 1 : 0) + (p->center ? 1 : 0) + 2, c);
            variance = true;
        } else {
            for (uint32_t j = 0; j < k->innerNum; ++j)
                if (k->inner[j] != nullptr) sizes.push_back(GetTensorSize(k->inner[j]));
        }
        if (damage == 0xF2 && !sizes.empty()) sizes[0] += 1;
        u32((uint32_t)sizes.size());
        for (uint32_t s : sizes) u32(s);
        for (size_t t = 0; t < sizes.size(); ++t)
            for (uint32_t e = 0; e < sizes[t]; ++e) {
                float v = ValueOf(src.Byte(), corrupt) * 0.5f;
                // The last batch-normalisation tensor is the variance.
                if (variance && t + 1 == sizes.size() && !corrupt) v = std::fabs(v) + 0.25f;
                uint32_t bits;
                std::memcpy(&bits, &v, 4);
                u32(bits);
            }
    }
    if (damage == 0xF3) out.resize(out.size() / 2);
    return out;
}

// A fixed input for every input layer: the same values on every run.
inline std::vector<std::vector<float>> FixedInputs(const Model* model)
{
    std::vector<std::vector<float>> inputs;
    for (uint32_t i = 0; i < model->ioLayers->inputLayersCount; ++i) {
        const Tensor* t = model->ioLayers->inputLayers[i]->kernel->output[0];
        std::vector<float> v(GetTensorSize(t));
        for (size_t e = 0; e < v.size(); ++e) v[e] = (float)((e * 37 + i * 11) % 29) / 14.0f - 1.0f;
        inputs.push_back(v);
    }
    return inputs;
}

// Runs one prediction on the fixed inputs; returns every output's values.
inline std::vector<std::vector<float>> PredictFixed(Model* model)
{
    std::vector<std::vector<float>> data = FixedInputs(model);
    std::vector<ModelInput> inputs;
    std::vector<Tensor*> tensors;
    for (uint32_t i = 0; i < model->ioLayers->inputLayersCount; ++i) {
        const Tensor* shape = model->ioLayers->inputLayers[i]->kernel->output[0];
        Tensor* t = CreateTensor(DT_FLOAT32, (DataLayout)shape->layout, shape->ndim, shape->shape, false);
        t->data = data[i].data();
        tensors.push_back(t);
        inputs.push_back(ModelInput{model->ioLayers->inputLayers[i]->name, t});
    }
    Layer** outs = Predict(model, (uint32_t)inputs.size(), inputs.data());
    std::vector<std::vector<float>> results;
    for (uint32_t o = 0; o < model->ioLayers->outputLayersCount; ++o) {
        const Tensor* t = outs[o]->kernel->output[0];
        std::vector<float> v(GetTensorSize(t));
        // Outputs may be views with strides: read element by element.
        for (size_t e = 0; e < v.size(); ++e) {
            size_t offset = 0, rest = e;
            for (int a = (int)t->ndim - 1; a >= 0; --a) {
                offset += (rest % t->shape.dimension[a]) * t->stride.dimension[a];
                rest /= t->shape.dimension[a];
            }
            v[e] = ((const float*)t->data)[offset];
        }
        results.push_back(v);
    }
    for (Tensor* t : tensors) {
        t->data = nullptr;
        DestroyTensor(t);
    }
    return results;
}

}  // namespace keras_graph

#endif
