// Kernel name tables, per-operation selection and ahead-of-time evaluation.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "NNKernelFnSelector.h"

namespace {

TensorShape Shape(std::initializer_list<uint32_t> dims)
{
    TensorShape s;
    memset(&s, 0, sizeof(s));
    uint32_t k = 0;
    for (uint32_t d : dims) s.dimension[k++] = d;
    return s;
}

// A bare kernel record with the given input/output ranks and a parameter block.
struct FakeKernel {
    NNKernel kernel;
    Tensor* tensors[3] = {nullptr, nullptr, nullptr};
    Tensor* inputs[2];
    Tensor* outputs[1];
    uint32_t params[24] = {0};

    FakeKernel(std::initializer_list<uint32_t> a, std::initializer_list<uint32_t> b, uint32_t outRank)
    {
        memset(&kernel, 0, sizeof(kernel));
        inputs[0] = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)a.size(), Shape(a), false);
        inputs[1] = CreateTensor(DT_FLOAT32, DL_NONE, (uint32_t)b.size(), Shape(b), false);
        outputs[0] = CreateTensor(DT_FLOAT32, DL_NONE, outRank, Shape({1, 1, 1, 1, 1, 1}), false);
        kernel.input = inputs;
        kernel.output = outputs;
        kernel.inputsNum = 2;
        kernel.outputsNum = 1;
        kernel.params = params;
    }
    ~FakeKernel()
    {
        DestroyTensor(inputs[0]);
        DestroyTensor(inputs[1]);
        DestroyTensor(outputs[0]);
    }
};

kfname Select(LayerOpType op, NNKernel* kernel, DataType dtype = DT_FLOAT32)
{
    return SelectNNKernelFn(KERNEL_TARGET_CPU, op, dtype, kernel);
}

}  // namespace

TEST(KernelTables, NamesAndNumbersAgree)
{
    EXPECT_STREQ(kernel_fn_name_string[kfname_Activation_fl32_ref], "Activation_fl32_ref");
    EXPECT_EQ(kfname_Conv2D_ref, 4);
    EXPECT_EQ(kfname_Conv2D_opt, 35);
    EXPECT_EQ(kfname_MMviaConv2D, 106);
    EXPECT_EQ(kfname_GatherElements_ref, 156);
    EXPECT_STREQ(kernel_fn_name_string[kfname_ResizeDown3F16_opt], "ResizeDown3F16_opt");
    EXPECT_STREQ(kernel_fn_name_string[kfname_TOTAL], "Undefined");
    std::set<std::string> unique;
    for (int k = 0; k <= kfname_TOTAL; ++k) {
        ASSERT_NE(kernel_fn_name_string[k], nullptr) << k;
        unique.insert(kernel_fn_name_string[k]);
    }
    EXPECT_EQ(unique.size(), 159u);
    // DSP-core kernels are named but never provided.
    for (int k : {15, 22, 33, 45, 69, 88, 100, 113, 124, 146, 157}) {
        EXPECT_NE(std::string(kernel_fn_name_string[k]).find("_ost"), std::string::npos) << k;
        EXPECT_EQ(nn_kernel_fn_list[k], nullptr) << k;
    }
}

TEST(KernelTables, DefaultsFollowTheOperationTable)
{
    EXPECT_EQ(nn_kernel_fn_default_name[OP_Input], kfname_TOTAL);
    EXPECT_EQ(nn_kernel_fn_default_name[OP_CustomLayer], kfname_TOTAL);
    EXPECT_EQ(nn_kernel_fn_default_name[OP_SeparableConv2D], kfname_TOTAL);
    EXPECT_EQ(nn_kernel_fn_default_name[OP_MaxPool1D], kfname_MaxPool1D_opt);
    EXPECT_EQ(nn_kernel_fn_default_name[OP_PostLSTM], kfname_Reshape_ref);
    EXPECT_EQ(nn_kernel_fn_default_name[OP_Resize], kfname_ResizeNear_ref);
    EXPECT_EQ(nn_kernel_fn_default_name[OP_Split], kfname_Split_fl32_ref);
    EXPECT_EQ(nn_kernel_fn_default_name[OP_GatherElements], kfname_GatherElements_ref);
    for (int op = 0; op < OP_OperationsCount; ++op) {
        kfname k = nn_kernel_fn_default_name[op];
        EXPECT_EQ(nn_kernel_fn_list_default[op], k == kfname_TOTAL ? nullptr : nn_kernel_fn_list[k]) << op;
        EXPECT_TRUE(k == kfname_TOTAL || nn_kernel_fn_list[k] != nullptr) << kernel_fn_name_string[k];
    }
    ASSERT_NE(nn_kernel_fn_list_default[OP_Initializer], nullptr);
    EXPECT_NE(nn_kernel_fn_list_default[OP_Initializer]->execute, nullptr);
}

TEST(KernelSelection, FixedChoicesAndOperationsWithoutSelector)
{
    FakeKernel k({2, 3}, {3, 4}, 2);
    EXPECT_EQ(Select(OP_Conv2D, &k.kernel), kfname_Conv2D_ref);
    EXPECT_EQ(Select(OP_AddBroadcast, &k.kernel), kfname_AddBroadcast_opt);
    EXPECT_EQ(Select(OP_Concatenate, &k.kernel), kfname_Concatenate_opt);
    EXPECT_EQ(Select(OP_PostLSTM, &k.kernel), kfname_Reshape_ref);
    EXPECT_EQ(Select(OP_ZeroPadding2D, &k.kernel), kfname_ZeroPadding_ref);
    EXPECT_EQ(Select(OP_Initializer, &k.kernel), kfname_Empty_ref);
    EXPECT_EQ(Select(OP_LayerNorm, &k.kernel), kfname_LayerNorm_ref);
    for (LayerOpType op : {OP_Input, OP_Convert, OP_CustomLayer, OP_SeparableConv2D, OP_ExpandChannels, OP_Split})
        EXPECT_EQ(Select(op, &k.kernel), kfname_TOTAL) << op;
    EXPECT_EQ(Select((LayerOpType)86, &k.kernel), kfname_TOTAL);
}

TEST(KernelSelection, MatMulViaConvolutionNeedsFlagRankAndLeadingExtent)
{
    FakeKernel lead4({4, 5, 6}, {6, 7}, 3);
    lead4.params[0] = 2;
    EXPECT_EQ(Select(OP_MatMul, &lead4.kernel), kfname_MMviaConv2D);
    lead4.params[0] = 1;  // flag bit clear
    EXPECT_EQ(Select(OP_MatMul, &lead4.kernel), kfname_Matmul_ref);

    FakeKernel lead3({3, 5, 6}, {6, 7}, 3);
    lead3.params[0] = 3;
    EXPECT_EQ(Select(OP_MatMul, &lead3.kernel), kfname_Matmul_ref);

    FakeKernel rank4({1, 5, 2, 6}, {6, 7}, 4);  // leading extent is dimension 1
    rank4.params[0] = 2;
    EXPECT_EQ(Select(OP_MatMul, &rank4.kernel), kfname_MMviaConv2D);

    FakeKernel b3({4, 5, 6}, {4, 6, 7}, 3);  // second input not two-dimensional
    b3.params[0] = 2;
    EXPECT_EQ(Select(OP_MatMul, &b3.kernel), kfname_Matmul_ref);
}

TEST(KernelSelection, SliceNegativeStepsUseTheReferenceKernel)
{
    FakeKernel k({4, 4}, {1}, 2);
    for (int d = 0; d < 6; ++d) k.params[12 + d] = 1;
    EXPECT_EQ(Select(OP_Slice, &k.kernel), kfname_Slice_opt);
    k.params[13] = (uint32_t)-1;
    EXPECT_EQ(Select(OP_Slice, &k.kernel), kfname_Slice_ref);
    // Steps beyond the output rank are not looked at.
    k.params[13] = 1;
    k.params[14] = (uint32_t)-1;
    EXPECT_EQ(Select(OP_Slice, &k.kernel), kfname_Slice_opt);
}

TEST(KernelSelection, ProbedKernelsFallBackToReference)
{
    // Without an accepting optimised check the reference kernel is chosen.
    FakeKernel k({1, 8, 8, 3}, {1}, 4);
    EXPECT_EQ(Select(OP_MaxPool2D, &k.kernel), kfname_MaxPool2D_fl32_ref);
    EXPECT_EQ(Select(OP_AveragePool2D, &k.kernel), kfname_AveragePool2D_fl32_ref);
    EXPECT_EQ(Select(OP_GlobalAveragePool2D, &k.kernel), kfname_GlobalAveragePool2D_ref);
}

TEST(KernelSelection, RefusalsAreFatal)
{
    FakeKernel k({1, 8, 8, 3}, {1}, 4);
    EXPECT_EXIT(Select(OP_Conv2D, &k.kernel, DT_FLOAT16), ::testing::ExitedWithCode(1),
                "Unsupported data type for this target\\. Supported: DT_FLOAT32\\. File NNKernelFnSelector");
    EXPECT_EXIT(Select(OP_MaxPool1D, &k.kernel, DT_INT32), ::testing::ExitedWithCode(1),
                "dType must be DT_FLOAT16 or DT_FLOAT32");
    EXPECT_EXIT(Select(OP_AveragePool1D, &k.kernel, DT_FLOAT16), ::testing::ExitedWithCode(1),
                "dType == DT_FLOAT32: false, expected: true");
    EXPECT_EXIT(Select(OP_LayerNorm, &k.kernel, DT_INT8), ::testing::ExitedWithCode(1), "support only F16 or F32");
    EXPECT_EXIT(Select(OP_Mfcc, &k.kernel, DT_INT32), ::testing::ExitedWithCode(1),
                "SelectNNKernelFnMfcc: Unsupported data type\\. Supported: DT_FLOAT32");
    k.params[6] = 2;
    EXPECT_EXIT(Select(OP_Resize, &k.kernel), ::testing::ExitedWithCode(1),
                "SelectNNKernelFnResize error: unsupported resize mode");
    k.params[6] = 0;
    EXPECT_EXIT(Select(OP_Resize, &k.kernel), ::testing::ExitedWithCode(1),
                "SelectNNKernelFnResize error: can't select function\nResizeNear3F32_ref error: .*\nResizeNear_ref "
                "error: ");
    k.kernel.params = nullptr;
    EXPECT_EXIT(Select(OP_MatMul, &k.kernel), ::testing::ExitedWithCode(1), "kernel->params is nullptr");
}

TEST(ExecuteLayer, WaitsForStaticInputsAndNeedsAKernel)
{
    Tensor* desc = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, 4}), false);
    Layer* x = AddInputLayer("x", desc);
    Layer* inputs[] = {x, x};
    Layer* add = CreateLayer("add", OP_AddBroadcast, inputs, nullptr, 2, 0);
    add->kernel->output[0] = CreateTensor(DT_FLOAT32, DL_NC, 2, Shape({1, 4}), false);

    ExecuteLayer(add);  // input not constant yet: nothing happens
    EXPECT_FALSE(add->staticOutput);
    EXPECT_EQ(add->kernel->fn, nullptr);
    EXPECT_EQ(add->kernel->output[0]->data, nullptr);

    x->staticOutput = true;
    if (nn_kernel_fn_list[kfname_AddBroadcast_opt] == nullptr) {
        EXPECT_EXIT(ExecuteLayer(add), ::testing::ExitedWithCode(1), "ExecuteLayer: no kernel for layer add");
    }
    DestroyLayer(add);
    DestroyLayer(x);
    DestroyTensor(desc);
}
