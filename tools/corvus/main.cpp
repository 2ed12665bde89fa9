// corvus: command-line companion of the library for model developers.
//
//   corvus info    MODEL WEIGHTS
//   corvus run     MODEL WEIGHTS --input FILE... [--output DIR] [--cores N]
//   corvus bench   MODEL WEIGHTS [-n N] [--cores N] [--input FILE...]
//   corvus profile MODEL WEIGHTS --csv FILE [--svg FILE] [--cores N] [--input FILE...]
//   corvus dump    MODEL WEIGHTS DIR [--input FILE...]
//   corvus graph   MODEL WEIGHTS --dot FILE [--svg FILE]
//
// Argument errors print the usage and exit with status 2; failures of the
// library exit with status 1 after its own message.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ActivationTypes.h"
#include "Profiling.h"
#include "corvus.h"
#include "cpu_backend.hpp"
#include "npy.h"

// The library's choice of kernel instruction set (kernels/VectorLevel.h).
namespace corvus_internal {
int SelectedVectorLevel();
const char* VectorLevelName(int level);
uint32_t LayerActivation(const Layer* layer);
}  // namespace corvus_internal

namespace {

const char* const kUsage = "usage: corvus info    MODEL WEIGHTS\n"
                           "       corvus run     MODEL WEIGHTS --input FILE... [--output DIR] [--cores N]\n"
                           "       corvus bench   MODEL WEIGHTS [-n N] [--cores N] [--input FILE...]\n"
                           "       corvus profile MODEL WEIGHTS --csv FILE [--svg FILE] [--cores N] [--input FILE...]\n"
                           "       corvus dump    MODEL WEIGHTS DIR [--input FILE...]\n"
                           "       corvus graph   MODEL WEIGHTS --dot FILE [--svg FILE]\n"
                           "MODEL is a model description (Keras or converted-ONNX JSON), WEIGHTS its\n"
                           "weights file. Input files hold one or more input tensors back to back:\n"
                           "raw float32, or .npy (float32/64, float16, int32, uint32, int8, uint8).\n"
                           "--cores N runs the model on N cores (1 to 16; results are the same).\n";

[[noreturn]] void Usage(const std::string& problem)
{
    fprintf(stderr, "corvus: %s\n%s", problem.c_str(), kUsage);
    exit(2);
}

[[noreturn]] void Fail(const std::string& problem)
{
    fprintf(stderr, "corvus: %s\n", problem.c_str());
    exit(1);
}

struct Args {
    std::string command, model, weights, dir, csv, svg, output, dot;
    std::vector<std::string> inputs;
    long runs = 100;
    long cores = 1;
};

Args Parse(int argc, char** argv)
{
    if (argc < 2) Usage("missing command");
    Args a;
    a.command = argv[1];
    if (a.command == "-h" || a.command == "--help") {
        fputs(kUsage, stdout);
        exit(0);
    }
    const std::vector<std::string> commands = {"info", "run", "bench", "profile", "dump", "graph"};
    if (std::find(commands.begin(), commands.end(), a.command) == commands.end())
        Usage("unknown command '" + a.command + "'");
    std::vector<std::string> positional;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* what) {
            if (i + 1 >= argc || argv[i + 1][0] == '-') Usage(arg + " needs " + what);
            return std::string(argv[++i]);
        };
        if (arg == "--input" && a.command != "info" && a.command != "graph") {
            a.inputs.push_back(value("a file"));
            while (i + 1 < argc && argv[i + 1][0] != '-') a.inputs.push_back(argv[++i]);
        } else if (arg == "--output" && a.command == "run") {
            a.output = value("a directory");
        } else if (arg == "-n" && a.command == "bench") {
            const std::string n = value("a count");
            char* end = nullptr;
            a.runs = strtol(n.c_str(), &end, 10);
            if (*end != '\0' || a.runs < 1 || a.runs > 100000000) Usage("-n needs a count from 1, got '" + n + "'");
        } else if (arg == "--cores" && (a.command == "bench" || a.command == "run" || a.command == "profile")) {
            const std::string n = value("a count");
            char* end = nullptr;
            a.cores = strtol(n.c_str(), &end, 10);
            if (*end != '\0' || a.cores < 1 || a.cores > MAX_CORE_KERNELS)
                Usage("--cores needs a count from 1 to 16, got '" + n + "'");
        } else if (arg == "--csv" && a.command == "profile") {
            a.csv = value("a file");
        } else if (arg == "--svg" && (a.command == "profile" || a.command == "graph")) {
            a.svg = value("a file");
        } else if (arg == "--dot" && a.command == "graph") {
            a.dot = value("a file");
        } else if (!arg.empty() && arg[0] == '-') {
            Usage("unknown option '" + arg + "' for " + a.command);
        } else {
            positional.push_back(arg);
        }
    }
    const size_t wanted = a.command == "dump" ? 3 : 2;
    if (positional.size() < wanted)
        Usage(a.command + " needs " + (wanted == 3 ? "MODEL WEIGHTS DIR" : "MODEL WEIGHTS"));
    if (positional.size() > wanted) Usage("unexpected argument '" + positional[wanted] + "'");
    a.model = positional[0];
    a.weights = positional[1];
    if (wanted == 3) a.dir = positional[2];
    if (a.command == "run" && a.inputs.empty()) Usage("run needs --input FILE...");
    if (a.command == "profile" && a.csv.empty()) Usage("profile needs --csv FILE");
    if (a.command == "graph" && a.dot.empty()) Usage("graph needs --dot FILE");
    return a;
}

bool Readable(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    fclose(f);
    return true;
}

std::string ShapeText(const uint32_t* s)
{
    std::string text = "(";
    for (uint32_t d = 0; d < s[0]; ++d) text += (d ? "," : "") + std::to_string(s[1 + d]);
    return text + ")";
}

uint64_t Elements(const uint32_t* s)
{
    uint64_t n = 1;
    for (uint32_t d = 0; d < s[0]; ++d) n *= s[1 + d];
    return n;
}

std::string Name(const Layer* layer) { return layer->name ? layer->name : ""; }

std::string KernelName(const Layer* layer)
{
    const NNKernelFn* fn = layer->kernel ? layer->kernel->fn : nullptr;
    for (uint32_t k = 0; fn != nullptr && k < kfname_TOTAL; ++k)
        if (nn_kernel_fn_list[k] == fn) return kernel_fn_name_string[k];
    return kernel_fn_name_string[kfname_TOTAL];
}

std::string TensorShapeText(const Tensor* t)
{
    uint32_t s[1 + MAX_NDIM_VALUE] = {t->ndim};
    for (uint32_t d = 0; d < t->ndim && d < MAX_NDIM_VALUE; ++d) s[1 + d] = t->shape.dimension[d];
    return ShapeText(s);
}

// A loaded model and the host buffers for its inputs and outputs.
struct Session {
    uint32_t id = 0;
    Model* model = nullptr;  // for the layer listings
    std::vector<std::vector<uint32_t>> inShape, outShape;
    std::vector<std::string> inName, outName;
    std::vector<Npy> inputs;  // one per model input
    // One per model output, all batch items; the library copies 4-byte
    // elements of the output layer's own type (float32, int32 or uint32).
    std::vector<Npy> outputs;
    uint32_t batch = 1;

    ~Session()
    {
        if (model != nullptr) release_model(id);
    }

    void Load(const Args& a)
    {
        if (!Readable(a.model)) Fail("cannot open model description '" + a.model + "'");
        if (!Readable(a.weights)) Fail("cannot open weights file '" + a.weights + "'");
        id = inc_model_id();
        load_model_keras(id, a.model.c_str(), a.weights.c_str());
        model = get_model(id);
        if (a.cores != 1) set_model_cores_number(id, (uint32_t)a.cores);
        for (uint32_t i = 0; i < get_inputs_number(id); ++i) {
            inShape.emplace_back(1 + MAX_NDIM_VALUE);
            get_input_shape(id, i, inShape.back().data());
            std::vector<char> name(4096, 0);
            write_input_name(id, (int32_t)i, name.data());
            inName.push_back(name.data());
        }
        for (uint32_t j = 0; j < get_outputs_number(id); ++j) {
            outShape.emplace_back(1 + MAX_NDIM_VALUE);
            get_output_shape(id, j, outShape.back().data());
            std::vector<char> name(4096, 0);
            write_output_name(id, (int32_t)j, name.data());
            outName.push_back(name.data());
            Npy y;
            y.dtype = (DataType)model->ioLayers->outputLayers[j]->kernel->output[0]->dtype;
            y.shape.assign(outShape[j].begin() + 1, outShape[j].begin() + 1 + outShape[j][0]);
            outputs.push_back(std::move(y));
        }
    }

    // Host inputs from files (one per model input), or pseudo-random values
    // in [0,1) for float inputs and zeros otherwise when none are given.
    void Inputs(const std::vector<std::string>& files)
    {
        const uint32_t count = (uint32_t)inShape.size();
        if (files.empty()) {
            uint32_t seed = 12345;
            for (uint32_t i = 0; i < count; ++i) {
                Npy x;
                x.dtype = DT_FLOAT32;
                x.shape.assign(inShape[i].begin() + 1, inShape[i].begin() + 1 + inShape[i][0]);
                x.data.resize(Elements(inShape[i].data()) * 4);
                float* v = (float*)x.data.data();
                for (uint64_t k = 0; k < Elements(inShape[i].data()); ++k) {
                    seed = seed * 1664525u + 1013904223u;
                    v[k] = (float)(seed >> 8) / 16777216.0f;
                }
                inputs.push_back(std::move(x));
            }
            batch = 1;
            return;
        }
        if (files.size() != count)
            Usage("the model has " + std::to_string(count) + " input(s), " + std::to_string(files.size()) +
                  " --input file(s) given");
        for (uint32_t i = 0; i < count; ++i) {
            std::string error;
            Npy x;
            if (!ReadTensorFile(files[i], &x, &error)) Fail(error);
            const uint64_t item = Elements(inShape[i].data());
            const uint64_t n = x.data.size() / DataTypeSize(x.dtype);
            if (item == 0 || n == 0 || n % item != 0)
                Fail(files[i] + ": " + std::to_string(n) + " values are not a whole number of inputs of shape " +
                     ShapeText(inShape[i].data()) + " (" + std::to_string(item) + " values each) for '" + inName[i] +
                     "'");
            const uint32_t items = (uint32_t)(n / item);
            if (i > 0 && items != batch)
                Fail(files[i] + ": holds " + std::to_string(items) + " inputs, " + files[0] + " holds " +
                     std::to_string(batch));
            batch = items;
            inputs.push_back(std::move(x));
        }
    }

    void Run()
    {
        std::vector<void*> in;
        std::vector<uint32_t> types;
        for (Npy& x : inputs) {
            in.push_back(x.data.data());
            types.push_back((uint32_t)x.dtype);
        }
        std::vector<void*> out;
        for (size_t j = 0; j < outShape.size(); ++j) {
            outputs[j].data.assign(Elements(outShape[j].data()) * batch * 4, 0);
            out.push_back(outputs[j].data.data());
        }
        run_predict(id, in.data(), types.data(), out.data(), batch);
    }
};

int Info(const Args& a)
{
    Session s;
    s.Load(a);
    printf("model: %s\n", a.model.c_str());
    for (size_t i = 0; i < s.inName.size(); ++i)
        printf("input  %zu: %s %s\n", i, s.inName[i].c_str(), ShapeText(s.inShape[i].data()).c_str());
    for (size_t j = 0; j < s.outName.size(); ++j)
        printf("output %zu: %s %s\n", j, s.outName[j].c_str(), ShapeText(s.outShape[j].data()).c_str());
    printf("layers: %u\n", s.model->numLayers);
    // Columns as wide as their longest entry, so long layer names stay aligned.
    std::vector<std::vector<std::string>> rows = {{"name", "operation", "kernel", "output"}};
    int width[4] = {0, 0, 0, 0};
    for (uint32_t i = 0; i < s.model->numLayers; ++i) {
        const Layer* l = s.model->layers[i];
        rows.push_back(
            {Name(l), LayerOpTypeToStr((LayerOpType)l->op), KernelName(l), TensorShapeText(l->kernel->output[0])});
    }
    for (const auto& row : rows)
        for (int c = 0; c < 4; ++c) width[c] = std::max(width[c], (int)row[c].size());
    uint64_t total = 0;
    for (size_t r = 0; r < rows.size(); ++r) {
        const auto& row = rows[r];
        if (r == 0)
            printf("%5s", "#");
        else
            printf("%5zu", r - 1);
        printf("  %-*s %-*s %-*s %-*s ", width[0], row[0].c_str(), width[1], row[1].c_str(), width[2], row[2].c_str(),
               width[3], row[3].c_str());
        if (r == 0) {
            printf("%12s\n", "FLOPs");
            continue;
        }
        const uint64_t flops = GetLayerFLOPs(s.model->layers[r - 1]);
        total += flops;
        printf("%12llu\n", (unsigned long long)flops);
    }
    printf("total FLOPs: %llu\n", (unsigned long long)total);
    printf("vector level: %s\n", corvus_internal::VectorLevelName(corvus_internal::SelectedVectorLevel()));
    return 0;
}

std::string FileName(const std::string& layerName)
{
    std::string f = layerName;
    for (char& c : f)
        if (c == '/' || c == '\\' || c == ' ') c = '_';
    return f;
}

int Run(const Args& a)
{
    Session s;
    s.Load(a);
    s.Inputs(a.inputs);
    s.Run();
    if (!a.output.empty()) {
        mkdir(a.output.c_str(), 0777);
        for (size_t j = 0; j < s.outName.size(); ++j) {
            Npy& y = s.outputs[j];
            // Batch items stack along the first dimension.
            if (y.shape.empty()) y.shape.push_back(1);
            y.shape[0] *= s.batch;
            const std::string path = a.output + "/" + FileName(s.outName[j]) + ".npy";
            std::string error;
            if (!WriteNpy(path, y, &error)) Fail(error);
            printf("%s %s x %u -> %s\n", s.outName[j].c_str(), ShapeText(s.outShape[j].data()).c_str(), s.batch,
                   path.c_str());
        }
        return 0;
    }
    for (size_t j = 0; j < s.outName.size(); ++j) {
        const uint64_t item = Elements(s.outShape[j].data());
        for (uint32_t b = 0; b < s.batch; ++b) {
            printf("%s[%u]:", s.outName[j].c_str(), b);
            const Npy& y = s.outputs[j];
            for (uint64_t k = b * item; k < (b + 1) * item; ++k) {
                if (y.dtype == DT_INT32)
                    printf(" %d", ((const int32_t*)y.data.data())[k]);
                else if (y.dtype == DT_UINT32)
                    printf(" %u", ((const uint32_t*)y.data.data())[k]);
                else
                    printf(" %.6g", ((const float*)y.data.data())[k]);
            }
            printf("\n");
        }
    }
    return 0;
}

double Percentile(std::vector<double> sorted, double p)
{
    const double rank = p / 100.0 * (double)(sorted.size() - 1);
    const size_t lo = (size_t)rank;
    const size_t hi = std::min(lo + 1, sorted.size() - 1);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * (rank - (double)lo);
}

int Bench(const Args& a)
{
    Session s;
    s.Load(a);
    s.Inputs(a.inputs);
    s.Run();  // warm-up
    using clock = std::chrono::steady_clock;
    std::vector<double> ms;
    const auto start = clock::now();
    auto lastReport = start;
    bool reported = false;
    for (long r = 0; r < a.runs; ++r) {
        const auto t0 = clock::now();
        s.Run();
        const auto t1 = clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        // Long runs show progress on stderr, at most twice a second.
        if (t1 - lastReport > std::chrono::milliseconds(500) && t1 - start > std::chrono::seconds(1)) {
            fprintf(stderr, "\rbench: %ld/%ld runs", r + 1, a.runs);
            fflush(stderr);
            lastReport = t1;
            reported = true;
        }
    }
    if (reported) fprintf(stderr, "\rbench: %ld/%ld runs\n", a.runs, a.runs);
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) sum += v;
    if (a.cores == 1)
        printf("runs: %ld (batch %u)\n", a.runs, s.batch);
    else
        printf("runs: %ld (batch %u, %ld cores)\n", a.runs, s.batch, a.cores);
    printf("latency ms: min %.4f  p50 %.4f  p90 %.4f  p99 %.4f  max %.4f  mean %.4f\n", ms.front(), Percentile(ms, 50),
           Percentile(ms, 90), Percentile(ms, 99), ms.back(), sum / (double)ms.size());
    return 0;
}

std::string XmlEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            // Control characters are not allowed in XML 1.0 text.
            if ((unsigned char)c >= 0x20) out += c;
        }
    }
    return out;
}

// Horizontal bars of time per layer, longest first, with name, operation,
// kernel and share of the total.
void WriteSvg(const std::string& path, const Model* model, const std::string& title)
{
    struct Row {
        std::string name, op, kernel;
        double ms;
    };
    std::vector<Row> rows;
    double total = 0;
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        const Layer* l = model->layers[i];
        const double ms = (double)l->stat.tics * 1000.0 / (double)CLOCKS_PER_SEC;
        rows.push_back({Name(l), LayerOpTypeToStr((LayerOpType)l->op), KernelName(l), ms < 0 ? 0 : ms});
        total += rows.back().ms;
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row& x, const Row& y) { return x.ms > y.ms; });
    const double longest = rows.empty() || rows[0].ms <= 0 ? 1 : rows[0].ms;
    // Labels start at the left margin; the bars begin after the longest
    // label (about 7 px per character at this font size).
    size_t labelChars = 0;
    for (const Row& row : rows) labelChars = std::max(labelChars, row.name.size() + 1 + row.op.size());
    const int labelX = 10, labelW = std::max(360, labelX + 7 * (int)labelChars + 16), barW = 420, rowH = 22, top = 56;
    const int width = labelW + barW + 160, height = top + rowH * (int)rows.size() + 30;
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) Fail("cannot write '" + path + "'");
    fprintf(f, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    fprintf(f,
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
            "font-family=\"sans-serif\" font-size=\"12\">\n",
            width, height, width, height);
    fprintf(f, "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n");
    fprintf(f, "<text x=\"10\" y=\"22\" font-size=\"16\" font-weight=\"bold\">Time per layer: %s</text>\n",
            XmlEscape(title).c_str());
    fprintf(f,
            "<text x=\"10\" y=\"42\" fill=\"#555555\">%zu layers, %.3f ms in total (processor time of the last "
            "run), longest first</text>\n",
            rows.size(), total);
    for (size_t r = 0; r < rows.size(); ++r) {
        const Row& row = rows[r];
        const int y = top + rowH * (int)r;
        const double w = row.ms / longest * barW;
        const double share = total > 0 ? 100.0 * row.ms / total : 0;
        fprintf(f, "<g>\n<title>%s (%s, %s): %.4f ms, %.1f%%</title>\n", XmlEscape(row.name).c_str(),
                XmlEscape(row.op).c_str(), XmlEscape(row.kernel).c_str(), row.ms, share);
        fprintf(f, "<text x=\"%d\" y=\"%d\">%s <tspan fill=\"#777777\">%s</tspan></text>\n", labelX, y + 15,
                XmlEscape(row.name).c_str(), XmlEscape(row.op).c_str());
        fprintf(f, "<rect x=\"%d\" y=\"%d\" width=\"%.2f\" height=\"%d\" fill=\"%s\"/>\n", labelW, y + 3, w, rowH - 6,
                r == 0 ? "#d9480f" : "#1c7ed6");
        fprintf(f, "<text x=\"%.2f\" y=\"%d\">%.3f ms  %.1f%%</text>\n</g>\n", labelW + w + 6, y + 15, row.ms, share);
    }
    fprintf(f, "</svg>\n");
    if (fclose(f) != 0) Fail("cannot write '" + path + "'");
}

int Profile(const Args& a)
{
    Session s;
    s.Load(a);
    s.Inputs(a.inputs);
    s.Run();
    s.Run();  // statistics describe the last run: a warm one
    save_layers_statistic(s.id, a.csv.c_str());
    printf("statistics: %s\n", a.csv.c_str());
    if (!a.svg.empty()) {
        WriteSvg(a.svg, s.model, a.model);
        printf("chart: %s\n", a.svg.c_str());
    }
    return 0;
}

int Dump(const Args& a)
{
    Session s;
    s.Load(a);
    s.Inputs(a.inputs);
    mkdir(a.dir.c_str(), 0777);
    struct stat st;
    if (stat(a.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) Fail("cannot create directory '" + a.dir + "'");
    s.Run();
    save_layers_tensors(s.id, a.dir.c_str());
    printf("dumped %u layers into %s\n", s.model->numLayers, a.dir.c_str());
    return 0;
}

// A dot string literal's content: quotes and backslashes escaped, line
// breaks written as dot's own.
std::string DotEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n')
            out += "\\n";
        else if ((unsigned char)c >= 0x20)
            out += c;
    }
    return out;
}

std::string TypeText(uint32_t dtype) { return dtype <= DT_INT8 ? DataTypeToStr((DataType)dtype) : "unknown type"; }

// Where the memory plan put a layer's output: its offset in the model's
// shared block, or why it has none (a model input filled by the host, or
// storage of the layer's own such as constants).
std::string PlacementText(const Model* model, const Layer* layer)
{
    const TensorsSharedMemory& shared = model->tensorsSharedMemory;
    const uint8_t* data = (const uint8_t*)layer->kernel->output[0]->data;
    if (data != nullptr && shared.data != nullptr && data >= shared.data && data < shared.data + shared.size)
        return "offset " + std::to_string(data - shared.data);
    if (layer->op == OP_Input) return "host input";
    return "own storage";
}

// The optimised, initialised graph in Graphviz's dot language: one box per
// layer in execution order, an edge from each producer to its consumers.
void WriteDot(const std::string& path, const Model* model, const std::string& title)
{
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) Fail("cannot write '" + path + "'");
    fprintf(f, "digraph \"%s\" {\n", DotEscape(title).c_str());
    fprintf(f, "  node [shape=box, fontname=\"sans-serif\", fontsize=10];\n");
    fprintf(f, "  label=\"%s: %u layers, shared memory %llu bytes\";\n", DotEscape(title).c_str(), model->numLayers,
            (unsigned long long)model->tensorsSharedMemory.size);
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        const Layer* l = model->layers[i];
        const Tensor* out = l->kernel->output[0];
        const uint32_t act = corvus_internal::LayerActivation(l);
        std::string label = Name(l) + "\n" + LayerOpTypeToStr((LayerOpType)l->op) + " / " + KernelName(l) + "\n" +
                            TensorShapeText(out) + " " + TypeText(out->dtype);
        if (act != None && act < ActivationTypesCount)
            label += "\nactivation " + std::string(ActivationNameString[act]);
        label += "\n" + PlacementText(model, l);
        fprintf(f, "  \"%s\" [label=\"%s\"];\n", DotEscape(Name(l)).c_str(), DotEscape(label).c_str());
    }
    for (uint32_t i = 0; i < model->numLayers; ++i) {
        const Layer* l = model->layers[i];
        for (uint32_t k = 0; k < l->inputLayersNum; ++k)
            if (l->inputLayers[k] != nullptr)
                fprintf(f, "  \"%s\" -> \"%s\";\n", DotEscape(Name(l->inputLayers[k])).c_str(),
                        DotEscape(Name(l)).c_str());
    }
    fprintf(f, "}\n");
    if (fclose(f) != 0) Fail("cannot write '" + path + "'");
}

// Graphviz's dot program on the PATH, or an empty string.
std::string FindDot()
{
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/dot";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

int Graph(const Args& a)
{
    Session s;
    s.Load(a);
    WriteDot(a.dot, s.model, a.model);
    printf("graph: %s\n", a.dot.c_str());
    if (a.svg.empty()) return 0;
    const std::string dot = FindDot();
    if (dot.empty()) Fail("--svg needs Graphviz's dot program, which is not installed (Debian package graphviz)");
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        execl(dot.c_str(), "dot", "-Tsvg", "-o", a.svg.c_str(), a.dot.c_str(), (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(dot + " could not render '" + a.dot + "' into '" + a.svg + "'");
    printf("rendered: %s\n", a.svg.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const Args a = Parse(argc, argv);
    try {
        if (a.command == "info") return Info(a);
        if (a.command == "run") return Run(a);
        if (a.command == "bench") return Bench(a);
        if (a.command == "profile") return Profile(a);
        if (a.command == "graph") return Graph(a);
        return Dump(a);
    } catch (const std::exception& e) {
        Fail(e.what());
    }
}
