// Shared by the file reader targets: a failed invariant must stop the run with a message that
// says which one, so the reproducer libFuzzer writes next to it explains itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#define FUZZ_CHECK(cond)                                                                    \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "invariant failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

namespace kvfuzz {

// Readers that only take a path get the input through one scratch file per process, rewritten
// for every input (in /dev/shm when there is one, so the disk is not worn by millions of runs).
class ScratchFile {
public:
    explicit ScratchFile(const char* stem)
    {
        const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path_ = std::string(dir) + "/" + stem + "-" + std::to_string(::getpid());
    }
    ~ScratchFile() { ::unlink(path_.c_str()); }
    const std::string& Write(const std::uint8_t* data, std::size_t size)
    {
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        FUZZ_CHECK(f != nullptr);
        FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, f) == size);
        FUZZ_CHECK(std::fclose(f) == 0);
        return path_;
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

} // namespace kvfuzz
