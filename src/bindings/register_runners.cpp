#include <optional>
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

const char *axisName(tavoq::statistics::Axis axis) {
    using tavoq::statistics::Axis;
    switch (axis) {
    case Axis::Run:
        return "run";
    case Axis::Bin:
        return "bin";
    case Axis::Component:
        return "component";
    case Axis::Gate:
        return "gate";
    case Axis::Cutset:
        return "cutset";
    case Axis::Pool:
        return "pool";
    }
    return "";
}

// RunStatistics.statistics: the table of statistics_table.hpp as Python reads it.
py::tuple statisticsTable() {
    using namespace tavoq::statistics;
    py::list rows;
#define TAVOQ_ROW(name, axis, kind, combine, doc)                                                 \
    rows.append(py::make_tuple(#name, axisName(Axis::axis),                                       \
                               Kind::kind == Kind::Count ? "int64" : "float64",                   \
                               Combine::combine == Combine::Sum ? "sum" : "concatenate"));
    TAVOQ_RUN_STATISTICS(TAVOQ_ROW)
#undef TAVOQ_ROW
    return py::tuple(rows);
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
    py::class_<RunStatistics> statisticsType(
        m, "RunStatistics",
        "What runnerStatistics counted over a batch. Arrays are read-only numpy views, int64 but "
        "for the float64 sums of squares.");
    statisticsType.def_property_readonly("nSimulations", echo<&RunStatistics::nSimulations>)
        .def_property_readonly("simTime", echo<&RunStatistics::simTime>)
        .def_property_readonly("seed", echo<&RunStatistics::seed>)
        .def_property_readonly("binWidth", echo<&RunStatistics::binWidth>,
                               "Time units per bin of failedRuns and firstFailures (the last bin "
                               "may be shorter)");
#define TAVOQ_GETTER(name, axis, kind, combine, doc)                                              \
    statisticsType.def_property_readonly(#name, view<&RunStatistics::name>, doc);
    TAVOQ_RUN_STATISTICS(TAVOQ_GETTER)
#undef TAVOQ_GETTER
    statisticsType.def_property_readonly_static(
        "statistics", [](const py::object &) { return statisticsTable(); },
        "Every array attribute, as (name, axis, dtype, combine): axis 'run', 'bin', "
        "'component', 'gate', 'cutset' or 'pool'; dtype 'int64' or 'float64'; combine how two "
        "batches of consecutive runs make one, 'sum' element by element or 'concatenate' in "
        "run order");
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
    m.def(
        "runnerImportance",
        [](int nSimulations, int simTime, const PyMatrix &transitionsMatrix,
           const PyFaultTree &faultTree, int seed, const std::vector<int> &nodes, int firstRun) {
            tavoq::ImportanceRuns runs =
                tavoq::runnerImportance(nSimulations, simTime, references(transitionsMatrix),
                                        faultTree.ptr, seed, nodes, firstRun, checkSignals);
            const auto n = static_cast<py::ssize_t>(runs.downtime.size());
            const auto k = static_cast<py::ssize_t>(nodes.size());
            const auto table = [n, k](const std::vector<std::int32_t> &v) {
                return py::array_t<std::int32_t>({n, k}, v.data());
            };
            py::dict out;
            out["criticalWorking"] = table(runs.criticalWorking);
            out["criticalFailed"] = table(runs.criticalFailed);
            out["firstHeldFailed"] = table(runs.firstHeldFailed);
            out["firstHeldWorking"] = table(runs.firstHeldWorking);
            out["downtime"] = py::array_t<std::int32_t>(n, runs.downtime.data());
            out["firstFailure"] = py::array_t<std::int32_t>(n, runs.firstFailure.data());
            return out;
        },
        py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("faultTree"), py::arg("seed"), py::arg("nodes"), py::arg("firstRun") = 0,
        "Runs firstRun .. firstRun + nSimulations - 1 of the batch runnerStatistics makes with "
        "this seed (the same draws and verdicts), for a model without interactions whose "
        "logic is coherent, watching `nodes` (components, and gates as nComponents + g). "
        "Returns a dict of numpy arrays: criticalWorking and criticalFailed (runs x nodes: "
        "units at which turning the node over turns the system over, while it works and while "
        "it is failed), firstHeldFailed and firstHeldWorking (runs x nodes: the first failed "
        "unit of the run with the node held failed or held working throughout, simTime if "
        "none), downtime and firstFailure (per run, as runnerStatistics counts them). Holding "
        "a node changes no draw, so these are the held runs' own figures.");
    m.def(
        "runnerSamples",
        [](int runsPerSample, int simTime, const std::vector<PyMatrix> &matrices,
           const PyFaultTree &faultTree, int seed, int firstRun,
           const std::optional<std::vector<PyInteractions>> &interactions) {
            std::vector<TransitionMatrix> models;
            models.reserve(matrices.size());
            for (const PyMatrix &matrix : matrices) {
                models.push_back(references(matrix));
            }
            std::vector<const tavoq::Interactions *> layouts;
            for (const PyInteractions &layout :
                 interactions.value_or(std::vector<PyInteractions>{})) {
                layouts.push_back(layout.ptr);
            }
            tavoq::SampleRuns runs =
                tavoq::runnerSamples(runsPerSample, simTime, models, faultTree.ptr, seed, firstRun,
                                     layouts, checkSignals);
            const auto array = [](const std::vector<std::int64_t> &v) {
                return py::array_t<std::int64_t>(static_cast<py::ssize_t>(v.size()), v.data());
            };
            py::dict out;
            out["systemFailures"] = array(runs.systemFailures);
            out["downtime"] = array(runs.downtime);
            out["firstFailureTimes"] = array(runs.firstFailureTimes);
            return out;
        },
        py::arg("runsPerSample"), py::arg("simTime"), py::arg("matrices"), py::arg("faultTree"),
        py::arg("seed"), py::arg("firstRun") = 0, py::arg("interactions") = py::none(),
        "The runs of models that differ only in their laws' parameters (the samples of an "
        "uncertainty analysis): run k of the call is run firstRun + k of the batch seeded "
        "seed, made with matrices[k // runsPerSample] and, when given, the interactions of the "
        "same index (one per matrix). So sample j's runs are those of runnerStatistics with "
        "its matrix seeded seed + firstRun + j * runsPerSample. Returns a dict of int64 numpy "
        "arrays, one entry per run in call order: systemFailures, downtime and "
        "firstFailureTimes (simTime for a run that never failed), as runnerStatistics counts "
        "them.");
    m.def(
        "runnerRareSampling",
        [](int nSimulations, int simTime, const PyMatrix &transitionsMatrix,
           const PyFaultTree &faultTree, int seed, double biasWhileWorking,
           double biasWhileDegraded, int firstRun, bool withFailed, double demandChance,
           double lifeChance, bool toHorizon) {
            tavoq::RareRuns runs = tavoq::runnerRareSampling(
                nSimulations, simTime, references(transitionsMatrix), faultTree.ptr, seed,
                biasWhileWorking, biasWhileDegraded, firstRun, checkSignals, demandChance,
                lifeChance, toHorizon);
            py::array_t<std::int32_t> first(static_cast<py::ssize_t>(runs.firstFailure.size()),
                                            runs.firstFailure.data());
            py::array_t<double> weights(static_cast<py::ssize_t>(runs.logWeight.size()),
                                        runs.logWeight.data());
            py::array_t<std::int32_t> causes(static_cast<py::ssize_t>(runs.cause.size()),
                                             runs.cause.data());
            py::array_t<std::int32_t> counts(static_cast<py::ssize_t>(runs.failedCount.size()),
                                             runs.failedCount.data());
            py::array_t<std::int32_t> failed(static_cast<py::ssize_t>(runs.failed.size()),
                                             runs.failed.data());
            py::tuple out = withFailed
                                ? py::tuple(py::make_tuple(first, weights, causes, counts, failed))
                                : py::tuple(py::make_tuple(first, weights, causes));
            if (toHorizon) {
                py::array_t<std::int32_t> downtime(static_cast<py::ssize_t>(runs.downtime.size()),
                                                   runs.downtime.data());
                py::array_t<std::int32_t> failures(static_cast<py::ssize_t>(runs.failures.size()),
                                                   runs.failures.data());
                py::array_t<double> end(static_cast<py::ssize_t>(runs.endLogWeight.size()),
                                        runs.endLogWeight.data());
                out = py::tuple(out + py::tuple(py::make_tuple(downtime, failures, end)));
            }
            return out;
        },
        py::arg("nSimulations"), py::arg("simTime"), py::arg("transitionsMatrix"),
        py::arg("faultTree"), py::arg("seed"), py::arg("biasWhileWorking"),
        py::arg("biasWhileDegraded"), py::arg("firstRun") = 0, py::arg("withFailed") = false,
        py::arg("demandChance") = 0.0, py::arg("lifeChance") = 0.0, py::arg("toHorizon") = false,
        "Runs of a model without interactions under failure biasing, each to its first system "
        "failure (with toHorizon, on to simTime, biased alike): the exponential failure rates of "
        "components whose working state (0) has only "
        "exponential transitions are multiplied by biasWhileWorking while every component "
        "works, and by biasWhileDegraded while some component is failed; every draw has 53 "
        "bits. A run's first draw below 0 is no transition, as in the crude runners, so a "
        "Uniform(a, b) with a < 0 < b in a working row fails on demand at the start with "
        "chance p = b / (b - a); with p below demandChance (in [0, 1)), it is drawn with that "
        "chance and weighed back. A Weibull, lognormal or gamma life in a working row (or an "
        "exponential one in a row that is not all exponential), drawn at unit t, ends before "
        "simTime with chance p = F(simTime - t); with p below lifeChance (in [0, 1)), it ends "
        "there with that chance (drawn from its law given so) and is weighed back. "
        "Returns (firstFailure, "
        "logWeight, cause), numpy arrays of one entry per run: the "
        "first unit that ended with the system failed (simTime if none), the log of the run's "
        "likelihood ratio, and the component whose transition turned the system failed then "
        "(-1 if none: no failure, or logic failed with every component working). The mean over "
        "runs of exp(logWeight) times (firstFailure <= t) "
        "estimates P(system failed by t). With withFailed, two more arrays: per run the number "
        "of components failed at its first failure (0 for a run that did not fail), and those "
        "components, one run after another. With toHorizon, three more: per run the units that "
        "ended with the system failed, its failures (units that ended failed after one that did "
        "not, or first), and the log of the likelihood ratio of its whole path, whose "
        "exponential times the downtime or failures estimates their expectations; the first "
        "failure's figures are those of a run that stops there. Run i of the call is the "
        "batch's run firstRun + i, "
        "seeded from (seed, firstRun + i) alone: the same numbers on any number of threads and "
        "however a batch is split into calls.");
    m.def(
        "runnerRareSplitting",
        [](int nRoots, int simTime, const PyMatrix &transitionsMatrix,
           const PyFaultTree &faultTree, int seed, std::vector<int> splits,
           std::vector<int> levels, int firstRoot, const PyInteractions &interactions,
           std::optional<std::vector<double>> causeFactors, std::optional<double> startFactor) {
            tavoq::SplitRuns runs = tavoq::runnerRareSplitting(
                nRoots, simTime, references(transitionsMatrix), faultTree.ptr, seed,
                std::move(splits), std::move(levels), firstRoot, checkSignals, interactions.ptr,
                std::move(causeFactors), startFactor);
            const auto array = [](const auto &v) {
                using T = typename std::decay_t<decltype(v)>::value_type;
                return py::array_t<T>(static_cast<py::ssize_t>(v.size()), v.data());
            };
            py::dict out;
            out["levels"] = array(runs.levels);
            out["weight"] = runs.weight;
            out["causeFactors"] = runs.causeFactors;
            out["startFactor"] = runs.startFactor;
            out["hits"] = array(runs.hits);
            out["downtime"] = array(runs.downtime);
            out["failures"] = array(runs.failures);
            out["weightedDowntime"] = array(runs.weightedDowntime);
            out["weightedFailures"] = array(runs.weightedFailures);
            out["failureWeight"] = array(runs.failureWeight);
            out["trajectories"] = array(runs.trajectories);
            out["hitRoot"] = array(runs.hitRoot);
            out["failureUnit"] = array(runs.failureUnit);
            out["cause"] = array(runs.cause);
            out["failedCount"] = array(runs.failedCount);
            out["failed"] = array(runs.failed);
            out["crossings"] = array(runs.crossings);
            out["born"] = array(runs.born);
            out["through"] = array(runs.through);
            return out;
        },
        py::arg("nRoots"), py::arg("simTime"), py::arg("transitionsMatrix"), py::arg("faultTree"),
        py::arg("seed"), py::arg("splits") = std::vector<int>{},
        py::arg("levels") = std::vector<int>{}, py::arg("firstRoot") = 0,
        py::arg("interactions") = py::none(), py::arg("causeFactors") = py::none(),
        py::arg("startFactor") = py::none(),
        "Roots of RESTART splitting of a model whose logic has or, and, atleast and order gates "
        "(pand, por: counted as and, or in the importance; a copy inherits the order seen), "
        "with or without interactions (tavoq.Interactions, as runnerStatistics takes them). "
        "The importance of a state is how many component failures (a group's leaf counts as "
        "one, planned states as failed) nearer the top is than with every component working, "
        "read after every move between working and down (with interactions: after every "
        "event, whole); levels are thresholds of it (default: 1, 2, ..., the failed system's, "
        "which is added last when missing). A trajectory that moves to a higher level than "
        "before is split at each level k it reached into splits[k - 1] (one per level but the "
        "last; default 1: crude runs): the retrials start from its state, their pending "
        "transitions drawn again from there, and each is dropped when it moves below level k. "
        "The system has failed at the end of a unit it ends down for a failure (planned stops "
        "are not failures); downtime counts every unit down. "
        "Retrials draw with 53 bits. "
        "With interactions, causeFactors (one number of at least 1 per common cause; None: "
        "chosen) draws each common cause that many times as often, a factor above 1 only on "
        "an exponential law: a common cause of several members, which jumps levels, is then "
        "met by many roots, and each path is weighed by its likelihood ratio and split by its "
        "weight. None biases the exponential causes that, striking with every component "
        "working, take the system two levels or more nearer failure, when together they "
        "would fire less than twice within simTime, so that they fire twice. "
        "With interactions, startFactor (a number of at least 1; None: chosen) draws the "
        "components' exponential rows from working states to failed ones that many times as "
        "often while the system is at its start level (importance 0), weighed likewise. None "
        "biases them when the rows of the states a run starts in would fire less than 0.2 times "
        "within simTime, so that they fire twice. "
        "Returns a dict: levels; weight, 1 / the product of splits, the weight of every "
        "failure; causeFactors, those used (one per common cause); startFactor, the one used; "
        "numpy arrays per root: "
        "hits (first failures of its paths), downtime and failures (summed over its "
        "trajectories), weightedDowntime and weightedFailures (the same weighed by the "
        "likelihood ratio: the units' ratio at each unit's end, the failure's at its unit), "
        "trajectories; per first failure in root "
        "order: hitRoot, failureUnit, failureWeight (the path's likelihood ratio then, 1 "
        "without bias), cause (the component whose transition failed the "
        "system then, -1 if none), failedCount (the components failed at the end of that unit; "
        "failed lists them, one failure after another); per level but the last, over all roots: "
        "crossings (up into "
        "it), born (retrials started there) and through (those that went on up). weight times "
        "the sum of a root's failureWeight estimates P(system failed by simTime). Root i of the "
        "call is root "
        "firstRoot + i, its trajectories seeded from (seed, root, trajectory) alone: the same "
        "numbers on any number of threads and however the roots are split into calls.");
}
