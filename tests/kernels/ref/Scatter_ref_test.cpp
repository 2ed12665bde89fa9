// ScatterND with every reduction against a naive accumulation in index order
// (its refusal is with Gather's, in Gather_ref_test).
#include "LayersDataMovement.h"
#include "datamovement_util.h"

using namespace dm_test;

namespace {

// Integers wrap modulo their width, as machine arithmetic does.
template <class T> T Combine(T o, T u, uint32_t reduction)
{
    using Wide = typename std::conditional<std::is_floating_point<T>::value, T, int64_t>::type;
    return reduction == 0   ? u
           : reduction == 1 ? (T)((Wide)o + (Wide)u)
           : reduction == 2 ? (T)((Wide)o * (Wide)u)
           : reduction == 3 ? (o > u ? o : u)
                            : (o < u ? o : u);
}

// Expected output, element by element in row-major order of the index
// tuples; float16 is combined in float32 and rounded once at the end.
template <class T>
TensorPtr Reference(const Tensor* data, const Tensor* indices, const Tensor* updates, uint32_t reduction)
{
    const Dims dims = DimsOf(data);
    const uint32_t q = indices->ndim, k = indices->shape.dimension[q - 1];
    std::vector<T> acc;
    auto read = [](const Tensor* t, const Dims& c) -> T {
        if constexpr (std::is_same<T, float>::value)
            return t->dtype == DT_FLOAT32 ? At<float>(t, c) : corvus_test::Float(At<uint16_t>(t, c));
        else
            return At<T>(t, c);
    };
    ForEachIndex(dims, [&](const Dims& c) { acc.push_back(read(data, c)); });
    // Update element u goes to the data element its index tuple names,
    // followed by u's coordinates past the tuple dimensions.
    ForEachIndex(DimsOf(updates), [&](const Dims& u) {
        Dims ic(u.begin(), u.begin() + (q - 1)), dc;
        for (uint32_t j = 0; j < k; ++j) {
            ic.push_back(j);
            const int32_t v = At<int32_t>(indices, ic);
            ic.pop_back();
            dc.push_back((uint32_t)(v < 0 ? v + (int32_t)dims[j] : v));
        }
        dc.insert(dc.end(), u.begin() + (q - 1), u.end());
        size_t f = 0;
        for (size_t d = 0; d < dims.size(); ++d) f = f * dims[d] + dc[d];
        acc[f] = Combine<T>(acc[f], read(updates, u), reduction);
    });
    TensorPtr expected = MakeTensor((DataType)data->dtype, dims);
    size_t i = 0;
    ForEachIndex(dims, [&](const Dims& c) {
        if constexpr (std::is_same<T, float>::value) {
            if (data->dtype == DT_FLOAT16) return Set<uint16_t>(expected.get(), c, corvus_test::Half(acc[i++]));
        }
        Set<T>(expected.get(), c, acc[i++]);
    });
    return expected;
}

}  // namespace

TEST(ScatterRef, EveryReductionOverRandomShapesAndTypes)
{
    std::mt19937 rng(8501);
    const DataType types[] = {DT_FLOAT32, DT_INT32, DT_FLOAT16, DT_UINT8, DT_INT8, DT_UINT32};
    for (int iter = 0; iter < 240; ++iter) {
        const uint32_t reduction = iter % 5;
        const DataType dt = types[(iter / 5) % 6];
        const uint32_t r = 1 + (iter / 3) % 5;
        const uint32_t k = iter % 13 == 0 ? 0 : std::uniform_int_distribution<uint32_t>(1, r)(rng);
        const uint32_t q = std::uniform_int_distribution<uint32_t>(1, std::min<uint32_t>(3, 7 - (r - k)))(rng);
        const Dims dims = RandomDims(rng, r, 4, 300);
        Dims idxDims = RandomDims(rng, q - 1, 3, 12);
        idxDims.push_back(k);
        Dims updDims(idxDims.begin(), idxDims.end() - 1);
        updDims.insert(updDims.end(), dims.begin() + k, dims.end());

        TensorPtr data = RandomTensor(rng, dt, dims, iter % 4 == 1 ? 1 : 0);
        TensorPtr updates = RandomTensor(rng, dt, updDims, iter % 4 == 2 ? 2 : 0);
        TensorPtr indices = MakeTensor(DT_INT32, idxDims);  // negative ones count from the end
        ForEachIndex(idxDims, [&](const Dims& c) {
            const int32_t extent = (int32_t)dims[c.back()];
            Set<int32_t>(indices.get(), c, std::uniform_int_distribution<int32_t>(-extent, extent - 1)(rng));
        });

        Tensor* ins[3] = {CopyOf(data.get()), CopyOf(indices.get()), CopyOf(updates.get())};
        Layer* layer = RunLayer(AddScatterNDLayer(nullptr, ins, 3, reduction, nullptr), kfname_ScatterND_ref);
        const auto reference = dt == DT_FLOAT32 || dt == DT_FLOAT16 ? Reference<float>
                               : dt == DT_INT32                     ? Reference<int32_t>
                               : dt == DT_UINT32                    ? Reference<uint32_t>
                               : dt == DT_UINT8                     ? Reference<uint8_t>
                                                                    : Reference<int8_t>;
        const TensorPtr expected = reference(data.get(), indices.get(), updates.get(), reduction);
        EXPECT_TRUE(SameElements(layer->kernel->output[0], expected.get()))
            << "data " << DimsText(dims) << " indices " << DimsText(idxDims) << " reduction " << reduction << " type "
            << dt;
        DestroyLayer(layer);
    }
}
