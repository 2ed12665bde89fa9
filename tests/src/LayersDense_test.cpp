// A two-layer classifier head built by hand, through Predict.

#include "LayersDense.h"
#include "conv_util.h"

using namespace corvus_test;
using conv_test::F32;

TEST(LayersDense, HandBuiltModelPredicts)
{
    std::mt19937 rng(40);
    auto uniform = [&rng] { return std::uniform_real_distribution<float>(-1, 1)(rng); };
    Layer* fc1 = AddDenseLayer(InputLayer("x", DT_FLOAT32, {2, 6}), nullptr, "fc1", 5, true, ReLU);
    Layer* fc2 = AddDenseLayer(fc1, nullptr, "fc2", 3, false, None);
    ModelRun head({fc2});
    for (Layer* l : {fc1, fc2})
        for (uint32_t j = 0; j < 2; ++j)
            if (Tensor* t = l->kernel->inner[j]) {
                AllocTensorData(t);
                for (uint32_t e = 0; e < GetTensorSize(t); ++e) F32(t)[e] = uniform();
            }
    TensorPtr host = NewTensor(DT_FLOAT32, {2, 6}, {}, true, DL_NC);
    for (uint32_t e = 0; e < 12; ++e) F32(host.get())[e] = uniform();
    const Tensor* y = head.Out({{"x", host.get()}});
    ASSERT_EQ(DimsOf(y), (std::vector<uint32_t>{2, 3}));
    const float* w1 = F32(fc1->kernel->inner[0]);
    const float* b1 = F32(fc1->kernel->inner[1]);
    const float* w2 = F32(fc2->kernel->inner[0]);
    for (uint32_t n = 0; n < 2; ++n) {
        float hidden[5];
        for (uint32_t j = 0; j < 5; ++j) {
            float acc = 0.0f;
            for (uint32_t k = 0; k < 6; ++k) acc = fmaf(F32(host.get())[n * 6 + k], w1[k * 5 + j], acc);
            hidden[j] = conv_test::Activate(acc + b1[j], ReLU, 0);
        }
        for (uint32_t j = 0; j < 3; ++j) {
            float acc = 0.0f;
            for (uint32_t k = 0; k < 5; ++k) acc = fmaf(hidden[k], w2[k * 3 + j], acc);
            EXPECT_TRUE(conv_test::SameBits(acc, F32(y)[n * 3 + j])) << n << "," << j;
        }
    }
}
