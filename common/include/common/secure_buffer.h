#pragma once

// Byte buffers for key material, passwords and other secrets. Memory handed
// back by these containers is wiped with explicit_bzero first, so a secret does
// not linger in freed heap blocks. Shrinking keeps the bytes in capacity until the
// buffer is freed or Wipe() is called; call Wipe() when the secret is done with.

#include <string.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace common_routines {

#if defined(__x86_64__)
// Register clearing for WipeVectorRegisters, one routine per instruction set.
// The vector registers are all call-clobbered, so a call may leave them zeroed.
__attribute__((target("avx512f"))) inline void ZeroVectorRegistersAvx512() {
    // VZEROALL reaches zmm0-15 only; zmm16-31 are what the AVX-512 string
    // routines of the C library copy through.
    asm volatile(
        "vzeroall\n\t"
        "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
              "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22",
              "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

__attribute__((target("avx"))) inline void ZeroVectorRegistersAvx() {
    asm volatile("vzeroall" ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
                 "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

inline void ZeroVectorRegistersSse() {
    asm volatile(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
        "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
        "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
        "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
              "xmm12", "xmm13", "xmm14", "xmm15");
}
#endif

// Zeroes the vector registers. The C library's string routines copy through
// them, so after a secret was copied its last bytes stay there until other
// data passes; the dynamic linker's lazy binding and signal delivery then save
// the registers onto the stack, and a core file records them.
inline void WipeVectorRegisters() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        ZeroVectorRegistersAvx512();
    } else if (__builtin_cpu_supports("avx")) {
        ZeroVectorRegistersAvx();
    } else {
        ZeroVectorRegistersSse();
    }
#endif
}

// Zeroes `size` bytes in a way the optimiser may not remove, then the vector
// registers the secret may have passed through on its way there.
inline void SecureWipe(void* data, size_t size) {
    if (data == nullptr || size == 0) return;
    explicit_bzero(data, size);
    WipeVectorRegisters();
}

// Zeroes a std::string's whole storage (capacity included) and empties it. Use it
// for secrets that had to pass through a std::string.
inline void SecureWipe(std::string& text) {
    text.resize(text.capacity());
    SecureWipe(text.data(), text.size());
    text.clear();
}

// Wipes a secret that has to live in a std::string (the answer of GetSecret,
// a value for a caller's interface) when it goes out of scope, however the
// scope is left.
class WipeOnExit {
public:
    explicit WipeOnExit(std::string& secret) : secret_(secret) {}
    ~WipeOnExit() { SecureWipe(secret_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    std::string& secret_;
};

// Allocator that wipes every block before returning it to the heap.
template <typename T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept {
        SecureWipe(p, n * sizeof(T));
        ::operator delete(p);
    }

    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

// A std::vector of bytes whose storage is wiped when released (destruction,
// reallocation on growth, shrink_to_fit).
class SecureBuffer : public std::vector<uint8_t, WipingAllocator<uint8_t>> {
public:
    using Base = std::vector<uint8_t, WipingAllocator<uint8_t>>;
    using Base::Base;

    SecureBuffer() = default;
    // Copies `size` bytes from `data`.
    SecureBuffer(const void* data, size_t size)
        : Base(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size) {}

    // Zeroes the whole storage, capacity included, and empties the buffer.
    void Wipe() noexcept {
        SecureWipe(Base::data(), Base::capacity());
        Base::clear();
    }

    // Contents as char pointers, for C interfaces that take text.
    char* chars() noexcept { return reinterpret_cast<char*>(Base::data()); }
    const char* chars() const noexcept { return reinterpret_cast<const char*>(Base::data()); }
};

// A std::string for secret text. Heap blocks are wiped when released (growth,
// shrink_to_fit, destruction) by the allocator, and the destructor wipes the
// object's own storage too, which holds short texts without any heap block.
class SecureString : public std::basic_string<char, std::char_traits<char>, WipingAllocator<char>> {
public:
    using Base = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
    using Base::Base;

    SecureString() = default;
    SecureString(const SecureString&) = default;
    SecureString(SecureString&&) = default;
    // Assigning text (a C string, a character, a view) reuses the storage.
    using Base::operator=;
    SecureString& operator=(const SecureString&) = default;
    SecureString& operator=(SecureString&& other) noexcept {
        Wipe();
        Base::operator=(std::move(other));
        return *this;
    }
    ~SecureString() { Wipe(); }

    // Zeroes the whole storage, capacity included, and empties the text.
    void Wipe() noexcept {
        SecureWipe(Base::data(), Base::capacity());
        Base::clear();
    }

    std::string_view view() const noexcept { return std::string_view(Base::data(), Base::size()); }
};

}  // namespace common_routines
