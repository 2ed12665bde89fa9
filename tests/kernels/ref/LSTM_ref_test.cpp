// The LSTM time step from zero states, and the LSTM kernel's refusals.
// (Full sequences are checked against a step-by-step LSTM in the layer tests.)
#include <gtest/gtest.h>

#include "LayersRecurrent.h"
#include "normalization_util.h"

using namespace norm_test;

TEST(LSTM_ref, ZeroWeightsAndStatesGiveZeroStatesAndRefusals)
{
    // Every gate is 0: i = f = o = 1/2, g = 0, so c = 0 and h = 0 whatever x is.
    Tensor *x = FromValues({2, 3}, {1, -2, 3, 0.5f, 7, -9}), *W = FromValues({3, 8}, std::vector<float>(24));
    Tensor *R = FromValues({2, 8}, std::vector<float>(16)), *work = FromValues({2, 16}, std::vector<float>(32, 1.0f));
    Tensor *h = FromValues({2, 2}, std::vector<float>(4)), *c = FromValues({2, 2}, std::vector<float>(4));
    LSTMCell(x, W, R, nullptr, h, c, work);
    EXPECT_EQ(Values(h), std::vector<float>(4, 0.0f));
    EXPECT_EQ(Values(c), std::vector<float>(4, 0.0f));
    for (Tensor* t : {x, W, R, h, c, work}) DestroyTensor(t);

    auto bidirectional = [] {
        LSTMParams p = {};
        p.direction = LSTM_DIRECTION_BIDIRECTIONAL;
        p.hiddenSize = 2, p.numInputs = 1, p.numInner = 2, p.numOutputs = 1;
        Tensor* in = Described({3, 1, 2});
        Execute_LSTM_ref(AddLSTMLayer(nullptr, &in, &p, "bi")->kernel);
    };
    auto cellShapes = [] {
        Tensor *m = FromValues({1, 4}, std::vector<float>(4)), *s = FromValues({1, 2}, std::vector<float>(2));
        LSTMCell(m, m, m, nullptr, s, s, m);  // W must be [4, 8]
    };
    corvus_test::ExpectFatal("LSTM_ref", {{bidirectional, "LSTM: Bidirectional mode is not supported"},
                                          {cellShapes, "LSTMCell: tensor shapes do not match"}});
}
