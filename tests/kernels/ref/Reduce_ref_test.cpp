// Reductions, arg-max and cumulative sums against the naive index loops of
// reduce_util.h (half precision in HalfPrecision_ref_test).
#include "LayersReduction.h"
#include "reduce_util.h"

using namespace reduce_test;
using corvus_test::TensorPtr;

// The order of the sums is fixed (index order): exact results.
TEST(ReduceKernel, EveryAxisSubsetOfOneToSixDimensionsMatchesNaiveLoops)
{
    const Dims full = {3, 2, 4, 1, 3, 2};
    for (size_t rank = 1; rank <= 6; ++rank) {
        const Dims dims(full.begin(), full.begin() + rank);
        const std::vector<float> x = RandomValues(Count(dims), (uint32_t)rank);
        TensorPtr in(MakeF32(dims, x));
        for (uint32_t mask = 1; mask < (1u << rank); ++mask)
            for (bool keep : {false, true}) {
                std::vector<bool> reduced(rank);
                ReduceParams p = {};
                Dims od;
                for (uint32_t d = 0; d < rank; ++d) {
                    reduced[d] = mask >> d & 1;
                    if (reduced[d]) p.axes[p.axesCount++] = d;
                    if (!reduced[d] || keep) od.push_back(reduced[d] ? 1 : dims[d]);
                }
                p.keepdims = keep;
                for (LayerOpType op : {OP_ReduceSum, OP_ReduceMean, OP_ReduceMax, OP_ReduceMin, OP_ReduceL2}) {
                    TensorPtr out(MakeF32(od, {}));
                    Reduce_ref(out.get(), in.get(), &p, op);
                    ASSERT_EQ(Values<float>(out.get()), NaiveReduce(x, dims, reduced, op))
                        << rank << " " << mask << " " << op;
                }
            }
    }
}

// No axes reduces everything; both axes without keepdims give rank 0; max
// and min skip NaN; a strided [3, 4] block of a [3, 6] buffer; refusals.
TEST(ReduceKernel, AllAxesNaNStridedInputAndRefusals)
{
    TensorPtr in(MakeF32({2, 3}, {1, 2, 3, 4, 5, 6})), out(MakeF32({1}, {})), scalar(MakeF32({}, {}));
    const ReduceParams all = {{}, 0, 0}, both = {{0, 1}, 2, 0}, row = {{1}, 1, 0}, cols = {{0}, 1, 1};
    Reduce_ref(out.get(), in.get(), &all, OP_ReduceSum);
    Reduce_ref(scalar.get(), in.get(), &both, OP_ReduceMean);
    EXPECT_EQ(Values<float>(out.get())[0], 21.0f);
    EXPECT_EQ(*(float*)scalar->data, 21.0f * (1.0f / 6.0f));
    TensorPtr nan(MakeF32({1, 4}, {NAN, 1.0f, NAN, -2.0f}));
    Reduce_ref(out.get(), nan.get(), &row, OP_ReduceMax);
    EXPECT_EQ(Values<float>(out.get())[0], 1.0f);
    Reduce_ref(out.get(), nan.get(), &row, OP_ReduceMin);
    EXPECT_EQ(Values<float>(out.get())[0], -2.0f);
    const std::vector<float> buf = RandomValues(18, 5);
    std::vector<float> dense;
    for (int e = 0; e < 12; ++e) dense.push_back(buf[e / 4 * 6 + e % 4]);
    TensorPtr view = corvus_test::NewTensor(DT_FLOAT32, {3, 4}, {6, 1}, false), o(MakeF32({1, 4}, {}));
    SetTensorData(view.get(), (void*)buf.data());
    Reduce_ref(o.get(), view.get(), &cols, OP_ReduceL2);
    EXPECT_EQ(Values<float>(o.get()), NaiveReduce(dense, {3, 4}, {true, false}, OP_ReduceL2));
    TensorPtr one(MakeF32({1, 1}, {})), four(MakeF32({2, 2}, {})), sq(MakeF32({2, 2}, {1, 2, 3, 4}));
    const ReduceParams decreasing = {{1, 0}, 2, 1}, kept = {{1}, 1, 1};
    corvus_test::ExpectFatal("Reduce_ref", {
                                               {[&] { Reduce_ref(one.get(), sq.get(), &decreasing, OP_ReduceSum); },
                                                "Reduce_ref: axes must be increasing and below the input rank"},
                                               {[&] { Reduce_ref(four.get(), sq.get(), &kept, OP_ReduceSum); },
                                                "Reduce_ref: output holds 4 elements, the reduction gives 2"},
                                           });
}

// Few distinct values for many ties, and NaNs (never at a line start in the
// sweep); by hand: a leading NaN wins.
TEST(ArgMaxKernel, TiesAndNaNOnEveryAxis)
{
    const Dims dims = {3, 4, 5};
    std::vector<float> x = RandomValues(Count(dims), 11);
    for (size_t i = 0; i < x.size(); ++i) x[i] = i % 7 == 3 ? NAN : std::floor(x[i] / 2.0f);
    TensorPtr in(MakeF32(dims, x));
    for (uint32_t axis = 0; axis < 3; ++axis)
        for (bool last : {false, true}) {
            Dims od = dims;
            od[axis] = 1;
            TensorPtr out(MakeI32(od, {}));
            const ArgMaxParams p = {axis, true, last};
            ArgMax_ref(out.get(), in.get(), &p);
            const std::vector<int32_t> got = Values<int32_t>(out.get());
            size_t k = 0;
            ForEachIndex(od, [&](const Dims& idx) {
                std::vector<float> line;
                for (Dims at = idx; at[axis] < dims[axis]; ++at[axis])
                    line.push_back(x[(at[0] * dims[1] + at[1]) * dims[2] + at[2]]);
                ASSERT_EQ(got[k++], NaiveArgMax(line, last)) << "axis " << axis << " last " << last;
            });
        }
    TensorPtr t(MakeF32({3}, {NAN, 5, 6})), o(MakeI32({1}, {}));
    for (bool last : {false, true}) {
        const ArgMaxParams p = {0, true, last};
        ArgMax_ref(o.get(), t.get(), &p);
        EXPECT_EQ(Values<int32_t>(o.get())[0], 0);
    }
}

TEST(CumSumKernel, EveryAxisDirectionAndExclusivityMatchesNaiveLoops)
{
    const Dims dims = {2, 3, 4, 5};
    const std::vector<float> x = RandomValues(Count(dims), 21);
    TensorPtr in(MakeF32(dims, x)), out(MakeF32(dims, {}));
    for (int32_t axis = -4; axis < 4; ++axis)
        for (bool exclusive : {false, true})
            for (bool reverse : {false, true}) {
                const CumSumParams p = {exclusive, reverse};
                CumSum_fl32_ref(out.get(), in.get(), axis, &p);
                ASSERT_EQ(Values<float>(out.get()), NaiveCumSum(x, dims, (axis + 4) % 4, exclusive, reverse))
                    << axis << exclusive << reverse;
            }
}
