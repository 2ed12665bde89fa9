// Tensor files of the command-line tool: NumPy .npy (format 1.x/2.x,
// little-endian, C order) or raw float32 for any other name.
#ifndef CORVUS_TOOLS_NPY_H
#define CORVUS_TOOLS_NPY_H

#include <cstdint>
#include <string>
#include <vector>

#include "DataType.h"

struct Npy {
    DataType dtype = DT_FLOAT32;
    std::vector<uint64_t> shape;
    std::vector<uint8_t> data;  // elements of dtype, back to back
};

// float64 arrays are narrowed to float32; other element types are kept when
// the library has them, refused otherwise.
bool ReadTensorFile(const std::string& path, Npy* out, std::string* error);
bool ParseNpy(const std::vector<uint8_t>& bytes, Npy* out, std::string* error);
bool WriteNpy(const std::string& path, const Npy& array, std::string* error);

#endif
