#include "TensorOperation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "test_util.h"

using namespace corvus_test;

namespace {

using Dims = std::vector<uint32_t>;

TensorPtr Ints(const std::vector<int32_t>& values)
{
    TensorPtr t = NewTensor(DT_INT32, {(uint32_t)values.size()});
    if (!values.empty()) memcpy(t->data, values.data(), values.size() * sizeof(int32_t));
    return t;
}

TensorPtr Floats(const Dims& dims, const std::vector<float>& values)
{
    TensorPtr t = NewTensor(DT_FLOAT32, dims);
    if (!values.empty()) memcpy(t->data, values.data(), values.size() * sizeof(float));
    return t;
}

TensorPtr Desc(const Dims& dims, DataType dt = DT_FLOAT32) { return NewTensor(dt, dims, {}, false); }
Dims Prefix(TensorShape s, uint32_t n) { return Dims(s.dimension, s.dimension + n); }
std::vector<float> Values(const Tensor* t) { return {(float*)t->data, (float*)t->data + GetTensorDataSize(t)}; }

TEST(TensorOperationShapes, BroadcastMatmulAndGather)
{
    TensorPtr a = Desc({2, 1, 3}, DT_FLOAT16), b = Desc({4, 1}), s = Desc({}, DT_INT32), c = Desc({5, 1, 1, 3});
    Tensor* ab[] = {a.get(), b.get()};
    TensorPtr r(GetBroadcastShape(ab, 2));
    EXPECT_EQ(DimsOf(r.get()), (Dims{2, 4, 3}));
    EXPECT_EQ(r->dtype, DT_FLOAT16);  // from the longer input
    EXPECT_EQ(StridesOf(r.get()), (Dims{12, 3, 1}));
    Tensor* sabc[] = {s.get(), a.get(), b.get(), c.get()};
    EXPECT_EQ(DimsOf(TensorPtr(GetBroadcastShape(sabc, 4)).get()), (Dims{5, 2, 4, 3}));

    TensorPtr m1 = Desc({2, 1, 3, 4}), m2 = Desc({5, 4, 6});
    EXPECT_EQ(DimsOf(TensorPtr(GetMatmulBroadcastTensor(m1.get(), m2.get())).get()), (Dims{2, 5, 3, 6}));

    EXPECT_EQ(Prefix(GetGatherShape(Shape({5, 6, 7}), Shape({2, 3}), 3, 2, 4, 1), 5), (Dims{5, 2, 3, 7, 0}));
    EXPECT_EQ(Prefix(GetGatherShape(Shape({5, 6, 7}), Shape({}), 3, 0, 2, -1), 3), (Dims{5, 6, 0}));
    EXPECT_EQ(Prefix(GetGatherShape(Shape({5, 6, 7}), Shape({4}), 3, 1, 3, 0), 3), (Dims{4, 6, 7}));

    TensorPtr x = Desc({3}), y = Desc({2}), p = Desc({3, 4, 5}), q = Desc({2, 5, 7});
    Tensor* xy[] = {x.get(), y.get()};
    // Results with more elements than 32 bits count are refused, not wrapped.
    TensorPtr tall = Desc({65536, 1}), wide = Desc({1, 65537});
    Tensor* tw[] = {tall.get(), wide.get()};
    const std::string huge =
        Fatal("Tensor", "CreateTensor. Tensor of shape (65536,65537) cannot be addressed: more than 4294967295 elements");
    ExpectExitRe({
        {[&] { GetBroadcastShape(tw, 2); }, huge},
        {[&] { GetMatmulBroadcastTensor(tall.get(), wide.get()); }, huge},
        {[&] { GetBroadcastShape(xy, 2); },
         "GetBroadcastShape: Tensors with shapes: \\(3\\)\\(2\\), are not broadcastable\\. File TensorOperation"},
        {[&] { GetBroadcastShape(xy, 1); }, "GetBroadcastShape: inputsNum must be greater or equal 2\\. Current value: 1"},
        {[&] { GetMatmulBroadcastTensor(p.get(), q.get()); },
         "Function Matmul: Wrong shapes for matrix multiplication: \\(3,4,5\\) and \\(2,5,7\\)"},
        {[&] { GetGatherShape(Shape({1, 2, 3, 4}), Shape({5, 6, 7, 8}), 4, 4, 7, 0); },
         "GetGatherShape: Output tensor rank is greater than: 6\\. Input tensor shape: \\(1,2,3,4\\)\\. "
         "Indices tensor shape: \\(5,6,7,8\\)\\. File"},
    });
}

TEST(TensorOperationShapes, Slice)
{
    int32_t starts[6], ends[6], steps[6];
    auto slice1 = [&](uint32_t dim, int32_t start, int32_t end, int32_t step) {
        TensorPtr data = Desc({dim}), s = Ints({start}), e = Ints({end}), ax = Ints({0}), st = Ints({step});
        Tensor* in[] = {data.get(), s.get(), e.get(), ax.get(), st.get()};
        return GetSliceShape(in, 5, starts, ends, steps).dimension[0];
    };
    EXPECT_EQ(slice1(10, -3, INT32_MAX, 1), 3u);
    EXPECT_TRUE(starts[0] == 7 && ends[0] == 10);
    EXPECT_EQ(slice1(10, 9, INT32_MIN, -1), 10u);
    EXPECT_TRUE(ends[0] == -1 && steps[0] == -1);
    EXPECT_EQ(slice1(10, 1, -2, 3), 3u);  // 1, 4, 7
    EXPECT_EQ(ends[0], 8);

    // Untouched dimensions are taken whole.
    TensorPtr data = Desc({4, 10}), s = Ints({1}), e = Ints({9}), ax = Ints({1}), st = Ints({3});
    Tensor* in[] = {data.get(), s.get(), e.get(), ax.get(), st.get()};
    EXPECT_EQ(Prefix(GetSliceShape(in, 5, starts, ends, steps), 2), (Dims{4, 3}));
    EXPECT_TRUE(starts[0] == 0 && ends[0] == 4 && steps[0] == 1);

    ExpectExitRe({
        {[&] { slice1(10, 0, 20, 1); },
         "GetSliceShape: There is something wrong with output tensor shape: \\(20\\)\\. Input tensor shape: \\(10\\)"},
        // Ranges the kernel would walk outside the data, or against the step.
        {[&] { slice1(10, 12, 10, 1); }, "something wrong"},
        {[&] { slice1(10, 5, 2, 1); }, "something wrong"},
        {[&] { slice1(10, 0, 5, 0); }, "step for axis 0 is 0"},
        {[&] { GetSliceShape(in, 4, starts, ends, steps); }, "GetSliceShape: tensors_num must be equal 5\\. Current value: 4"},
    });
}

TEST(TensorOperationShapes, SqueezeUnsqueezeRangeReduceArgMax)
{
    TensorPtr data = Desc({1, 3, 1}), d2 = Desc({3, 4}), in = Desc({2, 3, 4}), vec = Desc({7});
    auto squeeze = [&](std::vector<int32_t> axes) { return GetSqueezeShape(data.get(), Ints(axes).get()); };
    auto unsqueeze = [&](std::vector<int32_t> axes) {
        TensorPtr ax = Ints(axes);
        Tensor* ins[] = {d2.get(), ax.get()};
        return GetUnsqueezeShape(ins, 2);
    };
    auto range = [](float start, float limit, float delta) {
        TensorPtr s = Floats({1}, {start}), l = Floats({1}, {limit}), d = Floats({1}, {delta});
        Tensor* ins[] = {s.get(), l.get(), d.get()};
        return GetRangeShape(ins, 3).dimension[0];
    };
    EXPECT_EQ(Prefix(squeeze({-1}), 3), (Dims{1, 3, 0}));
    EXPECT_EQ(Prefix(squeeze({2, 0}), 2), (Dims{3, 0}));
    EXPECT_EQ(Prefix(squeeze({}), 3), (Dims{1, 3, 1}));
    EXPECT_EQ(Prefix(unsqueeze({0, 3}), 4), (Dims{1, 3, 4, 1}));
    EXPECT_EQ(Prefix(unsqueeze({-1, 1}), 4), (Dims{3, 1, 4, 1}));
    EXPECT_EQ(Prefix(unsqueeze({-2}), 3), (Dims{3, 1, 4}));
    EXPECT_EQ((Dims{range(0, 5, 2), range(5, 0, -2), range(0, 1, 0.3f)}), (Dims{3, 3, 4}));
    TensorPtr s = Ints({-4}), l = Ints({4}), d = Ints({3}), f = Floats({1}, {3});
    Tensor* ints[] = {s.get(), l.get(), d.get()};
    Tensor* mixed[] = {s.get(), l.get(), f.get()};
    EXPECT_EQ(GetRangeShape(ints, 3).dimension[0], 3u);

    const uint32_t axes12[] = {1, 2}, axes21[] = {2, 1}, axes0123[] = {0, 1, 2, 3};
    EXPECT_EQ(Prefix(GetReduceShape(in.get(), axes12, 2, true), 3), (Dims{2, 1, 1}));
    EXPECT_EQ(Prefix(GetReduceShape(in.get(), axes12, 2, false), 2), (Dims{2, 0}));
    EXPECT_EQ(Prefix(GetReduceShape(in.get(), nullptr, 0, true), 4), (Dims{1, 1, 1, 0}));
    EXPECT_EQ(Prefix(GetReduceShape(in.get(), nullptr, 0, false), 2), (Dims{1, 0}));
    EXPECT_EQ(Prefix(GetArgMaxShape(in.get(), 1, true), 3), (Dims{2, 1, 4}));
    EXPECT_EQ(Prefix(GetArgMaxShape(in.get(), -1, false), 3), (Dims{2, 3, 0}));
    EXPECT_EQ(Prefix(GetArgMaxShape(vec.get(), 0, false), 1), (Dims{1}));

    ExpectExitRe({
        {[&] { squeeze({1}); },
         "GetSqueezeShape: Axis for squeeze operation: \\(1\\), is out of data tensor dimensions: \\(1,3,1\\), "
         "or axis for squeeze operation is not equal to 1"},
        {[&] { squeeze({0, 0, 2, 2}); }, "Result axes dimensions number \\(-1\\) is less than zero"},
        {[&] { unsqueeze({0, 1, 2, 3, 4}); },
         "GetUnsqueezeShape: Result axes dimensions number \\(7\\) is greater then MAX_NDIM_VALUE"},
        {[&] { unsqueeze({3}); }, "Axis 3 is out of range"},
        {[&] { range(5, 0, 1); },
         "GetRangeShape: Wrong start \\(5\\.000000\\), limit \\(0\\.000000\\), delta \\(1\\.000000\\) parameters"},
        {[&] { range(2, 2, 1); }, "Wrong start"},
        {[&] { GetRangeShape(mixed, 3); }, "GetRangeShape: Inputs data type is not equal"},
        {[&] { GetReduceShape(in.get(), axes21, 2, true); }, "GetReduceShape: Wrong axes order"},
        {[&] { GetReduceShape(in.get(), axes0123, 4, true); },
         "GetReduceShape: Number of axes \\(4\\) for ReduceMean operation is greater than input tensor rank \\(3\\)"},
    });
}

TEST(TensorOperationShapes, EinsumAndNonZero)
{
    char expr[] = " bij , bjk -> bik ";
    char l[7], r[7], o[7];
    uint32_t nl, nr, no;
    ParseEinSumExpression(expr, &nl, &nr, &no, l, r, o);
    EXPECT_STREQ(expr, "bij,bjk->bik");
    EXPECT_EQ(std::string(l) + r + o, "bijbjkbik");
    EXPECT_EQ((Dims{nl, nr, no}), (Dims{3, 3, 3}));
    EXPECT_EQ(Prefix(ComputeEinsumOutputShape(Shape({2, 3}), "ij", Shape({3, 4}), "jk", "ik"), 2), (Dims{2, 4}));
    EXPECT_EQ(Prefix(ComputeEinsumOutputShape(Shape({0, 3}), "ij", Shape({3, 5}), "jk", "kji"), 3), (Dims{5, 3, 1}));

    TensorPtr f = Floats({2, 3}, {0.0f, -0.0f, 1.5f, NAN, 0.0f, -2.0f});
    EXPECT_EQ(Prefix(NonZeroOutputShape(f.get()), 2), (Dims{2, 3}));
    TensorPtr h = NewTensor(DT_FLOAT16, {4}), b = NewTensor(DT_INT8, {4}), strided = NewTensor(DT_FLOAT32, {2, 2}, {3, 1});
    const uint16_t halves[] = {0x0000, 0x8000, 0x3C00, 0x0000};  // -0.0 counts: its pattern is not zero
    memcpy(h->data, halves, sizeof(halves));
    EXPECT_EQ(Prefix(NonZeroOutputShape(h.get()), 2), (Dims{1, 2}));

    auto parse = [&](const char* text) {
        char buf[64];
        strcpy(buf, text);
        ParseEinSumExpression(buf, &nl, &nr, &no, l, r, o);
    };
    ExpectExitRe({
        {[&] { ComputeEinsumOutputShape(Shape({2, 3}), "ij", Shape({4, 5}), "jk", "ik"); },
         "ComputeEinsumOutputShape: Dimension mismatch for general index 'j'\\."},
        {[&] { parse("abcdefg,a->a"); },
         "The expression for the left multiplayer contains more terms \\(7\\)than the maximum permissible "
         "dimension of the tensor \\(6\\)"},
        {[&] { parse("a,abcdefg->a"); }, "for the right multiplayer"},
        {[&] { parse("a,a->abcdefg"); }, "for the result multiplayer"},
        {[&] { parse("ij->ij"); }, "ParseEinSumExpression: Invalid expression format\\."},
        {[&] { NonZeroOutputShape(b.get()); }, "NonZeroOutputShape: unsupported data type"},
        {[&] { NonZeroOutputShape(strided.get()); }, "IsSerialData\\(input\\): false, expected: true"},
    });
}

TEST(TensorOperationAccess, ElementsPositionsAndStats)
{
    TensorPtr t = NewTensor(DT_FLOAT32, {2, 3}, {10, 1});
    const uint32_t at[] = {1, 2}, outside[] = {2, 0};
    SetTensorDataValueFP32(t.get(), at, 4.5f);
    EXPECT_TRUE(((float*)t->data)[12] == 4.5f && GetTensorDataValueFP32(t.get(), at) == 4.5f);
    TensorPtr u = NewTensor(DT_UINT32, {});
    *(uint32_t*)u->data = 77;
    EXPECT_EQ(GetTensorDataValueUint32(u.get(), nullptr), 77u);
    // Decomposition must invert row-major flattening.
    uint32_t pos[6];
    for (uint32_t i = 0; i < 24; ++i) {
        GetPositionByIndex(Shape({2, 3, 4}), 3, i, pos);
        EXPECT_TRUE((pos[0] * 3 + pos[1]) * 4 + pos[2] == i && pos[1] < 3 && pos[2] < 4) << i;
    }

    TensorPtr v = Floats({2, 3}, {1.0f, -4.0f, 7.0f, 7.0f, -4.0f, 0.5f});
    EXPECT_TRUE(TensorMaxValueFP32(v.get()) == 7.0f && TensorMinValueFP32(v.get()) == -4.0f);
    EXPECT_EQ(TensorDataSumFP32(v.get()), 7.5f);
    // Strided rank-4 sum against the same row-major order.
    TensorPtr p = NewTensor(DT_FLOAT32, {2, 3, 5, 6}, {200, 50, 7, 1});
    std::mt19937 rng(7);
    float expected = 0.0f;
    ForEachIndex(DimsOf(p.get()), [&](const Dims& i) {
        const float x = std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng);
        ((float*)p->data)[i[0] * 200 + i[1] * 50 + i[2] * 7 + i[3]] = x;
        expected += x;
    });
    EXPECT_EQ(TensorDataSumFP32(p.get()), expected);
    EXPECT_EQ(TensorDataSumFP32(NewTensor(DT_FLOAT32, {3, 0}).get()), 0.0f);
    TensorPtr ints = NewTensor(DT_INT32, {3}), five = NewTensor(DT_FLOAT32, {1, 1, 1, 1, 2});
    const int32_t iv[] = {5, -2, 40};
    memcpy(ints->data, iv, sizeof(iv));
    EXPECT_EQ(TensorDataSumFP32(ints.get()), 43.0f);
    TruncateTensorFP32(v.get(), 2.0f, -1.0f);
    EXPECT_EQ(Values(v.get()), (std::vector<float>{1.0f, -1.0f, 2.0f, 2.0f, -1.0f, 0.5f}));

    ExpectExitRe({
        {[&] { GetTensorDataValueFP32(t.get(), outside); }, "Index 2 is out of dimension 0"},
        {[&] { GetTensorDataValueUint32(t.get(), at); }, "tensor->dtype == DT_UINT32: false, expected: true"},
        {[&] { GetPositionByIndex(Shape({2, 3, 4}), 3, 24, pos); }, "Index 24 does not match the shape"},
        {[&] { TensorMaxValueFP32(p.get()); }, "Not realized yet"},
        {[&] { TensorDataSumFP32(five.get()); }, "ndim <= 4 && ndim > 0: false, expected: true"},
        {[&] { TruncateTensorFP32(ints.get(), 1, 0); }, "Tensor data type must be DT_FLOAT32"},
        {[&] { TruncateTensorFP32(p.get(), 1, 0); }, "Truncate is now supported only for serial data tensors"},
        {[&] { LinSpace(0, 0, 1); }, "num must be positive and not zero value"},
    });
}

TEST(TensorOperationStats, LinSpace)
{
    TensorPtr down(LinSpace(3, 2.0f, 0.0f)), up(LinSpace(5, -1.0f, 1.0f)), one(LinSpace(1, 3.0f, 9.0f));
    EXPECT_EQ(Values(down.get()), (std::vector<float>{2.0f, 1.0f, 0.0f}));
    EXPECT_EQ(down->layout, DL_I);
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
    EXPECT_TRUE(out->dtype == DT_UINT32 && out->layout == DL_I);
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
    EXPECT_EQ(SortWith(ArgSortPositiveAsm, {0.5f, 0.1f, 0.5f}), (std::vector<uint32_t>{1, 0, 2}));
    std::vector<int64_t> keys = {5, INT64_MIN, -1, INT64_MAX, 0, 5};
    qsort(keys.data(), keys.size(), sizeof(int64_t), compare_int64);
    EXPECT_EQ(keys, (std::vector<int64_t>{INT64_MIN, -1, 0, 5, 5, INT64_MAX}));

    TensorPtr m = NewTensor(DT_FLOAT32, {2, 2}), i = NewTensor(DT_INT32, {4});
    ExpectExitRe({
        {[&] { ArgSort(m.get()); }, "tensor->ndim == 1: false, expected: true"},
        {[&] { ArgSortPositiveAsm(i.get()); }, "tensor->dtype == DT_FLOAT32: false, expected: true"},
    });
}

// Naive concatenation over logical indices, for any rank and axis.
std::vector<float> NaiveConcat(const std::vector<Tensor*>& ins, uint32_t axis, const Dims& outDims)
{
    std::vector<float> out;
    ForEachIndex(outDims, [&](Dims pos) {
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
    const Dims base = {2, 3, 2, 2, 3, 4};
    for (uint32_t rank = 1; rank <= 6; ++rank)
        for (uint32_t axis = 0; axis < rank; ++axis) {
            SCOPED_TRACE(testing::Message() << "rank=" << rank << " axis=" << axis);
            Dims whole(base.end() - rank, base.end());
            whole[axis] = 6;
            std::vector<TensorPtr> owned;
            std::vector<Tensor*> parts;
            for (uint32_t len : {1u, 3u, 2u}) {
                Dims d = whole;
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

    TensorPtr c4 = NewTensor(DT_FLOAT32, {2, 1, 1, 1}), o4 = NewTensor(DT_FLOAT32, {4, 1, 1, 1});
    TensorPtr wide = NewTensor(DT_FLOAT32, {3, 4}), out3 = NewTensor(DT_FLOAT32, {2, 2, 3});
    TensorPtr r1 = NewTensor(DT_FLOAT32, {2, 1, 3}), r2 = NewTensor(DT_FLOAT32, {2, 1, 3}, {4, 4, 1});
    TensorPtr in = NewTensor(DT_FLOAT32, {4, 2}), big = NewTensor(DT_FLOAT32, {3, 2}), zero = NewTensor(DT_FLOAT32, {0, 2});
    Tensor* cc[] = {c4.get(), c4.get()};
    Tensor* rr[] = {r1.get(), r2.get()};
    Tensor* bigs[] = {big.get(), big.get()};
    Tensor* zeros[] = {zero.get()};
    ExpectExitRe({
        {[&] { ConcatTensors(o4.get(), cc, 2, 0); },
         "Unsupported combination of params for Concate function: axis: 0, tensors dimension: 4"},
        {[&] { ConcatTensors(wide.get(), ab, 2, 1); }, "inputs sum to 3 along axis 1"},
        // Along a middle axis, padded rows cannot be moved as one block.
        {[&] { ConcatTensors(out3.get(), rr, 2, 1); },
         "input_strides\\[2\\]\\[n\\] == input_dims\\[3\\]\\[n\\] \\* dtype_size: false, expected: true"},
        {[&] { ConcatTensors(out3.get(), rr, 2, 0); }, "differs from the output"},
        {[&] { SplitTensor(bigs, 2, in.get(), 0); }, "runs past the end of the input"},
        {[&] { SplitTensor(zeros, 1, in.get(), 0); }, "outputs have no extent along axis"},
    });
}

}  // namespace
