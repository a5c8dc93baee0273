#include "simulation/mt19937.hpp"

#include <cstdint>
#include <random>

#include <gtest/gtest.h>

using namespace tavoq;

namespace {

// Runs reseed the engine and twist lazily, block by block: the stream must still be the
// standard one across block edges, the 227/397 split of the twist and several generations.
TEST(Mt19937, GivesTheStandardStreamAcrossGenerations) {
    for (std::uint32_t seed : {0u, 1u, 5489u, 2147483647u, 2147483648u, 4294967295u}) {
        std::mt19937 standard(seed);
        Mt19937 ours;
        ours.seed(seed);
        for (int k = 0; k < 3 * Mt19937::kWords + 5; ++k) {
            ASSERT_EQ(ours(), standard()) << "seed " << seed << ", output " << k;
        }
    }
}

TEST(Mt19937, ReseedingMidStreamStartsAfresh) {
    Mt19937 ours;
    ours.seed(7u);
    for (int k = 0; k < 300; ++k) {
        ours();
    }
    ours.seed(5489u);
    EXPECT_EQ(ours(), 3499211612u);
    std::mt19937 standard(5489u);
    standard();
    for (int k = 0; k < 1000; ++k) {
        ASSERT_EQ(ours(), standard()) << k;
    }
}

} // namespace
