/* Conversion of tensor data between element types.
 *
 * TensorDataConvert checks two existing tensors of equal shape, picks the
 * element converter for the (source, destination) type pair and runs it over
 * the data, in one pass for dense tensors or row by row for strided ones.
 *
 * The element converters work on plain arrays and do no checks. Half-precision
 * values are IEEE 754 binary16 bit patterns held in uint16_t. Source and
 * destination may overlap (in-place conversion included); the result is the
 * same as for separate arrays. */
#ifndef CORVUS_DATATYPECONVERT_H
#define CORVUS_DATATYPECONVERT_H

#include <stdint.h>

#include "CorvusExport.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Converts src into dst (same shape, dst already holding data). */
CORVUS_EXPORT void TensorDataConvert(Tensor* dst, const Tensor* src);

/* Round to nearest, ties to even; NaN gives 0x7FFF with the sign, magnitudes
 * of 65520 and above give infinity. */
CORVUS_EXPORT void float32_to_float16(const float* src, uint16_t* dst, uint32_t count);
/* Exact. NaN payloads are kept (shifted into the float32 mantissa). */
CORVUS_EXPORT void float16_to_float32(const uint16_t* src, float* dst, uint32_t count);
CORVUS_EXPORT void convert_u8f16(const uint8_t* src, uint16_t* dst, uint32_t count);
CORVUS_EXPORT void convert_u8f32(const uint8_t* src, float* dst, uint32_t count);
CORVUS_EXPORT void convert_i8f32(const int8_t* src, float* dst, uint32_t count);
/* Truncation toward zero, saturating to [-128, 127]; NaN gives 0. */
CORVUS_EXPORT void convert_f32i8(const float* src, int8_t* dst, uint32_t count);
/* Nearest float32, ties to even. */
CORVUS_EXPORT void convert_s32f32(const int32_t* src, float* dst, uint32_t count);
/* Truncation toward zero, saturating to the int32 limits; NaN gives 0. */
CORVUS_EXPORT void convert_f32s32(const float* src, int32_t* dst, uint32_t count);
/* Decoded to float32, then as convert_f32s32 (infinities saturate). */
CORVUS_EXPORT void convert_f16s32(const uint16_t* src, int32_t* dst, uint32_t count);
/* Boolean: 1 where the value is non-zero, else 0. */
CORVUS_EXPORT void convert_s32bool(const int32_t* src, int8_t* dst, uint32_t count);
/* The byte value, sign-extended. */
CORVUS_EXPORT void convert_bools32(const int8_t* src, int32_t* dst, uint32_t count);
/* Copies bytes; overlapping ranges are allowed. */
CORVUS_EXPORT void convert_copy(const void* src, void* dst, uint32_t bytes);

#ifdef __cplusplus
}
#endif

#endif
