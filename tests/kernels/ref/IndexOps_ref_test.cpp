// Non-zero positions, ranges and casts at kernel level.
#include "LayersReduction.h"
#include "TensorOperation.h"
#include "nn_kernel_list.h"
#include "reduce_util.h"

using namespace reduce_test;
using corvus_test::TensorPtr;

namespace {

// The int32 (or float) values op's default kernel writes into `output` (the layer owns the tensors).
template <class T = int32_t> std::vector<T> RunOp(LayerOpType op, std::vector<Tensor*> inputs, Tensor* output)
{
    Layer* layer = CreateLayer("k", op, nullptr, inputs.data(), (uint32_t)inputs.size(), 0);
    layer->kernel->output[0] = output;
    nn_kernel_fn_list_default[op]->execute(layer->kernel);
    const std::vector<T> v = Values<T>(output);
    DestroyLayer(layer);
    return v;
}

}  // namespace

// Row d holds the axis-d indices of the non-zero elements, from float32
// (-0 among the zeros), int32, uint32 and float16 data.
TEST(NonZeroKernel, ColumnsHoldMultiIndicesInRowMajorOrder)
{
    const Dims dims = {3, 1, 4, 2};
    std::vector<float> x = RandomValues(Count(dims), 3);
    for (size_t i = 0; i < x.size(); i += 3) x[i] = 0.0f;
    x[1] = -0.0f;
    std::vector<std::vector<int32_t>> expect(4);
    size_t flat = 0;
    ForEachIndex(dims, [&](const Dims& idx) {
        if (x[flat++] != 0.0f)
            for (size_t d = 0; d < 4; ++d) expect[d].push_back((int32_t)idx[d]);
    });
    const uint32_t n = (uint32_t)expect[0].size();
    std::vector<int32_t> rows, xi(x.size());
    for (auto& r : expect) rows.insert(rows.end(), r.begin(), r.end());
    for (size_t i = 0; i < x.size(); ++i) xi[i] = x[i] == 0.0f ? 0 : (int32_t)std::floor(x[i]) * 2 + 1;
    for (Tensor* in : {MakeF32(dims, x), MakeI32(dims, xi), Holding(DT_UINT32, dims, xi), MakeF16(dims, x)})
        EXPECT_EQ(RunOp(OP_NonZero, {in}, MakeI32({4, n}, {})), rows);

    // Half -0 compares equal to zero, so one of the three columns the shape
    // rule sizes for it (counting bit patterns) stays zero; with more
    // non-zero elements than columns the first ones are kept.
    TensorPtr out(MakeI32({1, 3}, {9, 9, 9}));
    TensorPtr half(Holding<uint16_t>(DT_FLOAT16, {4}, {0x3C00, 0x8000, 0x0000, 0x4000}));
    EXPECT_EQ(NonZeroOutputShape(half.get()).dimension[1], 3u);
    NonZero_fl16_ref(out.get(), half.get());
    EXPECT_EQ(Values<int32_t>(out.get()), (std::vector<int32_t>{0, 3, 0}));
    TensorPtr ints(MakeI32({5}, {0, 4, 4, 4, 4}));
    NonZero_Int32_ref(out.get(), ints.get());
    EXPECT_EQ(Values<int32_t>(out.get()), (std::vector<int32_t>{1, 2, 3}));
}

// Range: float fma(delta, i, start), int32 start + i * delta; casts
// truncate and saturate (shapes, fills and plain casts run in the parser's
// model tests).
TEST(RangeCastKernels, ComputeFromTheirInputs)
{
    const std::vector<float> rv =
        RunOp<float>(OP_Range, {MakeF32({1}, {0.1f}), MakeF32({1}, {1.0f}), MakeF32({1}, {0.3f})}, MakeF32({4}, {}));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(rv[i], fmaf(0.3f, (float)i, 0.1f)) << i;
    EXPECT_EQ(RunOp(OP_Range, {MakeI32({1}, {10}), MakeI32({1}, {0}), MakeI32({1}, {-4})}, MakeI32({3}, {})),
              (std::vector<int32_t>{10, 6, 2}));
    EXPECT_EQ(RunOp(OP_Cast, {MakeF32({4}, {1.9f, -1.9f, 0.0f, 3e9f})}, MakeI32({4}, {})),
              (std::vector<int32_t>{1, -1, 0, 2147483647}));
}
