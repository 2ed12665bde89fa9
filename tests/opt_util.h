/* Helpers of the kernel tests: kernel records over borrowed tensors, views
 * into other tensors' storage, whole-storage comparison (so writes into the
 * holes of strided tensors show up), and the two table-driven harnesses:
 * optimised kernel against its reference (and the selector's pick), half
 * precision against float32. */
#ifndef CORVUS_TESTS_OPT_UTIL_H
#define CORVUS_TESTS_OPT_UTIL_H

#include <cmath>
#include <numeric>

#include "NNKernelFnSelector.h"
#include "datamovement_util.h"

namespace opt_test {

using dm_test::Dims;
using dm_test::TensorPtr;

using Kernel = corvus_test::KernelRecord;

/* Bytes of a tensor's whole storage (GetTensorDataSize elements). */
inline size_t StorageBytes(const Tensor* t) { return (size_t)GetTensorDataSize(t) * DataTypeSize((DataType)t->dtype); }

/* Fills the whole storage, holes included, with one byte value. */
inline void FillStorage(Tensor* t, uint8_t v) { memset(t->data, v, StorageBytes(t)); }

/* True when element i of a float32/float16 storage is a NaN in both. Which
 * NaN an operation on two NaNs returns depends on the hardware and on the
 * operand order (x86 and Arm differ), so any NaN matches any NaN. */
inline bool BothNaN(const Tensor* a, const Tensor* b, size_t i)
{
    auto nan = [&](const Tensor* t) {
        return a->dtype == DT_FLOAT32 ? std::isnan(((const float*)t->data)[i])
                                      : a->dtype == DT_FLOAT16 && (((const uint16_t*)t->data)[i] & 0x7FFFu) > 0x7C00u;
    };
    return nan(a) && nan(b);
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
            return ::testing::AssertionFailure()
                   << "byte " << i << " (element " << i / es << "): " << (int)pa[i] << " vs " << (int)pb[i];
    return ::testing::AssertionSuccess();
}

/* A non-owning view: the given shape and strides over t's storage, starting
 * `offset` elements in. */
inline Tensor View(const Tensor* t, const Dims& shape, const Dims& strides, size_t offset)
{
    Tensor v = *t;
    v.allocatedData = false;
    v.ndim = (uint32_t)shape.size();
    v.shape = corvus_test::Shape(shape);
    v.stride = corvus_test::Dims<TensorStrides>({});
    std::copy(strides.begin(), strides.end(), v.stride.dimension);
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
    std::iota(p.begin(), p.end(), 0u);
    std::shuffle(p.begin(), p.end(), rng);
    return p;
}

/* Elements within rel * (|b| + 100) of each other (any NaN matches any NaN),
 * for kernels whose float32 summation order is free. */
inline ::testing::AssertionResult NearElements(const Tensor* a, const Tensor* b, float rel)
{
    std::string bad;
    dm_test::ForEachIndex(dm_test::DimsOf(a), [&](const Dims& c) {
        const float x = dm_test::At<float>(a, c), y = dm_test::At<float>(b, c);
        if (bad.empty() && !(std::fabs(x - y) <= rel * (std::fabs(y) + 100.0f) || (std::isnan(x) && std::isnan(y))))
            bad = dm_test::DimsText(c) + ": " + std::to_string(x) + " vs " + std::to_string(y);
    });
    return bad.empty() ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << bad;
}

/* A seed from a table row's name, the same on every platform. */
inline uint32_t Seed(const char* name)
{
    uint32_t s = 0;
    while (*name) s = s * 31 + (uint8_t)*name++;
    return s;
}

using Outs = const std::vector<Tensor*>&;

/* One random instance of a table row: the record the row's kernel runs on
 * (inputs, inner tensors, parameters; outputs in optOut), the reference's
 * outputs (refOut, the same shapes and strides, prefilled alike) and how it
 * computes them. `hold` owns what the two sides read. */
struct OptRun {
    std::vector<TensorPtr> keep, refOut, optOut;
    std::vector<Tensor*> ins, inner;
    std::vector<std::shared_ptr<void>> hold;
    void* params = nullptr;
    std::function<void(Outs)> ref;
    std::string what;
    float rel = 0.0f;          // 0: the whole storage bit for bit
    bool refSelected = false;  // a record the selector gives the reference kernel
    Tensor* In(TensorPtr t, bool asInner = false)
    {
        keep.push_back(std::move(t));
        (asInner ? inner : ins).push_back(keep.back().get());
        return keep.back().get();
    }
    void Out(DataType dt, const Dims& d, uint32_t pad = 0, DataLayout layout = DL_NONE)
    {
        refOut.push_back(dm_test::MakeTensor(dt, d, pad, layout));
        optOut.push_back(dm_test::MakeTensor(dt, d, pad, layout));
    }
    template <typename T> T* Hold(T v)
    {
        hold.push_back(std::make_shared<T>(std::move(v)));
        return (T*)hold.back().get();
    }
};
/* A row of the optimised-equals-reference tables: a kernel of
 * nn_kernel_names.def, run through its function set, against `reference`
 * (kfname_TOTAL: a naive walk of the row's own). The selector for `op` must
 * pick the kernel on the row's records, or the reference where `selected`
 * is false (a kernel it never picks) or the run says so. */
struct OptKernelCase {
    kfname kernel, reference;
    LayerOpType op;
    bool selected;
    int iterations;
    std::function<OptRun(std::mt19937&, int)> make;  // (rng, iteration)
    const char* variant = nullptr;                   // a second row of one kernel
};
inline std::string RowName(const OptKernelCase& c) { return c.variant ? c.variant : kernel_fn_name_string[c.kernel]; }
inline void PrintTo(const OptKernelCase& c, std::ostream* os) { *os << RowName(c); }
inline std::string ParamName(const ::testing::TestParamInfo<OptKernelCase>& i) { return RowName(i.param); }
/* The rows of every table, for the walk over the kernel names. */
inline std::vector<const OptKernelCase*>& Tabled()
{
    static std::vector<const OptKernelCase*> rows;
    return rows;
}
template <size_t N> const OptKernelCase (&Table(const OptKernelCase (&rows)[N]))[N]
{
    for (const OptKernelCase& r : rows) Tabled().push_back(&r);
    return rows;
}
inline void ExpectOptEqualsRef(const OptKernelCase& c)
{
    const NNKernelFn& fn = *nn_kernel_fn_list[c.kernel];
    std::mt19937 rng(Seed(RowName(c).c_str()));
    for (int i = 0; i < c.iterations && !::testing::Test::HasFailure(); ++i) {
        OptRun r = c.make(rng, i);
        if (!r.ref) continue;  // the generator skipped this draw
        std::vector<Tensor*> refOut, optOut;
        for (size_t o = 0; o < r.refOut.size(); ++o) {
            FillStorage(r.refOut[o].get(), 0x5C), refOut.push_back(r.refOut[o].get());
            FillStorage(r.optOut[o].get(), 0x5C), optOut.push_back(r.optOut[o].get());
        }
        r.ref(refOut);
        Kernel k(r.ins, optOut, r.params, r.inner);
        const kfname want = c.selected && !r.refSelected ? c.kernel : c.reference;
        const kfname got = SelectNNKernelFn(KERNEL_TARGET_CPU, c.op, DT_FLOAT32, k);
        EXPECT_EQ(got, want) << r.what << ": selected " << kernel_fn_name_string[got] << ", not "
                             << kernel_fn_name_string[want];
        // Init, two executions (the intermediate is reused) and destroy, which must release it.
        if (fn.init) fn.init(k);
        fn.execute(k);
        fn.execute(k);
        if (fn.destroy) fn.destroy(k);
        EXPECT_EQ(k.get()->extra_resources, nullptr);
        for (size_t o = 0; o < optOut.size(); ++o)
            EXPECT_TRUE(r.rel == 0.0f ? SameStorage(optOut[o], refOut[o]) : NearElements(optOut[o], refOut[o], r.rel))
                << r.what << " output " << o;
    }
}
class OptMatchesRef : public ::testing::TestWithParam<OptKernelCase> {};

/* A row of the half-precision table: a kernel that computes in float32 and
 * rounds once must give, on float16 inputs, its float32 result on the
 * widened inputs rounded to half. Inputs are random in [-range, range]
 * (absolute values when `positive`); outputs of other types (indices) must
 * be equal. run(ins, out) calls the kernel. */
struct HalfCase {
    const char* name;
    std::vector<Dims> ins;
    Dims out;
    std::function<void(const std::vector<Tensor*>&, Tensor*)> run;
    DataType outType = DT_FLOAT16;  // on the half run; other types are the same on both
    float range = 8.0f;
    bool positive = false;
};
inline void PrintTo(const HalfCase& c, std::ostream* os) { *os << c.name; }
inline void ExpectHalfIsRoundedFloat(const HalfCase& c)
{
    std::mt19937 rng(Seed(c.name));
    std::uniform_real_distribution<float> dist(-c.range, c.range);
    std::vector<TensorPtr> h, f;
    std::vector<Tensor*> hp, fp;
    for (const Dims& d : c.ins) {
        h.push_back(dm_test::MakeTensor(DT_FLOAT16, d));
        f.push_back(dm_test::MakeTensor(DT_FLOAT32, d));
        uint16_t* hd = (uint16_t*)h.back()->data;
        for (size_t e = 0; e < dm_test::Count(d); ++e)
            hd[e] = corvus_test::Half(c.positive ? std::fabs(dist(rng)) : dist(rng));
        TensorDataConvert(f.back().get(), h.back().get());
        hp.push_back(h.back().get()), fp.push_back(f.back().get());
    }
    const bool indices = c.outType != DT_FLOAT16;
    TensorPtr ho = dm_test::MakeTensor(c.outType, c.out),
              fo = dm_test::MakeTensor(indices ? c.outType : DT_FLOAT32, c.out);
    c.run(hp, ho.get());
    c.run(fp, fo.get());
    if (indices) {
        EXPECT_EQ(memcmp(ho->data, fo->data, StorageBytes(ho.get())), 0) << c.name;
        return;
    }
    for (size_t e = 0; e < dm_test::Count(c.out); ++e) {
        const uint16_t want = corvus_test::Half(((float*)fo->data)[e]), got = ((uint16_t*)ho->data)[e];
        const bool bothNaN = (want & 0x7FFF) > 0x7C00 && (got & 0x7FFF) > 0x7C00;
        ASSERT_TRUE(bothNaN || got == want) << c.name << " element " << e << ": " << got << " vs " << want;
    }
}

}  // namespace opt_test

#endif
