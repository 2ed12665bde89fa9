#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "LayersDataMovement.h"
#include "NNKernelFnSelector.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace dm_test;

namespace {

struct AxisSlice {
    int32_t axis, start, end, step;
};

// numpy-style positions of one sliced dimension: negative starts and ends
// count from the end, INT_MIN as end runs down through element 0, INT_MAX
// up to the last element.
std::vector<uint32_t> Positions(int64_t dim, int32_t start, int32_t end, int32_t step)
{
    int64_t s = start < 0 ? start + dim : start;
    int64_t e = end == INT_MIN ? -1 : end == INT_MAX ? dim : end < 0 ? end + dim : end;
    std::vector<uint32_t> pos;
    for (int64_t i = s; step > 0 ? i < e : i > e; i += step) pos.push_back((uint32_t)i);
    return pos;
}

// Builds the layer from tensors, runs its kernel and returns it.
Layer* RunSlice(const Tensor* data, const std::vector<AxisSlice>& slices)
{
    std::vector<int32_t> starts, ends, axes, steps;
    for (const AxisSlice& s : slices) {
        axes.push_back(s.axis);
        starts.push_back(s.start);
        ends.push_back(s.end);
        steps.push_back(s.step);
    }
    Tensor* in = CreateTensorWithStrides((DataType)data->dtype, DL_NONE, data->ndim, data->shape, data->stride, true);
    CopyTensorData(data, in);
    Tensor* tensors[5] = {in, Int32Tensor(starts).release(), Int32Tensor(ends).release(), Int32Tensor(axes).release(),
                          Int32Tensor(steps).release()};
    Layer* layer = AddSliceLayer(nullptr, tensors, 5, nullptr);
    AllocTensorData(layer->kernel->output[0]);
    nn_kernel_fn_list[kfname_Slice_ref]->execute(layer->kernel);
    return layer;
}

// Destroys the layer at the end of the full expression.
struct TempLayer {
    Layer* layer;
    explicit TempLayer(Layer* l) : layer(l) {}
    ~TempLayer() { DestroyLayer(layer); }
    Layer* operator->() const { return layer; }
};

void ExpectSliced(const Tensor* out, const Tensor* data, const std::vector<std::vector<uint32_t>>& positions)
{
    Dims expected;
    for (const auto& p : positions) expected.push_back((uint32_t)p.size());
    ASSERT_EQ(DimsOf(out), expected);
    uint64_t wrong = 0;
    ForEachIndex(expected, [&](const Dims& c) {
        Dims p(c.size());
        for (size_t d = 0; d < c.size(); ++d) p[d] = positions[d][c[d]];
        wrong += Raw(out, c) != Raw(data, p);
    });
    EXPECT_EQ(wrong, 0u);
}

}  // namespace

TEST(SliceRef, RandomSlicesWithNegativeStepsMatchNumpyPositions)
{
    std::mt19937 rng(8201);
    const DataType types[] = {DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_UINT8};
    auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    for (int iter = 0; iter < 160; ++iter) {
        const uint32_t rank = 1 + iter % 6;
        const Dims dims = RandomDims(rng, rank, 8);
        TensorPtr data = MakeTensor(types[iter % 4], dims, iter % 4 == 3 ? 2 : 0);
        FillRandom(data.get(), rng);

        std::vector<AxisSlice> slices;
        std::vector<std::vector<uint32_t>> positions(rank);
        for (uint32_t d = 0; d < rank; ++d)
            for (uint32_t i = 0; i < dims[d]; ++i) positions[d].push_back(i);
        for (uint32_t d = 0; d < rank; ++d) {
            if (pick(0, 3) == 0) continue;  // this axis keeps its whole extent
            const int64_t dim = dims[d];
            const int32_t step = (int32_t)(pick(0, 1) ? pick(1, 3) : -pick(1, 3));
            const int64_t start = pick(0, dim - 1);
            int64_t end = step > 0 ? pick(start + 1, dim) : pick(-1, start - 1);
            int32_t encStart = (int32_t)(pick(0, 1) ? start - dim : start);
            int32_t encEnd;
            if (step > 0)
                encEnd = end == dim && pick(0, 1) ? INT_MAX : (int32_t)(end < dim && pick(0, 1) ? end - dim : end);
            else
                encEnd = end == -1 ? INT_MIN : (int32_t)(pick(0, 1) ? end - dim : end);
            slices.push_back({(int32_t)d, encStart, encEnd, step});
            positions[d] = Positions(dim, encStart, encEnd, step);
        }
        // Axes in any order.
        std::shuffle(slices.begin(), slices.end(), rng);
        Layer* layer = RunSlice(data.get(), slices);
        SCOPED_TRACE("shape " + DimsText(dims) + " iteration " + std::to_string(iter));
        ExpectSliced(layer->kernel->output[0], data.get(), positions);
        DestroyLayer(layer);
    }
}

TEST(SliceRef, EdgeCases)
{
    TensorPtr data = MakeTensor(DT_FLOAT32, {5}), d3 = MakeTensor(DT_FLOAT32, {2, 6, 3});
    FillIota(data.get());
    FillIota(d3.get());
    // A step of -1 copies in reverse order; step 2 over 5 elements gives 3.
    ExpectSliced(TempLayer(RunSlice(data.get(), {{0, -1, INT_MIN, -1}}))->kernel->output[0], data.get(), {{4, 3, 2, 1, 0}});
    ExpectSliced(TempLayer(RunSlice(data.get(), {{0, 0, 5, 2}}))->kernel->output[0], data.get(), {{0, 2, 4}});
    // The record holds one entry per data dimension, the rest unit.
    Layer* layer = RunSlice(d3.get(), {{1, 4, 1, -2}});
    const SliceParams* p = (const SliceParams*)layer->kernel->params;
    EXPECT_TRUE(p->starts[1] == 4 && p->ends[1] == 1 && p->steps[1] == -2 && p->ends[0] == 2 && p->steps[0] == 1);
    ExpectSliced(layer->kernel->output[0], d3.get(), {{0, 1}, {4, 2}, {0, 1, 2}});
    // Kernel selection reads the steps where the record keeps them.
    EXPECT_EQ(SelectNNKernelFn(1, OP_Slice, DT_FLOAT32, layer->kernel), kfname_Slice_ref);
    DestroyLayer(layer);
    layer = RunSlice(d3.get(), {{1, 1, 5, 2}});
    EXPECT_EQ(SelectNNKernelFn(1, OP_Slice, DT_FLOAT32, layer->kernel), kfname_Slice_opt);
    DestroyLayer(layer);
}

TEST(SliceRef, ChecksFailWithMessages)
{
    auto slice = [](DataType outType, int32_t step, int32_t start) {
        TensorPtr in = MakeTensor(DT_FLOAT32, {2, 3}), out = MakeTensor(outType, {2, 3});
        SliceParams p = {};
        for (int d = 0; d < 6; ++d) p.steps[d] = 1;
        p.steps[1] = step;
        p.starts[1] = start;
        Slice_ref(out.get(), in.get(), &p);
    };
    corvus_test::ExpectFatal(
        "Slice_ref",
        {{[&] { slice(DT_FLOAT16, 1, 0); }, "Function Slice: Input tensor data type and output data type are not equal"},
         {[&] { slice(DT_FLOAT32, 0, 0); }, "Slice_ref: steps[1] == 0"},
         // Walking three elements backwards from 1 leaves the input.
         {[&] { slice(DT_FLOAT32, -1, 1); }, "Slice_ref: dimension 1 reads elements 1 to -1 of 3"}});
}
