#pragma once

#include <cstdint>

namespace tavoq {

/// out[k] = a[k] + b[k] modulo 2^32 for k < n, with the widest path the machine supports
/// (AVX-512, then AVX2, then plain), chosen once per process. `out` may be `a` itself;
/// otherwise it must not overlap a or b. Any alignment; nothing past element n - 1 is
/// touched. Thread-safe.
void addVectors(const std::uint32_t *a, const std::uint32_t *b, std::uint32_t *out,
                std::uint64_t n);

/// The three paths, each callable on its own. The vector ones must only run on a machine
/// whose matching capability test (simd_support.hpp) passes.
void addVectorsAVX512(const std::uint32_t *a, const std::uint32_t *b, std::uint32_t *out,
                      std::uint64_t n);
void addVectorsAVX2(const std::uint32_t *a, const std::uint32_t *b, std::uint32_t *out,
                    std::uint64_t n);
void addVectorsScalar(const std::uint32_t *a, const std::uint32_t *b, std::uint32_t *out,
                      std::uint64_t n);

} // namespace tavoq
