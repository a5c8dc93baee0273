#include "simd/vector_add.hpp"

#include <immintrin.h>

#include "simd/simd_support.hpp"

namespace tavoq {

// The vector paths get their instruction sets per function, never for the whole file, so
// nothing that runs before the capability tests can use them.

__attribute__((target("avx512f"))) void addVectorsAVX512(const std::uint32_t *a,
                                                         const std::uint32_t *b,
                                                         std::uint32_t *out, std::uint64_t n) {
    std::uint64_t k = 0;
    for (; k + 16 <= n; k += 16) {
        const __m512i va = _mm512_loadu_si512(static_cast<const void *>(a + k));
        const __m512i vb = _mm512_loadu_si512(static_cast<const void *>(b + k));
        _mm512_storeu_si512(static_cast<void *>(out + k), _mm512_add_epi32(va, vb));
    }
    for (; k < n; ++k) {
        out[k] = a[k] + b[k];
    }
}

__attribute__((target("avx2"))) void addVectorsAVX2(const std::uint32_t *a, const std::uint32_t *b,
                                                    std::uint32_t *out, std::uint64_t n) {
    std::uint64_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + k));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + k));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + k), _mm256_add_epi32(va, vb));
    }
    for (; k < n; ++k) {
        out[k] = a[k] + b[k];
    }
}

void addVectorsScalar(const std::uint32_t *a, const std::uint32_t *b, std::uint32_t *out,
                      std::uint64_t n) {
    for (std::uint64_t k = 0; k < n; ++k) {
        out[k] = a[k] + b[k];
    }
}

namespace {

enum class VectorPath { avx512, avx2, scalar };

VectorPath detectPath() {
    if (hasAVX512Support()) {
        return VectorPath::avx512;
    }
    if (hasAVX2Support()) {
        return VectorPath::avx2;
    }
    return VectorPath::scalar;
}

} // namespace

void addVectors(const std::uint32_t *a, const std::uint32_t *b, std::uint32_t *out,
                std::uint64_t n) {
    // The capability tests run once per process, not once per call: under a hypervisor every
    // CPUID traps, and the three of them cost about 14 microseconds here, more than a whole
    // run of a small model. What the processor offers cannot change while the process runs.
    static const VectorPath path = detectPath();
    switch (path) {
    case VectorPath::avx512:
        addVectorsAVX512(a, b, out, n);
        break;
    case VectorPath::avx2:
        addVectorsAVX2(a, b, out, n);
        break;
    case VectorPath::scalar:
        addVectorsScalar(a, b, out, n);
        break;
    }
}

} // namespace tavoq
