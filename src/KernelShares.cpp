#define CORVUS_MODULE "KernelShares"
#include "KernelShares.h"

#include <cstdlib>
#include <cstring>

#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "LayersDataMovement.h"
#include "Report.h"
#include "ThreadPool.h"
#include "nn_kernels/OptKernels.h"

extern "C" const NNKernelFn nn_kernel_fn_Conv2D_ref;
extern "C" const NNKernelFn nn_kernel_fn_DWConvolution_ref;
extern "C" const NNKernelFn nn_kernel_fn_Dense_ref;
extern "C" const NNKernelFn nn_kernel_fn_MaxPool2D_opt;
extern "C" const NNKernelFn nn_kernel_fn_AvgPool2D_opt;
extern "C" const NNKernelFn nn_kernel_fn_GlobalAvgPool2D_opt;
extern "C" const NNKernelFn nn_kernel_fn_Activation;
extern "C" const NNKernelFn nn_kernel_fn_Activation_fl32_ref;
extern "C" const NNKernelFn nn_kernel_fn_Concatenate_opt;
extern "C" const NNKernelFn nn_kernel_fn_AddBroadcast_opt;
extern "C" const NNKernelFn nn_kernel_fn_SubBroadcast_opt;
extern "C" const NNKernelFn nn_kernel_fn_MulBroadcast_opt;
extern "C" const NNKernelFn nn_kernel_fn_DivBroadcast_opt;

namespace {

// Element-wise activations of dense float32 tensors: a share is a run of
// elements, computed through one-dimensional views by the same function the
// whole kernel calls. Kinds that look at more than one element (Softmax) or
// whose path depends on the layout stay whole.
constexpr uint64_t kActivationBlock = 256;  // elements per unit
constexpr uint64_t kActivationWork = 8;     // work of one element, in multiply-adds

uint64_t Activation_ShareUnits(NNKernel* kernel, uint64_t* unitWork)
{
    if (kernel->params == nullptr || kernel->inputsNum < 1 || kernel->outputsNum < 1) return 0;
    const Tensor* in = kernel->input[0];
    const Tensor* out = kernel->output[0];
    switch (((const ActivationParams*)kernel->params)->type) {
    case ReLU:
    case ReLU6:
    case LeakyReLU:
    case Tanh:
    case Sigmoid:
    case XmulSigmX:
        break;
    default:
        return 0;
    }
    if (in == nullptr || out == nullptr || in->dtype != DT_FLOAT32 || out->dtype != DT_FLOAT32 || in->ndim == 0 ||
        !IsSerialData(in) || !IsSerialData(out) || GetTensorSize(in) != GetTensorSize(out))
        return 0;
    *unitWork = kActivationBlock * kActivationWork;
    return (GetTensorSize(in) + kActivationBlock - 1) / kActivationBlock;
}

void Activation_RunShare(NNKernel* kernel, uint64_t begin, uint64_t end, KernelScratch*)
{
    const Tensor* in = kernel->input[0];
    Tensor* out = kernel->output[0];
    const uint64_t size = GetTensorSize(in), a = begin * kActivationBlock;
    const uint64_t b = end * kActivationBlock < size ? end * kActivationBlock : size;
    if (!IsSerialData(in) || !IsSerialData(out) || a >= b) {
        if (begin == 0) kernel->fn->execute(kernel);  // changed since the split: the first share runs it whole
        return;
    }
    Tensor vin = *in, vout = *out;
    for (Tensor* v : {&vin, &vout}) {
        v->ndim = 1;
        v->shape.dimension[0] = (uint32_t)(b - a);
        v->stride.dimension[0] = 1;
        v->allocatedData = false;
    }
    vin.data = (float*)in->data + a;
    vout.data = (float*)out->data + a;
    Activation_fl32_ref(&vout, &vin, (const ActivationParams*)kernel->params);
}

// Arithmetic of two dense float32 tensors of one shape (residual sums, no
// broadcasting): a share is a run of elements through one-dimensional views,
// computed by the function the whole kernel calls. Each element is one
// correctly rounded operation and an exact clamp, whatever the loop.
typedef void (*ArithmeticFn)(uint32_t, Tensor*, const Tensor*, const Tensor*, const BroadcastParams*);

ArithmeticFn ArithmeticOf(const NNKernel* kernel)
{
    const NNKernelFn* fn = kernel->fn;
    return fn == &nn_kernel_fn_AddBroadcast_opt   ? AddBroadcast_opt
           : fn == &nn_kernel_fn_SubBroadcast_opt ? SubBroadcast_opt
           : fn == &nn_kernel_fn_MulBroadcast_opt ? MulBroadcast_opt
                                                  : DivBroadcast_opt;
}

// The element count; 0 where the whole kernel takes another path.
uint64_t ArithmeticSize(const NNKernel* kernel)
{
    if (kernel->params == nullptr || kernel->inputsNum < 2 || kernel->outputsNum < 1) return 0;
    const Tensor* t[3] = {kernel->output[0], kernel->input[0], kernel->input[1]};
    for (const Tensor* x : t)
        if (x == nullptr || x->dtype != DT_FLOAT32 || x->ndim != t[0]->ndim || x->ndim == 0 || !IsSerialData(x) ||
            memcmp(x->shape.dimension, t[0]->shape.dimension, sizeof(uint32_t) * x->ndim) != 0)
            return 0;
    return GetTensorSize(t[0]);
}

uint64_t Arithmetic_ShareUnits(NNKernel* kernel, uint64_t* unitWork)
{
    const uint64_t size = ArithmeticSize(kernel);
    // Sixteen multiply-adds an element: a layer run whole on two cores reads
    // half its inputs from the other core's cache, which costs more than a
    // share (MobileNetV2's residual sums of 8 K elements split in two).
    *unitWork = kActivationBlock * 16;
    return (size + kActivationBlock - 1) / kActivationBlock;
}

void Arithmetic_RunShare(NNKernel* kernel, uint64_t begin, uint64_t end, KernelScratch*)
{
    const uint64_t size = ArithmeticSize(kernel), a = begin * kActivationBlock;
    const uint64_t b = end * kActivationBlock < size ? end * kActivationBlock : size;
    if (a >= b || kernel->output[0]->data == nullptr || kernel->input[0]->data == nullptr ||
        kernel->input[1]->data == nullptr) {
        if (begin == 0) kernel->fn->execute(kernel);  // changed since the split: the first share runs it whole
        return;
    }
    Tensor v[3] = {*kernel->output[0], *kernel->input[0], *kernel->input[1]};
    for (Tensor& t : v) {
        t.ndim = 1;
        t.shape.dimension[0] = (uint32_t)(b - a);
        t.stride.dimension[0] = 1;
        t.allocatedData = false;
        t.data = (float*)t.data + a;
    }
    ArithmeticOf(kernel)(1, &v[0], &v[1], &v[2], (const BroadcastParams*)kernel->params);
}

// Concatenation of dense tensors along an axis past the first: every row
// outside the axis is the inputs' blocks in input order, so a share is a
// run of rows, copied block by block as the whole kernel copies them.
constexpr uint64_t kConcatRows = 16;  // rows per unit
// Work of one element copied, in multiply-adds: a copy is cheap, but a layer
// run whole on two cores reads half its input from the other core's cache,
// which costs more than waking it.
constexpr uint64_t kConcatWork = 4;

// The rows outside the axis; 0 where the whole kernel takes another path.
uint64_t ConcatRows(NNKernel* kernel)
{
    if (kernel->params == nullptr || kernel->outputsNum < 1 || kernel->input == nullptr) return 0;
    const Tensor* out = kernel->output[0];
    const uint32_t axis = ((const MergeParams*)kernel->params)->axis;
    if (out == nullptr || axis == 0 || axis >= out->ndim || !IsSerialData(out) || out->data == nullptr) return 0;
    uint64_t sum = 0, rows = 1;
    for (uint32_t n = 0; n < kernel->inputsNum; ++n) {
        const Tensor* t = kernel->input[n];
        if (t == nullptr || t->ndim != out->ndim || t->dtype != out->dtype || !IsSerialData(t) || t->data == nullptr)
            return 0;
        for (uint32_t d = 0; d < out->ndim; ++d)
            if (d != axis && t->shape.dimension[d] != out->shape.dimension[d]) return 0;
        sum += t->shape.dimension[axis];
    }
    if (sum != out->shape.dimension[axis]) return 0;
    for (uint32_t d = 0; d < axis; ++d) rows *= out->shape.dimension[d];
    return rows;
}

uint64_t Concat_ShareUnits(NNKernel* kernel, uint64_t* unitWork)
{
    const uint64_t rows = ConcatRows(kernel);
    if (rows == 0) return 0;
    *unitWork = GetTensorSize(kernel->output[0]) / rows * kConcatRows * kConcatWork;
    return (rows + kConcatRows - 1) / kConcatRows;
}

void Concat_RunShare(NNKernel* kernel, uint64_t begin, uint64_t end, KernelScratch*)
{
    const uint64_t rows = ConcatRows(kernel);
    if (rows == 0 || begin * kConcatRows >= rows) {
        if (begin == 0) kernel->fn->execute(kernel);  // changed since the split: the first share runs it whole
        return;
    }
    const Tensor* out = kernel->output[0];
    const uint32_t axis = ((const MergeParams*)kernel->params)->axis;
    uint64_t inner = DataTypeSize((DataType)out->dtype);
    for (uint32_t d = axis + 1; d < out->ndim; ++d) inner *= out->shape.dimension[d];
    const uint64_t rowBytes = inner * out->shape.dimension[axis];
    const uint64_t last = end * kConcatRows < rows ? end * kConcatRows : rows;
    for (uint64_t r = begin * kConcatRows; r < last; ++r) {
        uint8_t* dst = (uint8_t*)out->data + r * rowBytes;
        for (uint32_t n = 0; n < kernel->inputsNum; ++n) {
            const uint64_t bytes = kernel->input[n]->shape.dimension[axis] * inner;
            if (bytes == 0) continue;
            memcpy(dst, (const uint8_t*)kernel->input[n]->data + r * bytes, bytes);
            dst += bytes;
        }
    }
}

uint64_t gMinShareWork = kMinShareWork;

const SplitFamily kFamilies[] = {
    {&nn_kernel_fn_Conv2D_ref, Conv2D_ref_ShareUnits, Conv2D_ref_ShareScratch, Conv2D_ref_RunShare},
    {&nn_kernel_fn_DWConvolution_ref, DWConvolution_ref_ShareUnits, nullptr, DWConvolution_ref_RunShare},
    {&nn_kernel_fn_Activation, Activation_ShareUnits, nullptr, Activation_RunShare},
    {&nn_kernel_fn_Activation_fl32_ref, Activation_ShareUnits, nullptr, Activation_RunShare},
    {&nn_kernel_fn_Concatenate_opt, Concat_ShareUnits, nullptr, Concat_RunShare},
    {&nn_kernel_fn_MaxPool2D_opt, MaxPool2D_opt_ShareUnits, nullptr, MaxPool2D_opt_RunShare},
    {&nn_kernel_fn_AddBroadcast_opt, Arithmetic_ShareUnits, nullptr, Arithmetic_RunShare},
    {&nn_kernel_fn_SubBroadcast_opt, Arithmetic_ShareUnits, nullptr, Arithmetic_RunShare},
    {&nn_kernel_fn_MulBroadcast_opt, Arithmetic_ShareUnits, nullptr, Arithmetic_RunShare},
    {&nn_kernel_fn_DivBroadcast_opt, Arithmetic_ShareUnits, nullptr, Arithmetic_RunShare},
};

const SplitFamily* FindFamily(const NNKernelFn* fn)
{
    for (const SplitFamily& f : kFamilies)
        if (fn != nullptr && f.fn == fn) return &f;
    return nullptr;
}

// Kernels whose outputs split along one dimension into independent slices
// (channels of pooling, units of Dense): a share is the kernel itself run
// on views of that slice. Each slot names the dimension cut (-1: whole).
// The cuts fall on multiples of `align` so the vector blocks stay those of
// the whole kernel.
struct SlicedFamily {
    const NNKernelFn* fn;
    int input0, output0, inner0, inner1;
    uint32_t align;
};
constexpr int kWhole = -1;
constexpr int kLast = -2;  // the last dimension
const SlicedFamily kSliced[] = {
    {&nn_kernel_fn_MaxPool2D_opt, 3, 3, kWhole, kWhole, 16},
    {&nn_kernel_fn_AvgPool2D_opt, 3, 3, kWhole, kWhole, 16},
    {&nn_kernel_fn_GlobalAvgPool2D_opt, 3, kLast, kWhole, kWhole, 16},
    {&nn_kernel_fn_Dense_ref, kWhole, 1, 1, 0, 32},
};

const SlicedFamily* FindSliced(const NNKernelFn* fn)
{
    for (const SlicedFamily& f : kSliced)
        if (fn != nullptr && f.fn == fn) return &f;
    return nullptr;
}

int CutDim(int dim, const Tensor* t) { return dim == kLast ? (int)t->ndim - 1 : dim; }

// One share: units [begin, end) of the layer's main kernel, computed by the
// family's range function or by `sub`, the kernel over views of the slice.
struct CoreShare {
    NNKernel* main;
    const SplitFamily* family;
    const SlicedFamily* sliced;
    uint64_t begin, end;
    KernelScratch* scratch;
    NNKernel* sub;
};

// Points a view at its slice of the source: the source's data may have been
// re-pointed since the split. False when the source no longer has the
// shape the view was cut from.
bool AimView(Tensor* view, const Tensor* src, int dim, uint64_t begin, uint64_t end)
{
    if (src == nullptr || src->ndim != view->ndim || src->dtype != view->dtype) return false;
    for (uint32_t d = 0; d < src->ndim; ++d)
        if (src->stride.dimension[d] != view->stride.dimension[d] ||
            ((int)d != dim && src->shape.dimension[d] != view->shape.dimension[d]))
            return false;
    if (dim < 0) {
        view->data = src->data;
        return true;
    }
    if (end > src->shape.dimension[dim]) end = src->shape.dimension[dim];
    if (begin >= end || view->shape.dimension[dim] != end - begin) return false;
    view->data = src->data == nullptr
                     ? nullptr
                     : (uint8_t*)src->data + begin * src->stride.dimension[dim] * DataTypeSize((DataType)src->dtype);
    return true;
}

Tensor* NewView(const Tensor* src, int dim, uint64_t begin, uint64_t end)
{
    Tensor* v = CreateEmptyTensor();
    *v = *src;
    v->allocatedData = false;
    if (dim >= 0)
        v->shape.dimension[dim] =
            (uint32_t)((end < src->shape.dimension[dim] ? end : src->shape.dimension[dim]) - begin);
    AimView(v, src, dim, begin, end);
    return v;
}

// The slices of the share; false when the main kernel changed shape.
bool AimSub(CoreShare* s)
{
    const SlicedFamily* f = s->sliced;
    NNKernel* m = s->main;
    NNKernel* sub = s->sub;
    const uint64_t a = s->begin * f->align, b = s->end * f->align;
    bool ok = AimView(sub->input[0], m->input[0], f->input0 == kWhole ? -1 : CutDim(f->input0, m->input[0]), a, b) &&
              AimView(sub->output[0], m->output[0], CutDim(f->output0, m->output[0]), a, b);
    for (uint32_t i = 0; ok && i < sub->innerNum; ++i) {
        const int dim = i == 0 ? f->inner0 : f->inner1;
        if (sub->inner[i] != nullptr) ok = AimView(sub->inner[i], m->inner[i], dim == kWhole ? -1 : dim, a, b);
    }
    return ok;
}

void DestroySub(NNKernel* sub)
{
    if (sub == nullptr) return;
    if (sub->fn != nullptr && sub->fn->destroy != nullptr) sub->fn->destroy(sub);
    for (uint32_t i = 0; i < sub->inputsNum; ++i) DestroyTensor(sub->input[i]);
    for (uint32_t i = 0; i < sub->outputsNum; ++i) DestroyTensor(sub->output[i]);
    for (uint32_t i = 0; i < sub->innerNum; ++i) DestroyTensor(sub->inner[i]);
    free(sub->input);
    free(sub->output);
    free(sub->inner);
    free(sub);
}

// The kernel over views of units [begin, end), initialised like the layer's.
NNKernel* NewSub(NNKernel* m, const SlicedFamily* f, uint64_t begin, uint64_t end)
{
    NNKernel* sub = (NNKernel*)calloc(1, sizeof(NNKernel));
    CV_CHECK_PTR(sub);
    sub->fn = m->fn;
    sub->params = m->params;  // borrowed: the sub never frees it
    sub->coresNumber = 1;
    const uint64_t a = begin * f->align, b = end * f->align;
    sub->inputsNum = 1;
    sub->outputsNum = 1;
    sub->innerNum = f->inner0 == kWhole ? 0 : m->innerNum < 2 ? m->innerNum : 2;
    sub->input = (Tensor**)calloc(1, sizeof(Tensor*));
    sub->output = (Tensor**)calloc(1, sizeof(Tensor*));
    sub->inner = sub->innerNum > 0 ? (Tensor**)calloc(sub->innerNum, sizeof(Tensor*)) : nullptr;
    if (sub->input == nullptr || sub->output == nullptr || (sub->innerNum > 0 && sub->inner == nullptr))
        CV_FATAL("Cannot allocate a core kernel's tensors");
    sub->input[0] = NewView(m->input[0], f->input0 == kWhole ? -1 : CutDim(f->input0, m->input[0]), a, b);
    sub->output[0] = NewView(m->output[0], CutDim(f->output0, m->output[0]), a, b);
    for (uint32_t i = 0; i < sub->innerNum; ++i) {
        const int dim = i == 0 ? f->inner0 : f->inner1;
        if (m->inner[i] != nullptr) sub->inner[i] = NewView(m->inner[i], dim == kWhole ? -1 : dim, a, b);
    }
    if (sub->fn->init != nullptr) sub->fn->init(sub);
    return sub;
}

// Units of a sliced kernel: blocks of `align` along the output's cut.
uint64_t SlicedUnits(NNKernel* m, const SlicedFamily* f, uint64_t* unitWork)
{
    if (m->inputsNum < 1 || m->outputsNum < 1 || m->input[0] == nullptr || m->output[0] == nullptr) return 0;
    const Tensor* out = m->output[0];
    const Tensor* in = m->input[0];
    const int dim = CutDim(f->output0, out);
    if (dim < 0 || dim >= (int)out->ndim) return 0;
    if (f->inner0 != kWhole && (m->innerNum < 1 || m->inner[0] == nullptr)) return 0;
    const uint64_t extent = out->shape.dimension[dim];
    if (extent == 0) return 0;
    // Work of one unit: every input element of the slice once (pooling), or
    // the whole input per output unit (Dense).
    const uint64_t inElems = GetTensorSize(in);
    *unitWork = f->inner0 == kWhole ? inElems / extent * f->align : inElems * f->align;
    return (extent + f->align - 1) / f->align;
}

void ExecuteShare(NNKernel* core)
{
    CoreShare* s = (CoreShare*)core->extra_resources;
    CV_CHECK_PTR(s);
    if (s->sub != nullptr) {
        if (AimSub(s))
            s->sub->fn->execute(s->sub);
        else if (s->begin == 0)
            s->main->fn->execute(s->main);  // changed since the split: the first share runs it whole
        return;
    }
    if (s->scratch != nullptr) s->scratch->used = 0;
    s->family->run(s->main, s->begin, s->end, s->scratch);
}

void DestroyShare(NNKernel* core)
{
    CoreShare* s = (CoreShare*)core->extra_resources;
    if (s == nullptr) return;
    DestroyKernelScratch(s->scratch);
    DestroySub(s->sub);
    free(s);
    core->extra_resources = nullptr;
}

const NNKernelFn kShareFn = {ExecuteShare, nullptr, nullptr, DestroyShare};

void RunShareTask(void* context, uint32_t index)
{
    NNKernel* core = ((Layer*)context)->coreKernels[index];
    core->fn->execute(core);
}

}  // namespace

uint64_t ShareCount(uint32_t cores, uint64_t units, uint64_t work)
{
    // Several shares per core, so that the threads still running take over
    // the shares of one the host preempts; each of at least gMinShareWork,
    // and at most one per unit.
    uint64_t shares = (uint64_t)cores * kSharesPerCore;
    if (shares > MAX_CORE_KERNELS) shares = MAX_CORE_KERNELS;
    if (shares > units) shares = units;
    if (shares > work / gMinShareWork) shares = work / gMinShareWork;
    // Whole rounds of the cores: with every thread running, the last round
    // is one of the smallest shares (ShareBounds) for each.
    if (shares > cores) shares -= shares % cores;
    return shares;
}

void ShareBounds(uint64_t units, uint64_t shares, uint64_t* bounds)
{
    CV_CHECK(shares >= 1 && shares <= units && shares <= MAX_CORE_KERNELS);
    // Share i weighs its distance from the middle, plus one; units stay far
    // below 2^32, so the products fit.
    auto weight = [shares](uint64_t i) { return (shares + 1) / 2 - (i < shares - 1 - i ? i : shares - 1 - i); };
    uint64_t total = 0;
    for (uint64_t i = 0; i < shares; ++i) total += weight(i);
    uint64_t before = 0;
    bounds[0] = 0;
    for (uint64_t i = 1; i < shares; ++i) {
        before += weight(i - 1);
        uint64_t b = units * before / total;
        // At least one unit for this share and for each one after it.
        if (b > units - (shares - i)) b = units - (shares - i);
        if (b < bounds[i - 1] + 1) b = bounds[i - 1] + 1;
        bounds[i] = b;
    }
    bounds[shares] = units;
}

void ReleaseCoreKernels(Layer* layer)
{
    // Only the shares made here: core kernels recorded otherwise stay.
    for (NNKernel*& core : layer->coreKernels) {
        if (core == nullptr || core->fn != &kShareFn) continue;
        if (core->fn != nullptr && core->fn->destroy != nullptr) core->fn->destroy(core);
        free(core);
        core = nullptr;
    }
}

uint32_t SplitLayer(Layer* layer, uint32_t cores)
{
    CV_CHECK_PTR(layer);
    NNKernel* kernel = layer->kernel;
    const SplitFamily* family = kernel != nullptr ? FindFamily(kernel->fn) : nullptr;
    const SlicedFamily* sliced = kernel != nullptr ? FindSliced(kernel->fn) : nullptr;
    if ((family == nullptr && sliced == nullptr) || cores < 2 || GetKernelCoreCount(layer) != 0) return 0;
    uint64_t unitWork = 0;
    uint64_t units = family != nullptr ? family->units(kernel, &unitWork) : 0;
    // A kernel whose range function declines this configuration splits in
    // slices where it can.
    if (units == 0)
        family = nullptr;
    else
        sliced = nullptr;
    if (sliced != nullptr) units = SlicedUnits(kernel, sliced, &unitWork);
    const uint64_t work = unitWork != 0 && units > UINT64_MAX / unitWork ? UINT64_MAX : units * unitWork;
    const uint64_t shares = ShareCount(cores, units, work);
    if (shares < 2) return 0;
    const size_t scratchBytes = family != nullptr && family->scratchBytes != nullptr ? family->scratchBytes(kernel) : 0;
    uint64_t bytesLeft = kernel->totalBytes;
    uint64_t bounds[MAX_CORE_KERNELS + 1];
    ShareBounds(units, shares, bounds);
    for (uint64_t i = 0; i < shares; ++i) {
        NNKernel* core = (NNKernel*)calloc(1, sizeof(NNKernel));
        CoreShare* s = (CoreShare*)calloc(1, sizeof(CoreShare));
        if (core == nullptr || s == nullptr) {
            free(core);
            free(s);
            CV_FATAL("Cannot allocate core kernel %u of layer %s", (unsigned)i, layer->name);
        }
        s->main = kernel;
        s->family = family;
        s->sliced = sliced;
        s->begin = bounds[i];
        s->end = bounds[i + 1];
        s->scratch = scratchBytes > 0 ? CreateKernelScratch(scratchBytes, layer->name) : nullptr;
        s->sub = sliced != nullptr ? NewSub(kernel, sliced, s->begin, s->end) : nullptr;
        core->fn = &kShareFn;
        core->coresNumber = 1;
        core->extra_resources = s;
        // The layer's byte counters stay those of the whole kernel: the
        // shares split them by their units.
        core->totalBytes = i + 1 == shares ? bytesLeft : kernel->totalBytes / units * (s->end - s->begin);
        bytesLeft -= core->totalBytes;
        for (int c = 0; c < KERNEL_BYTES_CATEGORIES; ++c) core->bytesSize[c] = i == 0 ? kernel->bytesSize[c] : 0;
        layer->coreKernels[i] = core;
    }
    return (uint32_t)shares;
}

void ApplyModelCores(Model* model)
{
    CV_CHECK_PTR(model);
    // Layers made after the count was set (by graph optimisation) get it too.
    uint32_t cores = 1;
    for (uint32_t i = 0; i < model->numLayers; ++i)
        if (model->layers[i]->kernel->coresNumber > cores) cores = model->layers[i]->kernel->coresNumber;
    if (cores > MAX_CORE_KERNELS) cores = MAX_CORE_KERNELS;
    bool split = false;
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        Layer* layer = model->layers[i];
        ReleaseCoreKernels(layer);
        layer->kernel->coresNumber = cores;
        split = SplitLayer(layer, cores) > 0 || split;
    }
    corvus::ThreadPool* pool = (corvus::ThreadPool*)model->corePool;
    if (pool != nullptr && (!split || pool->Cores() != cores)) {
        delete pool;
        model->corePool = nullptr;
    }
    if (split && model->corePool == nullptr) model->corePool = new corvus::ThreadPool(cores);
}

void DestroyModelCores(Model* model)
{
    delete (corvus::ThreadPool*)model->corePool;
    model->corePool = nullptr;
}

void RunLayerShares(Model* model, Layer* layer)
{
    corvus::ThreadPool* pool = (corvus::ThreadPool*)model->corePool;
    uint32_t count = 0;
    while (count < MAX_CORE_KERNELS && layer->coreKernels[count] != nullptr) ++count;
    if (pool == nullptr || count != GetKernelCoreCount(layer)) {
        // Shares recorded by hand (with gaps): in slot order here.
        for (NNKernel* core : layer->coreKernels)
            if (core != nullptr) (core->fn != nullptr ? core->fn : layer->kernel->fn)->execute(core);
        return;
    }
    pool->Run(count, RunShareTask, layer);
}

void BeginCoresRun(Model* model)
{
    if (model->corePool != nullptr) ((corvus::ThreadPool*)model->corePool)->BeginRun();
}

void EndCoresRun(Model* model)
{
    if (model->corePool != nullptr) ((corvus::ThreadPool*)model->corePool)->EndRun();
}

uint64_t corvus_internal::SetMinShareWork(uint64_t work)
{
    const uint64_t previous = gMinShareWork;
    gMinShareWork = work > 0 ? work : 1;
    return previous;
}
