#include "FuzzCommon.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace corvus_fuzz {

MemFile::MemFile() : fd_(memfd_create("corvus-fuzz", 0))
{
    if (fd_ < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

MemFile::~MemFile() { close(fd_); }

const char* MemFile::Write(const uint8_t* data, size_t size)
{
    if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) std::abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd_, data + done, size - done);
        if (n <= 0) std::abort();
        done += (size_t)n;
    }
    return Path();
}

}  // namespace corvus_fuzz

#ifdef CORVUS_FUZZ_BUILD
// A rejected input leaves its partial results to process exit, which never
// comes while fuzzing: leak checks belong to the replay drivers.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif
