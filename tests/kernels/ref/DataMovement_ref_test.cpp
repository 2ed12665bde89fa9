// Slice, transpose, shuffle, concatenation, tile, expand and flatten kernels
// against each one's index rule, over random ranks, types and padded strides.
#include <climits>
#include <numeric>

#include "LayersDataMovement.h"
#include "datamovement_util.h"

using namespace dm_test;

namespace {

const DataType kTypes[] = {DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_UINT8, DT_INT8, DT_UINT32};

// A slice layer from tensors of (axis, start, end, step) per sliced axis, in
// any order, run by the reference kernel.
Layer* RunSlice(const Tensor* data, const std::vector<std::vector<int32_t>>& slices)
{
    std::vector<int32_t> lists[4];
    for (const auto& s : slices)
        for (int i = 0; i < 4; ++i) lists[i].push_back(s[i]);
    Tensor* tensors[5] = {CopyOf(data), Int32Tensor(lists[1]).release(), Int32Tensor(lists[2]).release(),
                          Int32Tensor(lists[0]).release(), Int32Tensor(lists[3]).release()};
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

// One random case of a kernel each of whose output elements is the input
// element at source(output coordinate); the kernel has run.
struct Moved {
    TensorPtr in, out;
    std::function<Dims(const Dims&)> source = {};
    std::string what = {};
};

// Random permutations, then extents that are not multiples of the copy tile
// with the innermost axis moving (blocked path) and staying (row copies).
Moved Transposed(std::mt19937& rng, int iter)
{
    static const std::pair<Dims, Dims> fixed[] = {{{70, 45}, {1, 0}},
                                                  {{3, 40, 37}, {0, 2, 1}},
                                                  {{33, 2, 65}, {2, 1, 0}},
                                                  {{4, 35, 3, 33}, {3, 1, 2, 0}},
                                                  {{2, 3, 64, 5}, {1, 0, 2, 3}}};
    Dims perm(1 + iter % 6), dims;
    std::iota(perm.begin(), perm.end(), 0u);
    std::shuffle(perm.begin(), perm.end(), rng);
    dims = RandomDims(rng, (uint32_t)perm.size(), 7);
    if (iter < 5) std::tie(dims, perm) = fixed[iter];
    Dims outDims(perm.size());
    for (size_t i = 0; i < outDims.size(); ++i) outDims[i] = dims[perm[i]];
    Moved m{RandomTensor(rng, kTypes[iter % 5], dims, iter % 3 == 1 ? 2 : 0),
            MakeTensor(kTypes[iter % 5], outDims, iter % 3 == 2 ? 3 : 0)};
    Transpose_ref(m.out.get(), m.in.get(), perm.data());
    m.source = [perm](const Dims& o) {
        Dims p(o.size());
        for (size_t i = 0; i < o.size(); ++i) p[perm[i]] = o[i];
        return p;
    };
    m.what = DimsText(dims) + " perm " + DimsText(perm);
    return m;
}

// Channel c of a group of `per` goes to (c % groups) * per + c / groups;
// channels after the last whole group stay.
Moved Shuffled(std::mt19937& rng, int iter)
{
    Dims dims = RandomDims(rng, 3, 5, 200);
    const uint32_t groups = 1 + iter % 5, per = 1 + (iter / 5) % 4;
    dims.push_back(groups * per + (iter % 7 == 0 ? 1 + iter % 3 : 0));
    Moved m{MakeTensor(DT_FLOAT32, dims, iter % 2, DL_NHWC), MakeTensor(DT_FLOAT32, dims, iter % 3 ? 0 : 2, DL_NHWC)};
    FillRandom(m.in.get(), rng);
    Shuffle_fl32(m.out.get(), m.in.get(), groups);
    const uint32_t inGroup = dims[3] / groups;
    m.source = [=](Dims p) {
        if (p[3] < groups * inGroup) p[3] = (p[3] % groups) * inGroup + p[3] / groups;
        return p;
    };
    m.what = DimsText(dims) + " groups " + std::to_string(groups);
    return m;
}

Moved Tiled(std::mt19937& rng, int iter)
{
    const uint32_t rank = 1 + iter % 6;
    const Dims dims = RandomDims(rng, rank, 4, 60);
    Dims outDims(rank);
    std::vector<int32_t> reps(rank);
    for (uint32_t d = 0; d < rank; ++d) outDims[d] = dims[d] * (uint32_t)(reps[d] = 1 + rng() % (rank > 4 ? 2 : 5));
    Moved m{RandomTensor(rng, kTypes[iter % 5], dims, iter % 3 == 1 ? 2 : 0),
            MakeTensor(kTypes[iter % 5], outDims, iter % 3 == 2)};
    Tile_ref(m.out.get(), m.in.get(), Int32Tensor(reps, DT_UINT32).get());
    m.source = [dims](Dims p) {
        for (size_t d = 0; d < p.size(); ++d) p[d] %= dims[d];
        return p;
    };
    m.what = DimsText(dims);
    return m;
}

// Right-aligned broadcasting from any lower rank.
Moved Expanded(std::mt19937& rng, int iter)
{
    const uint32_t outRank = 1 + iter % 6, inRank = rng() % (outRank + 1);
    const Dims outDims = RandomDims(rng, outRank, 5, 2000);
    Dims inDims(outDims.end() - inRank, outDims.end());
    for (uint32_t& d : inDims) d = rng() % 3 == 0 ? 1 : d;
    Moved m{RandomTensor(rng, kTypes[iter % 6], inDims, iter % 4 == 1 ? 2 : 0),
            MakeTensor(kTypes[iter % 6], outDims, iter % 4 == 2)};
    nn_kernel_fn_list[kfname_Expand_ref]->execute(corvus_test::KernelRecord({m.in.get()}, {m.out.get()}).get());
    m.source = [=](const Dims& c) {
        Dims p(inRank);
        for (uint32_t d = 0; d < inRank; ++d) p[d] = inDims[d] == 1 ? 0 : c[outRank - inRank + d];
        return p;
    };
    m.what = DimsText(inDims) + " onto " + DimsText(outDims);
    return m;
}

// Flatten: each batch item's (H, W, C) block in row-major order.
Moved Flattened(std::mt19937& rng, int iter)
{
    const Dims dims = RandomDims(rng, 4, 5);
    Moved m{RandomTensor(rng, kTypes[iter % 6], dims, iter % 3 == 1 ? 3 : 0),
            MakeTensor(kTypes[iter % 6], {dims[0], dims[1] * dims[2] * dims[3]}, iter % 3 == 2)};
    nn_kernel_fn_list[kfname_Flatten_ref]->execute(corvus_test::KernelRecord({m.in.get()}, {m.out.get()}).get());
    m.source = [dims](const Dims& c) {
        return Dims{c[0], c[1] / (dims[2] * dims[3]), c[1] / dims[3] % dims[2], c[1] % dims[3]};
    };
    m.what = DimsText(dims);
    return m;
}

}  // namespace

TEST(DataMovementRef, TransposeShuffleTileExpandAndFlattenFollowTheirIndexRules)
{
    const struct {
        const char* name;
        Moved (*make)(std::mt19937&, int);
        int cases;
    } kernels[] = {{"Transpose", Transposed, 155},
                   {"Shuffle", Shuffled, 60},
                   {"Tile", Tiled, 120},
                   {"Expand", Expanded, 180},
                   {"Flatten", Flattened, 30}};
    for (const auto& k : kernels) {
        std::mt19937 rng(8101);
        for (int iter = 0; iter < k.cases; ++iter) {
            const Moved m = k.make(rng, iter);
            ASSERT_EQ(Mismatches(m.out.get(), m.in.get(), m.source), 0u)
                << k.name << " " << m.what << " type " << m.in->dtype;
        }
    }
    // More groups than channels change nothing.
    TensorPtr in = MakeTensor(DT_FLOAT32, {1, 1, 2, 6}, 0, DL_NHWC);
    TensorPtr out(corvus_test::Holding(DT_FLOAT32, {1, 1, 2, 6}, std::vector<float>(12, -1.0f), DL_NHWC));
    Shuffle_fl32(out.get(), in.get(), 7);
    EXPECT_EQ(corvus_test::ValuesOf<float>(out.get()), std::vector<float>(12, -1.0f));
    // Through the layer: rank 0 tiles to the one value, not the zero a fresh
    // output holds.
    Tensor* scalar = corvus_test::Holding<float>(DT_FLOAT32, {}, {7.5f});
    Tensor* ins[2] = {scalar, Int32Tensor({}, DT_UINT32).release()};
    Layer* layer = RunLayer(AddTileLayer(nullptr, ins, 2, "tile"), kfname_Tile_ref);
    EXPECT_EQ(layer->kernel->output[0]->ndim, 0u);
    EXPECT_EQ(*(float*)layer->kernel->output[0]->data, 7.5f);
    DestroyLayer(layer);
}

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
        std::vector<std::vector<int32_t>> slices;
        std::vector<Dims> positions(rank);
        for (uint32_t d = 0; d < rank; ++d) {
            positions[d].resize(dims[d]);
            std::iota(positions[d].begin(), positions[d].end(), 0u);
            if (pick(0, 3) == 0) continue;  // this axis keeps its whole extent
            const int64_t dim = dims[d], step = pick(0, 1) ? pick(1, 3) : -pick(1, 3), start = pick(0, dim - 1);
            const int64_t end = step > 0 ? pick(start + 1, dim) : pick(-1, start - 1);
            const int32_t s = (int32_t)(pick(0, 1) ? start - dim : start);
            const int32_t e =
                step > 0 ? (end == dim && pick(0, 1) ? INT_MAX : (int32_t)(end < dim && pick(0, 1) ? end - dim : end))
                         : (end == -1 ? INT_MIN : (int32_t)(pick(0, 1) ? end - dim : end));
            slices.push_back({(int32_t)d, s, e, (int32_t)step});
            positions[d].clear();
            for (int64_t i = start; step > 0 ? i < end : i > end; i += step) positions[d].push_back((uint32_t)i);
        }
        std::shuffle(slices.begin(), slices.end(), rng);
        Layer* layer = RunSlice(data.get(), slices);
        EXPECT_EQ(SliceMismatches(layer->kernel->output[0], data.get(), positions), 0u)
            << DimsText(dims) << " " << iter;
        DestroyLayer(layer);
    }
    // Walking three elements backwards from 1 leaves the input.
    SliceParams bad = {{0, 1}, {}, {1, -1, 1, 1, 1, 1}, 0, 0, {}};
    corvus_test::ExpectFatal(
        "Slice_ref", {{[&] {
                           Slice_ref(MakeTensor(DT_FLOAT32, {2, 3}).get(), MakeTensor(DT_FLOAT32, {2, 3}).get(), &bad);
                       },
                       "Slice_ref: dimension 1 reads elements 1 to -1 of 3"}});
}

// Concatenation: output coordinate c along the axis belongs to the input
// whose running range holds it.
TEST(ConcatenateRef, EveryAxisOfRandomShapes)
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
                EXPECT_EQ(wrong, 0u) << "out " << DimsText(outDims) << " axis " << axis;
            }
}
