/* Half-precision paths of the reference kernels: a float16 operand is
 * widened into a dense float32 temporary (layout DL_NONE), the float32 code
 * computes, and results are rounded back into the original tensor. Float32
 * operands are used as they are; empty tensors are not converted. Internal
 * to the library. */
#ifndef CORVUS_KERNELS_REF_FLOAT32TEMPS_H
#define CORVUS_KERNELS_REF_FLOAT32TEMPS_H

#include "DataTypeConvert.h"
#include "Tensor.h"

namespace corvus {

class Float32Operand {
public:
    // load: convert the original's values (inputs and outputs updated in
    // place); otherwise the temporary starts uninitialised.
    Float32Operand(const Tensor* original, bool load) : original_(original)
    {
        if (original == nullptr || original->dtype != DT_FLOAT16) return;
        temp_ = CreateTensor(DT_FLOAT32, DL_NONE, original->ndim, original->shape, true);
        if (load && GetTensorSize(original) > 0) TensorDataConvert(temp_, original);
    }
    ~Float32Operand() { DestroyTensor(temp_); }
    Float32Operand(const Float32Operand&) = delete;
    Float32Operand& operator=(const Float32Operand&) = delete;

    Tensor* get() const { return temp_ != nullptr ? temp_ : const_cast<Tensor*>(original_); }
    // Rounds a computed temporary back into the original tensor.
    void Store(Tensor* original) const
    {
        if (temp_ != nullptr && GetTensorSize(original) > 0) TensorDataConvert(original, temp_);
    }

private:
    const Tensor* original_;
    Tensor* temp_ = nullptr;
};

}  // namespace corvus

#endif
