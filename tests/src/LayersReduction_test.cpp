// Hand-built models running the reduction, index, shape and initializer
// layers (einsum runs end to end in the ONNX reader's tests).
#include <gtest/gtest.h>

#include "LayersReduction.h"
#include "NNKernelFnSelector.h"
#include "TensorOperation.h"
#include "nn_kernel_list.h"
#include "reduce_util.h"
#include "test_util.h"

using namespace reduce_test;

namespace {

Layer* Constant(const char* name, DataType dtype, const Dims& dims, const void* data)
{
    return AddInitializerLayer((uint32_t)dims.size(), dims.data(), dtype, data, name);
}

}  // namespace

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
    Layer* cumIn[] = {in, Constant("axis", DT_INT32, {1}, &axis)};
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

TEST(ReductionModel, ShapeRangeAndConstantsFoldAheadOfTime)
{
    // Shape of an input is known before any data: it folds at once.
    Layer* in = corvus_test::InputLayer("x", DT_FLOAT32, {4, 5, 6});
    Layer* shape = AddShapeLayer(in, nullptr, "shape");
    ExecuteLayer(shape);
    EXPECT_TRUE(shape->staticOutput);
    EXPECT_EQ(Values<int32_t>(shape->kernel->output[0]), (std::vector<int32_t>{4, 5, 6}));

    // Range over initializers: [0, 3, 6, 9].
    const float s = 0, l = 10, d = 3;
    Layer* rIn[] = {Constant("s", DT_FLOAT32, {1}, &s), Constant("l", DT_FLOAT32, {1}, &l),
                    Constant("d", DT_FLOAT32, {1}, &d)};
    Layer* range = AddRangeLayer(rIn, nullptr, "range", 3, s, l, d);
    ExecuteLayer(range);
    EXPECT_TRUE(range->staticOutput);
    EXPECT_EQ(Values<float>(range->kernel->output[0]), (std::vector<float>{0, 3, 6, 9}));

    // ConstantOfShape from the folded shape, NonZero and Cast from initializers.
    ConstantOfShapeParams seven = {};
    seven.i32 = 7;
    Layer* fill = AddConstantOfShapeLayer(shape, nullptr, "fill", DT_INT32, seven);
    EXPECT_EQ(DimsOf(fill->kernel->output[0]), (Dims{4, 5, 6}));
    const int32_t grid[] = {1, 0, 0, 2};
    Layer* g = Constant("grid", DT_INT32, {2, 2}, grid);
    Layer* nz = AddNonZeroLayer(g, nullptr, "nz");
    Layer* cast = AddCastLayer(range, nullptr, "cast", DT_INT32);
    Layer* outs[] = {fill, nz, cast};
    Model* model = CreateModel(outs, 3);
    Layer** res = RunOnce(model, {});
    EXPECT_EQ(Values<int32_t>(res[0]->kernel->output[0]), std::vector<int32_t>(120, 7));
    EXPECT_EQ(Values<int32_t>(res[1]->kernel->output[0]), (std::vector<int32_t>{0, 1, 0, 1}));
    EXPECT_EQ(Values<int32_t>(res[2]->kernel->output[0]), (std::vector<int32_t>{0, 3, 6, 9}));
    DestroyModel(model);  // the input layer belongs to the model through the shape layer
}
