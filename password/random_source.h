#pragma once

// Sources of random choices for password generation.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace pwforge {

// Picks uniformly distributed indices. Every random decision of the generator goes
// through one of these, so tests can replace it with a scripted source.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    // A uniformly distributed value in [0, bound); bound must be at least 1.
    virtual std::uint32_t Below(std::uint32_t bound) = 0;
};

// Draws from the operating system's cryptographically secure generator
// (getrandom, falling back to /dev/urandom on kernels without it). Values are
// mapped to a range by rejection sampling, so no index is favoured.
class SystemRandom final : public RandomSource {
public:
    // Fills the whole buffer with random bytes or throws std::system_error.
    using ByteFiller = std::function<void(std::uint8_t* data, std::size_t size)>;

    SystemRandom();
    // For tests: bytes come from `filler` instead of the kernel.
    explicit SystemRandom(ByteFiller filler);
    ~SystemRandom() override;
    SystemRandom(const SystemRandom&) = delete;
    SystemRandom& operator=(const SystemRandom&) = delete;

    std::uint32_t Below(std::uint32_t bound) override;

private:
    std::uint32_t Next32();

    ByteFiller filler_;
    // Bytes are fetched in batches; unused ones are wiped on destruction because
    // they would reveal characters of the passwords still to be made.
    std::array<std::uint8_t, 256> pool_{};
    std::size_t pool_used_ = pool_.size();
};

// Reads `size` bytes from the kernel's secure generator; throws std::system_error.
void FillFromSystem(std::uint8_t* data, std::size_t size);

}  // namespace pwforge
