#include "Layers.h"

// Initializer layers hold constant data in their output; there is nothing to compute.
static void Execute_Empty_ref(NNKernel*) {}

extern "C" const NNKernelFn nn_kernel_fn_Empty_ref = {Execute_Empty_ref, nullptr, nullptr, nullptr};
