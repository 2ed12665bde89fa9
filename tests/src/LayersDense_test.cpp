// Dense, Linear and MatMul constructors, kernel selection for MatMul and
// small models built by hand.
#include <gtest/gtest.h>

#include <vector>

#include "LayersDense.h"
#include "Model.h"
#include "NNKernelFnSelector.h"
#include "conv_util.h"
#include "nn_kernel_list.h"
#include "normalization_util.h"
#include "test_util.h"

using namespace conv_test;
using U = std::vector<uint32_t>;

using norm_test::Described;
using norm_test::Dims;
using norm_test::Input;

TEST(LayersDense, DenseShapesAndRecord)
{
    Layer* in = Input("x", {3, 5});
    Layer* dense = AddDenseLayer(in, nullptr, "fc", 7, true, ReLU6);
    NNKernel* k = dense->kernel;
    EXPECT_EQ((uint32_t)OP_Dense, dense->op);
    EXPECT_EQ((uint32_t)DL_NC, k->input[0]->layout);  // DL_NONE became DL_NC
    EXPECT_EQ(Dims(k->output[0]), (U{3, 7}));
    EXPECT_EQ((uint32_t)DL_NC, k->output[0]->layout);
    ASSERT_EQ(2u, k->innerNum);
    EXPECT_EQ(Dims(k->inner[0]), (U{5, 7}));
    EXPECT_EQ((uint32_t)DL_CN, k->inner[0]->layout);
    EXPECT_EQ(Dims(k->inner[1]), (U{7}));
    const DenseParams* p = (const DenseParams*)k->params;
    EXPECT_EQ(1u, p->useBias);
    EXPECT_EQ((uint32_t)ReLU6, p->activation);

    Layer* noBias = AddDenseLayer(nullptr, Described({1, 4}, DL_NC, DT_FLOAT16), nullptr, 2, false, None);
    EXPECT_EQ(nullptr, noBias->kernel->inner[1]);
    EXPECT_EQ((uint32_t)DT_FLOAT16, noBias->kernel->output[0]->dtype);
    EXPECT_EQ(0u, ((DenseParams*)noBias->kernel->params)->useBias);
    for (Layer* l : {in, dense, noBias}) DestroyLayer(l);
}

TEST(LayersDense, LinearAndMatmulShapes)
{
    Layer* lin = AddLinearLayer(nullptr, Described({2, 3, 4, 5}, DL_NHWC), "lin", ReLU);
    EXPECT_EQ((uint32_t)OP_Linear, lin->op);
    EXPECT_EQ(Dims(lin->kernel->output[0]), (U{2, 3, 4, 5}));
    EXPECT_EQ((uint32_t)DL_NHWC, lin->kernel->output[0]->layout);
    EXPECT_EQ(Dims(lin->kernel->inner[0]), (U{5}));
    EXPECT_EQ(Dims(lin->kernel->inner[1]), (U{5}));
    EXPECT_EQ((uint32_t)ReLU, ((LinearParams*)lin->kernel->params)->activation);
    Layer* lin2 = AddLinearLayer(nullptr, Described({1, 1, 1, 2}), nullptr, None);
    EXPECT_EQ((uint32_t)DL_NONE, lin2->kernel->output[0]->layout);

    // A {2, 1, 3} x B {3, 4} broadcasts B over the batch.
    Tensor* ab[2] = {Described({2, 1, 3}), Described({3, 4})};
    Layer* mm = AddMatmulLayer(nullptr, ab, "mm", 6);
    EXPECT_EQ((uint32_t)OP_MatMul, mm->op);
    ASSERT_EQ(2u, mm->kernel->inputsNum);
    EXPECT_EQ(0u, mm->kernel->innerNum);
    EXPECT_EQ(Dims(mm->kernel->output[0]), (U{2, 1, 4}));
    EXPECT_EQ(6u, ((MatmulParams*)mm->kernel->params)->mode);
    Tensor* cd[2] = {Described({5, 1, 2, 3}, DL_NONE, DT_INT32), Described({4, 3, 6}, DL_NONE, DT_INT32)};
    Layer* mm2 = AddMatmulLayer(nullptr, cd, nullptr, 0);
    EXPECT_EQ(Dims(mm2->kernel->output[0]), (U{5, 4, 2, 6}));
    EXPECT_EQ((uint32_t)DT_INT32, mm2->kernel->output[0]->dtype);
    for (Layer* l : {lin, lin2, mm, mm2}) DestroyLayer(l);
}

TEST(LayersDense, ConstructorChecks)
{
    corvus_test::ExpectFatal(
        "Layers",
        {{[] { AddDenseLayer(nullptr, Described({1, 2, 3}), nullptr, 4, false, None); },
          "input tensor ndim must equal 2. ndim: 3"},
         {[] { AddDenseLayer(nullptr, Described({2, 3}, DL_CN), nullptr, 4, false, None); },
          "inputTensor->layout == layout: false, expected: true"},
         {[] { AddLinearLayer(nullptr, Described({2, 3}), nullptr, None); }, "input tensor ndim must equal 4. ndim: 2"},
         {[] { AddLinearLayer(nullptr, Described({1, 2, 3, 4}, DL_NCHW), nullptr, None); },
          "inTensor->layout == DL_NHWC || inTensor->layout == DL_NONE: false, expected: true"},
         {[] {
              Tensor* ab[2] = {Described({2, 3}), Described({4, 5})};
              AddMatmulLayer(nullptr, ab, nullptr, 0);
          },
          "Function Matmul: inner dimensions differ: A has 3 columns, B has 4 rows"}});
}

TEST(LayersDense, MatmulSelectionFollowsTheModeFlag)
{
    auto select = [](std::initializer_list<uint32_t> a, std::initializer_list<uint32_t> b, uint32_t mode) {
        Tensor* ab[2] = {Described(a), Described(b)};
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

// Dense + Linear-free classifier head and a two-input MatMul, through Predict.
TEST(LayersDense, HandBuiltModelsPredict)
{
    std::mt19937 rng(40);
    Layer* x = Input("x", {2, 6});
    Layer* fc1 = AddDenseLayer(x, nullptr, "fc1", 5, true, ReLU);
    Layer* fc2 = AddDenseLayer(fc1, nullptr, "fc2", 3, false, None);
    Layer* outputs[] = {fc2};
    Model* model = CreateModel(outputs, 1);
    for (Layer* l : {fc1, fc2})
        for (uint32_t j = 0; j < 2; ++j)
            if (Tensor* t = l->kernel->inner[j]) {
                AllocTensorData(t);
                for (uint32_t e = 0; e < GetTensorSize(t); ++e) F32(t)[e] = std::uniform_real_distribution<float>(-1, 1)(rng);
            }
    ASSERT_EQ(1u, InitModel(model, 1));
    Tensor* host = Make(DL_NC, {2, 6}, &rng);
    ModelInput feed[] = {{"x", host}};
    const Tensor* y = Predict(model, 1, feed)[0]->kernel->output[0];
    ASSERT_EQ(Dims(y), (U{2, 3}));
    const float* w1 = F32(fc1->kernel->inner[0]);
    const float* b1 = F32(fc1->kernel->inner[1]);
    const float* w2 = F32(fc2->kernel->inner[0]);
    for (uint32_t n = 0; n < 2; ++n) {
        float hidden[5];
        for (uint32_t j = 0; j < 5; ++j) {
            float acc = 0.0f;
            for (uint32_t k = 0; k < 6; ++k) acc = fmaf(F32(host)[n * 6 + k], w1[k * 5 + j], acc);
            hidden[j] = Activate(acc + b1[j], ReLU, 0);
        }
        for (uint32_t j = 0; j < 3; ++j) {
            float acc = 0.0f;
            for (uint32_t k = 0; k < 5; ++k) acc = fmaf(hidden[k], w2[k * 3 + j], acc);
            EXPECT_TRUE(SameBits(acc, F32(y)[n * 3 + j])) << n << "," << j;
        }
    }
    DestroyTensor(host);
    DestroyModel(model);

    // Two inputs multiplied, the second broadcast over the first's second
    // dimension (the model's batch, the first, is 1 for both).
    Layer* a = Input("a", {1, 3, 2, 4});
    Layer* b = Input("b", {1, 1, 4, 2});
    Layer* ab[2] = {a, b};
    Layer* mm = AddMatmulLayer(ab, nullptr, "mm", 0);
    Model* mmModel = CreateModel(&mm, 1);
    ASSERT_EQ(1u, InitModel(mmModel, 1));
    Tensor* ha = CreateTensor(DT_FLOAT32, DL_NONE, 4, Shape({1, 3, 2, 4}), true);
    Tensor* hb = CreateTensor(DT_FLOAT32, DL_NONE, 4, Shape({1, 1, 4, 2}), true);
    for (uint32_t e = 0; e < 24; ++e) F32(ha)[e] = (float)e;
    for (uint32_t e = 0; e < 8; ++e) F32(hb)[e] = (float)(e % 3) - 1.0f;
    ModelInput feeds[] = {{"a", ha}, {"b", hb}};
    const Tensor* out = Predict(mmModel, 2, feeds)[0]->kernel->output[0];
    ASSERT_EQ(Dims(out), (U{1, 3, 2, 2}));
    for (uint32_t n = 0; n < 3; ++n)
        for (uint32_t i = 0; i < 2; ++i)
            for (uint32_t j = 0; j < 2; ++j) {
                float s = 0;
                for (uint32_t k = 0; k < 4; ++k) s += F32(ha)[(n * 2 + i) * 4 + k] * F32(hb)[k * 2 + j];
                EXPECT_EQ(s, F32(out)[(n * 2 + i) * 2 + j]);  // small integers: exact in any order
            }
    DestroyTensor(ha);
    DestroyTensor(hb);
    DestroyModel(mmModel);
}
