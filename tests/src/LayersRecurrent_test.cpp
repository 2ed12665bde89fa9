// Hand-built LSTM models of both variants (with PostLSTM outputs) against a
// step-by-step double-precision LSTM.

#include "LayersRecurrent.h"
#include "ModelWeights.h"
#include "normalization_util.h"

using namespace norm_test;

namespace {

struct Case {
    bool onnx, batchMajor, bias, states, returnSeq;
    uint32_t outputs;  // ONNX: 1 or 3
};

// Builds, loads, runs and checks one model: T = 5, B = 2, I = 3; H = 4 (ONNX) or 8 (Keras).
void RunCase(const Case& c, std::mt19937& rng)
{
    SCOPED_TRACE(::testing::Message() << "onnx " << c.onnx << " batch-major " << c.batchMajor << " bias " << c.bias
                                      << " states " << c.states << " sequences " << c.returnSeq);
    const uint32_t T = 5, B = 2, I = 3, H = c.onnx ? 4 : 8;
    const U xDims = c.batchMajor ? U{B, T, I} : U{T, B, I};
    std::vector<Layer*> ins = {corvus_test::InputLayer("x", DT_FLOAT32, xDims)};
    for (const char* name : {"h0", "c0"})  // ONNX: initializers from the weights file; Keras: model inputs
        if (c.states)
            ins.push_back(
                c.onnx ? corvus_test::ConstantLayer(name, corvus_test::NewTensor(DT_FLOAT32, {1, B, H}).release())
                       : corvus_test::InputLayer(name, DT_FLOAT32, {B, H}));
    LSTMParams p = {};
    p.parserType = c.onnx ? LSTM_PARSER_ONNX : LSTM_PARSER_KERAS, p.hiddenSize = H, p.batchMajor = c.batchMajor;
    p.hasBias = c.bias, p.sequenceFlag = c.returnSeq, p.numInputs = (uint32_t)ins.size();
    p.hasInitialH = p.numInputs >= 2, p.hasInitialC = p.numInputs >= 3, p.numOutputs = c.onnx ? c.outputs : 1;
    p.numInner = c.onnx && c.returnSeq ? 4 : (c.bias ? 3 : 2);
    Layer* lstm = AddLSTMLayer(ins.data(), nullptr, &p, "lstm");
    std::vector<Layer*> outs = {lstm};
    for (uint32_t m = 0; c.outputs > 1 && m < c.outputs; ++m) {
        // Output m of the LSTM feeds its m-th consumer.
        if (m == 0) outs.clear();
        outs.push_back(AddPostLSTMLayer(lstm, nullptr, ("post" + std::to_string(m)).c_str(), m));
    }
    corvus_test::ModelRun model(outs);

    const std::vector<float> W = RandomValues(rng, I * 4 * H, -0.8f, 0.8f), R = RandomValues(rng, 4 * H * H, -1, 1),
                             bias = c.bias ? RandomValues(rng, 4 * H, -0.5f, 0.5f) : std::vector<float>(),
                             h0 = RandomValues(rng, B * H, -1, 1), c0 = RandomValues(rng, B * H, -1, 1),
                             xs = RandomValues(rng, T * B * I, -1.5f, 1.5f);  // step-major
    const bool constStates = c.onnx && c.states;
    const std::vector<float> none;
    LoadModelWeights(
        model.model,
        WriteWeights("lstm", {{"lstm", {W, R, bias, {}, constStates ? h0 : none, constStates ? c0 : none}}}).c_str());

    std::vector<float> xin(xs.size());
    for (uint32_t t = 0; t < T; ++t)
        for (uint32_t b = 0; b < B; ++b)
            for (uint32_t k = 0; k < I; ++k)
                xin[c.batchMajor ? (b * T + t) * I + k : (t * B + b) * I + k] = xs[(t * B + b) * I + k];
    Tensor* feeds[3] = {FromValues(xDims, xin), FromValues({B, H}, h0), FromValues({B, H}, c0)};
    const ModelInput inputs[3] = {{"x", feeds[0]}, {"h0", feeds[1]}, {"c0", feeds[2]}};
    model.Run({inputs, inputs + (c.states && !c.onnx ? 3 : 1)});

    std::vector<double> steps, cLast, hInit(B * H), cInit(B * H);
    if (c.states) hInit.assign(h0.begin(), h0.end()), cInit.assign(c0.begin(), c0.end());
    ReferenceLSTM(xs, T, B, I, H, W, R, bias, hInit, cInit, &steps, &cLast);
    const double tol = 2e-5;
    const std::vector<float> y = Values(outs[0]->kernel->output[0]);
    // Y per (t, b, j) in the output's own order.
    auto yAt = [&](uint32_t t, uint32_t b, uint32_t j) {
        const bool bt = (c.onnx && c.batchMajor) || (!c.onnx && c.returnSeq);
        return y[(bt ? b * T + t : t * B + b) * H + j];
    };
    const U yDims = c.onnx ? (c.batchMajor ? U{B, T, 1, H} : U{T, 1, B, H}) : (c.returnSeq ? U{B, T, H} : U{B, H});
    EXPECT_EQ(DimsOf(outs[0]->kernel->output[0]), yDims);
    const bool everyStep = c.onnx || c.returnSeq;
    for (uint32_t t = everyStep ? 0 : T - 1; t < T; ++t)
        for (uint32_t b = 0; b < B; ++b)
            for (uint32_t j = 0; j < H; ++j) {
                const double want = steps[(t * B + b) * H + j];
                EXPECT_NEAR(everyStep ? yAt(t, b, j) : y[b * H + j], want, tol * (1 + std::fabs(want)));
            }
    for (uint32_t m = 1; m < c.outputs; ++m) {
        const std::vector<float> s = Values(outs[m]->kernel->output[0]);
        EXPECT_EQ(DimsOf(outs[m]->kernel->output[0]), (U{1, B, H}));
        for (uint32_t i = 0; i < B * H; ++i) {
            const double want = m == 1 ? steps[(T - 1) * B * H + i] : cLast[i];
            EXPECT_NEAR(s[i], want, tol * (1 + std::fabs(want)));
            EXPECT_TRUE(m == 2 || s[i] == yAt(T - 1, i / H, i % H));  // Y at the last step is Y_h
        }
    }
    for (Tensor* t : feeds) DestroyTensor(t);
}

}  // namespace

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
    // Keras time-major input: the sequence still comes out [batch, sequence, H].
    RunCase({false, false, true, false, true, 1}, rng);
}
