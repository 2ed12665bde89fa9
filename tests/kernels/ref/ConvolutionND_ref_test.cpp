// The convolution kernels (one- to three-dimensional, grouped, depthwise and
// transposed) against the naive convolution over random geometry.
#include "LayersConvolution.h"
#include "LayersConvolutionND.h"
#include "conv_util.h"
#include "nn_kernel_list.h"

using namespace conv_test;

namespace {

std::mt19937 rng(1234);

uint32_t Rand(uint32_t lo, uint32_t hi) { return lo + (uint32_t)(rng() % (hi - lo + 1)); }

}  // namespace

// Each kind in its own rounding order (see ConvSetup). Besides the usual shapes: channels no group reaches,
// more groups than input channels, packed filter rows (256 channels and more), few input channels over several
// output blocks, an infinite weight only pads would tap (no 0 * inf), depthwise tiles (a square 3x3 or 5x5
// window, no dilation), Conv2D one-pixel outputs (up to 150 channels) whose window may hang over the input,
// 1x1 layers without pads (4-60 channels), rows of 3-column windows (4-15 channels), gapped strides, 3x3 filters
// deep enough to be read a group of positions at a time over small maps (120-260 channels).
TEST(ConvolutionNDRef, MatchesNaiveOverRandomGeometry)
{
    enum { kConv1D, kConv3D, kTransposed2D, kTransposed1D, kConv2D, kDepthwise };
    for (int trial = 0; trial < 600; ++trial) {
        const int kind = trial % 6, round = trial / 6;
        const bool transposed = kind == kTransposed2D || kind == kTransposed1D, dw = kind == kDepthwise;
        const bool tiles = dw && round % 2 == 0, rows = kind == kConv2D && round % 8 == 1;  // see above
        const bool blocks = tiles && round % 4 == 0;  // depthwise rows wide enough for several channel blocks
        const bool packed = kind == kConv2D && round % 5 == 0, half = round % 4 == 1 && kind >= kConv2D && !rows;
        const bool deep = kind == kConv2D && round % 20 == 6;
        const bool single = kind == kConv2D && round % 3 == 2 && !deep,
                   pointwise = kind == kConv2D && round % 4 == 3 && !single;
        const uint32_t tileK = Rand(0, 1) ? 3 : 5, tileS = Rand(1, 2);
        const size_t nd = kind == kConv3D ? 3 : kind == kTransposed1D || kind == kConv1D ? 1 : 2;
        uint32_t G = Rand(1, 3), Cin = G * Rand(pointwise ? 4 : 1, kind == kConv2D ? 20 : 9), M = Rand(1, 3);
        const bool image = kind == kConv2D && round % 4 == 0;     // 1-3 channels over several output blocks
        if (kind == kConv2D && round % 2 == 0) Cin = Rand(1, 3);  // sometimes fewer than the groups
        if (image || pointwise || rows) G = 1, Cin = rows ? Rand(4, 15) : Cin;
        if (dw) G = Cin = blocks ? Rand(64, 80) : Rand(1, 37);
        if (deep) G = 1, Cin = Rand(120, 260);
        uint32_t Cout = dw      ? Cin * M
                        : image ? Rand(17, 70)
                                : G * (packed                   ? Rand(256, 300)
                                       : single                 ? Rand(8, 150)
                                       : rows || rng() % 3 == 0 ? Rand(8, 37)
                                                                : Rand(1, pointwise ? 70 : 6));
        if (deep) Cout = Rand(33, 70);
        if (kind < kConv2D && rng() % 6 == 0) Cout += 1;
        if (transposed) Cout -= Cout % G;  // the filter's shape names the per-group count
        ConvSetup c;
        c.groups = G, c.transposed = transposed, c.chain = kind == kConv1D || dw;
        c.act = half && dw ? (uint32_t)None : kFusedKinds[rng() % 5], c.alpha = dw ? 0.0f : 0.125f;
        c.half = half && !dw, c.halfSteps = half && dw;
        c.x = {Rand(1, 2)}, c.y = {c.x[0]};
        U padEnd;
        bool empty = false;
        for (size_t a = 0; a < nd; ++a) {
            c.k.push_back(tiles ? tileK : Rand(1, nd == 3 ? 3 : 4 - 3 * pointwise)),
                c.s.push_back(tiles ? tileS : Rand(1, nd == 3 || pointwise ? 2 : 3));
            c.d.push_back(tiles ? 1 : Rand(1, nd == 3 || transposed ? 2 : 3)),
                c.pad.push_back(Rand(0, transposed ? 2 : 3 * !pointwise));
            padEnd.push_back(Rand(0, pointwise ? 0 : nd == 3 ? 1 : 3));
            c.x.push_back(Rand(pointwise          ? 7
                               : blocks && a == 1 ? 25
                                                  : 1,
                               transposed     ? 6
                               : nd == 3      ? 4 + (uint32_t)a
                               : dw && a == 1 ? 26
                                              : 12));
            if (rows && a == 1) c.k.back() = 3, c.d.back() = c.s.back(), c.x.back() = Rand(5, 26);
            if (deep) c.k.back() = 3, c.d.back() = 1, c.x.back() = Rand(3, 8);
            if (rows && round % 16 == 1) {  // two output rows see the same kernel row; no column pads
                if (a == 0) c.k.back() = c.d.back() = c.pad.back() = 2, c.s.back() = 1;
                if (a == 1) c.pad.back() = padEnd.back() = 0;
            }
            const uint32_t extent = (c.k[a] - 1) * c.d[a] + 1;
            if (single)  // input and pads span the window exactly once
                c.x.back() = Rand(1, extent), c.pad.back() = Rand(0, extent - c.x.back()),
                padEnd.back() = extent - c.x.back() - c.pad.back();
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
        wDims.push_back(transposed ? Cout / G : Cin / std::min(G, Cin)), wDims.push_back(transposed ? Cin : Cout);
        const bool useBias = image || rng() % 2;
        const DataType dt = half ? DT_FLOAT16 : DT_FLOAT32;
        const DataLayout layout = kind >= kConv2D ? DL_NHWC : DL_NONE;
        Tensor* x = Make(layout, c.x, &rng, half ? 0 : Rand(0, 1) * 2, dt);
        Tensor* w = Make(kind == kConv2D ? DL_HWIO : DL_NONE, wDims, &rng, kind == kConv2D ? round % 3 : 0);
        Tensor* b = Make(DL_NONE, {Cout}, &rng);
        Tensor* y = Make(layout, c.y, nullptr, half ? 0 : round % 3, dt);
        if (kind == kConv2D && round % 7 == 3) F32(w)[0] = INFINITY;
        for (uint32_t e = 0; kind == kConv2D && e < Cout; ++e) F32(b)[e] *= 8.0f;  // sums past the ReLU6 bound
        const ActivationParams act{c.act, c.alpha};
        Layer* layer = nullptr;
        const float* bias = useBias ? F32(b) : nullptr;
        const Tensor *in = x, *filter = w, *out = y;
        if (kind == kConv1D) {
            const Conv1DParams p = {c.k[0], c.s[0], c.d[0], c.pad[0], padEnd[0], G, useBias, act};
            Conv1D_fl32_ref(x, w, useBias || round % 2 ? b : nullptr, y, &p);  // no bias is read without useBias
        } else if (kind == kConv3D) {
            const Conv3DParams p = {c.k[0],    c.k[1], c.k[2],   c.s[0],    c.s[1],   c.s[2],    c.d[0],
                                    c.d[1],    c.d[2], c.pad[1], padEnd[1], c.pad[0], padEnd[0], c.pad[2],
                                    padEnd[2], G,      Cout,     useBias,   EXPLICIT, act};
            Conv3D_fl32_ref(x, w, b, y, &p);
        } else if (kind == kTransposed2D) {
            const Conv2DTransposeParams p = {c.k[0], c.k[1],   Cout,     c.s[0],  c.s[1], c.d[0],
                                             c.d[1], c.pad[0], c.pad[1], useBias, G,      act};
            Conv2DTranspose_fl32_ref(x, w, b, y, &p);
        } else if (kind == kTransposed1D) {
            const Conv1DTransposeParams p = {c.s[0], c.k[0], c.d[0], c.pad[0], useBias, G, act};
            Conv1DTranspose_fl32_ref(x, w, b, y, &p);
        } else if (kind == kConv2D) {
            const Conv2DParams p = {c.k[0],   c.k[1],    Cout,      c.s[0], c.s[1],  c.d[0], c.d[1], c.pad[0],
                                    c.pad[1], padEnd[0], padEnd[1], SAME,   useBias, act,    G};
            (half ? Conv2D_fl16_ref : Conv2D_fl32_ref)(x, w, useBias ? b : nullptr, y, &p);
        } else {  // the depthwise layer takes the input; its filter in the weights file's order
            const PaddingStruct pad = Pads(c.y[1], c.y[2], c.pad[0], c.pad[1], padEnd[0], padEnd[1]);
            layer = AddDepthwiseConv2DLayer(nullptr, x, nullptr, DL_NHWC, c.k[0], c.k[1], c.s[0], c.s[1], c.d[0],
                                            c.d[1], M, &pad, useBias, c.act);
            NNKernel* k = layer->kernel;
            AllocTensorData(k->output[0]);
            for (uint32_t i = 0; i < (useBias ? 2u : 1u); ++i) {
                AllocTensorData(k->inner[i]);
                PutTensorData(i == 0 ? w->data : b->data, k->inner[i]);
            }
            k->fn = nn_kernel_fn_list_default[OP_DepthwiseConv2D];
            InitKernelCore(layer);
            k->fn->execute(k);
            filter = k->inner[0], out = k->output[0], bias = useBias ? F32(k->inner[1]) : nullptr;
            x = nullptr;  // the layer's now
        }
        ASSERT_TRUE(SameValues(NaiveConv(c, Values(in), Values(filter), bias), out))
            << "trial " << trial << " kind " << kind << " G " << G << " Cin " << Cin << " Cout " << Cout;
        for (Tensor* t : {x, w, b, y}) DestroyTensor(t);
        if (layer != nullptr) DestroyLayer(layer);
    }
}

// A grouped Conv1DTranspose has one bias value per channel of a group; every group adds the same values.
TEST(ConvolutionNDRef, GroupedTransposedBias)
{
    Tensor *gx = Filled({1, 2, 4}, {1, 2, 3, 4, 5, 6, 7, 8}), *gw = Filled({1, 1, 4}, {1, 1, 10, 10});
    Tensor *gb = Filled({1}, {0.5f}), *gy = Filled({1, 2, 2});
    Conv1DTransposeParams gp = {1, 1, 1, 0, 1, 2, {None, 0.0f}};
    Conv1DTranspose_fl32_ref(gx, gw, gb, gy, &gp);
    EXPECT_EQ(Values(gy), (std::vector<float>{1 + 2 + 0.5f, 30 + 40 + 0.5f, 5 + 6 + 0.5f, 70 + 80 + 0.5f}));
    for (Tensor* t : {gx, gw, gb, gy}) DestroyTensor(t);
}
