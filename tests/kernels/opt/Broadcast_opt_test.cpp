// Broadcast arithmetic and Expand: bit-for-bit against the reference
// kernels over every broadcast pattern, element type, fused activation and
// padded strides; tiling of large blocks; the engine's checks and the
// wrappers' messages; selection and a hand-built model.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "LayersBroadcast.h"
#include "LayersDataMovement.h"
#include "Model.h"
#include "NNKernelFnSelector.h"
#include "broadcast_util.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "test_util.h"

using dm_test::Dims;
using dm_test::MakeTensor;
using dm_test::TensorPtr;
using opt_test::Kernel;
using opt_test::SameStorage;

namespace {

using RefFn = void (*)(Tensor*, const Tensor*, const Tensor*, const BroadcastParams*);
using OptFn = void (*)(uint32_t, Tensor*, const Tensor*, const Tensor*, const BroadcastParams*);
struct Op {
    const char* name;
    RefFn ref;
    OptFn opt;
};
const Op kOps[] = {{"Add", AddBroadcast_ref, AddBroadcast_opt},
                   {"Sub", SubBroadcast_ref, SubBroadcast_opt},
                   {"Mul", MulBroadcast_ref, MulBroadcast_opt},
                   {"Div", DivBroadcast_ref, DivBroadcast_opt}};
const uint32_t kActs[] = {None, ReLU, ReLU6, Linear};

// Random contents with the values clamps and arithmetic treat apart:
// signed zeros, infinities, NaNs of both signs, values around 6. Only one
// operand of a pair gets NaNs: with a NaN on both sides the hardware picks
// one by operand order (which the compiler may swap, and x86 and Arm
// differ), and a clamp then turns that choice into 0 or the limit.
void Fill(Tensor* t, std::mt19937& rng, bool nans = true)
{
    dm_test::FillRandom(t, rng);
    if (t->dtype != DT_FLOAT32 && t->dtype != DT_FLOAT16) return;
    const float unusual[] = {0.0f, -0.0f, 6.0f, 5.999f, 6.001f, -1e-30f, std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), std::nanf(""), -std::nanf("")};
    dm_test::ForEachCoord(dm_test::DimsOf(t), [&](const Dims& c) {
        if (rng() % 4 != 0) return;
        const float f = unusual[rng() % (nans ? 10 : 8)];
        if (t->dtype == DT_FLOAT32)
            dm_test::Set<float>(t, c, f);
        else
            dm_test::Set<uint16_t>(t, c, bcast_test::Half(f));
    });
}

// Runs op through the reference and the optimised kernel into identically
// prefilled outputs of the broadcast shape and compares all storage bytes.
void ExpectLikeReference(const Op& op, DataType dt, const Dims& da, const Dims& db, uint32_t aName, uint32_t pad,
                         std::mt19937& rng)
{
    TensorPtr a = MakeTensor(dt, da, pad & 1), b = MakeTensor(dt, db, (pad >> 1) & 1);
    Fill(a.get(), rng);
    Fill(b.get(), rng, false);
    const Dims od = bcast_test::BroadcastDims(da, db);
    TensorPtr opt = MakeTensor(dt, od, (pad >> 2) & 1), ref = MakeTensor(dt, od, (pad >> 2) & 1);
    opt_test::FillStorage(opt.get(), 0x5C);
    opt_test::FillStorage(ref.get(), 0x5C);
    const BroadcastParams params = {aName, 0};
    op.ref(ref.get(), a.get(), b.get(), &params);
    op.opt(1, opt.get(), a.get(), b.get(), &params);
    EXPECT_TRUE(SameStorage(opt.get(), ref.get()))
        << op.name << " dtype " << dt << " aName " << aName << " pad " << pad << " " << dm_test::DimsText(da)
        << " with " << dm_test::DimsText(db);
}

TEST(BroadcastOpt, EveryPatternTypeAndActivationMatchesTheReference)
{
    std::mt19937 rng(1);
    for (const auto& pair : bcast_test::AllPairings(3))
        for (const Op& op : kOps)
            for (DataType dt : {DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_UINT32})
                for (uint32_t act : kActs) {
                    ExpectLikeReference(op, dt, pair.first, pair.second, act, rng() % 8, rng);
                    if (HasFailure()) return;
                }
}

TEST(BroadcastOpt, RandomHigherRankShapesMatchTheReference)
{
    std::mt19937 rng(6);
    for (int iter = 0; iter < 300; ++iter) {
        const uint32_t rank = 1 + rng() % 6;
        const Dims full = dm_test::RandomDims(rng, rank, 5, 2000);
        Dims da = full, db(full.begin() + rng() % rank, full.end());
        for (uint32_t& d : da) d = rng() % 3 == 0 ? 1 : d;
        for (uint32_t& d : db) d = rng() % 3 == 0 ? 1 : d;
        if (rng() % 2) std::swap(da, db);
        const Op& op = kOps[rng() % 4];
        const DataType dt = (DataType)(rng() % 4);
        ExpectLikeReference(op, dt, da, db, kActs[rng() % 4], rng() % 8, rng);
        if (HasFailure()) return;
    }
}

TEST(BroadcastOpt, LargeBlocksAreClampedTileByTile)
{
    std::mt19937 rng(12);
    // Runs longer than a tile, many short rows, and the per-channel pattern.
    ExpectLikeReference(kOps[0], DT_FLOAT32, {3, 5000}, {3, 1}, ReLU, 0, rng);
    ExpectLikeReference(kOps[1], DT_FLOAT16, {9000}, {1}, ReLU6, 0, rng);
    ExpectLikeReference(kOps[2], DT_INT32, {4, 777, 3}, {777, 1}, ReLU6, 0, rng);
    ExpectLikeReference(kOps[3], DT_FLOAT32, {2, 700, 64}, {64}, ReLU, 5, rng);
    ExpectLikeReference(kOps[0], DT_FLOAT32, {1, 112, 112, 64}, {64}, ReLU6, 0, rng);
}

TEST(BroadcastOpt, ChannelVectorPlusFeatureMapWithReLU)
{
    // [1,1,1,4] + [2,3,5,4] with fused ReLU: max(0, a + b) per element.
    std::mt19937 rng(8);
    TensorPtr a = MakeTensor(DT_FLOAT32, {1, 1, 1, 4}), b = MakeTensor(DT_FLOAT32, {2, 3, 5, 4});
    dm_test::FillRandom(a.get(), rng);
    dm_test::FillRandom(b.get(), rng);
    TensorPtr out = MakeTensor(DT_FLOAT32, {2, 3, 5, 4});
    const BroadcastParams params = {ReLU, 0};
    AddBroadcast_opt(1, out.get(), a.get(), b.get(), &params);
    dm_test::ForEachCoord({2, 3, 5, 4}, [&](const Dims& c) {
        const float sum = dm_test::At<float>(a.get(), {0, 0, 0, c[3]}) + dm_test::At<float>(b.get(), c);
        EXPECT_EQ(dm_test::At<float>(out.get(), c), sum < 0 ? 0.0f : sum);
    });
    ExpectLikeReference(kOps[0], DT_FLOAT32, {1, 1, 1, 4}, {2, 3, 5, 4}, ReLU, 0, rng);
}

TEST(BroadcastOpt, EngineChecksReturnTheirReasons)
{
    auto T = [](DataType dt, const Dims& d) {
        return TensorPtr(CreateTensor(dt, DL_NONE, (uint32_t)d.size(), dm_test::ToShape(d), false));
    };
    const BroadcastOpFn add[BROADCAST_TYPES_NUM] = {addrelu_f32_ref, addrelu_f16_ref, addrelu_i32_ref,
                                                    addrelu_u32_ref};
    BroadcastOptDesc desc;
    Broadcast_opt_init(&desc, add, DT_FLOAT32, None);
    EXPECT_EQ(desc.op, addrelu_f32_ref);
    EXPECT_EQ(desc.act, nullptr);
    Broadcast_opt_init(&desc, add, DT_FLOAT16, ReLU6);
    EXPECT_EQ(desc.op, addrelu_f16_ref);
    EXPECT_EQ(desc.act, relu_f16_ref);
    EXPECT_EQ(desc.actLimit, 0x4600u);  // 6.0 in half precision
    EXPECT_EQ(desc.fused, nullptr);
    Broadcast_opt_init(&desc, add, DT_FLOAT32, ReLU);
    EXPECT_EQ(desc.actLimit, 0x7F800000u);  // +infinity
    EXPECT_NE(desc.fused, nullptr);         // float32 clamps in the same pass
    Broadcast_opt_init(&desc, add, DT_FLOAT32, None);
    auto reason = [&](const Tensor* o, const Tensor* a, const Tensor* b) {
        const char* r = Broadcast_opt(-1, 1, &desc, (Tensor*)o, a, b);
        return std::string(r ? r : "accepted");
    };
    TensorPtr o = T(DT_FLOAT32, {2, 3}), a = T(DT_FLOAT32, {2, 3}), row = T(DT_FLOAT32, {3}), col = T(DT_FLOAT32, {2, 1});
    TensorPtr half = T(DT_FLOAT16, {2, 3}), i32 = T(DT_INT32, {2, 3}), two = T(DT_FLOAT32, {2, 2});
    TensorPtr empty = T(DT_FLOAT32, {2, 0}), big = T(DT_FLOAT32, {4, 3});
    EXPECT_EQ(reason(o.get(), a.get(), row.get()), "accepted");  // no data needed
    EXPECT_EQ(reason(o.get(), col.get(), row.get()), "accepted");
    EXPECT_EQ(reason(o.get(), i32.get(), row.get()), "accepted");  // element sizes agree
    EXPECT_EQ(reason(o.get(), half.get(), row.get()), "toOut != tsInA");
    EXPECT_EQ(reason(o.get(), a.get(), half.get()), "toOut != tsInB");
    EXPECT_EQ(reason(empty.get(), a.get(), row.get()), "sizeOut < 1");
    EXPECT_EQ(reason(o.get(), empty.get(), row.get()), "sizeInA < 1");
    EXPECT_EQ(reason(o.get(), a.get(), empty.get()), "sizeInB < 1");
    EXPECT_EQ(reason(o.get(), big.get(), row.get()), "sizeOut != sizeInA");
    EXPECT_EQ(reason(o.get(), a.get(), two.get()), "sizeOut != sizeInB");
    EXPECT_EQ(reason(o.get(), a.get(), big.get()), "sizeOut != sizeInB");
    // Expand has no second input.
    EXPECT_EQ(reason(o.get(), col.get(), nullptr), "accepted");

    // Executing turns a refusal into the engine's fatal report.
    TensorPtr do_ = MakeTensor(DT_FLOAT32, {2, 3}), da = MakeTensor(DT_FLOAT32, {2, 3}), db = MakeTensor(DT_FLOAT32, {2, 2});
    EXPECT_EXIT(Broadcast_opt(0, 1, &desc, do_.get(), da.get(), db.get()), ::testing::ExitedWithCode(1),
                corvus_test::Fatal("Broadcast_opt", "Broadcast_opt error: sizeOut != sizeInB"));
    const BroadcastParams none = {None, 0};
    EXPECT_EXIT(AddBroadcast_opt(1, do_.get(), db.get(), da.get(), &none), ::testing::ExitedWithCode(1),
                corvus_test::Fatal("Broadcast_opt", "Broadcast_opt error: sizeOut != sizeInA"));
}

TEST(BroadcastOpt, WrappersCheckTheirOperands)
{
    TensorPtr f = MakeTensor(DT_FLOAT32, {2, 3}), h = MakeTensor(DT_FLOAT16, {2, 3});
    TensorPtr u8 = MakeTensor(DT_UINT8, {2, 3});
    const BroadcastParams none = {None, 0}, sigmoid = {Sigmoid, 0};
    Kernel noParams({f.get(), f.get()}, {f.get()}, nullptr);
    corvus_test::ExpectFatal("Broadcast_opt", {
        {[&] { AddBroadcast_opt(1, nullptr, f.get(), f.get(), &none); }, "AddBroadcast_opt error: out is NULL"},
        {[&] { SubBroadcast_opt(1, f.get(), nullptr, f.get(), &none); }, "SubBroadcast_opt error: in1 is NULL"},
        {[&] { MulBroadcast_opt(1, f.get(), f.get(), nullptr, &none); }, "MulBroadcast_opt error: in2 is NULL"},
        {[&] { DivBroadcast_opt(1, f.get(), f.get(), h.get(), &none); },
         "DivBroadcast_opt error: input and output types is not equal"},
        {[&] { AddBroadcast_opt(1, u8.get(), u8.get(), u8.get(), &none); },
         "Broadcast_opt_init error: unsupported dType=4"},
        {[&] { AddBroadcast_opt(1, f.get(), f.get(), f.get(), &sigmoid); },
         "Broadcast_opt_init error: unsupported aName=6"},
        {[] { Execute_AddBroadcast_opt(nullptr); }, "Execute_AddBroadcast_opt error: kernel is null"},
        {[&] { Execute_DivBroadcast_opt(noParams.get()); }, "Execute_DivBroadcast_opt error: params is NULL"},
        {[&] { Expand_opt(nullptr, f.get()); }, "Expand_opt error: out is NULL"},
        {[&] { Expand_opt(f.get(), nullptr); }, "Expand_opt error: in1 is NULL"},
        {[&] { Expand_opt(f.get(), h.get()); }, "Expand_opt error: input and output types is not equal"},
        {[] { Execute_Expand_opt(nullptr); }, "Execute_Expand_opt error: kernel is null"},
    });
    // Without a parameter record the wrapper applies no activation.
    TensorPtr a = MakeTensor(DT_FLOAT32, {3}), out = MakeTensor(DT_FLOAT32, {3});
    const float va[3] = {-1.0f, 2.0f, -3.0f};
    memcpy(a->data, va, sizeof(va));
    SubBroadcast_opt(1, out.get(), a.get(), a.get(), nullptr);
    MulBroadcast_opt(1, out.get(), a.get(), a.get(), nullptr);
    EXPECT_EQ(((float*)out->data)[0], 1.0f);
    AddBroadcast_opt(1, out.get(), a.get(), a.get(), nullptr);
    EXPECT_EQ(((float*)out->data)[2], -6.0f);
}

TEST(ExpandOpt, RepeatsTheInputAlongEveryUnitDimensionLikeTheReference)
{
    std::mt19937 rng(10);
    for (int iter = 0; iter < 300; ++iter) {
        const uint32_t rank = 1 + rng() % 6;
        const Dims od = dm_test::RandomDims(rng, rank, 5, 2000);
        Dims id(od.begin() + rng() % rank, od.end());
        for (uint32_t& d : id) d = rng() % 2 ? 1 : d;
        const DataType dt = opt_test::RandomType(rng);  // one-byte elements too
        const uint32_t padOut = rng() % 2;
        TensorPtr in = MakeTensor(dt, id, rng() % 2), out = MakeTensor(dt, od, padOut);
        TensorPtr ref = MakeTensor(dt, od, padOut);
        Fill(in.get(), rng);
        opt_test::FillStorage(out.get(), 0x11);
        opt_test::FillStorage(ref.get(), 0x11);
        Expand_opt(out.get(), in.get());
        Expand_ref(ref.get(), in.get());
        ASSERT_TRUE(SameStorage(out.get(), ref.get())) << dm_test::DimsText(id) << " -> " << dm_test::DimsText(od);
        uint64_t wrong = 0;
        dm_test::ForEachCoord(od, [&](const Dims& c) {
            Dims ic(c.end() - id.size(), c.end());
            for (size_t k = 0; k < id.size(); ++k)
                if (id[k] == 1) ic[k] = 0;
            wrong += dm_test::Raw(out.get(), c) != dm_test::Raw(in.get(), ic);
        });
        ASSERT_EQ(wrong, 0u) << dm_test::DimsText(id) << " -> " << dm_test::DimsText(od);
    }
    // Through the kernel record: input 1 (the requested shape) is not read.
    TensorPtr in = MakeTensor(DT_FLOAT32, {3, 1}), shape = dm_test::Int32Tensor({3, 4}), out = MakeTensor(DT_FLOAT32, {3, 4});
    dm_test::FillIota(in.get());
    Kernel k({in.get(), shape.get()}, {out.get()}, nullptr);
    Execute_Expand_opt(k.get());
    for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(((float*)out->data)[i], (float)(i / 4)) << i;
}

TEST(BroadcastOpt, SelectedForFloat32ModelsWithAFusedActivation)
{
    for (LayerOpType op : {OP_AddBroadcast, OP_SubBroadcast, OP_MulBroadcast, OP_DivBroadcast, OP_Expand}) {
        NNKernel k = {};
        const kfname name = SelectNNKernelFn(KERNEL_TARGET_CPU, op, DT_FLOAT32, &k);
        ASSERT_NE(nn_kernel_fn_list[name], nullptr) << kernel_fn_name_string[name];
        EXPECT_NE(std::string(kernel_fn_name_string[name]).find("_opt"), std::string::npos);
    }
    std::mt19937 rng(3);
    TensorPtr da = MakeTensor(DT_FLOAT32, {2, 4, 4, 3}), db = MakeTensor(DT_FLOAT32, {3});
    dm_test::FillRandom(da.get(), rng);
    dm_test::FillRandom(db.get(), rng);
    Layer* in[2] = {AddInputLayer("a", da.get()), AddInputLayer("b", db.get())};
    Layer* sub = AddSubLayer(in, nullptr, 2, "sub");
    ((BroadcastParams*)sub->kernel->params)->aName = ReLU6;
    sub->kernel->fn = nn_kernel_fn_list[SelectNNKernelFn(KERNEL_TARGET_CPU, OP_SubBroadcast, DT_FLOAT32, sub->kernel)];
    Model* model = CreateModel(&sub, 1);
    InitModel(model, 1);
    const ModelInput feed[2] = {{"a", da.get()}, {"b", db.get()}};
    // The two inputs' leading extents differ: feed them one per call.
    Predict(model, 1, &feed[1]);
    const Tensor* out = Predict(model, 1, &feed[0])[0]->kernel->output[0];
    dm_test::ForEachCoord({2, 4, 4, 3}, [&](const Dims& c) {
        const float d = dm_test::At<float>(da.get(), c) - ((const float*)db->data)[c[3]];
        EXPECT_EQ(dm_test::At<float>(out, c), d < 0 ? 0.0f : (d > 6 ? 6.0f : d));
    });
    DestroyModel(model);
}

}  // namespace
