// Shape rules (broadcast, matmul, gather, slice, squeeze, range, reduce,
// einsum, non-zero), element access and statistics, sorts against
// independent references, concatenation and splitting against a naive copy.
#include "TensorOperation.h"

#include <climits>
#include <numeric>

#include "test_util.h"

using namespace corvus_test;

namespace {

using U = std::vector<uint32_t>;

TensorPtr Ints(const std::vector<int32_t>& v) { return TensorPtr(Holding(DT_INT32, {(uint32_t)v.size()}, v)); }
TensorPtr Floats(const U& dims, const std::vector<float>& v) { return TensorPtr(Holding(DT_FLOAT32, dims, v)); }
TensorPtr D(const U& dims, DataType dt = DT_FLOAT32) { return TensorPtr(Desc(dt, dims)); }
U Prefix(TensorShape s, uint32_t n) { return U(s.dimension, s.dimension + n); }
std::vector<float> Values(const Tensor* t) { return {(float*)t->data, (float*)t->data + GetTensorDataSize(t)}; }

int32_t starts[6], ends[6], steps[6];
uint32_t Slice1(uint32_t dim, int32_t start, int32_t end, int32_t step)
{
    TensorPtr data = D({dim}), s = Ints({start}), e = Ints({end}), ax = Ints({0}), st = Ints({step});
    Tensor* in[] = {data.get(), s.get(), e.get(), ax.get(), st.get()};
    return GetSliceShape(in, 5, starts, ends, steps).dimension[0];
}
float Range(float start, float limit, float delta)
{
    TensorPtr s = Floats({1}, {start}), l = Floats({1}, {limit}), d = Floats({1}, {delta});
    Tensor* ins[] = {s.get(), l.get(), d.get()};
    return (float)GetRangeShape(ins, 3).dimension[0];
}
U Unsqueeze(const Tensor* data, const std::vector<int32_t>& axes)
{
    TensorPtr ax = Ints(axes);
    Tensor* ins[] = {(Tensor*)data, ax.get()};
    const TensorShape s = GetUnsqueezeShape(ins, 2);
    return Prefix(s, data->ndim + (uint32_t)axes.size());
}
void ParseEinsum(const char* text)
{
    char buf[64], l[7], r[7], o[7];
    uint32_t nl, nr, no;
    strcpy(buf, text);
    ParseEinSumExpression(buf, &nl, &nr, &no, l, r, o);
}

}  // namespace

TEST(TensorOperationShapes, BroadcastGatherSqueezeRangeReduceArgMax)
{
    TensorPtr a = D({2, 1, 3}, DT_FLOAT16), b = D({4, 1}), s = D({}, DT_INT32), c = D({5, 1, 1, 3});
    Tensor* ab[] = {a.get(), b.get()};
    TensorPtr r(GetBroadcastShape(ab, 2));
    EXPECT_EQ(DimsOf(r.get()), (U{2, 4, 3}));
    EXPECT_EQ(r->dtype, DT_FLOAT16);  // from the longer input
    EXPECT_EQ(StridesOf(r.get()), (U{12, 3, 1}));
    Tensor* sabc[] = {s.get(), a.get(), b.get(), c.get()};
    EXPECT_EQ(DimsOf(TensorPtr(GetBroadcastShape(sabc, 4)).get()), (U{5, 2, 4, 3}));

    EXPECT_EQ(Prefix(GetGatherShape(Shape({5, 6, 7}), Shape({2, 3}), 3, 2, 4, 1), 5), (U{5, 2, 3, 7, 0}));
    EXPECT_EQ(Prefix(GetGatherShape(Shape({5, 6, 7}), Shape({}), 3, 0, 2, -1), 3), (U{5, 6, 0}));
    EXPECT_EQ(Prefix(GetGatherShape(Shape({5, 6, 7}), Shape({4}), 3, 1, 3, 0), 3), (U{4, 6, 7}));

    TensorPtr data = D({1, 3, 1}), d2 = D({3, 4}), in = D({2, 3, 4}), vec = D({7});
    EXPECT_EQ(Prefix(GetSqueezeShape(data.get(), Ints({-1}).get()), 3), (U{1, 3, 0}));
    EXPECT_EQ(Prefix(GetSqueezeShape(data.get(), Ints({2, 0}).get()), 2), (U{3, 0}));
    EXPECT_EQ(Prefix(GetSqueezeShape(data.get(), Ints({}).get()), 3), (U{1, 3, 1}));
    EXPECT_EQ(Unsqueeze(d2.get(), {0, 3}), (U{1, 3, 4, 1}));
    EXPECT_EQ(Unsqueeze(d2.get(), {-1, 1}), (U{3, 1, 4, 1}));
    EXPECT_EQ(Unsqueeze(d2.get(), {-2}), (U{3, 1, 4}));
    EXPECT_EQ((std::vector<float>{Range(0, 5, 2), Range(5, 0, -2), Range(0, 1, 0.3f)}), (std::vector<float>{3, 3, 4}));
    TensorPtr is = Ints({-4}), il = Ints({4}), id = Ints({3});
    Tensor* ints[] = {is.get(), il.get(), id.get()};
    EXPECT_EQ(GetRangeShape(ints, 3).dimension[0], 3u);

    // (Axes kept or dropped and matrix products as the constructors call them: the LayerConstructors table.)
    EXPECT_EQ(Prefix(GetReduceShape(in.get(), nullptr, 0, false), 2), (U{1, 0}));
    EXPECT_EQ(Prefix(GetArgMaxShape(in.get(), -1, false), 3), (U{2, 3, 0}));
    EXPECT_EQ(Prefix(GetArgMaxShape(vec.get(), 0, false), 1), (U{1}));
}

TEST(TensorOperationShapes, SliceEinsumAndNonZero)
{
    EXPECT_EQ(Slice1(10, -3, INT32_MAX, 1), 3u);
    EXPECT_TRUE(starts[0] == 7 && ends[0] == 10);
    EXPECT_EQ(Slice1(10, 9, INT32_MIN, -1), 10u);
    EXPECT_TRUE(ends[0] == -1 && steps[0] == -1);
    EXPECT_EQ(Slice1(10, 1, -2, 3), 3u);  // 1, 4, 7
    EXPECT_EQ(ends[0], 8);
    // Untouched dimensions are taken whole.
    TensorPtr data = D({4, 10}), s = Ints({1}), e = Ints({9}), ax = Ints({1}), st = Ints({3});
    Tensor* in[] = {data.get(), s.get(), e.get(), ax.get(), st.get()};
    EXPECT_EQ(Prefix(GetSliceShape(in, 5, starts, ends, steps), 2), (U{4, 3}));
    EXPECT_TRUE(starts[0] == 0 && ends[0] == 4 && steps[0] == 1);

    char expr[] = " bij , bjk -> bik ";
    char l[7], r[7], o[7];
    uint32_t nl, nr, no;
    ParseEinSumExpression(expr, &nl, &nr, &no, l, r, o);
    EXPECT_STREQ(expr, "bij,bjk->bik");
    EXPECT_EQ(std::string(l) + r + o, "bijbjkbik");
    EXPECT_EQ((U{nl, nr, no}), (U{3, 3, 3}));
    EXPECT_EQ(Prefix(ComputeEinsumOutputShape(Shape({2, 3}), "ij", Shape({3, 4}), "jk", "ik"), 2), (U{2, 4}));
    EXPECT_EQ(Prefix(ComputeEinsumOutputShape(Shape({0, 3}), "ij", Shape({3, 5}), "jk", "kji"), 3), (U{5, 3, 1}));

    TensorPtr f = Floats({2, 3}, {0.0f, -0.0f, 1.5f, NAN, 0.0f, -2.0f});
    EXPECT_EQ(Prefix(NonZeroOutputShape(f.get()), 2), (U{2, 3}));  // half precision: NonZeroKernel
}

TEST(TensorOperationAccess, ElementsPositionsAndStats)
{
    TensorPtr t = NewTensor(DT_FLOAT32, {2, 3}, {10, 1});
    const uint32_t at[] = {1, 2};
    SetTensorDataValueFP32(t.get(), at, 4.5f);
    EXPECT_TRUE(((float*)t->data)[12] == 4.5f && GetTensorDataValueFP32(t.get(), at) == 4.5f);
    // Decomposition must invert row-major flattening.
    uint32_t pos[6];
    for (uint32_t i = 0; i < 24; ++i) {
        GetPositionByIndex(Shape({2, 3, 4}), 3, i, pos);
        EXPECT_TRUE((pos[0] * 3 + pos[1]) * 4 + pos[2] == i && pos[1] < 3 && pos[2] < 4) << i;
    }
    TensorPtr v = Floats({2, 3}, {1.0f, -4.0f, 7.0f, 7.0f, -4.0f, 0.5f});
    EXPECT_TRUE(TensorMaxValueFP32(v.get()) == 7.0f && TensorMinValueFP32(v.get()) == -4.0f);
    // Strided rank-4 sum against the same row-major order.
    TensorPtr p = NewTensor(DT_FLOAT32, {2, 3, 5, 6}, {200, 50, 7, 1});
    std::mt19937 rng(7);
    float expected = 0.0f;
    ForEachIndex(DimsOf(p.get()), [&](const U& i) {
        const float x = std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng);
        ((float*)p->data)[i[0] * 200 + i[1] * 50 + i[2] * 7 + i[3]] = x;
        expected += x;
    });
    EXPECT_EQ(TensorDataSumFP32(p.get()), expected);
    EXPECT_EQ(TensorDataSumFP32(NewTensor(DT_FLOAT32, {3, 0}).get()), 0.0f);
    EXPECT_EQ(TensorDataSumFP32(TensorPtr(Holding(DT_INT32, {3}, std::vector<int32_t>{5, -2, 40})).get()), 43.0f);
    TruncateTensorFP32(v.get(), 2.0f, -1.0f);
    EXPECT_EQ(Values(v.get()), (std::vector<float>{1.0f, -1.0f, 2.0f, 2.0f, -1.0f, 0.5f}));
    TensorPtr down(LinSpace(3, 2.0f, 0.0f)), up(LinSpace(5, -1.0f, 1.0f)), one(LinSpace(1, 3.0f, 9.0f));
    EXPECT_EQ(Values(down.get()), (std::vector<float>{2.0f, 1.0f, 0.0f}));
    EXPECT_EQ(Values(up.get()), (std::vector<float>{-1.0f, -0.5f, 0.0f, 0.5f, 1.0f}));
    EXPECT_EQ(Values(one.get()), (std::vector<float>{3.0f}));
}

// Independent references: a stable sort of indices, and the textbook Shell sort.
std::vector<uint32_t> StableOrder(const std::vector<float>& v)
{
    std::vector<uint32_t> idx(v.size());
    std::iota(idx.begin(), idx.end(), 0u);
    std::stable_sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) { return v[a] < v[b]; });
    return idx;
}

std::vector<uint32_t> ShellOrder(std::vector<float> v)
{
    std::vector<uint32_t> idx(v.size());
    std::iota(idx.begin(), idx.end(), 0u);
    const int n = (int)v.size();
    for (int gap = n / 2; gap > 0; gap /= 2)
        for (int i = gap; i < n; ++i)
            for (int j = i - gap; j >= 0 && v[j] > v[j + gap]; j -= gap) {
                std::swap(v[j], v[j + gap]);
                std::swap(idx[j], idx[j + gap]);
            }
    return idx;
}

std::vector<uint32_t> SortWith(Tensor* (*sort)(const Tensor*), const std::vector<float>& v)
{
    TensorPtr in = Floats({(uint32_t)v.size()}, v);
    TensorPtr out(sort(in.get()));
    EXPECT_EQ(Values(in.get()), v);  // input untouched
    return {(uint32_t*)out->data, (uint32_t*)out->data + v.size()};
}

TEST(TensorOperationSort, ArgSortsAgainstReferences)
{
    std::mt19937 rng(11);
    std::vector<std::vector<float>> inputs;
    for (uint32_t n : {0u, 1u, 2u, 3u, 17u, 1000u})
        for (int tieHeavy = 0; tieHeavy < 2; ++tieHeavy) {
            std::vector<float> v(n);
            for (float& x : v)
                x = tieHeavy ? (float)(rng() % 4) * 0.5f : std::uniform_real_distribution<float>(0.0f, 100.0f)(rng);
            inputs.push_back(v);
        }
    std::vector<float> sorted(300);
    std::iota(sorted.begin(), sorted.end(), 0.0f);
    inputs.push_back(sorted);
    inputs.push_back(std::vector<float>(sorted.rbegin(), sorted.rend()));
    for (std::vector<float>& v : inputs) {
        SCOPED_TRACE(testing::Message() << "n=" << v.size());
        EXPECT_EQ(SortWith(ArgSortPositive, v), StableOrder(v));
        EXPECT_EQ(SortWith(ArgSortPositiveAsm, v), StableOrder(v));
        for (float& x : v) x -= 50.0f;  // negatives are fine for the Shell sort
        EXPECT_EQ(SortWith(ArgSort, v), ShellOrder(v));
    }
    std::vector<int64_t> keys = {5, INT64_MIN, -1, INT64_MAX, 0, 5};
    qsort(keys.data(), keys.size(), sizeof(int64_t), compare_int64);
    EXPECT_EQ(keys, (std::vector<int64_t>{INT64_MIN, -1, 0, 5, 5, INT64_MAX}));
}

// Naive concatenation over logical indices, for any rank and axis.
std::vector<float> NaiveConcat(const std::vector<Tensor*>& ins, uint32_t axis, const U& outDims)
{
    std::vector<float> out;
    ForEachIndex(outDims, [&](U pos) {
        uint32_t n = 0;
        while (pos[axis] >= ins[n]->shape.dimension[axis]) pos[axis] -= ins[n++]->shape.dimension[axis];
        out.push_back(GetTensorDataValueFP32(ins[n], pos.data()));
    });
    return out;
}

void Fill(Tensor* t, float base)
{
    for (uint32_t i = 0; i < GetTensorDataSize(t); ++i) ((float*)t->data)[i] = base + (float)i;
}

// Concatenation along every axis of ranks 1..4 (rank 4 from axis 1), and
// splitting along every axis of ranks 1..6, against the naive version.
TEST(TensorOperationCopy, ConcatAndSplitMatchNaive)
{
    const U base = {2, 3, 2, 2, 3, 4};
    for (uint32_t rank = 1; rank <= 6; ++rank)
        for (uint32_t axis = 0; axis < rank; ++axis) {
            SCOPED_TRACE(testing::Message() << "rank=" << rank << " axis=" << axis);
            U whole(base.end() - rank, base.end());
            whole[axis] = 6;
            std::vector<TensorPtr> owned;
            std::vector<Tensor*> parts;
            for (uint32_t len : {1u, 3u, 2u}) {
                U d = whole;
                d[axis] = len;
                owned.push_back(NewTensor(DT_FLOAT32, d));
                Fill(owned.back().get(), 1000.0f * len);
                parts.push_back(owned.back().get());
            }
            TensorPtr cat = NewTensor(DT_FLOAT32, whole);
            if (rank <= 4 && !(rank == 4 && axis == 0)) {
                ConcatTensors(cat.get(), parts.data(), 3, (int32_t)axis);
                EXPECT_EQ(Values(cat.get()), NaiveConcat(parts, axis, whole));
            }
            Fill(cat.get(), 0.0f);
            SplitTensor(parts.data(), 3, cat.get(), (int32_t)axis);
            EXPECT_EQ(NaiveConcat(parts, axis, whole), Values(cat.get()));
        }
    // Innermost concatenation into padded output rows.
    TensorPtr a = NewTensor(DT_FLOAT32, {3, 2}), b = NewTensor(DT_FLOAT32, {3, 1});
    TensorPtr padded = NewTensor(DT_FLOAT32, {3, 3}, {4, 1});
    Fill(a.get(), 0);
    Fill(b.get(), 100);
    Tensor* ab[] = {a.get(), b.get()};
    ConcatTensors(padded.get(), ab, 2, -1);
    EXPECT_EQ(Values(padded.get()), (std::vector<float>{0, 1, 100, 0, 2, 3, 101, 0, 4, 5, 102, 0}));
}

// Shape rules meet what users give the layer constructors.
TEST(TensorOperationDeathTest, FatalMessages)
{
    TensorPtr x = D({3}), y = D({2}), p = D({3, 4, 5}), q = D({2, 5, 7}), tall = D({65536, 1}), wide = D({1, 65537});
    TensorPtr data = D({1, 3, 1}), d2 = D({3, 4}), in = D({2, 3, 4}), i8 = NewTensor(DT_INT8, {4});
    TensorPtr s = Ints({-4}), l = Ints({4}), f = Floats({1}, {3});
    Tensor* xy[] = {x.get(), y.get()};
    Tensor* tw[] = {tall.get(), wide.get()};
    Tensor* mixed[] = {s.get(), l.get(), f.get()};
    const uint32_t axes21[] = {2, 1}, axes0123[] = {0, 1, 2, 3};
    const std::string huge =
        "CreateTensor. Tensor of shape (65536,65537) cannot be addressed: more than 4294967295 elements";
    // Results with more elements than 32 bits count are refused, not wrapped.
    ExpectFatal("Tensor", {{[&] { GetBroadcastShape(tw, 2); }, huge},
                           {[&] { GetMatmulBroadcastTensor(tall.get(), wide.get()); }, huge}});
    // clang-format off
    ExpectFatal("TensorOperation", {
        {[&] { GetBroadcastShape(xy, 2); }, "GetBroadcastShape: Tensors with shapes: (3)(2), are not broadcastable"},
        {[&] { GetMatmulBroadcastTensor(p.get(), q.get()); },
         "Function Matmul: Wrong shapes for matrix multiplication: (3,4,5) and (2,5,7)"},
        {[&] { GetGatherShape(Shape({1, 2, 3, 4}), Shape({5, 6, 7, 8}), 4, 4, 7, 0); },
         "GetGatherShape: Output tensor rank is greater than: 6. Input tensor shape: (1,2,3,4). "
         "Indices tensor shape: (5,6,7,8)"},
        // Slices the kernel would walk outside the data, or against the step.
        {[] { Slice1(10, 0, 20, 1); },
         "GetSliceShape: There is something wrong with output tensor shape: (20). Input tensor shape: (10)"},
        {[] { Slice1(10, 12, 10, 1); },
         "GetSliceShape: There is something wrong with output tensor shape: (2). Input tensor shape: (10)"},
        {[] { Slice1(10, 5, 2, 1); },
         "GetSliceShape: There is something wrong with output tensor shape: (3). Input tensor shape: (10)"},
        {[] { Slice1(10, 0, 5, 0); }, "GetSliceShape: step for axis 0 is 0"},
        {[&] { GetSqueezeShape(data.get(), Ints({1}).get()); },
         "GetSqueezeShape: Axis for squeeze operation: (1), is out of data tensor dimensions: (1,3,1), or axis for "
         "squeeze operation is not equal to 1"},
        {[&] { Unsqueeze(d2.get(), {0, 1, 2, 3, 4}); },
         "GetUnsqueezeShape: Result axes dimensions number (7) is greater then MAX_NDIM_VALUE"},
        {[] { Range(5, 0, 1); },
         "GetRangeShape: Wrong start (5.000000), limit (0.000000), delta (1.000000) parameters"},
        {[&] { GetRangeShape(mixed, 3); }, "GetRangeShape: Inputs data type is not equal"},
        {[&] { GetReduceShape(in.get(), axes21, 2, true); }, "GetReduceShape: Wrong axes order"},
        {[&] { GetReduceShape(in.get(), axes0123, 4, true); },
         "GetReduceShape: Number of axes (4) for ReduceMean operation is greater than input tensor rank (3)"},
        {[] { ComputeEinsumOutputShape(Shape({2, 3}), "ij", Shape({4, 5}), "jk", "ik"); },
         "ComputeEinsumOutputShape: Dimension mismatch for general index 'j'.\n"},
        {[] { ParseEinsum("ij->ij"); }, "ParseEinSumExpression: Invalid expression format.\n"},
        {[&] { NonZeroOutputShape(i8.get()); }, "NonZeroOutputShape: unsupported data type"},
    });
    ExpectExitRe({
        {[] { ParseEinsum("abcdefg,a->a"); },
         "The expression for the left multiplayer contains more terms \\(7\\)than the maximum permissible "
         "dimension of the tensor \\(6\\)"},
        {[&] { Unsqueeze(d2.get(), {3}); }, "Axis 3 is out of range"},
        {[&] { GetSqueezeShape(data.get(), Ints({0, 0, 2, 2}).get()); },
         "Result axes dimensions number \\(-1\\) is less than zero"},
    });
    // clang-format on
}
