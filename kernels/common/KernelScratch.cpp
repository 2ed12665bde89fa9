#define CORVUS_MODULE "KernelScratch"
#include "common/KernelScratch.h"

#include <cstdlib>

#include "Report.h"

namespace {

constexpr size_t kScratchAlign = 64;  // a cache line; block transfers need 16

size_t Rounded(size_t bytes, const char* owner)
{
    if (bytes > SIZE_MAX - kScratchAlign) CV_FATAL("%s: cannot allocate %zu bytes of scratch memory", owner, bytes);
    return (bytes + kScratchAlign - 1) / kScratchAlign * kScratchAlign;
}

}  // namespace

// The byte before the returned block holds its distance (1 to 64) from the
// start of the calloc block.
void* AllocZeroedAligned(size_t bytes)
{
    if (bytes > SIZE_MAX - kScratchAlign) return nullptr;
    uint8_t* raw = (uint8_t*)calloc(bytes + kScratchAlign, 1);
    if (raw == nullptr) return nullptr;
    const size_t shift = kScratchAlign - (uintptr_t)raw % kScratchAlign;
    raw[shift - 1] = (uint8_t)shift;
    return raw + shift;
}

void FreeZeroedAligned(void* p)
{
    if (p == nullptr) return;
    uint8_t* block = (uint8_t*)p;
    free(block - block[-1]);
}

KernelScratch* CreateKernelScratch(size_t bytes, const char* owner)
{
    const size_t rounded = Rounded(bytes, owner);
    KernelScratch* s = (KernelScratch*)calloc(1, sizeof(KernelScratch));
    if (s == nullptr) CV_FATAL("%s: cannot allocate its scratch record", owner);
    if (rounded > 0) {
        s->data = (uint8_t*)aligned_alloc(kScratchAlign, rounded);
        if (s->data == nullptr) {
            free(s);
            CV_FATAL("%s: cannot allocate %zu bytes of scratch memory", owner, bytes);
        }
    }
    s->bytes = rounded;
    return s;
}

void DestroyKernelScratch(KernelScratch* scratch)
{
    if (scratch == nullptr) return;
    free(scratch->data);
    free(scratch);
}

void* CarveKernelScratch(KernelScratch* scratch, size_t bytes, const char* owner)
{
    if (scratch == nullptr) CV_FATAL("%s: no scratch memory", owner);
    const size_t rounded = Rounded(bytes, owner);
    if (rounded > scratch->bytes - scratch->used)
        CV_FATAL("%s: %zu bytes exceed the scratch memory left (%zu of %zu)", owner, bytes,
                 scratch->bytes - scratch->used, scratch->bytes);
    void* p = scratch->data + scratch->used;
    scratch->used += rounded;
    return p;
}

void InitKernelScratch(NNKernel* kernel, size_t bytes, const char* owner)
{
    CV_CHECK_PTR(kernel);
    KernelScratch* s = KernelScratchOf(kernel);
    if (s != nullptr && s->bytes >= bytes) return;  // initialised again: the block is kept
    ReleaseKernelScratch(kernel);
    kernel->extra_resources = CreateKernelScratch(bytes, owner);
}

void ReleaseKernelScratch(NNKernel* kernel)
{
    if (kernel == nullptr) return;
    DestroyKernelScratch(KernelScratchOf(kernel));
    kernel->extra_resources = nullptr;
}

KernelScratch* KernelScratchOf(const NNKernel* kernel)
{
    return kernel != nullptr ? (KernelScratch*)kernel->extra_resources : nullptr;
}

ScratchBlock::ScratchBlock(KernelScratch* own, size_t bytes, const char* owner)
{
    if (own == nullptr || own->bytes < bytes) own = temp_ = CreateKernelScratch(bytes, owner);
    data_ = own->data;
}

ScratchBlock::~ScratchBlock() { DestroyKernelScratch(temp_); }
