// Slice through strided views and the grouped split: against Slice_ref
// over random slices, the split engine's checks, slice grouping at model
// initialisation and the grouped kernel in a model.
#include <gtest/gtest.h>

#include <cstring>

#include "LayersDataMovement.h"
#include "LayersOptimizer.h"
#include "Model.h"
#include "NNKernelFnSelector.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "test_util.h"

using namespace dm_test;
using opt_test::Kernel;
using opt_test::SameStorage;

namespace {

SliceParams Params(const std::vector<int32_t>& starts, const std::vector<int32_t>& ends,
                   const std::vector<int32_t>& steps)
{
    SliceParams p;
    memset(&p, 0, sizeof(p));
    for (uint32_t d = 0; d < MAX_NDIM_VALUE; ++d) {
        p.starts[d] = d < starts.size() ? starts[d] : 0;
        p.ends[d] = d < ends.size() ? ends[d] : 1;
        p.steps[d] = d < steps.size() ? steps[d] : 1;
    }
    return p;
}

TEST(SliceOpt, RandomSlicesMatchTheReference)
{
    std::mt19937 rng(11);
    for (int iter = 0; iter < 400; ++iter) {
        const uint32_t rank = 1 + rng() % 6;
        const Dims dims = RandomDims(rng, rank, 8, 3000);
        std::vector<int32_t> starts(rank), ends(rank), steps(rank);
        Dims outDims(rank);
        const bool reverse = iter % 10 == 9;  // hand-bound reversed slices still give the reference result
        for (uint32_t d = 0; d < rank; ++d) {
            const int32_t n = (int32_t)dims[d];
            steps[d] = 1 + (int32_t)(rng() % 3);
            starts[d] = (int32_t)(rng() % n);
            const int32_t last = starts[d] + (int32_t)(rng() % (n - starts[d]));
            outDims[d] = (uint32_t)((last - starts[d]) / steps[d] + 1);
            ends[d] = starts[d] + (int32_t)(outDims[d] - 1) * steps[d] + 1 + (int32_t)(rng() % steps[d]);
            if (reverse && d == 0) {
                steps[d] = -steps[d];
                starts[d] = last;
                ends[d] = last - (int32_t)outDims[d] * -steps[d];
            }
        }
        const DataType dt = opt_test::RandomType(rng);
        TensorPtr in = MakeTensor(dt, dims, rng() % 3);
        FillRandom(in.get(), rng);
        const uint32_t padOut = rng() % 2;
        TensorPtr opt = MakeTensor(dt, outDims, padOut), ref = MakeTensor(dt, outDims, padOut);
        opt_test::FillStorage(opt.get(), 0x33);
        opt_test::FillStorage(ref.get(), 0x33);
        SliceParams p = Params(starts, ends, steps);
        Kernel k({in.get()}, {opt.get()}, &p);
        Execute_Slice_opt(k.get());
        Slice_ref(ref.get(), in.get(), &p);
        ASSERT_TRUE(SameStorage(opt.get(), ref.get())) << DimsText(dims) << " -> " << DimsText(outDims);
    }
}

TEST(SliceOpt, StepTwoOverFiveElementsGivesThree)
{
    Tensor* data = CreateTensor(DT_FLOAT32, DL_NONE, 1, ToShape({5}), true);
    FillIota(data);
    Tensor* tensors[5] = {data, Int32Tensor({0}).release(), Int32Tensor({5}).release(), Int32Tensor({0}).release(),
                          Int32Tensor({2}).release()};
    Layer* layer = AddSliceLayer(nullptr, tensors, 5, nullptr);
    Tensor* out = layer->kernel->output[0];
    ASSERT_EQ(DimsOf(out), (Dims{3}));
    AllocTensorData(out);
    EXPECT_EQ(SelectNNKernelFn(KERNEL_TARGET_CPU, OP_Slice, DT_FLOAT32, layer->kernel), kfname_Slice_opt);
    layer->kernel->fn = nn_kernel_fn_list[kfname_Slice_opt];
    layer->kernel->fn->execute(layer->kernel);
    EXPECT_EQ(((float*)out->data)[0], 0.0f);
    EXPECT_EQ(((float*)out->data)[1], 2.0f);
    EXPECT_EQ(((float*)out->data)[2], 4.0f);
    InitKernelCore(layer);
    EXPECT_EQ(layer->kernel->totalBytes, 3u * 4 * 2);
    EXPECT_EQ(layer->kernel->bytesSize[4], 3u * 4 * 2);
    DestroyLayer(layer);
}

// Naive split: output n holds the input's range [starts[n], starts[n] + its
// extent) along axis.
void ExpectSplit(const Tensor* in, const std::vector<TensorPtr>& outs, uint32_t axis, const Dims& starts)
{
    for (size_t n = 0; n < outs.size(); ++n) {
        uint64_t wrong = 0;
        ForEachCoord(DimsOf(outs[n].get()), [&](const Dims& c) {
            Dims ic = c;
            ic[axis] += starts[n];
            wrong += Raw(outs[n].get(), c) != Raw(in, ic);
        });
        EXPECT_EQ(wrong, 0u) << "output " << n;
    }
}

TEST(SplitNoHoles, WritesEveryRangeOfTheInput)
{
    std::mt19937 rng(21);
    for (int iter = 0; iter < 200; ++iter) {
        const uint32_t rank = 1 + rng() % 6;
        const Dims dims = RandomDims(rng, rank, 7, 3000);
        const uint32_t axis = rng() % rank;
        const DataType dt = opt_test::RandomType(rng);
        TensorPtr in = MakeTensor(dt, dims);
        FillRandom(in.get(), rng);
        // Random ranges: consecutive, with gaps, overlapping; some empty.
        const uint32_t count = 1 + rng() % 5;
        std::vector<TensorPtr> outs;
        std::vector<Tensor*> raw;
        Dims starts;
        for (uint32_t n = 0; n < count; ++n) {
            const uint32_t start = rng() % (dims[axis] + 1);
            Dims od = dims;
            od[axis] = rng() % (dims[axis] - start + 1);
            outs.push_back(MakeTensor(dt, od));
            raw.push_back(outs.back().get());
            starts.push_back(start);
        }
        ASSERT_EQ(Split_noHoles(-1, 1, in.get(), raw.data(), count, axis, starts.data()), nullptr);
        ASSERT_EQ(Split_noHoles(0, 1, in.get(), raw.data(), count, axis, starts.data()), nullptr);
        ExpectSplit(in.get(), outs, axis, starts);
        if (HasFailure()) return;
    }
    // Without starts the outputs follow each other from 0.
    TensorPtr in = MakeTensor(DT_INT32, {2, 10, 3});
    FillIota(in.get());
    std::vector<TensorPtr> outs;
    outs.push_back(MakeTensor(DT_INT32, {2, 4, 3}));
    outs.push_back(MakeTensor(DT_INT32, {2, 4, 3}));
    outs.push_back(MakeTensor(DT_INT32, {2, 2, 3}));
    Tensor* raw[3] = {outs[0].get(), outs[1].get(), outs[2].get()};
    ASSERT_EQ(Split_noHoles(0, 1, in.get(), raw, 3, 1, nullptr), nullptr);
    ExpectSplit(in.get(), outs, 1, {0, 4, 8});
}

TEST(SplitNoHoles, ChecksReturnTheirReasons)
{
    auto T = [](DataType dt, const Dims& d, uint32_t pad = 0) { return MakeTensor(dt, d, pad); };
    TensorPtr in = T(DT_FLOAT32, {2, 8, 3}), a = T(DT_FLOAT32, {2, 4, 3}), b = T(DT_FLOAT32, {2, 4, 3});
    TensorPtr padded = T(DT_FLOAT32, {2, 8, 3}, 1), holes = T(DT_FLOAT32, {2, 4, 3}, 1);
    TensorPtr flat = T(DT_FLOAT32, {24}), half = T(DT_FLOAT16, {2, 4, 3}), wide = T(DT_FLOAT32, {2, 4, 4});
    auto reason = [](const Tensor* src, std::vector<Tensor*> outs, uint32_t axis, const uint32_t* starts) {
        const char* r = Split_noHoles(-1, 1, src, outs.data(), (uint32_t)outs.size(), axis, starts);
        return std::string(r ? r : "accepted");
    };
    const uint32_t fits[2] = {0, 4}, beyond[2] = {0, 5};
    EXPECT_EQ(reason(in.get(), {a.get(), b.get()}, 1, fits), "accepted");
    EXPECT_EQ(reason(padded.get(), {a.get(), b.get()}, 1, fits), "!IsSerialData(in)");
    EXPECT_EQ(reason(in.get(), {a.get(), flat.get()}, 1, fits), "in->ndim != out[n]->ndim");
    EXPECT_EQ(reason(in.get(), {half.get(), b.get()}, 1, fits), "in->dtype != out[n]->dtype");
    EXPECT_EQ(reason(in.get(), {a.get(), holes.get()}, 1, fits), "out[n] with holes not supported");
    EXPECT_EQ(reason(in.get(), {a.get(), wide.get()}, 1, fits), "in->shape[d] != out->shape[d]");
    EXPECT_EQ(reason(in.get(), {a.get(), b.get()}, 1, beyond), "out[n] reaches beyond in along the axis");
    EXPECT_EQ(reason(in.get(), {a.get(), b.get()}, 3, fits), "axis >= in->ndim");
}

TEST(SliceOpt, FailuresAreFatal)
{
    TensorPtr in = MakeTensor(DT_FLOAT32, {4, 6}), out = MakeTensor(DT_INT32, {4, 3});
    TensorPtr outF = MakeTensor(DT_FLOAT32, {4, 3}), holes = MakeTensor(DT_FLOAT32, {4, 3}, 2);
    SliceParams p = Params({0, 0}, {4, 3}, {1, 1});
    Kernel mismatch({in.get()}, {out.get()}, &p);
    SliceParams wrongEnd = Params({0, 0}, {4, 5}, {1, 1});
    Kernel extent({in.get()}, {outF.get()}, &wrongEnd);
    SliceParams lead = Params({0, 0}, {4, 3}, {1, 1}), member = Params({0, 3}, {4, 6}, {1, 1});
    Kernel k0({in.get()}, {outF.get()}, &lead), k1({in.get()}, {holes.get()}, &member);
    lead.splitAxis = 1;
    lead.mergedCount = 2;
    lead.mergedKernels[0] = k0.get();
    lead.mergedKernels[1] = k1.get();
    corvus_test::ExpectFatal("Slice_opt", {
        {[] { Execute_Slice_opt(nullptr); }, "Function Slice: Kernel pointer is null"},
        {[] { Init_Slice_opt(nullptr); }, "Function Slice: Kernel pointer is null"},
        {[&] { Execute_Slice_opt(mismatch.get()); }, "in Execute_Slice_opt"},
        {[&] { Execute_Slice_opt(k0.get()); }, "Split_noHoles error: out[n] with holes not supported"},
    });
    EXPECT_EXIT(Execute_Slice_opt(extent.get()), ::testing::ExitedWithCode(1),
                corvus_test::Fatal("Slice_opt", "Execute_Slice_opt error: dimension 1: start 0, end 5 and step 1",
                                   ".*"));
}

// ---- Grouping at model initialisation --------------------------------------

Layer* Constant(std::vector<int32_t> values)
{
    Layer* layer = CreateLayer(nullptr, OP_Initializer, nullptr, nullptr, 0, 0);
    layer->kernel->output[0] = Int32Tensor(values).release();
    layer->staticOutput = true;
    return layer;
}

Layer* Slice(Layer* data, int32_t axis, int32_t start, int32_t end, int32_t step, bool optimised = true)
{
    Layer* inputs[5] = {data, Constant({start}), Constant({end}), Constant({axis}), Constant({step})};
    Layer* layer = AddSliceLayer(inputs, nullptr, 5, nullptr);
    const kfname name = optimised ? SelectNNKernelFn(KERNEL_TARGET_CPU, OP_Slice, DT_FLOAT32, layer->kernel)
                                  : kfname_Slice_ref;
    layer->kernel->fn = nn_kernel_fn_list[name];
    return layer;
}

const SliceParams* ParamsOf(const Layer* layer) { return (const SliceParams*)layer->kernel->params; }

TEST(OptimizeSlice, GroupsSiblingSplitsOfOneInputAndTheModelComputesThem)
{
    const Dims dims = {2, 3, 4, 12};
    TensorPtr desc = MakeTensor(DT_FLOAT32, dims);
    Layer* x = AddInputLayer("x", desc.get());
    Layer* s[5] = {Slice(x, 3, 0, 4, 1), Slice(x, 3, 4, 8, 1), Slice(x, 3, 8, 12, 1),
                   Slice(x, 3, 0, 12, 2),  // not a split: step 2
                   Slice(x, 1, 1, 3, 1)};  // another axis: a group of one
    Model* model = CreateModel(s, 5);

    EXPECT_EQ(OptimizeSlice(model->layers, model->numLayers, model->ioLayers->outputLayers), 1u);
    EXPECT_EQ(ParamsOf(s[0])->mergedCount, 3);
    EXPECT_EQ(ParamsOf(s[0])->splitAxis, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ParamsOf(s[0])->mergedKernels[i], s[i]->kernel);
    EXPECT_EQ(ParamsOf(s[1])->mergedCount, -1);
    EXPECT_EQ(ParamsOf(s[2])->mergedCount, -1);
    EXPECT_EQ(ParamsOf(s[3])->mergedCount, 0);
    EXPECT_EQ(ParamsOf(s[3])->splitAxis, -1);
    EXPECT_EQ(ParamsOf(s[4])->mergedCount, 0);
    EXPECT_EQ(ParamsOf(s[4])->splitAxis, 1);
    // Grouped slices are not grouped again.
    EXPECT_EQ(OptimizeSlice(model->layers, model->numLayers, model->ioLayers->outputLayers), 0u);

    InitModel(model, 1);
    std::mt19937 rng(9);
    TensorPtr input = MakeTensor(DT_FLOAT32, dims);
    FillRandom(input.get(), rng);
    for (int run = 0; run < 2; ++run) {
        const ModelInput feed = {"x", input.get()};
        Layer** outs = Predict(model, 1, &feed);
        const int32_t starts[5][4] = {{0, 0, 0, 0}, {0, 0, 0, 4}, {0, 0, 0, 8}, {0, 0, 0, 0}, {0, 1, 0, 0}};
        const int32_t steps[5][4] = {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 2}, {1, 1, 1, 1}};
        for (int i = 0; i < 5; ++i) {
            const Tensor* o = outs[i]->kernel->output[0];
            uint64_t wrong = 0;
            ForEachCoord(DimsOf(o), [&](const Dims& c) {
                Dims ic(4);
                for (int d = 0; d < 4; ++d) ic[d] = (uint32_t)(starts[i][d] + (int32_t)c[d] * steps[i][d]);
                wrong += Raw(o, c) != Raw(input.get(), ic);
            });
            EXPECT_EQ(wrong, 0u) << "slice " << i;
        }
        FillRandom(input.get(), rng);  // members follow new data too
    }
    DestroyModel(model);
}

void DoNothing(NNKernel*) {}
const NNKernelFn kForeignFn = {DoNothing, nullptr, nullptr, nullptr};

TEST(OptimizeSlice, OnlyALeaderOnTheGroupedKernelServesAGroup)
{
    TensorPtr desc = MakeTensor(DT_FLOAT32, {4, 8});
    Layer* x = AddInputLayer("x", desc.get());
    // The first slice keeps the reference kernel, which writes only its own
    // output; the last runs a kernel of its own whose record is not a slice
    // record and is never read.
    Layer* s[4] = {Slice(x, 1, 0, 2, 1, false), Slice(x, 1, 2, 4, 1), Slice(x, 1, 4, 6, 1), Slice(x, 1, 6, 8, 1)};
    free(s[3]->kernel->params);
    s[3]->kernel->params = calloc(1, sizeof(float));
    s[3]->kernel->fn = &kForeignFn;
    Model* model = CreateModel(s, 4);
    EXPECT_EQ(OptimizeSlice(model->layers, model->numLayers, model->ioLayers->outputLayers), 1u);
    EXPECT_EQ(ParamsOf(s[0])->mergedCount, 0);
    EXPECT_EQ(ParamsOf(s[1])->mergedCount, 2);
    EXPECT_EQ(ParamsOf(s[2])->mergedCount, -1);
    DestroyModel(model);
}

}  // namespace
