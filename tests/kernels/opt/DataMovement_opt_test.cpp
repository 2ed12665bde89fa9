// Optimised data movement equals its reference, byte for byte over the whole
// output storage, on random shapes, types, pads and strided views (rows of
// the OptMatchesRef table); then what only the optimised side has: resize
// interpolation and selection, and slice grouping in a model.

#include <cfloat>

#include "LayersDataMovement.h"
#include "LayersOptimizer.h"
#include "LayersResize.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"

using namespace dm_test;
using opt_test::Kernel;
using opt_test::OptKernelCase;
using opt_test::OptMatchesRef;
using opt_test::OptRun;
using opt_test::Outs;

namespace {

SliceParams WholeSlice(const Dims& dims)
{
    SliceParams p{};
    for (uint32_t d = 0; d < MAX_NDIM_VALUE; ++d) {
        p.ends[d] = d < dims.size() ? (int32_t)dims[d] : 1;
        p.steps[d] = 1;
    }
    return p;
}

// Every tenth slice is reversed along its first axis: the selector gives it
// the reference kernel, and the optimised one still computes it.
OptRun RandomSlice(std::mt19937& rng, int iter)
{
    const uint32_t rank = 1 + rng() % 6;
    const Dims dims = RandomDims(rng, rank, 8, 3000);
    OptRun r;
    SliceParams* p = r.Hold(WholeSlice(dims));
    Dims outDims(rank);
    for (uint32_t d = 0; d < rank; ++d) {
        const int32_t n = (int32_t)dims[d], step = 1 + (int32_t)(rng() % 3), start = (int32_t)(rng() % n);
        const int32_t last = start + (int32_t)(rng() % (n - start));
        outDims[d] = (uint32_t)((last - start) / step + 1);
        p->starts[d] = start, p->steps[d] = step;
        p->ends[d] = start + (int32_t)(outDims[d] - 1) * step + 1 + (int32_t)(rng() % step);
        if (iter % 10 == 9 && d == 0)  // reversed
            p->starts[d] = last, p->steps[d] = -step, p->ends[d] = last - (int32_t)outDims[d] * step;
    }
    const DataType dt = opt_test::RandomType(rng);
    Tensor* in = r.In(RandomTensor(rng, dt, dims, rng() % 3));
    r.Out(dt, outDims, rng() % 2);
    r.params = p;
    r.refSelected = iter % 10 == 9;
    r.ref = [=](Outs o) { Slice_ref(o[0], in, p); };
    r.what = "slice " + DimsText(dims) + " -> " + DimsText(outDims);
    return r;
}

// Sibling slices of one input along one axis grouped under one record, as
// OptimizeSlice groups them: consecutive, with gaps or overlapping.
OptRun GroupedSlices(std::mt19937& rng, int iter)
{
    const uint32_t rank = 1 + rng() % 6, axis = rng() % rank, count = 1 + rng() % 5;
    const Dims dims = RandomDims(rng, rank, 7, 3000);
    const DataType dt = opt_test::RandomType(rng);
    OptRun r;
    Tensor* in = r.In(RandomTensor(rng, dt, dims, 0));
    SliceParams* lead = r.Hold(WholeSlice(dims));
    lead->splitAxis = (int32_t)axis;
    std::vector<const SliceParams*> parts;
    for (uint32_t n = 0, next = 0; n < count && next < dims[axis]; ++n) {
        const uint32_t start = iter % 4 == 0 ? next : rng() % dims[axis];
        Dims od = dims;
        next = start + (od[axis] = 1 + rng() % (dims[axis] - start));
        r.Out(dt, od);
        SliceParams* p = r.Hold(WholeSlice(dims));
        p->starts[axis] = (int32_t)start, p->ends[axis] = (int32_t)next;
        auto member = std::make_shared<Kernel>(std::vector<Tensor*>{in}, std::vector<Tensor*>{r.optOut[n].get()}, p);
        r.hold.push_back(member);
        lead->mergedKernels[lead->mergedCount++] = member->get();
        parts.push_back(p);
    }
    r.params = lead;
    r.ref = [=](Outs o) {
        for (size_t n = 0; n < parts.size(); ++n) Slice_ref(o[n], in, parts[n]);
    };
    r.what = "split " + DimsText(dims) + " axis " + std::to_string(axis);
    return r;
}

// Random ranks and permutations; every 20th case a large transpose with
// partial tiles over views starting at odd elements.
OptRun RandomTranspose(std::mt19937& rng, int iter)
{
    const DataType dt = opt_test::RandomType(rng);
    OptRun r;
    Tensor* in;
    uint32_t padOut = rng() % 3;
    if (iter % 20 == 0) {
        Tensor* owner = r.In(RandomTensor(rng, dt, {140 * 83 + 8}, 0));
        const uint32_t skip = iter % 3 + (iter % 3 == 2);
        in = r.ins[0] = r.Hold((iter / 20) % 2 ? opt_test::View(owner, {130, 77}, {83, 1}, skip)
                                               : opt_test::View(owner, {5, 70, 33}, {70 * 33, 33, 1}, skip));
        padOut = skip;
    } else {
        in = r.In(RandomTensor(rng, dt, RandomDims(rng, 1 + rng() % 6, 9, 3000), rng() % 3));
    }
    const Dims perm = opt_test::RandomPermutation(rng, in->ndim);
    TransposeParams* p = r.Hold(TransposeParams{});
    Dims outDims(perm.size());
    for (size_t i = 0; i < perm.size(); ++i) outDims[i] = in->shape.dimension[p->axes[i] = perm[i]];
    r.Out(dt, outDims, padOut);
    r.params = p;
    r.ref = [=](Outs o) { Transpose_ref(o[0], in, p->axes); };
    r.what = "transpose perm " + DimsText(perm) + " of " + DimsText(DimsOf(in));
    return r;
}

// Every third case has padded tensors somewhere (the per-input path); empty inputs too.
OptRun RandomConcat(std::mt19937& rng, int iter)
{
    const uint32_t rank = 1 + rng() % 6, axis = rng() % rank, count = 1 + rng() % 4;
    const Dims base = RandomDims(rng, rank, 6, 800);
    const DataType dt = opt_test::RandomType(rng);
    const bool holes = iter % 3 == 0;
    OptRun r;
    Dims outDims = base;
    outDims[axis] = 0;
    for (uint32_t n = 0; n < count; ++n) {
        Dims d = base;
        outDims[axis] += d[axis] = rng() % 5;
        r.In(RandomTensor(rng, dt, d, holes && rng() % 2 ? 1 + rng() % 2 : 0));
    }
    r.Out(dt, outDims, holes && rng() % 2);
    r.params = r.Hold(MergeParams{axis});
    r.ref = [=, ins = r.ins](Outs o) mutable { Concat_ref(o[0], ins.data(), count, axis); };
    r.what = "concat axis " + std::to_string(axis) + " -> " + DimsText(outDims);
    return r;
}

uint32_t Scaled(uint32_t d, float s) { return (uint32_t)((float)d * s); }

// Three-channel halving at scales 1 and 1/2, where interpolation is the area
// average; the first rows hold special values (2x2 blocks of -0 among them)
// whose sums round differently from halving first. Half precision: the
// widened input through float32, rounded once.
template <bool half> OptRun RandomResize(std::mt19937& rng, int)
{
    static const float special[] = {1.4e-45f, -0.0f, FLT_MAX, 3e-39f, -FLT_MAX};
    const float sH = rng() % 2 ? 0.5f : 1.0f, sW = rng() % 3 ? 0.5f : 1.0f;
    const uint32_t N = 1 + rng() % 2, H = 2 + rng() % 20, W = 2 + rng() % 20;
    OptRun r;
    const ResizeParams* p = r.Hold(ResizeParams{{1.0f, sH, sW, 1.0f, 1.0f, 1.0f}, RESIZE_MODE_AREA});
    r.params = (void*)p;
    TensorPtr f = RandomTensor(rng, DT_FLOAT32, {N, H, W, 3}, rng() % 2 ? 3 : 0);
    ForEachIndex({1, 2, W, 3}, [&](const Dims& i) { Set<float>(f.get(), i, special[(i[2] / 2 + i[3]) % 5]); });
    const Dims od = {N, Scaled(H, sH), Scaled(W, sW), 3};
    r.what = "resize " + DimsText({N, H, W, 3});
    if (!half) {
        Tensor* in = r.In(std::move(f));
        r.Out(DT_FLOAT32, od);
        r.ref = [=](Outs o) { EXPECT_EQ(ResizeDown3F32_ref(0, 1, in, o[0], p->scales), nullptr); };
        return r;
    }
    Tensor* h = r.In(MakeTensor(DT_FLOAT16, {N, H, W, 3}));
    TensorDataConvert(h, f.get());
    r.Out(DT_FLOAT16, od);
    r.ref = [=](Outs o) {
        TensorPtr h32 = MakeTensor(DT_FLOAT32, {N, H, W, 3}), via32 = MakeTensor(DT_FLOAT32, od);
        TensorDataConvert(h32.get(), h);
        EXPECT_EQ(ResizeDown3F32_opt(0, 1, h32.get(), via32.get(), p->scales), nullptr);
        TensorDataConvert(o[0], via32.get());
    };
    return r;
}

// Selection never picks Transpose_opt: its operation gets the reference kernel.
const OptKernelCase kDataMovement[] = {
    // clang-format off
    {kfname_Slice_opt, kfname_Slice_ref, OP_Slice, true, 400, RandomSlice},
    {kfname_Slice_opt, kfname_Slice_ref, OP_Slice, true, 200, GroupedSlices, "Slice_opt_grouped"},
    {kfname_Transpose_opt, kfname_Transpose_ref, OP_Transpose, false, 400, RandomTranspose},
    {kfname_Concatenate_opt, kfname_Concatenate_ref, OP_Concatenate, true, 300, RandomConcat},
    {kfname_ResizeDown3F32_opt, kfname_ResizeDown3F32_ref, OP_Resize, true, 60, RandomResize<false>},
    {kfname_ResizeDown3F16_opt, kfname_ResizeDown3F32_opt, OP_Resize, true, 60, RandomResize<true>},
    // clang-format on
};
INSTANTIATE_TEST_SUITE_P(DataMovement, OptMatchesRef, ::testing::ValuesIn(opt_test::Table(kDataMovement)),
                         opt_test::ParamName);

// Elsewhere the interpolation samples the output cell's centre (clamped) with
// two taps. Area resize selects it only where it is the average bit for bit
// (the table rows compare it with the reference where it is selected).
TEST(ResizeOpt, InterpolatesAtOtherScalesAndIsSelectedOnlyWhereItIsTheAverage)
{
    std::mt19937 rng(6);
    for (const auto& s : {std::make_pair(0.3f, 0.7f), std::make_pair(0.75f, 0.125f), std::make_pair(1.0f, 0.4f)}) {
        const uint32_t H = 8 + rng() % 20, W = 8 + rng() % 20;
        float sc[MAX_NDIM_VALUE] = {1.0f, s.first, s.second, 1.0f, 1.0f, 1.0f};
        TensorPtr in = RandomTensor(rng, DT_FLOAT32, {2, H, W, 3}, 3);
        const Dims od = {2, Scaled(H, s.first), Scaled(W, s.second), 3};
        TensorPtr out = MakeTensor(DT_FLOAT32, od);
        ASSERT_EQ(ResizeDown3F32_opt(0, 1, in.get(), out.get(), sc), nullptr);
        auto centre = [](uint32_t o, float s, uint32_t n) {
            return std::min(std::max((o + 0.5) / (double)s - 0.5, 0.0), (double)n - 1.0);
        };
        ForEachIndex(od, [&](const Dims& c) {
            const double y = centre(c[1], s.first, H), x = centre(c[2], s.second, W);
            const uint32_t y0 = (uint32_t)y, x0 = (uint32_t)x, y1 = std::min(y0 + 1, H - 1),
                           x1 = std::min(x0 + 1, W - 1);
            auto v = [&](uint32_t r, uint32_t q) { return (double)At<float>(in.get(), {c[0], r, q, c[3]}); };
            const double fy = y - y0, fx = x - x0;
            const double want =
                (1 - fy) * ((1 - fx) * v(y0, x0) + fx * v(y0, x1)) + fy * ((1 - fx) * v(y1, x0) + fx * v(y1, x1));
            ASSERT_NEAR(At<float>(out.get(), c), want, 1e-4 * (1 + std::fabs(want)));
        });
    }
    const float third = 1.0f / 3.0f;
    const struct {
        uint32_t H, W, oH, oW;
        float sH, sW;
        kfname want;
        // clang-format off
    } cases[] = {
        {12, 10, 6, 5, 0.5f, 0.5f, kfname_ResizeDown3F32_opt},  {7, 9, 7, 4, 1.0f, 0.5f, kfname_ResizeDown3F32_opt},
        {9, 12, 3, 4, third, third, kfname_ResizeDown3F32_ref}, {8, 8, 6, 6, 0.75f, 0.75f, kfname_ResizeDown3F32_ref},
        {8, 9, 4, 3, 0.5f, third, kfname_ResizeDown3F32_ref},
        {9, 8, 5, 4, 0.5f, 0.5f, kfname_ResizeDown3F32_ref},  // the last window reaches past the input
        {300, 4, 1, 2, 0.005f, 0.5f, kfname_ResizeDown3F32_ref},  // below the interpolation's smallest scale
    };
    // clang-format on
    for (const auto& c : cases) {
        TensorPtr in = MakeTensor(DT_FLOAT32, {2, c.H, c.W, 3}), out = MakeTensor(DT_FLOAT32, {2, c.oH, c.oW, 3});
        ResizeParams rp = {{1, c.sH, c.sW, 1, 1, 1}, RESIZE_MODE_AREA};
        Kernel k({in.get()}, {out.get()}, &rp);
        EXPECT_EQ(SelectNNKernelFn(1, OP_Resize, DT_FLOAT32, k.get()), c.want)
            << c.sH << "," << c.sW << " " << c.oH << "x" << c.oW;
    }
}

Layer* Slice(Layer* data, int32_t axis, int32_t start, int32_t end, int32_t step, bool optimised = true)
{
    Layer* inputs[5] = {data};
    for (int i = 0; i < 4; ++i)
        inputs[1 + i] = corvus_test::ConstantLayer(
            nullptr, Int32Tensor({std::vector<int32_t>{start, end, axis, step}[i]}).release());
    Layer* layer = AddSliceLayer(inputs, nullptr, 5, nullptr);
    layer->kernel->fn =
        nn_kernel_fn_list[optimised ? SelectNNKernelFn(KERNEL_TARGET_CPU, OP_Slice, DT_FLOAT32, layer->kernel)
                                    : kfname_Slice_ref];
    return layer;
}

std::vector<int32_t> MergedCounts(const std::vector<Layer*>& layers)
{
    std::vector<int32_t> r;
    for (const Layer* l : layers) r.push_back(((const SliceParams*)l->kernel->params)->mergedCount);
    return r;
}

void DoNothing(NNKernel*) {}
const NNKernelFn kForeignFn = {DoNothing, nullptr, nullptr, nullptr};

// Sibling splits of one input are grouped under the first (not a step-2
// slice, nor one along another axis), once; the model computes every slice,
// also on new data. Only a leader on the grouped kernel serves a group: a
// first slice on the reference kernel writes only its own output, and a last
// one running a kernel of its own, whose record is not a slice record, is
// never read.
TEST(OptimizeSlice, GroupsSiblingSplitsOfOneInputAndTheModelComputesThem)
{
    const Dims dims = {2, 3, 4, 12};
    Layer* x = corvus_test::InputLayer("x", DT_FLOAT32, dims);
    std::vector<Layer*> s = {Slice(x, 3, 0, 4, 1), Slice(x, 3, 4, 8, 1), Slice(x, 3, 8, 12, 1), Slice(x, 3, 0, 12, 2),
                             Slice(x, 1, 1, 3, 1)};
    corvus_test::ModelRun run(s);
    Model* model = run.model;
    EXPECT_EQ(OptimizeSlice(model->layers, model->numLayers, model->ioLayers->outputLayers), 1u);
    const SliceParams* lead = (const SliceParams*)s[0]->kernel->params;
    EXPECT_EQ(lead->splitAxis, 3);
    EXPECT_EQ(MergedCounts(s), (std::vector<int32_t>{3, -1, -1, 0, 0}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(lead->mergedKernels[i], s[i]->kernel);
    EXPECT_EQ(OptimizeSlice(model->layers, model->numLayers, model->ioLayers->outputLayers), 0u);
    std::mt19937 rng(9);
    TensorPtr input = RandomTensor(rng, DT_FLOAT32, dims);
    for (int pass = 0; pass < 2; ++pass) {
        Layer** outs = run.Run({{"x", input.get()}});
        for (int i = 0; i < 5; ++i) {
            const Tensor* got = outs[i]->kernel->output[0];
            TensorPtr want = MakeTensor(DT_FLOAT32, DimsOf(got));
            Slice_ref(want.get(), input.get(), (const SliceParams*)s[i]->kernel->params);
            EXPECT_TRUE(SameElements(got, want.get())) << "slice " << i;
        }
        FillRandom(input.get(), rng);
    }

    Layer* y = corvus_test::InputLayer("y", DT_FLOAT32, {4, 8});
    std::vector<Layer*> t = {Slice(y, 1, 0, 2, 1, false), Slice(y, 1, 2, 4, 1), Slice(y, 1, 4, 6, 1),
                             Slice(y, 1, 6, 8, 1)};
    free(t[3]->kernel->params);
    t[3]->kernel->params = calloc(1, sizeof(float));
    t[3]->kernel->fn = &kForeignFn;
    corvus_test::ModelRun other(t);
    EXPECT_EQ(OptimizeSlice(other.model->layers, other.model->numLayers, other.model->ioLayers->outputLayers), 1u);
    EXPECT_EQ(MergedCounts({t[0], t[1], t[2]}), (std::vector<int32_t>{0, 2, -1}));
}

}  // namespace
