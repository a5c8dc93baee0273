#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace tavoq::platform {

/// An array of unsigned 32-bit counters aligned to 64 bytes (one 512-bit block), zeroed.
/// Allocation failure is not thrown: `ok()` tells, so each runner reports it in its own way.
class AlignedBuffer {
public:
    AlignedBuffer() = default;
    explicit AlignedBuffer(std::size_t count) : length(count) {
        constexpr std::size_t kAlign = 64;
        if (count > (SIZE_MAX - kAlign) / sizeof(std::uint32_t)) {
            return;
        }
        // aligned_alloc wants a multiple of the alignment; a zero-length buffer still gets
        // one block so that ok() means "obtained".
        std::size_t bytes = count * sizeof(std::uint32_t);
        bytes = (bytes + kAlign - 1) / kAlign * kAlign;
        if (bytes == 0) {
            bytes = kAlign;
        }
        storage = static_cast<std::uint32_t *>(std::aligned_alloc(kAlign, bytes));
        if (storage != nullptr) {
            for (std::size_t k = 0; k < count; ++k) {
                storage[k] = 0;
            }
        }
    }
    AlignedBuffer(AlignedBuffer &&other) noexcept : storage(other.storage), length(other.length) {
        other.storage = nullptr;
        other.length = 0;
    }
    AlignedBuffer &operator=(AlignedBuffer &&other) noexcept {
        if (this != &other) {
            std::free(storage);
            storage = other.storage;
            length = other.length;
            other.storage = nullptr;
            other.length = 0;
        }
        return *this;
    }
    AlignedBuffer(const AlignedBuffer &) = delete;
    AlignedBuffer &operator=(const AlignedBuffer &) = delete;
    ~AlignedBuffer() { std::free(storage); }

    bool ok() const { return storage != nullptr; }
    std::uint32_t *data() { return storage; }
    const std::uint32_t *data() const { return storage; }
    std::size_t size() const { return length; }

private:
    std::uint32_t *storage = nullptr;
    std::size_t length = 0;
};

} // namespace tavoq::platform
