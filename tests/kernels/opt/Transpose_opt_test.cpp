// The transpose engine against Transpose_ref and an index-by-index check:
// random ranks, permutations, element types and padded strides; the
// scratch-tiled path with partial tiles and unaligned views; checks and the
// kernel set.
#include <gtest/gtest.h>

#include "LayersDataMovement.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "test_util.h"

using namespace dm_test;
using opt_test::Kernel;
using opt_test::SameStorage;

namespace {

// out[c] == in[c with c[i] moved to dimension perm[i]], for every c.
::testing::AssertionResult Transposed(const Tensor* out, const Tensor* in, const Dims& perm)
{
    std::string bad;
    ForEachCoord(DimsOf(out), [&](const Dims& c) {
        Dims ic(c.size());
        for (size_t i = 0; i < c.size(); ++i) ic[perm[i]] = c[i];
        if (bad.empty() && Raw(out, c) != Raw(in, ic)) bad = "at " + DimsText(c);
    });
    if (!bad.empty()) return ::testing::AssertionFailure() << bad;
    return ::testing::AssertionSuccess();
}

Dims Permuted(const Dims& dims, const Dims& perm)
{
    Dims out(dims.size());
    for (size_t i = 0; i < dims.size(); ++i) out[i] = dims[perm[i]];
    return out;
}

// Runs the engine and the reference into identically prefilled outputs and
// compares the whole storage, holes included.
void ExpectLikeReference(const Tensor* in, const Dims& perm, uint32_t padOut)
{
    const Dims outDims = Permuted(DimsOf(in), perm);
    TensorPtr opt = MakeTensor((DataType)in->dtype, outDims, padOut);
    TensorPtr ref = MakeTensor((DataType)in->dtype, outDims, padOut);
    opt_test::FillStorage(opt.get(), 0x5A);
    opt_test::FillStorage(ref.get(), 0x5A);
    ASSERT_EQ(Transpose_opt(0, 1, in, opt.get(), perm.data()), nullptr);
    Transpose_ref(ref.get(), in, perm.data());
    EXPECT_TRUE(SameStorage(opt.get(), ref.get())) << DimsText(DimsOf(in)) << " perm " << DimsText(perm);
    EXPECT_TRUE(Transposed(opt.get(), in, perm));
}

TEST(TransposeOpt, RandomPermutationsMatchTheReference)
{
    std::mt19937 rng(16);
    for (int iter = 0; iter < 400; ++iter) {
        const uint32_t rank = 1 + rng() % 6;
        const Dims dims = RandomDims(rng, rank, 9, 3000);
        const Dims perm = opt_test::RandomPermutation(rng, rank);
        TensorPtr in = MakeTensor(opt_test::RandomType(rng), dims, rng() % 3);
        FillRandom(in.get(), rng);
        ExpectLikeReference(in.get(), perm, rng() % 3);
        if (HasFailure()) return;
    }
}

TEST(TransposeOpt, LargeTransposesGoThroughPartialTilesAndAnyPhase)
{
    std::mt19937 rng(7);
    // Extents that leave partial tiles; views that start at odd elements so
    // the rows have every offset within 16 bytes.
    for (DataType dt : {DT_FLOAT32, DT_FLOAT16, DT_UINT8}) {
        for (uint32_t skip : {0u, 1u, 3u}) {
            TensorPtr store = MakeTensor(dt, {140 * 83 + 8});
            FillRandom(store.get(), rng);
            const Tensor in2 = opt_test::View(store.get(), {130, 77}, {83, 1}, skip);
            ExpectLikeReference(&in2, {1, 0}, skip);
            const Tensor in3 = opt_test::View(store.get(), {5, 70, 33}, {70 * 33, 33, 1}, skip);
            for (const Dims& perm : {Dims{0, 2, 1}, Dims{2, 1, 0}, Dims{1, 2, 0}, Dims{2, 0, 1}})
                ExpectLikeReference(&in3, perm, skip);
        }
    }
}

TEST(TransposeOpt, ViewsWithoutContiguousRowsScalarsAndEmptyTensors)
{
    const uint32_t id[1] = {0};
    // Neither view contiguous anywhere: element by element.
    TensorPtr wide = MakeTensor(DT_INT32, {200});
    FillIota(wide.get());
    const Tensor sparse = opt_test::View(wide.get(), {7, 9}, {20, 2}, 1);
    TensorPtr gap = MakeTensor(DT_INT32, {300});
    Tensor gapped = opt_test::View(gap.get(), {9, 7}, {3, 27}, 0);
    const uint32_t swap[2] = {1, 0};
    ASSERT_EQ(Transpose_opt(0, 1, &sparse, &gapped, swap), nullptr);
    EXPECT_TRUE(Transposed(&gapped, &sparse, {1, 0}));

    // Scalars and empty tensors.
    TensorPtr s1 = MakeTensor(DT_FLOAT32, {}), s2 = MakeTensor(DT_FLOAT32, {});
    *(float*)s1->data = 2.5f;
    ASSERT_EQ(Transpose_opt(0, 1, s1.get(), s2.get(), id), nullptr);
    EXPECT_EQ(*(float*)s2->data, 2.5f);
    TensorPtr e1 = MakeTensor(DT_FLOAT32, {3, 0}), e2 = MakeTensor(DT_FLOAT32, {0, 3});
    EXPECT_EQ(Transpose_opt(0, 1, e1.get(), e2.get(), swap), nullptr);
}

TEST(TransposeOpt, ChecksReturnTheirReasons)
{
    auto T = [](DataType dt, const Dims& d) {
        return TensorPtr(CreateTensor(dt, DL_NONE, (uint32_t)d.size(), ToShape(d), false));
    };
    TensorPtr in = T(DT_FLOAT32, {2, 3, 4}), out = T(DT_FLOAT32, {4, 2, 3});
    const uint32_t perm[3] = {2, 0, 1};
    // The check needs no data.
    EXPECT_EQ(Transpose_opt(-1, 1, in.get(), out.get(), perm), nullptr);
    auto reason = [&](const Tensor* a, Tensor* b, const uint32_t* p) {
        const char* r = Transpose_opt(-1, 1, a, b, p);
        return std::string(r ? r : "accepted");
    };
    TensorPtr half = T(DT_FLOAT16, {4, 2, 3}), flat = T(DT_FLOAT32, {24}), wrong = T(DT_FLOAT32, {4, 3, 2});
    const uint32_t dup[3] = {2, 0, 0}, big[3] = {3, 0, 1};
    EXPECT_EQ(reason(in.get(), half.get(), perm), "in->dtype != out->dtype");
    EXPECT_EQ(reason(in.get(), flat.get(), perm), "in->ndim != out->ndim");
    EXPECT_EQ(reason(in.get(), out.get(), dup), "permutation is not a permutation of the dimensions");
    EXPECT_EQ(reason(in.get(), out.get(), big), "permutation is not a permutation of the dimensions");
    EXPECT_EQ(reason(in.get(), wrong.get(), perm), "out->shape[i] != in->shape[permutation[i]]");
    EXPECT_EQ(reason(nullptr, out.get(), perm), "in is NULL");
    EXPECT_EQ(reason(in.get(), out.get(), nullptr), "permutation is NULL");
    // Executing also needs the data, and writes nothing on a refusal.
    EXPECT_STREQ(Transpose_opt(0, 1, in.get(), out.get(), perm), "in->data is NULL");
}

TEST(TransposeOpt, KernelSetAccountsBytesAndExecutes)
{
    EXPECT_EQ(nn_kernel_fn_list[kfname_Transpose_opt]->execute, Execute_Transpose_opt);
    std::mt19937 rng(5);
    TensorPtr in = MakeTensor(DT_FLOAT16, {2, 3, 5});
    FillRandom(in.get(), rng);
    TensorPtr out = MakeTensor(DT_FLOAT16, {5, 2, 3}, 2);
    TransposeParams params = {{2, 0, 1, 0, 0, 0}};
    Kernel k({in.get()}, {out.get()}, &params);
    k.k.bytesSize[0] = 99;
    Init_Transpose_opt(k.get());
    EXPECT_EQ(k.k.totalBytes, 30u * 2 * 2);
    EXPECT_EQ(k.k.bytesSize[4], 30u * 2 * 2);
    EXPECT_EQ(k.k.bytesSize[0], 0u);
    Execute_Transpose_opt(k.get());
    EXPECT_TRUE(Transposed(out.get(), in.get(), {2, 0, 1}));
}

TEST(TransposeOpt, ExecutionFailuresAreFatal)
{
    TensorPtr in = MakeTensor(DT_FLOAT32, {2, 3}), out = MakeTensor(DT_INT32, {3, 2});
    TransposeParams params = {{1, 0, 0, 0, 0, 0}};
    Kernel k({in.get()}, {out.get()}, &params);
    corvus_test::ExpectFatal("Transpose_opt", {
        {[] { Execute_Transpose_opt(nullptr); }, "kernel pointer is null"},
        {[] { Init_Transpose_opt(nullptr); }, "kernel pointer is null"},
        {[&] { Execute_Transpose_opt(k.get()); }, "Transpose_opt error: in->dtype != out->dtype"},
    });
}

}  // namespace
