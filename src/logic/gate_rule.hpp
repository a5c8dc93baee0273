#pragma once

#include <cstdint>

namespace tavoq {

/// The kinds of gate, in three families:
/// - thresholds (or, and, atleast): failed once enough inputs are; monotone, so a crossing
///   moves every count one way and the gate graph walks only the gates that change;
/// - the other functions of the failed-input count (not, nand, nor, xor, iff): failing an
///   input may restore them, so a model that has one has no minimal cut sets;
/// - the order gates (pand, por and their exclusive forms): their state depends on the
///   units at which their inputs' current failures began, not only on which are failed;
///   pand_memory and por_memory read instead the units at which each input first failed
///   since the gate's inputs were last all working (GateState keeps them).
enum class GateKind : std::uint8_t {
    Or,
    And,
    AtLeast,
    Not,
    Nand,
    Nor,
    Xor,
    Iff,
    Pand,
    PandExclusive,
    Por,
    PorExclusive,
    PandMemory,
    PorMemory,
};

constexpr bool isThreshold(GateKind kind) { return kind <= GateKind::AtLeast; }
constexpr bool isOrdered(GateKind kind) { return kind >= GateKind::Pand; }
/// Whether the gate remembers its inputs' first failures through their repairs.
constexpr bool remembers(GateKind kind) { return kind >= GateKind::PandMemory; }

/// Whether a gate of an orderless kind is failed with `count` of its `n` inputs failed;
/// `threshold` is the count that fails a threshold gate. An input listed twice counts twice.
constexpr bool countHolds(GateKind kind, int count, int n, int threshold) {
    switch (kind) {
    case GateKind::Or:
    case GateKind::And:
    case GateKind::AtLeast:
        return count >= threshold;
    case GateKind::Not:
    case GateKind::Nor:
        return count == 0;
    case GateKind::Nand:
        return count < n;
    case GateKind::Xor: // an odd number failed: the associative form of "one or the other"
        return count % 2 == 1;
    case GateKind::Iff: // the associative form of "both or neither"
        return count % 2 == n % 2;
    default:
        return false;
    }
}

/// Whether an order gate is failed. Its inputs, in the order listed, are j = 0 .. n - 1;
/// failed(j) tells whether input j is failed and since(j) the unit at which its current
/// failure began. Two failures that began in the same unit are simultaneous.
/// - pand: every input failed, their failures begun in the listed order; simultaneous ones
///   count as in order (inclusive), or as out of order for the exclusive form.
/// - por: the first input failed, and no other input's current failure began before it
///   (exclusive: nor in the same unit).
/// Only current failures count: a repaired input forgets when it failed, so a pand failed
/// out of order stays working (fail-safe) until the input out of order is repaired. The
/// memory forms (inclusive) take since(j) as the unit input j first failed since the
/// inputs were last all working: they stay fail-safe until every input is repaired.
template <typename Failed, typename Since>
bool orderHolds(GateKind kind, int n, Failed &&failed, Since &&since) {
    const bool exclusive = kind == GateKind::PandExclusive || kind == GateKind::PorExclusive;
    if (kind == GateKind::Pand || kind == GateKind::PandExclusive ||
        kind == GateKind::PandMemory) {
        for (int j = 0; j < n; ++j) {
            if (!failed(j)) {
                return false;
            }
            if (j > 0 && (exclusive ? since(j) <= since(j - 1) : since(j) < since(j - 1))) {
                return false;
            }
        }
        return true;
    }
    if (!failed(0)) {
        return false;
    }
    const auto first = since(0);
    for (int j = 1; j < n; ++j) {
        if (failed(j) && (exclusive ? since(j) <= first : since(j) < first)) {
            return false;
        }
    }
    return true;
}

/// Any gate's state: its failed-input count for the orderless kinds, or its inputs' states
/// and units for the order gates (see orderHolds).
template <typename Failed, typename Since>
bool gateHolds(GateKind kind, int n, int threshold, int count, Failed &&failed, Since &&since) {
    return isOrdered(kind) ? orderHolds(kind, n, failed, since)
                           : countHolds(kind, count, n, threshold);
}

} // namespace tavoq
