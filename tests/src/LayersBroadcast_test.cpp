// Hand-built models running the broadcast, comparison, logic and
// element-wise layers through the default kernels.

#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "broadcast_util.h"

using namespace bcast_test;

using Binary = Layer* (*)(Layer**, Tensor**, uint32_t, const char*);

TEST(BroadcastModel, OperandOrderFusedClampComparisonsAndSelection)
{
    Owned a(DT_FLOAT32, {2, 3}), b(DT_FLOAT32, {2, 1});
    const float av[] = {1, 8, 20, -4, 0, 3}, bv[] = {2, -0.5f};
    memcpy(a.as<float>(), av, sizeof(av));
    memcpy(b.as<float>(), bv, sizeof(bv));
    auto run = [&](Binary ctor, bool swap, uint32_t aName) {
        const ModelResult r = RunModel(swap ? std::vector<const Tensor*>{b, a} : std::vector<const Tensor*>{a, b},
                                       [&](std::vector<Layer*>& in) {
                                           Layer* l = ctor(in.data(), nullptr, 2, nullptr);
                                           ((BroadcastParams*)l->kernel->params)->aName = aName;
                                           return l;
                                       });
        std::vector<float> v;
        for (int i = 0; i < 6; ++i) v.push_back(r.at<float>(i));
        return v;
    };
    EXPECT_EQ(run(AddSubLayer, false, None), (std::vector<float>{-1, 6, 18, -3.5f, 0.5f, 3.5f}));
    EXPECT_EQ(run(AddSubLayer, true, None), (std::vector<float>{1, -6, -18, 3.5f, -0.5f, -3.5f}));
    EXPECT_EQ(run(AddDivLayer, true, ReLU6), (std::vector<float>{2, 0.25f, 0.1f, 0.125f, 0, 0}));
    EXPECT_EQ(run(AddMulLayer, false, ReLU), (std::vector<float>{2, 16, 40, 2, 0, 0}));
    EXPECT_EQ(Bits(run(AddMulLayer, false, ReLU)[4]), 0u);  // -0 * ... clamps to +0

    // Where(Not(Greater(p, q)), p, q) is the element-wise minimum; And(Equal, Less) is never true.
    Rng rng(12);
    Owned p(DT_FLOAT32, {2, 1, 4}), q(DT_FLOAT32, {3, 1});
    for (const Owned* t : {&p, &q})
        for (uint32_t i = 0; i < GetTensorSize(t->t); ++i) t->as<float>()[i] = rng.uniform(4.0f) + 0.125f;
    p.as<float>()[1] = q.as<float>()[0];  // one tie
    ModelResult r = RunModel({p, q}, [](std::vector<Layer*>& in) {
        Layer* le = AddNotLayer(AddGreaterLayer(in.data(), nullptr, 2, "gt"), nullptr, "le");
        Layer* w[] = {le, in[0], in[1]};
        return AddWhereLayer(w, nullptr, 3, "min");
    });
    ASSERT_EQ(r.shape, (Dims{2, 3, 4}));
    size_t flat = 0;
    ForEachIndex(r.shape, [&](const Dims& i) {
        const float pv = p.as<float>()[BroadcastOffset(p, i)], qv = q.as<float>()[BroadcastOffset(q, i)];
        EXPECT_EQ(r.at<float>(flat++), std::min(pv, qv));
    });
    r = RunModel({p, q}, [](std::vector<Layer*>& in) {
        Layer* both[] = {AddEqualLayer(in.data(), nullptr, 2, "eq"), AddLessLayer(in.data(), nullptr, 2, "lt")};
        return AddAndLayer(both, nullptr, 2, "and");
    });
    for (size_t i = 0; i < 24; ++i) EXPECT_EQ(r.at<int8_t>(i), 0);
    r = RunModel({p, q}, [](std::vector<Layer*>& in) { return AddEqualLayer(in.data(), nullptr, 2, "eq"); });
    EXPECT_EQ(r.at<int8_t>(1), 1);  // the tie
    EXPECT_EQ(r.at<int8_t>(0) + r.at<int8_t>(2) + r.at<int8_t>(5), 0);
}

TEST(BroadcastModel, ElementWiseUsesItsCoefficients)
{
    Owned a(DT_FLOAT32, {1, 1, 2, 2}, DL_NHWC), b(DT_FLOAT32, {1, 1, 2, 2}, DL_NHWC);
    const float av[] = {1, 2, 3, 4}, bv[] = {4, 3, 2, 1};
    memcpy(a.as<float>(), av, 16);
    memcpy(b.as<float>(), bv, 16);
    const ModelResult r = RunModel(
        {a, b}, [](std::vector<Layer*>& in) { return AddElementWiseLayer(in.data(), nullptr, 2, "ew", ReLU); },
        [](Layer* ew) {
            float* al = (float*)ew->kernel->inner[0]->data;
            float* be = (float*)ew->kernel->inner[1]->data;
            al[0] = 1.0f, al[1] = -1.0f, be[0] = 0.5f, be[1] = 1.0f;
        });
    EXPECT_EQ((std::vector<float>{r.at<float>(0), r.at<float>(1), r.at<float>(2), r.at<float>(3)}),
              (std::vector<float>{3, 1, 4, 0}));
    EXPECT_EQ(Bits(r.at<float>(3)), 0x80000000u);  // ReLU of -3 is -0
}
