// MatMul kernel selection and small Dense and MatMul models built by hand.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "LayersDense.h"
#include "NNKernelFnSelector.h"
#include "conv_util.h"
#include "test_util.h"

using namespace corvus_test;
using conv_test::F32;
using U = std::vector<uint32_t>;

TEST(LayersDense, MatmulSelectionFollowsTheModeFlag)
{
    auto select = [](const U& a, const U& b, uint32_t mode) {
        Tensor* ab[2] = {Desc(DT_FLOAT32, a), Desc(DT_FLOAT32, b)};
        Layer* mm = AddMatmulLayer(nullptr, ab, nullptr, mode);
        const kfname k = SelectNNKernelFn(1, OP_MatMul, DT_FLOAT32, mm->kernel);
        DestroyLayer(mm);
        return k;
    };
    EXPECT_EQ(kfname_MMviaConv2D, select({4, 2, 3}, {3, 5}, 2));
    EXPECT_EQ(kfname_Matmul_ref, select({4, 2, 3}, {3, 5}, 1));
    EXPECT_EQ(kfname_Matmul_ref, select({3, 2, 3}, {3, 5}, 2));
    EXPECT_EQ(kfname_Matmul_ref, select({4, 2, 3}, {4, 3, 5}, 2));
    EXPECT_EQ(kfname_MMviaConv2D, select({1, 4, 2, 3}, {3, 5}, 3));
}

// A two-layer classifier head, and a two-input MatMul, through Predict.
TEST(LayersDense, HandBuiltModelsPredict)
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
    ASSERT_EQ(DimsOf(y), (U{2, 3}));
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

    // The second operand broadcast over the first's second dimension (the
    // model's batch, the first, is 1 for both).
    Layer* ab[2] = {InputLayer("a", DT_FLOAT32, {1, 3, 2, 4}), InputLayer("b", DT_FLOAT32, {1, 1, 4, 2})};
    ModelRun mm({AddMatmulLayer(ab, nullptr, "mm", 0)});
    TensorPtr ha = NewTensor(DT_FLOAT32, {1, 3, 2, 4}), hb = NewTensor(DT_FLOAT32, {1, 1, 4, 2});
    for (uint32_t e = 0; e < 24; ++e) F32(ha.get())[e] = (float)e;
    for (uint32_t e = 0; e < 8; ++e) F32(hb.get())[e] = (float)(e % 3) - 1.0f;
    const Tensor* out = mm.Out({{"a", ha.get()}, {"b", hb.get()}});
    ASSERT_EQ(DimsOf(out), (U{1, 3, 2, 2}));
    for (uint32_t n = 0; n < 3; ++n)
        for (uint32_t i = 0; i < 2; ++i)
            for (uint32_t j = 0; j < 2; ++j) {
                float s = 0;
                for (uint32_t k = 0; k < 4; ++k) s += F32(ha.get())[(n * 2 + i) * 4 + k] * F32(hb.get())[k * 2 + j];
                EXPECT_EQ(s, F32(out)[(n * 2 + i) * 2 + j]);  // small integers: exact in any order
            }
}
