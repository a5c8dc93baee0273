#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/checked.hpp"
#include "bindings/register.hpp"
#include "cutset/cutset_tree.hpp"
#include "simulation/runners.hpp"

namespace py = pybind11;

namespace {

// The matrix as Python hands it over. Each cell keeps its Python object alive for the whole
// call; a None cell becomes a null reference, which the runner refuses before any run.
using PyMatrix = std::vector<std::vector<std::vector<Checked<const Distribution>>>>;
using PyTree = Checked<const CutsetTree>;

TransitionMatrix references(const PyMatrix &matrix) {
    TransitionMatrix out(matrix.size());
    for (std::size_t c = 0; c < matrix.size(); ++c) {
        out[c].resize(matrix[c].size());
        for (std::size_t i = 0; i < matrix[c].size(); ++i) {
            for (const auto &cell : matrix[c][i]) {
                out[c][i].push_back(cell.ptr);
            }
        }
    }
    return out;
}

// Ctrl-C between runs and within long ones: the check runs on the thread that holds the
// interpreter lock.
void checkSignals() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

} // namespace

// The runners keep the interpreter lock for their whole call, and their worker threads never
// call into Python. Python code can still run on the calling thread between runs (a signal
// handler): the cells above keep the distributions alive, and the runner pins the tree.
void register_runners(py::module_ &m) {
    m.def(
        "runnerSingleSim",
        [](int simTime, const PyMatrix &transitionsMatrix, const PyTree &cutSetTree, int seed) {
            return runnerSingleSim(simTime, references(transitionsMatrix), cutSetTree.ptr, seed,
                                   checkSignals);
        },
        py::arg("simTime"), py::arg("transitionsMatrix"), py::arg("cutSetTree"),
        py::arg("seed"), "Run a single simulation");
    m.def(
        "runnerMultipleSim",
        [](int nSimulations, int simTime, const PyMatrix &transitionsMatrix,
           const PyTree &cutSetTree, int seed) {
            return runnerMultipleSim(nSimulations, simTime, references(transitionsMatrix),
                                     cutSetTree.ptr, seed, checkSignals);
        },
        py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("cutSetTree"), py::arg("seed"), "Run multiple simulations on a single thread");
    m.def(
        "runnerParallelSim",
        [](int nSimulations, int simTime, const PyMatrix &transitionsMatrix,
           const PyTree &cutSetTree, int seed) {
            return runnerParallelSim(nSimulations, simTime, references(transitionsMatrix),
                                     cutSetTree.ptr, seed, checkSignals);
        },
        py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("cutSetTree"), py::arg("seed"), "Run multiple simulations in parallel");
}

void register_thread_control(py::module_ &m) {
    m.def(
        "limitOMPThreads", [](int maxThreads) { limitOMPThreads(maxThreads); },
        py::arg("maxThreads"), "Limit the number of OMP threads");
}
