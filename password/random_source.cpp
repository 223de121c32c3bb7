#include "random_source.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace pwforge {

namespace {

void FillFromUrandom(std::uint8_t* data, std::size_t size) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open /dev/urandom");
    }
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            ::close(fd);
            throw std::system_error(err, std::generic_category(), "read /dev/urandom");
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace

void FillFromSystem(std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::getrandom(data + done, size - done, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == ENOSYS) {
                FillFromUrandom(data + done, size - done);
                return;
            }
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        done += static_cast<std::size_t>(n);
    }
}

SystemRandom::SystemRandom() : filler_(FillFromSystem) {}

SystemRandom::SystemRandom(ByteFiller filler) : filler_(std::move(filler)) {}

SystemRandom::~SystemRandom() { explicit_bzero(pool_.data(), pool_.size()); }

std::uint32_t SystemRandom::Next32() {
    if (pool_.size() - pool_used_ < sizeof(std::uint32_t)) {
        filler_(pool_.data(), pool_.size());
        pool_used_ = 0;
    }
    std::uint32_t value = 0;
    std::memcpy(&value, pool_.data() + pool_used_, sizeof value);
    explicit_bzero(pool_.data() + pool_used_, sizeof value);
    pool_used_ += sizeof value;
    return value;
}

std::uint32_t SystemRandom::Below(std::uint32_t bound) {
    if (bound == 0) {
        throw std::invalid_argument("random bound must be positive");
    }
    // 2^32 mod bound: the lowest values of the 32-bit range are dropped so the
    // remaining span is a whole multiple of `bound` and every residue is equally
    // likely.
    const std::uint32_t threshold = static_cast<std::uint32_t>(-bound) % bound;
    std::uint32_t value = Next32();
    while (value < threshold) {
        value = Next32();
    }
    return value % bound;
}

}  // namespace pwforge
