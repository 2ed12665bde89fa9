#define CORVUS_MODULE "ActivationTypes"
#include "ActivationTypes.h"

#include <cstring>

extern "C" const char* const ActivationNameString[ActivationTypesCount] = {
    "None",        "ReLU",   "ReLU6",   "Tanh", "SoftPlus",  "SoftSign", "Sigmoid",
    "HardSigmoid", "Linear", "Softmax", "eLU",  "LeakyReLU", "Log",      "XmulSigmX",
};

extern "C" ActivationType GetActivationName(const char* name)
{
    static const struct {
        const char* text;
        ActivationType type;
    } kNames[] = {
        {"relu", ReLU},     {"softmax", Softmax}, {"relu6", ReLU6}, {"elu", eLU},
        {"linear", Linear}, {"sigmoid", Sigmoid}, {"tanh", Tanh},   {"log", Log},
    };
    if (name == nullptr) return None;
    for (const auto& entry : kNames)
        if (std::strcmp(name, entry.text) == 0) return entry.type;
    return None;
}
