/* Kernel names and the tables that map them to kernel function sets. */
#ifndef CORVUS_NN_KERNEL_LIST_H
#define CORVUS_NN_KERNEL_LIST_H

#include "CorvusExport.h"
#include "Layers.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum kfname {
#define KFN(number, name) kfname_##name = number,
#include "nn_kernel_names.def"
#undef KFN
    kfname_TOTAL = 158 /* no kernel */
} kfname;

/* Printed kernel names; entry kfname_TOTAL is "Undefined". */
CORVUS_EXPORT extern const char* const kernel_fn_name_string[kfname_TOTAL + 1];
/* Function set of each kernel number; null for kernels this library lacks. */
CORVUS_EXPORT extern const NNKernelFn* const nn_kernel_fn_list[kfname_TOTAL];
/* Function set installed for a layer that was never selected, by operation. */
CORVUS_EXPORT extern const NNKernelFn* const nn_kernel_fn_list_default[OP_OperationsCount];
/* Kernel number behind each default (kfname_TOTAL for none). */
CORVUS_EXPORT extern const kfname nn_kernel_fn_default_name[OP_OperationsCount];

#ifdef __cplusplus
}
#endif

#endif
