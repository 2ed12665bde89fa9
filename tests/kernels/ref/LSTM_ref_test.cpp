// The LSTM kernel's refusals (its sequences are checked against a
// step-by-step LSTM in the layer tests).
#include "LayersRecurrent.h"
#include "normalization_util.h"

using namespace norm_test;

TEST(LSTM_ref, Refusals)
{
    auto bidirectional = [] {
        LSTMParams p = {};
        p.direction = LSTM_DIRECTION_BIDIRECTIONAL;
        p.hiddenSize = 2, p.numInputs = 1, p.numInner = 2, p.numOutputs = 1;
        Tensor* in = corvus_test::Desc(DT_FLOAT32, {3, 1, 2});
        Execute_LSTM_ref(AddLSTMLayer(nullptr, &in, &p, "bi")->kernel);
    };
    auto cellShapes = [] {
        Tensor *m = FromValues({1, 4}, std::vector<float>(4)), *s = FromValues({1, 2}, std::vector<float>(2));
        LSTMCell(m, m, m, nullptr, s, s, m);  // W must be [4, 8]
    };
    corvus_test::ExpectFatal("LSTM_ref", {{bidirectional, "LSTM: Bidirectional mode is not supported"},
                                          {cellShapes, "LSTMCell: tensor shapes do not match"}});
}
