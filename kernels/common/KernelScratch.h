// Scratch memory of a kernel: allocated once when the kernel is initialised
// and released with it, so executions never allocate. The optimised kernels
// keep one block-transfer scratch block (kXyScratchBytes) in their
// extra_resources or context; each share of a split layer has its own.
// Failures here carry one wording, prefixed with the owner's name.
#ifndef CORVUS_KERNELS_COMMON_KERNELSCRATCH_H
#define CORVUS_KERNELS_COMMON_KERNELSCRATCH_H

#include <cstddef>
#include <cstdint>

#include "Layers.h"
#include "nn_kernels/dma/xydma.h"

// Carve() hands out consecutive aligned pieces from `used` on.
struct KernelScratch {
    uint8_t* data;
    size_t bytes;
    size_t used;
};
KernelScratch* CreateKernelScratch(size_t bytes, const char* owner);
void DestroyKernelScratch(KernelScratch* scratch);
void* CarveKernelScratch(KernelScratch* scratch, size_t bytes, const char* owner);

// Zeroed memory starting on a cache line (null when it cannot be had),
// released with FreeZeroedAligned: tensor data and the planned buffer of a
// model's intermediate tensors, so that whole-vector loads and stores of rows
// whose length is a multiple of 64 bytes never straddle two lines. It comes
// from calloc, so pages the system hands over zeroed stay untouched (and out
// of the resident set) until used.
void* AllocZeroedAligned(size_t bytes);
void FreeZeroedAligned(void* p);

// One block-transfer scratch block and the margin kept past its end.
constexpr size_t kXyScratchBytes = (size_t)xySize + xyExtra;

// For kernels whose only resource is their scratch: init keeps (or makes) a
// scratch of at least `bytes` in kernel->extra_resources, destroy releases it.
void InitKernelScratch(NNKernel* kernel, size_t bytes, const char* owner);
void ReleaseKernelScratch(NNKernel* kernel);
// The scratch that InitKernelScratch stored (null: none).
KernelScratch* KernelScratchOf(const NNKernel* kernel);

// The block of one execution: `own` when it holds `bytes`, else a block for
// this call only (a kernel run without initialisation, or an engine called
// outside a kernel).
class ScratchBlock {
public:
    ScratchBlock(KernelScratch* own, size_t bytes, const char* owner);
    ~ScratchBlock();
    ScratchBlock(const ScratchBlock&) = delete;
    ScratchBlock& operator=(const ScratchBlock&) = delete;
    uint8_t* data() const { return data_; }

private:
    KernelScratch* temp_ = nullptr;
    uint8_t* data_ = nullptr;
};

#endif
