// Non-zero positions, shapes, ranges, constant fills and casts at kernel level.
#include <gtest/gtest.h>

#include <cmath>

#include "LayersReduction.h"
#include "TensorOperation.h"
#include "nn_kernel_list.h"
#include "reduce_util.h"
#include "test_util.h"

using namespace reduce_test;

namespace {

// A kernel record over owned tensors, run through the default function set of op.
struct KernelRun {
    Layer* layer;
    KernelRun(LayerOpType op, std::vector<Tensor*> inputs, Tensor* output, void* params = nullptr)
    {
        layer = CreateLayer("k", op, nullptr, inputs.data(), (uint32_t)inputs.size(), 0);
        layer->kernel->output[0] = output;
        layer->kernel->params = params;
        nn_kernel_fn_list_default[op]->execute(layer->kernel);
    }
    ~KernelRun() { DestroyLayer(layer); }
    const Tensor* out() const { return layer->kernel->output[0]; }
};

}  // namespace

TEST(NonZeroKernel, ColumnsHoldMultiIndicesInRowMajorOrder)
{
    const Dims dims = {3, 1, 4, 2};
    std::vector<float> x = RandomValues(Count(dims), 3);
    for (size_t i = 0; i < x.size(); i += 3) x[i] = 0.0f;
    x[1] = -0.0f;  // a zero as well
    // Row d holds the axis-d indices of the non-zero elements.
    std::vector<std::vector<int32_t>> expect(4);
    std::vector<uint32_t> idx(4, 0);
    size_t flat = 0;
    do {
        if (x[flat++] != 0.0f)
            for (size_t d = 0; d < 4; ++d) expect[d].push_back((int32_t)idx[d]);
    } while (Next(idx, dims));
    const uint32_t n = (uint32_t)expect[0].size();
    std::vector<int32_t> rows;
    for (auto& r : expect) rows.insert(rows.end(), r.begin(), r.end());

    Tensor* in = MakeF32(dims, x);
    KernelRun f32(OP_NonZero, {in}, MakeI32({4, n}, {}));
    EXPECT_EQ(Values<int32_t>(f32.out()), rows);
    // The same positions from int32, uint32 and float16 data.
    std::vector<int32_t> xi(x.size());
    for (size_t i = 0; i < x.size(); ++i) xi[i] = x[i] == 0.0f ? 0 : (int32_t)std::floor(x[i]) * 2 + 1;
    KernelRun i32(OP_NonZero, {MakeI32(dims, xi)}, MakeI32({4, n}, {}));
    EXPECT_EQ(Values<int32_t>(i32.out()), rows);
    KernelRun u32(OP_NonZero, {Make(DT_UINT32, dims, xi)}, MakeI32({4, n}, {}));
    EXPECT_EQ(Values<int32_t>(u32.out()), rows);
    KernelRun f16(OP_NonZero, {MakeF16(dims, x)}, MakeI32({4, n}, {}));
    EXPECT_EQ(Values<int32_t>(f16.out()), rows);
}

TEST(NonZeroKernel, SurplusColumnsStayZeroAndExtraElementsAreDropped)
{
    // Half -0 compares equal to zero, so one of the three columns sized for it stays zero.
    Tensor* out = MakeI32({1, 3}, {9, 9, 9});
    Tensor* half = Make<uint16_t>(DT_FLOAT16, {4}, {0x3C00, 0x8000, 0x0000, 0x4000});
    EXPECT_EQ(NonZeroOutputShape(half).dimension[1], 3u);  // the shape rule counts bit patterns
    NonZero_fl16_ref(out, half);
    EXPECT_EQ(Values<int32_t>(out), (std::vector<int32_t>{0, 3, 0}));
    // More non-zero elements than columns: the first ones are kept.
    Tensor* ints = MakeI32({5}, {0, 4, 4, 4, 4});
    NonZero_Int32_ref(out, ints);
    EXPECT_EQ(Values<int32_t>(out), (std::vector<int32_t>{1, 2, 3}));
    for (Tensor* t : {out, half, ints}) DestroyTensor(t);
}

TEST(ShapeRangeFillCastKernels, ComputeFromTheirInputs)
{
    KernelRun shape(OP_Shape, {MakeF32({2, 7, 1, 3}, {})}, MakeI32({4}, {}));
    EXPECT_EQ(Values<int32_t>(shape.out()), (std::vector<int32_t>{2, 7, 1, 3}));

    // Float: fma(delta, i, start); int32: start + i * delta.
    KernelRun rf(OP_Range, {MakeF32({1}, {0.1f}), MakeF32({1}, {1.0f}), MakeF32({1}, {0.3f})}, MakeF32({4}, {}));
    const std::vector<float> rv = Values<float>(rf.out());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(rv[i], fmaf(0.3f, (float)i, 0.1f)) << i;
    KernelRun ri(OP_Range, {MakeI32({1}, {10}), MakeI32({1}, {0}), MakeI32({1}, {-4})}, MakeI32({3}, {}));
    EXPECT_EQ(Values<int32_t>(ri.out()), (std::vector<int32_t>{10, 6, 2}));

    ConstantOfShapeParams* fill = (ConstantOfShapeParams*)calloc(1, sizeof(ConstantOfShapeParams));
    fill->f32 = 2.5f;
    KernelRun cf(OP_ConstantOfShape, {MakeI32({2}, {2, 3})}, MakeF32({2, 3}, {}), fill);
    EXPECT_EQ(Values<float>(cf.out()), std::vector<float>(6, 2.5f));
    ConstantOfShapeParams* byte = (ConstantOfShapeParams*)calloc(1, sizeof(ConstantOfShapeParams));
    byte->i32 = 1;  // a boolean true in the low byte
    KernelRun cb(OP_ConstantOfShape, {MakeI32({1}, {5})}, Make<int8_t>(DT_INT8, {5}, {}), byte);
    EXPECT_EQ(Values<int8_t>(cb.out()), std::vector<int8_t>(5, 1));

    KernelRun cast(OP_Cast, {MakeF32({4}, {1.9f, -1.9f, 0.0f, 3e9f})}, MakeI32({4}, {}));
    EXPECT_EQ(Values<int32_t>(cast.out()), (std::vector<int32_t>{1, -1, 0, 2147483647}));
}
