#define CORVUS_MODULE "Tensor"
#include "Tensor.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "Report.h"
#include "common/KernelScratch.h"

namespace {

constexpr uint32_t kTensorMagic = 66;
constexpr size_t BUFFER_SIZE = 65536;
/* A short tensor file loads with the unread tail zero, but the header may
 * claim at most this many bytes beyond what the file holds, so a tiny hostile
 * file cannot make us allocate much more than it holds. */
constexpr uint64_t kMaxMissingBytes = 64ull << 20;

void CheckNDim(uint32_t ndim)
{
    if (ndim > MAX_NDIM_VALUE)
        CV_FATAL("Dimensions number must be greater than zero (tesnor) or equal to zero (scalar) and mustn't be "
                 "greater than %d",
                 MAX_NDIM_VALUE);
}

// Strides, element counts and storage spans are 32-bit fields and results.
constexpr uint64_t kMaxSlots = UINT32_MAX;

std::string ShapeText(const Tensor* t)
{
    std::string s = "(";
    for (uint32_t k = 0; k < t->ndim && k < MAX_NDIM_VALUE; ++k)
        s += (k > 0 ? "," : "") + std::to_string(t->shape.dimension[k]);
    return s + ")";
}

/* Element counts and strides are 32-bit: every product of a tensor's inner
 * extents (each a dense stride, the outermost one the element count) must fit.
 * Computed in 64 bits, so a shape such as (65536,65537) is refused instead of
 * wrapping to a tiny size. */
bool ExtentsAddressable(const Tensor* t)
{
    uint64_t inner = 1;
    for (int k = (int)t->ndim - 1; k >= 0; --k) {
        inner *= t->shape.dimension[k];  // below 2^32 times below 2^32: no 64-bit wrap
        if (inner > kMaxSlots) return false;
    }
    return true;
}

// The extents and the storage span shape[0] * stride[0] fit 32 bits.
bool Addressable(const Tensor* t)
{
    return ExtentsAddressable(t) &&
           (t->ndim == 0 || (uint64_t)t->shape.dimension[0] * t->stride.dimension[0] <= kMaxSlots);
}

// `release` is a record being built, freed first for builds where the report throws.
[[noreturn]] void FailUnaddressable(const Tensor* t, const char* caller, Tensor* release = nullptr)
{
    const std::string shape = ShapeText(t);
    DestroyTensor(release);
    CV_FATAL("%s. Tensor of shape %s cannot be addressed: more than %llu elements", caller, shape.c_str(),
             (unsigned long long)kMaxSlots);
}

// Callers have checked the extents with Addressable, so no stride wraps.
void SetDenseStrides(Tensor* t)
{
    if (t->ndim == 0) return;
    t->stride.dimension[t->ndim - 1] = 1;
    for (int k = (int)t->ndim - 2; k >= 0; --k)
        t->stride.dimension[k] = t->stride.dimension[k + 1] * t->shape.dimension[k + 1];
}

Tensor* NewShapedTensor(DataType dtype, DataLayout layout, uint32_t ndim, const TensorShape& shape)
{
    CheckNDim(ndim);
    CheckLayout(ndim, layout);
    Tensor* t = CreateEmptyTensor();
    t->dtype = dtype;
    t->layout = layout;
    t->ndim = ndim;
    for (uint32_t k = 0; k < ndim; ++k) t->shape.dimension[k] = shape.dimension[k];
    return t;
}

/* Byte count of a tensor's storage; overflow is set when it does not fit
 * size_t (only possible where size_t is 32 bits). */
size_t StorageBytes(const Tensor* t, bool* overflow)
{
    const uint64_t bytes = (uint64_t)GetTensorDataSize(t) * DataTypeSize((DataType)t->dtype);
    *overflow = bytes > (uint64_t)SIZE_MAX / 2;
    return (size_t)bytes;
}

/* Checks the strides from the innermost pair outwards so that no two blocks
 * overlap: stride[k] must cover the dense size of the inner dimensions and the
 * span of stride[k+1]. Returns the first failing dimension (and the violated
 * bound), or -1 when all hold. */
int FindBadStride(const Tensor* t, uint64_t* bound)
{
    uint64_t inner = t->ndim > 0 ? t->shape.dimension[t->ndim - 1] : 1;
    for (int k = (int)t->ndim - 2; k >= 0; --k) {
        const uint64_t s = t->stride.dimension[k];
        const uint64_t next = (uint64_t)t->stride.dimension[k + 1] * t->shape.dimension[k + 1];
        if (s < inner || s < next) {
            *bound = s < inner ? inner : next;
            return k;
        }
        // A product beyond 32 bits exceeds every stride; saturating keeps it from wrapping.
        inner *= t->shape.dimension[k];
        if (inner > UINT32_MAX) inner = (uint64_t)UINT32_MAX + 1;
    }
    return -1;
}

TensorCompareResult ClassifyEntries(const uint32_t* a, const uint32_t* b, uint32_t n, TensorCompareResult equal)
{
    bool less = false, greater = false;
    for (uint32_t k = 0; k < n; ++k) {
        if (a[k] < b[k]) less = true;
        if (a[k] > b[k]) greater = true;
    }
    // The four codes after `equal` are: less, greater, different.
    if (less && greater) return (TensorCompareResult)(equal + 3);
    if (greater) return (TensorCompareResult)(equal + 2);
    if (less) return (TensorCompareResult)(equal + 1);
    return equal;
}

}  // namespace

extern "C" {

Tensor* CreateEmptyTensor(void)
{
    Tensor* tensor;
    CV_CHECK_PTR(tensor = (Tensor*)malloc(sizeof(Tensor)));
    tensor->data = nullptr;
    tensor->dtype = DefaultDataType();
    tensor->allocatedData = false;
    tensor->ndim = 0;
    tensor->layout = DL_NONE;
    // Shape and stride are left to the caller; zero them so reads are defined.
    memset(&tensor->shape, 0, sizeof(tensor->shape));
    memset(&tensor->stride, 0, sizeof(tensor->stride));
    return tensor;
}

Tensor* CreateTensor(DataType dtype, DataLayout layout, uint32_t ndim, TensorShape shape, bool allocate)
{
    Tensor* t = NewShapedTensor(dtype, layout, ndim, shape);
    if (!Addressable(t)) FailUnaddressable(t, "CreateTensor", t);
    SetDenseStrides(t);
    if (allocate) AllocTensorData(t);
    return t;
}

Tensor* CreateTensorWithStrides(DataType dtype, DataLayout layout, uint32_t ndim, TensorShape shape,
                                TensorStrides stride, bool allocate)
{
    Tensor* t = NewShapedTensor(dtype, layout, ndim, shape);
    for (uint32_t k = 0; k < ndim; ++k) t->stride.dimension[k] = stride.dimension[k];
    // Before the stride rules: no 32-bit stride can cover inner extents beyond 32 bits.
    if (!Addressable(t)) FailUnaddressable(t, "CreateTensor", t);
    uint64_t bound;
    const int k = FindBadStride(t, &bound);
    if (k >= 0) {
        DestroyTensor(t);
        CV_FATAL("CreateTensor. Stride by dimension: %d cannot be less than %d", k, (int)bound);
    }
    if (allocate) AllocTensorData(t);
    return t;
}

void CheckLayout(uint32_t ndim, DataLayout layout)
{
    if (layout == DL_NONE) return;
    switch (ndim) {
    case 1:
        CV_CHECK(layout == DL_I);
        break;
    case 2:
        CV_CHECK(layout == DL_CN || layout == DL_NC || layout == DL_HW || layout == DL_WH);
        break;
    case 3:
        CV_FATAL("Unnsupported layout value for dim = 3");
    case 4:
        CV_CHECK(layout == DL_NCHW || layout == DL_HWCN || layout == DL_NHWC || layout == DL_HWNC);
        break;
    default:
        break;
    }
}

void AllocTensorData(Tensor* tensor)
{
    if (tensor == nullptr) CV_FATAL("Cannot allocate memory. Tensor is not created");
    if (tensor->data != nullptr)
        CV_FATAL("Cannot allocate memory. Refering to an existing memory tensor->data: %p", tensor->data);
    uint8_t dtypesize = DataTypeSize((DataType)tensor->dtype);
    if (dtypesize == 0) CV_FATAL("dtypesize must be greater than 0");
    bool overflow;
    size_t bytes = StorageBytes(tensor, &overflow);
    if (overflow) CV_FATAL("Cannot allocate memory");
    // On a cache line, as the planned buffer; one zeroed slot for empty
    // tensors keeps data non-null and owned.
    void* data = AllocZeroedAligned(bytes > 0 ? bytes : 1);
    if (data == nullptr) CV_FATAL("Cannot allocate memory");
    tensor->data = data;
    tensor->allocatedData = true;
}

void FreeTensorData(Tensor* tensor)
{
    if (tensor == nullptr) CV_FATAL("FreeTensorData. Tensor is not created");
    if (tensor->data == nullptr) return;
    if (!tensor->allocatedData) CV_FATAL("FreeTensorData. Cannot release memory allocated beyound AllocTensorData");
    FreeZeroedAligned(tensor->data);
    tensor->data = nullptr;
    tensor->allocatedData = false;
}

void DestroyTensor(Tensor* tensor)
{
    if (tensor == nullptr) return;
    if (tensor->allocatedData) FreeZeroedAligned(tensor->data);
    free(tensor);
}

void SetTensorData(Tensor* tensor, void* data)
{
    if (tensor == nullptr) CV_FATAL("Cannot set data ptr. Tensor is not created");
    if (tensor->allocatedData) CV_FATAL("Cannot change data pointer for tensor with allocated memory");
    tensor->data = data;
}

void SetTensorDataType(Tensor* tensor, DataType dtype)
{
    if (tensor == nullptr) CV_FATAL("Cannot set data type. Tensor is not created");
    if (tensor->allocatedData) CV_FATAL("Cannot set data type. Tensor has allocated memory");
    tensor->dtype = dtype;
}

uint32_t GetTensorSize(const Tensor* tensor)
{
    if (tensor == nullptr) CV_FATAL("GetTensorSize. Tensor is not created");
    CheckNDim(tensor->ndim);
    // Records can be filled by hand, so the count is checked here too.
    if (!ExtentsAddressable(tensor)) FailUnaddressable(tensor, "GetTensorSize");
    uint64_t size = 1;
    for (uint32_t k = 0; k < tensor->ndim; ++k) size *= tensor->shape.dimension[k];
    return (uint32_t)size;
}

uint32_t GetTensorDataSize(const Tensor* tensor)
{
    if (tensor == nullptr) CV_FATAL("GetTensorDataSize. Tensor is not created");
    CheckNDim(tensor->ndim);
    if (tensor->ndim == 0) return 1;
    const uint64_t slots = (uint64_t)tensor->shape.dimension[0] * tensor->stride.dimension[0];
    if (slots > kMaxSlots) FailUnaddressable(tensor, "GetTensorDataSize");
    return (uint32_t)slots;
}

uint32_t GetTensorNDim(const Tensor* tensor)
{
    if (tensor == nullptr) CV_FATAL("Tensor isn't created");
    return tensor->ndim;
}

bool IsSerialData(const Tensor* tensor)
{
    CV_CHECK_PTR(tensor);
    uint32_t n = tensor->ndim;
    if (n == 0) return true;
    if (n > MAX_NDIM_VALUE) return false;
    if (tensor->stride.dimension[n - 1] != 1) return false;
    for (int k = (int)n - 2; k >= 0; --k)
        if (tensor->stride.dimension[k] != tensor->stride.dimension[k + 1] * tensor->shape.dimension[k + 1])
            return false;
    return true;
}

void CopyTensor(const Tensor* src, Tensor* dst)
{
    if (src == nullptr) CV_FATAL("GetTensorDataSize. src is not created");
    if (dst == nullptr) CV_FATAL("GetTensorDataSize. dst is not created");
    if (src->data == nullptr) CV_FATAL("src->data is nullptr");
    if (dst->data != nullptr && !dst->allocatedData)
        CV_FATAL("Copying isn't possible because dst->data refers to memory allocated beyond AllocTensorData. Use "
                 "CopyTensorData instead");
    if (src == dst) return;  // a tensor is already a copy of itself
    FreeTensorData(dst);
    memset(&dst->shape, 0, sizeof(dst->shape));
    memset(&dst->stride, 0, sizeof(dst->stride));
    CheckNDim(src->ndim);
    dst->ndim = src->ndim;
    dst->layout = src->layout;
    dst->dtype = src->dtype;
    for (uint32_t k = 0; k < src->ndim; ++k) {
        dst->shape.dimension[k] = src->shape.dimension[k];
        dst->stride.dimension[k] = src->stride.dimension[k];
    }
    AllocTensorData(dst);
    memcpy(dst->data, src->data, (size_t)GetTensorDataSize(src) * DataTypeSize((DataType)src->dtype));
}

void CopyTensorData(const Tensor* src, Tensor* dst)
{
    if (src == nullptr) CV_FATAL("CopyTensorData. Tensor src is not created");
    if (dst == nullptr) CV_FATAL("CopyTensorData. Tensor dst is not created");
    if (src->data == nullptr) CV_FATAL("src->data refers to nullptr");
    if (dst->data == nullptr) CV_FATAL("dst->data refers to nullptr");
    TensorCompareResult cmp = CompareTensorsShape(src, dst);
    if (cmp != TCR_SHAPES_EQUAL && cmp != TCR_SHAPES_LESS)
        CV_FATAL("CopyTensorData. Cannot copy data. Destination tensor's shape less than source tensor's shape or "
                 "destination and source tensors have different ndim values");
    const uint32_t ndim = src->ndim;
    if (ndim < 1 || ndim > MAX_NDIM_VALUE) CV_FATAL("CopyTensorData works for ndim from 0 to 6. src ndim: %d", ndim);
    if (src->dtype != dst->dtype) CV_FATAL("Source and destination tensors have different dtype");

    const size_t esize = DataTypeSize((DataType)src->dtype);
    // View both tensors as six-dimensional with leading extents of 1 so one
    // loop nest serves every rank; the innermost rows are contiguous.
    uint32_t ext[MAX_NDIM_VALUE];
    size_t sstr[MAX_NDIM_VALUE], dstr[MAX_NDIM_VALUE];
    const uint32_t pad = MAX_NDIM_VALUE - ndim;
    for (uint32_t k = 0; k < MAX_NDIM_VALUE; ++k) {
        if (k < pad) {
            ext[k] = 1;
            sstr[k] = dstr[k] = 0;
        } else {
            ext[k] = src->shape.dimension[k - pad];
            sstr[k] = (size_t)src->stride.dimension[k - pad] * esize;
            dstr[k] = (size_t)dst->stride.dimension[k - pad] * esize;
        }
    }
    const size_t rowBytes = (size_t)ext[5] * esize;
    if (rowBytes == 0) return;
    const bool half3 = src->dtype == DT_FLOAT16 && ext[5] == 3;
    const uint8_t* s = (const uint8_t*)src->data;
    uint8_t* d = (uint8_t*)dst->data;
    for (uint32_t i0 = 0; i0 < ext[0]; ++i0)
        for (uint32_t i1 = 0; i1 < ext[1]; ++i1)
            for (uint32_t i2 = 0; i2 < ext[2]; ++i2)
                for (uint32_t i3 = 0; i3 < ext[3]; ++i3) {
                    const uint8_t* sp = s + i0 * sstr[0] + i1 * sstr[1] + i2 * sstr[2] + i3 * sstr[3];
                    uint8_t* dp = d + i0 * dstr[0] + i1 * dstr[1] + i2 * dstr[2] + i3 * dstr[3];
                    for (uint32_t i4 = 0; i4 < ext[4]; ++i4, sp += sstr[4], dp += dstr[4]) {
                        if (half3) {
                            // Three-channel half images: move the three words directly.
                            uint16_t* dw = (uint16_t*)dp;
                            const uint16_t* sw = (const uint16_t*)sp;
                            dw[0] = sw[0];
                            dw[1] = sw[1];
                            dw[2] = sw[2];
                        } else {
                            memcpy(dp, sp, rowBytes);
                        }
                    }
                }
}

TensorCompareResult CompareTensorsShape(const Tensor* tensor1, const Tensor* tensor2)
{
    if (tensor1 == nullptr) CV_FATAL("CompareTensorsShape. Tensor tensor1 is not created");
    if (tensor2 == nullptr) CV_FATAL("CompareTensorsShape. Tensor tensor2 is not created");
    if (tensor1->ndim != tensor2->ndim) return TCR_SHAPES_NDIM_DIFFERENT;
    uint32_t n = tensor1->ndim < MAX_NDIM_VALUE ? tensor1->ndim : MAX_NDIM_VALUE;
    return ClassifyEntries(tensor1->shape.dimension, tensor2->shape.dimension, n, TCR_SHAPES_EQUAL);
}

TensorCompareResult CompareTensorsStride(const Tensor* tensor1, const Tensor* tensor2)
{
    if (tensor1 == nullptr) CV_FATAL("CompareTensorsStride. Tensor tensor1 is not created");
    if (tensor2 == nullptr) CV_FATAL("CompareTensorsStride. Tensor tensor2 is not created");
    if (tensor1->ndim != tensor2->ndim) {
        CV_DEBUG("CompareTensorsStride: ndims aren't same");
        return TCR_STRIDES_NDIM_DIFFERENT;
    }
    uint32_t n = tensor1->ndim < MAX_NDIM_VALUE ? tensor1->ndim : MAX_NDIM_VALUE;
    return ClassifyEntries(tensor1->stride.dimension, tensor2->stride.dimension, n, TCR_STRIDES_EQUAL);
}

}  // extern "C"

namespace {

// Counts equal elements of one contiguous row, viewing elements as
// integers of their size so NaN payloads compare bit-exactly.
template <typename T> uint32_t CountEqualRow(const uint8_t* a, const uint8_t* b, uint32_t n)
{
    uint32_t count = 0;
    for (uint32_t i = 0; i < n; ++i) {
        T x, y;
        memcpy(&x, a + i * sizeof(T), sizeof(T));
        memcpy(&y, b + i * sizeof(T), sizeof(T));
        count += x == y;
    }
    return count;
}

uint32_t CountEqualRecursive(const Tensor* t1, const Tensor* t2, uint32_t dim, const uint8_t* a, const uint8_t* b,
                             size_t esize)
{
    const uint32_t extent = t1->shape.dimension[dim];
    if (dim + 1 == t1->ndim) {
        switch (esize) {
        case 1:
            return CountEqualRow<uint8_t>(a, b, extent);
        case 2:
            return CountEqualRow<uint16_t>(a, b, extent);
        default:
            return CountEqualRow<uint32_t>(a, b, extent);
        }
    }
    uint32_t count = 0;
    const size_t sa = (size_t)t1->stride.dimension[dim] * esize, sb = (size_t)t2->stride.dimension[dim] * esize;
    for (uint32_t i = 0; i < extent; ++i) count += CountEqualRecursive(t1, t2, dim + 1, a + i * sa, b + i * sb, esize);
    return count;
}

}  // namespace

extern "C" uint32_t CountTensorEquals(const Tensor* t1, const Tensor* t2)
{
    CV_CHECK_PTR(t1);
    CV_CHECK_PTR(t2);
    CV_CHECK(t1->ndim == t2->ndim);
    CV_CHECK(t1->ndim > 0 && t1->ndim <= MAX_NDIM_VALUE);
    CV_CHECK(t1->dtype == t2->dtype);
    for (uint32_t i = 0; i < t1->ndim; ++i) CV_CHECK(t1->shape.dimension[i] == t2->shape.dimension[i]);
    CV_CHECK_PTR(t1->data);
    CV_CHECK_PTR(t2->data);
    const size_t esize = DataTypeSize((DataType)t1->dtype);
    return CountEqualRecursive(t1, t2, 0, (const uint8_t*)t1->data, (const uint8_t*)t2->data, esize);
}

extern "C" void PutTensorData(const void* src, Tensor* tensor)
{
    if (tensor == nullptr) CV_FATAL("PutTensorData. Tensor tensor is not created");
    if (tensor->data == nullptr) CV_FATAL("PutTensorData. Tensor tensor data refers to nullptr");
    const uint32_t ndim = tensor->ndim;
    if (ndim == 0 || ndim > MAX_NDIM_VALUE)
        CV_FATAL("Incorrect value of tensor->ndim: %d. Values from 1 to 5 are supported", ndim);
    if (tensor->stride.dimension[ndim - 1] != 1)
        CV_FATAL("Stride by dimension: %d must be 1. Current value: %d", ndim - 1, tensor->stride.dimension[ndim - 1]);
    CV_CHECK_PTR(src);
    if (!ExtentsAddressable(tensor)) FailUnaddressable(tensor, "PutTensorData");
    const size_t esize = DataTypeSize((DataType)tensor->dtype);
    const size_t rowBytes = (size_t)tensor->shape.dimension[ndim - 1] * esize;
    uint64_t rows = 1;
    for (uint32_t k = 0; k + 1 < ndim; ++k) rows *= tensor->shape.dimension[k];
    if (rowBytes == 0) return;
    const uint8_t* s = (const uint8_t*)src;
    uint8_t* base = (uint8_t*)tensor->data;
    uint32_t idx[MAX_NDIM_VALUE] = {0};
    for (uint64_t r = 0; r < rows; ++r, s += rowBytes) {
        size_t off = 0;
        for (uint32_t k = 0; k + 1 < ndim; ++k) off += (size_t)idx[k] * tensor->stride.dimension[k];
        memcpy(base + off * esize, s, rowBytes);
        // Advance the multi-index over the outer dimensions, last fastest.
        for (int k = (int)ndim - 2; k >= 0; --k) {
            if (++idx[k] < tensor->shape.dimension[k]) break;
            idx[k] = 0;
        }
    }
}

namespace {

void PrintEntries(const uint32_t* values, uint32_t n, FILE* file)
{
    fputc('(', file);
    if (n == 0) {
        fputc(')', file);
        return;
    }
    for (uint32_t k = 0; k + 1 < n; ++k) fprintf(file, "%d,", values[k]);
    fprintf(file, "%d)", values[n - 1]);
}

void PrintElement(const uint8_t* p, uint32_t dtype, FILE* file)
{
    switch (dtype) {
    case DT_FLOAT32: {
        float v;
        memcpy(&v, p, 4);
        fprintf(file, "%.4f", v);
        break;
    }
    case DT_FLOAT16: {
        uint16_t v;
        memcpy(&v, p, 2);
        fprintf(file, "0x%x", v);
        break;
    }
    case DT_INT32:
    case DT_UINT32: {
        int32_t v;
        memcpy(&v, p, 4);
        fprintf(file, "%d", v);
        break;
    }
    default:
        fprintf(file, "%d", (int)*(const int8_t*)p);
        break;
    }
}

void PrintBlock(const Tensor* t, uint32_t dim, const uint8_t* p, size_t esize, FILE* file)
{
    const uint32_t extent = t->shape.dimension[dim];
    const size_t step = (size_t)t->stride.dimension[dim] * esize;
    fputc('[', file);
    if (dim + 1 == t->ndim) {
        for (uint32_t i = 0; i < extent; ++i) {
            PrintElement(p + i * step, t->dtype, file);
            if (i + 1 < extent) {
                fputs(", ", file);
                if ((i + 1) % 8 == 0) fputc('\n', file);
            }
        }
    } else {
        for (uint32_t i = 0; i < extent; ++i) {
            PrintBlock(t, dim + 1, p + i * step, esize, file);
            if (i + 1 < extent) fputc('\n', file);
        }
    }
    fputc(']', file);
}

}  // namespace

extern "C" void PrintTensorShape(const Tensor* tensor, FILE* file)
{
    if (file == nullptr) CV_FATAL("PrintTensorShape. File is not opened");
    if (tensor == nullptr) CV_FATAL("PrintTensorShape. Tensor tensor is not created");
    PrintEntries(tensor->shape.dimension, tensor->ndim <= MAX_NDIM_VALUE ? tensor->ndim : MAX_NDIM_VALUE, file);
}

extern "C" void PrintTensorStride(const Tensor* tensor, FILE* file)
{
    if (file == nullptr) CV_FATAL("PrintTensorShape. File is not opened");
    if (tensor == nullptr) CV_FATAL("PrintTensorShape. Tensor tensor is not created");
    PrintEntries(tensor->stride.dimension, tensor->ndim <= MAX_NDIM_VALUE ? tensor->ndim : MAX_NDIM_VALUE, file);
}

extern "C" void PrintTensorData(const Tensor* tensor, FILE* file)
{
    if (tensor == nullptr || tensor->data == nullptr) {
        CV_DEBUG("pointer to tensor data is NULL");
        return;
    }
    if (file == nullptr) {
        CV_DEBUG("file is not opened");
        return;
    }
    if (tensor->dtype != DT_FLOAT32 && tensor->dtype != DT_FLOAT16 && tensor->dtype != DT_INT32 &&
        tensor->dtype != DT_UINT32 && tensor->dtype != DT_INT8) {
        CV_DEBUG("Unsupported datatype");
        return;
    }
    if (tensor->ndim == 0 || tensor->ndim >= MAX_NDIM_VALUE) {
        CV_DEBUG("Unsupported dim number");
        return;
    }
    if (tensor->shape.dimension[0] == 0) return;
    PrintBlock(tensor, 0, (const uint8_t*)tensor->data, DataTypeSize((DataType)tensor->dtype), file);
    fputc('\n', file);
}

extern "C" void PrintTensorToFile(const Tensor* tensor, FILE* file)
{
    CV_CHECK_PTR(file);
    CV_CHECK_PTR(tensor);
    fprintf(file, "ndim=%i", tensor->ndim);
    fputs(", shape=", file);
    PrintTensorShape(tensor, file);
    fputs(", stride=", file);
    PrintTensorStride(tensor, file);
    fprintf(file, ", dtype=%s", DataTypeToStr((DataType)tensor->dtype));
    fputs(",\ndata=", file);
    PrintTensorData(tensor, file);
}

extern "C" void PrintTensor(const Tensor* tensor) { PrintTensorToFile(tensor, stdout); }

extern "C" void SaveTensor(const Tensor* tensor, const char* path)
{
    FILE* file = fopen(path, "wb");
    if (file == nullptr) CV_FATAL("Cannot open file %s\n.File or directory does not exist", path);
    if (tensor == nullptr) CV_FATAL("tensor is NULL ptr\n");
    if (tensor->data == nullptr) CV_FATAL("tensor data is NULL ptr\n");
    CheckNDim(tensor->ndim);
    const uint32_t header[4] = {kTensorMagic, tensor->dtype, tensor->layout, tensor->ndim};
    bool ok = fwrite(header, sizeof(uint32_t), 4, file) == 4;
    ok = ok && fwrite(tensor->shape.dimension, sizeof(uint32_t), tensor->ndim, file) == tensor->ndim;
    ok = ok && fwrite(tensor->stride.dimension, sizeof(uint32_t), tensor->ndim, file) == tensor->ndim;
    const size_t count = GetTensorDataSize(tensor);
    const size_t esize = DataTypeSize((DataType)tensor->dtype);
    ok = ok && fwrite(tensor->data, esize, count, file) == count;
    ok = (fclose(file) == 0) && ok;
    if (!ok) CV_FATAL("Cannot write tensor to file %s", path);
}

extern "C" Tensor* LoadTensor(const char* path)
{
    FILE* file = fopen(path, "rb");
    if (file == nullptr) CV_FATAL("Cannot open file %s\n.File or directory does not exist", path);
    char* dataBuffer;
    CV_CHECK_PTR(dataBuffer = (char*)calloc(BUFFER_SIZE, sizeof(char)));
    CV_CHECK(setvbuf(file, dataBuffer, _IOFBF, BUFFER_SIZE) == 0);
    auto closeAll = [&]() {
        fclose(file);
        free(dataBuffer);
    };

    uint32_t magic = 0;
    if (fread(&magic, sizeof(uint32_t), 1, file) != 1 || magic != kTensorMagic) {
        closeAll();
        CV_DEBUG("Cannot load tensor from file %s. (Magic number isn't correct)\n", path);
        return nullptr;
    }
    uint32_t header[3];
    if (fread(header, sizeof(uint32_t), 3, file) != 3) {
        closeAll();
        CV_FATAL("Cannot load tensor from file %s. The header is truncated", path);
    }
    const uint32_t dtype = header[0], layout = header[1], ndim = header[2];
    if (dtype > DT_INT8) {
        closeAll();
        CV_FATAL("Cannot load tensor from file %s. Wrong data type: %u", path, dtype);
    }
    if (ndim > MAX_NDIM_VALUE) {
        closeAll();
        CV_FATAL("Cannot load tensor from file %s. Dimensions number %u is greater than %d", path, ndim,
                 MAX_NDIM_VALUE);
    }
    Tensor* tensor = CreateEmptyTensor();
    tensor->dtype = dtype;
    tensor->layout = layout;
    tensor->ndim = ndim;
    if (fread(tensor->shape.dimension, sizeof(uint32_t), ndim, file) != ndim ||
        fread(tensor->stride.dimension, sizeof(uint32_t), ndim, file) != ndim) {
        closeAll();
        DestroyTensor(tensor);
        CV_FATAL("Cannot load tensor from file %s. The header is truncated", path);
    }
    auto fail = [&](const std::string& why) {
        closeAll();
        const std::string shape = ShapeText(tensor);
        DestroyTensor(tensor);
        CV_FATAL("Cannot load tensor from file %s. %s (shape %s)", path, why.c_str(), shape.c_str());
    };
    // Strides from a file are untrusted: the storage must be addressable,
    // blocks must not overlap, and the storage (shape[0] * stride[0]) must
    // hold a whole one-dimensional row.
    if (!Addressable(tensor))
        fail("The tensor cannot be addressed: more than " + std::to_string(kMaxSlots) + " elements");
    uint64_t bound;
    if (FindBadStride(tensor, &bound) >= 0 ||
        (ndim == 1 && (uint64_t)tensor->shape.dimension[0] * tensor->stride.dimension[0] < tensor->shape.dimension[0]))
        fail("The strides do not fit the shape");
    bool overflow;
    const size_t bytes = StorageBytes(tensor, &overflow);
    if (overflow) fail("The data size is invalid");
    const long here = ftell(file);
    const bool sizeKnown = here >= 0 && fseek(file, 0, SEEK_END) == 0;
    const long end = sizeKnown ? ftell(file) : -1;
    if (sizeKnown && fseek(file, here, SEEK_SET) != 0) fail("The file cannot be read");
    // An unseekable stream counts as holding nothing: the whole storage must then be within the limit.
    const uint64_t available = sizeKnown && end > here ? (uint64_t)(end - here) : 0;
    if (bytes > available && bytes - available > kMaxMissingBytes)
        fail("The header claims " + std::to_string(bytes) + " bytes of data, more than " +
             std::to_string(kMaxMissingBytes) + " beyond the end of the file");
    AllocTensorData(tensor);
    if (fread(tensor->data, 1, bytes, file) != bytes && ferror(file)) fail("Reading the data failed");
    closeAll();
    return tensor;
}
