/* Element types, layout tags and per-layer timing records. */
#ifndef CORVUS_DATATYPE_H
#define CORVUS_DATATYPE_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum DataType {
    DT_FLOAT32 = 0,
    DT_FLOAT16 = 1,
    DT_INT32 = 2,
    DT_UINT32 = 3,
    DT_UINT8 = 4,
    DT_INT8 = 5 /* also booleans: 0 or 1 */
} DataType;

/* Four 4-bit fields, most significant first: N, H, W, C. Each holds the
 * axis position counted from the innermost dimension, 0xF when absent. */
typedef enum DataLayout {
    DL_NONE = 0xFFFF,
    DL_I = 0xFFF0,
    DL_NC = 0x1FF0,
    DL_CN = 0x0FF1,
    DL_HW = 0xF10F,
    DL_WH = 0xF01F,
    DL_NHWC = 0x3210,
    DL_NCHW = 0x3102,
    DL_HWCN = 0x0321,
    DL_HWNC = 0x1320,
    /* filter aliases */
    DL_MHWI = DL_NHWC,
    DL_HWIO = DL_HWCN,
    DL_HWOI = DL_HWNC
} DataLayout;

/* Per-layer timing: processor-clock ticks and instruction count (always 0). */
typedef struct StatValues {
    uint64_t tics;
    uint64_t instrs;
} StatValues;

CORVUS_EXPORT DataType DefaultDataType(void);
CORVUS_EXPORT uint8_t DataTypeSize(DataType dtype);
CORVUS_EXPORT const char* DataTypeToStr(DataType dtype);
CORVUS_EXPORT const char* DataLayoutStr(DataLayout layout);

CORVUS_EXPORT void SetZeroToStatValues(StatValues* stat);
/* First call after zeroing stores the start tick, the second the elapsed ticks. */
CORVUS_EXPORT void SetDiffToStatValues(StatValues* stat);
CORVUS_EXPORT double GetTimeUSEC(void);

#ifdef __cplusplus
}
#endif

#endif
