// Layers split into shares for several cores.
//
// A kernel family that can compute part of its output registers a
// SplitFamily: its work as a count of units (output pixels, rows or channel
// blocks, the family's choice) and a function that computes units
// [begin, end) with exactly the operations, in the same order, that the
// whole kernel applies to those outputs. Each share of a split layer is a
// core kernel (layer->coreKernels) whose function set runs its range of the
// layer's main kernel; results are therefore bit-identical for every number
// of shares and whichever thread runs each. A layer has more shares than
// cores (ShareCount): the core count is the model's, the shares are the
// units its threads hand out.
#ifndef CORVUS_KERNELSHARES_H
#define CORVUS_KERNELSHARES_H

#include <cstddef>
#include <cstdint>

#include "Layers.h"
#include "Model.h"
#include "common/KernelScratch.h"

struct SplitFamily {
    const NNKernelFn* fn;
    // Units of work of the initialised kernel and the multiply-adds (or
    // element operations) of one unit; 0 units: the kernel runs whole.
    uint64_t (*units)(NNKernel* kernel, uint64_t* unitWork);
    // Scratch bytes one share needs (0: none).
    size_t (*scratchBytes)(NNKernel* kernel);
    void (*run)(NNKernel* kernel, uint64_t begin, uint64_t end, KernelScratch* scratch);
};

// The families' entry points (kernels/).
extern "C" {
uint64_t Conv2D_ref_ShareUnits(NNKernel* kernel, uint64_t* unitWork);
size_t Conv2D_ref_ShareScratch(NNKernel* kernel);
void Conv2D_ref_RunShare(NNKernel* kernel, uint64_t begin, uint64_t end, KernelScratch* scratch);
uint64_t DWConvolution_ref_ShareUnits(NNKernel* kernel, uint64_t* unitWork);
void DWConvolution_ref_RunShare(NNKernel* kernel, uint64_t begin, uint64_t end, KernelScratch* scratch);
uint64_t MaxPool2D_opt_ShareUnits(NNKernel* kernel, uint64_t* unitWork);
void MaxPool2D_opt_RunShare(NNKernel* kernel, uint64_t begin, uint64_t end, KernelScratch* scratch);
}

// The least work (multiply-adds, or elements for pooling) worth a share:
// below it, waking a worker costs more than it saves.
constexpr uint64_t kMinShareWork = 64 * 1024;
namespace corvus_internal {
// Test hook: the least work of a share from now on; returns the previous value.
uint64_t SetMinShareWork(uint64_t work);
}  // namespace corvus_internal

// Splits every layer of an initialised model into coresNumber shares where
// its kernel allows (releasing earlier shares), and starts or stops the
// model's worker threads to match. Called by InitModel and by
// SetModelCoresNumber on an initialised model.
void ApplyModelCores(Model* model);
// Shares per core a layer is split into when its work allows: the model's
// threads take them one at a time, so a thread the host preempts holds up
// the layer by one share, not by a core's whole part.
constexpr uint32_t kSharesPerCore = 4;
// The shares of a layer of `units` units and `work` multiply-adds on
// `cores` cores: up to kSharesPerCore per core and MAX_CORE_KERNELS in
// all, a multiple of the cores where more than the cores, at least
// kMinShareWork (as set) each; below 2 the layer runs whole.
uint64_t ShareCount(uint32_t cores, uint64_t units, uint64_t work);
// The ranges of `shares` shares of `units` units (shares <= units):
// share i is [bounds[i], bounds[i + 1]), bounds[0] = 0, bounds[shares] =
// units, each at least one unit. Sizes fall about linearly from both ends to
// the middle: the caller takes shares from the front, the workers from the
// back (ThreadPool), so they begin with large shares and end the layer on
// small ones, and the one that finishes first waits little for the others.
void ShareBounds(uint64_t units, uint64_t shares, uint64_t* bounds);
// Splits one initialised layer for `cores` cores into ShareCount shares,
// recorded as its core kernels; returns their number (0: the layer runs
// whole).
uint32_t SplitLayer(Layer* layer, uint32_t cores);
void ReleaseCoreKernels(Layer* layer);
void DestroyModelCores(Model* model);
// Runs the layer's shares on the model's threads, each thread (the caller
// included) taking the next share until none remains.
void RunLayerShares(Model* model, Layer* layer);
// Bracket one inference of a model with threads: its workers stay awake in
// between (no-ops without threads).
void BeginCoresRun(Model* model);
void EndCoresRun(Model* model);

#endif
