// Reference LSTM: the shared time step and the ONNX and Keras variants.
#define CORVUS_MODULE "LSTM_ref"
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "LayersActivation.h"
#include "LayersRecurrent.h"
#include "Report.h"
#include "common/Float32Temps.h"
#include "VectorLevel.h"

using corvus::Float32Operand;

// Compiled once per instruction-set level (see VectorLevel.h).
namespace CORVUS_LEVEL_NS CORVUS_LEVEL_HIDDEN {

namespace {

// A dense float32 matrix view of rows x cols values.
Tensor View(float* data, uint32_t rows, uint32_t cols)
{
    Tensor t;
    memset(&t, 0, sizeof(t));
    t.data = data;
    t.dtype = DT_FLOAT32;
    t.layout = DL_NONE;
    t.ndim = 2;
    t.shape.dimension[0] = rows;
    t.shape.dimension[1] = cols;
    t.stride.dimension[0] = cols;
    t.stride.dimension[1] = 1;
    return t;
}

void Activate(float* data, uint32_t count, uint32_t type)
{
    // Dense views select the exact float32 paths of the activation kernel.
    Tensor v = View(data, 1, count);
    const ActivationParams a = {type, 0.0f};
    Activation_fl32_ref(&v, &v, &a);
}

// Dense float32 matrix of exactly rows x cols values (any rank).
const float* Matrix(const Tensor* t, uint64_t count, const char* what)
{
    if (t == nullptr) CV_FATAL("LSTM: %s tensor is null", what);
    if (t->dtype != DT_FLOAT32 || !IsSerialData(t) || GetTensorSize(t) != count)
        CV_FATAL("LSTM: %s must be a dense float32 tensor of %llu values", what, (unsigned long long)count);
    if (t->data == nullptr && count != 0) CV_FATAL("LSTM: %s tensor has no data", what);
    return (const float*)t->data;
}

// g[j] (j < n) = sum over k of a[k] * m[k][j], fused multiply-adds in k order
// starting from 0.
void RowTimesMatrix(float* g, const float* a, uint32_t kCount, const float* m, uint32_t n)
{
    for (uint32_t j = 0; j < n; ++j) g[j] = 0.0f;
    for (uint32_t k = 0; k < kCount; ++k) {
        const float v = a[k];
        const float* mk = m + (uint64_t)k * n;
        for (uint32_t j = 0; j < n; ++j) g[j] = fmaf(mk[j], v, g[j]);
    }
}

// Copies a tensor of `count` elements, row-major through its strides, into dst.
void Gather(float* dst, const Tensor* t, uint64_t count, const char* what)
{
    if (t == nullptr || t->dtype != DT_FLOAT32 || GetTensorSize(t) != count || t->ndim > MAX_NDIM_VALUE)
        CV_FATAL("LSTM: %s must be a float32 tensor of %llu values", what, (unsigned long long)count);
    if (count == 0) return;
    if (t->data == nullptr) CV_FATAL("LSTM: %s tensor has no data", what);
    const float* src = (const float*)t->data;
    if (IsSerialData(t)) {
        memcpy(dst, src, count * sizeof(float));
        return;
    }
    uint32_t idx[MAX_NDIM_VALUE] = {0};
    for (uint64_t e = 0; e < count; ++e) {
        uint64_t off = 0;
        for (uint32_t k = 0; k < t->ndim; ++k) off += (uint64_t)idx[k] * t->stride.dimension[k];
        dst[e] = src[off];
        for (int k = (int)t->ndim - 1; k >= 0; --k) {
            if (++idx[k] < t->shape.dimension[k]) break;
            idx[k] = 0;
        }
    }
}

// Where one output receives rows of H values: element (t, b, j) of the
// step/batch/unit grid is at t * step + b * row + j * unit.
struct Placement {
    float* data;
    int64_t step, row, unit;
};

// The output must have exactly the shape `dims`.
Placement Place(Tensor* out, std::initializer_list<uint32_t> dims, int stepDim, int rowDim, int unitDim,
                const char* what)
{
    bool same = out != nullptr && out->dtype == DT_FLOAT32 && out->ndim == dims.size();
    uint64_t count = 1, k = 0;
    for (uint32_t d : dims) {
        same = same && out->shape.dimension[k++] == d;
        count *= d;
    }
    if (!same) CV_FATAL("LSTM: %s output must be a float32 tensor of the layer's output shape", what);
    if (out->data == nullptr && count != 0) CV_FATAL("LSTM: %s output has no data", what);
    auto stride = [out](int d) { return d < 0 ? (int64_t)0 : (int64_t)out->stride.dimension[d]; };
    return Placement{(float*)out->data, stride(stepDim), stride(rowDim), stride(unitDim)};
}

void Write(const Placement& p, uint32_t t, const float* rows, uint32_t B, uint32_t H)
{
    for (uint32_t b = 0; b < B; ++b) {
        float* dst = p.data + (int64_t)t * p.step + (int64_t)b * p.row;
        const float* src = rows + (uint64_t)b * H;
        for (uint32_t j = 0; j < H; ++j) dst[(int64_t)j * p.unit] = src[j];
    }
}

// One forward pass over step-major data.
struct Pass {
    uint32_t B, T, I, H;
    const float* xs;  // [T, B, I] dense
    std::vector<float> xcopy;
    Tensor W, R, bias;
    bool hasBias;
    std::vector<float> h, c, work;

    // perStep(t) runs after step t has updated h and c.
    template <class F> void Run(F&& perStep)
    {
        Tensor hv = View(h.data(), B, H), cv = View(c.data(), B, H);
        Tensor wv = View(work.data(), B, 8 * H);
        for (uint32_t t = 0; t < T; ++t) {
            const Tensor x = View(const_cast<float*>(xs) + (uint64_t)t * B * I, B, I);
            LSTMCell(&x, &W, &R, hasBias ? &bias : nullptr, &hv, &cv, &wv);
            perStep(t);
        }
    }
};

// What both variants share: the sequence in step order, the weights and
// the initial states.
void PreparePass(Pass& p, Tensor* const* inputs, uint32_t inputsNum, Tensor* const* inner, uint32_t innerNum,
                 const LSTMParams* params)
{
    if (params->direction == LSTM_DIRECTION_BIDIRECTIONAL || params->numDirections != 1)
        CV_FATAL("LSTM: Bidirectional mode is not supported");
    if (inputsNum < 1 || inputs == nullptr || inputs[0] == nullptr) CV_FATAL("LSTM: no input tensor");
    const Tensor* X = inputs[0];
    if (X->ndim != 3) CV_FATAL("LSTM: the input must have 3 dimensions, it has %u", X->ndim);
    if (X->dtype != DT_FLOAT32) CV_FATAL("LSTM: the input must be float32");
    p.B = params->batch;
    p.T = params->seqLength;
    p.I = params->inputSize;
    p.H = params->hiddenSize;
    const uint32_t bDim = params->batchMajor ? 0 : 1, tDim = params->batchMajor ? 1 : 0;
    if (X->shape.dimension[bDim] != p.B || X->shape.dimension[tDim] != p.T || X->shape.dimension[2] != p.I)
        CV_FATAL("LSTM: the input shape does not match the layer's batch, sequence and input sizes");
    const uint64_t G = 4ull * p.H;

    if (innerNum < 2 || inner == nullptr) CV_FATAL("LSTM: the layer needs its weight tensors");
    p.W = View(const_cast<float*>(Matrix(inner[0], (uint64_t)p.I * G, "input weights")), p.I, (uint32_t)G);
    p.R = View(const_cast<float*>(Matrix(inner[1], (uint64_t)p.H * G, "recurrent weights")), p.H, (uint32_t)G);
    p.hasBias = params->hasBias && innerNum > 2 && inner[2] != nullptr;
    if (p.hasBias) p.bias = View(const_cast<float*>(Matrix(inner[2], G, "bias")), 1, (uint32_t)G);

    // Batch-major (or strided) input is transposed into step-major order.
    const uint64_t xCount = (uint64_t)p.T * p.B * p.I;
    if (xCount != 0 && X->data == nullptr) CV_FATAL("LSTM: input tensor has no data");
    if (!params->batchMajor && IsSerialData(X)) {
        p.xs = (const float*)X->data;
    } else {
        p.xcopy.resize(xCount);
        const float* src = (const float*)X->data;
        const int64_t sb = X->stride.dimension[bDim], st = X->stride.dimension[tDim], sk = X->stride.dimension[2];
        float* dst = p.xcopy.data();
        for (uint32_t t = 0; t < p.T; ++t)
            for (uint32_t b = 0; b < p.B; ++b)
                for (uint32_t k = 0; k < p.I; ++k) *dst++ = src[(int64_t)b * sb + (int64_t)t * st + (int64_t)k * sk];
        p.xs = p.xcopy.data();
    }

    p.h.assign((uint64_t)p.B * p.H, 0.0f);
    p.c.assign((uint64_t)p.B * p.H, 0.0f);
    p.work.assign(2 * (uint64_t)p.B * G, 0.0f);
    if (params->hasInitialH) {
        if (inputsNum < 2) CV_FATAL("LSTM: the initial hidden state input is missing");
        Gather(p.h.data(), inputs[1], p.h.size(), "initial hidden state");
    }
    if (params->hasInitialC) {
        if (inputsNum < 3) CV_FATAL("LSTM: the initial cell state input is missing");
        Gather(p.c.data(), inputs[2], p.c.size(), "initial cell state");
    }
}

// Y gets h after every step (sequence-major [T, 1, B, H] or batch-major
// [B, T, 1, H]); Y_h and Y_c [1, B, H] get the final states.
void LSTM_ONNX_ref(Tensor* const* outputs, uint32_t outputsNum, Pass& p, const LSTMParams* params)
{
    const uint32_t count = params->numOutputs;
    if (count < 1 || count > 3 || outputsNum < count || outputs == nullptr)
        CV_FATAL("LSTM: the layer needs %u outputs", count);
    const Placement y = params->batchMajor ? Place(outputs[0], {p.B, p.T, 1, p.H}, 1, 0, 3, "Y")
                                           : Place(outputs[0], {p.T, 1, p.B, p.H}, 0, 2, 3, "Y");
    p.Run([&](uint32_t t) { Write(y, t, p.h.data(), p.B, p.H); });
    if (count > 1) Write(Place(outputs[1], {1, p.B, p.H}, -1, 1, 2, "Y_h"), 0, p.h.data(), p.B, p.H);
    if (count > 2) Write(Place(outputs[2], {1, p.B, p.H}, -1, 1, 2, "Y_c"), 0, p.c.data(), p.B, p.H);
}

// [B, T, H] with every step's h when returning sequences, else [B, H] with
// the final h.
void LSTM_Keras_ref(Tensor* const* outputs, uint32_t outputsNum, Pass& p, const LSTMParams* params)
{
    if (outputsNum < 1 || outputs == nullptr) CV_FATAL("LSTM: the layer needs 1 output");
    if (params->sequenceFlag) {
        const Placement y = Place(outputs[0], {p.B, p.T, p.H}, 1, 0, 2, "sequence");
        p.Run([&](uint32_t t) { Write(y, t, p.h.data(), p.B, p.H); });
    } else {
        const Placement y = Place(outputs[0], {p.B, p.H}, -1, 0, 1, "state");
        p.Run([](uint32_t) {});
        Write(y, 0, p.h.data(), p.B, p.H);
    }
}

}  // namespace

void LSTMCell(const Tensor* x, const Tensor* W, const Tensor* R, const Tensor* B, Tensor* h, Tensor* c, Tensor* work)
{
    if (x == nullptr || W == nullptr || R == nullptr || h == nullptr || c == nullptr || work == nullptr)
        CV_FATAL("LSTMCell: tensor pointer is null");
    if (x->ndim != 2 || h->ndim != 2) CV_FATAL("LSTMCell: x and h must be matrices");
    const uint32_t batch = h->shape.dimension[0], H = h->shape.dimension[1], I = x->shape.dimension[1];
    const uint64_t G = 4ull * H;
    // Float32 rows; all but x dense.
    auto is = [](const Tensor* t, uint64_t rows, uint64_t cols, bool dense) {
        return t->dtype == DT_FLOAT32 && t->ndim == 2 && t->shape.dimension[0] == rows &&
               t->shape.dimension[1] == cols && t->stride.dimension[1] == 1 && (!dense || IsSerialData(t));
    };
    if (!is(x, batch, I, false) || !is(W, I, G, true) || !is(R, H, G, true) || !is(h, batch, H, true) ||
        !is(c, batch, H, true) ||
        (B != nullptr && (B->dtype != DT_FLOAT32 || !IsSerialData(B) || GetTensorSize(B) != G)) ||
        work->dtype != DT_FLOAT32 || !IsSerialData(work) || GetTensorSize(work) < 2 * batch * G)
        CV_FATAL("LSTMCell: tensor shapes do not match");
    const float* xd = (const float*)x->data;
    const float* Wd = (const float*)W->data;
    const float* Rd = (const float*)R->data;
    const float* Bd = B != nullptr ? (const float*)B->data : nullptr;
    float* hd = (float*)h->data;
    float* cd = (float*)c->data;
    float* gates = (float*)work->data;
    float* recurrent = gates + (uint64_t)batch * G;

    for (uint32_t b = 0; b < batch; ++b) {
        float* g = gates + (uint64_t)b * G;
        float* r = recurrent + (uint64_t)b * G;
        // x.W and h.R as two products, then their sum, then the bias.
        RowTimesMatrix(g, xd + (uint64_t)b * x->stride.dimension[0], I, Wd, G);
        RowTimesMatrix(r, hd + (uint64_t)b * H, H, Rd, G);
        for (uint32_t j = 0; j < G; ++j) g[j] = g[j] + r[j];
        if (Bd != nullptr)
            for (uint32_t j = 0; j < G; ++j) g[j] = g[j] + Bd[j];
    }
    for (uint32_t b = 0; b < batch; ++b) {
        float* g = gates + (uint64_t)b * G;
        float* i = g;
        float* f = g + H;
        float* cand = g + 2 * H;
        float* o = g + 3 * H;
        Activate(i, 2 * H, Sigmoid);  // input and forget gates are adjacent
        Activate(cand, H, Tanh);
        Activate(o, H, Sigmoid);
        float* cr = cd + (uint64_t)b * H;
        float* hr = hd + (uint64_t)b * H;
        for (uint32_t j = 0; j < H; ++j) cr[j] = f[j] * cr[j] + i[j] * cand[j];
        // The candidate block is free now: it takes tanh(c).
        for (uint32_t j = 0; j < H; ++j) cand[j] = cr[j];
        Activate(cand, H, Tanh);
        for (uint32_t j = 0; j < H; ++j) hr[j] = o[j] * cand[j];
    }
}

void LSTM_ref(Tensor* const* outputs, uint32_t outputsNum, Tensor* const* inputs, uint32_t inputsNum,
              Tensor* const* inner, uint32_t innerNum, const LSTMParams* params)
{
    if (params == nullptr) CV_FATAL("params==NULL, expected not NULL value");
    if (params->parserType != LSTM_PARSER_ONNX && params->parserType != LSTM_PARSER_KERAS)
        CV_FATAL("LSTM: Unknown parser type: %i\n", (int)params->parserType);
    Pass pass;
    PreparePass(pass, inputs, inputsNum, inner, innerNum, params);
    if (params->parserType == LSTM_PARSER_ONNX)
        LSTM_ONNX_ref(outputs, outputsNum, pass, params);
    else
        LSTM_Keras_ref(outputs, outputsNum, pass, params);
}

void Execute_LSTM_ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function LSTM: Kernel pointer is null");
    if (kernel->params == nullptr) CV_FATAL("params==NULL, expected not NULL value");
    // Half-precision operands run through float32 temporaries.
    std::vector<std::unique_ptr<Float32Operand>> ins, inners, outs;
    std::vector<Tensor*> in, inn, out;
    for (uint32_t j = 0; j < kernel->inputsNum; ++j) {
        ins.emplace_back(new Float32Operand(kernel->input[j], true));
        in.push_back(ins.back()->get());
    }
    for (uint32_t k = 0; k < kernel->innerNum; ++k) {
        inners.emplace_back(new Float32Operand(kernel->inner[k], true));
        inn.push_back(inners.back()->get());
    }
    for (uint32_t j = 0; j < kernel->outputsNum; ++j) {
        outs.emplace_back(new Float32Operand(kernel->output[j], false));
        out.push_back(outs.back()->get());
    }
    CORVUS_LEVEL_NS::LSTM_ref(out.data(), (uint32_t)out.size(), in.data(), (uint32_t)in.size(), inn.data(),
                              (uint32_t)inn.size(), (const LSTMParams*)kernel->params);
    for (uint32_t j = 0; j < kernel->outputsNum; ++j) outs[j]->Store(kernel->output[j]);
}

}  // namespace CORVUS_LEVEL_HIDDEN

#if CORVUS_VECTOR_LEVEL == 0

CORVUS_LEVEL_DISPATCH(void, LSTMCell,
                      (const Tensor* x, const Tensor* W, const Tensor* R, const Tensor* B, Tensor* h, Tensor* c,
                       Tensor* work),
                      (x, W, R, B, h, c, work))
CORVUS_LEVEL_DISPATCH(void, LSTM_ref,
                      (Tensor* const* outputs, uint32_t outputsNum, Tensor* const* inputs, uint32_t inputsNum,
                       Tensor* const* inner, uint32_t innerNum, const LSTMParams* params),
                      (outputs, outputsNum, inputs, inputsNum, inner, innerNum, params))
CORVUS_LEVEL_DISPATCH(void, Execute_LSTM_ref, (NNKernel * kernel), (kernel))

extern "C" const NNKernelFn nn_kernel_fn_LSTM_ref = {Execute_LSTM_ref, nullptr, nullptr, nullptr};

#endif
