#include "KernelProbes.h"

// Weak defaults: a kernel source that defines Probe_<name> replaces them.
#define CORVUS_PROBE_DEFAULT(name)                                                         \
    extern "C" __attribute__((weak)) const char* Probe_##name(const NNKernel*)             \
    {                                                                                      \
        return #name " is not available in this build";                                    \
    }
CORVUS_PROBES(CORVUS_PROBE_DEFAULT)
#undef CORVUS_PROBE_DEFAULT
