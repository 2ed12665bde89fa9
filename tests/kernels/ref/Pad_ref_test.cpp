// Zero padding, up-sampling and Pad kernels against index-by-index definitions.

#include "LayersResize.h"
#include "opt_util.h"
#include "resize_util.h"

using namespace resize_test;

using corvus_test::TensorPtr;
using opt_test::Kernel;

// Random geometry and element types of 1, 2 and 4 bytes.
TEST(PadRef, ZeroPaddingUpSamplingAndPadSweeps)
{
    std::mt19937 rng(5);
    const DataType types[] = {DT_INT8, DT_FLOAT16, DT_FLOAT32};
    for (int trial = 0; trial < 60; ++trial) {
        const DataType dtype = types[trial % 3];
        const U in = {1 + (uint32_t)rng() % 2, 1 + (uint32_t)rng() % 5, 1 + (uint32_t)rng() % 5,
                      1 + (uint32_t)rng() % 4};
        ZeroPaddingParams zp = {(uint32_t)rng() % 3, (uint32_t)rng() % 3, (uint32_t)rng() % 3, (uint32_t)rng() % 3};
        UpSampling2DParams us = {1 + (uint32_t)rng() % 3, 1 + (uint32_t)rng() % 3};
        Tensor* src = MakeTensor(dtype, in, 0, DL_NHWC);
        Tensor* padded =
            MakeTensor(dtype, {in[0], in[1] + zp.top + zp.bottom, in[2] + zp.left + zp.right, in[3]}, 0, DL_NHWC);
        FillRandom(src, rng);
        FillRandom(padded, rng);  // every element must be overwritten
        Execute_ZeroPadding_ref(Kernel({src}, {padded}, &zp).get());
        const std::vector<uint8_t> zero(DataTypeSize(dtype), 0);
        ForEachIndex(DimsOf(padded), [&](const U& o) {
            const int64_t h = (int64_t)o[1] - zp.top, w = (int64_t)o[2] - zp.left;
            const bool inside = h >= 0 && h < in[1] && w >= 0 && w < in[2];
            ASSERT_EQ(Bytes(padded, o), inside ? Bytes(src, {o[0], (uint32_t)h, (uint32_t)w, o[3]}) : zero);
        });
        // Up-sampling into a strided output.
        Tensor* up = MakeTensor(dtype, {in[0], in[1] * us.sizeH, in[2] * us.sizeW, in[3]}, trial % 2, DL_NHWC);
        Execute_UpSampling2D_ref(Kernel({src}, {up}, &us).get());
        ForEachIndex(DimsOf(up), [&](const U& o) {
            ASSERT_EQ(Bytes(up, o), Bytes(src, {o[0], o[1] / us.sizeH, o[2] / us.sizeW, o[3]}));
        });
        for (Tensor* t : {src, padded, up}) DestroyTensor(t);
    }
    // Constant and reflect padding of ranks 1..4 (reflect from rank 2, pads below
    // the dimension) against the mirror-index definition; float16 on either side.
    for (int trial = 0; trial < 120; ++trial) {
        const bool isReflect = trial % 2 == 1;
        const uint32_t rank = isReflect ? 2 + trial % 3 : 1 + trial % 4;
        U in(rank), out(rank);
        PadParams p = {{}, isReflect ? PAD_REFLECT : PAD_CONSTANT, trial % 4 == 0 ? 0.0f : -2.25f};
        for (uint32_t d = 0; d < rank; ++d) {
            in[d] = 1 + rng() % 5;
            const uint32_t limit = isReflect ? in[d] : 4;
            if (!(isReflect && d == 0)) {
                p.pads[d] = rng() % limit;
                p.pads[rank + d] = rng() % limit;
            }
            out[d] = p.pads[d] + in[d] + p.pads[rank + d];
        }
        const DataType outType = trial % 3 == 0 ? DT_FLOAT16 : DT_FLOAT32;
        Tensor *src = MakeTensor(trial % 5 == 1 ? DT_FLOAT16 : DT_FLOAT32, in), *dst = MakeTensor(outType, out);
        Tensor *src32 = F32Tensor(in), *dst32 = F32Tensor(out);
        FillRandom(src, rng);
        FillRandom(dst, rng);
        Pad_floats_ref(dst, src, &p);
        TensorDataConvert(src32, src);
        TensorDataConvert(dst32, dst);
        ForEachIndex(out, [&](const U& o) {
            U i(rank);
            bool inside = true;
            for (uint32_t d = 0; d < rank; ++d) {
                i[d] = Mirror(o[d], p.pads[d], in[d]);
                inside = inside && o[d] >= p.pads[d] && o[d] < p.pads[d] + in[d];
            }
            float expected = inside || isReflect ? At(src32, i) : p.value;
            if (outType == DT_FLOAT16) expected = corvus_test::Float(corvus_test::Half(expected));
            ASSERT_EQ(At(dst32, o), expected) << "trial " << trial;
        });
        for (Tensor* t : {src, src32, dst, dst32}) DestroyTensor(t);
    }
}

// A rank-0 tensor pads to itself. Refused: pads that would mirror beyond the
// input, an output that does not fit.
TEST(PadRef, RankZeroAndHostileShapes)
{
    TensorPtr scalar(F32Tensor({}, {4.5f})), scalarOut(F32Tensor({}));
    PadParams constant = {{}, PAD_CONSTANT, 0.5f};
    Pad_floats_ref(scalarOut.get(), scalar.get(), &constant);
    EXPECT_EQ(*(float*)scalarOut->data, 4.5f);
    TensorPtr in(F32Tensor({1, 3, 3, 2})), out(F32Tensor({1, 7, 5, 2}));
    PadParams p = {{0, 3, 1, 0, 0, 1, 1, 0}, PAD_REFLECT, 0.0f};
    corvus_test::ExpectFatal("Pad_ref",
                             {
                                 {[&] { Pad_floats_ref(out.get(), in.get(), &p); },
                                  "Function Pad: REFLECT pads (3, 1) of dimension 1 must be smaller than its size 3"},
                                 {[&] {
                                      p.pads[1] = 2;
                                      p.pads[5] = 0;
                                      Pad_floats_ref(out.get(), in.get(), &p);
                                  },
                                  "Function Pad: output shape does not match the input shape and the pads"},
                             });
}
