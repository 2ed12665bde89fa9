/* Padding computation for convolution and pooling windows: output size and
 * the pads before and after the input in every spatial dimension. */
#ifndef CORVUS_PADDING_H
#define CORVUS_PADDING_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum PaddingMode {
    VALID = 0,   /* no padding */
    SAME = 1,    /* pad so that the output size is the input size over the stride */
    EXPLICIT = 2 /* pads given by the caller */
} PaddingMode;

/* Returned by value. Dimension 0 is the height of a 2-D window, dimension 1
 * its width; entries of dimensions beyond the number computed are 0. */
typedef struct PaddingStruct {
    uint32_t outputSize[3];
    uint32_t begin0, end0; /* top, bottom */
    uint32_t begin1, end1; /* left, right */
    uint32_t begin2, end2;
} PaddingStruct;

/* "same" -> SAME, "valid" -> VALID (case-sensitive); anything else is fatal. */
CORVUS_EXPORT PaddingMode GetPaddingName(const char* name);

/* Forward windows in 1 to 3 dimensions. Per dimension i: input size, kernel
 * size, stride and dilation (null dilations mean 1); the dilated extent is
 * (k - 1) * d + 1. `pads`
 * is read only in EXPLICIT mode: all begin pads first, then all end pads.
 * `ceilMode` (0 or 1) rounds fractional output sizes up in VALID and SAME. */
CORVUS_EXPORT PaddingStruct ComputePaddingStruct(uint32_t dimensions_number, const uint32_t* inputSize,
                                                 const uint32_t* kernelSize, const uint32_t* strides,
                                                 const uint32_t* dilations, PaddingMode mode, const uint32_t* pads,
                                                 uint32_t ceilMode);

/* Transposed convolutions in 1 or 2 dimensions. VALID and SAME place their
 * pads in `begin` (end 0). `outputPadding` (n entries) may be null when
 * `hasOutputPadding` is false; EXPLICIT adds it whenever it is given. */
CORVUS_EXPORT PaddingStruct ComputePaddingStructTransposed(uint32_t dimensions_number, const uint32_t* inputSize,
                                                           const uint32_t* kernelSize, const uint32_t* strides,
                                                           const uint32_t* dilations, PaddingMode mode,
                                                           const uint32_t* pads, const uint32_t* outputPadding,
                                                           bool hasOutputPadding);

/* Deprecated: the older 2-D transposed form with one symmetric pad per
 * dimension. Use ComputePaddingStructTransposed. */
CORVUS_EXPORT PaddingStruct ComputePaddingStructT(uint32_t inH, uint32_t inW, uint32_t kH, uint32_t kW, uint32_t sH,
                                                  uint32_t sW, uint32_t dH, uint32_t dW, uint32_t padH, uint32_t padW,
                                                  uint32_t outPadH, uint32_t outPadW, PaddingMode mode,
                                                  bool hasOutputPadding);

/* Deprecated: one dimension with a symmetric pad. Use ComputePaddingStruct. */
CORVUS_EXPORT PaddingStruct ComputePaddingStruct1D(uint32_t in, uint32_t k, uint32_t s, uint32_t d, uint32_t pad,
                                                   PaddingMode mode);

#ifdef __cplusplus
}
#endif

#endif
