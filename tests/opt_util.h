/* Helpers of the kernel tests: kernel records over borrowed
 * tensors, views into other tensors' storage, and whole-storage comparison
 * (so writes into the holes of strided tensors show up). */
#ifndef CORVUS_TESTS_OPT_UTIL_H
#define CORVUS_TESTS_OPT_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <vector>

#include "Layers.h"
#include "Tensor.h"
#include "datamovement_util.h"

namespace opt_test {

using dm_test::Dims;
using dm_test::TensorPtr;

/* A kernel record over borrowed tensors, for calling Init_/Execute_ functions. */
struct Kernel {
    NNKernel k;
    std::vector<Tensor*> in, out, inner;
    Kernel(std::vector<Tensor*> inputs, std::vector<Tensor*> outputs, void* params, std::vector<Tensor*> inners = {})
        : k(), in(std::move(inputs)), out(std::move(outputs)), inner(std::move(inners))
    {
        k.input = in.empty() ? nullptr : in.data();
        k.output = out.empty() ? nullptr : out.data();
        k.inner = inner.empty() ? nullptr : inner.data();
        k.inputsNum = (uint32_t)in.size();
        k.outputsNum = (uint32_t)out.size();
        k.innerNum = (uint32_t)inner.size();
        k.params = params;
        k.coresNumber = 1;
    }
    NNKernel* get() { return &k; }
};

/* Bytes of a tensor's whole storage (GetTensorDataSize elements). */
inline size_t StorageBytes(const Tensor* t)
{
    return (size_t)GetTensorDataSize(t) * DataTypeSize((DataType)t->dtype);
}

/* Fills the whole storage, holes included, with one byte value. */
inline void FillStorage(Tensor* t, uint8_t v) { memset(t->data, v, StorageBytes(t)); }

/* True when element i of a float32/float16 storage is a NaN in both. Which
 * NaN an operation on two NaNs returns depends on the hardware and on the
 * operand order (x86 and Arm differ), so any NaN matches any NaN. */
inline bool BothNaN(const Tensor* a, const Tensor* b, size_t i)
{
    if (a->dtype == DT_FLOAT32) {
        uint32_t x, y;
        memcpy(&x, (const uint8_t*)a->data + 4 * i, 4);
        memcpy(&y, (const uint8_t*)b->data + 4 * i, 4);
        return (x & 0x7FFFFFFFu) > 0x7F800000u && (y & 0x7FFFFFFFu) > 0x7F800000u;
    }
    if (a->dtype == DT_FLOAT16) {
        const uint16_t x = ((const uint16_t*)a->data)[i], y = ((const uint16_t*)b->data)[i];
        return (x & 0x7FFFu) > 0x7C00u && (y & 0x7FFFu) > 0x7C00u;
    }
    return false;
}

/* Same shape, type and strides, and the same bytes everywhere in storage
 * (NaN elements match any NaN). */
inline ::testing::AssertionResult SameStorage(const Tensor* a, const Tensor* b)
{
    if (StorageBytes(a) != StorageBytes(b)) return ::testing::AssertionFailure() << "storage sizes differ";
    const uint8_t* pa = (const uint8_t*)a->data;
    const uint8_t* pb = (const uint8_t*)b->data;
    const size_t es = DataTypeSize((DataType)a->dtype);
    for (size_t i = 0; i < StorageBytes(a); ++i)
        if (pa[i] != pb[i] && !(a->dtype == b->dtype && BothNaN(a, b, i / es)))
        {
            uint64_t x = 0, y = 0;
            memcpy(&x, pa + i / es * es, es);
            memcpy(&y, pb + i / es * es, es);
            std::ostringstream words;  // hex words, formatted apart from the assertion's own stream
            words << std::hex << "0x" << x << " vs 0x" << y;
            return ::testing::AssertionFailure() << "byte " << i << ": " << (int)pa[i] << " vs " << (int)pb[i]
                                                 << " (element " << i / es << ": " << words.str() << ")";
        }
    return ::testing::AssertionSuccess();
}

/* A non-owning view: the given shape and strides over t's storage, starting
 * `offset` elements in. */
inline Tensor View(const Tensor* t, const Dims& shape, const Dims& strides, size_t offset)
{
    Tensor v = *t;
    v.allocatedData = false;
    v.ndim = (uint32_t)shape.size();
    memset(&v.shape, 0, sizeof(v.shape));
    memset(&v.stride, 0, sizeof(v.stride));
    for (size_t k = 0; k < shape.size(); ++k) {
        v.shape.dimension[k] = shape[k];
        v.stride.dimension[k] = strides[k];
    }
    v.data = (uint8_t*)t->data + offset * DataTypeSize((DataType)t->dtype);
    return v;
}

inline DataType RandomType(std::mt19937& rng)
{
    static const DataType kTypes[] = {DT_FLOAT32, DT_FLOAT16, DT_INT32, DT_UINT32, DT_UINT8, DT_INT8};
    return kTypes[rng() % 6];
}

inline Dims RandomPermutation(std::mt19937& rng, uint32_t rank)
{
    Dims p(rank);
    for (uint32_t i = 0; i < rank; ++i) p[i] = i;
    std::shuffle(p.begin(), p.end(), rng);
    return p;
}

}  // namespace opt_test

#endif
