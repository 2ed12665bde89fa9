// Concatenation: the one-pass path and the per-input view path against
// Concat_ref over random shapes and strides, the checks of the one-pass
// engine, byte accounting and a hand-built model.
#include <gtest/gtest.h>

#include "LayersDataMovement.h"
#include "Model.h"
#include "NNKernelFnSelector.h"
#include "datamovement_util.h"
#include "nn_kernel_list.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "test_util.h"

using namespace dm_test;
using opt_test::Kernel;
using opt_test::SameStorage;

namespace {

TEST(ConcatenateOpt, RandomConcatenationsMatchTheReference)
{
    std::mt19937 rng(17);
    for (int iter = 0; iter < 300; ++iter) {
        const uint32_t rank = 1 + rng() % 6;
        const Dims base = RandomDims(rng, rank, 6, 800);
        const uint32_t axis = rng() % rank;
        const DataType dt = opt_test::RandomType(rng);
        const uint32_t count = 1 + rng() % 4;
        // Every third case has padded tensors somewhere: the per-input path.
        const bool holes = iter % 3 == 0;
        std::vector<TensorPtr> ins;
        std::vector<Tensor*> raw;
        Dims outDims = base;
        outDims[axis] = 0;
        for (uint32_t n = 0; n < count; ++n) {
            Dims d = base;
            d[axis] = rng() % 5;  // empty inputs too
            outDims[axis] += d[axis];
            ins.push_back(MakeTensor(dt, d, holes && rng() % 2 ? 1 + rng() % 2 : 0));
            FillRandom(ins.back().get(), rng);
            raw.push_back(ins.back().get());
        }
        const uint32_t padOut = holes && rng() % 2 ? 1 : 0;
        TensorPtr opt = MakeTensor(dt, outDims, padOut), ref = MakeTensor(dt, outDims, padOut);
        opt_test::FillStorage(opt.get(), 0x77);
        opt_test::FillStorage(ref.get(), 0x77);
        MergeParams params = {axis};
        Kernel k(raw, {opt.get()}, &params);
        Execute_Concatenate_opt(k.get());
        Concat_ref(ref.get(), raw.data(), count, axis);
        ASSERT_TRUE(SameStorage(opt.get(), ref.get())) << DimsText(outDims) << " axis " << axis;
    }
}

TEST(ConcatenateOpt, DenseTensorsTakeTheOnePassPathPaddedOnesTheViews)
{
    std::mt19937 rng(2);
    TensorPtr a = MakeTensor(DT_FLOAT32, {1, 2, 2, 3}), b = MakeTensor(DT_FLOAT32, {1, 2, 2, 3});
    TensorPtr padded = MakeTensor(DT_FLOAT32, {1, 2, 2, 3}, 2);
    FillRandom(a.get(), rng);
    FillRandom(b.get(), rng);
    CopyTensorData(b.get(), padded.get());
    TensorPtr out1 = MakeTensor(DT_FLOAT32, {1, 2, 2, 6}), out2 = MakeTensor(DT_FLOAT32, {1, 2, 2, 6});
    Tensor* dense[2] = {a.get(), b.get()};
    Tensor* mixed[2] = {a.get(), padded.get()};
    EXPECT_EQ(Concat_noHoles(-1, 1, out1.get(), dense, 2, 3), nullptr);
    EXPECT_STREQ(Concat_noHoles(-1, 1, out2.get(), mixed, 2, 3), "in[n] with holes not supported");
    MergeParams params = {3};
    Kernel k1({a.get(), b.get()}, {out1.get()}, &params), k2({a.get(), padded.get()}, {out2.get()}, &params);
    Execute_Concatenate_opt(k1.get());
    Execute_Concatenate_opt(k2.get());
    EXPECT_TRUE(SameStorage(out1.get(), out2.get()));
    // Each output pixel holds a's three channels, then b's.
    ForEachCoord({1, 2, 2, 6}, [&](const Dims& c) {
        Dims s = c;
        const Tensor* src = c[3] < 3 ? a.get() : b.get();
        s[3] = c[3] % 3;
        EXPECT_EQ(At<float>(out1.get(), c), At<float>(src, s));
    });
}

TEST(ConcatenateOpt, OnePassChecksReturnTheirReasons)
{
    auto T = [](DataType dt, const Dims& d, uint32_t pad = 0) { return MakeTensor(dt, d, pad); };
    TensorPtr out = T(DT_FLOAT32, {2, 5, 3}), a = T(DT_FLOAT32, {2, 2, 3}), b = T(DT_FLOAT32, {2, 3, 3});
    TensorPtr padOut = T(DT_FLOAT32, {2, 5, 3}, 1), flat = T(DT_FLOAT32, {18}), half = T(DT_FLOAT16, {2, 3, 3});
    TensorPtr holes = T(DT_FLOAT32, {2, 3, 3}, 1), wide = T(DT_FLOAT32, {2, 3, 4}), small = T(DT_FLOAT32, {2, 2, 3});
    auto reason = [](Tensor* o, std::vector<Tensor*> in, uint32_t axis) {
        const char* r = Concat_noHoles(-1, 1, o, in.data(), (uint32_t)in.size(), axis);
        return std::string(r ? r : "accepted");
    };
    EXPECT_EQ(reason(out.get(), {a.get(), b.get()}, 1), "accepted");
    EXPECT_EQ(reason(padOut.get(), {a.get(), b.get()}, 1), "!IsSerialData(out)");
    EXPECT_EQ(reason(out.get(), {a.get(), flat.get()}, 1), "out->ndim != in[n]->ndim");
    EXPECT_EQ(reason(out.get(), {a.get(), half.get()}, 1), "out->dtype != in[n]->dtype");
    EXPECT_EQ(reason(out.get(), {a.get(), holes.get()}, 1), "in[n] with holes not supported");
    EXPECT_EQ(reason(out.get(), {a.get(), wide.get()}, 1), "out->shape[d] != in->shape[d]");
    EXPECT_EQ(reason(out.get(), {a.get(), small.get()}, 1), "out->shape[axis] != sum(in[n]->shape[axis])");
    EXPECT_EQ(reason(out.get(), {a.get(), b.get()}, 3), "axis >= out->ndim");

    // Shapes that no path can serve stop the kernel with the reason.
    MergeParams params = {1};
    Kernel bad({a.get(), small.get()}, {out.get()}, &params);
    corvus_test::ExpectFatal("Concatenate_opt", {
        {[] { Execute_Concatenate_opt(nullptr); }, "Execute_Concatenate_opt error: kernel is null"},
        {[&] { Execute_Concatenate_opt(bad.get()); },
         "Execute_Concatenate_opt error: out->shape[axis] != sum(in[n]->shape[axis])"},
    });
}

TEST(ConcatenateOpt, SelectedForFloat32ModelsAndComputesThem)
{
    TensorPtr da = MakeTensor(DT_FLOAT32, {1, 2, 3}), db = MakeTensor(DT_FLOAT32, {1, 4, 3});
    Layer* in[2] = {AddInputLayer("a", da.get()), AddInputLayer("b", db.get())};
    Layer* cat = AddConcatenateLayer(in, nullptr, 2, "cat", 1);
    const kfname name = SelectNNKernelFn(KERNEL_TARGET_CPU, OP_Concatenate, DT_FLOAT32, cat->kernel);
    ASSERT_EQ(name, kfname_Concatenate_opt);
    cat->kernel->fn = nn_kernel_fn_list[name];
    Model* model = CreateModel(&cat, 1);
    InitModel(model, 1);
    FillIota(da.get());
    FillIota(db.get());
    const ModelInput feed[2] = {{"a", da.get()}, {"b", db.get()}};
    const Tensor* out = Predict(model, 2, feed)[0]->kernel->output[0];
    ASSERT_EQ(DimsOf(out), (Dims{1, 6, 3}));
    const float want[18] = {0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    for (int i = 0; i < 18; ++i) EXPECT_EQ(((const float*)out->data)[i], want[i]) << i;
    EXPECT_EQ(cat->kernel->totalBytes, (6u + 12u) * 4 * 2);
    EXPECT_EQ(cat->kernel->bytesSize[4], (6u + 12u) * 4 * 2);
    EXPECT_EQ(cat->kernel->bytesSize[0], 0u);
    DestroyModel(model);

    // Without inputs every counter is 0.
    TensorPtr o = MakeTensor(DT_FLOAT32, {2});
    MergeParams params = {0};
    Kernel none({}, {o.get()}, &params);
    none.k.totalBytes = 5;
    Init_Concatenate_opt(none.get());
    EXPECT_EQ(none.k.totalBytes, 0u);
    EXPECT_EQ(none.k.bytesSize[4], 0u);
}

}  // namespace
