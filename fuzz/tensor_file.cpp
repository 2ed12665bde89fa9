// Fuzz target: the tensor file loader. A file it accepts must save back to
// the very bytes it was read from.
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
    std::vector<uint8_t> saved(size + 1);
    const size_t n = fread(saved.data(), 1, saved.size(), f);
    fclose(f);
    if (n > size || memcmp(saved.data(), data, n) != 0) std::abort();
    DestroyTensor(tensor);
    return 0;
}
