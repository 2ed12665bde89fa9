/* Times one model through the flat interface, for the side-by-side
 * comparison with ONNX Runtime (bench/compare/compare.py).
 *
 *   corvus_time DESCRIPTION WEIGHTS RUNS WARMUP [STATS.csv [CORES]]
 *
 * Batch 1, on CORES cores (default 1; set_model_cores_number). Inputs are filled with a fixed pseudo-random
 * pattern (timing does not depend on the values). Prints one line per timed
 * run ("run <ms>"), then "peak_rss_kb <n>" from getrusage; the statistics
 * CSV of the last run goes to STATS.csv when given. */
#define _POSIX_C_SOURCE 200809L
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include "cpu_backend.h"

static double NowMs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static size_t Elements(const uint32_t* shape)
{
    size_t n = 1;
    for (uint32_t d = 1; d <= shape[0]; ++d) n *= shape[d];
    return n;
}

int main(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: corvus_time DESCRIPTION WEIGHTS RUNS WARMUP [STATS.csv [CORES]]\n");
        return 1;
    }
    const long runs = atol(argv[3]), warmup = atol(argv[4]), cores = argc > 6 ? atol(argv[6]) : 1;
    if (runs < 1 || warmup < 0 || cores < 1 || cores > 16) {
        fprintf(stderr, "corvus_time: RUNS must be at least 1, WARMUP not negative and CORES from 1 to 16\n");
        return 1;
    }
    const uint32_t id = 0;
    load_model_keras(id, argv[1], argv[2]);
    if (cores > 1) set_model_cores_number(id, (uint32_t)cores);
    const uint32_t nIn = get_inputs_number(id), nOut = get_outputs_number(id);
    void** inputs = calloc(nIn, sizeof(void*));
    void** outputs = calloc(nOut, sizeof(void*));
    uint32_t* types = calloc(nIn, sizeof(uint32_t));
    if (!inputs || !outputs || !types) return 1;
    uint32_t seed = 12345;
    for (uint32_t i = 0; i < nIn; ++i) {
        uint32_t shape[8] = {0};
        get_input_shape(id, i, shape);
        const size_t n = Elements(shape);
        float* x = malloc(n * sizeof(float));
        if (!x) return 1;
        for (size_t k = 0; k < n; ++k) {
            seed = seed * 1664525u + 1013904223u;
            x[k] = (float)(seed >> 8) / 16777216.0f - 0.5f;
        }
        inputs[i] = x;
        types[i] = 0; /* float32 */
    }
    for (uint32_t j = 0; j < nOut; ++j) {
        uint32_t shape[8] = {0};
        get_output_shape(id, j, shape);
        outputs[j] = malloc(Elements(shape) * sizeof(float));
        if (!outputs[j]) return 1;
    }
    for (long r = 0; r < warmup; ++r) run_predict(id, inputs, types, outputs, 1);
    for (long r = 0; r < runs; ++r) {
        const double t0 = NowMs();
        run_predict(id, inputs, types, outputs, 1);
        printf("run %.4f\n", NowMs() - t0);
    }
    if (argc > 5 && argv[5][0] != '\0') save_layers_statistic(id, argv[5]);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("peak_rss_kb %ld\n", usage.ru_maxrss);
    release_model(id);
    for (uint32_t i = 0; i < nIn; ++i) free(inputs[i]);
    for (uint32_t j = 0; j < nOut; ++j) free(outputs[j]);
    free(inputs);
    free(outputs);
    free(types);
    return 0;
}
