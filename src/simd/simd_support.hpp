#pragma once

namespace tavoq {

/// AVX-512 Foundation present and its full register state enabled by the operating system
/// (XCR0 bits 1, 2, 5, 6 and 7). Asks the processor afresh on every call; thread-safe.
bool hasAVX512Support();

/// AVX2 and AVX present and the AVX register state enabled (XCR0 bits 1 and 2). XGETBV runs
/// only once OSXSAVE says it may. Thread-safe.
bool hasAVX2Support();

/// Writes one line to standard output naming the level the two tests find.
void reportSIMDSupport();

} // namespace tavoq
