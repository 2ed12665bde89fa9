// Constructors of the reduction, index, shape, einsum and initializer layers,
// and hand-built models running them.
#include <gtest/gtest.h>

#include <cmath>

#include "LayersReduction.h"
#include "NNKernelFnSelector.h"
#include "TensorOperation.h"
#include "nn_kernel_list.h"
#include "reduce_util.h"
#include "test_util.h"

using namespace reduce_test;
using corvus_test::ExpectFatal;

namespace {

Layer* Constant(const char* name, DataType dtype, const Dims& dims, const void* data)
{
    return AddInitializerLayer((uint32_t)dims.size(), dims.data(), dtype, data, name);
}

ConstantOfShapeParams FillF32(float v)
{
    ConstantOfShapeParams p = {};
    p.f32 = v;
    return p;
}

}  // namespace

TEST(ReductionLayers, ReduceShapesLayoutsAndParams)
{
    Tensor* desc = CreateTensor(DT_FLOAT32, DL_NHWC, 4, ShapeOf({2, 3, 4, 5}), false);
    Layer* in = AddInputLayer("x", desc);
    DestroyTensor(desc);
    const uint32_t axes[] = {1, 2};
    Layer* keep = AddReduceMean(in, nullptr, "mean", axes, 2, 1);
    EXPECT_EQ(keep->op, OP_ReduceMean);
    EXPECT_EQ(DimsOf(keep->kernel->output[0]), (Dims{2, 1, 1, 5}));
    EXPECT_EQ(keep->kernel->output[0]->layout, DL_NHWC);
    const ReduceParams* p = (const ReduceParams*)keep->kernel->params;
    EXPECT_EQ(p->axesCount, 2u);
    EXPECT_EQ(p->axes[0], 1u);
    EXPECT_EQ(p->axes[1], 2u);
    EXPECT_EQ(p->axes[2], 0u);
    EXPECT_EQ(p->keepdims, 1u);
    Layer* drop = AddReduceSum(in, nullptr, nullptr, axes, 2, 0);
    EXPECT_EQ(DimsOf(drop->kernel->output[0]), (Dims{2, 5}));
    EXPECT_EQ(drop->kernel->output[0]->layout, DL_NONE);
    // No axes: everything, rank kept with keepdims, else a single value.
    Layer* allKeep = AddReduceMax(in, nullptr, nullptr, nullptr, 0, 1);
    EXPECT_EQ(DimsOf(allKeep->kernel->output[0]), (Dims{1, 1, 1, 1}));
    Layer* allDrop = AddReduceMin(in, nullptr, nullptr, nullptr, 0, 0);
    EXPECT_EQ(DimsOf(allDrop->kernel->output[0]), (Dims{1}));
    const uint32_t every[] = {0, 1, 2, 3};
    Layer* scalar = AddReduceL2(in, nullptr, nullptr, every, 4, 0);
    EXPECT_EQ(scalar->kernel->output[0]->ndim, 0u);
    EXPECT_EQ(scalar->op, OP_ReduceL2);
    EXPECT_EQ(allKeep->op, OP_ReduceMax);
    EXPECT_EQ(allDrop->op, OP_ReduceMin);
    EXPECT_EQ(drop->op, OP_ReduceSum);
    for (Layer* l : {keep, drop, allKeep, allDrop, scalar, in}) DestroyLayer(l);
}

TEST(ReductionLayers, IndexAndShapeLayerOutputs)
{
    Layer* in = InputLayer("x", DT_FLOAT32, {2, 3, 4});
    Layer* am = AddArgMax(in, nullptr, "am", -1, false, true);
    EXPECT_EQ(DimsOf(am->kernel->output[0]), (Dims{2, 3}));
    EXPECT_EQ(am->kernel->output[0]->dtype, DT_INT32);
    const ArgMaxParams* ap = (const ArgMaxParams*)am->kernel->params;
    EXPECT_EQ(ap->axis, 2u);
    EXPECT_FALSE(ap->keepdims);
    EXPECT_TRUE(ap->selectLastIndex);
    Layer* amKeep = AddArgMax(in, nullptr, nullptr, 1, true, false);
    EXPECT_EQ(DimsOf(amKeep->kernel->output[0]), (Dims{2, 1, 4}));
    Layer* vec = InputLayer("v", DT_FLOAT32, {7});
    Layer* am1 = AddArgMax(vec, nullptr, nullptr, 0, false, false);
    EXPECT_EQ(DimsOf(am1->kernel->output[0]), (Dims{1}));

    const int32_t axis = 1;
    Layer* ax = Constant("axis", DT_INT32, {1}, &axis);
    Layer* cumIn[] = {in, ax};
    Layer* cum = AddCumSumLayer(cumIn, nullptr, "cum", 2, true, false);
    EXPECT_EQ(DimsOf(cum->kernel->output[0]), (Dims{2, 3, 4}));
    EXPECT_TRUE(((const CumSumParams*)cum->kernel->params)->exclusive);
    EXPECT_FALSE(((const CumSumParams*)cum->kernel->params)->reverse);

    Layer* shape = AddShapeLayer(in, nullptr, nullptr);
    EXPECT_EQ(DimsOf(shape->kernel->output[0]), (Dims{3}));
    EXPECT_EQ(shape->kernel->output[0]->dtype, DT_INT32);
    EXPECT_EQ(shape->kernel->output[0]->layout, DL_I);

    Layer* cast = AddCastLayer(in, nullptr, nullptr, DT_FLOAT16);
    EXPECT_EQ(DimsOf(cast->kernel->output[0]), (Dims{2, 3, 4}));
    EXPECT_EQ(cast->kernel->output[0]->dtype, DT_FLOAT16);

    const float values[] = {1, 0, 0, 2, 0, 3};
    Layer* nzSrc = Constant("nz", DT_FLOAT32, {2, 3}, values);
    Layer* nz = AddNonZeroLayer(nzSrc, nullptr, nullptr);
    EXPECT_EQ(DimsOf(nz->kernel->output[0]), (Dims{2, 3}));
    EXPECT_EQ(nz->kernel->output[0]->dtype, DT_INT32);

    const int32_t dims[] = {2, 3};
    Layer* shapeSrc = Constant("dims", DT_INT32, {2}, dims);
    Layer* fill = AddConstantOfShapeLayer(shapeSrc, nullptr, nullptr, DT_FLOAT32, FillF32(1.5f));
    EXPECT_EQ(DimsOf(fill->kernel->output[0]), (Dims{2, 3}));
    EXPECT_EQ(((const ConstantOfShapeParams*)fill->kernel->params)->f32, 1.5f);

    const float r0 = 0, r1 = 10, r2 = 3;
    Layer* rIn[] = {Constant("s", DT_FLOAT32, {1}, &r0), Constant("l", DT_FLOAT32, {1}, &r1),
                    Constant("d", DT_FLOAT32, {1}, &r2)};
    Layer* range = AddRangeLayer(rIn, nullptr, nullptr, 3, r0, r1, r2);
    EXPECT_EQ(DimsOf(range->kernel->output[0]), (Dims{4}));
    EXPECT_EQ(range->kernel->output[0]->layout, DL_I);

    for (Layer* l : {am, amKeep, am1, cum, shape, cast, nz, fill, range, in, vec, ax, nzSrc, shapeSrc, rIn[0], rIn[1],
                     rIn[2]})
        DestroyLayer(l);
}

TEST(ReductionLayers, EinsumAndInitializer)
{
    Layer* a = InputLayer("a", DT_FLOAT32, {2, 3, 4});
    Layer* b = InputLayer("b", DT_FLOAT32, {2, 4, 5});
    Layer* ab[] = {a, b};
    Layer* e = AddEinsumLayer(ab, nullptr, "e", "bij, bjk -> bik");
    EXPECT_EQ(DimsOf(e->kernel->output[0]), (Dims{2, 3, 5}));
    const EinsumParams* p = (const EinsumParams*)e->kernel->params;
    EXPECT_STREQ(p->equation, "bij,bjk->bik");
    EXPECT_STREQ(p->left, "bij");
    EXPECT_STREQ(p->right, "bjk");
    EXPECT_STREQ(p->result, "bik");
    EXPECT_EQ(p->leftCount, 3u);
    EXPECT_EQ(p->rightCount, 3u);
    Layer* full = AddEinsumLayer(ab, nullptr, nullptr, "bij,bjk->");
    EXPECT_EQ(full->kernel->output[0]->ndim, 0u);

    // The initializer copies the data; its output owns it.
    std::vector<int32_t> v = {1, 2, 3, 4, 5, 6};
    const uint32_t shape[] = {3, 2};
    Layer* init = AddInitializerLayer(2, shape, DT_INT32, v.data(), "init");
    v[0] = 99;
    EXPECT_EQ(init->op, OP_Initializer);
    EXPECT_TRUE(init->staticOutput);
    EXPECT_EQ(init->inputLayersNum, 0u);
    const Tensor* o = init->kernel->output[0];
    EXPECT_TRUE(o->allocatedData);
    EXPECT_EQ(o->layout, DL_NONE);
    EXPECT_EQ(DimsOf(o), (Dims{3, 2}));
    EXPECT_EQ(Values<int32_t>(o), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    Layer* zeros = AddInitializerLayer(1, shape, DT_FLOAT32, nullptr, nullptr);
    EXPECT_EQ(Values<float>(zeros->kernel->output[0]), std::vector<float>(3, 0.0f));
    Layer* scalar = AddInitializerLayer(0, nullptr, DT_FLOAT32, &v[1], nullptr);
    EXPECT_EQ(scalar->kernel->output[0]->ndim, 0u);
    EXPECT_EQ(*(float*)scalar->kernel->output[0]->data, *(float*)&v[1]);
    for (Layer* l : {e, full, a, b, init, zeros, scalar}) DestroyLayer(l);
}

TEST(ReductionLayers, ConstructorFailures)
{
    auto x = [](const Dims& d, DataType t = DT_FLOAT32) { return CreateTensor(t, DL_NONE, (uint32_t)d.size(), ShapeOf(d), false); };
    ExpectFatal("TensorOperation", {
        {[&] {
             const uint32_t axes[] = {2, 1};
             AddReduceSum(nullptr, x({2, 3, 4}), nullptr, axes, 2, 1);
         },
         "GetReduceShape: Wrong axes order"},
        {[&] {
             const uint32_t axes[] = {0, 1, 2};
             AddReduceMean(nullptr, x({2, 3}), nullptr, axes, 3, 1);
         },
         "GetReduceShape: Number of axes (3) for ReduceMean operation is greater than input tensor rank (2)"},
        {[&] {
             const float z = 5;
             Tensor* r[] = {MakeF32({1}, {z}), MakeF32({1}, {0}), MakeF32({1}, {1})};
             AddRangeLayer(nullptr, r, nullptr, 3, 5, 0, 1);
         },
         "GetRangeShape: Wrong start (5.000000), limit (0.000000), delta (1.000000) parameters"},
        {[&] {
             Tensor* ab[] = {x({2, 3}), x({4, 5})};
             AddEinsumLayer(nullptr, ab, nullptr, "ij,jk->ik");
         },
         "ComputeEinsumOutputShape: Dimension mismatch for general index 'j'.\n"},
    });
    ExpectFatal("Layers", {
        {[&] { AddArgMax(nullptr, x({2, 3}), nullptr, 2, true, false); }, "ArgMax: Invalid axis value: 2\n"},
        {[&] { AddArgMax(nullptr, x({2, 3}), nullptr, -3, true, false); }, "ArgMax: Invalid axis value: -3\n"},
        {[&] {
             Tensor* t[] = {x({2}), x({1}, DT_INT32), x({1}, DT_INT32)};
             AddCumSumLayer(nullptr, t, nullptr, 3, false, false);
         },
         "AddCumSumLayer: inputs_num must be equal 2. Current value: 3"},
        {[&] {
             Tensor* t[] = {MakeF32({1}, {0}), MakeF32({1}, {5})};
             AddRangeLayer(nullptr, t, nullptr, 2, 0, 5, 1);
         },
         "AddRangeLayer: inputs_num must be equal 3. Current value: 2"},
        {[&] {
             Tensor* t[] = {MakeF32({1}, {0}), MakeF32({2}, {5, 6}), MakeF32({1}, {1})};
             AddRangeLayer(nullptr, t, nullptr, 3, 0, 5, 1);
         },
         "AddRangeLayer: Input tensor is not scalar"},
        {[&] { AddConstantOfShapeLayer(nullptr, MakeF32({2}, {2, 3}), nullptr, DT_FLOAT32, FillF32(0)); },
         "AddConstantOfShapeLayer: Shape tensor data type is not int32"},
        {[&] { AddConstantOfShapeLayer(nullptr, MakeI32({2}, {2, -3}), nullptr, DT_FLOAT32, FillF32(0)); },
         "AddConstantOfShapeLayer: Negative dimension -3 in the shape tensor"},
        {[&] { AddConstantOfShapeLayer(nullptr, MakeI32({7}, {1, 1, 1, 1, 1, 1, 1}), nullptr, DT_FLOAT32, FillF32(0)); },
         "AddConstantOfShapeLayer: Shape tensor holds 7 values, at most 6 are supported"},
        {[&] { AddConstantOfShapeLayer(nullptr, MakeI32({2}, {65536, 65536}), nullptr, DT_FLOAT32, FillF32(0)); },
         "AddConstantOfShapeLayer: The shape holds more than 4294967295 elements"},
        {[&] { AddNonZeroLayer(nullptr, x({3}), "nz"); },
         "AddNonZeroLayer: the input of layer \"nz\" holds no data; its values size the output"},
        {[&] {
             Tensor* ab[] = {x({2, 2}), x({2, 2})};
             AddEinsumLayer(nullptr, ab, nullptr, "ii,ij->j");
         },
         "Check equation pattern: ii,ij->j\n. Trace-like operators are not supported in the current version."},
        {[&] {
             Tensor* ab[] = {x({2, 2}), x({2, 2})};
             AddEinsumLayer(nullptr, ab, nullptr, "ijk,jk->ik");
         },
         "AddEinsumLayer: The equation ijk,jk->ik names 3 and 2 indices for operands of rank 2 and 2"},
        {[&] {
             const uint32_t s[7] = {1, 1, 1, 1, 1, 1, 1};
             AddInitializerLayer(7, s, DT_FLOAT32, nullptr, nullptr);
         },
         "AddInitializerLayer: Rank 7 is greater than 6"},
    });
}

TEST(ReductionModel, ReductionsArgMaxAndCumSumThroughPredict)
{
    const Dims dims = {2, 3, 4};
    const std::vector<float> x = RandomValues(Count(dims), 31);
    Tensor* feed = MakeF32(dims, x);
    Layer* in = InputLayer("x", DT_FLOAT32, dims);
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
    Layer* in = InputLayer("x", DT_FLOAT32, {4, 5, 6});
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

TEST(ReductionModel, EinsumWithAConstantOperand)
{
    const std::vector<float> a = RandomValues(2 * 3 * 4, 41), w = RandomValues(4 * 5, 42);
    Tensor* feed = MakeF32({2, 3, 4}, a);
    Layer* in = InputLayer("a", DT_FLOAT32, {2, 3, 4});
    Layer* ops[] = {in, Constant("w", DT_FLOAT32, {4, 5}, w.data())};
    Layer* e = AddEinsumLayer(ops, nullptr, "e", "bij,jk->bik");
    Model* model = CreateModel(&e, 1);
    const std::vector<float> got = Values<float>(RunOnce(model, {{"a", feed}})[0]->kernel->output[0]);
    ASSERT_EQ(got.size(), 30u);
    for (uint32_t n = 0; n < 2; ++n)
        for (uint32_t i = 0; i < 3; ++i)
            for (uint32_t k = 0; k < 5; ++k) {
                double ref = 0.0;
                for (uint32_t j = 0; j < 4; ++j) ref += (double)a[(n * 3 + i) * 4 + j] * w[j * 5 + k];
                EXPECT_NEAR(got[(n * 3 + i) * 5 + k], ref, 1e-5 * (1.0 + std::fabs(ref)));
            }
    DestroyModel(model);
    DestroyTensor(feed);
}
