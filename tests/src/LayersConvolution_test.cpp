// A small convolution model run through Predict against the naive convolution
// (the constructors' shapes and records are in the LayerConstructors table).
#include "LayersConvolutionND.h"
#include "conv_util.h"
#include "graph_util.h"

using namespace conv_test;

// A float16 Conv3D computed through float32 and rounded once: constructor ->
// selector -> kernel -> output (the 2-D kernels are checked kernel by kernel).
TEST(LayersConvolution, HalfConv3DModelPredicts)
{
    std::mt19937 rng(8);
    Layer* vol = corvus_test::InputLayer("vol", DT_FLOAT16, {1, 3, 4, 5, 2});
    const uint32_t size3[3] = {3, 4, 5}, k33[3] = {2, 2, 3}, s3[3] = {1, 2, 1}, pads[6] = {1, 0, 1, 0, 1, 1};
    const PaddingStruct ps = ComputePaddingStruct(3, size3, k33, s3, nullptr, EXPLICIT, pads, 0);
    const ActivationParams leaky = {LeakyReLU, 0.25f};
    Layer* c3 = AddConv3DLayer(vol, nullptr, "c3", 4, 1, 2, 2, 3, 1, 2, 1, 1, 1, 1, &ps, true, EXPLICIT, leaky);
    corvus_test::ModelRun model({c3});
    graph_util::FillWeights(model.model, 7);
    Tensor* host = Make(DL_NONE, {1, 3, 4, 5, 2}, &rng, 0, DT_FLOAT16);
    model.Run({{"vol", host}});
    ConvSetup h;
    h.x = corvus_test::DimsOf(c3->kernel->input[0]), h.y = corvus_test::DimsOf(c3->kernel->output[0]);
    h.k = {2, 2, 3}, h.s = {1, 2, 1}, h.pad = {1, 0, 1}, h.act = leaky.type, h.alpha = leaky.alpha, h.half = true;
    // The model input's storage may be reused once read: the host holds its values.
    const std::vector<float> want = NaiveConv(h, Values(host), Values(c3->kernel->inner[0]), F32(c3->kernel->inner[1]));
    EXPECT_TRUE(SameValues(want, c3->kernel->output[0]));
    DestroyTensor(host);
}
