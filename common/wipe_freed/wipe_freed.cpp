// Linked into every program (never into a plug-in): memory handed back through
// the global operator delete is zeroed before it is freed. Libraries the
// programs use build plain secrets in their own temporary strings (the JSON
// library's writer serialises the credentials table and the KMS credentials
// with their passwords) and free them unwiped; the program cannot reach those
// buffers, but every C++ allocation is released through these operators, which
// a program may replace (and, exporting its symbols, replaces for the shared
// libraries it loads as well).
//
// Sanitizer builds keep the runtime's own operators, which track allocations.

#if !defined(__SANITIZE_ADDRESS__) && !defined(__has_feature)
#define DOVER_WIPE_FREED 1
#elif defined(__has_feature)
#if !__has_feature(address_sanitizer)
#define DOVER_WIPE_FREED 1
#endif
#endif

#ifdef DOVER_WIPE_FREED
#include <malloc.h>
#include <string.h>

#include <cstdlib>
#include <new>

namespace {

void WipeAndFree(void* block) noexcept {
    if (block == nullptr) return;
    explicit_bzero(block, malloc_usable_size(block));
    std::free(block);
}

void* Allocate(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
    const auto align = static_cast<std::size_t>(alignment);
    void* block = nullptr;
    if (posix_memalign(&block, align < sizeof(void*) ? sizeof(void*) : align, size == 0 ? 1 : size) != 0) {
        throw std::bad_alloc();
    }
    return block;
}

}  // namespace

// The allocating operators are replaced too, so that every block these
// operators free came from malloc.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }

void operator delete(void* block) noexcept { WipeAndFree(block); }
void operator delete[](void* block) noexcept { WipeAndFree(block); }
void operator delete(void* block, std::size_t) noexcept { WipeAndFree(block); }
void operator delete[](void* block, std::size_t) noexcept { WipeAndFree(block); }
void operator delete(void* block, std::align_val_t) noexcept { WipeAndFree(block); }
void operator delete[](void* block, std::align_val_t) noexcept { WipeAndFree(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { WipeAndFree(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { WipeAndFree(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { WipeAndFree(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { WipeAndFree(block); }
#endif
