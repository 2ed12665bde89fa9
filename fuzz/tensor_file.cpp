// Fuzz target: the tensor file loader. A file it accepts must save back to
// the very bytes it was read from; a short file loads with its missing tail
// zero, so what the save adds beyond the input must be zeros.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzCommon.h"
#include "Tensor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static corvus_fuzz::MemFile in, out;
    const char* path = in.Write(data, size);
    Tensor* tensor = nullptr;
    corvus_fuzz::Accepts([&] { tensor = LoadTensor(path); });
    if (tensor == nullptr) return 0;
    SaveTensor(tensor, out.Path());
    FILE* f = fopen(out.Path(), "rb");
    std::vector<uint8_t> saved;
    uint8_t chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof(chunk), f)) > 0;) saved.insert(saved.end(), chunk, chunk + got);
    fclose(f);
    const size_t common = saved.size() < size ? saved.size() : size;
    if (memcmp(saved.data(), data, common) != 0) std::abort();
    for (size_t i = common; i < saved.size(); ++i)
        if (saved[i] != 0) std::abort();
    DestroyTensor(tensor);
    return 0;
}
