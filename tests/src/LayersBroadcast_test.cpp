// A hand-built model running the element-wise and L2 normalisation layers (the
// broadcast, comparison and logic layers run end to end in the ONNX reader's tests).
#include <cmath>

#include "LayersBroadcast.h"
#include "LayersNormalization.h"
#include "test_util.h"

using namespace corvus_test;

// ElementWise (ReLU) -> L2Normalization over channels: pixels (3, 1) and (4, -0).
TEST(BroadcastModel, ElementWiseCoefficientsThenL2Normalization)
{
    TensorPtr a(Holding<float>(DT_FLOAT32, {1, 1, 2, 2}, {1, 2, 3, 4}, DL_NHWC));
    TensorPtr b(Holding<float>(DT_FLOAT32, {1, 1, 2, 2}, {4, 3, 2, 1}, DL_NHWC));
    Layer* in[2] = {AddInputLayer("a", a.get()), AddInputLayer("b", b.get())};
    Layer* ew = AddElementWiseLayer(in, nullptr, 2, "ew", ReLU);
    Layer* l2 = AddL2NormalizationLayer(ew, nullptr, "l2", 1);
    ModelRun run({l2});
    run.Init();
    float* al = (float*)ew->kernel->inner[0]->data;
    float* be = (float*)ew->kernel->inner[1]->data;
    float* gamma = (float*)l2->kernel->inner[0]->data;
    al[0] = 1.0f, al[1] = -1.0f, be[0] = 0.5f, be[1] = 1.0f, gamma[0] = 1.0f, gamma[1] = 2.0f;
    const Tensor* o = run.Out({{"a", a.get()}, {"b", b.get()}});
    const float r10 = 1.0f / sqrtf(10.0f);
    EXPECT_EQ(ValuesOf<float>(o), (std::vector<float>{3 * r10, r10 * 2, 1, 0}));
    EXPECT_EQ(Bits(ValuesOf<float>(o)[3]), 0x80000000u);  // ReLU of -3 is -0, and stays so
}
