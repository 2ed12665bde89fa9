#define CORVUS_MODULE "TensorsArray"
#include "TensorsArray.h"

#include <cstdlib>

#include "Report.h"

extern "C" TensorsArray* CreateTensorsArray(uint32_t count)
{
    TensorsArray* array;
    CV_CHECK_PTR(array = (TensorsArray*)calloc(1, sizeof(TensorsArray)));
    array->tensorsCount = count;
    if (count > 0) CV_CHECK_PTR(array->tensors = (Tensor**)calloc(count, sizeof(Tensor*)));
    return array;
}

extern "C" void AssignTensor(TensorsArray* tensorsArray, Tensor* tensor, uint32_t pos)
{
    CV_CHECK_PTR(tensorsArray);
    CV_CHECK_PTR(tensor);
    CV_CHECK(pos < tensorsArray->tensorsCount);
    tensorsArray->tensors[pos] = tensor;
}

extern "C" void DestroyTensorsArray(TensorsArray* tArray, bool destroyTensors)
{
    CV_CHECK_PTR(tArray);
    if (destroyTensors)
        for (uint32_t i = 0; i < tArray->tensorsCount; ++i)
            if (tArray->tensors[i] != NULL) DestroyTensor(tArray->tensors[i]);
    free(tArray->tensors);
    free(tArray);
}
