#include "simd/vector_add.hpp"

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simd/simd_support.hpp"

using namespace tavoq;

namespace {

using AddFn = void (*)(const std::uint32_t *, const std::uint32_t *, std::uint32_t *,
                       std::uint64_t);

struct AddPath {
    const char *name;
    AddFn add;
    bool (*available)();
};

bool always() { return true; }

void PrintTo(const AddPath &path, std::ostream *os) { *os << path.name; }

// Lengths around the block sizes of both vector paths (8 and 16 lanes), plus a long one.
const std::vector<std::size_t> kLengths{0, 1, 7, 8, 9, 15, 16, 17, 31, 33, 1000};

constexpr std::size_t kGuard = 20; // more than one 512-bit block on each side
constexpr std::uint32_t kGuardValue = 0xA5A5A5A5u;

// An array of n elements with guard elements on both sides and a chosen misalignment
// (in elements) from a 64-byte boundary.
class Guarded {
public:
    Guarded(std::size_t n, std::size_t misalign) : n(n) {
        storage.assign(n + 2 * kGuard + 16 + misalign, kGuardValue);
        auto address = reinterpret_cast<std::uintptr_t>(storage.data() + kGuard);
        const std::size_t skip = ((64 - address % 64) % 64) / sizeof(std::uint32_t);
        begin = kGuard + skip + misalign;
    }
    std::uint32_t *data() { return storage.data() + begin; }
    std::uint32_t &operator[](std::size_t k) { return data()[k]; }
    std::vector<std::uint32_t> values() const {
        return {storage.begin() + static_cast<std::ptrdiff_t>(begin),
                storage.begin() + static_cast<std::ptrdiff_t>(begin + n)};
    }
    // True when nothing outside the n elements has changed.
    bool guardsIntact() const {
        for (std::size_t k = 0; k < storage.size(); ++k) {
            if ((k < begin || k >= begin + n) && storage[k] != kGuardValue) {
                return false;
            }
        }
        return true;
    }

private:
    std::size_t n;
    std::size_t begin = 0;
    std::vector<std::uint32_t> storage;
};

// Values chosen so that many lanes carry out of bit 31.
void fillRandom(Guarded &v, std::size_t n, std::mt19937 &gen) {
    for (std::size_t k = 0; k < n; ++k) {
        switch (gen() % 4) {
        case 0:
            v[k] = 0xFFFFFFFFu - gen() % 8;
            break;
        case 1:
            v[k] = gen() % 8;
            break;
        default:
            v[k] = static_cast<std::uint32_t>(gen());
        }
    }
}

std::vector<std::uint32_t> wrappedSum(const std::vector<std::uint32_t> &a,
                                      const std::vector<std::uint32_t> &b) {
    std::vector<std::uint32_t> out(a.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        out[k] = static_cast<std::uint32_t>((std::uint64_t{a[k]} + b[k]) % 4294967296ull);
    }
    return out;
}

class VectorAdd : public testing::TestWithParam<AddPath> {
protected:
    void SetUp() override {
        if (!GetParam().available()) {
            GTEST_SKIP() << GetParam().name << " is not supported on this machine";
        }
    }
    void add(std::uint32_t *a, std::uint32_t *b, std::uint32_t *out, std::size_t n) const {
        GetParam().add(a, b, out, n);
    }
};

TEST_P(VectorAdd, SumsElementwiseModulo2To32) {
    std::mt19937 gen(1234u);
    for (std::size_t n : kLengths) {
        Guarded a(n, 0), b(n, 0), out(n, 0);
        fillRandom(a, n, gen);
        fillRandom(b, n, gen);
        const auto before = a.values();
        const auto other = b.values();
        add(a.data(), b.data(), out.data(), n);
        EXPECT_EQ(out.values(), wrappedSum(before, other)) << "n = " << n;
        EXPECT_EQ(a.values(), before) << "n = " << n;
        EXPECT_EQ(b.values(), other) << "n = " << n;
        EXPECT_TRUE(a.guardsIntact() && b.guardsIntact() && out.guardsIntact()) << "n = " << n;
    }
}

TEST_P(VectorAdd, AllOnesPlusOneWrapsToZeroInLanesAndTail) {
    for (std::size_t n : kLengths) {
        Guarded a(n, 0), b(n, 0), out(n, 0);
        for (std::size_t k = 0; k < n; ++k) {
            a[k] = 4294967295u;
            b[k] = 1u;
            out[k] = 77u;
        }
        add(a.data(), b.data(), out.data(), n);
        EXPECT_EQ(out.values(), std::vector<std::uint32_t>(n, 0u)) << "n = " << n;
        EXPECT_TRUE(out.guardsIntact()) << "n = " << n;
    }
}

TEST_P(VectorAdd, InPlaceAccumulatesIntoTheFirstOperand) {
    // The runners always pass the accumulator as both a and out.
    std::mt19937 gen(99u);
    for (std::size_t n : kLengths) {
        Guarded a(n, 0), b(n, 0);
        fillRandom(a, n, gen);
        fillRandom(b, n, gen);
        const auto expected = wrappedSum(a.values(), b.values());
        add(a.data(), b.data(), a.data(), n);
        EXPECT_EQ(a.values(), expected) << "n = " << n;
        EXPECT_TRUE(a.guardsIntact() && b.guardsIntact()) << "n = " << n;
    }
}

TEST_P(VectorAdd, AcceptsUnalignedPointers) {
    std::mt19937 gen(5u);
    for (std::size_t n : kLengths) {
        // Three different offsets from a 64-byte boundary, none of them zero.
        Guarded a(n, 1), b(n, 2), out(n, 3);
        fillRandom(a, n, gen);
        fillRandom(b, n, gen);
        const auto expected = wrappedSum(a.values(), b.values());
        add(a.data(), b.data(), out.data(), n);
        EXPECT_EQ(out.values(), expected) << "n = " << n;
        EXPECT_TRUE(out.guardsIntact()) << "n = " << n;

        add(a.data(), b.data(), a.data(), n);
        EXPECT_EQ(a.values(), expected) << "in place, n = " << n;
        EXPECT_TRUE(a.guardsIntact()) << "in place, n = " << n;
    }
}

TEST_P(VectorAdd, AgreesWithThePlainPath) {
    std::mt19937 gen(31337u);
    for (std::size_t n = 0; n <= 70; ++n) {
        Guarded a(n, n % 5), b(n, n % 3), out(n, n % 7);
        fillRandom(a, n, gen);
        fillRandom(b, n, gen);
        std::vector<std::uint32_t> plain(n + 1, 0);
        addVectorsScalar(a.data(), b.data(), plain.data(), n);
        plain.pop_back();
        add(a.data(), b.data(), out.data(), n);
        EXPECT_EQ(out.values(), plain) << "n = " << n;
        EXPECT_TRUE(out.guardsIntact()) << "n = " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, VectorAdd,
                         testing::Values(AddPath{"AVX512", addVectorsAVX512, hasAVX512Support},
                                         AddPath{"AVX2", addVectorsAVX2, hasAVX2Support},
                                         AddPath{"Scalar", addVectorsScalar, always},
                                         AddPath{"Dispatch", addVectors, always}),
                         [](const testing::TestParamInfo<AddPath> &info) {
                             return std::string(info.param.name);
                         });

TEST(SimdSupport, AvxFiveTwelveImpliesTheAvx2Level) {
    // Every processor with AVX-512 Foundation also has AVX2 and AVX, and an operating system
    // that enables the 512-bit state enables the 256-bit state with it.
    if (!hasAVX512Support()) {
        GTEST_SKIP() << "no AVX-512 on this machine";
    }
    EXPECT_TRUE(hasAVX2Support());
}

TEST(SimdSupport, ReportNamesTheLevelTheAdditionUses) {
    std::string expected = "No AVX2 or AVX512 support detected. Using fallback.\n";
    if (hasAVX512Support()) {
        expected = "AVX512 support is available.\n";
    } else if (hasAVX2Support()) {
        expected = "AVX2 support is available.\n";
    }
    testing::internal::CaptureStdout();
    reportSIMDSupport();
    reportSIMDSupport();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected + expected);
}

} // namespace
