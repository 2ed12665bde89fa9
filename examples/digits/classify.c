/* A C host of the flat interface: classifies the held-out digits.
 *
 *   classify MODEL.json WEIGHTS.bin IMAGES.npy LABELS.npy
 *
 * IMAGES.npy holds float32 (N,8,8,1) images, LABELS.npy int32 (N) labels.
 * Prints the first predictions and the accuracy. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "corvus.h"

/* Reads a little-endian version-1 .npy file and returns its payload. */
static void* ReadNpy(const char* path, size_t elementSize, size_t* count)
{
    unsigned char pre[10];
    FILE* f = fopen(path, "rb");
    long size;
    size_t header, bytes;
    void* data;
    if (f == NULL || fread(pre, 1, 10, f) != 10 || memcmp(pre, "\x93NUMPY", 6) != 0 || pre[6] != 1) {
        fprintf(stderr, "classify: %s is not a .npy file\n", path);
        exit(1);
    }
    header = (size_t)pre[8] | ((size_t)pre[9] << 8);
    fseek(f, 0, SEEK_END);
    size = ftell(f);
    bytes = (size_t)size - 10 - header;
    *count = bytes / elementSize;
    data = malloc(bytes > 0 ? bytes : 1);
    fseek(f, (long)(10 + header), SEEK_SET);
    if (data == NULL || fread(data, 1, bytes, f) != bytes) {
        fprintf(stderr, "classify: cannot read %s\n", path);
        exit(1);
    }
    fclose(f);
    return data;
}

int main(int argc, char** argv)
{
    uint32_t id, inShape[7], outShape[7], d, inSize = 1, classes;
    size_t images, labelsCount, n, i, correct = 0;
    float* x;
    int32_t* labels;
    float* logits;
    char name[256] = {0};
    void* inputs[1];
    void* outputs[1];
    uint32_t types[1] = {DT_FLOAT32};

    if (argc != 5) {
        fprintf(stderr, "usage: classify MODEL.json WEIGHTS.bin IMAGES.npy LABELS.npy\n");
        return 2;
    }
    id = inc_model_id();
    load_model_keras(id, argv[1], argv[2]);
    write_input_name(id, 0, name); /* unterminated: the buffer was zeroed */
    get_input_shape(id, 0, inShape);
    get_output_shape(id, 0, outShape);
    for (d = 1; d <= inShape[0]; ++d) inSize *= inShape[d];
    classes = outShape[outShape[0]];
    printf("model %u: input '%s' of %u values, %u classes\n", id, name, inSize, classes);

    x = (float*)ReadNpy(argv[3], 4, &images);
    labels = (int32_t*)ReadNpy(argv[4], 4, &labelsCount);
    n = images / inSize;
    if (n != labelsCount) {
        fprintf(stderr, "classify: %zu images but %zu labels\n", n, labelsCount);
        return 1;
    }
    logits = (float*)malloc(n * classes * sizeof(float));
    inputs[0] = x;
    outputs[0] = logits;
    run_predict(id, inputs, types, outputs, (uint32_t)n); /* the whole set as one batch */

    for (i = 0; i < n; ++i) {
        uint32_t k, best = 0;
        for (k = 1; k < classes; ++k)
            if (logits[i * classes + k] > logits[i * classes + best]) best = k;
        correct += (int32_t)best == labels[i];
        if (i < 5) printf("sample %zu: predicted %u, label %d\n", i, best, labels[i]);
    }
    printf("accuracy: %zu/%zu\n", correct, n);
    release_model(id);
    free(logits);
    free(labels);
    free(x);
    return 0;
}
