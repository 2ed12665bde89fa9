// A hand-built model running a reduction, an arg-max and a cumulative sum
// (the shape, index, einsum and constant layers run end to end, folded at load
// time, in the ONNX reader's tests).

#include "LayersReduction.h"
#include "reduce_util.h"

using namespace reduce_test;

TEST(ReductionModel, ReductionsArgMaxAndCumSumThroughPredict)
{
    const Dims dims = {2, 3, 4};
    const std::vector<float> x = RandomValues(Count(dims), 31);
    Tensor* feed = MakeF32(dims, x);
    Layer* in = corvus_test::InputLayer("x", DT_FLOAT32, dims);
    const uint32_t axes[] = {0, 2};
    Layer* mean = AddReduceMean(in, nullptr, "mean", axes, 2, 0);
    Layer* am = AddArgMax(in, nullptr, "am", 1, false, false);
    const int32_t axis = -1;
    Layer* cumIn[] = {in, AddInitializerLayer(1, Dims{1}.data(), DT_INT32, &axis, "axis")};
    Layer* cum = AddCumSumLayer(cumIn, nullptr, "cum", 2, false, true);
    Layer* outs[] = {mean, am, cum};
    Model* model = CreateModel(outs, 3);
    Layer** res = RunOnce(model, {{"x", feed}});

    // Mean over axes 0 and 2 for each of the 3 middle positions, in index order.
    std::vector<float> m(3, 0.0f);
    for (uint32_t i = 0; i < 2; ++i)
        for (uint32_t j = 0; j < 3; ++j)
            for (uint32_t k = 0; k < 4; ++k) m[j] = m[j] + x[(i * 3 + j) * 4 + k];
    for (float& v : m) v = v * (3.0f / 24.0f);
    EXPECT_EQ(Values<float>(res[0]->kernel->output[0]), m);

    std::vector<int32_t> arg(8);
    for (uint32_t i = 0; i < 2; ++i)
        for (uint32_t k = 0; k < 4; ++k) {
            int32_t best = 0;
            for (int32_t j = 1; j < 3; ++j)
                if (x[(i * 3 + j) * 4 + k] > x[(i * 3 + best) * 4 + k]) best = j;
            arg[i * 4 + k] = best;
        }
    EXPECT_EQ(Values<int32_t>(res[1]->kernel->output[0]), arg);

    std::vector<float> c(x.size());
    for (uint32_t r = 0; r < 6; ++r) {
        float acc = x[r * 4 + 3];
        c[r * 4 + 3] = acc;
        for (int k = 2; k >= 0; --k) c[r * 4 + k] = acc = acc + x[r * 4 + k];
    }
    EXPECT_EQ(Values<float>(res[2]->kernel->output[0]), c);
    DestroyModel(model);
    DestroyTensor(feed);
}
