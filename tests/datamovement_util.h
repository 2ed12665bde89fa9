/* Helpers of the data-movement tests: owned tensors with random contents
 * and optional padded strides, and naive coordinate-by-coordinate access
 * against which the kernels are compared. */
#ifndef CORVUS_TESTS_DATAMOVEMENT_UTIL_H
#define CORVUS_TESTS_DATAMOVEMENT_UTIL_H

#include "nn_kernel_list.h"
#include "test_util.h"

namespace dm_test {

using Dims = std::vector<uint32_t>;

using corvus_test::Count;
using corvus_test::DimsOf;
using corvus_test::ForEachIndex;
using corvus_test::Shape;
using corvus_test::TensorPtr;

/* Allocated tensor; with pad > 0 every dimension's stride leaves `pad`
 * unused elements after each row of the next-inner dimension, so nothing
 * but the innermost run is contiguous. */
inline TensorPtr MakeTensor(DataType dtype, const Dims& dims, uint32_t pad = 0, DataLayout layout = DL_NONE)
{
    if (pad == 0 || dims.empty()) return corvus_test::NewTensor(dtype, dims, {}, true, layout);
    Dims st(dims.size(), 1);
    for (size_t k = dims.size() - 1; k-- > 0;) st[k] = st[k + 1] * dims[k + 1] + pad;
    return corvus_test::NewTensor(dtype, dims, st, true, layout);
}

inline uint8_t* ElementAt(const Tensor* t, const Dims& c)
{
    size_t off = 0;
    for (size_t k = 0; k < c.size(); ++k) off += (size_t)c[k] * t->stride.dimension[k];
    return (uint8_t*)t->data + off * DataTypeSize((DataType)t->dtype);
}

/* Raw bits of one element (1, 2 or 4 bytes). */
inline uint32_t Raw(const Tensor* t, const Dims& c)
{
    uint32_t v = 0;
    memcpy(&v, ElementAt(t, c), DataTypeSize((DataType)t->dtype));
    return v;
}

template <class T> T At(const Tensor* t, const Dims& c)
{
    T v;
    memcpy(&v, ElementAt(t, c), sizeof(T));
    return v;
}

template <class T> void Set(Tensor* t, const Dims& c, T v) { memcpy(ElementAt(t, c), &v, sizeof(T)); }

/* Distinct-looking random contents of every element: uniform in [lo, hi]
 * for float32 and float16, random bits for other types. */
inline void FillRandom(Tensor* t, std::mt19937& rng, float lo = -100.0f, float hi = 100.0f)
{
    std::uniform_int_distribution<uint32_t> bits;
    std::uniform_real_distribution<float> real(lo, hi);
    ForEachIndex(DimsOf(t), [&](const Dims& c) {
        if (t->dtype == DT_FLOAT32)
            Set<float>(t, c, real(rng));
        else if (t->dtype == DT_FLOAT16)
            Set<uint16_t>(t, c, corvus_test::Half(real(rng)));
        else {
            const uint32_t v = bits(rng);
            memcpy(ElementAt(t, c), &v, DataTypeSize((DataType)t->dtype));
        }
    });
}
inline TensorPtr RandomTensor(std::mt19937& rng, DataType dt, const Dims& dims, uint32_t pad = 0,
                              DataLayout layout = DL_NONE)
{
    TensorPtr t = MakeTensor(dt, dims, pad, layout);
    FillRandom(t.get(), rng);
    return t;
}

/* An allocated copy with the same strides (layout DL_NONE), for layers that take ownership. */
inline Tensor* CopyOf(const Tensor* t)
{
    Tensor* c = CreateTensorWithStrides((DataType)t->dtype, DL_NONE, t->ndim, t->shape, t->stride, true);
    memcpy(c->data, t->data, (size_t)GetTensorDataSize(t) * DataTypeSize((DataType)t->dtype));
    return c;
}

inline TensorPtr Int32Tensor(const std::vector<int32_t>& values, DataType dtype = DT_INT32)
{
    return TensorPtr(corvus_test::Holding(dtype, {(uint32_t)values.size()}, values));
}

/* Allocates the layer's output and runs kernel fn on its record. */
inline Layer* RunLayer(Layer* layer, kfname fn)
{
    AllocTensorData(layer->kernel->output[0]);
    nn_kernel_fn_list[fn]->execute(layer->kernel);
    return layer;
}

/* Random shape of `rank` extents in [1, maxExtent] with at most maxCount elements. */
inline Dims RandomDims(std::mt19937& rng, uint32_t rank, uint32_t maxExtent, uint64_t maxCount = 4096)
{
    for (;;) {
        Dims dims(rank);
        for (uint32_t& d : dims) d = std::uniform_int_distribution<uint32_t>(1, maxExtent)(rng);
        if (Count(dims) <= maxCount) return dims;
    }
}

inline std::string DimsText(const Dims& dims) { return ::testing::PrintToString(dims); }

/* Elements of out whose raw bits differ from in at source(c), c running over out. */
inline uint64_t Mismatches(const Tensor* out, const Tensor* in, const std::function<Dims(const Dims&)>& source)
{
    uint64_t wrong = 0;
    ForEachIndex(DimsOf(out), [&](const Dims& c) { wrong += Raw(out, c) != Raw(in, source(c)); });
    return wrong;
}

/* Every element of a equals the element of b (raw bits) at the same coordinate. */
inline ::testing::AssertionResult SameElements(const Tensor* a, const Tensor* b)
{
    if (DimsOf(a) != DimsOf(b)) return ::testing::AssertionFailure() << "shapes differ";
    const uint64_t wrong = Mismatches(a, b, [](const Dims& c) { return c; });
    if (wrong != 0) return ::testing::AssertionFailure() << wrong << " elements differ";
    return ::testing::AssertionSuccess();
}

}  // namespace dm_test

#endif
