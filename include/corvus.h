/* Corvus: CPU neural-network inference runtime. Umbrella header. */
#ifndef CORVUS_H
#define CORVUS_H

#include "DataType.h"
#include "Tensor.h"
#include "TensorOperation.h"
#include "TensorsArray.h"
#include "ActivationTypes.h"
#include "Layers.h"
#include "Model.h"

#endif
