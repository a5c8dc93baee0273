#pragma once

#include <cstdint>

namespace tavoq {

/// The 32-bit Mersenne Twister MT19937 (Matsumoto and Nishimura, 1998), giving exactly the
/// outputs of std::mt19937 for the same seed. Ours keeps 32-bit words (the standard engine
/// on this platform keeps 64-bit ones) and twists its state in blocks only as outputs are
/// asked for: every run reseeds, and most runs of a batch use far fewer than the 624 outputs
/// of one full twist. Both halve the cost of starting a run.
class Mt19937 {
public:
    static constexpr int kWords = 624;

    /// The standard initialisation (multiplier 1812433253).
    void seed(std::uint32_t value) {
        state[0] = value;
        for (std::uint32_t i = 1; i < kWords; ++i) {
            const std::uint32_t prev = state[i - 1];
            state[i] = 1812433253u * (prev ^ (prev >> 30)) + i;
        }
        next = 0;
        twisted = 0;
    }

    std::uint32_t operator()() {
        if (next == twisted) {
            advance();
        }
        std::uint32_t y = state[next++];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        y ^= y >> 18;
        return y;
    }

private:
    static constexpr int kShift = 397;
    static constexpr int kBlock = 48; // words twisted at a time; 624 is 13 blocks

    // Word i of the next generation from words i, i + 1 and i + 397 (indices mod 624). Words
    // are replaced in increasing order, so i + 1 and i + 397 are still of the old generation
    // when i < 227 and i + 397 - 624 is already of the new one otherwise, exactly as in the
    // whole-state twist.
    static std::uint32_t mix(std::uint32_t word, std::uint32_t nextWord, std::uint32_t far) {
        const std::uint32_t y = (word & 0x80000000u) | (nextWord & 0x7fffffffu);
        return far ^ (y >> 1) ^ ((0u - (y & 1u)) & 0x9908b0dfu);
    }

    void advance();

    std::uint32_t state[kWords];
    int next = 0;    // the word of the next output
    int twisted = 0; // words [0, twisted) are of the current generation
};

inline void Mt19937::advance() {
    if (twisted == kWords) {
        twisted = 0; // the whole state is consumed: start the next generation
        next = 0;
    }
    const int end = twisted + kBlock < kWords ? twisted + kBlock : kWords;
    int i = twisted;
    const int lowEnd = end < kWords - kShift ? end : kWords - kShift;
    for (; i < lowEnd; ++i) {
        state[i] = mix(state[i], state[i + 1], state[i + kShift]);
    }
    const int highEnd = end < kWords - 1 ? end : kWords - 1;
    for (; i < highEnd; ++i) {
        state[i] = mix(state[i], state[i + 1], state[i + kShift - kWords]);
    }
    if (i == kWords - 1 && end == kWords) {
        state[i] = mix(state[i], state[0], state[kShift - 1]);
        ++i;
    }
    twisted = i;
}

} // namespace tavoq
