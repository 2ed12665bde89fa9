// A hand-built model running the element-wise and L2 normalisation layers (the
// broadcast, comparison and logic layers run end to end in the ONNX reader's tests).

#include "LayersBroadcast.h"
#include "LayersNormalization.h"
#include "broadcast_util.h"

using namespace bcast_test;

// ElementWise (ReLU) -> L2Normalization over channels: pixels (3, 1) and (4, -0).
TEST(BroadcastModel, ElementWiseCoefficientsThenL2Normalization)
{
    Owned a(DT_FLOAT32, {1, 1, 2, 2}, DL_NHWC), b(DT_FLOAT32, {1, 1, 2, 2}, DL_NHWC);
    const float av[] = {1, 2, 3, 4}, bv[] = {4, 3, 2, 1};
    memcpy(a.as<float>(), av, 16);
    memcpy(b.as<float>(), bv, 16);
    const ModelResult r = RunModel(
        {a, b},
        [](std::vector<Layer*>& in) {
            return AddL2NormalizationLayer(AddElementWiseLayer(in.data(), nullptr, 2, "ew", ReLU), nullptr, "l2", 1);
        },
        [](Layer* l2) {
            float* al = (float*)l2->inputLayers[0]->kernel->inner[0]->data;
            float* be = (float*)l2->inputLayers[0]->kernel->inner[1]->data;
            al[0] = 1.0f, al[1] = -1.0f, be[0] = 0.5f, be[1] = 1.0f;
            float* gamma = (float*)l2->kernel->inner[0]->data;
            gamma[0] = 1.0f, gamma[1] = 2.0f;
        });
    const float r10 = 1.0f / sqrtf(10.0f);
    EXPECT_EQ((std::vector<float>{r.at<float>(0), r.at<float>(1), r.at<float>(2), r.at<float>(3)}),
              (std::vector<float>{3 * r10, r10 * 2, 1, 0}));
    EXPECT_EQ(Bits(r.at<float>(3)), 0x80000000u);  // ReLU of -3 is -0, and stays so
}
