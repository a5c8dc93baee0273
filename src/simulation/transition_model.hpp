#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "distributions/distribution.hpp"

namespace tavoq {

class CutsetTree;

/// [component][from-state][to-state] -> non-owning reference to the transition's
/// distribution; null stands for a Python None.
using TransitionMatrix = std::vector<std::vector<std::vector<const Distribution *>>>;

/// A validated, flat, read-only view of a transition matrix: the cells the engine consults,
/// nComponents x nStates x nStates of them, with nStates taken from component 0. Built once
/// per runner call and shared by every run and thread, instead of each run copying the
/// three-level matrix.
class TransitionModel {
public:
    /// Checks, in this order: the tree is not null ("Cutset matrix must not be null."), the
    /// matrix and its component 0 are not empty ("Transitions matrix must not be empty."),
    /// every component has nStates rows of at least nStates cells and no consulted cell is
    /// None. @throws std::invalid_argument on the first failed check.
    TransitionModel(const TransitionMatrix &matrix, const CutsetTree *tree);
    /// The matrix checks alone, for logic given otherwise than as a cut-set tree.
    explicit TransitionModel(const TransitionMatrix &matrix);

    int nComponents() const { return components; }
    int nStates() const { return states; }
    /// One consulted cell. The kinds the engine can sample without a virtual call are
    /// told apart once here: a plain Distribution (never fires; only its draw is made) and
    /// an Exponential (computed inline, the very same formula).
    struct Cell {
        enum class Kind : std::uint8_t { Never, Exponential, Other };
        const Distribution *distribution;
        Kind kind;
        double rate; // the Exponential's
    };

    /// The row of component c in state `from`: nStates cells, never null.
    const Cell *row(int c, int from) const {
        return cells.data() + (static_cast<std::size_t>(c) * static_cast<std::size_t>(states) +
                               static_cast<std::size_t>(from)) *
                                  static_cast<std::size_t>(states);
    }

private:
    static const TransitionMatrix &requireTree(const TransitionMatrix &matrix,
                                               const CutsetTree *tree);

    int components = 0;
    int states = 0;
    std::vector<Cell> cells;
};

} // namespace tavoq
