#include "simulation/transition_model.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "distributions/continuous.hpp"

namespace tavoq {

TransitionModel::Cell TransitionModel::cellOf(const Distribution *d) {
    using Kind = TransitionModel::Cell::Kind;
    // Exact types only: a subclass may answer differently.
    const std::type_info &type = typeid(*d);
    if (type == typeid(Distribution)) {
        return {d, Kind::Never, 0.0};
    }
    if (type == typeid(Exponential)) {
        return {d, Kind::Exponential, static_cast<const Exponential *>(d)->rate()};
    }
    return {d, Kind::Other, 0.0};
}

const TransitionMatrix &TransitionModel::requireTree(const TransitionMatrix &matrix,
                                                     const CutsetTree *tree) {
    if (tree == nullptr) {
        throw std::invalid_argument("Cutset matrix must not be null.");
    }
    return matrix;
}

TransitionModel::TransitionModel(const TransitionMatrix &matrix, const CutsetTree *tree,
                                 Shape shape)
    : TransitionModel(requireTree(matrix, tree), shape) {}

TransitionModel::TransitionModel(const TransitionMatrix &matrix, Shape shape) {
    if (matrix.empty() || matrix[0].empty()) {
        throw std::invalid_argument("Transitions matrix must not be empty.");
    }
    constexpr auto kIntMax = static_cast<std::size_t>(std::numeric_limits<int>::max());
    if (matrix.size() > kIntMax || matrix[0].size() > kIntMax) {
        throw std::invalid_argument("Transitions matrix is too large.");
    }
    components = static_cast<int>(matrix.size());
    stateCounts.reserve(matrix.size());
    offsets.reserve(matrix.size());

    // Shape first, then None anywhere (consulted or not): a None cell is a mistake in the
    // model even where this engine would not read it. Cells are collected only as they pass,
    // so a malformed matrix never asks for more memory than it holds.
    for (std::size_t c = 0; c < matrix.size(); ++c) {
        const auto &rows = matrix[c];
        const std::size_t n = shape == Shape::Square ? matrix[0].size() : rows.size();
        const std::string expected =
            shape == Shape::Square
                ? " (every component needs " + std::to_string(n) +
                      " states, the number of rows of component 0)"
                : " (a component has as many states as rows: " + std::to_string(n) + ")";
        if (shape == Shape::Ragged && (rows.empty() || n > kIntMax)) {
            throw std::invalid_argument("Transitions matrix: component " + std::to_string(c) +
                                        " has " + std::to_string(rows.size()) +
                                        " rows; it needs at least 1 (its working state).");
        }
        if (rows.size() < n) {
            throw std::invalid_argument("Transitions matrix: component " + std::to_string(c) +
                                        " has " + std::to_string(rows.size()) + " rows" +
                                        expected + ".");
        }
        stateCounts.push_back(static_cast<int>(n));
        offsets.push_back(cells.size());
        for (std::size_t from = 0; from < rows.size(); ++from) {
            const auto &row = rows[from];
            if (from < n && row.size() < n) {
                throw std::invalid_argument("Transitions matrix: component " + std::to_string(c) +
                                            ", from-state " + std::to_string(from) + " has " +
                                            std::to_string(row.size()) + " entries" + expected +
                                            ".");
            }
            for (std::size_t to = 0; to < row.size(); ++to) {
                if (row[to] == nullptr) {
                    throw std::invalid_argument(
                        "Transitions matrix: component " + std::to_string(c) +
                        ", transition from state " + std::to_string(from) + " to state " +
                        std::to_string(to) +
                        " is None; use Distribution() for a transition that never happens.");
                }
                if (from < n && to < n) {
                    cells.push_back(cellOf(row[to]));
                }
            }
        }
    }
    const bool uniform = std::all_of(stateCounts.begin(), stateCounts.end(),
                                     [&](int n) { return n == stateCounts[0]; });
    uniformStates = uniform ? stateCounts[0] : 0;
}

} // namespace tavoq
