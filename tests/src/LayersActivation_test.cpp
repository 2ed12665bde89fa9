// Hand-built models running the activation and unary math layers through
// the default kernels.

#include "LayersActivation.h"
#include "broadcast_util.h"

using namespace bcast_test;

// PRelu -> Clip(-2, 3) -> HardSigmoid(0.2, 0.5) -> Erf -> Neg -> Abs, then
// Abs -> Sqrt -> Floor -> Ceil -> Exp, against the element formulas.
TEST(ActivationModel, UnaryChains)
{
    Owned x(DT_FLOAT32, {2, 5});
    const float xv[] = {-3.5f, -1.2f, -0.0f, 0.3f, 0.9f, 1.5f, 2.2f, 4.0f, -8.0f, 10.0f};
    const float slope[] = {0.1f, 0.5f, 2.0f, 1.0f, 0.25f};
    memcpy(x.as<float>(), xv, sizeof(xv));
    Layer* prelu = nullptr;
    ClipValue lo, hi;
    lo.f32 = -2.0f, hi.f32 = 3.0f;
    ModelResult r = RunModel(
        {x},
        [&](std::vector<Layer*>& in) {
            Layer* l = AddClipLayer(prelu = AddPReluLayer(in[0], nullptr, "prelu"), nullptr, lo, hi, "clip");
            l = AddHardSigmoidLayer(l, nullptr, "hs", 0.2f, 0.5f);
            return AddAbsLayer(AddNegLayer(AddErfLayer(l, nullptr, "erf"), nullptr, "neg"), nullptr, "abs");
        },
        [&](Layer*) { memcpy(prelu->kernel->inner[0]->data, slope, sizeof(slope)); });
    for (int i = 0; i < 10; ++i) {
        const float p = xv[i] < 0 ? slope[i % 5] * xv[i] : xv[i];
        const float c = std::max(-2.0f, std::min(3.0f, p));
        const float h = std::max(0.0f, std::min(1.0f, fmaf(0.2f, c, 0.5f)));
        EXPECT_EQ(r.at<float>(i), std::fabs(-erff(h))) << i;
    }
    r = RunModel({x}, [](std::vector<Layer*>& in) {
        Layer* l = AddSqrtLayer(AddAbsLayer(in[0], nullptr, "abs"), nullptr, "sqrt");
        return AddExpLayer(AddCeilLayer(AddFloorLayer(l, nullptr, "floor"), nullptr, "ceil"), nullptr, "exp");
    });
    for (int i = 0; i < 10; ++i) EXPECT_EQ(r.at<float>(i), expf(ceilf(floorf(std::sqrt(std::fabs(xv[i]))))));
}
