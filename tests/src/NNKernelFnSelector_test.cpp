// Per-operation kernel selection and ahead-of-time evaluation.

#include <set>

#include "corvus.h"
#include "NNKernelFnSelector.h"
#include "graph_util.h"
#include "opt_util.h"

using namespace graph_util;

namespace {

// A bare kernel record with two inputs of the given extents, an output of the given rank and a parameter block.
struct FakeKernel {
    NNKernel kernel{};
    Tensor* inputs[2];
    Tensor* outputs[1];
    union {
        SliceParams slice;
        MatmulParams matmul;
        ResizeParams resize;
    } params{};
    FakeKernel(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b, uint32_t outRank)
    {
        inputs[0] = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)a.size(), Shape(a), false);
        inputs[1] = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)b.size(), Shape(b), false);
        outputs[0] = CreateTensor(DT_FLOAT32, DL_NONE, outRank, Shape({1, 1, 1, 1, 1, 1}), false);
        kernel.input = inputs, kernel.output = outputs, kernel.inputsNum = 2, kernel.outputsNum = 1;
        kernel.params = &params;
    }
    ~FakeKernel()
    {
        for (Tensor* t : {inputs[0], inputs[1], outputs[0]}) DestroyTensor(t);
    }
    kfname Select(LayerOpType op, DataType dtype = DT_FLOAT32)
    {
        return SelectNNKernelFn(KERNEL_TARGET_CPU, op, dtype, &kernel);
    }
};

// Every default kernel an operation names is provided; every listed kernel
// the library implements can run (the DSP core's have no function set) and
// is tested: as an operation's default by its family's tests, else by a row
// of the OptMatchesRef tables, which also check the selector's pick, or by
// the test file of its own named here.
TEST(KernelSelection, EveryKernelRunsAndIsTested)
{
    // With test files of their own: Activation_ref, Conv2D_opt (the convolution's two uses too),
    // DWConvolution_opt, Resize_ref.
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
        FakeKernel k(c.a, c.b, (uint32_t)c.a.size());
        k.params.matmul.mode = c.flags;
        EXPECT_EQ(k.Select(OP_MatMul), c.want) << c.a.size() << " " << c.a[0] << " " << c.flags;
    }
}

TEST(KernelSelection, SliceNegativeStepsAndProbedKernelsUseTheReference)
{
    FakeKernel k({4, 4}, {1}, 2);
    for (int d = 0; d < 6; ++d) k.params.slice.steps[d] = d < 2 ? 1 : -1;  // beyond the output rank: not looked at
    EXPECT_EQ(k.Select(OP_Slice), kfname_Slice_opt);

    // Without an accepting optimised check the reference kernel is chosen.
    FakeKernel image({1, 8, 8, 3}, {1}, 4);
    EXPECT_EQ(image.Select(OP_MaxPool2D), kfname_MaxPool2D_fl32_ref);
    EXPECT_EQ(image.Select(OP_AveragePool2D), kfname_AveragePool2D_fl32_ref);
    EXPECT_EQ(image.Select(OP_GlobalAveragePool2D), kfname_GlobalAveragePool2D_ref);

    // clang-format off
    corvus_test::ExpectExitRe({
        {[&] { image.Select(OP_Conv2D, DT_FLOAT16); },
         "Unsupported data type for this target\\. Supported: DT_FLOAT32"},
        {[&] { image.Select(OP_MaxPool1D, DT_INT32); }, "dType must be DT_FLOAT16 or DT_FLOAT32"},
        {[&] { image.Select(OP_LayerNorm, DT_INT8); }, "support only F16 or F32"},
        {[&] {
             image.params.resize.mode = 2;
             image.Select(OP_Resize);
         },
         "SelectNNKernelFnResize error: unsupported resize mode"},
    });
    // clang-format on
}

// A layer whose inputs are all constant is computed at once; one without a kernel is refused.
TEST(ExecuteLayer, ComputesLayersOfConstantInputsOnce)
{
    Layer* x = Input("x", 4);
    Layer* xx[2] = {x, x};
    Layer* add = AddAddLayer(xx, nullptr, 2, "add");
    ExecuteLayer(add);  // input not constant yet: nothing happens
    EXPECT_FALSE(add->staticOutput);
    EXPECT_EQ(add->kernel->output[0]->data, nullptr);

    const float v[4] = {1, -2, 0.5f, 8};
    AllocTensorData(x->kernel->output[0]);
    PutTensorData(v, x->kernel->output[0]);
    x->staticOutput = true;
    ExecuteLayer(add);
    EXPECT_TRUE(add->staticOutput);
    EXPECT_EQ(Values(add->kernel->output[0]), (std::vector<float>{2, -4, 1, 16}));

    EXPECT_EXIT(ExecuteLayer(Node("custom", OP_CustomLayer, {x}, 4)), ::testing::ExitedWithCode(1),
                corvus_test::Fatal("NNKernelFnSelector", "ExecuteLayer: no kernel for layer custom (CustomLayer)"));
    DestroyLayer(add);
    DestroyLayer(x);
}

}  // namespace
