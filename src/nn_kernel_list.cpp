#include "nn_kernel_list.h"

// The function sets of the implemented kernels, referenced strongly: a name
// of the list that no kernel source defines is a link error, not a null entry.
#define KFN(number, name) extern "C" const NNKernelFn nn_kernel_fn_##name;
#define KFN_DSP(number, name)
#include "nn_kernel_names.def"
#undef KFN
#undef KFN_DSP
#define kfn_ptr(name) &nn_kernel_fn_##name

// Default kernel of every operation, in operation order.
#define DEFAULT_KERNELS(DEFAULT_KERNEL, NO_DEFAULT_KERNEL)                                                             \
    DEFAULT_KERNEL(Conv2D_ref)                      /* Conv2D */                                                       \
    DEFAULT_KERNEL(Dense_ref)                       /* Dense */                                                        \
    DEFAULT_KERNEL(MaxPool2D_fl32_ref)              /* MaxPool2D */                                                    \
    DEFAULT_KERNEL(Flatten_ref)                     /* Flatten */                                                      \
    DEFAULT_KERNEL(Activation)                      /* Activation */                                                   \
    NO_DEFAULT_KERNEL                               /* Input */                                                        \
    DEFAULT_KERNEL(GlobalAveragePool2D_ref)         /* GlobalAveragePool2D */                                          \
        DEFAULT_KERNEL(Reshape_ref)                 /* Reshape */                                                      \
        DEFAULT_KERNEL(Concatenate_ref)             /* Concatenate */                                                  \
        DEFAULT_KERNEL(AddBroadcast_ref)            /* AddBroadcast */                                                 \
        DEFAULT_KERNEL(BatchNormalization_fl32_ref) /* BatchNormalization */                                           \
        DEFAULT_KERNEL(AveragePool2D_fl32_ref)      /* AveragePool2D */                                                \
        DEFAULT_KERNEL(ZeroPadding_ref)             /* ZeroPadding2D */                                                \
        DEFAULT_KERNEL(Convert_ref)                 /* Convert */                                                      \
        DEFAULT_KERNEL(DWConvolution_ref)           /* DepthwiseConv2D */                                              \
        NO_DEFAULT_KERNEL                           /* CustomLayer */                                                  \
            NO_DEFAULT_KERNEL                       /* SeparableConv2D */                                              \
            DEFAULT_KERNEL(ExpandChannels_ref)      /* ExpandChannels */                                               \
        DEFAULT_KERNEL(UpSampling2D_ref)            /* UpSampling2D */                                                 \
        DEFAULT_KERNEL(ElementWise_fl32_ref)        /* ElementWise */                                                  \
        DEFAULT_KERNEL(Linear_fl32_ref)             /* Linear */                                                       \
        DEFAULT_KERNEL(L2Normalization_fl32_ref)    /* L2Normalization */                                              \
        DEFAULT_KERNEL(AnchorBoxes_fl32_ref)        /* AnchorBoxes */                                                  \
        DEFAULT_KERNEL(DecodeDetections_fl32_ref)   /* DecodeDetections */                                             \
        DEFAULT_KERNEL(Shuffle_fl32_ref)            /* Shuffle */                                                      \
        DEFAULT_KERNEL(Transpose_ref)               /* Transpose */                                                    \
        DEFAULT_KERNEL(MulBroadcast_ref)            /* MulBroadcast */                                                 \
        DEFAULT_KERNEL(Slice_ref)                   /* Slice */                                                        \
        DEFAULT_KERNEL(ResizeNear_ref)              /* Resize */                                                       \
        DEFAULT_KERNEL(Gather_ref)                  /* Gather */                                                       \
        DEFAULT_KERNEL(Split_fl32_ref)              /* Split */                                                        \
        DEFAULT_KERNEL(Conv2DTranspose_fl32_ref)    /* Conv2DTranspose */                                              \
        DEFAULT_KERNEL(Exp_ref)                     /* Exp */                                                          \
        DEFAULT_KERNEL(Sqrt_fl32_ref)               /* Sqrt */                                                         \
        DEFAULT_KERNEL(SubBroadcast_ref)            /* SubBroadcast */                                                 \
        DEFAULT_KERNEL(Pow_ref)                     /* Pow */                                                          \
        DEFAULT_KERNEL(Expand_ref)                  /* Expand */                                                       \
        DEFAULT_KERNEL(Equal_ref)                   /* Equal */                                                        \
        DEFAULT_KERNEL(Where_ref)                   /* Where */                                                        \
        DEFAULT_KERNEL(ConstantOfShape_ref)         /* ConstantOfShape */                                              \
        DEFAULT_KERNEL(Shape_ref)                   /* Shape */                                                        \
        DEFAULT_KERNEL(Cast_ref)                    /* Cast */                                                         \
        DEFAULT_KERNEL(Range_ref)                   /* Range */                                                        \
        DEFAULT_KERNEL(Empty_ref)                   /* Initializer */                                                  \
        DEFAULT_KERNEL(NMSYolo_ref)                 /* NMSYolo */                                                      \
        DEFAULT_KERNEL(Conv1D_fl32_ref)             /* Conv1D */                                                       \
        DEFAULT_KERNEL(DivBroadcast_ref)            /* DivBroadcast */                                                 \
        DEFAULT_KERNEL(Erf_fl32_ref)                /* Erf */                                                          \
        DEFAULT_KERNEL(InstanceNormalization_ref)   /* InstanceNormalization */                                        \
        DEFAULT_KERNEL(AveragePool1D_fl32_ref)      /* AveragePool1D */                                                \
        DEFAULT_KERNEL(ReduceMean_ref)              /* ReduceMean */                                                   \
        DEFAULT_KERNEL(Neg_ref)                     /* Neg */                                                          \
        DEFAULT_KERNEL(Pad_ref)                     /* Pad */                                                          \
        DEFAULT_KERNEL(Matmul_ref)                  /* MatMul */                                                       \
        DEFAULT_KERNEL(ArgMax_ref)                  /* ArgMax */                                                       \
        DEFAULT_KERNEL(Ceil_ref)                    /* Ceil */                                                         \
        DEFAULT_KERNEL(Conv3D_fl32_ref)             /* Conv3D */                                                       \
        DEFAULT_KERNEL(PRelu_ref)                   /* PRelu */                                                        \
        DEFAULT_KERNEL(Conv1DTranspose_fl32_ref)    /* Conv1DTranspose */                                              \
        DEFAULT_KERNEL(LSTM_ref)                    /* LSTM */                                                         \
        DEFAULT_KERNEL(Reshape_ref)                 /* PostLSTM */                                                     \
        DEFAULT_KERNEL(Clip_fl32_ref)               /* Clip */                                                         \
        DEFAULT_KERNEL(Mfcc_ref)                    /* Mfcc */                                                         \
        DEFAULT_KERNEL(AudioSpectrogram_ref)        /* AudioSpectrogram */                                             \
        DEFAULT_KERNEL(HardSigmoid_ref)             /* HardSigmoid */                                                  \
        DEFAULT_KERNEL(ReduceSum_ref)               /* ReduceSum */                                                    \
        DEFAULT_KERNEL(Mod_ref)                     /* Mod */                                                          \
        DEFAULT_KERNEL(Abs_ref)                     /* Abs */                                                          \
        DEFAULT_KERNEL(ReduceMax_ref)               /* ReduceMax */                                                    \
        DEFAULT_KERNEL(ReduceMin_ref)               /* ReduceMin */                                                    \
        DEFAULT_KERNEL(MaxPool1D_opt)               /* MaxPool1D */                                                    \
        DEFAULT_KERNEL(Floor_ref)                   /* Floor */                                                        \
        DEFAULT_KERNEL(LayerNorm_ref)               /* LayerNorm */                                                    \
        DEFAULT_KERNEL(ScatterND_ref)               /* ScatterND */                                                    \
        DEFAULT_KERNEL(ReduceL2_ref)                /* ReduceL2 */                                                     \
        DEFAULT_KERNEL(GlobalMaxPool_ref)           /* GlobalMaxPool */                                                \
        DEFAULT_KERNEL(CumSum_ref)                  /* CumSum */                                                       \
        DEFAULT_KERNEL(Tile_ref)                    /* Tile */                                                         \
        DEFAULT_KERNEL(Einsum_ref)                  /* Einsum */                                                       \
        DEFAULT_KERNEL(Not_ref)                     /* Not */                                                          \
        DEFAULT_KERNEL(And_ref)                     /* And */                                                          \
        DEFAULT_KERNEL(Less_ref)                    /* Less */                                                         \
        DEFAULT_KERNEL(Greater_ref)                 /* Greater */                                                      \
        DEFAULT_KERNEL(NonMaxSuppression_ref)       /* NonMaxSuppression */                                            \
        DEFAULT_KERNEL(NonZero_ref)                 /* NonZero */                                                      \
        DEFAULT_KERNEL(GatherElements_ref)          /* GatherElements */

extern "C" {

const char* const kernel_fn_name_string[kfname_TOTAL + 1] = {
#define KFN(number, name) #name,
#include "nn_kernel_names.def"
#undef KFN
    "Undefined",
};

const NNKernelFn* const nn_kernel_fn_list[kfname_TOTAL] = {
#define KFN(number, name) kfn_ptr(name),
#define KFN_DSP(number, name) nullptr,
#include "nn_kernel_names.def"
#undef KFN
#undef KFN_DSP
};

#define AS_NAME(name) kfname_##name,
#define NO_NAME kfname_TOTAL,
#define AS_FN(name) kfn_ptr(name),
#define NO_FN nullptr,
const kfname nn_kernel_fn_default_name[OP_OperationsCount] = {DEFAULT_KERNELS(AS_NAME, NO_NAME)};
const NNKernelFn* const nn_kernel_fn_list_default[OP_OperationsCount] = {DEFAULT_KERNELS(AS_FN, NO_FN)};

}  // extern "C"
