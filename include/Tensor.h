/* The tensor record and its basic operations. */
#ifndef CORVUS_TENSOR_H
#define CORVUS_TENSOR_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "CorvusExport.h"
#include "DataType.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MAX_NDIM_VALUE 6

typedef union TensorShape {
    uint32_t dimension[MAX_NDIM_VALUE];
    struct {
        uint32_t batch;
        uint32_t height;
        uint32_t width;
        uint32_t channels;
    } NHWC;
} TensorShape;

typedef union TensorStrides {
    uint32_t dimension[MAX_NDIM_VALUE];
    struct {
        uint32_t batch_stride;
        uint32_t height_stride;
        uint32_t width_stride;
        uint32_t channels_stride;
    } NHWC;
} TensorStrides;

/* Element (i0,...,in-1) lives at byte offset
 * DataTypeSize(dtype) * sum(ik * stride.dimension[k]). Strides count elements.
 * The tensor owns data only when allocatedData is set. */
typedef struct Tensor {
    void* data;
    TensorShape shape;
    TensorStrides stride;
    uint32_t ndim;
    uint32_t layout; /* DataLayout */
    uint32_t dtype;  /* DataType */
    bool allocatedData;
} Tensor;

typedef enum TensorCompareResult {
    TCR_DATA_EQUAL = 0,
    TCR_SHAPES_EQUAL = 1,
    TCR_SHAPES_LESS = 2,
    TCR_SHAPES_GREATER = 3,
    TCR_SHAPES_DIFFERENT = 4,
    TCR_SHAPES_NDIM_DIFFERENT = 5,
    TCR_STRIDES_EQUAL = 6,
    TCR_STRIDES_LESS = 7,
    TCR_STRIDES_GREATER = 8,
    TCR_STRIDES_DIFFERENT = 9,
    TCR_STRIDES_NDIM_DIFFERENT = 10,
    TCR_DATA_DIFFERENT = 11
} TensorCompareResult;

/* Creation and ownership */
CORVUS_EXPORT Tensor* CreateEmptyTensor(void);
CORVUS_EXPORT Tensor* CreateTensor(DataType dtype, DataLayout layout, uint32_t ndim, TensorShape shape, bool allocate);
CORVUS_EXPORT Tensor* CreateTensorWithStrides(DataType dtype, DataLayout layout, uint32_t ndim, TensorShape shape,
                                              TensorStrides stride, bool allocate);
CORVUS_EXPORT void CheckLayout(uint32_t ndim, DataLayout layout);
CORVUS_EXPORT void AllocTensorData(Tensor* tensor);
CORVUS_EXPORT void FreeTensorData(Tensor* tensor);
CORVUS_EXPORT void DestroyTensor(Tensor* tensor);
CORVUS_EXPORT void SetTensorData(Tensor* tensor, void* data);
CORVUS_EXPORT void SetTensorDataType(Tensor* tensor, DataType dtype);

/* Queries */
CORVUS_EXPORT uint32_t GetTensorSize(const Tensor* tensor);
CORVUS_EXPORT uint32_t GetTensorDataSize(const Tensor* tensor);
CORVUS_EXPORT uint32_t GetTensorNDim(const Tensor* tensor);
CORVUS_EXPORT bool IsSerialData(const Tensor* tensor);

/* Copy and comparison */
CORVUS_EXPORT void CopyTensor(const Tensor* src, Tensor* dst);
CORVUS_EXPORT void CopyTensorData(const Tensor* src, Tensor* dst);
CORVUS_EXPORT TensorCompareResult CompareTensorsShape(const Tensor* tensor1, const Tensor* tensor2);
CORVUS_EXPORT TensorCompareResult CompareTensorsStride(const Tensor* tensor1, const Tensor* tensor2);
CORVUS_EXPORT uint32_t CountTensorEquals(const Tensor* t1, const Tensor* t2);

/* Host data, printing, files */
CORVUS_EXPORT void PutTensorData(const void* src, Tensor* tensor);
CORVUS_EXPORT void PrintTensorShape(const Tensor* tensor, FILE* file);
CORVUS_EXPORT void PrintTensorStride(const Tensor* tensor, FILE* file);
CORVUS_EXPORT void PrintTensorData(const Tensor* tensor, FILE* file);
CORVUS_EXPORT void PrintTensorToFile(const Tensor* tensor, FILE* file);
CORVUS_EXPORT void PrintTensor(const Tensor* tensor);
CORVUS_EXPORT void SaveTensor(const Tensor* tensor, const char* path);
/* Returns null when the file does not start with the tensor magic number. A
 * file shorter than its header says loads with the missing tail zero; a header
 * claiming more than 64 MiB beyond the end of the file is refused. */
CORVUS_EXPORT Tensor* LoadTensor(const char* path);

#ifdef __cplusplus
}
#endif

#endif
