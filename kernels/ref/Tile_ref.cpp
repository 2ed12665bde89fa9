// Tile: the input repeated along every dimension.
#define CORVUS_MODULE "Tile_ref"
#include "LayersDataMovement.h"
#include "Report.h"
#include "common/KernelChecks.h"
#include "common/StridedCopy.h"

using corvus::dm::ShapeText;

namespace {

// Output coordinate o takes input coordinate o mod input extent. The input
// is copied once into the output's first block; then, from the innermost
// dimension outwards, the filled part is doubled along that dimension until
// it covers the output's extent, so every copy moves long runs.
void TileLoop(Tensor* out, const Tensor* in)
{
    const uint32_t n = out->ndim;
    const uint32_t esize = DataTypeSize((DataType)out->dtype);
    int64_t dst[MAX_NDIM_VALUE], src[MAX_NDIM_VALUE];
    corvus::dm::ByteStrides(out, dst);
    corvus::dm::ByteStrides(in, src);
    corvus::dm::StridedCopy(out->data, dst, in->data, src, in->shape.dimension, n, esize);

    uint8_t* base = (uint8_t*)out->data;
    uint32_t block[MAX_NDIM_VALUE];
    for (uint32_t d = 0; d < n; ++d) block[d] = in->shape.dimension[d];
    for (int d = (int)n - 1; d >= 0; --d) {
        const uint32_t unit = in->shape.dimension[d];
        const uint32_t copies = out->shape.dimension[d] / unit;
        for (uint32_t filled = 1; filled < copies;) {
            const uint32_t chunk = filled < copies - filled ? filled : copies - filled;
            block[d] = chunk * unit;
            corvus::dm::StridedCopy(base + (int64_t)filled * unit * dst[d], dst, base, dst, block, n, esize);
            filled += chunk;
        }
        block[d] = out->shape.dimension[d];
    }
}

}  // namespace

extern "C" {

void Tile_ref(Tensor* out, const Tensor* in, const Tensor* repeats)
{
    CheckTensorData(in, "Tile_ref", "input");
    CheckTensorData(out, "Tile_ref", "output");
    CheckTensorData(repeats, "Tile_ref", "repeats");
    if (repeats->ndim != 1) CV_FATAL("repeats tensor must be 1D");
    if (repeats->dtype != DT_UINT32) CV_FATAL("repeats tensor must be uint32");
    if (repeats->shape.dimension[0] != in->ndim) CV_FATAL("repeats tensor size and input tensor ndim must be the same");
    if (in->dtype != out->dtype) CV_FATAL("input and output tensors must have the same data type");
    if (in->ndim != out->ndim)
        CV_FATAL("input and output tensors must have the same ndim value.\ninput->ndim: %d, output->ndim: %d",
                 (int)in->ndim, (int)out->ndim);
    const uint32_t* rep = (const uint32_t*)repeats->data;
    for (uint32_t d = 0; d < in->ndim; ++d) {
        const uint64_t extent = (uint64_t)in->shape.dimension[d] * rep[(size_t)d * repeats->stride.dimension[0]];
        if (out->shape.dimension[d] != extent)
            CV_FATAL("Tile_ref: output shape %s is not input shape %s tiled by the repeats", ShapeText(out).c_str(),
                     ShapeText(in).c_str());
    }
    if (GetTensorSize(out) == 0) return;
    TileLoop(out, in);
}

void Execute_Tile_Ref(NNKernel* kernel)
{
    CV_CHECK_KERNEL(kernel, "kernel pointer is null");
    CheckKernelTensors(kernel, 2, 1, "Execute_Tile_Ref");
    Tile_ref(kernel->output[0], kernel->input[0], kernel->input[1]);
}

extern "C" const NNKernelFn nn_kernel_fn_Tile_ref = {Execute_Tile_Ref, nullptr, nullptr, nullptr};

}  // extern "C"
