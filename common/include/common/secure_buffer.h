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

// Zeroes `size` bytes in a way the optimiser may not remove.
inline void SecureWipe(void* data, size_t size) {
    if (data != nullptr && size > 0) explicit_bzero(data, size);
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
