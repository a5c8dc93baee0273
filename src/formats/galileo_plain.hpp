#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tavoq {

/// A Galileo fault tree (.dft) of the static shapes that large files are made of, read in one
/// pass over its tokens (GalileoTokens). The Python reader (tavoq_tools.formats.galileo) reads
/// and checks every file; this reading gives what it would give for the files it accepts and
/// declines (nullopt) at the first thing it does not read, so that the full reader reads the
/// file and says what is wrong with it, if anything.
///
/// Accepted: one toplevel; gates `and`, `or`, `KofN` and `votK` over names; basic events of
/// `lambda`, `prob`, `repair`, `dorm` and `phases`, each a number within its range; every name
/// defined once, every input defined, the top defined, and the gates forming no cycle.
struct GalileoPlain {
    enum class Op : std::uint8_t { Or, And, Atleast };
    struct Event {
        std::uint32_t name;
        long line;
        /// Each of lambda, prob, repair and dorm, in that order, when given (bit i of `given`).
        double values[4];
        std::uint8_t given;
        int phases;
    };
    struct Gate {
        std::uint32_t name;
        long line;
        Op op;
        std::uint32_t k;
        std::uint32_t first; ///< its inputs: names of inputs[first] to inputs[first + count]
        std::uint32_t count;
    };

    std::vector<std::string_view> names; ///< of the events, gates and inputs, by number, each once
    std::vector<Event> events;           ///< in file order
    std::vector<Gate> gates;             ///< in file order
    std::vector<std::uint32_t> inputs;
    std::uint32_t top = 0; ///< a name
    long topLine = 0;
    /// Every gate (position) after the gates it names: depth first from each gate in file
    /// order, through its inputs left to right, as the reader's check of cycles orders them.
    std::vector<std::uint32_t> order;
};

/// The tree of the ASCII text `text`, or nullopt when it is not of the plain shapes (or is not
/// valid). The names point into `text`.
std::optional<GalileoPlain> readPlainGalileo(std::string_view text);

} // namespace tavoq
