/* Shape inference shared by layer constructors, and tensor utilities used by
 * kernels and development code: numeric comparison, element access, min/max/
 * sum, arg-sort, evenly spaced values, clamping, concatenation and splitting.
 *
 * Shape-returning functions return a TensorShape whose entries beyond the
 * result rank are 0; the rank follows from each rule and is known to the
 * caller unless stated. Every failure is fatal (message, exit status 1). */
#ifndef CORVUS_TENSOROPERATION_H
#define CORVUS_TENSOROPERATION_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "DataType.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Shape inference ---------------------------------------------------- */

/* Broadcasts the shapes of inputs[0..inputsNum-1] (at least two) left to
 * right. Returns a new tensor without data carrying the result ndim, shape,
 * dense strides, layout and dtype; the caller destroys it. */
CORVUS_EXPORT Tensor* GetBroadcastShape(Tensor** inputs, uint32_t inputsNum);

/* Batched matrix-product output: batch slots broadcast, then A's rows and B's
 * columns. Returns a new tensor without data (rank = the larger rank; layout
 * of the higher-rank input, A's on a tie; A's dtype); the caller destroys it. */
CORVUS_EXPORT Tensor* GetMatmulBroadcastTensor(const Tensor* a, const Tensor* b);

/* Output rank is dataRank + indicesRank - 1. A negative axis counts from the
 * end of the data shape. */
CORVUS_EXPORT TensorShape GetGatherShape(TensorShape dataShape, TensorShape indicesShape, uint32_t dataRank,
                                         uint32_t indicesRank, uint32_t outputRank, int32_t axis);

/* tensors = (data, starts, ends, axes, steps); the last four hold 32-bit
 * integers, one entry per sliced axis. starts, ends and steps point to
 * arrays of MAX_NDIM_VALUE entries (the first three fields of a slice
 * parameter record) and receive one entry per data dimension for the kernel.
 * Output rank = data rank. */
CORVUS_EXPORT TensorShape GetSliceShape(Tensor** tensors, uint32_t tensorsNum, int32_t* starts, int32_t* ends,
                                        int32_t* steps);

/* axes: 32-bit integers (null or empty removes nothing). Output rank = data
 * rank - number of axes. */
CORVUS_EXPORT TensorShape GetSqueezeShape(const Tensor* data, const Tensor* axes);

/* tensors = (data, axes). Output rank = data rank + number of axes. */
CORVUS_EXPORT TensorShape GetUnsqueezeShape(Tensor** tensors, uint32_t tensorsNum);

/* tensors = (start, limit, delta), float32 or int32 scalars of one type.
 * Output rank 1: (element count). */
CORVUS_EXPORT TensorShape GetRangeShape(Tensor** tensors, uint32_t tensorsNum);

/* axes strictly increasing. Output rank = input rank with keepdims, else
 * input rank - axesNum (or 1 when no axes are given). */
CORVUS_EXPORT TensorShape GetReduceShape(const Tensor* input, const uint32_t* axes, uint32_t axesNum, bool keepdims);

/* Negative axis counts from the end. Output rank = input rank with keepdims,
 * else input rank - 1, at least 1. */
CORVUS_EXPORT TensorShape GetArgMaxShape(const Tensor* input, int32_t axis, bool keepdims);

/* Splits "ab,bc->ac" (blanks removed from expression in place) into three
 * zero-terminated letter terms. left, right and result must each hold at
 * least MAX_NDIM_VALUE + 1 characters. */
CORVUS_EXPORT void ParseEinSumExpression(char* expression, uint32_t* leftCount, uint32_t* rightCount,
                                         uint32_t* resultCount, char* left, char* right, char* result);

/* Output rank = strlen(resultLetters). */
CORVUS_EXPORT TensorShape ComputeEinsumOutputShape(TensorShape shapeA, const char* lettersA, TensorShape shapeB,
                                                   const char* lettersB, const char* resultLetters);

/* (input rank, number of non-zero elements); the input must be dense. */
CORVUS_EXPORT TensorShape NonZeroOutputShape(const Tensor* input);

/* ---- Element access ------------------------------------------------------ */

/* index holds ndim coordinates (none for a scalar). */
CORVUS_EXPORT void SetTensorDataValueFP32(Tensor* tensor, const uint32_t* index, float value);
CORVUS_EXPORT float GetTensorDataValueFP32(const Tensor* tensor, const uint32_t* index);
CORVUS_EXPORT uint32_t GetTensorDataValueUint32(const Tensor* tensor, const uint32_t* index);

/* Splits a flat row-major index over shape[0..rank-1] into position[0..rank-1]. */
CORVUS_EXPORT void GetPositionByIndex(TensorShape shape, uint32_t rank, uint32_t index, uint32_t* position);

/* ---- Statistics ---------------------------------------------------------- */

CORVUS_EXPORT float TensorMaxValueFP32(const Tensor* tensor);
CORVUS_EXPORT float TensorMinValueFP32(const Tensor* tensor);
/* Rank 1 to 4, any strides; other element types are summed as float32. */
CORVUS_EXPORT float TensorDataSumFP32(const Tensor* tensor);

/* ---- Ordering ------------------------------------------------------------ */

/* Each returns a new DT_UINT32 DL_I tensor with the permutation that orders
 * a one-dimensional float32 tensor ascending; the input is not changed.
 * ArgSort: Shell sort. ArgSortPositive and ArgSortPositiveAsm keep index
 * order among equal values and are correct for non-negative values only. */
CORVUS_EXPORT Tensor* ArgSort(const Tensor* tensor);
CORVUS_EXPORT Tensor* ArgSortPositive(const Tensor* tensor);
CORVUS_EXPORT Tensor* ArgSortPositiveAsm(const Tensor* tensor);

/* Three-way comparison of two int64_t values for qsort: -1, 0 or 1. */
CORVUS_EXPORT int compare_int64(const void* a, const void* b);

/* ---- Generation and in-place edits -------------------------------------- */

/* New float32 DL_I tensor of num evenly spaced values from first to last. */
CORVUS_EXPORT Tensor* LinSpace(uint32_t num, float first, float last);

/* Clamps a dense float32 tensor to [lower, upper] in place. */
CORVUS_EXPORT void TruncateTensorFP32(Tensor* tensor, float upper, float lower);

/* ---- Concatenation and splitting ---------------------------------------- */

/* Concatenates inputs[0..inputsNum-1] along axis into output (rank 1 to 4,
 * negative axis counts from the end). */
CORVUS_EXPORT void ConcatTensors(Tensor* output, Tensor** inputs, uint32_t inputsNum, int32_t axis);

/* Distributes consecutive pieces of input along axis to outputs[0..outputsNum-1],
 * each receiving its own extent along the axis (negative axis counts from the end). */
CORVUS_EXPORT void SplitTensor(Tensor** outputs, uint32_t outputsNum, const Tensor* input, int32_t axis);

/* ---- Comparison ---------------------------------------------------------- */

/* Compares two tensors of equal shape element by element (any element types).
 * Returns TCR_DATA_EQUAL when the largest absolute difference is not above
 * threshold; otherwise prints the largest, smallest and average difference
 * to stdout and returns TCR_DATA_DIFFERENT. A shape mismatch returns the
 * CompareTensorsShape code. */
CORVUS_EXPORT TensorCompareResult CompareTensors(const Tensor* tensor1, const Tensor* tensor2, float threshold);

#ifdef __cplusplus
}
#endif

#endif
