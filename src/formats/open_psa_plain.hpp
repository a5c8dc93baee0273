#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavoq {

/// An Open-PSA fault tree (.xml) of the plain shapes that large files are made of, read in one
/// pass. The Python reader (tavoq_tools.formats.open_psa) reads and checks every file; this
/// reading gives what it would give for the files it accepts, in a fraction of the time, and
/// declines (nullopt) at the first thing it does not read, so that the full reader reads the
/// file and says what is wrong with it, if anything.
///
/// Accepted: an ASCII text with an optional XML declaration, comments and whitespace between
/// elements; <opsa-mef> holding <define-fault-tree name> and <model-data>, which hold
/// <define-gate name>, <define-basic-event name>, <define-house-event name> and
/// <define-parameter name [unit]>:
/// - a gate of one <or>, <and>, <atleast min>, <not>, <xor>, <nand>, <nor>, <iff> or <imply>
///   over <gate>, <basic-event>, <house-event> and <event> references and such formulas
///   nested;
/// - an event of <float value> (a probability) or of <exponential> whose rate is a <float> or
///   a <parameter> and whose time is a <float> or <system-mission-time/>;
/// - a house event of a <constant value="true|false"/> or of nothing (false);
/// - a parameter of a <float>;
/// - <label> of plain text and <attributes> where the reader ignores them.
/// Every name is public and defined once; a reference gives a name, or Tree.Name for a name
/// defined in the fault tree Tree, and names what its tag says; no formula lists a name twice,
/// and the gates form no cycle.
struct OpenPsaPlain {
    /// The formulas, then a name. The non-coherent ones are nested in the reader's terms.
    enum class Op : std::uint8_t { Or, And, Atleast, Not, Xor, Nand, Nor, Iff, Imply, Name };
    /// A node of a gate's formula, in prefix order: an operator and how many operands follow
    /// it (each a node and its own operands), or a name.
    struct Node {
        Op op;
        std::uint32_t value; ///< the operator's count of operands, or the name's number
        std::uint32_t k;     ///< atleast's min
    };
    struct Event {
        std::uint32_t name;
        std::uint32_t container;
        bool rate;    ///< a failure rate (exponential), else a probability of failing at 0
        double value; ///< per the file's time unit
    };
    /// A house event: failed from the start (true) or never.
    struct House {
        std::uint32_t name;
        std::uint32_t container;
        bool value;
    };
    struct Gate {
        std::uint32_t name;
        std::uint32_t container;
        std::uint32_t formula; ///< its root in nodes
        /// Its one element a formula of references alone: the reader's compact form.
        bool compact;
    };

    std::vector<std::string_view> names; ///< of the events and gates, by number, into the text
    std::vector<std::string> containers; ///< the XML paths of the fault trees and model-data
    std::vector<Event> events;           ///< in file order
    std::vector<House> houses;           ///< in file order
    std::vector<Gate> gates;             ///< in file order
    std::vector<Node> nodes;
    std::vector<std::uint32_t> unused; ///< the gates no gate names (positions), in file order
    /// Every gate after the gates it names: depth first from each gate in file order, through
    /// its names left to right, as the reader's check of cycles orders them.
    std::vector<std::uint32_t> order;
    std::vector<double> missionTimes; ///< the distinct mission times of its exponentials
};

/// The tree of `text`, or nullopt when it is not of the plain shapes (or is not valid).
std::optional<OpenPsaPlain> readPlainOpenPsa(std::string_view text);

} // namespace tavoq
