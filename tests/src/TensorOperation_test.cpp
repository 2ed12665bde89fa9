#include "TensorOperation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

namespace {

using TensorPtr = std::unique_ptr<Tensor, decltype(&DestroyTensor)>;
using Dims = std::vector<uint32_t>;

TensorShape Shape(const Dims& dims)
{
    TensorShape s;
    memset(&s, 0, sizeof(s));
    for (size_t i = 0; i < dims.size(); ++i) s.dimension[i] = dims[i];
    return s;
}

TensorPtr Make(DataType dtype, const Dims& dims, bool allocate = true)
{
    return TensorPtr(CreateTensor(dtype, DL_NONE, (uint32_t)dims.size(), Shape(dims), allocate), &DestroyTensor);
}

TensorPtr Ints(const std::vector<int32_t>& values)
{
    TensorPtr t = Make(DT_INT32, {(uint32_t)values.size()});
    if (!values.empty()) memcpy(t->data, values.data(), values.size() * sizeof(int32_t));
    return t;
}

TensorPtr Floats(const Dims& dims, const std::vector<float>& values)
{
    TensorPtr t = Make(DT_FLOAT32, dims);
    memcpy(t->data, values.data(), values.size() * sizeof(float));
    return t;
}

Dims Prefix(TensorShape s, uint32_t n) { return Dims(s.dimension, s.dimension + n); }
Dims DimsOf(const Tensor* t) { return Prefix(t->shape, t->ndim); }

TEST(TensorOperationShapes, Broadcast)
{
    TensorPtr a = Make(DT_FLOAT16, {2, 1, 3}, false), b = Make(DT_FLOAT32, {4, 1}, false);
    Tensor* ab[] = {a.get(), b.get()};
    TensorPtr r(GetBroadcastShape(ab, 2), &DestroyTensor);
    EXPECT_EQ(DimsOf(r.get()), (Dims{2, 4, 3}));
    EXPECT_EQ(r->dtype, DT_FLOAT16);  // from the longer input
    EXPECT_EQ(Dims(r->stride.dimension, r->stride.dimension + 3), (Dims{12, 3, 1}));
    EXPECT_EQ(r->data, nullptr);

    TensorPtr s = Make(DT_INT32, {}, false), c = Make(DT_FLOAT32, {5, 1, 1, 3}, false);
    Tensor* sabc[] = {s.get(), a.get(), b.get(), c.get()};
    TensorPtr chain(GetBroadcastShape(sabc, 4), &DestroyTensor);
    EXPECT_EQ(DimsOf(chain.get()), (Dims{5, 2, 4, 3}));

    TensorPtr x = Make(DT_FLOAT32, {3}, false), y = Make(DT_FLOAT32, {2}, false);
    Tensor* xy[] = {x.get(), y.get()};
    EXPECT_EXIT(GetBroadcastShape(xy, 2), ::testing::ExitedWithCode(1),
                "GetBroadcastShape: Tensors with shapes: \\(3\\)\\(2\\), are not broadcastable\\. File TensorOperation");
    EXPECT_EXIT(GetBroadcastShape(xy, 1), ::testing::ExitedWithCode(1),
                "GetBroadcastShape: inputsNum must be greater or equal 2\\. Current value: 1");
}

TEST(TensorOperationShapes, MatmulAndGather)
{
    TensorPtr a = Make(DT_FLOAT32, {2, 1, 3, 4}, false), b = Make(DT_FLOAT32, {5, 4, 6}, false);
    TensorPtr r(GetMatmulBroadcastTensor(a.get(), b.get()), &DestroyTensor);
    EXPECT_EQ(DimsOf(r.get()), (Dims{2, 5, 3, 6}));
    TensorPtr c = Make(DT_FLOAT32, {3, 4, 5}, false), d = Make(DT_FLOAT32, {2, 5, 7}, false);
    EXPECT_EXIT(GetMatmulBroadcastTensor(c.get(), d.get()), ::testing::ExitedWithCode(1),
                "Function Matmul: Wrong shapes for matrix multiplication: \\(3,4,5\\) and \\(2,5,7\\)");

    EXPECT_EQ(Prefix(GetGatherShape(Shape({5, 6, 7}), Shape({2, 3}), 3, 2, 4, 1), 5), (Dims{5, 2, 3, 7, 0}));
    EXPECT_EQ(Prefix(GetGatherShape(Shape({5, 6, 7}), Shape({}), 3, 0, 2, -1), 3), (Dims{5, 6, 0}));
    EXPECT_EQ(Prefix(GetGatherShape(Shape({5, 6, 7}), Shape({4}), 3, 1, 3, 0), 3), (Dims{4, 6, 7}));
    EXPECT_EXIT(GetGatherShape(Shape({1, 2, 3, 4}), Shape({5, 6, 7, 8}), 4, 4, 7, 0), ::testing::ExitedWithCode(1),
                "GetGatherShape: Output tensor rank is greater than: 6\\. Input tensor shape: \\(1,2,3,4\\)\\. "
                "Indices tensor shape: \\(5,6,7,8\\)\\. File");
}

struct SliceCase {
    int32_t start, end, step;
};

TensorShape SliceOne(uint32_t dim, SliceCase c, int32_t* starts, int32_t* ends, int32_t* steps)
{
    TensorPtr data = Make(DT_FLOAT32, {dim}, false);
    TensorPtr s = Ints({c.start}), e = Ints({c.end}), ax = Ints({0}), st = Ints({c.step});
    Tensor* in[] = {data.get(), s.get(), e.get(), ax.get(), st.get()};
    return GetSliceShape(in, 5, starts, ends, steps);
}

TEST(TensorOperationShapes, Slice)
{
    int32_t starts[6], ends[6], steps[6];
    EXPECT_EQ(SliceOne(10, {-3, INT32_MAX, 1}, starts, ends, steps).dimension[0], 3u);
    EXPECT_EQ(starts[0], 7);
    EXPECT_EQ(ends[0], 10);
    EXPECT_EQ(SliceOne(10, {9, INT32_MIN, -1}, starts, ends, steps).dimension[0], 10u);
    EXPECT_EQ(ends[0], -1);
    EXPECT_EQ(steps[0], -1);
    EXPECT_EQ(SliceOne(10, {1, -2, 3}, starts, ends, steps).dimension[0], 3u);  // 1, 4, 7
    EXPECT_EQ(ends[0], 8);

    // Untouched dimensions are taken whole.
    TensorPtr data = Make(DT_FLOAT32, {4, 10}, false);
    TensorPtr s = Ints({1}), e = Ints({9}), ax = Ints({1}), st = Ints({3});
    Tensor* in[] = {data.get(), s.get(), e.get(), ax.get(), st.get()};
    EXPECT_EQ(Prefix(GetSliceShape(in, 5, starts, ends, steps), 2), (Dims{4, 3}));
    EXPECT_EQ((Dims{(uint32_t)starts[0], (uint32_t)ends[0], (uint32_t)steps[0]}), (Dims{0, 4, 1}));

    EXPECT_EXIT(SliceOne(10, {0, 20, 1}, starts, ends, steps), ::testing::ExitedWithCode(1),
                "GetSliceShape: There is something wrong with output tensor shape: \\(20\\)\\. Input tensor shape: "
                "\\(10\\)");
    // Ranges the kernel would walk outside the data, or against the step.
    EXPECT_EXIT(SliceOne(10, {12, 10, 1}, starts, ends, steps), ::testing::ExitedWithCode(1), "something wrong");
    EXPECT_EXIT(SliceOne(10, {5, 2, 1}, starts, ends, steps), ::testing::ExitedWithCode(1), "something wrong");
    EXPECT_EXIT(SliceOne(10, {3, 3, 1}, starts, ends, steps), ::testing::ExitedWithCode(1), "shape: \\(0\\)");
    EXPECT_EXIT(SliceOne(10, {0, 5, 0}, starts, ends, steps), ::testing::ExitedWithCode(1), "step for axis 0 is 0");
    EXPECT_EXIT(GetSliceShape(in, 4, starts, ends, steps), ::testing::ExitedWithCode(1),
                "GetSliceShape: tensors_num must be equal 5\\. Current value: 4");
}

TEST(TensorOperationShapes, SqueezeUnsqueeze)
{
    TensorPtr data = Make(DT_FLOAT32, {1, 3, 1}, false);
    TensorPtr last = Ints({-1}), both = Ints({2, 0}), none = Ints({}), bad = Ints({1});
    EXPECT_EQ(Prefix(GetSqueezeShape(data.get(), last.get()), 3), (Dims{1, 3, 0}));
    EXPECT_EQ(Prefix(GetSqueezeShape(data.get(), both.get()), 2), (Dims{3, 0}));
    EXPECT_EQ(Prefix(GetSqueezeShape(data.get(), none.get()), 3), (Dims{1, 3, 1}));
    EXPECT_EXIT(GetSqueezeShape(data.get(), bad.get()), ::testing::ExitedWithCode(1),
                "GetSqueezeShape: Axis for squeeze operation: \\(1\\), is out of data tensor dimensions: \\(1,3,1\\), "
                "or axis for squeeze operation is not equal to 1");
    TensorPtr four = Ints({0, 0, 2, 2});
    EXPECT_EXIT(GetSqueezeShape(data.get(), four.get()), ::testing::ExitedWithCode(1),
                "Result axes dimensions number \\(-1\\) is less than zero");

    TensorPtr d2 = Make(DT_FLOAT32, {3, 4}, false);
    auto unsqueeze = [&](std::vector<int32_t> axes) {
        TensorPtr ax = Ints(axes);
        Tensor* in[] = {d2.get(), ax.get()};
        return GetUnsqueezeShape(in, 2);
    };
    EXPECT_EQ(Prefix(unsqueeze({0, 3}), 4), (Dims{1, 3, 4, 1}));
    EXPECT_EQ(Prefix(unsqueeze({-1, 1}), 4), (Dims{3, 1, 4, 1}));
    EXPECT_EQ(Prefix(unsqueeze({-2}), 3), (Dims{3, 1, 4}));
    EXPECT_EXIT(unsqueeze({0, 1, 2, 3, 4}), ::testing::ExitedWithCode(1),
                "GetUnsqueezeShape: Result axes dimensions number \\(7\\) is greater then MAX_NDIM_VALUE");
    EXPECT_EXIT(unsqueeze({3}), ::testing::ExitedWithCode(1), "Axis 3 is out of range");
}

TEST(TensorOperationShapes, RangeReduceArgMax)
{
    auto range = [](float start, float limit, float delta) {
        TensorPtr s = Floats({1}, {start}), l = Floats({1}, {limit}), d = Floats({1}, {delta});
        Tensor* in[] = {s.get(), l.get(), d.get()};
        return GetRangeShape(in, 3).dimension[0];
    };
    EXPECT_EQ(range(0, 5, 2), 3u);
    EXPECT_EQ(range(5, 0, -2), 3u);
    EXPECT_EQ(range(0, 1, 0.3f), 4u);
    TensorPtr s = Ints({-4}), l = Ints({4}), d = Ints({3}), f = Floats({1}, {3});
    Tensor* ints[] = {s.get(), l.get(), d.get()};
    EXPECT_EQ(GetRangeShape(ints, 3).dimension[0], 3u);
    EXPECT_EXIT(range(5, 0, 1), ::testing::ExitedWithCode(1),
                "GetRangeShape: Wrong start \\(5\\.000000\\), limit \\(0\\.000000\\), delta \\(1\\.000000\\) parameters");
    EXPECT_EXIT(range(2, 2, 1), ::testing::ExitedWithCode(1), "Wrong start");
    Tensor* mixed[] = {s.get(), l.get(), f.get()};
    EXPECT_EXIT(GetRangeShape(mixed, 3), ::testing::ExitedWithCode(1), "GetRangeShape: Inputs data type is not equal");

    TensorPtr in = Make(DT_FLOAT32, {2, 3, 4}, false);
    const uint32_t axes12[] = {1, 2}, axes21[] = {2, 1}, axes0123[] = {0, 1, 2, 3};
    EXPECT_EQ(Prefix(GetReduceShape(in.get(), axes12, 2, true), 3), (Dims{2, 1, 1}));
    EXPECT_EQ(Prefix(GetReduceShape(in.get(), axes12, 2, false), 2), (Dims{2, 0}));
    EXPECT_EQ(Prefix(GetReduceShape(in.get(), nullptr, 0, true), 4), (Dims{1, 1, 1, 0}));
    EXPECT_EQ(Prefix(GetReduceShape(in.get(), nullptr, 0, false), 2), (Dims{1, 0}));
    EXPECT_EXIT(GetReduceShape(in.get(), axes21, 2, true), ::testing::ExitedWithCode(1),
                "GetReduceShape: Wrong axes order");
    EXPECT_EXIT(GetReduceShape(in.get(), axes0123, 4, true), ::testing::ExitedWithCode(1),
                "GetReduceShape: Number of axes \\(4\\) for ReduceMean operation is greater than input tensor rank "
                "\\(3\\)");

    EXPECT_EQ(Prefix(GetArgMaxShape(in.get(), 1, true), 3), (Dims{2, 1, 4}));
    EXPECT_EQ(Prefix(GetArgMaxShape(in.get(), -1, false), 3), (Dims{2, 3, 0}));
    TensorPtr vec = Make(DT_FLOAT32, {7}, false);
    EXPECT_EQ(Prefix(GetArgMaxShape(vec.get(), 0, false), 1), (Dims{1}));
}

TEST(TensorOperationShapes, Einsum)
{
    char expr[] = " bij , bjk -> bik ";
    char l[7], r[7], o[7];
    uint32_t nl, nr, no;
    ParseEinSumExpression(expr, &nl, &nr, &no, l, r, o);
    EXPECT_STREQ(expr, "bij,bjk->bik");
    EXPECT_STREQ(l, "bij");
    EXPECT_STREQ(r, "bjk");
    EXPECT_STREQ(o, "bik");
    EXPECT_EQ((Dims{nl, nr, no}), (Dims{3, 3, 3}));
    EXPECT_EQ(Prefix(ComputeEinsumOutputShape(Shape({2, 3}), "ij", Shape({3, 4}), "jk", "ik"), 2), (Dims{2, 4}));
    EXPECT_EQ(Prefix(ComputeEinsumOutputShape(Shape({0, 3}), "ij", Shape({3, 5}), "jk", "kji"), 3), (Dims{5, 3, 1}));
    EXPECT_EXIT(ComputeEinsumOutputShape(Shape({2, 3}), "ij", Shape({4, 5}), "jk", "ik"), ::testing::ExitedWithCode(1),
                "ComputeEinsumOutputShape: Dimension mismatch for general index 'j'\\.");

    auto parse = [&](const char* text) {
        char buf[64];
        strcpy(buf, text);
        ParseEinSumExpression(buf, &nl, &nr, &no, l, r, o);
    };
    EXPECT_EXIT(parse("abcdefg,a->a"), ::testing::ExitedWithCode(1),
                "The expression for the left multiplayer contains more terms \\(7\\)than the maximum permissible "
                "dimension of the tensor \\(6\\)");
    EXPECT_EXIT(parse("a,abcdefg->a"), ::testing::ExitedWithCode(1), "for the right multiplayer");
    EXPECT_EXIT(parse("a,a->abcdefg"), ::testing::ExitedWithCode(1), "for the result multiplayer");
    EXPECT_EXIT(parse("ij->ij"), ::testing::ExitedWithCode(1), "ParseEinSumExpression: Invalid expression format\\.");
}

TEST(TensorOperationShapes, NonZero)
{
    TensorPtr f = Floats({2, 3}, {0.0f, -0.0f, 1.5f, NAN, 0.0f, -2.0f});
    EXPECT_EQ(Prefix(NonZeroOutputShape(f.get()), 2), (Dims{2, 3}));
    TensorPtr h = Make(DT_FLOAT16, {4});
    const uint16_t halves[] = {0x0000, 0x8000, 0x3C00, 0x0000};  // -0.0 counts: its pattern is not zero
    memcpy(h->data, halves, sizeof(halves));
    EXPECT_EQ(Prefix(NonZeroOutputShape(h.get()), 2), (Dims{1, 2}));
    TensorPtr b = Make(DT_INT8, {4});
    EXPECT_EXIT(NonZeroOutputShape(b.get()), ::testing::ExitedWithCode(1), "NonZeroOutputShape: unsupported data type");
    TensorPtr strided(CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({2, 2}), f->stride, true), &DestroyTensor);
    EXPECT_EXIT(NonZeroOutputShape(strided.get()), ::testing::ExitedWithCode(1),
                "IsSerialData\\(input\\): false, expected: true");
}

TEST(TensorOperationAccess, ElementsAndPositions)
{
    TensorStrides st;
    memset(&st, 0, sizeof(st));
    st.dimension[0] = 10;
    st.dimension[1] = 1;
    TensorPtr t(CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({2, 3}), st, true), &DestroyTensor);
    const uint32_t at[] = {1, 2};
    SetTensorDataValueFP32(t.get(), at, 4.5f);
    EXPECT_EQ(((float*)t->data)[12], 4.5f);
    EXPECT_EQ(GetTensorDataValueFP32(t.get(), at), 4.5f);
    const uint32_t outside[] = {2, 0};
    EXPECT_EXIT(GetTensorDataValueFP32(t.get(), outside), ::testing::ExitedWithCode(1), "Index 2 is out of dimension 0");
    EXPECT_EXIT(GetTensorDataValueUint32(t.get(), at), ::testing::ExitedWithCode(1),
                "tensor->dtype == DT_UINT32: false, expected: true");
    TensorPtr u = Make(DT_UINT32, {});
    *(uint32_t*)u->data = 77;
    EXPECT_EQ(GetTensorDataValueUint32(u.get(), nullptr), 77u);

    // Decomposition must invert row-major flattening.
    const TensorShape s = Shape({2, 3, 4});
    uint32_t pos[6];
    for (uint32_t i = 0; i < 24; ++i) {
        GetPositionByIndex(s, 3, i, pos);
        EXPECT_EQ((pos[0] * 3 + pos[1]) * 4 + pos[2], i);
        EXPECT_LT(pos[1], 3u);
        EXPECT_LT(pos[2], 4u);
    }
    EXPECT_EXIT(GetPositionByIndex(s, 3, 24, pos), ::testing::ExitedWithCode(1), "Index 24 does not match the shape");
}

TEST(TensorOperationStats, MinMaxSumTruncate)
{
    TensorPtr t = Floats({2, 3}, {1.0f, -4.0f, 7.0f, 7.0f, -4.0f, 0.5f});
    EXPECT_EQ(TensorMaxValueFP32(t.get()), 7.0f);
    EXPECT_EQ(TensorMinValueFP32(t.get()), -4.0f);
    EXPECT_EQ(TensorDataSumFP32(t.get()), 7.5f);

    // Strided rank-4 sum against the same row-major order over a dense copy.
    TensorStrides st;
    memset(&st, 0, sizeof(st));
    const uint32_t st4[] = {200, 50, 7, 1};
    memcpy(st.dimension, st4, sizeof(st4));
    TensorPtr p(CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 4, Shape({2, 3, 5, 6}), st, true), &DestroyTensor);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-3.0f, 3.0f);
    float expected = 0.0f;
    for (uint32_t a = 0; a < 2; ++a)
        for (uint32_t b = 0; b < 3; ++b)
            for (uint32_t c = 0; c < 5; ++c)
                for (uint32_t d = 0; d < 6; ++d) {
                    float v = dist(rng);
                    ((float*)p->data)[a * 200 + b * 50 + c * 7 + d] = v;
                    expected += v;
                }
    EXPECT_EQ(TensorDataSumFP32(p.get()), expected);
    EXPECT_EXIT(TensorMaxValueFP32(p.get()), ::testing::ExitedWithCode(1), "Not realized yet");
    TensorPtr empty = Make(DT_FLOAT32, {3, 0});
    EXPECT_EQ(TensorDataSumFP32(empty.get()), 0.0f);
    TensorPtr five = Make(DT_FLOAT32, {1, 1, 1, 1, 2});
    EXPECT_EXIT(TensorDataSumFP32(five.get()), ::testing::ExitedWithCode(1),
                "ndim <= 4 && ndim > 0: false, expected: true");
    TensorPtr ints = Make(DT_INT32, {3});
    const int32_t iv[] = {5, -2, 40};
    memcpy(ints->data, iv, sizeof(iv));
    EXPECT_EQ(TensorDataSumFP32(ints.get()), 43.0f);

    TruncateTensorFP32(t.get(), 2.0f, -1.0f);
    const float* v = (const float*)t->data;
    EXPECT_EQ(std::vector<float>(v, v + 6), (std::vector<float>{1.0f, -1.0f, 2.0f, 2.0f, -1.0f, 0.5f}));
    EXPECT_EXIT(TruncateTensorFP32(ints.get(), 1, 0), ::testing::ExitedWithCode(1), "Tensor data type must be DT_FLOAT32");
    EXPECT_EXIT(TruncateTensorFP32(p.get(), 1, 0), ::testing::ExitedWithCode(1),
                "Truncate is now supported only for serial data tensors");
}

TEST(TensorOperationStats, LinSpace)
{
    TensorPtr down(LinSpace(3, 2.0f, 0.0f), &DestroyTensor);
    const float* d = (const float*)down->data;
    EXPECT_EQ(std::vector<float>(d, d + 3), (std::vector<float>{2.0f, 1.0f, 0.0f}));
    EXPECT_EQ(down->layout, DL_I);
    TensorPtr up(LinSpace(5, -1.0f, 1.0f), &DestroyTensor);
    const float* u = (const float*)up->data;
    EXPECT_EQ(std::vector<float>(u, u + 5), (std::vector<float>{-1.0f, -0.5f, 0.0f, 0.5f, 1.0f}));
    TensorPtr one(LinSpace(1, 3.0f, 9.0f), &DestroyTensor);
    EXPECT_EQ(*(const float*)one->data, 3.0f);
    EXPECT_EXIT(LinSpace(0, 0, 1), ::testing::ExitedWithCode(1), "num must be positive and not zero value");
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
    TensorPtr in = Make(DT_FLOAT32, {(uint32_t)v.size()});
    if (!v.empty()) memcpy(in->data, v.data(), v.size() * sizeof(float));
    TensorPtr out(sort(in.get()), &DestroyTensor);
    EXPECT_EQ(out->dtype, DT_UINT32);
    EXPECT_EQ(out->layout, DL_I);
    if (!v.empty()) {
        EXPECT_EQ(0, memcmp(in->data, v.data(), v.size() * sizeof(float)));  // input untouched
    }
    const uint32_t* p = (const uint32_t*)out->data;
    return std::vector<uint32_t>(p, p + v.size());
}

TEST(TensorOperationSort, ArgSortsAgainstReferences)
{
    std::mt19937 rng(11);
    for (uint32_t n : {0u, 1u, 2u, 3u, 17u, 64u, 1000u}) {
        for (int tieHeavy = 0; tieHeavy < 2; ++tieHeavy) {
            std::vector<float> v(n);
            for (float& x : v)
                x = tieHeavy ? (float)(rng() % 4) * 0.5f : std::uniform_real_distribution<float>(0.0f, 100.0f)(rng);
            SCOPED_TRACE(testing::Message() << "n=" << n << " ties=" << tieHeavy);
            EXPECT_EQ(SortWith(ArgSortPositive, v), StableOrder(v));
            EXPECT_EQ(SortWith(ArgSortPositiveAsm, v), StableOrder(v));
            // Shell sort: exactly the reference, and values ascending.
            for (float& x : v) x -= 50.0f;  // negatives are fine here
            std::vector<uint32_t> shell = SortWith(ArgSort, v);
            EXPECT_EQ(shell, ShellOrder(v));
            for (size_t i = 1; i < shell.size(); ++i) EXPECT_LE(v[shell[i - 1]], v[shell[i]]);
        }
    }
    EXPECT_EQ(SortWith(ArgSortPositiveAsm, {0.5f, 0.1f, 0.5f}), (std::vector<uint32_t>{1, 0, 2}));
    std::vector<float> sorted(300), reversed(300);
    std::iota(sorted.begin(), sorted.end(), 0.0f);
    std::copy(sorted.rbegin(), sorted.rend(), reversed.begin());
    EXPECT_EQ(SortWith(ArgSortPositive, reversed), StableOrder(reversed));
    EXPECT_EQ(SortWith(ArgSortPositiveAsm, sorted), StableOrder(sorted));

    TensorPtr m = Make(DT_FLOAT32, {2, 2}), i = Make(DT_INT32, {4});
    EXPECT_EXIT(ArgSort(m.get()), ::testing::ExitedWithCode(1), "tensor->ndim == 1: false, expected: true");
    EXPECT_EXIT(ArgSortPositiveAsm(i.get()), ::testing::ExitedWithCode(1),
                "tensor->dtype == DT_FLOAT32: false, expected: true");

    std::vector<int64_t> keys = {5, INT64_MIN, -1, INT64_MAX, 0, 5};
    qsort(keys.data(), keys.size(), sizeof(int64_t), compare_int64);
    EXPECT_EQ(keys, (std::vector<int64_t>{INT64_MIN, -1, 0, 5, 5, INT64_MAX}));
}

// Naive concatenation over logical indices, for any rank and axis.
std::vector<float> NaiveConcat(const std::vector<Tensor*>& ins, uint32_t axis, const Dims& outDims)
{
    const uint32_t rank = (uint32_t)outDims.size();
    uint32_t total = 1;
    for (uint32_t d : outDims) total *= d;
    std::vector<float> out(total);
    uint32_t pos[6];
    for (uint32_t f = 0; f < total; ++f) {
        GetPositionByIndex(Shape(outDims), rank, f, pos);
        uint32_t n = 0;
        while (pos[axis] >= ins[n]->shape.dimension[axis]) pos[axis] -= ins[n++]->shape.dimension[axis];
        out[f] = GetTensorDataValueFP32(ins[n], pos);
    }
    return out;
}

void Fill(Tensor* t, float base)
{
    for (uint32_t i = 0; i < GetTensorDataSize(t); ++i) ((float*)t->data)[i] = base + (float)i;
}

TEST(TensorOperationCopy, ConcatMatchesNaive)
{
    const Dims base = {2, 3, 4, 5};
    for (uint32_t rank = 1; rank <= 4; ++rank) {
        for (uint32_t axis = 0; axis < rank; ++axis) {
            if (rank == 4 && axis == 0) continue;
            Dims dims(base.end() - rank, base.end());
            std::vector<TensorPtr> owned;
            std::vector<Tensor*> ins;
            Dims outDims = dims;
            outDims[axis] = 0;
            for (uint32_t n = 0; n < 3; ++n) {
                Dims d = dims;
                d[axis] = n + 1;
                outDims[axis] += n + 1;
                owned.push_back(Make(DT_FLOAT32, d));
                Fill(owned.back().get(), 1000.0f * (n + 1));
                ins.push_back(owned.back().get());
            }
            TensorPtr out = Make(DT_FLOAT32, outDims);
            ConcatTensors(out.get(), ins.data(), 3, (int32_t)axis);
            SCOPED_TRACE(testing::Message() << "rank=" << rank << " axis=" << axis);
            const float* o = (const float*)out->data;
            EXPECT_EQ(std::vector<float>(o, o + GetTensorSize(out.get())), NaiveConcat(ins, axis, outDims));
        }
    }
    // Innermost concatenation into padded output rows.
    TensorPtr a = Make(DT_FLOAT32, {3, 2}), b = Make(DT_FLOAT32, {3, 1});
    Fill(a.get(), 0);
    Fill(b.get(), 100);
    TensorStrides st;
    memset(&st, 0, sizeof(st));
    st.dimension[0] = 4;
    st.dimension[1] = 1;
    TensorPtr padded(CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 2, Shape({3, 3}), st, true), &DestroyTensor);
    Tensor* ab[] = {a.get(), b.get()};
    ConcatTensors(padded.get(), ab, 2, -1);
    const float* q = (const float*)padded->data;
    EXPECT_EQ(std::vector<float>(q, q + 11), (std::vector<float>{0, 1, 100, 0, 2, 3, 101, 0, 4, 5, 102}));

    TensorPtr c4 = Make(DT_FLOAT32, {2, 1, 1, 1}), o4 = Make(DT_FLOAT32, {4, 1, 1, 1});
    Tensor* cc[] = {c4.get(), c4.get()};
    EXPECT_EXIT(ConcatTensors(o4.get(), cc, 2, 0), ::testing::ExitedWithCode(1),
                "Unsupported combination of params for Concate function: axis: 0, tensors dimension: 4");
    TensorPtr wide = Make(DT_FLOAT32, {3, 4});
    EXPECT_EXIT(ConcatTensors(wide.get(), ab, 2, 1), ::testing::ExitedWithCode(1), "inputs sum to 3 along axis 1");
    // Along a middle axis, padded rows cannot be moved as one block.
    TensorPtr r1 = Make(DT_FLOAT32, {2, 1, 3}), out3 = Make(DT_FLOAT32, {2, 2, 3});
    TensorStrides rs;
    memset(&rs, 0, sizeof(rs));
    rs.dimension[0] = 4;
    rs.dimension[1] = 4;
    rs.dimension[2] = 1;
    TensorPtr r2(CreateTensorWithStrides(DT_FLOAT32, DL_NONE, 3, Shape({2, 1, 3}), rs, true), &DestroyTensor);
    Tensor* rr[] = {r1.get(), r2.get()};
    EXPECT_EXIT(ConcatTensors(out3.get(), rr, 2, 1), ::testing::ExitedWithCode(1),
                "input_strides\\[2\\]\\[n\\] == input_dims\\[3\\]\\[n\\] \\* dtype_size: false, expected: true");
    EXPECT_EXIT(ConcatTensors(out3.get(), rr, 2, 0), ::testing::ExitedWithCode(1), "differs from the output");
}

TEST(TensorOperationCopy, SplitInvertsConcat)
{
    const Dims dims = {2, 3, 2, 2, 3, 4};
    for (uint32_t rank = 1; rank <= 6; ++rank) {
        for (uint32_t axis = 0; axis < rank; ++axis) {
            Dims inDims(dims.end() - rank, dims.end());
            inDims[axis] = 6;
            TensorPtr in = Make(DT_FLOAT32, inDims);
            Fill(in.get(), 0.0f);
            std::vector<TensorPtr> owned;
            std::vector<Tensor*> outs;
            for (uint32_t len : {1u, 3u, 2u}) {
                Dims d = inDims;
                d[axis] = len;
                owned.push_back(Make(DT_FLOAT32, d));
                outs.push_back(owned.back().get());
            }
            SplitTensor(outs.data(), 3, in.get(), (int32_t)axis);
            SCOPED_TRACE(testing::Message() << "rank=" << rank << " axis=" << axis);
            const float* v = (const float*)in->data;
            EXPECT_EQ(NaiveConcat(outs, axis, inDims), std::vector<float>(v, v + GetTensorSize(in.get())));
        }
    }
    TensorPtr in = Make(DT_FLOAT32, {4, 2}), big = Make(DT_FLOAT32, {3, 2}), zero = Make(DT_FLOAT32, {0, 2});
    Tensor* o1[] = {big.get(), big.get()};
    EXPECT_EXIT(SplitTensor(o1, 2, in.get(), 0), ::testing::ExitedWithCode(1), "runs past the end of the input");
    Tensor* o2[] = {zero.get()};
    EXPECT_EXIT(SplitTensor(o2, 1, in.get(), 0), ::testing::ExitedWithCode(1), "outputs have no extent along axis");
}

}  // namespace
