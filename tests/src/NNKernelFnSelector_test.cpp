// Per-operation kernel selection and ahead-of-time evaluation.

#include <set>

#include "corvus.h"
#include "graph_util.h"
#include "opt_util.h"

using namespace graph_util;

namespace {

// Parameter blocks the selectors read.
union Params {
    SliceParams slice;
    MatmulParams matmul;
    ResizeParams resize;
    Pool2DParams pool;
};

// The pick for a record over two inputs of the given extents and an output of the given rank.
kfname Select(LayerOpType op, const std::vector<uint32_t>& a, const std::vector<uint32_t>& b, uint32_t outRank,
              Params* p, DataType dtype = DT_FLOAT32)
{
    corvus_test::TensorPtr x = corvus_test::NewTensor(DT_FLOAT32, a, {}, false),
                           y = corvus_test::NewTensor(DT_FLOAT32, b, {}, false),
                           o = corvus_test::NewTensor(DT_FLOAT32, std::vector<uint32_t>(outRank, 1), {}, false);
    corvus_test::KernelRecord k({x.get(), y.get()}, {o.get()}, p);
    return SelectNNKernelFn(KERNEL_TARGET_CPU, op, dtype, k);
}

// Every default kernel an operation names is provided; every listed kernel
// the library implements can run (the DSP core's have no function set) and
// is tested: as an operation's default by its family's tests, else by a row
// of the OptMatchesRef tables, which also check the selector's pick, or by
// the test file of its own named here.
TEST(KernelSelection, EveryKernelRunsAndIsTested)
{
    // With test files of their own: Activation_ref, Conv2D_opt (the convolution's two uses and the
    // depthwise kernel too), Resize_ref.
    std::set<int> tested = {kfname_Activation_fl32_ref, kfname_Conv2D_opt,        kfname_Conv1Dvia2D,
                            kfname_MMviaConv2D,         kfname_DWConvolution_opt, kfname_ResizeNear3F32_ref,
                            kfname_ResizeDownF32_ref,   kfname_ResizeDown3F32_ref};
    for (const opt_test::OptKernelCase* row : opt_test::Tabled()) tested.insert(row->kernel);
    for (int op = 0; op < OP_OperationsCount; ++op) {
        const kfname k = nn_kernel_fn_default_name[op];
        EXPECT_EQ(nn_kernel_fn_list_default[op], k == kfname_TOTAL ? nullptr : nn_kernel_fn_list[k]) << op;
        tested.insert(k);
    }
#define KFN(number, name)                                                                                              \
    EXPECT_TRUE(nn_kernel_fn_list[number] && nn_kernel_fn_list[number]->execute) << #name;                             \
    EXPECT_TRUE(tested.count(number)) << #name " has no row in the OptMatchesRef tables";
#define KFN_DSP(number, name) EXPECT_EQ(nn_kernel_fn_list[number], nullptr) << #name;
#include "nn_kernel_names.def"
#undef KFN
#undef KFN_DSP
}

TEST(KernelSelection, MatMulViaConvolutionNeedsFlagRankAndLeadingExtent)
{
    const struct {
        std::vector<uint32_t> a, b;
        uint32_t flags;
        kfname want;
    } cases[] = {
        {{4, 5, 6}, {6, 7}, 2, kfname_MMviaConv2D},    {{4, 5, 6}, {6, 7}, 1, kfname_Matmul_ref},  // flag bit clear
        {{3, 5, 6}, {6, 7}, 3, kfname_Matmul_ref},      // leading extent not 4
        {{1, 5, 2, 6}, {6, 7}, 2, kfname_MMviaConv2D},  // rank 4: leading extent is dimension 1
        {{4, 5, 6}, {4, 6, 7}, 2, kfname_Matmul_ref},   // second input not two-dimensional
    };
    for (const auto& c : cases) {
        Params p{};
        p.matmul.mode = c.flags;
        EXPECT_EQ(Select(OP_MatMul, c.a, c.b, (uint32_t)c.a.size(), &p), c.want)
            << c.a.size() << " " << c.a[0] << " " << c.flags;
    }
}

TEST(KernelSelection, SliceNegativeStepsProbedKernelsAndRefusals)
{
    Params p{};
    for (int d = 0; d < 6; ++d) p.slice.steps[d] = d < 2 ? 1 : -1;  // beyond the output rank: not looked at
    EXPECT_EQ(Select(OP_Slice, {4, 4}, {1}, 2, &p), kfname_Slice_opt);

    // Without an accepting optimised check the reference kernel is chosen.
    const std::vector<uint32_t> image = {1, 8, 8, 3};
    p = Params{};
    EXPECT_EQ(Select(OP_MaxPool2D, image, {1}, 4, &p), kfname_MaxPool2D_fl32_ref);
    EXPECT_EQ(Select(OP_AveragePool2D, image, {1}, 4, &p), kfname_AveragePool2D_fl32_ref);
    EXPECT_EQ(Select(OP_GlobalAveragePool2D, image, {1}, 4, &p), kfname_GlobalAveragePool2D_ref);

    // A layer of constant inputs without a kernel cannot be computed ahead of time.
    // clang-format off
    corvus_test::ExpectExitRe({
        {[&] { Select(OP_Conv2D, image, {1}, 4, &p, DT_FLOAT16); },
         "Unsupported data type for this target\\. Supported: DT_FLOAT32"},
        {[&] { Select(OP_MaxPool1D, image, {1}, 4, &p, DT_INT32); }, "dType must be DT_FLOAT16 or DT_FLOAT32"},
        {[&] { Select(OP_LayerNorm, image, {1}, 4, &p, DT_INT8); }, "support only F16 or F32"},
        {[&] {
             p.resize.mode = 2;
             Select(OP_Resize, image, {1}, 4, &p);
         },
         "SelectNNKernelFnResize error: unsupported resize mode"},
        {[] {
             Layer* x = Input("x", 4);
             x->staticOutput = true;
             ExecuteLayer(Node("custom", OP_CustomLayer, {x}, 4));
         },
         corvus_test::Fatal("NNKernelFnSelector", "ExecuteLayer: no kernel for layer custom (CustomLayer)")},
    });
    // clang-format on
}

}  // namespace
