// Slice, transpose, shuffle, concatenation, split, tile, expand, reshape and
// flatten kernels against the index rule of each, over random ranks, element
// types and padded strides.
#include <gtest/gtest.h>

#include <climits>
#include <numeric>
#include <random>

#include "LayersDataMovement.h"
#include "NNKernelFnSelector.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "test_util.h"

using namespace dm_test;

namespace {

const DataType kTypes[] = {DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_UINT8, DT_INT8, DT_UINT32};

TensorPtr RandomTensor(std::mt19937& rng, DataType dt, const Dims& dims, uint32_t pad = 0)
{
    TensorPtr t = MakeTensor(dt, dims, pad);
    FillRandom(t.get(), rng);
    return t;
}

// Allocates the layer's outputs, runs kernel fn and returns the layer.
Layer* RunLayer(Layer* layer, void (*execute)(NNKernel*))
{
    for (uint32_t i = 0; i < layer->kernel->outputsNum; ++i) AllocTensorData(layer->kernel->output[i]);
    execute(layer->kernel);
    return layer;
}
Layer* RunLayer(Layer* layer, kfname fn) { return RunLayer(layer, nn_kernel_fn_list[fn]->execute); }

struct AxisSlice {
    int32_t axis, start, end, step;
};

// A slice layer from tensors (axes in any order), run by the reference kernel.
Layer* RunSlice(const Tensor* data, const std::vector<AxisSlice>& slices)
{
    std::vector<int32_t> starts, ends, axes, steps;
    for (const AxisSlice& s : slices)
        axes.push_back(s.axis), starts.push_back(s.start), ends.push_back(s.end), steps.push_back(s.step);
    Tensor* tensors[5] = {CopyOf(data), Int32Tensor(starts).release(), Int32Tensor(ends).release(),
                          Int32Tensor(axes).release(), Int32Tensor(steps).release()};
    return RunLayer(AddSliceLayer(nullptr, tensors, 5, nullptr), kfname_Slice_ref);
}

// out[c] == data[positions[d][c[d]] for every d].
uint64_t SliceMismatches(const Tensor* out, const Tensor* data, const std::vector<Dims>& positions)
{
    Dims expected;
    for (const Dims& p : positions) expected.push_back((uint32_t)p.size());
    if (DimsOf(out) != expected) return UINT64_MAX;
    return Mismatches(out, data, [&](const Dims& c) {
        Dims p(c.size());
        for (size_t d = 0; d < c.size(); ++d) p[d] = positions[d][c[d]];
        return p;
    });
}

}  // namespace

// numpy positions: negative starts and ends count from the end, INT_MIN as
// end runs down through element 0, INT_MAX up to the last element.
TEST(SliceRef, RandomSlicesWithNegativeStepsAndEncodings)
{
    std::mt19937 rng(8201);
    auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    for (int iter = 0; iter < 160; ++iter) {
        const uint32_t rank = 1 + iter % 6;
        const Dims dims = RandomDims(rng, rank, 8);
        TensorPtr data = RandomTensor(rng, kTypes[iter % 4], dims, iter % 4 == 3 ? 2 : 0);
        std::vector<AxisSlice> slices;
        std::vector<Dims> positions(rank);
        for (uint32_t d = 0; d < rank; ++d) {
            positions[d].resize(dims[d]);
            std::iota(positions[d].begin(), positions[d].end(), 0u);
            if (pick(0, 3) == 0) continue;  // this axis keeps its whole extent
            const int64_t dim = dims[d], step = pick(0, 1) ? pick(1, 3) : -pick(1, 3), start = pick(0, dim - 1);
            const int64_t end = step > 0 ? pick(start + 1, dim) : pick(-1, start - 1);
            const int32_t s = (int32_t)(pick(0, 1) ? start - dim : start);
            const int32_t e = step > 0 ? (end == dim && pick(0, 1) ? INT_MAX : (int32_t)(end < dim && pick(0, 1) ? end - dim : end))
                                       : (end == -1 ? INT_MIN : (int32_t)(pick(0, 1) ? end - dim : end));
            slices.push_back({(int32_t)d, s, e, (int32_t)step});
            positions[d].clear();
            for (int64_t i = start; step > 0 ? i < end : i > end; i += step) positions[d].push_back((uint32_t)i);
        }
        std::shuffle(slices.begin(), slices.end(), rng);
        Layer* layer = RunSlice(data.get(), slices);
        EXPECT_EQ(SliceMismatches(layer->kernel->output[0], data.get(), positions), 0u) << DimsText(dims) << " " << iter;
        DestroyLayer(layer);
    }
}

TEST(SliceRef, RecordAndSelection)
{
    TensorPtr d3 = MakeTensor(DT_FLOAT32, {2, 6, 3});
    FillIota(d3.get());
    // The record holds one entry per data dimension, the rest whole; selection reads the steps there.
    Layer* layer = RunSlice(d3.get(), {{1, 4, 1, -2}});
    const SliceParams* p = (const SliceParams*)layer->kernel->params;
    EXPECT_TRUE(p->starts[1] == 4 && p->ends[1] == 1 && p->steps[1] == -2 && p->ends[0] == 2 && p->steps[0] == 1);
    EXPECT_EQ(SliceMismatches(layer->kernel->output[0], d3.get(), {{0, 1}, {4, 2}, {0, 1, 2}}), 0u);
    EXPECT_EQ(SelectNNKernelFn(1, OP_Slice, DT_FLOAT32, layer->kernel), kfname_Slice_ref);
    DestroyLayer(layer);
    layer = RunSlice(d3.get(), {{1, 1, 5, 2}});
    EXPECT_EQ(SelectNNKernelFn(1, OP_Slice, DT_FLOAT32, layer->kernel), kfname_Slice_opt);
    DestroyLayer(layer);
    // Walking three elements backwards from 1 leaves the input.
    SliceParams bad = {{0, 1}, {}, {1, -1, 1, 1, 1, 1}, 0, 0, {}};
    corvus_test::ExpectFatal("Slice_ref", {{[&] { Slice_ref(MakeTensor(DT_FLOAT32, {2, 3}).get(), MakeTensor(DT_FLOAT32, {2, 3}).get(), &bad); },
                                            "Slice_ref: dimension 1 reads elements 1 to -1 of 3"}});
}

// Random permutations, then extents that are not multiples of the copy tile
// with the innermost axis moving (blocked path) and staying (row copies).
TEST(TransposeRef, PermutationsMatchTheIndexMapping)
{
    std::mt19937 rng(8101);
    std::vector<std::pair<Dims, Dims>> cases = {{{70, 45}, {1, 0}},         {{3, 40, 37}, {0, 2, 1}},
                                                {{33, 2, 65}, {2, 1, 0}},   {{4, 35, 3, 33}, {3, 1, 2, 0}},
                                                {{2, 3, 64, 5}, {1, 0, 2, 3}}};
    for (int iter = 0; iter < 150; ++iter) {
        Dims perm(1 + iter % 6);
        std::iota(perm.begin(), perm.end(), 0u);
        std::shuffle(perm.begin(), perm.end(), rng);
        cases.push_back({RandomDims(rng, (uint32_t)perm.size(), 7), perm});
    }
    int iter = 0;
    for (const auto& c : cases) {
        const DataType dt = kTypes[iter % 5];
        TensorPtr in = RandomTensor(rng, dt, c.first, iter % 3 == 1 ? 2 : 0);
        Dims outDims(c.second.size());
        for (size_t i = 0; i < outDims.size(); ++i) outDims[i] = c.first[c.second[i]];
        TensorPtr out = MakeTensor(dt, outDims, iter++ % 3 == 2 ? 3 : 0);
        Transpose_ref(out.get(), in.get(), c.second.data());
        EXPECT_EQ(Mismatches(out.get(), in.get(),
                             [&](const Dims& o) {
                                 Dims p(o.size());
                                 for (size_t i = 0; i < o.size(); ++i) p[c.second[i]] = o[i];
                                 return p;
                             }),
                  0u)
            << DimsText(c.first) << " perm " << DimsText(c.second);
    }
}

// Channel c of a group of `per` goes to (c % groups) * per + c / groups;
// channels after the last whole group stay.
TEST(ShuffleRef, ChannelFormulaAndMoreGroupsThanChannels)
{
    std::mt19937 rng(8103);
    for (int iter = 0; iter < 60; ++iter) {
        Dims dims = RandomDims(rng, 3, 5, 200);
        const uint32_t groups = 1 + iter % 5, per = 1 + (iter / 5) % 4;
        dims.push_back(groups * per + (iter % 7 == 0 ? 1 + iter % 3 : 0));
        TensorPtr in = MakeTensor(DT_FLOAT32, dims, iter % 2, DL_NHWC), out = MakeTensor(DT_FLOAT32, dims, iter % 3 ? 0 : 2, DL_NHWC);
        FillRandom(in.get(), rng);
        Shuffle_fl32(out.get(), in.get(), groups);
        const uint32_t inGroup = dims[3] / groups;
        EXPECT_EQ(Mismatches(out.get(), in.get(),
                             [&](Dims p) {
                                 if (p[3] < groups * inGroup) p[3] = (p[3] % groups) * inGroup + p[3] / groups;
                                 return p;
                             }),
                  0u)
            << DimsText(dims) << " groups " << groups;
    }
    TensorPtr in = MakeTensor(DT_FLOAT32, {1, 1, 2, 6}, 0, DL_NHWC), out = MakeTensor(DT_FLOAT32, {1, 1, 2, 6}, 0, DL_NHWC);
    std::fill((float*)out->data, (float*)out->data + 12, -1.0f);
    Shuffle_fl32(out.get(), in.get(), 7);
    EXPECT_EQ(std::vector<float>((float*)out->data, (float*)out->data + 12), std::vector<float>(12, -1.0f));
}

// Concatenation: output coordinate c along the axis belongs to the input
// whose running range holds it; split layers cut pieces of `length`.
TEST(ConcatenateRef, EveryAxisOfRandomShapesAndTheSplitBack)
{
    std::mt19937 rng(8301);
    int iter = 0;
    for (uint32_t rank = 1; rank <= 6; ++rank)
        for (uint32_t axis = 0; axis < rank; ++axis)
            for (int rep = 0; rep < 4; ++rep, ++iter) {
                // rep 0, 1: dense (block path); rep 2: padded inputs; rep 3: padded output.
                const Dims base = RandomDims(rng, rank, 5, 600);
                const DataType dt = kTypes[iter % 6];
                std::vector<TensorPtr> owned;
                std::vector<Tensor*> raw;
                Dims outDims = base;
                outDims[axis] = 0;
                for (uint32_t n = 0, count = 1 + rng() % 4; n < count; ++n) {
                    Dims d = base;
                    outDims[axis] += d[axis] = 1 + rng() % 4;
                    owned.push_back(RandomTensor(rng, dt, d, rep == 2 && n % 2 == 0 ? 2 : 0));
                    raw.push_back(owned.back().get());
                }
                TensorPtr out = MakeTensor(dt, outDims, rep == 3);
                Concat_ref(out.get(), raw.data(), (uint32_t)raw.size(), axis);
                uint64_t wrong = 0;
                ForEachIndex(outDims, [&](const Dims& c) {
                    Dims p = c;
                    size_t n = 0;
                    while (p[axis] >= raw[n]->shape.dimension[axis]) p[axis] -= raw[n++]->shape.dimension[axis];
                    wrong += Raw(out.get(), c) != Raw(raw[n], p);
                });
                EXPECT_EQ(wrong, 0u)
                    << "out " << DimsText(outDims) << " axis " << axis;

                const uint32_t length = 1 + rng() % outDims[axis];
                Tensor* whole = CreateTensor(dt, DL_NONE, rank, out->shape, true);
                CopyTensorData(out.get(), whole);
                Layer* split = RunLayer(AddSplitLayer(nullptr, whole, length, axis, nullptr), Execute_Split_ref);
                ASSERT_EQ(split->kernel->outputsNum, (outDims[axis] + length - 1) / length);
                for (uint32_t i = 0; i < split->kernel->outputsNum; ++i) {
                    Dims expected = outDims;
                    expected[axis] = std::min(length, outDims[axis] - i * length);
                    ASSERT_EQ(DimsOf(split->kernel->output[i]), expected);
                    EXPECT_EQ(Mismatches(split->kernel->output[i], out.get(),
                                         [&](Dims p) {
                                             p[axis] += i * length;
                                             return p;
                                         }),
                              0u);
                }
                DestroyLayer(split);
            }
}

TEST(TileRef, RandomRepeatsMatchModuloIndexingAndRankZero)
{
    std::mt19937 rng(8601);
    for (int iter = 0; iter < 120; ++iter) {
        const uint32_t rank = 1 + iter % 6;
        const Dims dims = RandomDims(rng, rank, 4, 60);
        Dims outDims(rank);
        std::vector<int32_t> reps(rank);
        for (uint32_t d = 0; d < rank; ++d) outDims[d] = dims[d] * (uint32_t)(reps[d] = 1 + rng() % (rank > 4 ? 2 : 5));
        TensorPtr in = RandomTensor(rng, kTypes[iter % 5], dims, iter % 3 == 1 ? 2 : 0);
        TensorPtr out = MakeTensor(kTypes[iter % 5], outDims, iter % 3 == 2);
        Tile_ref(out.get(), in.get(), Int32Tensor(reps, DT_UINT32).get());
        EXPECT_EQ(Mismatches(out.get(), in.get(),
                             [&](Dims p) {
                                 for (uint32_t d = 0; d < rank; ++d) p[d] %= dims[d];
                                 return p;
                             }),
                  0u)
            << DimsText(dims) << " iteration " << iter;
    }
    // Rank 0 through the layer: the one value, not the zero a fresh output holds.
    Tensor* scalar = CreateTensor(DT_FLOAT32, DL_NONE, 0, corvus_test::Shape({}), true);
    *(float*)scalar->data = 7.5f;
    Tensor* ins[2] = {scalar, Int32Tensor({}, DT_UINT32).release()};
    Layer* layer = RunLayer(AddTileLayer(nullptr, ins, 2, "tile"), kfname_Tile_ref);
    EXPECT_EQ(layer->kernel->output[0]->ndim, 0u);
    EXPECT_EQ(*(float*)layer->kernel->output[0]->data, 7.5f);
    DestroyLayer(layer);
}

// Right-aligned broadcasting from any lower rank, through the layer once.
TEST(ExpandRef, RandomBroadcastsMatchAlignedIndexing)
{
    std::mt19937 rng(9001);
    for (int iter = 0; iter < 180; ++iter) {
        const uint32_t outRank = 1 + iter % 6, inRank = rng() % (outRank + 1);
        const Dims outDims = RandomDims(rng, outRank, 5, 2000);
        Dims inDims(outDims.end() - inRank, outDims.end());
        for (uint32_t& d : inDims) d = rng() % 3 == 0 ? 1 : d;
        TensorPtr in = RandomTensor(rng, kTypes[iter % 6], inDims, iter % 4 == 1 ? 2 : 0);
        TensorPtr out = MakeTensor(kTypes[iter % 6], outDims, iter % 4 == 2);
        Expand_ref(out.get(), in.get());
        EXPECT_EQ(Mismatches(out.get(), in.get(),
                             [&](const Dims& c) {
                                 Dims p(inRank);
                                 for (uint32_t d = 0; d < inRank; ++d) p[d] = inDims[d] == 1 ? 0 : c[outRank - inRank + d];
                                 return p;
                             }),
                  0u)
            << DimsText(inDims) << " onto " << DimsText(outDims) << " type " << kTypes[iter % 6];
    }
    Tensor* in = CreateTensor(DT_FLOAT32, DL_NONE, 2, corvus_test::Shape({3, 1}), true);
    FillIota(in);
    Tensor* ins[2] = {in, Int32Tensor({2, 1, 4}).release()};
    Layer* layer = RunLayer(AddExpandLayer(nullptr, ins, 2, "expand"), kfname_Expand_ref);
    ASSERT_EQ(DimsOf(layer->kernel->output[0]), (Dims{2, 3, 4}));
    ForEachIndex({2, 3, 4}, [&](const Dims& c) { EXPECT_EQ(At<float>(layer->kernel->output[0], c), (float)c[1]); });
    DestroyLayer(layer);
}

// Flatten follows the stored order from dense and padded inputs; reshape,
// squeeze and unsqueeze copy the storage and leave an output that already
// is a view of the input alone.
TEST(ReshapeRef, FlattenAndReshapeCopies)
{
    std::mt19937 rng(8701);
    for (uint32_t pad : {0u, 3u})
        for (DataType dt : {DT_FLOAT32, DT_FLOAT16, DT_UINT8}) {
            TensorPtr ref = MakeTensor(dt, {2, 3, 4, 5}, pad, DL_NHWC);
            FillRandom(ref.get(), rng);
            Tensor* in = CreateTensorWithStrides(dt, DL_NHWC, 4, ref->shape, ref->stride, true);
            CopyTensorData(ref.get(), in);
            Layer* layer = RunLayer(AddFlattenLayer(nullptr, in, "flat"), kfname_Flatten_ref);
            ASSERT_EQ(DimsOf(layer->kernel->output[0]), (Dims{2, 60}));
            EXPECT_EQ(Mismatches(layer->kernel->output[0], ref.get(),
                                 [](const Dims& c) { return Dims{c[0], c[1] / 20, c[1] / 5 % 4, c[1] % 5}; }),
                      0u);
            DestroyLayer(layer);
        }
    const uint32_t shape[2] = {4, 6};
    const struct {
        DataType dt;
        Dims in;
        int kind;  // 0 reshape, 1 squeeze, 2 unsqueeze
        std::vector<int32_t> axes;
        Dims out;
    } cases[] = {{DT_FLOAT32, {2, 3, 4}, 0, {}, {4, 6}},
                 {DT_FLOAT16, {1, 3, 1}, 1, {-1}, {1, 3}},
                 {DT_INT32, {3, 4}, 2, {0, 3}, {1, 3, 4, 1}}};
    for (const auto& c : cases) {
        Tensor* in = CreateTensor(c.dt, DL_NONE, (uint32_t)c.in.size(), corvus_test::Shape(c.in), true);
        FillRandom(in, rng);
        Tensor* ins[2] = {in, c.kind ? Int32Tensor(c.axes).release() : nullptr};
        Layer* layer = RunLayer(c.kind == 0   ? AddReshapeLayer(nullptr, in, "r", shape, 2)
                           : c.kind == 1 ? AddSqueezeLayer(nullptr, ins, 2, nullptr)
                                         : AddUnsqueezeLayer(nullptr, ins, 2, nullptr),
                           kfname_Reshape_ref);
        Tensor* out = layer->kernel->output[0];
        EXPECT_EQ(layer->op, (uint32_t)OP_Reshape);
        ASSERT_EQ(DimsOf(out), c.out);
        EXPECT_EQ(memcmp(out->data, in->data, Count(c.in) * DataTypeSize(c.dt)), 0) << c.kind;
        if (c.kind == 0) {
            FreeTensorData(out);
            out->data = in->data;
            ((float*)in->data)[0] = 42.0f;
            Execute_Reshape_ref(layer->kernel);
            EXPECT_EQ(((float*)in->data)[0], 42.0f);
            out->data = nullptr;
        }
        DestroyLayer(layer);
    }
}
