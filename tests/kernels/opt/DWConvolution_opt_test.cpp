// Half-precision depthwise convolution: one float32 chain from the bias, rounded once (the naive
// convolution, bit for bit), and the fallbacks to the reference kernel with their reasons.
#include "LayersConvolution.h"
#include "conv_util.h"
#include "nn_kernels/OptKernels.h"
#include "opt_util.h"

using namespace conv_test;

namespace {

struct Dw {
    DepthWiseConv2DParams p;
    Tensor *in, *filter, *bias, *out;
    ConvSetup setup;
    Dw(DataType t, uint32_t H, uint32_t W, uint32_t C, uint32_t k, uint32_t s, uint32_t pad, std::mt19937& rng)
        : p{k, k, s, s, 1, 1, pad, pad, pad, pad, 1, pad ? SAME : VALID, 1, None},
          in(Make(DL_NHWC, {1, H, W, C}, &rng, 0, t)), filter(Make(DL_MHWI, {1, k, k, C}, &rng, 0, t)),
          bias(Make(DL_I, {C}, &rng, 0, t)),
          out(Make(DL_NHWC, {1, OutSize(H, k, s, 1, pad, pad), OutSize(W, k, s, 1, pad, pad), C}, nullptr, 0, t))
    {
        setup.x = corvus_test::DimsOf(in), setup.y = corvus_test::DimsOf(out), setup.k = {k, k}, setup.s = {s, s};
        setup.pad = {pad, pad}, setup.groups = C, setup.chain = true, setup.half = true;
    }
    ~Dw()
    {
        for (Tensor* t : {in, filter, bias, out}) DestroyTensor(t);
    }
    // Through the kernel table, so the optimised kernel's own resources are set up and released.
    std::vector<float> Run(kfname name)
    {
        const NNKernelFn* fn = nn_kernel_fn_list[name];
        opt_test::Kernel k({in}, {out}, &p, {filter, bias});
        fn->init(k.get());
        fn->execute(k.get());
        fn->destroy(k.get());
        return Values(out);
    }
};

}  // namespace

// The half-precision kernel's outputs, or the reference kernel's where it refuses (with its reason).
TEST(DWConvolutionOpt, HalfMatchesFloat32AccumulationOrFallsBack)
{
    std::mt19937 rng(9);
    const uint32_t shapes[][3] = {{3, 1, 1}, {3, 2, 1}, {5, 1, 2}, {5, 2, 0}, {7, 1, 3}, {2, 1, 0}, {4, 3, 1}};
    for (const auto& s : shapes) {
        Dw l(DT_FLOAT16, s[0] + rng() % 9, s[0] + rng() % 9, 4 * (1 + rng() % 5), s[0], s[1], s[2], rng);
        l.Run(kfname_DWConvolution_opt);
        EXPECT_TRUE(SameValues(NaiveConv(l.setup, Values(l.in), Values(l.filter), Values(l.bias).data()), l.out))
            << "k " << s[0] << " s " << s[1] << " pad " << s[2];
    }
    Dw f32(DT_FLOAT32, 6, 6, 8, 3, 1, 1, rng), six(DT_FLOAT16, 6, 6, 6, 3, 1, 1, rng);
    Dw dil(DT_FLOAT16, 6, 6, 8, 3, 1, 0, rng), wide(DT_FLOAT16, 2, 40000, 4, 1, 1, 0, rng);
    dil.p.dilationRateW = 2;
    const std::pair<Dw*, const char*> cases[] = {{&f32, "support only F16"},
                                                 {&six, "nChan not aligned by 4"},
                                                 {&dil, "p->dilationRateW != 1"},
                                                 {&wide, "can't split"}};
    for (const auto& c : cases) {
        opt_test::Kernel k({c.first->in}, {c.first->out}, &c.first->p, {c.first->filter, c.first->bias});
        EXPECT_STREQ(dwConvF16_opt(-1, 1, k.get()), c.second);
        const std::vector<float> opt = c.first->Run(kfname_DWConvolution_opt);
        c.first->Run(kfname_DWConvolution_ref);
        EXPECT_TRUE(SameValues(opt, c.first->out)) << c.second;
    }
}
