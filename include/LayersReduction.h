/* Reductions, index and shape-producing operations: records, constructors and kernels. */
#ifndef CORVUS_LAYERSREDUCTION_H
#define CORVUS_LAYERSREDUCTION_H

#include <stdbool.h>
#include <stdint.h>

#include "ActivationTypes.h"
#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif
