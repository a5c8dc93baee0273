#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "bindings/instance.hpp"
#include "bindings/register.hpp"
#include "logic/fault_tree.hpp"
#include "logic/graph_walks.hpp"

namespace py = pybind11;

void register_fault_tree(py::module_ &m) {
    using tavoq::FaultTree;
    py::class_<FaultTree>(
        m, "FaultTree",
        "The system's failure logic as a graph of gates. Components are the nodes 0 .. "
        "nComponents - 1; each added gate is the next node. A gate's inputs are components or "
        "earlier gates, and a node may feed several gates. runnerStatistics evaluates the graph "
        "itself, so a transition costs the gates whose output changes, not the cut sets.")
        .def(py::init<int>(), py::arg("nComponents"))
        .def(
            "addGate",
            [](const Checked<FaultTree> &self, const std::string &kind,
               const std::vector<int> &inputs,
               int k) { return instance(self, "FaultTree").addGate(kind, inputs, k); },
            py::arg("kind"), py::arg("inputs"), py::arg("k") = 0,
            "Add a gate and return its node id (nComponents + its gate index). kind: \"or\", "
            "\"and\" or \"atleast\" (failed when at least k of its inputs are; 1 <= k <= "
            "len(inputs), and k stays 0 for the others); the non-coherent \"not\" (one "
            "input), \"nand\", \"nor\", \"xor\" (an odd number failed), \"iff\" (as many "
            "failed as inputs, mod 2); or the order gates \"pand\", \"pand_exclusive\", "
            "\"por\", \"por_exclusive\", \"pand_memory\", \"por_memory\" (two inputs or "
            "more; docs/model-format.md). inputs: "
            "node ids of components or of gates added before; an input listed twice counts "
            "twice.")
        .def(
            "setTop",
            [](const Checked<FaultTree> &self, int node) {
                instance(self, "FaultTree").setTop(node);
            },
            py::arg("node"), "The node (a gate or a component) whose failure is the system's")
        .def_property_readonly("nComponents",
                               [](const Checked<const FaultTree> &self) {
                                   return instance(self, "FaultTree").nComponents();
                               })
        .def_property_readonly("nGates",
                               [](const Checked<const FaultTree> &self) {
                                   return instance(self, "FaultTree").nGates();
                               })
        .def_property_readonly(
            "top",
            [](const Checked<const FaultTree> &self) { return instance(self, "FaultTree").top(); },
            "The top node, or -1 until setTop")
        .def(
            "evaluate",
            [](const Checked<const FaultTree> &self, const std::vector<int> &failed) {
                return instance(self, "FaultTree").evaluate(failed);
            },
            py::arg("failed"),
            "The top's state with the given components failed (one entry per component, "
            "non-zero for failed; missing entries read as working), as the simulation computes "
            "it with those failures all begun in the same time unit")
        .def(
            "evaluateGates",
            [](const Checked<const FaultTree> &self, const std::vector<int> &failed) {
                return instance(self, "FaultTree").evaluateGates(failed);
            },
            py::arg("failed"), "Every gate's output for the same input, in gate order");

    using Int32s = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;
    using Int64s = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    m.def(
        "graphWalks",
        [](int nComponents, const Int64s &offsets, const Int32s &inputs, int top) {
            if (offsets.ndim() != 1 || inputs.ndim() != 1) {
                throw py::value_error("offsets and inputs must be one-dimensional arrays");
            }
            std::vector<std::int64_t> offsetsVector(offsets.data(),
                                                    offsets.data() + offsets.size());
            std::vector<std::int32_t> inputsVector(inputs.data(), inputs.data() + inputs.size());
            tavoq::GraphWalks walks;
            {
                py::gil_scoped_release released;
                walks = tavoq::walkGraph(nComponents, offsetsVector, inputsVector, top);
            }
            const auto array = [](const auto &values) {
                using Value = typename std::remove_cvref_t<decltype(values)>::value_type;
                return py::array_t<Value>(static_cast<py::ssize_t>(values.size()), values.data());
            };
            return py::make_tuple(array(walks.variableOrder), array(walks.underTop),
                                  array(walks.module), array(walks.uses));
        },
        py::arg("nComponents"), py::arg("offsets"), py::arg("inputs"), py::arg("top"),
        "The walks the minimal-cut-set analysis makes over a gate graph (components 0 .. "
        "nComponents - 1, then gate g is node nComponents + g, its inputs "
        "inputs[offsets[g]:offsets[g + 1]], each a component or an earlier gate): the "
        "components under gate top in the order a depth-first walk from it meets them; per "
        "gate whether the top depends on it, whether it is a module (nothing below it is "
        "reached from outside it) and how often the gates under the top take it as an input. "
        "Raises ValueError for offsets that do not rise from 0 to len(inputs), an input "
        "that is no earlier node or a top out of range.");
}
