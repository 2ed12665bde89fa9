// Reductions, arg-max and cumulative sums against naive index loops.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "LayersReduction.h"
#include "nn_kernel_list.h"
#include "reduce_util.h"
#include "test_util.h"

using namespace reduce_test;
using corvus_test::ExpectFatal;

namespace {

const LayerOpType kReduceOps[] = {OP_ReduceSum, OP_ReduceMean, OP_ReduceMax, OP_ReduceMin, OP_ReduceL2};

// Naive reduction: every input element, in row-major order, is folded into
// the output element found by dropping its reduced coordinates.
std::vector<float> NaiveReduce(const std::vector<float>& x, const Dims& dims, const std::vector<bool>& reduced,
                               LayerOpType op)
{
    Dims outDims;
    for (size_t d = 0; d < dims.size(); ++d)
        if (!reduced[d]) outDims.push_back(dims[d]);
    const uint64_t outCount = Count(outDims);
    const float init = op == OP_ReduceMax   ? -std::numeric_limits<float>::infinity()
                       : op == OP_ReduceMin ? std::numeric_limits<float>::infinity()
                                            : 0.0f;
    std::vector<float> acc(outCount, init);
    std::vector<uint32_t> idx(dims.size(), 0);
    size_t flat = 0;
    do {
        uint64_t o = 0;
        for (size_t d = 0; d < dims.size(); ++d)
            if (!reduced[d]) o = o * dims[d] + idx[d];
        const float v = x[flat++];
        switch (op) {
            case OP_ReduceMax: acc[o] = v > acc[o] ? v : acc[o]; break;
            case OP_ReduceMin: acc[o] = v < acc[o] ? v : acc[o]; break;
            case OP_ReduceL2: acc[o] = acc[o] + v * v; break;
            default: acc[o] = acc[o] + v; break;
        }
    } while (!dims.empty() && Next(idx, dims));
    for (float& a : acc) {
        if (op == OP_ReduceMean) a = a * ((float)outCount / (float)x.size());
        if (op == OP_ReduceL2) a = sqrtf(a);
    }
    return acc;
}

Dims ReducedDims(const Dims& dims, const std::vector<bool>& reduced, bool keep)
{
    Dims out;
    for (size_t d = 0; d < dims.size(); ++d)
        if (!reduced[d] || keep) out.push_back(reduced[d] ? 1 : dims[d]);
    return out;
}

ReduceParams Params(const std::vector<bool>& reduced, bool keep)
{
    ReduceParams p = {};
    for (uint32_t d = 0; d < reduced.size(); ++d)
        if (reduced[d]) p.axes[p.axesCount++] = d;
    p.keepdims = keep;
    return p;
}

}  // namespace

TEST(ReduceKernel, EveryAxisSubsetOfOneToSixDimensionsMatchesNaiveLoops)
{
    const Dims full = {3, 2, 4, 1, 3, 2};
    int runs = 0;
    for (size_t rank = 1; rank <= 6; ++rank) {
        const Dims dims(full.begin(), full.begin() + rank);
        const std::vector<float> x = RandomValues(Count(dims), (uint32_t)rank);
        Tensor* in = MakeF32(dims, x);
        for (uint32_t mask = 1; mask < (1u << rank); ++mask) {
            std::vector<bool> reduced(rank);
            for (size_t d = 0; d < rank; ++d) reduced[d] = (mask >> d) & 1;
            for (bool keep : {false, true}) {
                const ReduceParams p = Params(reduced, keep);
                for (LayerOpType op : kReduceOps) {
                    Tensor* out = MakeF32(ReducedDims(dims, reduced, keep), {});
                    Reduce_ref(out, in, &p, op);
                    const std::vector<float> expect = NaiveReduce(x, dims, reduced, op);
                    // The order of the sums is fixed (index order), so results are exact.
                    ASSERT_EQ(Values<float>(out), expect) << "rank " << rank << " mask " << mask << " op " << op;
                    DestroyTensor(out);
                    ++runs;
                }
            }
        }
        DestroyTensor(in);
    }
    EXPECT_EQ(runs, 120 * 2 * 5);  // 2^r - 1 non-empty subsets for r = 1..6
}

TEST(ReduceKernel, NoAxesReducesEverythingAndRankZeroOutput)
{
    const std::vector<float> x = {1, 2, 3, 4, 5, 6};
    Tensor* in = MakeF32({2, 3}, x);
    const ReduceParams all = {{}, 0, 0};
    Tensor* out = MakeF32({1}, {});
    Reduce_ref(out, in, &all, OP_ReduceSum);
    EXPECT_EQ(Values<float>(out), std::vector<float>{21});
    DestroyTensor(out);
    // Both axes listed without keepdims: a rank-0 result, the sum times 1/6.
    const ReduceParams both = {{0, 1}, 2, 0};
    Tensor* scalar = CreateTensor(DT_FLOAT32, DL_NONE, 0, ShapeOf({}), true);
    Reduce_ref(scalar, in, &both, OP_ReduceMean);
    EXPECT_EQ(*(float*)scalar->data, 21.0f * (1.0f / 6.0f));
    DestroyTensor(scalar);
    DestroyTensor(in);
}

TEST(ReduceKernel, NanIsSkippedByMaxAndMinAndStridedAndHalfInputs)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Tensor* in = MakeF32({1, 4}, {nan, 1.0f, nan, -2.0f});
    const ReduceParams p = {{1}, 1, 0};
    Tensor* out = MakeF32({1}, {});
    Reduce_ref(out, in, &p, OP_ReduceMax);
    EXPECT_EQ(Values<float>(out)[0], 1.0f);
    Reduce_ref(out, in, &p, OP_ReduceMin);
    EXPECT_EQ(Values<float>(out)[0], -2.0f);
    DestroyTensor(in);
    DestroyTensor(out);

    // A strided view: the dense [3, 4] block of a [3, 6] buffer.
    const std::vector<float> buf = RandomValues(18, 5);
    std::vector<float> dense;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) dense.push_back(buf[r * 6 + c]);
    Tensor* view = CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, ShapeOf({3, 4}), corvus_test::Strides({6, 1}), false);
    SetTensorData(view, (void*)buf.data());
    const ReduceParams cols = {{0}, 1, 1};
    Tensor* o = MakeF32({1, 4}, {});
    Reduce_ref(o, view, &cols, OP_ReduceL2);
    EXPECT_EQ(Values<float>(o), NaiveReduce(dense, {3, 4}, {true, false}, OP_ReduceL2));
    DestroyTensor(o);
    DestroyTensor(view);

    // Float16 in and out: computed in float32 on the widened values, rounded once at the end.
    const std::vector<float> hv = HalfRounded(RandomValues(24, 6));
    Tensor* h = MakeF16({2, 3, 4}, hv);
    const ReduceParams mid = {{1}, 1, 0};
    Tensor* ho = Make<uint16_t>(DT_FLOAT16, {2, 4}, {});
    Reduce_ref(ho, h, &mid, OP_ReduceMean);
    EXPECT_EQ(HalfValues(ho), HalfRounded(NaiveReduce(hv, {2, 3, 4}, {false, true, false}, OP_ReduceMean)));
    DestroyTensor(h);
    DestroyTensor(ho);
}

TEST(ReduceKernel, FatalChecks)
{
    ExpectFatal("Reduce_ref", {
        {[] { nn_kernel_fn_list[kfname_ReduceSum_ref]->execute(nullptr); }, "kernel pointer is null"},
        {[] {
             const ReduceParams p = {{1, 0}, 2, 1};
             Reduce_ref(MakeF32({1, 1}, {}), MakeF32({2, 2}, {1, 2, 3, 4}), &p, OP_ReduceSum);
         },
         "Reduce_ref: axes must be increasing and below the input rank"},
        {[] {
             const ReduceParams p = {{1}, 1, 1};
             Reduce_ref(MakeF32({2, 2}, {}), MakeF32({2, 2}, {1, 2, 3, 4}), &p, OP_ReduceSum);
         },
         "Reduce_ref: output holds 4 elements, the reduction gives 2"},
        {[] {
             const ReduceParams p = {{0}, 1, 1};
             Reduce_ref(MakeI32({1}, {}), MakeI32({2}, {1, 2}), &p, OP_ReduceSum);
         },
         "Reduce_ref: input and output must both be float32 or both float16"},
    });
}

// ---- ArgMax ------------------------------------------------------------------

namespace {

// Naive rule: index 0 wins if its value is NaN; otherwise the largest
// non-NaN value, at its first (or last) position.
int32_t NaiveArgMax(const std::vector<float>& line, bool last)
{
    if (std::isnan(line[0])) return 0;
    float best = line[0];
    for (float v : line)
        if (!std::isnan(v) && v > best) best = v;
    int32_t at = -1;
    for (size_t j = 0; j < line.size(); ++j)
        if (line[j] == best && (at < 0 || last)) at = (int32_t)j;
    return at;
}

}  // namespace

TEST(ArgMaxKernel, TiesNanAndEveryAxisMatchTheNaiveRule)
{
    const Dims dims = {3, 4, 5};
    // Few distinct values for many ties, and some NaNs (never at a line start here).
    std::vector<float> x = RandomValues(Count(dims), 11);
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = std::floor(x[i] / 2.0f);
        if (i % 7 == 3) x[i] = std::numeric_limits<float>::quiet_NaN();
    }
    Tensor* in = MakeF32(dims, x);
    for (uint32_t axis = 0; axis < 3; ++axis)
        for (bool last : {false, true}) {
            Dims od = dims;
            od[axis] = 1;
            Tensor* out = MakeI32(od, {});
            const ArgMaxParams p = {axis, true, last};
            ArgMax_ref(out, in, &p);
            const std::vector<int32_t> got = Values<int32_t>(out);
            std::vector<uint32_t> idx(3, 0);
            size_t k = 0;
            do {
                std::vector<float> line;
                std::vector<uint32_t> at = idx;
                for (uint32_t j = 0; j < dims[axis]; ++j) {
                    at[axis] = j;
                    line.push_back(x[(at[0] * dims[1] + at[1]) * dims[2] + at[2]]);
                }
                ASSERT_EQ(got[k++], NaiveArgMax(line, last)) << "axis " << axis << " last " << last;
            } while (Next(idx, od));
            DestroyTensor(out);
        }
    DestroyTensor(in);
}

TEST(ArgMaxKernel, SmallCasesAndHalfInput)
{
    auto run = [](const Dims& dims, const std::vector<float>& v, uint32_t axis, bool last, bool half = false) {
        Tensor* in = half ? MakeF16(dims, v) : MakeF32(dims, v);
        Dims od = dims;
        od[axis] = 1;
        Tensor* out = MakeI32(od, {});
        const ArgMaxParams p = {axis, true, last};
        ArgMax_ref(out, in, &p);
        const std::vector<int32_t> r = Values<int32_t>(out);
        DestroyTensor(in);
        DestroyTensor(out);
        return r;
    };
    // Values 1, 3, 3: the first 3 is at index 1, the last at 2.
    EXPECT_EQ(run({3}, {1, 3, 3}, 0, false), std::vector<int32_t>{1});
    EXPECT_EQ(run({3}, {1, 3, 3}, 0, true), std::vector<int32_t>{2});
    // A [1, 3, 3] tensor of equal values along axis 1: first 0, last 2.
    EXPECT_EQ(run({1, 3, 3}, std::vector<float>(9, 7.0f), 1, false), std::vector<int32_t>(3, 0));
    EXPECT_EQ(run({1, 3, 3}, std::vector<float>(9, 7.0f), 1, true), std::vector<int32_t>(3, 2));
    // A NaN at the start stays; later NaNs never win.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(run({3}, {nan, 5, 6}, 0, true), std::vector<int32_t>{0});
    EXPECT_EQ(run({3}, {5, nan, 4}, 0, true), std::vector<int32_t>{0});
    EXPECT_EQ(run({4}, {-1, -1, -0.5f, -0.5f}, 0, false, true), std::vector<int32_t>{2});
    EXPECT_EQ(run({4}, {-1, -1, -0.5f, -0.5f}, 0, true, true), std::vector<int32_t>{3});
}

TEST(ArgMaxKernel, FatalChecks)
{
    ExpectFatal("Reduce_ref", {
        {[] { nn_kernel_fn_list[kfname_ArgMax_ref]->execute(nullptr); }, "Execute_ArgMax_ref: Kernel pointer is null"},
        {[] {
             const ArgMaxParams p = {0, true, false};
             ArgMax_ref(MakeI32({1}, {}), MakeI32({2}, {1, 2}), &p);
         },
         "Execute_ArgMax_ref: Input data type is not in (float32, float16)"},
        {[] {
             const ArgMaxParams p = {0, true, false};
             ArgMax_ref(MakeF32({1}, {}), MakeF32({2}, {1, 2}), &p);
         },
         "Execute_ArgMax_ref: Output data type is not in (int32)"},
    });
}

// ---- CumSum ------------------------------------------------------------------

namespace {

std::vector<float> NaiveCumSum(const std::vector<float>& x, const Dims& dims, uint32_t axis, bool exclusive,
                               bool reverse)
{
    std::vector<float> y(x.size());
    uint64_t inner = 1;
    for (size_t d = axis + 1; d < dims.size(); ++d) inner *= dims[d];
    const uint64_t n = dims[axis];
    const uint64_t outer = x.size() / (n * inner);
    for (uint64_t o = 0; o < outer; ++o)
        for (uint64_t i = 0; i < inner; ++i) {
            auto at = [&](uint64_t t) { return (o * n + t) * inner + i; };
            if (!reverse) {
                y[at(0)] = exclusive ? 0.0f : x[at(0)];
                for (uint64_t t = 1; t < n; ++t) y[at(t)] = y[at(t - 1)] + x[at(exclusive ? t - 1 : t)];
            } else {
                y[at(n - 1)] = exclusive ? 0.0f : x[at(n - 1)];
                for (uint64_t t = n - 1; t-- > 0;) y[at(t)] = y[at(t + 1)] + x[at(exclusive ? t + 1 : t)];
            }
        }
    return y;
}

}  // namespace

TEST(CumSumKernel, EveryAxisDirectionAndExclusivityMatchesNaiveLoops)
{
    const Dims dims = {2, 3, 4, 5};
    const std::vector<float> x = RandomValues(Count(dims), 21);
    Tensor* in = MakeF32(dims, x);
    for (int32_t axis = -4; axis < 4; ++axis)
        for (bool exclusive : {false, true})
            for (bool reverse : {false, true}) {
                Tensor* out = MakeF32(dims, {});
                const CumSumParams p = {exclusive, reverse};
                CumSum_fl32_ref(out, in, axis, &p);
                const uint32_t a = (uint32_t)(axis < 0 ? axis + 4 : axis);
                ASSERT_EQ(Values<float>(out), NaiveCumSum(x, dims, a, exclusive, reverse))
                    << axis << exclusive << reverse;
                DestroyTensor(out);
            }
    DestroyTensor(in);
}

TEST(CumSumKernel, HandValuesAndHalf)
{
    auto run = [](bool exclusive, bool reverse, bool half) {
        Tensor* in = half ? MakeF16({3}, {1, 2, 3}) : MakeF32({3}, {1, 2, 3});
        Tensor* out = half ? Make<uint16_t>(DT_FLOAT16, {3}, {}) : MakeF32({3}, {});
        const CumSumParams p = {exclusive, reverse};
        (half ? CumSum_fl16_ref : CumSum_fl32_ref)(out, in, 0, &p);
        std::vector<float> r = half ? HalfValues(out) : Values<float>(out);
        DestroyTensor(in);
        DestroyTensor(out);
        return r;
    };
    for (bool half : {false, true}) {
        EXPECT_EQ(run(false, false, half), (std::vector<float>{1, 3, 6}));
        EXPECT_EQ(run(true, false, half), (std::vector<float>{0, 1, 3}));
        EXPECT_EQ(run(false, true, half), (std::vector<float>{6, 5, 3}));
        EXPECT_EQ(run(true, true, half), (std::vector<float>{5, 3, 0}));
    }
}

TEST(CumSumKernel, FatalChecks)
{
    ExpectFatal("Reduce_ref", {
        {[] {
             const CumSumParams p = {false, false};
             CumSum_fl32_ref(MakeF32({2, 2}, {}), MakeF32({2, 2}, {1, 2, 3, 4}), 2, &p);
         },
         "sum_axis < out->ndim: false, expected: true"},
        {[] {
             const CumSumParams p = {false, false};
             CumSum_fl32_ref(MakeF32({2, 2}, {}), MakeF32({2, 2}, {1, 2, 3, 4}), -3, &p);
         },
         "sum_axis < out->ndim: false, expected: true"},
        {[] {
             Tensor* ins[] = {MakeI32({2}, {1, 2}), MakeI32({1}, {0})};
             Layer* l = CreateLayer("c", OP_CumSum, nullptr, ins, 2, 0);
             l->kernel->output[0] = MakeI32({2}, {});
             l->kernel->params = calloc(1, sizeof(CumSumParams));
             nn_kernel_fn_list[kfname_CumSum_ref]->execute(l->kernel);
         },
         "support only F16 or F32"},
    });
}
