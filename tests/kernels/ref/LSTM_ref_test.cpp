// The LSTM time step by hand, and the LSTM kernel's fatal checks.
#include <gtest/gtest.h>

#include <cmath>

#include "LayersRecurrent.h"
#include "normalization_util.h"
#include "test_util.h"

using namespace norm_test;

namespace {

double Sigm(double x) { return 1.0 / (1.0 + std::exp(-x)); }

}  // namespace

TEST(LSTM_ref, CellStepMatchesTheGateEquations)
{
    // Two batch rows, I = 2, H = 2; the second row starts from other states.
    const std::vector<float> x = {0.5f, -1.0f, 2.0f, 0.25f};
    Tensor* X = FromValues({2, 2}, x);
    std::vector<float> w(16), r(16), b(8);
    for (int i = 0; i < 16; ++i) w[i] = 0.1f * (float)(i - 7), r[i] = 0.05f * (float)(11 - i);
    for (int i = 0; i < 8; ++i) b[i] = 0.2f * (float)(i % 3) - 0.1f;
    Tensor* W = FromValues({2, 8}, w);
    Tensor* R = FromValues({2, 8}, r);
    Tensor* B = FromValues({8}, b);
    const std::vector<float> h0 = {0.3f, -0.6f, 0.9f, 0.0f}, c0 = {-0.2f, 1.5f, 0.0f, -2.0f};
    Tensor* h = FromValues({2, 2}, h0);
    Tensor* c = FromValues({2, 2}, c0);
    Tensor* work = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({2, 16}), true);
    LSTMCell(X, W, R, B, h, c, work);
    for (int row = 0; row < 2; ++row)
        for (int j = 0; j < 2; ++j) {
            double gate[4];
            for (int q = 0; q < 4; ++q) {
                const int col = 2 * q + j;  // blocks i, f, g, o of two columns each
                gate[q] = b[col];
                for (int k = 0; k < 2; ++k) gate[q] += (double)x[2 * row + k] * w[8 * k + col];
                for (int k = 0; k < 2; ++k) gate[q] += (double)h0[2 * row + k] * r[8 * k + col];
            }
            const double cn = Sigm(gate[1]) * c0[2 * row + j] + Sigm(gate[0]) * std::tanh(gate[2]);
            const double hn = Sigm(gate[3]) * std::tanh(cn);
            EXPECT_NEAR(((float*)c->data)[2 * row + j], cn, 1e-6);
            EXPECT_NEAR(((float*)h->data)[2 * row + j], hn, 1e-6);
        }

    // Zero weights, no bias, zero states: every gate is 0, so c = 0 and h = 0.
    memset(W->data, 0, 16 * sizeof(float));
    memset(R->data, 0, 16 * sizeof(float));
    memset(h->data, 0, 4 * sizeof(float));
    memset(c->data, 0, 4 * sizeof(float));
    LSTMCell(X, W, R, nullptr, h, c, work);
    EXPECT_EQ(Values(h), std::vector<float>(4, 0.0f));
    EXPECT_EQ(Values(c), std::vector<float>(4, 0.0f));
    for (Tensor* t : {X, W, R, B, h, c, work}) DestroyTensor(t);
}

TEST(LSTM_ref, KernelChecksEndTheProcess)
{
    auto bidirectional = [] {
        LSTMParams p = {};
        p.parserType = LSTM_PARSER_ONNX;
        p.direction = LSTM_DIRECTION_BIDIRECTIONAL;
        p.hiddenSize = 2;
        p.numInputs = 1;
        p.numInner = 2;
        p.numOutputs = 1;
        Tensor* x = CreateTensor(DT_FLOAT32, DL_NONE, 3, Shape({3, 1, 2}), false);
        Layer* lstm = AddLSTMLayer(nullptr, &x, &p, "bi");
        EXPECT_EQ(lstm->kernel->inner[0]->shape.dimension[0], 2u);  // both directions described
        Execute_LSTM_ref(lstm->kernel);
    };
    auto cellShapes = [] {
        Tensor* m = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({1, 4}), true);
        Tensor* h = CreateTensor(DT_FLOAT32, DL_NONE, 2, Shape({1, 2}), true);
        LSTMCell(m, m, m, nullptr, h, h, m);  // R must be [2, 8]
    };
    corvus_test::ExpectFatal("LSTM_ref", {{bidirectional, "LSTM: Bidirectional mode is not supported"},
                                          {[] { Execute_LSTM_ref(nullptr); }, "Function LSTM: Kernel pointer is null"},
                                          {cellShapes, "LSTMCell: tensor shapes do not match"}});
}
