// The test binary's entry point. `--corvus-vector-level=N` runs the tests
// with the kernels forced to instruction-set level N (exit code 77, which
// ctest reports as skipped, where the processor lacks it or N is the level
// the library picks anyway, which the plain runs cover).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "VectorLevel.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const char* flag = "--corvus-vector-level=";
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], flag, strlen(flag)) != 0) continue;
        const int level = atoi(argv[i] + strlen(flag));
        if (level == corvus_internal::SelectedVectorLevel() || !corvus_internal::VectorLevelSupported(level)) {
            printf("vector level %d: %s here\n", level,
                   level == corvus_internal::SelectedVectorLevel() ? "the default" : "not supported");
            return 77;
        }
        corvus_internal::ForceVectorLevel(level);
        printf("kernels forced to %s\n", corvus_internal::VectorLevelName(level));
    }
    return RUN_ALL_TESTS();
}
