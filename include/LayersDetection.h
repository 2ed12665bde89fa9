/* Detection post-processing: records, constructors and kernels. */
#ifndef CORVUS_LAYERSDETECTION_H
#define CORVUS_LAYERSDETECTION_H

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
