#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "bindings/instance.hpp"
#include "bindings/register.hpp"
#include "logic/fault_tree.hpp"

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
}
