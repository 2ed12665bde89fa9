// Every optimised kernel against its reference (or a naive window walk) on
// random shapes, types, parameters and padded strides, and the selector's
// pick on the same records; one table row per kernel of nn_kernel_names.def
// (DataMovement_opt_test.cpp has the data-movement rows). To add a kernel: a
// row whose generator builds its record's inputs, parameters and outputs and
// says how the reference computes.

#include <limits>

#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "LayersDataMovement.h"
#include "LayersNormalization.h"
#include "broadcast_util.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "pooling_util.h"

using dm_test::Dims;
using dm_test::MakeTensor;
using opt_test::Kernel;
using opt_test::OptKernelCase;
using opt_test::OptMatchesRef;
using opt_test::OptRun;
using opt_test::Outs;

namespace {

// Random contents plus the values clamps treat apart: signed zeros,
// infinities, NaNs, values around 6. NaNs go to one operand only: with a NaN
// on both sides the hardware picks one by operand order.
void Fill(Tensor* t, std::mt19937& rng, bool nans = true)
{
    dm_test::FillRandom(t, rng);
    if (t->dtype != DT_FLOAT32 && t->dtype != DT_FLOAT16) return;
    const float odd[] = {0.0f, -0.0f, 6.0f, 5.999f, 6.001f, -1e-30f, INFINITY, -INFINITY, NAN, -NAN};
    dm_test::ForEachIndex(dm_test::DimsOf(t), [&](const Dims& c) {
        if (rng() % 4 != 0) return;
        const float f = odd[rng() % (nans ? 10 : 8)];
        if (t->dtype == DT_FLOAT32)
            dm_test::Set<float>(t, c, f);
        else
            dm_test::Set<uint16_t>(t, c, corvus_test::Half(f));
    });
}

template <int op> OptRun BroadcastRun(std::mt19937& rng, int i)
{
    using RefFn = void (*)(Tensor*, const Tensor*, const Tensor*, const BroadcastParams*);
    static const RefFn refs[] = {AddBroadcast_ref, SubBroadcast_ref, MulBroadcast_ref, DivBroadcast_ref};
    static const uint32_t acts[] = {None, ReLU, ReLU6, Linear};
    static const auto pairs = bcast_test::AllPairings(3);
    // Blocks longer than a tile, many short rows, the per-channel pattern.
    static const std::pair<Dims, Dims> large[] = {
        {{3, 5000}, {3, 1}}, {{9000}, {1}}, {{4, 777, 3}, {777, 1}}, {{2, 700, 64}, {64}}, {{1, 112, 112, 64}, {64}}};
    Dims da, db;
    if (i < 5) {
        std::tie(da, db) = large[i];
    } else if (i % 3 != 0) {
        std::tie(da, db) = pairs[rng() % pairs.size()];
    } else {
        const uint32_t rank = 1 + rng() % 6;
        da = dm_test::RandomDims(rng, rank, 5, 2000);
        db.assign(da.begin() + rng() % rank, da.end());
        for (uint32_t& d : da) d = rng() % 3 == 0 ? 1 : d;
        for (uint32_t& d : db) d = rng() % 3 == 0 ? 1 : d;
        if (rng() % 2) std::swap(da, db);
    }
    const DataType dt = (DataType)(rng() % 4);
    const uint32_t pad = rng() % 8;
    OptRun r;
    const BroadcastParams* p = r.Hold(BroadcastParams{acts[rng() % 4], 0});
    r.params = (void*)p;
    r.Out(dt, bcast_test::BroadcastDims(da, db), pad >> 2 & 1);
    Tensor *a = r.In(MakeTensor(dt, da, pad & 1)), *b = r.In(MakeTensor(dt, db, pad >> 1 & 1));
    Fill(a, rng);
    Fill(b, rng, false);
    r.ref = [=](Outs o) { refs[op](o[0], a, b, p); };
    r.what = dm_test::DimsText(da) + dm_test::DimsText(db) + " type " + std::to_string(dt) + " act " +
             std::to_string(p->aName);
    return r;
}

OptRun ExpandRun(std::mt19937& rng, int)
{
    const uint32_t rank = 1 + rng() % 6;
    const Dims od = dm_test::RandomDims(rng, rank, 5, 2000);
    Dims id(od.begin() + rng() % rank, od.end());
    for (uint32_t& d : id) d = rng() % 2 ? 1 : d;
    const DataType dt = opt_test::RandomType(rng);  // one-byte elements too
    OptRun r;
    r.Out(dt, od, rng() % 2);
    Tensor* in = r.In(MakeTensor(dt, id, rng() % 2));
    Fill(in, rng);
    r.ref = [=](Outs o) { Expand_ref(o[0], in); };
    r.what = dm_test::DimsText(id) + " -> " + dm_test::DimsText(od);
    return r;
}

// One-dimensional pooling over {N, L, C}; the first draws tile lines wider
// than the scratch block and axes longer than one band. Max has no
// reference kernel: its reference is the naive window.
template <bool isMax> OptRun Pool1DRun(std::mt19937& rng, int i)
{
    static const uint32_t big[][4] = {{3, 70000, 2, 1}, {5000, 8, 9, 3}};  // L, C, k, s
    uint32_t N = 1 + rng() % 3, L = 1 + rng() % 20, C = 1 + rng() % 40, k = 1 + rng() % 5, s = 1 + rng() % 4;
    if (i < 2) N = 1, L = big[i][0], C = big[i][1], k = big[i][2], s = big[i][3];
    const uint32_t pb = rng() % k, pe = rng() % k, mode = rng() % 2;
    if (L + pb + pe < k) return {};
    // Sometimes more outputs than windows reach: those lie past the input.
    const uint32_t oL = (L + pb + pe - k) / s + 1 + (i % 4 == 3 ? 2 : 0), pad = rng() % 2 ? 3 : 0;
    OptRun r;
    r.Out(DT_FLOAT32, {N, oL, C}, pad);
    Tensor* in = r.In(MakeTensor(DT_FLOAT32, {N, L, C}, pad));
    dm_test::FillRandom(in, rng);
    const Pool1DParams* p = r.Hold(Pool1DParams{k, s, pb, pe, 0, mode});
    r.params = (void*)p;
    if (isMax) {
        r.ref = [=](Outs o) {
            dm_test::ForEachIndex({N, oL, C}, [&](const Dims& c) {
                pooling_test::At(o[0], {c[0], c[1], c[2]}) =
                    pooling_test::NaiveWindow1D(true, in, *p, c[0], c[1], c[2]);
            });
        };
    } else {
        r.ref = [=](Outs o) { AveragePooling1D_fl32_ref(o[0], in, p); };
    }
    r.what = dm_test::DimsText({L, k, s, pb, pe, mode}) + " (L, k, s, pads, mode)";
    return r;
}

// Two-dimensional pooling; averages within float32 summation-order rounding.
template <bool isMax> OptRun Pool2DRun(std::mt19937& rng, int)
{
    // Sometimes 30-70 channels: whole runs of 64 and 32 besides the shorter runs and single channels.
    const uint32_t N = 1 + rng() % 2, H = 1 + rng() % 11, W = 1 + rng() % 11,
                   C = rng() % 4 ? 1 + rng() % 9 : 30 + rng() % 41;
    const uint32_t kh = 1 + rng() % 6, kw = 1 + rng() % 6, sh = 1 + rng() % 3, sw = 1 + rng() % 3;
    const uint32_t pt = rng() % kh, pb = rng() % kh, pl = rng() % kw, pr = rng() % kw, mode = rng() % 2;
    if (H + pt + pb < kh || W + pl + pr < kw) return {};
    const uint32_t pad = rng() % 3 == 0 ? 2 : 0;
    OptRun r;
    r.Out(DT_FLOAT32, {N, (H + pt + pb - kh) / sh + 1, (W + pl + pr - kw) / sw + 1, C}, pad, DL_NHWC);
    Tensor* in = r.In(MakeTensor(DT_FLOAT32, {N, H, W, C}, pad, DL_NHWC));
    dm_test::FillRandom(in, rng);
    if (rng() % 2) dm_test::Set<float>(in, {0, 0, 0, 0}, -1e30f);  // a negative window: the pads decide
    const Pool2DParams* p = r.Hold(pooling_test::Params2D(kh, kw, sh, sw, pt, pl, pb, pr, mode));
    r.params = (void*)p;
    r.ref = [=](Outs o) { (isMax ? MaxPool2D_fl32_ref : AveragePool2D_fl32_ref)(o[0], in, p); };
    r.rel = isMax ? 0.0f : 2e-6f;
    r.what = dm_test::DimsText({H, W, C, kh, kw, sh, sw, pt, pl, pb, pr, mode}) + " (HWC, k, s, pads, mode)";
    return r;
}

// Global average: the averaging window over the whole image, dense and
// padded; sometimes more channels than one run of sums holds.
OptRun GlobalAvgRun(std::mt19937& rng, int i)
{
    const bool keep = i % 2;
    const Dims in = {uint32_t(1 + rng() % 3), uint32_t(1 + rng() % 9), uint32_t(1 + rng() % 9),
                     uint32_t(1 + rng() % (i % 4 == 3 ? 1100 : 75))};
    OptRun r;
    r.Out(DT_FLOAT32, keep ? Dims{in[0], 1, 1, in[3]} : Dims{in[0], in[3]}, 0, keep ? DL_NHWC : DL_NC);
    Tensor* x = r.In(MakeTensor(DT_FLOAT32, in, i % 3 ? 0 : 5, DL_NHWC));
    Fill(x, rng, false);
    r.params = r.Hold(GlobalAvPool2DParams{DL_NHWC, keep});
    const Pool2DParams* p = r.Hold(pooling_test::Params2D(in[1], in[2], 1, 1, 0, 0, 0, 0, 0));
    r.ref = [=](Outs o) {
        Tensor v = *o[0];
        v.ndim = 4;
        v.layout = DL_NHWC;
        v.shape.dimension[1] = v.shape.dimension[2] = 1;
        v.shape.dimension[3] = in[3];
        v.stride.dimension[1] = v.stride.dimension[2] = in[3];
        v.stride.dimension[3] = 1;
        AveragePool2D_fl32_ref(&v, x, p);
    };
    r.what = dm_test::DimsText(in);
    return r;
}

// Layer normalisation: rows of the last dimension (the scratch path; the
// first draw spans several bands) and several axes or a 2-D scale (general).
OptRun LayerNormRun(std::mt19937& rng, int i)
{
    const DataType t = i % 2 ? DT_FLOAT16 : DT_FLOAT32;
    const Dims d = i == 0 ? Dims{3, 60000} : dm_test::RandomDims(rng, 1 + rng() % 4, 9);
    const uint32_t axis = i % 3 == 0 ? rng() % d.size() : (uint32_t)d.size() - 1;
    Dims gd(d.begin() + axis, d.end());
    if (i % 5 == 4) gd.insert(gd.begin(), 1);
    OptRun r;
    r.Out(t, d);
    Tensor *in = r.In(MakeTensor(t, d, i % 4 == 1 ? 2 : 0)), *g = r.In(MakeTensor(t, gd), true),
           *b = r.In(MakeTensor(t, gd), true);
    for (auto& x : r.keep) dm_test::FillRandom(x.get(), rng);
    NormalizationParams* p = r.Hold(NormalizationParams{});
    p->axis = axis;
    p->epsilon = 1e-3f;
    r.params = p;
    r.ref = [=](Outs o) { Execute_LayerNorm_ref(Kernel({in}, {o[0]}, p, {g, b})); };
    r.what = dm_test::DimsText(d) + " axis " + std::to_string(axis);
    return r;
}

// PRelu slopes: trailing dimensions of the input, some of them 1.
OptRun PReluRun(std::mt19937& rng, int i)
{
    const DataType t = i % 2 ? DT_FLOAT16 : DT_FLOAT32;
    const Dims d = dm_test::RandomDims(rng, 1 + rng() % 4, 7);
    Dims sd(d.begin() + rng() % d.size(), d.end());
    for (uint32_t& x : sd) x = rng() % 3 == 0 ? 1 : x;
    const uint32_t pad = rng() % 2 ? 2 : 0;
    OptRun r;
    r.Out(t, d, pad);
    Tensor *in = r.In(MakeTensor(t, d, pad)), *s = r.In(MakeTensor(t, sd), true);
    for (auto& x : r.keep) Fill(x.get(), rng, false);
    r.ref = [=](Outs o) { Execute_PRelu_ref(Kernel({in}, {o[0]}, nullptr, {s})); };
    r.what = dm_test::DimsText(d) + " slopes " + dm_test::DimsText(sd);
    return r;
}

// Selection never picks AvgPool1D_opt nor LayerNorm_opt: their operations get the reference kernel.
const OptKernelCase kOptKernels[] = {
    // clang-format off
    {kfname_AddBroadcast_opt, kfname_AddBroadcast_ref, OP_AddBroadcast, true, 750, BroadcastRun<0>},
    {kfname_SubBroadcast_opt, kfname_SubBroadcast_ref, OP_SubBroadcast, true, 750, BroadcastRun<1>},
    {kfname_MulBroadcast_opt, kfname_MulBroadcast_ref, OP_MulBroadcast, true, 750, BroadcastRun<2>},
    {kfname_DivBroadcast_opt, kfname_DivBroadcast_ref, OP_DivBroadcast, true, 750, BroadcastRun<3>},
    {kfname_Expand_opt, kfname_Expand_ref, OP_Expand, true, 300, ExpandRun},
    {kfname_MaxPool1D_opt, kfname_TOTAL, OP_MaxPool1D, true, 200, Pool1DRun<true>},
    {kfname_AvgPool1D_opt, kfname_AveragePool1D_fl32_ref, OP_AveragePool1D, false, 200, Pool1DRun<false>},
    {kfname_MaxPool2D_opt, kfname_MaxPool2D_fl32_ref, OP_MaxPool2D, true, 300, Pool2DRun<true>},
    {kfname_AvgPool2D_opt, kfname_AveragePool2D_fl32_ref, OP_AveragePool2D, true, 300, Pool2DRun<false>},
    {kfname_GlobalAvgPool2D_opt, kfname_GlobalAveragePool2D_ref, OP_GlobalAveragePool2D, true, 60, GlobalAvgRun},
    {kfname_LayerNorm_opt, kfname_LayerNorm_ref, OP_LayerNorm, false, 40, LayerNormRun},
    {kfname_PRelu_opt, kfname_PRelu_ref, OP_PRelu, true, 60, PReluRun},
    // clang-format on
};

}  // namespace

TEST_P(OptMatchesRef, OnRandomShapes) { opt_test::ExpectOptEqualsRef(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Kernels, OptMatchesRef, ::testing::ValuesIn(opt_test::Table(kOptKernels)),
                         opt_test::ParamName);
