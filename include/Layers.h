/* Layers, kernel records and the generic layer constructor. */
#ifndef CORVUS_LAYERS_H
#define CORVUS_LAYERS_H

#include <stdbool.h>
#include <stdint.h>

#include "CorvusExport.h"
#include "DataType.h"
#include "Tensor.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum LayerOpType {
    OP_Conv2D = 0,
    OP_Dense = 1,
    OP_MaxPool2D = 2,
    OP_Flatten = 3,
    OP_Activation = 4,
    OP_Input = 5,
    OP_GlobalAveragePool2D = 6,
    OP_Reshape = 7,
    OP_Concatenate = 8,
    OP_AddBroadcast = 9,
    OP_BatchNormalization = 10,
    OP_AveragePool2D = 11,
    OP_ZeroPadding2D = 12,
    OP_Convert = 13,
    OP_DepthwiseConv2D = 14,
    OP_CustomLayer = 15,
    OP_SeparableConv2D = 16,
    OP_ExpandChannels = 17,
    OP_UpSampling2D = 18,
    OP_ElementWise = 19,
    OP_Linear = 20,
    OP_L2Normalization = 21,
    OP_AnchorBoxes = 22,
    OP_DecodeDetections = 23,
    OP_Shuffle = 24,
    OP_Transpose = 25,
    OP_MulBroadcast = 26,
    OP_Slice = 27,
    OP_Resize = 28,
    OP_Gather = 29,
    OP_Split = 30,
    OP_Conv2DTranspose = 31,
    OP_Exp = 32,
    OP_Sqrt = 33,
    OP_SubBroadcast = 34,
    OP_Pow = 35,
    OP_Expand = 36,
    OP_Equal = 37,
    OP_Where = 38,
    OP_ConstantOfShape = 39,
    OP_Shape = 40,
    OP_Cast = 41,
    OP_Range = 42,
    OP_Initializer = 43,
    OP_NMSYolo = 44,
    OP_Conv1D = 45,
    OP_DivBroadcast = 46,
    OP_Erf = 47,
    OP_InstanceNormalization = 48,
    OP_AveragePool1D = 49,
    OP_ReduceMean = 50,
    OP_Neg = 51,
    OP_Pad = 52,
    OP_MatMul = 53,
    OP_ArgMax = 54,
    OP_Ceil = 55,
    OP_Conv3D = 56,
    OP_PRelu = 57,
    OP_Conv1DTranspose = 58,
    OP_LSTM = 59,
    OP_PostLSTM = 60,
    OP_Clip = 61,
    OP_Mfcc = 62,
    OP_AudioSpectrogram = 63,
    OP_HardSigmoid = 64,
    OP_ReduceSum = 65,
    OP_Mod = 66,
    OP_Abs = 67,
    OP_ReduceMax = 68,
    OP_ReduceMin = 69,
    OP_MaxPool1D = 70,
    OP_Floor = 71,
    OP_LayerNorm = 72,
    OP_ScatterND = 73,
    OP_ReduceL2 = 74,
    OP_GlobalMaxPool = 75,
    OP_CumSum = 76,
    OP_Tile = 77,
    OP_Einsum = 78,
    OP_Not = 79,
    OP_And = 80,
    OP_Less = 81,
    OP_Greater = 82,
    OP_NonMaxSuppression = 83,
    OP_NonZero = 84,
    OP_GatherElements = 85,
    OP_OperationsCount = 86
} LayerOpType;

#define MAX_CORE_KERNELS 16
#define KERNEL_BYTES_CATEGORIES 5

struct NNKernel;

/* A kernel function set. Only execute is mandatory. */
typedef struct NNKernelFn {
    void (*execute)(struct NNKernel* kernel);
    void (*init)(struct NNKernel* kernel);
    void (*reserved)(struct NNKernel* kernel); /* never filled */
    void (*destroy)(struct NNKernel* kernel);
} NNKernelFn;

/* Everything one layer's computation needs. */
typedef struct NNKernel {
    const NNKernelFn* fn;
    Tensor** input;
    Tensor** output;
    Tensor** inner;
    uint32_t inputsNum;
    uint32_t outputsNum;
    uint32_t innerNum;
    uint32_t coresNumber;
    void* params;
    void* extra_resources;
    uint64_t counters[2]; /* kernel-private, reset by InitKernelCore */
    uint64_t totalBytes;
    uint64_t bytesSize[KERNEL_BYTES_CATEGORIES];
} NNKernel;

typedef struct Layer {
    char* name;
    uint32_t op; /* LayerOpType */
    NNKernel* kernel;
    NNKernel* coreKernels[MAX_CORE_KERNELS];
    struct Layer** inputLayers;
    struct Layer** consumerLayers;
    uint32_t inputLayersNum;
    uint32_t consumerLayersNum;
    StatValues stat;
    uint64_t totalBytes;
    uint64_t bytesSize[KERNEL_BYTES_CATEGORIES];
    bool staticOutput;
} Layer;

struct ModelStruct;
struct IOLayers;

CORVUS_EXPORT const char* LayerOpTypeToStr(LayerOpType op);

/* Generic constructor used by every Add...Layer function. Exactly one of
 * inputLayers and inputTensors is given, except for Input and Initializer.
 * The layer takes ownership of the given input tensors. */
CORVUS_EXPORT Layer* CreateLayer(const char* name, LayerOpType op, Layer** inputLayers, Tensor** inputTensors,
                                 uint32_t inputsNum, uint32_t innerNum);
CORVUS_EXPORT Layer* AddInputLayer(const char* name, const Tensor* inputTensor);
CORVUS_EXPORT void SetInputLayout(Tensor* inputTensor, DataLayout layout);
CORVUS_EXPORT void DestroyLayer(Layer* layer);
CORVUS_EXPORT void DestroyIOLayers(struct IOLayers* ioLayers);

CORVUS_EXPORT void InitKernelCore(Layer* layer);
CORVUS_EXPORT uint32_t GetKernelCoreCount(const Layer* layer);

CORVUS_EXPORT bool IsLayerInList(Layer** list, uint32_t count, const Layer* layer);
CORVUS_EXPORT void ReplaceLayer(Layer** list, uint32_t count, const Layer* oldLayer, Layer* newLayer);

#ifdef __cplusplus
}
#endif

#endif
