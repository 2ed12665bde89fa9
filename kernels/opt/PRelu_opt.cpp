// PRelu through the block broadcast engine: the reference's checks and
// element functions, the optimised walk.
#define CORVUS_MODULE "PRelu_opt"
#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "Report.h"
#include "nn_kernels/OptKernels.h"
#include "common/ElementWalk.h"
#include "common/KernelChecks.h"

namespace {

const BroadcastOpFn kPReluFns[BROADCAST_TYPES_NUM] = {prelu_f32_ref, prelu_f16_ref, nullptr, nullptr};

}  // namespace

extern "C" {

void Execute_PRelu_opt(NNKernel* kernel)
{
    static const char* const kName = "Execute_PRelu_opt";
    const PReluOperands ops = CheckPReluKernel(kernel, kName);
    Tensor* out = ops.out;
    const Tensor* in = ops.in;
    const Tensor* slopes = ops.slopes;
    if (!corvus::SameShape(out, in))
        CV_FATAL("%s: shapes of input %s and output %s are not the same", kName, corvus::ShapeText(in).c_str(),
                 corvus::ShapeText(out).c_str());
    if (GetTensorSize(out) > 0 && (out->data == nullptr || in->data == nullptr))
        CV_FATAL("%s: tensor data is NULL", kName);
    BroadcastOptDesc desc;
    Broadcast_opt_init(&desc, kPReluFns, out->dtype, 0);
    Broadcast_opt(0, kernel->coresNumber, &desc, out, in, slopes);
}

extern const NNKernelFn nn_kernel_fn_PRelu_opt = {Execute_PRelu_opt, nullptr, nullptr, nullptr};

}  // extern "C"
