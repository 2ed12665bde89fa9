// Zero padding, up-sampling and Pad kernels against index-by-index definitions.
#include <gtest/gtest.h>

#include "LayersResize.h"
#include "resize_util.h"
#include "test_util.h"

using namespace resize_test;

namespace {

// A kernel record around one input, one output and a parameter record.
struct OneToOne {
    NNKernel kernel;
    Tensor* in;
    Tensor* out;
    OneToOne(Tensor* input, Tensor* output, void* params) : in(input), out(output)
    {
        memset(&kernel, 0, sizeof(kernel));
        kernel.input = &in;
        kernel.output = &out;
        kernel.inputsNum = kernel.outputsNum = 1;
        kernel.coresNumber = 1;
        kernel.params = params;
    }
};

}  // namespace

TEST(PadRef, ZeroPaddingAndUpSamplingExamples)
{
    // (1,1,2,2) around a 2x2 image: the input at rows 1-2, columns 2-3 of 4x6.
    Tensor* img = F32Tensor({1, 2, 2, 1}, {1, 2, 3, 4}, DL_NHWC);
    Tensor* padded = F32Tensor({1, 4, 6, 1}, std::vector<float>(24, 9.0f), DL_NHWC);
    ZeroPaddingParams zp = {1, 2, 1, 2};
    OneToOne z(img, padded, &zp);
    Execute_ZeroPadding_ref(&z.kernel);
    EXPECT_EQ(Values(padded), (std::vector<float>{0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 0, 0,  //
                                                  0, 0, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0}));
    // Up-sampling by (2, 3): every value in a 2x3 block.
    Tensor* up = F32Tensor({1, 4, 6, 1}, {}, DL_NHWC);
    UpSampling2DParams us = {2, 3};
    OneToOne u(img, up, &us);
    Execute_UpSampling2D_ref(&u.kernel);
    EXPECT_EQ(Values(up), (std::vector<float>{1, 1, 1, 2, 2, 2, 1, 1, 1, 2, 2, 2,  //
                                              3, 3, 3, 4, 4, 4, 3, 3, 3, 4, 4, 4}));
    for (Tensor* t : {img, padded, up}) DestroyTensor(t);
}

// Random geometry and element types of 1, 2 and 4 bytes.
TEST(PadRef, ZeroPaddingAndUpSamplingSweep)
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
        FillRandom(src, rng);
        Tensor* padded = MakeTensor(dtype, {in[0], in[1] + zp.top + zp.bottom, in[2] + zp.left + zp.right, in[3]}, 0,
                                    DL_NHWC);
        FillRandom(padded, rng);  // every element must be overwritten
        OneToOne z(src, padded, &zp);
        Execute_ZeroPadding_ref(&z.kernel);
        const std::vector<uint8_t> zero(DataTypeSize(dtype), 0);
        ForEachIndex(Dims(padded), [&](const U& o) {
            const int64_t h = (int64_t)o[1] - zp.top, w = (int64_t)o[2] - zp.left;
            const bool inside = h >= 0 && h < in[1] && w >= 0 && w < in[2];
            ASSERT_EQ(Bytes(padded, o), inside ? Bytes(src, {o[0], (uint32_t)h, (uint32_t)w, o[3]}) : zero);
        });
        // Up-sampling into a strided output.
        Tensor* up = MakeTensor(dtype, {in[0], in[1] * us.sizeH, in[2] * us.sizeW, in[3]}, trial % 2, DL_NHWC);
        OneToOne u(src, up, &us);
        Execute_UpSampling2D_ref(&u.kernel);
        ForEachIndex(Dims(up), [&](const U& o) {
            ASSERT_EQ(Bytes(up, o), Bytes(src, {o[0], o[1] / us.sizeH, o[2] / us.sizeW, o[3]}));
        });
        for (Tensor* t : {src, padded, up}) DestroyTensor(t);
    }
}

TEST(PadRef, PadExamples)
{
    // Reflect without repeating the border: (1, 2, 3) with 2 before and 1 after.
    Tensor* row = F32Tensor({1, 3}, {1, 2, 3});
    Tensor* mirrored = F32Tensor({1, 6});
    PadParams reflect = {{0, 2, 0, 1}, PAD_REFLECT, 0.0f};
    Pad_floats_ref(mirrored, row, &reflect);
    EXPECT_EQ(Values(mirrored), (std::vector<float>{3, 2, 1, 2, 3, 2}));
    // Constant 0.5 into a float16 output: 0x3800 in the pads, converted input inside.
    Tensor* half = MakeTensor(DT_FLOAT16, {1, 5});
    PadParams constant = {{0, 1, 0, 1}, PAD_CONSTANT, 0.5f};
    Pad_floats_ref(half, row, &constant);
    const uint16_t* h = (const uint16_t*)half->data;
    EXPECT_EQ(std::vector<uint16_t>(h, h + 5), (std::vector<uint16_t>{0x3800, 0x3C00, 0x4000, 0x4200, 0x3800}));
    // A rank-0 tensor pads to itself.
    Tensor* scalar = F32Tensor({}, {4.5f});
    Tensor* scalarOut = F32Tensor({});
    Pad_floats_ref(scalarOut, scalar, &constant);
    EXPECT_EQ(*(float*)scalarOut->data, 4.5f);
    for (Tensor* t : {row, mirrored, half, scalar, scalarOut}) DestroyTensor(t);
}

// Constant and reflect padding of ranks 1..4 (reflect from rank 2, pads below
// the dimension) against the mirror-index definition; float16 on either side.
TEST(PadRef, PadSweep)
{
    std::mt19937 rng(17);
    for (int trial = 0; trial < 120; ++trial) {
        const bool isReflect = trial % 2 == 1;
        const uint32_t rank = isReflect ? 2 + trial % 3 : 1 + trial % 4;
        U in(rank), out(rank);
        PadParams p;
        memset(&p, 0, sizeof(p));
        p.mode = isReflect ? PAD_REFLECT : PAD_CONSTANT;
        p.value = trial % 4 == 0 ? 0.0f : -2.25f;
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
        Tensor* src = MakeTensor(trial % 5 == 1 ? DT_FLOAT16 : DT_FLOAT32, in);
        FillRandom(src, rng);
        Tensor* src32 = F32Tensor(in);
        TensorDataConvert(src32, src);
        Tensor* dst = MakeTensor(outType, out);
        FillRandom(dst, rng);
        Pad_floats_ref(dst, src, &p);
        Tensor* dst32 = F32Tensor(out);
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

TEST(PadRefDeathTest, KernelChecks)
{
    Tensor* in = F32Tensor({1, 3, 3, 2}, {}, DL_NHWC);
    Tensor* out = F32Tensor({1, 5, 5, 2}, {}, DL_NHWC);
    Tensor* strided = F32Tensor({1, 5, 5, 2}, {}, DL_NHWC, 1);
    Tensor* ints = MakeTensor(DT_INT32, {1, 5, 5, 2});
    Tensor* rank5 = F32Tensor({1, 3, 3, 2, 1});
    Tensor* rank5Out = F32Tensor({1, 3, 5, 2, 1});
    PadParams p = {{0, 1, 1, 0, 0, 1, 1, 0}, PAD_REFLECT, 0.0f};
    PadParams p5 = {{0, 0, 1, 0, 0, 0, 0, 1, 0, 0}, PAD_REFLECT, 0.0f};
    ZeroPaddingParams zp = {1, 1, 1, 1};
    UpSampling2DParams us = {2, 2};
    Tensor* up = F32Tensor({1, 6, 6, 2}, {}, DL_NHWC);
    corvus_test::ExpectFatal("Pad_ref", {
        {[&] { Pad_floats_ref(strided, in, &p); }, "Internal error: pad kernel doesn't work with strides"},
        {[&] { Pad_floats_ref(out, ints, &p); },
         "Pad_ref: wrong input data type, only DT_FLOAT32 and DT_FLOAT16 type supported"},
        {[&] { Pad_floats_ref(ints, in, &p); },
         "Pad_ref: wrong output data type, only DT_FLOAT32 and DT_FLOAT16 type supported"},
        {[&] { p.mode = PAD_EDGE; Pad_floats_ref(out, in, &p); },
         "Function Pad: Pad method PAD_EDGE does not implemented"},
        {[&] { p.mode = 7; Pad_floats_ref(out, in, &p); }, "Function Pad: Unknown pad method"},
        {[&] { p.pads[0] = 1; Pad_floats_ref(out, in, &p); },
         "Function Pad: REFLECT mode for batch dimension is not supported"},
        {[&] { Pad_floats_ref(rank5Out, rank5, &p5); },
         "Function Pad: REFLECT mode supported only for tensor dimensions number <= 4"},
        {[&] { p.pads[1] = 3; Pad_floats_ref(out, in, &p); },
         "Function Pad: REFLECT pads (3, 1) of dimension 1 must be smaller than its size 3"},
        {[&] { Pad_floats_ref(up, in, &p); }, "Function Pad: output shape does not match the input shape and the pads"},
        {[&] { OneToOne k(in, strided, &zp); Execute_ZeroPadding_ref(&k.kernel); },
         "output->stride.NHWC.height_stride == output->stride.NHWC.width_stride * output->shape.NHWC.width: false, "
         "expected: true"},
        {[&] { OneToOne k(in, up, &zp); Execute_ZeroPadding_ref(&k.kernel); },
         "ZeroPadding: output 1x6x6x2 does not match input 1x3x3x2 padded by (1, 1, 1, 1)"},
        {[&] { OneToOne k(in, out, &us); Execute_UpSampling2D_ref(&k.kernel); },
         "input_height * sizeH == output->shape.NHWC.height: false, expected: true"},
        {[&] { us.sizeH = 1; OneToOne k(in, F32Tensor({1, 3, 5, 2}, {}, DL_NHWC), &us); Execute_UpSampling2D_ref(&k.kernel); },
         "input_width * sizeW == output->shape.NHWC.width: false, expected: true"},
        {[&] { OneToOne k(in, ints, &us); Execute_UpSampling2D_ref(&k.kernel); },
         "output->layout == DL_NHWC: false, expected: true"},
        {[&] { OneToOne k(rank5, up, &us); Execute_UpSampling2D_ref(&k.kernel); }, "input->ndim == 4 && output->ndim == 4: false, expected: true"},
        {[&] { Execute_Pad_ref(nullptr); }, "kernel pointer is null"},
    });
    for (Tensor* t : {in, out, strided, ints, rank5, rank5Out, up}) DestroyTensor(t);
}
