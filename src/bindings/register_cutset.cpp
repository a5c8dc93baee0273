#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/instance.hpp"
#include "bindings/register.hpp"
#include "cutset/cutset_tree.hpp"

namespace py = pybind11;
using tavoq::CutsetTree;

void register_cutset(py::module_ &m) {
    // CutsetTreeNode has no Python class on purpose: getRoot's result cannot be converted
    // and Python gets a TypeError naming the type; the tree is left as it was.
    py::class_<CutsetTree>(m, "CutsetTree")
        .def(py::init<int>(), py::arg("cutsetSize"))
        .def(
            "insertNode",
            [](const Checked<CutsetTree> &self, std::vector<int> cutset) {
                instance(self, "CutsetTree").insertNode(std::move(cutset));
            },
            py::arg("cutset"), "Insert a new node into the cutset tree")
        .def(
            "constructTree",
            [](const Checked<CutsetTree> &self, const std::vector<std::vector<int>> &cutsets) {
                instance(self, "CutsetTree").constructTree(cutsets);
            },
            py::arg("cutsets"), "Construct the cutset tree from a list of cutsets")
        .def(
            "findNode",
            [](const Checked<const CutsetTree> &self, const std::vector<int> &cutset) {
                return instance(self, "CutsetTree").findNode(cutset);
            },
            py::arg("cutset"), "Find a node in the cutset tree by its cutset")
        .def(
            "getRoot",
            [](const Checked<const CutsetTree> &self) -> const CutsetTreeNode & {
                return instance(self, "CutsetTree").getRoot();
            },
            py::return_value_policy::reference, "Get the root node of the cutset tree")
        .def(
            "getCutsets",
            [](const Checked<const CutsetTree> &self) {
                return instance(self, "CutsetTree").getCutsets();
            },
            "The stored cut sets in pre-order (a node, its zeroChild subtree, its oneChild "
            "subtree): the order of the simulation's statistics per cut set")
        .def(
            "findWithin",
            [](const Checked<const CutsetTree> &self, const std::vector<int> &failed) {
                return instance(self, "CutsetTree").findWithin(failed);
            },
            py::arg("failed"),
            "The first stored cut set (in getCutsets order) that lies within the failed "
            "components, or an empty list: the simulation's own verdict");
}
