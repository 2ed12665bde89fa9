/* Corvus: CPU neural-network inference runtime. Umbrella header. */
#ifndef CORVUS_H
#define CORVUS_H

#include "DataType.h"
#include "Tensor.h"
#include "TensorOperation.h"
#include "TensorsArray.h"
#include "DataTypeConvert.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Model.h"
#include "TensorsSharedMemory.h"
#include "ModelWeights.h"
#include "nn_kernel_list.h"
#include "NNKernelFnSelector.h"
#include "Padding.h"
#include "LayersActivation.h"
#include "LayersBroadcast.h"
#include "LayersPooling.h"
#include "LayersConvolution.h"
#include "LayersDense.h"
#include "LayersDataMovement.h"
#include "LayersNormalization.h"
#include "LayersReduction.h"
#include "LayersDetection.h"
#include "LayersAudio.h"
#include "LayersRecurrent.h"
#include "LayersResize.h"
#include "LayersConvolutionND.h"
#include "nn_kernels/dma/xydma.h"
#include "nn_kernels/OptKernels.h"

#endif
