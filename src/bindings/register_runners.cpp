#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <type_traits>

#include "bindings/checked.hpp"
#include "bindings/register.hpp"
#include "cutset/cutset_tree.hpp"
#include "interactions/interactions.hpp"
#include "logic/fault_tree.hpp"
#include "runners/runners.hpp"
#include "simulation/run_statistics.hpp"

namespace py = pybind11;

using tavoq::CutsetTree;
using tavoq::Distribution;
using tavoq::RunStatistics;
using tavoq::TransitionMatrix;

namespace {

// The matrix as Python hands it over. Each cell keeps its Python object alive for the whole
// call; a None cell becomes a null reference, which the runner refuses before any run.
using PyMatrix = std::vector<std::vector<std::vector<Checked<const Distribution>>>>;
using PyTree = Checked<const CutsetTree>;
using PyFaultTree = Checked<const tavoq::FaultTree>;
using PyInteractions = Checked<const tavoq::Interactions>;

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

// The result as its getters receive it: a RunStatistics.__new__ instance has no C++ object,
// and a getter taken off the class may be handed None.
using PyStatistics = Checked<const RunStatistics>;

const RunStatistics &statistics(const PyStatistics &self) {
    if (self.ptr == nullptr) {
        throw py::type_error("expected a RunStatistics, got None");
    }
    return *self.ptr;
}

// A read-only numpy view of one of the result's arrays; the view keeps the result alive.
template <auto member> auto view(const PyStatistics &self) {
    const auto &values = statistics(self).*member;
    using Value = typename std::remove_cvref_t<decltype(values)>::value_type;
    py::array_t<Value> array(static_cast<py::ssize_t>(values.size()), values.data(), self.owner);
    array.attr("setflags")(py::arg("write") = false);
    return array;
}

template <int RunStatistics::*member> int echo(const PyStatistics &self) {
    return statistics(self).*member;
}

} // namespace

// The runners keep the interpreter lock for their whole call, and their worker threads never
// call into Python. Python code can still run on the calling thread between runs (a signal
// handler): the cells above keep the distributions alive, and the runner pins the tree.
void register_runners(py::module_ &m) {
    m.def(
        "runnerSingleSim",
        [](int simTime, const PyMatrix &transitionsMatrix, const PyTree &cutSetTree, int seed) {
            return tavoq::runnerSingleSim(simTime, references(transitionsMatrix), cutSetTree.ptr,
                                          seed, checkSignals);
        },
        py::arg("simTime"), py::arg("transitionsMatrix"), py::arg("cutSetTree"), py::arg("seed"),
        "Run a single simulation");
    m.def(
        "runnerMultipleSim",
        [](int nSimulations, int simTime, const PyMatrix &transitionsMatrix,
           const PyTree &cutSetTree, int seed) {
            return tavoq::runnerMultipleSim(nSimulations, simTime, references(transitionsMatrix),
                                            cutSetTree.ptr, seed, checkSignals);
        },
        py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("cutSetTree"), py::arg("seed"), "Run multiple simulations on a single thread");
    m.def(
        "runnerParallelSim",
        [](int nSimulations, int simTime, const PyMatrix &transitionsMatrix,
           const PyTree &cutSetTree, int seed) {
            return tavoq::runnerParallelSim(nSimulations, simTime, references(transitionsMatrix),
                                            cutSetTree.ptr, seed, checkSignals);
        },
        py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("cutSetTree"), py::arg("seed"), "Run multiple simulations in parallel");
}

void register_thread_control(py::module_ &m) {
    m.def(
        "limitOMPThreads", [](int maxThreads) { tavoq::limitOMPThreads(maxThreads); },
        py::arg("maxThreads"), "Limit the number of OMP threads");
}

void register_statistics(py::module_ &m) {
    // pybind11 sets up its numpy access once, on first use, under a lock it cannot take
    // twice: a signal handler reading a result array while the main code's first read was
    // setting it up would wait on itself. Set it up now, at import.
    (void)py::array_t<std::int64_t>(0);
    py::class_<RunStatistics>(m, "RunStatistics",
                              "What runnerStatistics counted over a batch. Arrays are read-only "
                              "numpy views, int64 but for the float64 sums of squares.")
        .def_property_readonly("nSimulations", echo<&RunStatistics::nSimulations>)
        .def_property_readonly("simTime", echo<&RunStatistics::simTime>)
        .def_property_readonly("seed", echo<&RunStatistics::seed>)
        .def_property_readonly("binWidth", echo<&RunStatistics::binWidth>,
                               "Time units per bin of failedRuns and firstFailures (the last bin "
                               "may be shorter)")
        .def_property_readonly("failedRuns", view<&RunStatistics::failedRuns>,
                               "Per bin: the sum over its time units of the runs whose system is "
                               "failed then (with binWidth 1, the failed runs per time unit)")
        .def_property_readonly("firstFailures", view<&RunStatistics::firstFailures>,
                               "Per bin: runs whose system is failed for the first time at one of "
                               "its time units")
        .def_property_readonly("systemFailures", view<&RunStatistics::systemFailures>,
                               "Per run: time units at which the system fails (failed there, "
                               "and at 0 or working the unit before)")
        .def_property_readonly("downtime", view<&RunStatistics::downtime>,
                               "Per run: time units at which the system is failed")
        .def_property_readonly("firstFailureTimes", view<&RunStatistics::firstFailureTimes>,
                               "Per run: the first time unit at which the system is failed, "
                               "simTime when it never is (exact whatever binWidth)")
        .def_property_readonly("componentDowntime", view<&RunStatistics::componentDowntime>,
                               "Per component: time units at which it is failed, over all runs")
        .def_property_readonly("componentFailures", view<&RunStatistics::componentFailures>,
                               "Per component: transitions from state 0 to a failed state")
        .def_property_readonly("triggeredFailures", view<&RunStatistics::triggeredFailures>,
                               "Per component: system failures that its transition caused")
        .def_property_readonly("cutsetFailures", view<&RunStatistics::cutsetFailures>,
                               "Per stored cut set (getCutsets order): system failures at which "
                               "the causing transition completed it; empty for a FaultTree")
        .def_property_readonly("componentDowntimeSquares",
                               view<&RunStatistics::componentDowntimeSquares>,
                               "Per component: the sum over runs of the square of its failed time "
                               "units in the run (float64, from an exact integer sum)")
        .def_property_readonly("gateDowntime", view<&RunStatistics::gateDowntime>,
                               "Per gate of a FaultTree (empty for a CutsetTree): time units at "
                               "which its output is failed, over all runs")
        .def_property_readonly("gateFailures", view<&RunStatistics::gateFailures>,
                               "Per gate of a FaultTree: crossings of its output from working to "
                               "failed, over all runs")
        .def_property_readonly("gateTriggered", view<&RunStatistics::gateTriggered>,
                               "Per gate of a FaultTree: system failures at which the causing "
                               "transition turned it from working to failed")
        .def_property_readonly("gateDowntimeSquares", view<&RunStatistics::gateDowntimeSquares>,
                               "Per gate of a FaultTree: the sum over runs of the square of its "
                               "failed time units in the run (float64, from an exact integer "
                               "sum)")
        .def_property_readonly("gateUnitFailures", view<&RunStatistics::gateUnitFailures>,
                               "Per gate of a FaultTree: time units at which its output is failed "
                               "and was working at the unit before (or t = 0), over all runs: its "
                               "failures counted as systemFailures counts the system's")
        .def_property_readonly("gateUnitFailuresSquares",
                               view<&RunStatistics::gateUnitFailuresSquares>,
                               "Per gate of a FaultTree: the sum over runs of the square of its "
                               "gateUnitFailures in the run")
        .def_property_readonly("gateTriggeredSquares", view<&RunStatistics::gateTriggeredSquares>,
                               "Per gate of a FaultTree: the sum over runs of the square of its "
                               "gateTriggered in the run")
        .def_property_readonly("gateTriggeredTimesSystemFailures",
                               view<&RunStatistics::gateTriggeredTimesSystemFailures>,
                               "Per gate of a FaultTree: the sum over runs of its gateTriggered "
                               "in the run times the run's systemFailures")
        .def_property_readonly("componentFailuresSquares",
                               view<&RunStatistics::componentFailuresSquares>,
                               "Per component: the sum over runs of the square of its failures "
                               "in the run")
        .def_property_readonly("triggeredFailuresSquares",
                               view<&RunStatistics::triggeredFailuresSquares>,
                               "Per component: the sum over runs of the square of the system "
                               "failures its transition caused in the run")
        .def_property_readonly("triggeredTimesSystemFailures",
                               view<&RunStatistics::triggeredTimesSystemFailures>,
                               "Per component: the sum over runs of the system failures its "
                               "transition caused in the run times the run's systemFailures")
        .def_property_readonly("cutsetFailuresSquares",
                               view<&RunStatistics::cutsetFailuresSquares>,
                               "Per stored cut set: the sum over runs of the square of its "
                               "cutsetFailures in the run; empty for a FaultTree")
        .def_property_readonly("cutsetTimesSystemFailures",
                               view<&RunStatistics::cutsetTimesSystemFailures>,
                               "Per stored cut set: the sum over runs of its cutsetFailures in "
                               "the run times the run's systemFailures; empty for a FaultTree")
        .def_property_readonly("negativeDelays", view<&RunStatistics::negativeDelays>,
                               "Per component: draws of a run's first pass (one per to-state) "
                               "below 0, read as no transition; the other runners print a "
                               "warning line for each")
        .def_property_readonly("delaysPastLimit", view<&RunStatistics::delaysPastLimit>,
                               "Per component: draws of a run's first pass past the largest "
                               "delay, 2147483647, read as no transition")
        .def_property_readonly("plannedRuns", view<&RunStatistics::plannedRuns>,
                               "Per bin, with interactions that have a planned state (else "
                               "empty): the sum over its time units of the runs down for planned "
                               "reasons only (failedRuns includes them)")
        .def_property_readonly("plannedDowntime", view<&RunStatistics::plannedDowntime>,
                               "Per run, as plannedRuns: time units down for planned reasons only "
                               "(downtime includes them)")
        .def_property_readonly("crewBusy", view<&RunStatistics::crewBusy>,
                               "Per crew pool: crew-units busy, summed over runs")
        .def_property_readonly("crewBusySquares", view<&RunStatistics::crewBusySquares>,
                               "Per crew pool: the sum over runs of the square of a run's busy "
                               "crew-units")
        .def_property_readonly("crewWait", view<&RunStatistics::crewWait>,
                               "Per crew pool: units spent waiting for a crew, summed over the "
                               "waiting components and runs")
        .def_property_readonly("crewWaitSquares", view<&RunStatistics::crewWaitSquares>,
                               "Per crew pool: the sum over runs of the square of a run's waiting "
                               "units")
        .def_property_readonly("crewRequests", view<&RunStatistics::crewRequests>,
                               "Per crew pool: requests for a crew, summed over runs")
        .def_property_readonly("crewRequestsSquares", view<&RunStatistics::crewRequestsSquares>,
                               "Per crew pool: the sum over runs of the square of a run's "
                               "requests")
        .def_property_readonly("crewWaitTimesRequests",
                               view<&RunStatistics::crewWaitTimesRequests>,
                               "Per crew pool: the sum over runs of a run's waiting units times "
                               "its requests")
        .def_property_readonly("crewLongestQueue", view<&RunStatistics::crewLongestQueue>,
                               "Per crew pool: the sum over runs of a run's longest queue")
        .def_property_readonly("crewLongestQueueSquares",
                               view<&RunStatistics::crewLongestQueueSquares>,
                               "Per crew pool: the sum over runs of the square of a run's longest "
                               "queue");
    m.def(
        "runnerStatistics",
        [](int nSimulations, int simTime, const PyMatrix &transitionsMatrix,
           const PyTree &cutSetTree, int seed, int binWidth, const PyInteractions &interactions) {
            if (interactions.ptr != nullptr) {
                throw py::type_error("runnerStatistics: interactions need the logic as a "
                                     "FaultTree, not a CutsetTree.");
            }
            return tavoq::runnerStatistics(nSimulations, simTime, references(transitionsMatrix),
                                           cutSetTree.ptr, seed, binWidth, checkSignals);
        },
        py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("cutSetTree"), py::arg("seed"), py::arg("binWidth") = 1,
        py::arg("interactions") = py::none(),
        "Run the batch of runnerParallelSim (same runs, seeds and threads) and count, beside "
        "the failed runs, first failures, failures and downtime per run, per component and "
        "cut set what caused each system failure, and per component the first draws out of "
        "bounds. Writes nothing on the console. The matrix may be ragged: each component has "
        "as many states as its rows, and a row draws one number per state of its own "
        "component (the same draws as the other runners when all have as many). The curves "
        "(failedRuns, firstFailures) are "
        "kept per bin of binWidth time units (at least 1; the last bin may be shorter); "
        "every other figure is exact whatever the bins. Memory: 16 bytes a bin per thread "
        "and 32 more, plus 24 bytes a run.");
    // The same with a FaultTree, evaluated as a graph of gates; registered after the cut-set
    // form, so that None still reaches that one and its message.
    m.def(
        "runnerStatistics",
        [](int nSimulations, int simTime, const PyMatrix &transitionsMatrix,
           const PyFaultTree &cutSetTree, int seed, int binWidth,
           const PyInteractions &interactions) {
            return runnerStatistics(nSimulations, simTime, references(transitionsMatrix),
                                    cutSetTree.ptr, seed, binWidth, checkSignals,
                                    interactions.ptr);
        },
        py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("cutSetTree"), py::arg("seed"), py::arg("binWidth") = 1,
        py::arg("interactions") = py::none(),
        "The same batch with the logic as a FaultTree, whose gates the engine evaluates as "
        "they are: a transition costs the gates whose output changes, not the cut sets. The "
        "tree needs the matrix's number of components and a top. Fills the per-gate arrays "
        "(gateDowntime, gateFailures, gateTriggered, gateDowntimeSquares); cutsetFailures is "
        "empty. The same logic as cut sets gives the same numbers in every other array. "
        "interactions (tavoq.Interactions or None): components acting on each other; the "
        "tree then has the matrix's components plus one leaf per standby group.");
}
