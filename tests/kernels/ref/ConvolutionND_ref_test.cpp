// One-, three-dimensional and transposed convolution kernels against the
// naive convolution over random geometry, and hand computations.
#include <gtest/gtest.h>

#include "LayersConvolutionND.h"
#include "conv_util.h"

using namespace conv_test;

namespace {

std::mt19937 rng(1234);

uint32_t Rand(uint32_t lo, uint32_t hi) { return lo + (uint32_t)(rng() % (hi - lo + 1)); }

}  // namespace

// Conv1D: one fused chain from the bias. Conv3D: per tap a partial sum over
// the group's input channels, the bias last. Transposed: the same partial
// sums, gathered in input-position order. Channels per group usually
// divide, sometimes leave channels no group reaches; wide groups now and
// then so that every channel block width runs; gapped strides.
TEST(ConvolutionNDRef, MatchesNaiveOverRandomGeometry)
{
    enum { kConv1D, kConv3D, kTransposed2D, kTransposed1D };
    for (int trial = 0; trial < 200; ++trial) {
        const int kind = trial % 4;
        const bool transposed = kind >= kTransposed2D;
        const size_t nd = kind == kConv3D ? 3 : kind == kTransposed2D ? 2 : 1;
        const uint32_t G = Rand(1, 3), Cin = G * Rand(1, 9);
        uint32_t Cout = G * (rng() % 3 == 0 ? Rand(8, 37) : Rand(1, 6)) + (rng() % 6 == 0 ? 1 : 0);
        if (transposed) Cout -= Cout % G;  // the filter's shape names the per-group count
        ConvSetup c;
        c.groups = G, c.transposed = transposed, c.chain = kind == kConv1D;
        c.act = kFusedKinds[rng() % 5], c.alpha = 0.125f;
        c.x = {Rand(1, 2)}, c.y = {c.x[0]};
        U padEnd;
        bool empty = false;
        for (size_t a = 0; a < nd; ++a) {
            c.k.push_back(Rand(1, nd == 3 ? 3 : 4)), c.s.push_back(Rand(1, nd == 3 ? 2 : 3));
            c.d.push_back(Rand(1, nd == 3 || transposed ? 2 : 3)), c.pad.push_back(Rand(0, transposed ? 2 : 3));
            padEnd.push_back(Rand(0, nd == 3 ? 1 : 3));
            c.x.push_back(Rand(1, transposed ? 6 : nd == 3 ? 4 + (uint32_t)a : 12));
            const uint32_t extent = (c.k[a] - 1) * c.d[a] + 1;
            if (transposed)  // random output padding and end pads
                c.y.push_back((uint32_t)std::max<int64_t>(1, (int64_t)(c.x[a + 1] - 1) * c.s[a] + extent + Rand(0, 1) -
                                                                 c.pad[a] - Rand(0, 2)));
            else
                c.y.push_back(OutSize(c.x[a + 1], c.k[a], c.s[a], c.d[a], c.pad[a], padEnd[a]));
            empty = empty || c.y.back() == 0;
        }
        c.x.push_back(Cin), c.y.push_back(Cout);
        if (empty) continue;
        U wDims = c.k;
        wDims.push_back(transposed ? Cout / G : Cin / G), wDims.push_back(transposed ? Cin : Cout);
        const bool useBias = rng() % 2;
        Tensor* x = Make(DL_NONE, c.x, &rng, trial % 2);
        Tensor* w = Make(DL_NONE, wDims, &rng);
        Tensor* b = Make(DL_NONE, {Cout}, &rng);
        Tensor* y = Make(DL_NONE, c.y, nullptr, trial % 3);
        const ActivationParams act{c.act, c.alpha};
        if (kind == kConv1D) {
            const Conv1DParams p = {c.k[0], c.s[0], c.d[0], c.pad[0], padEnd[0], G, useBias, act};
            Conv1D_fl32_ref(x, w, useBias || trial % 2 ? b : nullptr, y, &p);  // no bias is read without useBias
        } else if (kind == kConv3D) {
            const Conv3DParams p = {c.k[0],    c.k[1], c.k[2],   c.s[0],    c.s[1],   c.s[2],    c.d[0],
                                    c.d[1],    c.d[2], c.pad[1], padEnd[1], c.pad[0], padEnd[0], c.pad[2],
                                    padEnd[2], G,      Cout,     useBias,   EXPLICIT, act};
            Conv3D_fl32_ref(x, w, b, y, &p);
        } else if (kind == kTransposed2D) {
            const Conv2DTransposeParams p = {c.k[0], c.k[1],   Cout,     c.s[0],  c.s[1], c.d[0],
                                             c.d[1], c.pad[0], c.pad[1], useBias, G,      act};
            Conv2DTranspose_fl32_ref(x, w, b, y, &p);
        } else {
            const Conv1DTransposeParams p = {c.s[0], c.k[0], c.d[0], c.pad[0], useBias, G, act};
            Conv1DTranspose_fl32_ref(x, w, b, y, &p);
        }
        ASSERT_TRUE(SameValues(NaiveConv(c, Values(x), Values(w), useBias ? F32(b) : nullptr), y))
            << "trial " << trial << " kind " << kind << " G " << G << " Cin " << Cin << " Cout " << Cout;
        for (Tensor* t : {x, w, b, y}) DestroyTensor(t);
    }
}

// A grouped Conv1DTranspose has one bias value per channel of a group; every group adds the same values.
TEST(ConvolutionNDRef, GroupedTransposedBias)
{
    Tensor* gx = Filled({1, 2, 4}, {1, 2, 3, 4, 5, 6, 7, 8});
    Tensor* gw = Filled({1, 1, 4}, {1, 1, 10, 10});
    Tensor* gb = Filled({1}, {0.5f});
    Tensor* gy = Filled({1, 2, 2});
    Conv1DTransposeParams gp = {1, 1, 1, 0, 1, 2, {None, 0.0f}};
    Conv1DTranspose_fl32_ref(gx, gw, gb, gy, &gp);
    EXPECT_EQ(Values(gy), (std::vector<float>{1 + 2 + 0.5f, 30 + 40 + 0.5f, 5 + 6 + 0.5f, 70 + 80 + 0.5f}));
    for (Tensor* t : {gx, gw, gb, gy}) DestroyTensor(t);
}
