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

/// A validated, flat, read-only view of a transition matrix: the cells the engine consults.
/// Built once per runner call and shared by every run and thread, instead of each run copying
/// the three-level matrix.
///
/// Two shapes. Square (the classic runners): every component has nStates states, the
/// number of rows of component 0; rows and cells past it are never consulted. Ragged
/// (runnerStatistics): every component keeps its own number of states, its number of rows,
/// and a row draws one number per state of its own component; the cells are stored one
/// component after the other, found through offsets, so one large component beside many
/// small ones costs its own cells only. A matrix whose components all have the same number
/// of states gives the same cells, and so the same draws, in both shapes.
class TransitionModel {
public:
    enum class Shape : std::uint8_t { Square, Ragged };

    /// Checks, in this order: the tree is not null ("Cutset matrix must not be null."), the
    /// matrix and its component 0 are not empty ("Transitions matrix must not be empty."),
    /// every component has its states' rows of at least as many cells (Square: nStates of
    /// component 0; Ragged: its own number of rows, at least 1) and no cell is None.
    /// @throws std::invalid_argument on the first failed check.
    TransitionModel(const TransitionMatrix &matrix, const CutsetTree *tree,
                    Shape shape = Shape::Square);
    /// The matrix checks alone, for logic given otherwise than as a cut-set tree.
    explicit TransitionModel(const TransitionMatrix &matrix, Shape shape = Shape::Square);

    int nComponents() const { return components; }
    /// The number of states of component c (Square: the same for all).
    int nStates(int c) const {
        return uniformStates > 0 ? uniformStates : stateCounts[static_cast<std::size_t>(c)];
    }
    /// One consulted cell. The kinds the engine can sample without a virtual call are
    /// told apart once here: a plain Distribution (never fires; only its draw is made) and
    /// an Exponential (computed inline, the very same formula).
    struct Cell {
        enum class Kind : std::uint8_t { Never, Exponential, Other };
        const Distribution *distribution;
        Kind kind;
        double rate; // the Exponential's
    };

    /// The cell of distribution d.
    static Cell cellOf(const Distribution *d);

    /// The cells of one row and their number, nStates(c).
    struct Row {
        const Cell *cells;
        int size;
        const Cell &operator[](int j) const { return cells[j]; }
    };

    /// The row of component c in state `from`: nStates(c) cells, never null.
    Row row(int c, int from) const {
        if (uniformStates > 0) {
            // Every component alike (always, for a square matrix): the row and its size
            // follow from the index, without the two tables' loads on the engine's hottest
            // path.
            const auto n = static_cast<std::size_t>(uniformStates);
            return {cells.data() +
                        (static_cast<std::size_t>(c) * n + static_cast<std::size_t>(from)) * n,
                    uniformStates};
        }
        const int n = stateCounts[static_cast<std::size_t>(c)];
        return {cells.data() + offsets[static_cast<std::size_t>(c)] +
                    static_cast<std::size_t>(from) * static_cast<std::size_t>(n),
                n};
    }

private:
    static const TransitionMatrix &requireTree(const TransitionMatrix &matrix,
                                               const CutsetTree *tree);

    int components = 0;
    int uniformStates = 0;            // the states of every component when all have as many
    std::vector<int> stateCounts;     // per component
    std::vector<std::size_t> offsets; // per component: its first cell
    std::vector<Cell> cells;
};

} // namespace tavoq
