#include "simd/simd_support.hpp"

#include <cpuid.h>
#include <cstdint>

#include "platform/console.hpp"

namespace tavoq {

namespace {

constexpr unsigned kAvx512fBit = 1u << 16;   // CPUID.7.0:EBX
constexpr unsigned kAvx2Bit = 1u << 5;       // CPUID.7.0:EBX
constexpr unsigned kOsxsaveBit = 1u << 27;   // CPUID.1:ECX
constexpr unsigned kAvxBit = 1u << 28;       // CPUID.1:ECX
constexpr std::uint64_t kAvx512State = 0xE6; // SSE, AVX, opmask, ZMM0-15 upper, ZMM16-31
constexpr std::uint64_t kAvxState = 0x6;     // SSE, AVX

unsigned highestBasicLeaf() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, eax, ebx, ecx, edx);
    return eax;
}

unsigned leaf7Ebx() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return ebx;
}

unsigned leaf1Ecx() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(1, eax, ebx, ecx, edx);
    return ecx;
}

// Plain XGETBV encoding, so the file needs no -mxsave; callers check OSXSAVE first.
std::uint64_t readXcr0() {
    std::uint32_t eax = 0, edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

} // namespace

bool hasAVX512Support() {
    if (highestBasicLeaf() < 7) {
        return false;
    }
    if ((leaf7Ebx() & kAvx512fBit) == 0) {
        return false;
    }
    if ((leaf1Ecx() & kOsxsaveBit) == 0) {
        return false;
    }
    return (readXcr0() & kAvx512State) == kAvx512State;
}

bool hasAVX2Support() {
    if (highestBasicLeaf() < 7) {
        return false;
    }
    if ((leaf7Ebx() & kAvx2Bit) == 0) {
        return false;
    }
    const unsigned ecx = leaf1Ecx();
    if ((ecx & kAvxBit) == 0 || (ecx & kOsxsaveBit) == 0) {
        return false;
    }
    return (readXcr0() & kAvxState) == kAvxState;
}

void reportSIMDSupport() {
    if (hasAVX512Support()) {
        platform::printSimdSupport(platform::SimdLevel::avx512);
    } else if (hasAVX2Support()) {
        platform::printSimdSupport(platform::SimdLevel::avx2);
    } else {
        platform::printSimdSupport(platform::SimdLevel::none);
    }
}

} // namespace tavoq
