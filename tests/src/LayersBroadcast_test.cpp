// Hand-built models running the broadcast, comparison and logic layers
// through the default kernels.
#include <gtest/gtest.h>

#include <cmath>

#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "broadcast_util.h"
#include "nn_kernel_list.h"

using namespace bcast_test;

namespace {

void FillRandom(const Owned& t, Rng& rng, float range = 4.0f)
{
    for (uint32_t i = 0; i < GetTensorSize(t.t); ++i) t.as<float>()[i] = rng.uniform(range) + 0.125f;
}

void SetActivation(Layer* layer, uint32_t aName) { ((BroadcastParams*)layer->kernel->params)->aName = aName; }

}  // namespace

TEST(BroadcastModel, OperandOrderFusedClampAndHalf)
{
    Owned a(DT_FLOAT32, {2, 3}), b(DT_FLOAT32, {2, 1});
    const float av[] = {1, 8, 20, -4, 0, 3};
    memcpy(a.as<float>(), av, sizeof(av));
    b.as<float>()[0] = 2;
    b.as<float>()[1] = -0.5f;
    auto run = [&](Layer* (*ctor)(Layer**, Tensor**, uint32_t, const char*), bool swap, uint32_t aName) {
        const ModelResult r = RunModel(swap ? std::vector<const Tensor*>{b, a} : std::vector<const Tensor*>{a, b},
                                       [&](std::vector<Layer*>& in) {
                                           Layer* two[] = {in[0], in[1]};
                                           Layer* l = ctor(two, nullptr, 2, nullptr);
                                           SetActivation(l, aName);
                                           return l;
                                       });
        std::vector<float> v;
        for (int i = 0; i < 6; ++i) v.push_back(r.at<float>(i));
        return v;
    };
    EXPECT_EQ(run(AddSubLayer, false, None), (std::vector<float>{-1, 6, 18, -3.5f, 0.5f, 3.5f}));
    EXPECT_EQ(run(AddSubLayer, true, None), (std::vector<float>{1, -6, -18, 3.5f, -0.5f, -3.5f}));
    EXPECT_EQ(run(AddDivLayer, false, None), (std::vector<float>{0.5f, 4, 10, 8, -0.0f, -6}));
    EXPECT_EQ(run(AddDivLayer, true, ReLU6), (std::vector<float>{2, 0.25f, 0.1f, 0.125f, 0, 0}));
    EXPECT_EQ(run(AddMulLayer, false, ReLU), (std::vector<float>{2, 16, 40, 2, 0, 0}));
    EXPECT_EQ(Bits(run(AddMulLayer, false, ReLU)[4]), 0u);  // -0 * ... clamps to +0

    // Half operands: the float32 result rounded to half.
    Owned h1(DT_FLOAT16, {3}), h2(DT_FLOAT16, {1});
    const float hv[] = {1.0009766f, 3.0f, -0.1f};
    for (int i = 0; i < 3; ++i) h1.as<uint16_t>()[i] = Half(hv[i]);
    h2.as<uint16_t>()[0] = Half(2.0f);
    const ModelResult r = RunModel({h1, h2}, [](std::vector<Layer*>& in) {
        Layer* two[] = {in[0], in[1]};
        return AddAddLayer(two, nullptr, 2, nullptr);
    });
    ASSERT_EQ(r.dtype, DT_FLOAT16);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(r.at<uint16_t>(i), Half(Float(h1.as<uint16_t>()[i]) + 2.0f));
}

TEST(BroadcastModel, ComparisonLogicSelectionPowMod)
{
    Rng rng(12);
    Owned a(DT_FLOAT32, {2, 1, 4}), b(DT_FLOAT32, {3, 1});
    FillRandom(a, rng);
    FillRandom(b, rng);
    a.as<float>()[1] = b.as<float>()[0];  // one tie
    const Dims out = {2, 3, 4};
    // Where(Not(Greater(a, b)), a, b) is the element-wise minimum.
    ModelResult r = RunModel({a, b}, [](std::vector<Layer*>& in) {
        Layer* ab[] = {in[0], in[1]};
        Layer* gt = AddGreaterLayer(ab, nullptr, 2, "gt");
        Layer* le = AddNotLayer(gt, nullptr, "le");
        Layer* w[] = {le, in[0], in[1]};
        return AddWhereLayer(w, nullptr, 3, "min");
    });
    ASSERT_EQ(r.shape, out);
    size_t flat = 0;
    ForEachIndex(out, [&](const Dims& i) {
        EXPECT_EQ(r.at<float>(flat++), std::min(a.as<float>()[BroadcastOffset(a, i)], b.as<float>()[BroadcastOffset(b, i)]));
    });
    // And(Equal(a, b), Less(a, b)) is never true; Equal alone marks the tie.
    r = RunModel({a, b}, [](std::vector<Layer*>& in) {
        Layer* ab[] = {in[0], in[1]};
        Layer* eq = AddEqualLayer(ab, nullptr, 2, "eq");
        Layer* lt = AddLessLayer(ab, nullptr, 2, "lt");
        Layer* both[] = {eq, lt};
        return AddAndLayer(both, nullptr, 2, "and");
    });
    for (size_t i = 0; i < 24; ++i) EXPECT_EQ(r.at<int8_t>(i), 0);
    r = RunModel({a, b}, [](std::vector<Layer*>& in) {
        Layer* ab[] = {in[0], in[1]};
        return AddEqualLayer(ab, nullptr, 2, "eq");
    });
    EXPECT_EQ(r.at<int8_t>(1), 1);
    EXPECT_EQ(r.at<int8_t>(0) + r.at<int8_t>(2) + r.at<int8_t>(5), 0);

    // Pow and integer Mod through the default kernels.
    Owned base(DT_FLOAT32, {3}), ex(DT_FLOAT32, {2, 1});
    const float bv[] = {2, 3, 0.5f};
    memcpy(base.as<float>(), bv, sizeof(bv));
    ex.as<float>()[0] = 2;
    ex.as<float>()[1] = -1;
    r = RunModel({base, ex}, [](std::vector<Layer*>& in) {
        Layer* ab[] = {in[0], in[1]};
        return AddPowLayer(ab, nullptr, 2, "pow");
    });
    for (int i = 0; i < 6; ++i) EXPECT_EQ(r.at<float>(i), powf(bv[i % 3], i < 3 ? 2.0f : -1.0f));
    Owned n(DT_INT32, {4}), d(DT_INT32, {1});
    const int32_t nv[] = {7, -7, 6, -1};
    memcpy(n.as<int32_t>(), nv, sizeof(nv));
    d.as<int32_t>()[0] = -3;
    r = RunModel({n, d}, [](std::vector<Layer*>& in) {
        Layer* ab[] = {in[0], in[1]};
        return AddModLayer(ab, nullptr, 2, "mod");
    });
    EXPECT_EQ((std::vector<int32_t>{r.at<int32_t>(0), r.at<int32_t>(1), r.at<int32_t>(2), r.at<int32_t>(3)}),
              (std::vector<int32_t>{-2, -1, 0, -1}));
}

TEST(BroadcastModel, ElementWiseUsesItsCoefficients)
{
    Owned a(DT_FLOAT32, {1, 1, 2, 2}, DL_NHWC), b(DT_FLOAT32, {1, 1, 2, 2}, DL_NHWC);
    const float av[] = {1, 2, 3, 4}, bv[] = {4, 3, 2, 1};
    memcpy(a.as<float>(), av, 16);
    memcpy(b.as<float>(), bv, 16);
    const ModelResult r = RunModel(
        {a, b},
        [](std::vector<Layer*>& in) {
            Layer* ab[] = {in[0], in[1]};
            return AddElementWiseLayer(ab, nullptr, 2, "ew", ReLU);
        },
        [](Layer* ew) {
            float* al = (float*)ew->kernel->inner[0]->data;
            float* be = (float*)ew->kernel->inner[1]->data;
            al[0] = 1.0f, al[1] = -1.0f, be[0] = 0.5f, be[1] = 1.0f;
        });
    EXPECT_EQ((std::vector<float>{r.at<float>(0), r.at<float>(1), r.at<float>(2), r.at<float>(3)}),
              (std::vector<float>{3, 1, 4, 0}));
    EXPECT_EQ(Bits(r.at<float>(3)), 0x80000000u);  // ReLU of -3 is -0
}
