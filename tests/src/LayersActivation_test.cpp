// Hand-built models running the activation and unary math layers through
// the default kernels.
#include <gtest/gtest.h>

#include <cmath>

#include "LayersActivation.h"
#include "broadcast_util.h"

using namespace bcast_test;

namespace {

ClipValue F32(float v)
{
    ClipValue c;
    c.f32 = v;
    return c;
}

}  // namespace

TEST(ActivationModel, PReluThenSoftmax)
{
    Owned x(DT_FLOAT32, {1, 2, 2, 3}, DL_NHWC);
    Rng rng(6);
    for (int i = 0; i < 12; ++i) x.as<float>()[i] = rng.uniform(3.0f);
    const float slope[] = {0.1f, 0.5f, 2.0f};
    const ModelResult r = RunModel(
        {x},
        [](std::vector<Layer*>& in) {
            Layer* p = AddPReluLayer(in[0], nullptr, "prelu");
            return AddActivationLayer(p, nullptr, "softmax", ActivationParams{Softmax, 0.0f});
        },
        [&](Layer* softmax) { memcpy(softmax->inputLayers[0]->kernel->inner[0]->data, slope, sizeof(slope)); });
    ASSERT_EQ(r.shape, (Dims{1, 2, 2, 3}));
    for (int p = 0; p < 4; ++p) {
        double e[3], sum = 0, outSum = 0;
        for (int c = 0; c < 3; ++c) {
            const float v = x.as<float>()[p * 3 + c];
            e[c] = std::exp((double)(v < 0 ? slope[c] * v : v));
            sum += e[c];
        }
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(r.at<float>(p * 3 + c) / (e[c] / sum), 1.0, 0.05);
            outSum += r.at<float>(p * 3 + c);
        }
        EXPECT_NEAR(outSum, 1.0, 1e-5);
    }
}

TEST(ActivationModel, UnaryChainsInFloatAndHalf)
{
    Owned x(DT_FLOAT32, {2, 5});
    const float xv[] = {-3.5f, -1.2f, -0.0f, 0.3f, 0.9f, 1.5f, 2.2f, 4.0f, -8.0f, 10.0f};
    memcpy(x.as<float>(), xv, sizeof(xv));
    // Clip(-2, 3) -> HardSigmoid(0.2, 0.5) -> Erf -> Neg -> Abs, then Abs -> Sqrt -> Floor -> Ceil -> Exp.
    ModelResult r = RunModel({x}, [](std::vector<Layer*>& in) {
        Layer* l = AddClipLayer(in[0], nullptr, F32(-2.0f), F32(3.0f), "clip");
        l = AddHardSigmoidLayer(l, nullptr, "hs", 0.2f, 0.5f);
        l = AddErfLayer(l, nullptr, "erf");
        l = AddNegLayer(l, nullptr, "neg");
        return AddAbsLayer(l, nullptr, "abs");
    });
    for (int i = 0; i < 10; ++i) {
        const float c = std::max(-2.0f, std::min(3.0f, xv[i]));
        const float h = std::max(0.0f, std::min(1.0f, fmaf(0.2f, c, 0.5f)));
        EXPECT_EQ(r.at<float>(i), std::fabs(-erff(h))) << i;
    }
    // The clamp is minNum/maxNum: a NaN gives 1 and -0 gives +0.
    Owned edge(DT_FLOAT32, {1, 4});
    const float ev[] = {NAN, -0.0f, 2.0f, 0.25f};
    memcpy(edge.as<float>(), ev, sizeof(ev));
    r = RunModel({edge}, [](std::vector<Layer*>& in) { return AddHardSigmoidLayer(in[0], nullptr, "hs", 1.0f, -0.0f); });
    const uint32_t hardBits[] = {0x3f800000u, 0u, 0x3f800000u, 0x3e800000u};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(r.at<uint32_t>(i), hardBits[i]) << i;
    r = RunModel({x}, [](std::vector<Layer*>& in) {
        Layer* l = AddSqrtLayer(AddAbsLayer(in[0], nullptr, "abs"), nullptr, "sqrt");
        return AddExpLayer(AddCeilLayer(AddFloorLayer(l, nullptr, "floor"), nullptr, "ceil"), nullptr, "exp");
    });
    for (int i = 0; i < 10; ++i) EXPECT_EQ(r.at<float>(i), expf(ceilf(floorf(std::sqrt(std::fabs(xv[i]))))));

    // Half: each layer rounds its float32 result to half.
    Owned h(DT_FLOAT16, {2, 5});
    for (int i = 0; i < 10; ++i) h.as<uint16_t>()[i] = Half(xv[i] / 4.0f);
    r = RunModel({h}, [](std::vector<Layer*>& in) { return AddNegLayer(AddExpLayer(in[0], nullptr, "exp"), nullptr, "neg"); });
    ASSERT_EQ(r.dtype, DT_FLOAT16);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(r.at<uint16_t>(i), Half(-Float(Half(expf(Float(h.as<uint16_t>()[i]))))));
}
