/* Activation kinds shared by activation layers and fused activations. */
#ifndef CORVUS_ACTIVATIONTYPES_H
#define CORVUS_ACTIVATIONTYPES_H

#include <stdint.h>

#include "CorvusExport.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum ActivationType {
    None = 0,
    ReLU = 1,
    ReLU6 = 2,
    Tanh = 3,
    SoftPlus = 4,
    SoftSign = 5,
    Sigmoid = 6,
    HardSigmoid = 7,
    Linear = 8,
    Softmax = 9,
    eLU = 10,
    LeakyReLU = 11,
    Log = 12,
    XmulSigmX = 13,
    ActivationTypesCount = 14
} ActivationType;

typedef struct ActivationParams {
    uint32_t type; /* ActivationType */
    float alpha;   /* LeakyReLU negative slope; ignored otherwise */
} ActivationParams;

/* Display names indexed by ActivationType. */
CORVUS_EXPORT extern const char* const ActivationNameString[ActivationTypesCount];

/* Maps the lower-case names of model descriptions; anything else gives None. */
CORVUS_EXPORT ActivationType GetActivationName(const char* name);

#ifdef __cplusplus
}
#endif

#endif
