// Slice through strided views, and the grouped split that writes the
// outputs of several sibling slices of one input in one pass.
#define CORVUS_MODULE "Slice_opt"
#include <cstring>
#include <vector>

#include "LayersDataMovement.h"
#include "Report.h"
#include "nn_kernel_list.h"
#include "nn_kernels/OptKernels.h"
#include "opt/OptInternal.h"

namespace {

const char* CheckSplit(const Tensor* in, Tensor** out, uint32_t count, uint32_t axis, const uint32_t* starts,
                       bool execute)
{
    if (in == nullptr) return "in is NULL";
    if (!IsSerialData(in)) return "!IsSerialData(in)";
    if (axis >= in->ndim) return "axis >= in->ndim";
    if (count > 0 && out == nullptr) return "outputs are NULL";
    uint64_t next = 0;
    for (uint32_t n = 0; n < count; ++n) {
        const Tensor* o = out[n];
        if (o == nullptr) return "out[n] is NULL";
        if (in->ndim != o->ndim) return "in->ndim != out[n]->ndim";
        if (in->dtype != o->dtype) return "in->dtype != out[n]->dtype";
        if (!IsSerialData(o)) return "out[n] with holes not supported";
        for (uint32_t d = 0; d < in->ndim; ++d)
            if (d != axis && in->shape.dimension[d] != o->shape.dimension[d]) return "in->shape[d] != out->shape[d]";
        const uint64_t start = starts != nullptr ? starts[n] : next;
        next = start + o->shape.dimension[axis];
        if (next > in->shape.dimension[axis]) return "out[n] reaches beyond in along the axis";
        if (execute && GetTensorSize(o) != 0 && o->data == nullptr) return "out[n]->data is NULL";
    }
    if (execute && GetTensorSize(in) != 0 && in->data == nullptr) return "in->data is NULL";
    return nullptr;
}

// For every position outside the axis, each output takes one contiguous
// block of the input row; the input is read once, front to back.
void Split_mmFor(const Tensor* in, Tensor** out, uint32_t count, uint32_t axis, const uint32_t* starts)
{
    const uint32_t es = DataTypeSize((DataType)in->dtype);
    uint64_t outer = 1, inner = es;
    for (uint32_t d = 0; d < axis; ++d) outer *= in->shape.dimension[d];
    for (uint32_t d = axis + 1; d < in->ndim; ++d) inner *= in->shape.dimension[d];
    const uint64_t inRow = in->shape.dimension[axis] * inner;
    if (outer == 0 || inRow == 0) return;
    const uint8_t* src = (const uint8_t*)in->data;
    uint64_t next = 0;
    struct Piece {
        uint8_t* dst;
        uint64_t offset, bytes;
    };
    std::vector<Piece> piece(count);
    for (uint32_t n = 0; n < count; ++n) {
        const uint64_t start = starts != nullptr ? starts[n] : next;
        next = start + out[n]->shape.dimension[axis];
        piece[n] = {(uint8_t*)out[n]->data, start * inner, out[n]->shape.dimension[axis] * inner};
    }
    for (uint64_t r = 0; r < outer; ++r, src += inRow)
        for (uint32_t n = 0; n < count; ++n)
            if (piece[n].bytes != 0) memcpy(piece[n].dst + r * piece[n].bytes, src + piece[n].offset, piece[n].bytes);
}

void SliceView(Tensor* out, const Tensor* in, const SliceParams* p)
{
    if (in->dtype != out->dtype || in->ndim != out->ndim) CV_FATAL("in %s", "Execute_Slice_opt");
    if (in->ndim > MAX_NDIM_VALUE) CV_FATAL("Execute_Slice_opt error: tensors of %u dimensions", in->ndim);
    for (uint32_t d = 0; d < in->ndim; ++d)
        if (p->steps[d] < 0) {
            // Reversed walks are not expressible as views with unsigned
            // strides; kernel selection gives such slices the reference
            // kernel, and a layer bound here by hand still gets its result.
            Slice_ref(out, in, p);
            return;
        }
    const int64_t es = DataTypeSize((DataType)in->dtype);
    Tensor view = *in;
    view.allocatedData = false;
    int64_t offset = 0;
    bool empty = false;
    for (uint32_t d = 0; d < in->ndim; ++d) {
        const int64_t start = p->starts[d], end = p->ends[d], step = p->steps[d];
        const int64_t extent = step == 0 ? 0 : (end - start + step - 1) / step;
        const int64_t stride = (int64_t)step * in->stride.dimension[d];
        if (extent != (int64_t)out->shape.dimension[d] || stride > (int64_t)UINT32_MAX)
            CV_FATAL("Execute_Slice_opt error: dimension %u: start %d, end %d and step %d do not give the output "
                     "extent %u",
                     d, (int)start, (int)end, (int)step, out->shape.dimension[d]);
        if (extent == 0) {
            empty = true;
            continue;
        }
        if (start < 0 || start + (extent - 1) * step >= (int64_t)in->shape.dimension[d])
            CV_FATAL("Execute_Slice_opt error: dimension %u reads elements %lld to %lld of %u", d, (long long)start,
                     (long long)(start + (extent - 1) * step), in->shape.dimension[d]);
        offset += start * in->stride.dimension[d] * es;
        view.shape.dimension[d] = (uint32_t)extent;
        view.stride.dimension[d] = (uint32_t)stride;
    }
    if (empty) return;
    if (in->data == nullptr || out->data == nullptr) CV_FATAL("Execute_Slice_opt error: tensor data is NULL");
    view.data = (uint8_t*)in->data + offset;
    corvus_opt::CopyView(out, &view, "Execute_Slice_opt");
}

void SliceGroup(const Tensor* in, const SliceParams* p)
{
    if (p->mergedCount > SLICE_MAX_MERGED || p->splitAxis < 0)
        CV_FATAL("Split_noHoles error: %s", "the slice group record is damaged");
    const uint32_t count = (uint32_t)p->mergedCount;
    const uint32_t axis = (uint32_t)p->splitAxis;
    Tensor* outs[SLICE_MAX_MERGED];
    uint32_t starts[SLICE_MAX_MERGED];
    for (uint32_t n = 0; n < count; ++n) {
        const NNKernel* member = p->mergedKernels[n];
        if (member == nullptr || member->outputsNum < 1 || member->params == nullptr || axis >= MAX_NDIM_VALUE)
            CV_FATAL("Split_noHoles error: %s", "the slice group record is damaged");
        outs[n] = member->output[0];
        const int32_t start = ((const SliceParams*)member->params)->starts[axis];
        if (start < 0) CV_FATAL("Split_noHoles error: %s", "negative start along the axis");
        starts[n] = (uint32_t)start;
    }
    const char* reason = Split_noHoles(0, 1, in, outs, count, axis, starts);
    if (reason != nullptr) CV_FATAL("Split_noHoles error: %s", reason);
}

}  // namespace

extern "C" {

const char* Split_noHoles(int32_t mode, uint32_t cores, const Tensor* in, Tensor** outputs, uint32_t count,
                          uint32_t axis, const uint32_t* starts)
{
    (void)cores;  // one core: the whole split runs here
    const char* reason = CheckSplit(in, outputs, count, axis, starts, mode >= 0);
    if (reason != nullptr || mode < 0) return reason;
    Split_mmFor(in, outputs, count, axis, starts);
    return nullptr;
}

void Init_Slice_opt(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Slice: Kernel pointer is null");
    corvus_opt::SetKernelBytes(kernel, kernel->outputsNum > 0 ? corvus_opt::TwiceBytes(kernel->output[0]) : 0);
}

void Execute_Slice_opt(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "Function Slice: Kernel pointer is null");
    if (kernel->params == nullptr) CV_FATAL("Execute_Slice_opt error: params is NULL");
    if (kernel->inputsNum < 1 || kernel->outputsNum < 1 || kernel->input[0] == nullptr || kernel->output[0] == nullptr)
        CV_FATAL("Execute_Slice_opt error: the kernel needs an input and an output");
    const SliceParams* p = (const SliceParams*)kernel->params;
    if (p->mergedCount > 0)
        SliceGroup(kernel->input[0], p);
    else if (p->mergedCount == 0)
        SliceView(kernel->output[0], kernel->input[0], p);
    // Below 0: the leader of this slice's group writes its output.
}

extern "C" const NNKernelFn nn_kernel_fn_Slice_opt = {Execute_Slice_opt, Init_Slice_opt, nullptr, nullptr};

}  // extern "C"
