// Fuzz target: the weights file loader. The first input byte picks one of the
// model descriptions in $CORVUS_FUZZ_MODELS (a directory of Keras
// descriptions); the rest is the weights file loaded into a fresh model.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "Model.h"
#include "ModelParser.hpp"
#include "ModelWeights.h"

namespace {

std::vector<std::string> LoadDescriptions()
{
    const char* dir = std::getenv("CORVUS_FUZZ_MODELS");
    std::vector<std::string> names, texts;
    DIR* d = dir != nullptr ? opendir(dir) : nullptr;
    if (d == nullptr) {
        std::fprintf(stderr, "CORVUS_FUZZ_MODELS must name a directory of model descriptions\n");
        std::abort();
    }
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) names.push_back(std::string(dir) + "/" + n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        std::ifstream f(n, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        texts.push_back(s.str());
    }
    if (texts.empty()) std::abort();
    return texts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<std::string> descriptions = LoadDescriptions();
    static corvus_fuzz::MemFile file;
    if (size == 0) return 0;
    std::istringstream stream(descriptions[data[0] % descriptions.size()]);
    IOLayers* io = ParseLayersFromKerasJSON(stream);
    Model* model = CreateModel(io->outputLayers, io->outputLayersCount);
    const char* path = file.Write(data + 1, size - 1);
    corvus_fuzz::Accepts([&] { LoadModelWeights(model, path); });
    DestroyModel(model);
    DestroyIOLayers(io);
    return 0;
}
