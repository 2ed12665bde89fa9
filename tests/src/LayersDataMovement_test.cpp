// A hand-built model chaining the data-movement layers, against the same
// computation done by index.

#include <climits>

#include "LayersDataMovement.h"
#include "datamovement_util.h"

using namespace corvus_test;
using dm_test::At;
using U = std::vector<uint32_t>;

TEST(LayersDataMovement, HandBuiltModelPredicts)
{
    // x (2,3,4) -> transpose (2,0,1) -> slice axis 0 from the end by -2 ->
    // gather [2,0] on axis 2 -> concatenate with the slice on axis 2 ->
    // reshape (4,5) -> expand to (3,4,5); checked against the same
    // computation done by index. The reshape becomes a view of its input.
    auto Ints = [](const char* name, std::vector<int32_t> v) {
        return ConstantLayer(name, Holding(DT_INT32, {(uint32_t)v.size()}, v));
    };
    Layer* x = InputLayer("x", DT_FLOAT32, {2, 3, 4});
    const uint32_t perm[3] = {2, 0, 1};
    Layer* t = AddTransposeLayer(x, nullptr, perm, 3, "transpose");
    Layer* sliceIns[5] = {t, Ints("s", {-1}), Ints("e", {INT_MIN}), Ints("a", {0}), Ints("st", {-2})};
    Layer* s = AddSliceLayer(sliceIns, nullptr, 5, "slice");
    Layer* gatherIns[2] = {s, Ints("idx", {-1, 0})};
    Layer* g = AddGatherLayer(gatherIns, nullptr, 2, 2, "gather");
    Layer* catIns[2] = {g, s};
    Layer* c = AddConcatenateLayer(catIns, nullptr, 2, "concat", 2);
    const uint32_t shape[2] = {4, 5};
    Layer* r = AddReshapeLayer(c, nullptr, "reshape", shape, 2);
    Layer* expandIns[2] = {r, Ints("shape", {3, 1, 1})};
    Layer* e = AddExpandLayer(expandIns, nullptr, 2, "expand");

    ModelRun run({e});
    TensorPtr input = NewTensor(DT_FLOAT32, {2, 3, 4});
    std::mt19937 rng(8901);
    dm_test::FillRandom(input.get(), rng);
    const Tensor* out = run.Out({{"x", input.get()}});
    ASSERT_EQ(DimsOf(out), (U{3, 4, 5}));
    EXPECT_EQ(r->kernel->output[0]->data, c->kernel->output[0]->data);

    // transposed[i][j][k] = x[j][k][i]; sliced rows i = 3, 1; gathered columns 2, 0.
    const uint32_t rows[2] = {3, 1};
    std::vector<float> expected;
    for (uint32_t i = 0; i < 2; ++i)
        for (uint32_t j = 0; j < 2; ++j) {
            for (uint32_t k : {2u, 0u}) expected.push_back(At<float>(input.get(), {j, k, rows[i]}));
            for (uint32_t k = 0; k < 3; ++k) expected.push_back(At<float>(input.get(), {j, k, rows[i]}));
        }
    for (uint32_t i = 0; i < 60; ++i) EXPECT_EQ(((const float*)out->data)[i], expected[i % 20]) << i;
    // The gather indices were normalised in place.
    EXPECT_EQ(((const int32_t*)gatherIns[1]->kernel->output[0]->data)[0], 2);
}
