// Kernels that compute half precision in float32 and round once: on float16
// inputs each gives its float32 result on the widened inputs, rounded to
// half. One table row per kernel (index outputs must be equal).

#include "LayersActivation.h"
#include "LayersAudio.h"
#include "LayersDetection.h"
#include "LayersBroadcast.h"
#include "LayersDense.h"
#include "LayersReduction.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"
#include "pooling_util.h"

using opt_test::HalfCase;
using opt_test::Kernel;
using Ins = std::vector<Tensor*>;

namespace {

void Nhwc(const Ins& ins, Tensor* out)
{
    for (Tensor* t : ins) t->layout = DL_NHWC;
    out->layout = DL_NHWC;
}
// Runs an operation's default kernel (or a named one) over ins -> out.
std::function<void(const Ins&, Tensor*)> Default(LayerOpType op, const void* params = nullptr, bool nhwc = false)
{
    return [=](const Ins& ins, Tensor* out) {
        if (nhwc) Nhwc(ins, out);
        Kernel k(ins, {out}, (void*)params);
        nn_kernel_fn_list_default[op]->execute(k.get());
    };
}
std::function<void(const Ins&, Tensor*)> Execute(void (*fn)(NNKernel*), const void* params = nullptr)
{
    return [=](const Ins& ins, Tensor* out) { fn(Kernel(ins, {out}, (void*)params).get()); };
}
std::function<void(const Ins&, Tensor*)> Named(kfname fn, const void* params)
{
    return
        [=](const Ins& ins, Tensor* out) { nn_kernel_fn_list[fn]->execute(Kernel(ins, {out}, (void*)params).get()); };
}
std::function<void(const Ins&, Tensor*)> Arith(void (*fn)(Tensor*, const Tensor*, const Tensor*,
                                                          const BroadcastParams*))
{
    return [=](const Ins& ins, Tensor* out) { fn(out, ins[0], ins[1], nullptr); };
}
std::function<void(const Ins&, Tensor*)> Reduce(LayerOpType op)
{
    static const ReduceParams middle = {{1}, 1, 0};
    return [=](const Ins& ins, Tensor* out) { Reduce_ref(out, ins[0], &middle, op); };
}

const ActivationParams kLog = {Log, 0};
const HardSigmoidParams kHardSigmoid = {0.3f, 0.4f};
const ArgMaxParams kArgMaxLast = {1, true, true};
const CumSumParams kCumSumReverse = {false, true};
const Pool1DParams kPool1D = {3, 2, 1, 1, 0, POOL_PADDING_ZEROS};
const Pool2DParams kPool2D = pooling_test::Params2D(3, 2, 2, 1, 1, 0, 1, 1, POOL_PADDING_ZEROS);
const GlobalAvPool2DParams kGlobalAvg = {DL_NHWC, 1};
const DenseParams kDense = {1, ReLU6};
const MatmulParams kMatmul = {0};
const EinsumParams kEinsum = {"ij,jk->ik", "ij", "jk", "ik", 2, 2};
const AudioSpectrogramParams kSpectrogram = {100, 50, false};
const MfccParams kMfcc = {1900.0f, 40.0f, 12, 6, 4000};
const NMSYoloParams kYolo = {0.5f, 0.4f};

// clang-format off
const HalfCase kHalfKernels[] = {
    {"Add", {{3, 37}, {37}}, {3, 37}, Arith(AddBroadcast_ref)},
    {"Sub", {{3, 37}, {1}}, {3, 37}, Arith(SubBroadcast_ref)},
    {"Mul", {{3, 1}, {37}}, {3, 37}, Arith(MulBroadcast_ref)},
    {"Div", {{3, 37}, {3, 1}}, {3, 37}, Arith(DivBroadcast_ref)},
    {"Greater", {{3, 1, 4}, {2, 1}}, {3, 2, 4}, Execute(Execute_Greater_ref), DT_INT8, 3},
    {"Exp", {{4, 9}}, {4, 9}, Execute(Execute_Exp_ref)},
    {"Neg", {{4, 9}}, {4, 9}, Execute(Execute_Neg_ref)},
    {"Ceil", {{4, 9}}, {4, 9}, Execute(Execute_Ceil_ref)},
    {"Floor", {{4, 9}}, {4, 9}, Execute(Execute_Floor_ref)},
    {"Sqrt", {{4, 9}}, {4, 9}, Execute(Execute_Sqrt_ref)},
    {"Log", {{4, 9}}, {4, 9}, [](const Ins& i, Tensor* o) { Activation_fl32_ref(o, i[0], &kLog); }, DT_FLOAT16, 8,
     true},
    {"HardSigmoid", {{4, 9}}, {4, 9}, Execute(Execute_HardSigmoid_ref, &kHardSigmoid)},
    {"PRelu", {{5, 6}, {6}}, {5, 6},
     [](const Ins& i, Tensor* o) { Execute_PRelu_ref(Kernel({i[0]}, {o}, nullptr, {i[1]}).get()); }},
    {"ReduceSum", {{2, 3, 4}}, {2, 4}, Reduce(OP_ReduceSum)},
    {"ReduceMean", {{2, 3, 4}}, {2, 4}, Reduce(OP_ReduceMean)},
    {"ReduceL2", {{2, 3, 4}}, {2, 4}, Reduce(OP_ReduceL2)},
    {"ReduceMax", {{2, 3, 4}}, {2, 4}, Reduce(OP_ReduceMax)},
    {"ArgMax", {{2, 7, 3}}, {2, 1, 3}, [](const Ins& i, Tensor* o) { ArgMax_ref(o, i[0], &kArgMaxLast); }, DT_INT32, 1},
    {"CumSum", {{3, 6}}, {3, 6},
     [](const Ins& i, Tensor* o) { (o->dtype == DT_FLOAT16 ? CumSum_fl16_ref : CumSum_fl32_ref)(o, i[0], 1,
      &kCumSumReverse); }},
    {"MaxPool1D", {{2, 9, 3}}, {2, 5, 3}, Default(OP_MaxPool1D, &kPool1D)},
    {"MaxPool2D", {{1, 9, 8, 5}}, {1, 5, 8, 5},
     [](const Ins& i, Tensor* o) {
         Nhwc(i, o);
         const NNKernelFn& fn = *nn_kernel_fn_list[kfname_MaxPool2D_opt];
         Kernel k(i, {o}, (void*)&kPool2D);
         fn.init(k.get());
         fn.execute(k.get());
         fn.destroy(k.get());
     }},
    {"GlobalAveragePool2D", {{2, 5, 3, 4}}, {2, 1, 1, 4}, Default(OP_GlobalAveragePool2D, &kGlobalAvg, true)},
    {"GlobalMaxPool", {{2, 3, 2, 3}}, {2, 1, 1, 3}, Default(OP_GlobalMaxPool)},
    {"Matmul", {{4, 2, 5}, {5, 3}}, {4, 2, 3}, Execute(Execute_Matmul_ref, &kMatmul)},
    {"Einsum", {{2, 3}, {3, 4}}, {2, 4}, Named(kfname_Einsum_ref, &kEinsum)},
    {"AudioSpectrogram", {{300, 2}}, {2, 5, 65}, Named(kfname_AudioSpectrogram_ref, &kSpectrogram), DT_FLOAT16, 1},
    {"Mfcc", {{1, 2, 65}}, {1, 2, 6}, Named(kfname_Mfcc_ref, &kMfcc), DT_FLOAT16, 8, true},
    {"NMSYolo", {{2, 16, 6}}, {2, 5, 6}, Named(kfname_NMSYolo_ref, &kYolo)},
    // The weights and bias stay float32.
    {"Dense", {{3, 10}}, {3, 7},
     [](const Ins& i, Tensor* o) {
         static std::mt19937 rng(6);
         static const opt_test::TensorPtr w = dm_test::RandomTensor(rng, DT_FLOAT32, {10, 7}),
                                          b = dm_test::RandomTensor(rng, DT_FLOAT32, {7});
         i[0]->layout = o->layout = DL_NC;
         Execute_Dense_ref(Kernel({i[0]}, {o}, (void*)&kDense, {w.get(), b.get()}).get());
     }},
};
// clang-format on

class HalfPrecision : public ::testing::TestWithParam<HalfCase> {};
TEST_P(HalfPrecision, IsTheFloatResultRoundedOnce) { opt_test::ExpectHalfIsRoundedFloat(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Kernels, HalfPrecision, ::testing::ValuesIn(kHalfKernels),
                         [](const ::testing::TestParamInfo<HalfCase>& i) { return i.param.name; });

}  // namespace
