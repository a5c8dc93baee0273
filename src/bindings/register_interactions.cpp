#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <tuple>
#include <vector>

#include "bindings/instance.hpp"
#include "bindings/register.hpp"
#include "distributions/distribution.hpp"
#include "interactions/interactions.hpp"

namespace py = pybind11;

void register_interactions(py::module_ &m) {
    using tavoq::Interactions;
    using PyMove = std::tuple<int, std::vector<int>, int>;
    py::class_<Interactions>(
        m, "Interactions",
        "How components act on each other: state kinds, triggers, standby groups, common "
        "causes and repair crews, for runnerStatistics with a FaultTree. Each method checks "
        "its arguments alone (ValueError); what needs the matrix or the tree is checked by "
        "the runner.")
        .def(py::init<int>(), py::arg("nComponents"))
        .def(
            "setStateKinds",
            [](const Checked<Interactions> &self, int component, const std::vector<int> &kinds) {
                instance(self, "Interactions").setStateKinds(component, kinds);
            },
            py::arg("component"), py::arg("kinds"),
            "One kind per state: 0 working, 1 failed, 2 planned (state 0 must be working). "
            "Without it state 0 is working and every other state failed.")
        .def(
            "addTrigger",
            [](const Checked<Interactions> &self, int source, bool onFailure,
               const std::vector<PyMove> &moves, double probability) {
                std::vector<Interactions::Move> out;
                out.reserve(moves.size());
                for (const auto &[c, from, to] : moves) {
                    out.push_back(Interactions::Move{c, from, to});
                }
                instance(self, "Interactions")
                    .addTrigger(source, onFailure, std::move(out), probability);
            },
            py::arg("source"), py::arg("onFailure"), py::arg("moves"),
            py::arg("probability") = 1.0,
            "When the FaultTree node `source` (a component, a group leaf or a gate) turns down "
            "(onFailure True) or is restored (False), move each listed component found in one "
            "of fromStates to toState. moves: (component, fromStates, toState) tuples. With "
            "probability below 1, each such component is moved with that chance, one draw of "
            "the run's generator each.")
        .def(
            "addStandbyGroup",
            [](const Checked<Interactions> &self, std::vector<int> units,
               std::vector<int> activeStates, std::vector<int> standbyStates,
               std::vector<int> switchFailedStates, double switchFailure, bool revert) {
                return instance(self, "Interactions")
                    .addStandbyGroup(std::move(units), std::move(activeStates),
                                     std::move(standbyStates), std::move(switchFailedStates),
                                     switchFailure, revert);
            },
            py::arg("units"), py::arg("activeStates"), py::arg("standbyStates"),
            py::arg("switchFailedStates"), py::arg("switchFailure"), py::arg("revert") = true,
            "Units in preference order, one active at a time; returns the group's leaf in the "
            "FaultTree (nComponents + the group's number), down while no unit is active. A unit "
            "from addSpareModule has -1 for its three states.")
        .def(
            "addSpareModule",
            [](const Checked<Interactions> &self, int node, std::vector<int> components,
               std::vector<int> activeStates, std::vector<int> standbyStates,
               std::vector<int> groups) {
                return instance(self, "Interactions")
                    .addSpareModule(node, std::move(components), std::move(activeStates),
                                    std::move(standbyStates), std::move(groups));
            },
            py::arg("node"), py::arg("components"), py::arg("activeStates"),
            py::arg("standbyStates"), py::arg("groups") = std::vector<int>{},
            "A unit of several parts for standby groups (a spare module), usable while the "
            "fault tree's node is not failed: in service, its components are in their active "
            "states and the groups inside it awake; otherwise the components wait in their "
            "standby states and the groups sleep (their active unit waits in standby too). "
            "Returns the number to list among a group's units: nComponents + the module's "
            "number. Add it before the groups that list it.")
        .def(
            "addStatePair",
            [](const Checked<Interactions> &self, int component, int activeState,
               int standbyState) {
                instance(self, "Interactions").addStatePair(component, activeState, standbyState);
            },
            py::arg("component"), py::arg("activeState"), py::arg("standbyState"),
            "A further pair of states, beside its groups' active and standby states, that a "
            "unit or a spare module's part switches between (a unit that ages in stages): "
            "switched in from standbyState it goes to activeState, and back when switched "
            "out.")
        .def(
            "addCommonCause",
            [](const Checked<Interactions> &self, const Checked<const tavoq::Distribution> &d,
               std::vector<int> members, std::vector<int> toStates) {
                return instance(self, "Interactions")
                    .addCommonCause(d.ptr, std::move(members), std::move(toStates));
            },
            py::arg("distribution"), py::arg("members"), py::arg("toStates"),
            py::keep_alive<1, 2>(),
            "An event with its own distribution that moves every working member to its "
            "to-state; returns its number.")
        .def(
            "addCrewPool",
            [](const Checked<Interactions> &self, int nCrews) {
                return instance(self, "Interactions").addCrewPool(nCrews);
            },
            py::arg("nCrews"), "A pool of nCrews repair crews; returns its number.")
        .def(
            "setCrew",
            [](const Checked<Interactions> &self, int component, int state, int pool,
               int priority) {
                instance(self, "Interactions").setCrew(component, state, pool, priority);
            },
            py::arg("component"), py::arg("state"), py::arg("pool"), py::arg("priority") = 0,
            "Every transition out of `state` of `component` waits for a crew of `pool` "
            "(first come first served; ties by priority, lower first, then component index).")
        .def_property_readonly("nComponents",
                               [](const Checked<const Interactions> &self) {
                                   return instance(self, "Interactions").nComponents();
                               })
        .def_property_readonly("nGroups",
                               [](const Checked<const Interactions> &self) {
                                   return instance(self, "Interactions").nGroups();
                               })
        .def_property_readonly("nCommonCauses",
                               [](const Checked<const Interactions> &self) {
                                   return instance(self, "Interactions").nCommonCauses();
                               })
        .def_property_readonly("nPools", [](const Checked<const Interactions> &self) {
            return instance(self, "Interactions").nPools();
        });
}
