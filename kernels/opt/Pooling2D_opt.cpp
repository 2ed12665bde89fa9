// Two-dimensional max and average pooling, and global average pooling, as
// two one-dimensional passes (along the height and along the width) through
// an intermediate tensor kept in the kernel record between executions, with
// the scratch block both passes use. Float32 max pooling computes the same
// passes row by row in main memory instead, without reading the intermediate.
#define CORVUS_MODULE "Pooling2D_opt"
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "KernelProbes.h"
#include "LayersPooling.h"
#include "OptInternal.h"
#include "Report.h"
#include "common/KernelScratch.h"
#include "nn_kernels/OptKernels.h"

namespace {

constexpr int kRefused = -1;
constexpr int32_t kProbe = -1;
constexpr int32_t kInit = -2;

// Window geometry per spatial axis (index 0 the height, 1 the width).
struct Geometry {
    uint32_t window[2], stride[2], padBegin[2], padEnd[2];
    uint32_t paddingMode;
};

Geometry FromParams(const Pool2DParams* p)
{
    Geometry g;
    g.window[0] = p->poolSizeH;
    g.window[1] = p->poolSizeW;
    g.stride[0] = p->strideH;
    g.stride[1] = p->strideW;
    g.padBegin[0] = p->padTop;
    g.padBegin[1] = p->padLeft;
    g.padEnd[0] = p->padBottom;
    g.padEnd[1] = p->padRight;
    g.paddingMode = p->paddingMode;
    return g;
}

const char* Refusal(const Tensor* out, const Tensor* in, const Geometry& g)
{
    if (in == nullptr || out == nullptr) return "missing tensor";
    if (in->ndim != 4 || out->ndim != 4) return "input and output must have 4 dimensions";
    if (in->layout != DL_NHWC || out->layout != DL_NHWC) return "layouts must both be DL_NHWC";
    if (in->dtype != out->dtype) return "data types differ";
    if (g.paddingMode != POOL_PADDING_ZEROS && g.paddingMode != POOL_PADDING_IGNORE) return "unsupported paddingMode";
    if (g.paddingMode == POOL_PADDING_IGNORE && in->dtype != DT_FLOAT32 && in->dtype != DT_FLOAT16)
        return "paddingMode 1 needs float32 or float16";
    if (in->shape.dimension[0] != out->shape.dimension[0] || in->shape.dimension[3] != out->shape.dimension[3])
        return "batch or channels differ";
    if (in->stride.dimension[3] != 1 || out->stride.dimension[3] != 1) return "channels must be adjacent";
    if (g.window[0] == 0 || g.window[1] == 0 || g.stride[0] == 0 || g.stride[1] == 0)
        return "window and stride must be positive";
    return nullptr;
}

// A pass along axis a (1 the height, 2 the width) can be left out when it
// would copy: window and stride 1, no pads, equal extents.
bool Skippable(const Tensor* out, const Tensor* in, const Geometry& g, uint32_t a)
{
    const uint32_t k = a - 1;
    return g.window[k] == 1 && g.stride[k] == 1 && g.padBegin[k] == 0 && g.padEnd[k] == 0 &&
           in->shape.dimension[a] == out->shape.dimension[a];
}

// The passes to run: count 1 or 2, axes in order.
struct Plan {
    uint32_t count;
    uint32_t axis[2];
};

Plan MakePlan(const Tensor* out, const Tensor* in, const Geometry& g)
{
    const bool skipH = Skippable(out, in, g, 1), skipW = Skippable(out, in, g, 2);
    if (skipH) return Plan{1, {2, 0}};  // with both skippable the width pass copies
    if (skipW) return Plan{1, {1, 0}};
    // The larger window shrinks the data more, so it goes first.
    return g.window[0] >= g.window[1] ? Plan{2, {1, 2}} : Plan{2, {2, 1}};
}

int RunPass(int32_t share, int32_t shares, Tensor* out, const Tensor* in, const Geometry& g, uint32_t axis, bool isMax,
            KernelScratch* scratch)
{
    const uint32_t k = axis - 1;
    return Pooling1D_opt_scratch(share, shares, out, in, axis, g.window[k], g.stride[k], g.padBegin[k], g.padEnd[k],
                                 g.paddingMode, isMax ? 1 : 0, scratch);
}

// What the kernel record keeps between executions.
struct Pool2DCtx {
    Tensor* mid;  // null with a one-pass plan
    KernelScratch* scratch;
};

Pool2DCtx* Context(NNKernel* kernel)
{
    Pool2DCtx* ctx = (Pool2DCtx*)kernel->extra_resources;
    if (ctx == nullptr) {
        ctx = (Pool2DCtx*)calloc(1, sizeof(Pool2DCtx));
        CV_CHECK_PTR(ctx);
        kernel->extra_resources = ctx;
    }
    return ctx;
}

// The intermediate of a two-pass plan: the input with the first axis pooled.
Tensor* CreateIntermediate(const Tensor* out, const Tensor* in, const Plan& plan)
{
    TensorShape shape = in->shape;
    shape.dimension[plan.axis[0]] = out->shape.dimension[plan.axis[0]];
    return CreateTensor((DataType)in->dtype, DL_NHWC, 4, shape, true);
}

int Pool2D(int32_t share, int32_t shares, NNKernel* kernel, Tensor* out, const Tensor* in, const Geometry& g,
           bool isMax)
{
    if (Refusal(out, in, g) != nullptr) return kRefused;
    const Plan plan = MakePlan(out, in, g);
    if (share == kProbe) return 0;
    if (share == kInit) {
        Pool2DCtx* ctx = Context(kernel);
        Tensor*& mid = ctx->mid;
        DestroyTensor(mid);
        mid = nullptr;
        uint64_t bytes = (corvus_opt::TwiceBytes(in) + corvus_opt::TwiceBytes(out)) / 2;
        if (plan.count == 2) {
            mid = CreateIntermediate(out, in, plan);
            bytes += corvus_opt::TwiceBytes(mid);
        }
        if (ctx->scratch == nullptr) ctx->scratch = CreateKernelScratch(kXyScratchBytes, "Pooling2D_opt");
        corvus_opt::SetKernelBytes(kernel, bytes);
        return 0;
    }
    const bool mainMemory = isMax && in->dtype == DT_FLOAT32 && share < shares;
    const Pool2DCtx* own = (const Pool2DCtx*)kernel->extra_resources;
    if (mainMemory) {
        MaxPool2D_fl32_passes(out, in, plan.count, plan.axis[0], (const Pool2DParams*)kernel->params, 0, UINT64_MAX);
        return 0;
    }
    if (plan.count == 1) return RunPass(share, shares, out, in, g, plan.axis[0], isMax, own ? own->scratch : nullptr);
    Pool2DCtx* ctx = Context(kernel);
    Tensor*& mid = ctx->mid;
    // A record executed without initialisation gets its intermediate now.
    const uint32_t a0 = plan.axis[0];
    if (mid == nullptr || mid->dtype != in->dtype || mid->shape.dimension[a0] != out->shape.dimension[a0] ||
        mid->shape.dimension[3 - a0] != in->shape.dimension[3 - a0] ||
        mid->shape.dimension[0] != in->shape.dimension[0] || mid->shape.dimension[3] != in->shape.dimension[3]) {
        DestroyTensor(mid);
        mid = CreateIntermediate(out, in, plan);
    }
    const int code = RunPass(share, shares, mid, in, g, plan.axis[0], isMax, ctx->scratch);
    if (code != 0) return code;
    return RunPass(share, shares, out, mid, g, plan.axis[1], isMax, ctx->scratch);
}

const Tensor* Input(const NNKernel* kernel)
{
    return kernel->inputsNum >= 1 && kernel->input != nullptr ? kernel->input[0] : nullptr;
}
Tensor* Output(const NNKernel* kernel)
{
    return kernel->outputsNum >= 1 && kernel->output != nullptr ? kernel->output[0] : nullptr;
}

int PoolLayer(int32_t share, int32_t shares, NNKernel* kernel, bool isMax)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    if (kernel->params == nullptr) return kRefused;
    return Pool2D(share, shares, kernel, Output(kernel), Input(kernel), FromParams((const Pool2DParams*)kernel->params),
                  isMax);
}

// Global pooling: one window over the whole image; a 2-D output {N, C} is
// pooled through a {N, 1, 1, C} view of it.
struct GlobalView {
    Tensor view;
    Tensor* out;
    Geometry g;
};

bool MakeGlobal(const NNKernel* kernel, GlobalView* v)
{
    const Tensor* in = Input(kernel);
    Tensor* out = Output(kernel);
    if (in == nullptr || out == nullptr || in->ndim != 4) return false;
    v->out = out;
    if (out->ndim == 2) {
        v->view = *out;
        v->view.allocatedData = false;
        v->view.ndim = 4;
        v->view.layout = DL_NHWC;
        const uint32_t C = out->shape.dimension[1];
        v->view.shape.dimension[1] = v->view.shape.dimension[2] = 1;
        v->view.shape.dimension[3] = C;
        v->view.stride.dimension[3] = out->stride.dimension[1];
        v->view.stride.dimension[1] = v->view.stride.dimension[2] = C;
        v->view.shape.dimension[4] = v->view.shape.dimension[5] = 0;
        v->out = &v->view;
    }
    Geometry& g = v->g;
    g.window[0] = in->shape.dimension[1];
    g.window[1] = in->shape.dimension[2];
    g.stride[0] = g.stride[1] = 1;
    g.padBegin[0] = g.padBegin[1] = g.padEnd[0] = g.padEnd[1] = 0;
    g.paddingMode = POOL_PADDING_ZEROS;
    return true;
}

// Float32 global average, one pass over the image: each channel's sum in
// float32 over the rows (outer) and columns (inner), then divided by the
// cell count as the averaging window does (a float32 count, which stops
// growing at 2^24). The pixels are read in memory order, all of a run of
// up to kSumChannels channels at each, into sums that stay in the first-level
// cache: a pass per block of channels held in registers would read the
// image in strides that the hardware does not fetch ahead.
constexpr uint32_t kSumChannels = 512;

void GlobalAverageF32(Tensor* out, const Tensor* in)
{
    const uint32_t N = in->shape.dimension[0], H = in->shape.dimension[1], W = in->shape.dimension[2];
    const uint32_t C = in->shape.dimension[3];
    const int64_t is[3] = {in->stride.dimension[0], in->stride.dimension[1], in->stride.dimension[2]};
    const uint64_t cells = (uint64_t)H * W;
    const float count = cells < (1u << 24) ? (float)cells : 16777216.0f;
    alignas(64) float sums[kSumChannels];
    for (uint32_t n = 0; n < N; ++n) {
        float* y = (float*)out->data + (int64_t)n * out->stride.dimension[0];
        for (uint32_t c0 = 0; c0 < C; c0 += kSumChannels) {
            const uint32_t m = std::min(kSumChannels, C - c0);
            const float* x = (const float*)in->data + n * is[0] + c0;
            std::fill(sums, sums + m, 0.0f);
            for (uint32_t h = 0; h < H; ++h)
                for (uint32_t w = 0; w < W; ++w) {
                    const float* p = x + h * is[1] + w * is[2];
                    for (uint32_t c = 0; c < m; ++c) sums[c] += p[c];
                }
            for (uint32_t c = 0; c < m; ++c) y[c0 + c] = sums[c] / count;
        }
    }
}

int GlobalLayer(int32_t share, int32_t shares, NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    GlobalView v;
    if (!MakeGlobal(kernel, &v)) return kRefused;
    const Tensor* in = Input(kernel);
    // An empty image has no window to average; the reference kernel decides.
    if (in->shape.dimension[1] == 0 || in->shape.dimension[2] == 0) return kRefused;
    if (v.out->ndim != 4 || v.out->shape.dimension[1] != 1 || v.out->shape.dimension[2] != 1) return kRefused;
    if (in->dtype != DT_FLOAT32 || Refusal(v.out, in, v.g) != nullptr)
        return Pool2D(share, shares, kernel, v.out, in, v.g, false);
    // Float32 needs neither the intermediate nor the scratch.
    if (share == kProbe) return 0;
    if (share == kInit) {
        corvus_opt::SetKernelBytes(kernel, (corvus_opt::TwiceBytes(in) + corvus_opt::TwiceBytes(v.out)) / 2);
        return 0;
    }
    if (share >= shares || GetTensorSize(v.out) == 0) return 0;
    CV_CHECK_PTR(in->data);
    CV_CHECK_PTR(v.out->data);
    GlobalAverageF32(v.out, in);
    return 0;
}

void Fail(const char* fn, int code)
{
    if (code != 0) CV_FATAL("%s error %d", fn, code);
}

const char* ProbeMessage(int code) { return code == 0 ? nullptr : "configuration refused (code -1)"; }

}  // namespace

extern "C" {

// Float32 max pooling of two passes, height first, in shares of output rows
// (of every image). The intermediate made at initialisation fixes the row
// count a split was made for. 0 units for other plans: the layer is split some other way.
uint64_t MaxPool2D_opt_ShareUnits(NNKernel* kernel, uint64_t* unitWork)
{
    if (kernel == nullptr || kernel->params == nullptr) return 0;
    const Tensor* in = Input(kernel);
    const Tensor* out = Output(kernel);
    const Geometry g = FromParams((const Pool2DParams*)kernel->params);
    if (Refusal(out, in, g) != nullptr || in->dtype != DT_FLOAT32) return 0;
    const Plan plan = MakePlan(out, in, g);
    const Pool2DCtx* ctx = (const Pool2DCtx*)kernel->extra_resources;
    if (plan.count != 2 || plan.axis[0] != 1 || ctx == nullptr || ctx->mid == nullptr) return 0;
    const uint64_t rows = out->shape.dimension[1];
    if (rows == 0 || GetTensorSize(in) == 0) return 0;
    // Work: every input element once, spread over the output rows.
    *unitWork = GetTensorSize(in) / rows + 1;
    return rows;
}

void MaxPool2D_opt_RunShare(NNKernel* kernel, uint64_t begin, uint64_t end, KernelScratch*)
{
    const Tensor* in = Input(kernel);
    Tensor* out = Output(kernel);
    const Geometry g = FromParams((const Pool2DParams*)kernel->params);
    const bool same = Refusal(out, in, g) == nullptr && in->dtype == DT_FLOAT32;
    const Plan plan = same ? MakePlan(out, in, g) : Plan{0, {0, 0}};
    const Pool2DCtx* ctx = (const Pool2DCtx*)kernel->extra_resources;
    const Tensor* mid = ctx != nullptr ? ctx->mid : nullptr;
    const bool ready =
        same && plan.count == 2 && plan.axis[0] == 1 && mid != nullptr && mid->dtype == DT_FLOAT32 &&
        mid->shape.dimension[1] == out->shape.dimension[1] && mid->shape.dimension[2] == in->shape.dimension[2] &&
        mid->shape.dimension[0] == in->shape.dimension[0] && mid->shape.dimension[3] == in->shape.dimension[3];
    if (!ready) {
        if (begin == 0) kernel->fn->execute(kernel);  // changed since the split: the first share runs it whole
        return;
    }
    MaxPool2D_fl32_passes(out, in, 2, 1, (const Pool2DParams*)kernel->params, begin, end);
}

int MaxPool2D_opt(int32_t share, int32_t shares, NNKernel* kernel) { return PoolLayer(share, shares, kernel, true); }
int AvgPool2D_opt(int32_t share, int32_t shares, NNKernel* kernel) { return PoolLayer(share, shares, kernel, false); }
int GlobalAvgPool2D_opt(int32_t share, int32_t shares, NNKernel* kernel) { return GlobalLayer(share, shares, kernel); }

void Init_MaxPool2D_opt(NNKernel* kernel) { Fail("Init_MaxPool2D_opt", MaxPool2D_opt(kInit, 1, kernel)); }
void Execute_MaxPool2D_opt(NNKernel* kernel) { Fail("Execute_MaxPool2D_opt", MaxPool2D_opt(0, 1, kernel)); }
void Init_AvgPool2D_opt(NNKernel* kernel) { Fail("Init_AvgPool2D_opt", AvgPool2D_opt(kInit, 1, kernel)); }
void Execute_AvgPool2D_opt(NNKernel* kernel) { Fail("Execute_AvgPool2D_opt", AvgPool2D_opt(0, 1, kernel)); }
void Init_GlobalAvgPool2D_opt(NNKernel* kernel)
{
    Fail("Init_GlobalAvgPool2D_opt", GlobalAvgPool2D_opt(kInit, 1, kernel));
}
void Execute_GlobalAvgPool2D_opt(NNKernel* kernel)
{
    Fail("Execute_GlobalAvgPool2D_opt", GlobalAvgPool2D_opt(0, 1, kernel));
}

// The three destroy functions release the intermediate tensor and the scratch.
void Destroy_MaxPool2D_opt(NNKernel* kernel)
{
    if (kernel == nullptr) return;
    Pool2DCtx* ctx = (Pool2DCtx*)kernel->extra_resources;
    if (ctx != nullptr) {
        DestroyTensor(ctx->mid);
        DestroyKernelScratch(ctx->scratch);
        free(ctx);
    }
    kernel->extra_resources = nullptr;
}
void Destroy_AvgPool2D_opt(NNKernel* kernel) { Destroy_MaxPool2D_opt(kernel); }
void Destroy_GlobalAvgPool2D_opt(NNKernel* kernel) { Destroy_MaxPool2D_opt(kernel); }

const char* Probe_MaxPool2D_opt(const NNKernel* kernel)
{
    if (kernel == nullptr || kernel->params == nullptr) return "kernel or params is null";
    const char* r = Refusal(Output(kernel), Input(kernel), FromParams((const Pool2DParams*)kernel->params));
    return r != nullptr ? r : ProbeMessage(MaxPool2D_opt(kProbe, 1, (NNKernel*)kernel));
}
const char* Probe_AvgPool2D_opt(const NNKernel* kernel)
{
    if (kernel == nullptr || kernel->params == nullptr) return "kernel or params is null";
    const char* r = Refusal(Output(kernel), Input(kernel), FromParams((const Pool2DParams*)kernel->params));
    return r != nullptr ? r : ProbeMessage(AvgPool2D_opt(kProbe, 1, (NNKernel*)kernel));
}
const char* Probe_GlobalAvgPool2D_opt(const NNKernel* kernel)
{
    if (kernel == nullptr) return "kernel is null";
    return ProbeMessage(GlobalAvgPool2D_opt(kProbe, 1, (NNKernel*)kernel));
}

extern const NNKernelFn nn_kernel_fn_MaxPool2D_opt = {Execute_MaxPool2D_opt, Init_MaxPool2D_opt, nullptr,
                                                      Destroy_MaxPool2D_opt};
extern const NNKernelFn nn_kernel_fn_AvgPool2D_opt = {Execute_AvgPool2D_opt, Init_AvgPool2D_opt, nullptr,
                                                      Destroy_AvgPool2D_opt};
extern const NNKernelFn nn_kernel_fn_GlobalAvgPool2D_opt = {Execute_GlobalAvgPool2D_opt, Init_GlobalAvgPool2D_opt,
                                                            nullptr, Destroy_GlobalAvgPool2D_opt};

}  // extern "C"
