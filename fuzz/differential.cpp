// Differential check on random graphs: every seed gives a Keras description
// (KerasGraph.h) with weights, run twice: as built, with the default
// kernels at the baseline vector level, and optimised (fusions, selected
// kernels, planned memory) at the processor's best level. The outputs must
// be equal bit for bit (zeros of either sign being equal), except outputs that depend on a layer whose
// optimised form rounds differently by design (average pooling, batch
// normalisation folded into a convolution, x * sigmoid(x); see
// KerasGraph.h): those agree within 1e-4 of the output's largest magnitude.
//
//   corvus_differential [--seeds N] [--first S] [--seconds T]
//
// Each seed runs in a child process, so a fatal report or a crash is seen
// as a failure of that seed. A failing seed is shrunk to the shortest prefix
// of its graph that still fails, which is printed.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "KerasGraph.h"
#include "Model.h"
#include "ModelParser.hpp"
#include "ModelWeights.h"
#include "VectorLevel.h"

namespace {

const keras_graph::Limits kLimits{40, 12, 8, true};
constexpr int kMismatch = 3;

std::vector<uint8_t> Stream(uint32_t seed, uint32_t salt)
{
    std::mt19937 rng(seed * 2654435761u + salt);
    std::vector<uint8_t> bytes(16384);
    for (uint8_t& b : bytes) b = (uint8_t)(rng() >> 24);
    return bytes;
}

std::vector<std::vector<float>> Run(const keras_graph::Graph& graph, uint32_t seed, bool optimised)
{
    static corvus_fuzz::MemFile file;
    std::istringstream stream(graph.json);
    IOLayers* io = ParseLayersFromKerasJSON(stream);
    Model* model = CreateModel(io->outputLayers, io->outputLayersCount);
    DestroyIOLayers(io);
    const std::vector<uint8_t> values = Stream(seed, 1);
    keras_graph::ByteSource src(values.data(), values.size());
    const std::vector<uint8_t> weights = keras_graph::WeightsFor(model, src, false);
    LoadModelWeights(model, file.Write(weights.data(), weights.size()));
    if (optimised) OptimizeModel(model, 0);
    InitModel(model, 1);
    std::vector<std::vector<float>> out = keras_graph::PredictFixed(model);
    DestroyModel(model);
    return out;
}

bool Same(float a, float b, bool exact, float tolerance)
{
    uint32_t x, y;
    std::memcpy(&x, &a, 4);
    std::memcpy(&y, &b, 4);
    // The sign of a zero is free: the rectifier layer gives -0 for negative
    // inputs, the rectifier fused into arithmetic +0, and a maximum over
    // +0 and -0 may keep either.
    if (x == y || (std::isnan(a) && std::isnan(b)) || (a == 0.0f && b == 0.0f)) return true;
    return !exact && std::fabs(a - b) <= tolerance;
}

// The child's work: 0 when both runs agree, kMismatch when not; a fatal
// report ends it with 1.
int Check(uint32_t seed, uint32_t keep, bool print)
{
    const std::vector<uint8_t> bytes = Stream(seed, 0);
    keras_graph::ByteSource src(bytes.data(), bytes.size());
    const keras_graph::Graph graph = keras_graph::Generate(src, kLimits, keep);
    if (print)
        for (const std::string& line : graph.lines) std::fprintf(stderr, "  %s\n", line.c_str());
    const int best = corvus_internal::SelectedVectorLevel();
    corvus_internal::ForceVectorLevel(0);
    const std::vector<std::vector<float>> plain = Run(graph, seed, false);
    corvus_internal::ForceVectorLevel(best);
    const std::vector<std::vector<float>> fast = Run(graph, seed, true);
    if (plain.size() != fast.size()) {
        std::fprintf(stderr, "seed %u: %zu outputs against %zu\n", seed, plain.size(), fast.size());
        return kMismatch;
    }
    for (size_t o = 0; o < plain.size(); ++o) {
        if (plain[o].size() != fast[o].size()) {
            std::fprintf(stderr, "seed %u: output %zu has %zu values against %zu\n", seed, o, plain[o].size(),
                         fast[o].size());
            return kMismatch;
        }
        float largest = 1.0f;
        for (float v : plain[o])
            if (std::isfinite(v)) largest = std::fmax(largest, std::fabs(v));
        for (size_t i = 0; i < plain[o].size(); ++i)
            if (!Same(plain[o][i], fast[o][i], graph.exactOutputs[o], 1e-4f * largest)) {
                std::fprintf(stderr, "seed %u: output %zu value %zu: %.9g plain, %.9g optimised%s\n", seed, o, i,
                             plain[o][i], fast[o][i], graph.exactOutputs[o] ? "" : " (tolerant)");
                return kMismatch;
            }
    }
    return 0;
}

// Runs Check in a child; returns its exit status, or 128 + signal.
int InChild(uint32_t seed, uint32_t keep, bool print, bool quiet)
{
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (quiet && (!std::freopen("/dev/null", "w", stderr) || !std::freopen("/dev/null", "w", stdout))) _exit(2);
        std::exit(Check(seed, keep, print));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv)
{
    uint32_t seeds = 100, first = 1;
    double seconds = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seeds") == 0)
            seeds = (uint32_t)std::strtoul(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--first") == 0)
            first = (uint32_t)std::strtoul(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else {
            std::fprintf(stderr, "usage: %s [--seeds N] [--first S] [--seconds T]\n", argv[0]);
            return 2;
        }
    }
    const auto start = std::chrono::steady_clock::now();
    uint32_t run = 0, failed = 0, layers = 0, exact = 0, tolerant = 0;
    for (uint32_t seed = first;; ++seed, ++run) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds > 0 ? elapsed >= seconds : run >= seeds) break;
        {
            const std::vector<uint8_t> bytes = Stream(seed, 0);
            keras_graph::ByteSource src(bytes.data(), bytes.size());
            const keras_graph::Graph graph = keras_graph::Generate(src, kLimits);
            layers += (uint32_t)graph.lines.size() - 1;
            for (bool e : graph.exactOutputs) ++(e ? exact : tolerant);
        }
        const int status = InChild(seed, 0xFFFFFFFFu, false, true);
        if (status == 0) continue;
        ++failed;
        // The shortest prefix of the graph that fails in the same way.
        uint32_t keep = 1;
        while (keep < kLimits.maxLayers && InChild(seed, keep, false, true) != status) ++keep;
        std::fprintf(stderr, "FAILED seed %u (status %d); shortest failing graph (%u layers):\n", seed, status, keep);
        InChild(seed, keep, true, false);
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("differential: %u seeds from %u in %.0f s (%u layers with the inputs; outputs: %u bit-exact, %u "
                "within tolerance), %u failed\n",
                run, first, elapsed, layers, exact, tolerant, failed);
    return failed == 0 ? 0 : 1;
}
