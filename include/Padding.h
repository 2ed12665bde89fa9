/* Padding computation for convolution and pooling windows. */
#ifndef CORVUS_PADDING_H
#define CORVUS_PADDING_H

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
