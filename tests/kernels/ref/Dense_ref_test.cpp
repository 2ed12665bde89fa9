// Dense, Linear and MatMul reference kernels against the naive batched
// product of broadcast_util.h (half precision in HalfPrecision_ref_test).

#include "LayersDense.h"
#include "broadcast_util.h"
#include "opt_util.h"
#include "conv_util.h"

using bcast_test::NaiveMatmul;
using conv_test::At;
using conv_test::F32;
using conv_test::Make;
using conv_test::SameBits;
using corvus_test::Fatal;
using corvus_test::Pick;

namespace {

Tensor* Plain(std::vector<uint32_t> dims, DataType dtype, std::mt19937* rng = nullptr)
{
    if (dtype == DT_FLOAT32) return Make(DL_NONE, dims, rng);
    Tensor* t = corvus_test::NewTensor(dtype, dims).release();
    for (uint32_t e = 0; rng != nullptr && e < GetTensorSize(t); ++e) ((int32_t*)t->data)[e] = (int32_t)(*rng)();
    return t;
}

}  // namespace

TEST(DenseRef, MatmulWithBatchBroadcastingAndDenseMatchNaive)
{
    std::mt19937 rng(31);
    for (int trial = 0; trial < 200; ++trial) {
        const DataType dtype = trial % 3 == 2 ? DT_INT32 : DT_FLOAT32;
        const uint32_t M = Pick(rng, 1, 11), K = Pick(rng, 0, 40), N = Pick(rng, 1, 40);
        std::vector<uint32_t> da, db, dout;
        for (uint32_t s = Pick(rng, 0, 3); s > 0; --s) {
            const uint32_t e = Pick(rng, 1, 3), which = Pick(rng, 0, 2);  // both, A broadcast, B broadcast
            da.push_back(which == 1 ? 1 : e);
            db.push_back(which == 2 ? 1 : e);
            dout.push_back(e);
        }
        if (!db.empty() && Pick(rng, 0, 1) == 1) db.erase(db.begin());  // B of lower rank
        da.insert(da.end(), {M, K}), db.insert(db.end(), {K, N}), dout.insert(dout.end(), {M, N});
        Tensor *A = Plain(da, dtype, &rng), *B = Plain(db, dtype, &rng), *out = Plain(dout, dtype);
        Matmul_ref(A, B, out);
        if (dtype == DT_FLOAT32) {
            const std::vector<float> want = NaiveMatmul<float>(A, B, out);
            for (size_t e = 0; e < want.size(); ++e)
                ASSERT_TRUE(SameBits(want[e], F32(out)[e])) << trial << " at " << e;
        } else {
            ASSERT_EQ(NaiveMatmul<int32_t>(A, B, out),
                      std::vector<int32_t>((int32_t*)out->data, (int32_t*)out->data + GetTensorSize(out)));
        }
        for (Tensor* t : {A, B, out}) DestroyTensor(t);
    }
    // Dense: fused multiply-adds over k in order from 0, then the bias, then the activation.
    for (int trial = 0; trial < 200; ++trial) {
        // The first draw: one row wider than the chunk of sums a pass over the weights keeps.
        const uint32_t N = trial == 0 ? 1 : Pick(rng, 1, 9), K = Pick(rng, 0, 70);
        const uint32_t U = trial == 0 ? 2100 : Pick(rng, 1, 70), gap = Pick(rng, 0, 1) * 5;
        const uint32_t kind = conv_test::kFusedKinds[Pick(rng, 0, 4)];
        const bool useBias = Pick(rng, 0, 1) == 1;
        Tensor *in = Make(DL_NC, {N, K}, &rng, gap), *w = Make(DL_CN, {K, U}, &rng, gap);
        Tensor *bias = useBias ? Make(DL_I, {U}, &rng) : nullptr, *out = Make(DL_NC, {N, U}, nullptr, gap);
        DenseParams p = {useBias ? 1u : 0u, kind};
        Dense_fl32_ref(in, w, bias, out, &p);
        const std::vector<float> product = NaiveMatmul<float>(in, w, out);
        for (uint32_t e = 0; e < N * U; ++e) {
            const float want = conv_test::Activate(product[e] + (bias ? F32(bias)[e % U] : 0.0f), kind, 0.0f);
            ASSERT_TRUE(SameBits(want, At(out, {e / U, e % U})))
                << "trial " << trial << " N K U " << N << " " << K << " " << U;
        }
        for (Tensor* t : {in, w, bias, out}) DestroyTensor(t);
    }
}

TEST(DenseRef, HandValuesEmptyBiasSlotAndBadShapes)
{
    Tensor *in = conv_test::Filled({1, 3}, {1, 2, 3}), *w = conv_test::Filled({3, 2}, {1, 0, 0, 1, 1, 1});
    Tensor *bias = conv_test::Filled({2}, {0.5f, -10}), *out = Make(DL_NC, {1, 2}, nullptr);
    DenseParams p = {1, ReLU}, noBias = {0, None};
    Dense_fl32_ref(in, w, bias, out, &p);
    EXPECT_EQ(F32(out)[0], 4.5f);
    EXPECT_TRUE(SameBits(-0.0f, F32(out)[1]));  // ReLU of -5
    // An empty bias slot adds nothing.
    Tensor* weightsOnly[2] = {w, nullptr};
    opt_test::Kernel k({in}, {out}, &noBias);
    k.k.inner = weightsOnly, k.k.innerNum = 2;
    Execute_Dense_ref(k.get());
    EXPECT_EQ(std::vector<float>(F32(out), F32(out) + 2), (std::vector<float>{4.0f, 5.0f}));
    // MatMul of int32 wraps: 2^30 * 4 + 3 * (2^31 - 1) = 0x7FFFFFFD modulo 2^32.
    Tensor* ia = corvus_test::Holding<int32_t>(DT_INT32, {1, 2}, {0x40000000, 3});
    Tensor *ib = corvus_test::Holding<int32_t>(DT_INT32, {2, 1}, {4, 0x7FFFFFFF}), *io = Plain({1, 1}, DT_INT32);
    Matmul_ref(ia, ib, io);
    EXPECT_EQ(((int32_t*)io->data)[0], 0x7FFFFFFD);

    Tensor *wrongW = Make(DL_CN, {9, 2}, nullptr), *a3 = Plain({2, 1, 3}, DT_FLOAT32),
           *o4 = Plain({2, 1, 4}, DT_FLOAT32);
    corvus_test::ExpectExitRe(
        {{[&] { Dense_fl32_ref(in, wrongW, nullptr, out, &p); },
          Fatal("Dense_ref", "Dense_fl32_ref: shapes do not agree: input (1, 3), weights (9, 2), output (1, 2)")},
         {[&] {
              Matmul_ref(a3, Plain({4, 4}, DT_FLOAT32), o4);
          },
          Fatal("Matmul_ref", "Function Matmul: shapes (2, 1, 3) x (4, 4) do not give (2, 1, 4)")}});
    for (Tensor* t : {in, w, bias, out, ia, ib, io, wrongW, a3, o4}) DestroyTensor(t);
}

TEST(LinearRef, ScaleAndOffsetPerChannelWithFusedActivation)
{
    // One fused multiply-add per element.
    std::mt19937 rng(12);
    for (uint32_t kind : {None, ReLU, ReLU6}) {
        Tensor *in = Make(DL_NHWC, {2, 3, 4, 5}, &rng, 2), *out = Make(DL_NHWC, {2, 3, 4, 5}, nullptr, 2);
        Tensor *scale = Make(DL_I, {5}, &rng), *offset = Make(DL_I, {5}, &rng);
        for (uint32_t c = 0; c < 5; ++c) F32(scale)[c] *= 8.0f;
        LinearParams p = {kind};
        Execute_Linear_fl32_ref(opt_test::Kernel({in}, {out}, &p, {scale, offset}).get());
        corvus_test::ForEachIndex({2, 3, 4, 5}, [&](const std::vector<uint32_t>& i) {
            const float y = fmaf(At(in, {i[0], i[1], i[2], i[3]}), F32(scale)[i[3]], F32(offset)[i[3]]);
            ASSERT_TRUE(SameBits(conv_test::Activate(y, kind, 0), At(out, {i[0], i[1], i[2], i[3]})));
        });
        for (Tensor* t : {in, out, scale, offset}) DestroyTensor(t);
    }
}
