#pragma once

// Finds secrets left behind in freed memory. Including this header replaces the
// program's global operator new/delete: while g_scanning is set, every block handed
// back is searched for the registered patterns before it is freed, and each hit
// counts in g_found. Include it in exactly one source file of a test program.
// (Memory the JSON library takes straight from malloc is outside its view.)

#include <malloc.h>
#include <string.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace freed_memory_probe {

struct Pattern {
    unsigned char bytes[64];
    size_t size = 0;
};
inline Pattern g_patterns[4];
inline std::atomic<bool> g_scanning{false};
inline std::atomic<int> g_found{0};

// Registers up to 64 bytes as pattern `index` (0 to 3); a size of 0 clears it.
inline void SetPattern(int index, const void* data, size_t size) {
    if (size > sizeof g_patterns[index].bytes) size = sizeof g_patterns[index].bytes;
    memcpy(g_patterns[index].bytes, data, size);
    g_patterns[index].size = size;
}

inline void ClearPatterns() {
    for (auto& pattern : g_patterns) pattern.size = 0;
}

inline void Scan(void* p) {
    if (!p || !g_scanning.load()) return;
    size_t size = malloc_usable_size(p);
    for (const auto& pattern : g_patterns) {
        if (pattern.size > 0 && memmem(p, size, pattern.bytes, pattern.size)) ++g_found;
    }
}

}  // namespace freed_memory_probe

void* operator new(size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept {
    freed_memory_probe::Scan(p);
    std::free(p);
}
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete(void* p, size_t) noexcept { ::operator delete(p); }
void operator delete[](void* p, size_t) noexcept { ::operator delete(p); }
