#pragma once

// Finds secrets left behind in freed memory. Including this header replaces the
// program's free() and global operator new/delete: while g_scanning is set,
// every block handed back is searched for the registered patterns before it is
// freed, and each hit counts in g_found. Because free() itself is replaced, the
// blocks that libraries take straight from malloc (the JSON library's strings)
// are searched too. Include it in exactly one source file of a test program.
//
// Under AddressSanitizer only operator delete is watched: its runtime calls
// free() while setting itself up, before any instrumented code may run.

#include <dlfcn.h>
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
inline Pattern g_patterns[8];
inline std::atomic<bool> g_scanning{false};
inline std::atomic<int> g_found{0};
// Hits per pattern since the last ResetHits(), to tell which secret was left.
inline std::atomic<int> g_hits[8];

inline void ResetHits() {
    g_found = 0;
    for (auto& hits : g_hits) hits = 0;
}

// Registers up to 64 bytes as pattern `index` (0 to 7); a size of 0 clears it.
inline void SetPattern(int index, const void* data, size_t size) {
    if (size > sizeof g_patterns[index].bytes) size = sizeof g_patterns[index].bytes;
    memcpy(g_patterns[index].bytes, data, size);
    g_patterns[index].size = size;
}

inline void ClearPatterns() {
    for (auto& pattern : g_patterns) pattern.size = 0;
}

// Counts a hit. A breakpoint here shows in the debugger who left the secret.
[[gnu::noinline]] inline void OnHit(int index) {
    ++g_found;
    ++g_hits[index];
}

inline void Scan(void* p) {
    if (!p || !g_scanning.load()) return;
    size_t size = malloc_usable_size(p);
    for (int i = 0; i < 8; ++i) {
        const Pattern& pattern = g_patterns[i];
        if (pattern.size > 0 && memmem(p, size, pattern.bytes, pattern.size)) OnHit(i);
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define FREED_MEMORY_PROBE_WATCHES_FREE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FREED_MEMORY_PROBE_WATCHES_FREE 0
#endif
#endif
#ifndef FREED_MEMORY_PROBE_WATCHES_FREE
#define FREED_MEMORY_PROBE_WATCHES_FREE 1
#endif

#if FREED_MEMORY_PROBE_WATCHES_FREE
// The free() that this program's own one stands in front of (the C library's).
inline void NextFree(void* p) {
    using FreeFunction = void (*)(void*);
    static std::atomic<FreeFunction> next{nullptr};
    static std::atomic<bool> resolving{false};
    FreeFunction f = next.load();
    if (f == nullptr) {
        // Should the lookup itself free something, that block is leaked
        // rather than the lookup entered again.
        if (resolving.exchange(true)) return;
        f = reinterpret_cast<FreeFunction>(dlsym(RTLD_NEXT, "free"));
        next = f;
    }
    f(p);
}
#endif

}  // namespace freed_memory_probe

#if FREED_MEMORY_PROBE_WATCHES_FREE
extern "C" void free(void* p) noexcept {
    freed_memory_probe::Scan(p);
    freed_memory_probe::NextFree(p);
}
#endif

void* operator new(size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept {
    // With free() watched, the block is searched there.
    if (!FREED_MEMORY_PROBE_WATCHES_FREE) freed_memory_probe::Scan(p);
    std::free(p);
}
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete(void* p, size_t) noexcept { ::operator delete(p); }
void operator delete[](void* p, size_t) noexcept { ::operator delete(p); }
