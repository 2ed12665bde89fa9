// LSTM and PostLSTM constructors, and hand-built LSTM models of both
// variants checked against a step-by-step double-precision LSTM.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "LayersRecurrent.h"
#include "Model.h"
#include "ModelWeights.h"
#include "nn_kernel_list.h"
#include "normalization_util.h"
#include "test_util.h"

using namespace norm_test;
using U = std::vector<uint32_t>;

namespace {

Layer* Input(const char* name, std::initializer_list<uint32_t> dims, DataType dt = DT_FLOAT32)
{
    Tensor* t = Described(dims, DL_NONE, dt);
    Layer* layer = AddInputLayer(name, t);
    DestroyTensor(t);
    return layer;
}

// A constant layer (initializer) whose values come from the weights file.
Layer* Constant(const char* name, std::initializer_list<uint32_t> dims)
{
    Layer* layer = CreateLayer(name, OP_Initializer, nullptr, nullptr, 0, 0);
    layer->kernel->output[0] = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)dims.size(), Shape(dims), true);
    layer->staticOutput = true;
    return layer;
}

LSTMParams Record(uint32_t parser, uint32_t H, bool batchMajor, bool bias, bool seqFlag, uint32_t inputs,
                  uint32_t outputs)
{
    LSTMParams p = {};
    p.parserType = parser;
    p.hiddenSize = H;
    p.batchMajor = batchMajor;
    p.hasBias = bias;
    p.sequenceFlag = seqFlag;
    p.hasInitialH = inputs >= 2;
    p.hasInitialC = inputs >= 3;
    p.numInputs = inputs;
    p.numInner = parser == LSTM_PARSER_ONNX && seqFlag ? 4 : (bias ? 3 : 2);
    p.numOutputs = outputs;
    return p;
}

// The LSTM from its gate equations, in double precision, on step-major
// x[t][b][k]; gate blocks i, f, g, o.
struct Reference {
    std::vector<double> steps;  // h after every step, [T][B][H]
    std::vector<double> h, c;   // final states, [B][H]
    Reference(const std::vector<float>& x, uint32_t T, uint32_t B, uint32_t I, uint32_t H,
              const std::vector<float>& W, const std::vector<float>& R, const std::vector<float>& bias,
              const std::vector<float>& h0, const std::vector<float>& c0)
        : h(B * H, 0.0), c(B * H, 0.0)
    {
        if (!h0.empty()) h.assign(h0.begin(), h0.end());
        if (!c0.empty()) c.assign(c0.begin(), c0.end());
        auto sigm = [](double v) { return 1.0 / (1.0 + std::exp(-v)); };
        for (uint32_t t = 0; t < T; ++t) {
            std::vector<double> hn(B * H);
            for (uint32_t b = 0; b < B; ++b)
                for (uint32_t j = 0; j < H; ++j) {
                    double g[4];
                    for (uint32_t q = 0; q < 4; ++q) {
                        const uint32_t col = q * H + j;
                        g[q] = bias.empty() ? 0.0 : bias[col];
                        for (uint32_t k = 0; k < I; ++k) g[q] += x[(t * B + b) * I + k] * (double)W[k * 4 * H + col];
                        for (uint32_t k = 0; k < H; ++k) g[q] += h[b * H + k] * (double)R[k * 4 * H + col];
                    }
                    double& cell = c[b * H + j];
                    cell = sigm(g[1]) * cell + sigm(g[0]) * std::tanh(g[2]);
                    hn[b * H + j] = sigm(g[3]) * std::tanh(cell);
                }
            h = hn;
            steps.insert(steps.end(), h.begin(), h.end());
        }
    }
};

void CopyInput(NNKernel* k) { CopyTensorData(k->input[0], k->output[0]); }
const NNKernelFn kCopyFn = {CopyInput, nullptr, nullptr, nullptr};

// PostLSTM layers run the library's default kernel when it has one.
void GivePostLSTMKernel(Layer* post)
{
    if (nn_kernel_fn_list_default[OP_PostLSTM] == nullptr) post->kernel->fn = &kCopyFn;
}

std::vector<float> RandomValues(std::mt19937& rng, size_t n, float lo, float hi, bool half = false)
{
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float& f : v) f = half ? Half(dist(rng)) : dist(rng);
    return v;
}

// Element (t, b, j) of a [T, B, H] grid as laid out in an output with the
// given dimension order (-1: absent).
float Pick(const Tensor* t, bool half, int tDim, int bDim, int jDim, uint32_t ti, uint32_t bi, uint32_t j)
{
    uint64_t off = (uint64_t)bi * t->stride.dimension[bDim] + (uint64_t)j * t->stride.dimension[jDim];
    if (tDim >= 0) off += (uint64_t)ti * t->stride.dimension[tDim];
    if (!half) return ((const float*)t->data)[off];
    float f;
    float16_to_float32((const uint16_t*)t->data + off, &f, 1);
    return f;
}

struct Case {
    bool onnx, batchMajor, bias, states, returnSeq;
    uint32_t outputs;  // ONNX: 1 or 3
    std::string Name() const
    {
        return std::string(onnx ? "onnx" : "keras") + (batchMajor ? " batch-major" : " step-major") +
               (bias ? " bias" : "") + (states ? " states" : "") + (returnSeq ? " sequences" : "") + " outputs " +
               std::to_string(outputs);
    }
};

// Builds, loads, runs and checks one LSTM model.
void RunCase(const Case& c, std::mt19937& rng)
{
    SCOPED_TRACE(c.Name());
    const uint32_t T = 5, B = 2, I = 3, H = c.onnx ? 4 : 8;
    Layer* x = c.batchMajor ? Input("x", {B, T, I}) : Input("x", {T, B, I});
    std::vector<Layer*> ins = {x};
    const std::vector<float> h0 = RandomValues(rng, B * H, -1, 1), c0 = RandomValues(rng, B * H, -1, 1);
    if (c.states) {
        // ONNX states are initializers from the weights file; Keras states are model inputs.
        ins.push_back(c.onnx ? Constant("h0", {1, B, H}) : Input("h0", {B, H}));
        ins.push_back(c.onnx ? Constant("c0", {1, B, H}) : Input("c0", {B, H}));
    }
    LSTMParams p = Record(c.onnx ? LSTM_PARSER_ONNX : LSTM_PARSER_KERAS, H, c.batchMajor, c.bias, c.returnSeq,
                          (uint32_t)ins.size(), c.onnx ? c.outputs : 1);
    Layer* lstm = AddLSTMLayer(ins.data(), nullptr, &p, "lstm");
    std::vector<Layer*> outs = {lstm};
    if (c.onnx && c.outputs > 1) {
        outs.clear();
        for (uint32_t m = 0; m < c.outputs; ++m) {
            outs.push_back(AddPostLSTMLayer(lstm, nullptr, ("post" + std::to_string(m)).c_str(), m));
            GivePostLSTMKernel(outs.back());
        }
    }
    Model* model = CreateModel(outs.data(), (uint32_t)outs.size());

    const std::vector<float> W = RandomValues(rng, I * 4 * H, -0.8f, 0.8f), R = RandomValues(rng, H * 4 * H, -0.8f, 0.8f);
    const std::vector<float> bias = c.bias ? RandomValues(rng, 4 * H, -0.5f, 0.5f) : std::vector<float>();
    const bool constStates = c.onnx && c.states;
    LoadModelWeights(model, WeightsFile()
                                .Entry("lstm", {W, R, bias, {}, constStates ? h0 : std::vector<float>(),
                                                constStates ? c0 : std::vector<float>()})
                                .Write("lstm_case")
                                .c_str());
    InitModel(model, 1);

    const std::vector<float> xs = RandomValues(rng, T * B * I, -1.5f, 1.5f);  // step-major
    Tensor* feed = c.batchMajor ? Described({B, T, I}) : Described({T, B, I});
    AllocTensorData(feed);
    for (uint32_t t = 0; t < T; ++t)
        for (uint32_t b = 0; b < B; ++b)
            for (uint32_t k = 0; k < I; ++k)
                ((float*)feed->data)[c.batchMajor ? (b * T + t) * I + k : (t * B + b) * I + k] = xs[(t * B + b) * I + k];
    std::vector<ModelInput> inputs = {{"x", feed}};
    Tensor* hFeed = FromValues({B, H}, h0);
    Tensor* cFeed = FromValues({B, H}, c0);
    if (c.states && !c.onnx) {
        inputs.push_back({"h0", hFeed});
        inputs.push_back({"c0", cFeed});
    }
    Predict(model, (uint32_t)inputs.size(), inputs.data());

    const Reference ref(xs, T, B, I, H, W, R, bias, c.states ? h0 : std::vector<float>(),
                        c.states ? c0 : std::vector<float>());
    auto near = [](float got, double want) { EXPECT_NEAR(got, want, 2e-5 * (1 + std::fabs(want))); };
    const Tensor* y = outs[0]->kernel->output[0];
    if (c.onnx) {
        EXPECT_EQ(Dims(y), c.batchMajor ? (U{B, T, 1, H}) : (U{T, 1, B, H}));
        for (uint32_t t = 0; t < T; ++t)
            for (uint32_t b = 0; b < B; ++b)
                for (uint32_t j = 0; j < H; ++j)
                    near(c.batchMajor ? Pick(y, false, 1, 0, 3, t, b, j) : Pick(y, false, 0, 2, 3, t, b, j),
                         ref.steps[(t * B + b) * H + j]);
        for (uint32_t m = 1; m < c.outputs; ++m) {
            const Tensor* s = outs[m]->kernel->output[0];
            EXPECT_EQ(Dims(s), (U{1, B, H}));
            for (uint32_t b = 0; b < B; ++b)
                for (uint32_t j = 0; j < H; ++j) {
                    near(Pick(s, false, -1, 1, 2, 0, b, j), (m == 1 ? ref.h : ref.c)[b * H + j]);
                    // Y at the last step is Y_h.
                    if (m == 1) {
                        const float last = c.batchMajor ? Pick(y, false, 1, 0, 3, T - 1, b, j)
                                                        : Pick(y, false, 0, 2, 3, T - 1, b, j);
                        EXPECT_EQ(Pick(s, false, -1, 1, 2, 0, b, j), last);
                    }
                }
        }
    } else if (c.returnSeq) {
        EXPECT_EQ(Dims(y), (U{B, T, H}));
        for (uint32_t t = 0; t < T; ++t)
            for (uint32_t b = 0; b < B; ++b)
                for (uint32_t j = 0; j < H; ++j) near(Pick(y, false, 1, 0, 2, t, b, j), ref.steps[(t * B + b) * H + j]);
    } else {
        EXPECT_EQ(Dims(y), (U{B, H}));  // the hidden state after the last step
        for (uint32_t b = 0; b < B; ++b)
            for (uint32_t j = 0; j < H; ++j) near(Pick(y, false, -1, 0, 1, 0, b, j), ref.h[b * H + j]);
    }
    for (Tensor* t : {feed, hFeed, cFeed}) DestroyTensor(t);
    DestroyModel(model);
}

}  // namespace

TEST(LayersRecurrent, ConstructorsShapeOutputsInnersAndRecords)
{
    // ONNX, step-major [5, 2, 3], bias, sequence lengths, three outputs.
    Layer* x = Input("x", {5, 2, 3});
    LSTMParams p = Record(LSTM_PARSER_ONNX, 4, false, true, true, 1, 3);
    p.outputIndex = 7;
    Layer* onnx = AddLSTMLayer(&x, nullptr, &p, "onnx");
    EXPECT_EQ(onnx->op, (uint32_t)OP_LSTM);
    const LSTMParams* q = (const LSTMParams*)onnx->kernel->params;
    EXPECT_NE(q, &p);  // the layer keeps its own record
    EXPECT_EQ((U{q->batch, q->seqLength, q->inputSize, q->numDirections, q->outputIndex}), (U{2, 5, 3, 1, 7}));
    NNKernel* k = onnx->kernel;
    ASSERT_EQ(k->innerNum, 4u);
    const U innerDims[4] = {{1, 3, 16}, {1, 4, 16}, {1, 16}, {2}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Dims(k->inner[i]), innerDims[i]);
        EXPECT_EQ(k->inner[i]->layout, (uint32_t)DL_NONE);
        EXPECT_EQ(k->inner[i]->data, nullptr);
    }
    ASSERT_EQ(k->outputsNum, 3u);
    EXPECT_EQ(Dims(k->output[0]), (U{5, 1, 2, 4}));
    EXPECT_EQ(Dims(k->output[1]), (U{1, 2, 4}));
    EXPECT_EQ(Dims(k->output[2]), (U{1, 2, 4}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(k->output[i]->data, nullptr);

    // PostLSTM exposes output 2 with its shape and type.
    Layer* post = AddPostLSTMLayer(onnx, nullptr, nullptr, 2);
    EXPECT_EQ(post->op, (uint32_t)OP_PostLSTM);
    EXPECT_EQ(std::string(post->name).rfind("PostLSTM", 0), 0u);
    EXPECT_EQ(Dims(post->kernel->input[0]), (U{1, 2, 4}));
    EXPECT_EQ(Dims(post->kernel->output[0]), (U{1, 2, 4}));
    EXPECT_EQ(onnx->consumerLayers[0], post);

    // ONNX batch-major without bias: Y is [batch, sequence, D, H], no bias slot.
    Layer* xb = Input("xb", {2, 5, 3});
    p = Record(LSTM_PARSER_ONNX, 4, true, false, false, 1, 1);
    Layer* onnxB = AddLSTMLayer(&xb, nullptr, &p, "onnxB");
    EXPECT_EQ(onnxB->kernel->innerNum, 2u);
    EXPECT_EQ(onnxB->kernel->outputsNum, 1u);
    EXPECT_EQ(Dims(onnxB->kernel->output[0]), (U{2, 5, 1, 4}));

    // Keras from tensors, with initial states, returning sequences or not.
    Tensor* ts[3] = {Described({2, 5, 3}, DL_NONE, DT_FLOAT16), Described({2, 8}), Described({2, 8})};
    p = Record(LSTM_PARSER_KERAS, 8, true, true, true, 3, 1);
    Layer* keras = AddLSTMLayer(nullptr, ts, &p, nullptr);
    EXPECT_EQ(std::string(keras->name).rfind("LSTM", 0), 0u);
    EXPECT_EQ(Dims(keras->kernel->inner[0]), (U{3, 32}));
    EXPECT_EQ(Dims(keras->kernel->inner[1]), (U{8, 32}));
    EXPECT_EQ(Dims(keras->kernel->inner[2]), (U{32}));
    EXPECT_EQ(keras->kernel->inner[2]->dtype, (uint32_t)DT_FLOAT16);
    EXPECT_EQ(Dims(keras->kernel->output[0]), (U{2, 5, 8}));
    EXPECT_NE(keras->kernel->output[0]->data, nullptr);
    Tensor* one = Described({2, 5, 3});
    p = Record(LSTM_PARSER_KERAS, 8, true, false, false, 1, 1);
    Layer* last = AddLSTMKerasLayer(nullptr, &one, &p, "last");
    EXPECT_EQ(Dims(last->kernel->output[0]), (U{2, 8}));
    for (Layer* l : {post, onnx, x, onnxB, xb, keras, last}) DestroyLayer(l);
}

TEST(LayersRecurrent, ConstructorChecksEndTheProcess)
{
    auto make = [](uint32_t parser, std::initializer_list<uint32_t> dims, uint32_t inputs = 1) {
        LSTMParams p = Record(parser, 4, false, false, false, inputs, 1);
        Tensor* ts[2] = {Described(dims), Described({3, 4})};
        AddLSTMLayer(nullptr, ts, &p, "l");
    };
    corvus_test::ExpectFatal(
        "Layers",
        {{[&] { make(LSTM_PARSER_ONNX, {5, 3}); },
          "AddLSTMONNXLayer: Input tensor dimensions number must equal 3.Current dimensions number: 2\n"},
         {[&] { make(LSTM_PARSER_KERAS, {1, 5, 2, 3}); },
          "LSTM KERAS: input tensor dimensions number must equal 3.Current dimensions number: 4\n"},
         {[&] { make(5, {5, 2, 3}); }, "LSTM: Unknown parser type: 5\n"},
         {[] { AddLSTMLayer(nullptr, nullptr, nullptr, "l"); }, "params==NULL, expected not NULL value"},
         {[&] { make(LSTM_PARSER_KERAS, {5, 2, 3}, 2); }, "LSTM: initial hidden state must hold 8 values, it holds 12"}});
}

TEST(LayersRecurrent, HandBuiltModelsMatchAStepByStepLSTM)
{
    std::mt19937 rng(11);
    for (bool bias : {false, true})
        for (bool states : {false, true}) {
            RunCase({true, false, bias, states, false, 3}, rng);
            RunCase({true, true, bias, states, false, 1}, rng);
            RunCase({false, true, bias, states, false, 1}, rng);
            RunCase({false, true, bias, states, true, 1}, rng);
        }
    // Keras time-major input: the whole sequence still comes out [batch, sequence, H].
    RunCase({false, false, true, false, true, 1}, rng);
}

TEST(LayersRecurrent, HalfPrecisionModel)
{
    std::mt19937 rng(12);
    const uint32_t T = 4, B = 3, I = 2, H = 3;
    Layer* ins[3] = {Input("x", {B, T, I}, DT_FLOAT16), Input("h0", {B, H}, DT_FLOAT16),
                     Input("c0", {B, H}, DT_FLOAT16)};
    LSTMParams p = Record(LSTM_PARSER_KERAS, H, true, true, true, 3, 1);
    Layer* lstm = AddLSTMLayer(ins, nullptr, &p, "lstm");
    Model* model = CreateModel(&lstm, 1);
    InitModel(model, 1);
    const std::vector<float> W = RandomValues(rng, I * 4 * H, -1, 1, true), R = RandomValues(rng, H * 4 * H, -1, 1, true),
                             bias = RandomValues(rng, 4 * H, -0.5f, 0.5f, true);
    const std::vector<float>* inner[3] = {&W, &R, &bias};
    for (int k = 0; k < 3; ++k)
        float32_to_float16(inner[k]->data(), (uint16_t*)lstm->kernel->inner[k]->data, (uint32_t)inner[k]->size());
    const std::vector<float> xb = RandomValues(rng, B * T * I, -1, 1, true);  // batch-major
    const std::vector<float> h0 = RandomValues(rng, B * H, -1, 1, true), c0 = RandomValues(rng, B * H, -1, 1, true);
    Tensor* feeds[3] = {FromValues({B, T, I}, xb), FromValues({B, H}, h0), FromValues({B, H}, c0)};
    Tensor* halves[3];
    for (int i = 0; i < 3; ++i) halves[i] = ToHalf(feeds[i]);
    const ModelInput inputs[3] = {{"x", halves[0]}, {"h0", halves[1]}, {"c0", halves[2]}};
    Predict(model, 3, inputs);

    std::vector<float> xs(T * B * I);
    for (uint32_t t = 0; t < T; ++t)
        for (uint32_t b = 0; b < B; ++b)
            for (uint32_t k = 0; k < I; ++k) xs[(t * B + b) * I + k] = xb[(b * T + t) * I + k];
    const Reference ref(xs, T, B, I, H, W, R, bias, h0, c0);
    const Tensor* y = lstm->kernel->output[0];
    ASSERT_EQ(y->dtype, (uint32_t)DT_FLOAT16);
    for (uint32_t t = 0; t < T; ++t)
        for (uint32_t b = 0; b < B; ++b)
            for (uint32_t j = 0; j < H; ++j)
                EXPECT_NEAR(Pick(y, true, 1, 0, 2, t, b, j), ref.steps[(t * B + b) * H + j], 2e-3);
    for (int i = 0; i < 3; ++i) {
        DestroyTensor(feeds[i]);
        DestroyTensor(halves[i]);
    }
    DestroyModel(model);
}
