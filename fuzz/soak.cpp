// Long runs through the flat interface: a model loaded, predicting once and
// released many times, then one model predicting many times. Resident
// memory (/proc/self/statm) and open descriptors (/proc/self/fd) are
// sampled; after a warm-up, resident memory may grow by at most kMaxGrowth
// and no descriptor may stay open.
//
//   corvus_soak MODEL.json WEIGHTS.bin [LOADS [PREDICTIONS]]
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "DataType.h"
#include "cpu_backend.h"

namespace {

constexpr long kMaxGrowth = 2 << 20;  // bytes
constexpr uint32_t kSamples = 10;

long ResidentBytes()
{
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr || std::fscanf(f, "%ld %ld", &pages, &resident) != 2) std::abort();
    std::fclose(f);
    return resident * sysconf(_SC_PAGESIZE);
}

int OpenDescriptors()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) std::abort();
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n - 1;  // the directory itself
}

struct Buffers {
    std::vector<std::vector<float>> in, out;
    std::vector<void*> inPtr, outPtr;
    std::vector<uint32_t> types;
};

Buffers BuffersFor(uint32_t id)
{
    Buffers b;
    uint32_t shape[8];
    for (uint32_t i = 0; i < get_inputs_number(id); ++i) {
        get_input_shape(id, i, shape);
        size_t n = 1;
        for (uint32_t d = 1; d <= shape[0]; ++d) n *= shape[d];
        b.in.emplace_back(n);
        for (size_t e = 0; e < n; ++e) b.in.back()[e] = (float)(e % 17) / 16.0f;
        b.types.push_back(DT_FLOAT32);
    }
    for (uint32_t o = 0; o < get_outputs_number(id); ++o) {
        get_output_shape(id, o, shape);
        size_t n = 1;
        for (uint32_t d = 1; d <= shape[0]; ++d) n *= shape[d];
        b.out.emplace_back(n);
    }
    for (auto& v : b.in) b.inPtr.push_back(v.data());
    for (auto& v : b.out) b.outPtr.push_back(v.data());
    return b;
}

// Runs step `count` times, sampling after a tenth of the run (the warm-up)
// and at every further tenth; returns whether memory and descriptors stayed flat.
template <typename Step> bool Soak(const char* what, uint32_t count, Step step)
{
    const int fds = OpenDescriptors();
    long warm = 0, last = 0, peak = 0;
    std::printf("%s, %u times: resident MiB at each tenth:", what, count);
    for (uint32_t i = 1; i <= count; ++i) {
        step();
        if (i % (count / kSamples) != 0) continue;
        last = ResidentBytes();
        if (warm == 0) warm = last;
        if (last > peak) peak = last;
        std::printf(" %.2f", last / 1048576.0);
        std::fflush(stdout);
    }
    const int fdsAfter = OpenDescriptors();
    const bool flat = peak - warm <= kMaxGrowth && fdsAfter == fds;
    std::printf("\n  growth after warm-up %.3f MiB (bound %.1f), open descriptors %d before, %d after: %s\n",
                (peak - warm) / 1048576.0, kMaxGrowth / 1048576.0, fds, fdsAfter, flat ? "flat" : "GROWS");
    return flat;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MODEL.json WEIGHTS.bin [LOADS [PREDICTIONS]]\n", argv[0]);
        return 2;
    }
    const uint32_t loads = argc > 3 ? (uint32_t)std::atoi(argv[3]) : 10000;
    const uint32_t predictions = argc > 4 ? (uint32_t)std::atoi(argv[4]) : 100000;
    if (loads < kSamples || predictions < kSamples) return 2;
    const char* model = argv[1];
    const char* weights = argv[2];
    bool ok = Soak("load, predict, release", loads, [&] {
        load_model_keras(1, model, weights);
        Buffers b = BuffersFor(1);
        run_predict(1, b.inPtr.data(), b.types.data(), b.outPtr.data(), 1);
        release_model(1);
    });
    load_model_keras(2, model, weights);
    Buffers b = BuffersFor(2);
    ok &= Soak("predict on one model", predictions,
               [&] { run_predict(2, b.inPtr.data(), b.types.data(), b.outPtr.data(), 1); });
    release_model(2);
    std::printf("soak: %s\n", ok ? "memory and descriptors flat" : "FAILED");
    return ok ? 0 : 1;
}
