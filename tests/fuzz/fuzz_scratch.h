#pragma once

// A private scratch directory for fuzz targets that parse files, on /dev/shm
// when it exists (no disk writes per execution), removed at exit.

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace fuzz {

inline const std::string& ScratchDir() {
    // The name also lives in a plain array: the exit handler runs after the
    // string's destructor.
    static char name[64];
    static const std::string dir = [] {
        std::strcpy(name, std::filesystem::is_directory("/dev/shm") ? "/dev/shm/dover-fuzz.XXXXXX"
                                                                    : "/tmp/dover-fuzz.XXXXXX");
        if (mkdtemp(name) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(name, ignored);
        });
        return std::string(name);
    }();
    return dir;
}

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) std::abort();
}

}  // namespace fuzz
