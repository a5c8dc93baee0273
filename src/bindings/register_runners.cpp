#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/register.hpp"
#include "cutset/cutset_tree.hpp"
#include "simulation/runners.hpp"

namespace py = pybind11;

namespace {

// Ctrl-C between runs: the check runs on the thread that holds the interpreter lock.
void checkSignals() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

} // namespace

// A None cell converts to a null reference; the runner refuses it before any run starts.
// The runners keep the interpreter lock for their whole call: the distributions and the tree
// they read cannot change meanwhile, and their worker threads never call into Python.
void register_runners(py::module_ &m) {
    m.def(
        "runnerSingleSim",
        [](int simTime, const TransitionMatrix &transitionsMatrix, const CutsetTree *cutSetTree,
           int seed) {
            return runnerSingleSim(simTime, transitionsMatrix, cutSetTree, seed);
        },
        py::arg("simTime"), py::arg("transitionsMatrix"), py::arg("cutSetTree"),
        py::arg("seed"), "Run a single simulation");
    m.def(
        "runnerMultipleSim",
        [](int nSimulations, int simTime, const TransitionMatrix &transitionsMatrix,
           const CutsetTree *cutSetTree, int seed) {
            return runnerMultipleSim(nSimulations, simTime, transitionsMatrix,
                                     cutSetTree, seed, checkSignals);
        },
        py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("cutSetTree"), py::arg("seed"), "Run multiple simulations on a single thread");
    m.def(
        "runnerParallelSim",
        [](int nSimulations, int simTime, const TransitionMatrix &transitionsMatrix,
           const CutsetTree *cutSetTree, int seed) {
            return runnerParallelSim(nSimulations, simTime, transitionsMatrix,
                                     cutSetTree, seed, checkSignals);
        },
        py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("cutSetTree"), py::arg("seed"), "Run multiple simulations in parallel");
}

void register_thread_control(py::module_ &m) {
    m.def(
        "limitOMPThreads", [](int maxThreads) { limitOMPThreads(maxThreads); },
        py::arg("maxThreads"), "Limit the number of OMP threads");
}
