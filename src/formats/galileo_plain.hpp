#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tavoq {

/// A Galileo fault tree (.dft) read in one pass over its tokens (GalileoTokens), for the
/// Python reader (tavoq_tools.formats.galileo) to skip its own reading. That reader reads and
/// checks every file; this reading gives what it would give for the files it accepts and
/// declines (nullopt) at the first thing it does not read, so that the full reader reads the
/// file and says what is wrong with it, if anything.
///
/// Accepted: one toplevel; gates `and`, `or`, `KofN`, `votK` and the priority gates (`pand`,
/// `por` in each spelling) over names; the spare gates, `fdep`, `pdep=p`, `seq` and `mutex`;
/// basic events of `lambda`, `prob`, `repair`, `dorm` and `phases`, each a number within its
/// range. Every name defined once, every input defined and none an element without an output
/// (fdep, pdep, seq, mutex), the top defined and no such element, the gates forming no cycle.
struct GalileoPlain {
    /// What a statement defines besides a basic event: a gate of the gate graph (the first
    /// seven), a spare gate, a dependency or a restriction.
    enum class Kind : std::uint8_t {
        Or,
        And,
        Atleast,
        Pand,
        PandExclusive,
        Por,
        PorExclusive,
        Csp,
        Wsp,
        Hsp,
        Spare,
        Fdep,
        Pdep,
        Seq,
        Mutex,
    };
    struct Event {
        std::uint32_t name;
        long line;
        /// Each of lambda, prob, repair and dorm, in that order, when given (bit i of `given`).
        double values[4];
        std::uint8_t given;
        int phases;
    };
    struct Element {
        std::uint32_t name;
        long line;
        Kind kind;
        std::uint32_t k;     ///< atleast's
        double probability;  ///< pdep's
        std::uint32_t first; ///< its inputs: the names of inputs[first] to inputs[first + count]
        std::uint32_t count;
    };

    static bool isGate(Kind kind) { return kind <= Kind::PorExclusive; }

    std::vector<std::string_view> names; ///< of the events, elements and inputs, by number
    std::vector<Event> events;           ///< in file order
    std::vector<Element> elements;       ///< in file order
    std::vector<std::uint32_t> inputs;
    std::uint32_t top = 0; ///< a name
    long topLine = 0;
    /// Every gate (its position among the elements) after the gates it names: depth first from
    /// each gate in file order, through its inputs left to right, as the reader's check of
    /// cycles orders them.
    std::vector<std::uint32_t> order;
};

/// The tree of the ASCII text `text`, or nullopt when it is not of the shapes read (or is not
/// valid). The names point into `text`.
std::optional<GalileoPlain> readPlainGalileo(std::string_view text);

} // namespace tavoq
