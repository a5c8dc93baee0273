"""tavoq.Interactions: its checks, and hand-worked runs of each construct.

The random models of tests/python/validation/test_reference_model.py compare every array
with the Python model; these cases pin the rules on runs small enough to follow by hand.
"""

import numpy as np
import pytest

import tavoq

D = tavoq.Distribution


def fixed(delay):
    """A delay of exactly `delay` units whatever the draw (truncated toward zero)."""
    return tavoq.Uniform(float(delay), delay + 0.5)


def tree_of(n_leaves, top_inputs=None, kind="or"):
    tree = tavoq.FaultTree(n_leaves)
    if top_inputs is None:
        tree.setTop(0)
    else:
        tree.setTop(tree.addGate(kind, top_inputs))
    return tree


def stats(matrix, tree, interactions, sim_time=20, n=1, seed=5):
    return tavoq.runnerStatistics(n, sim_time, matrix, tree, seed, interactions=interactions)


# -- checks -----------------------------------------------------------------------------


def _interactions(n=2):
    it = tavoq.Interactions(n)
    it.addCrewPool(1)
    return it


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda it: it.setStateKinds(2, [0, 1]), "is not a component"),
        (lambda it: it.setStateKinds(0, [0, 3]), "a kind is 0"),
        (lambda it: it.setStateKinds(0, [1, 0]), "state 0 of component 0 must be working"),
        (lambda it: it.setStateKinds(0, []), "must not be empty"),
        (lambda it: it.addTrigger(-1, True, [(0, [0], 1)]), "source must be a node id"),
        (lambda it: it.addTrigger(0, True, []), "moves must not be empty"),
        (lambda it: it.addTrigger(0, True, [(5, [0], 1)]), "is not a component"),
        (lambda it: it.addTrigger(0, True, [(1, [], 1)]), "fromStates must not be empty"),
        (lambda it: it.addTrigger(0, True, [(1, [0], 1)], 1.5), "probability must lie in"),
        (lambda it: it.addTrigger(0, True, [(1, [0], 1)], float("nan")), "probability must"),
        (lambda it: it.addStandbyGroup([], [], [], [], 0.0), "units must not be empty"),
        (lambda it: it.addStandbyGroup([0, 1], [0], [1], [2], 0.0), "one entry per unit"),
        (lambda it: it.addStandbyGroup([0, 0], [0, 0], [1, 1], [2, 2], 0.0), "listed twice"),
        (lambda it: it.addStandbyGroup([0], [1], [1], [2], 0.0), "same active and standby"),
        (lambda it: it.addStandbyGroup([0], [0], [1], [2], 1.5), r"switchFailure must lie"),
        (lambda it: it.addStandbyGroup([0], [0], [1], [2], float("nan")), "switchFailure"),
        (lambda it: it.addCommonCause(None, [0], [1]), "distribution must not be None"),
        (lambda it: it.addCommonCause(D(), [0], [1, 1]), "one entry per member"),
        (lambda it: it.addCommonCause(D(), [], []), "members must not be empty"),
        (lambda it: it.addCrewPool(0), "nCrews must be at least 1"),
        (lambda it: it.setCrew(0, 1, 3), "pool 3 was not added"),
        (lambda it: it.setCrew(0, -1, 0), "state must not be negative"),
    ],
)
def test_arguments_are_checked_when_added(call, message):
    with pytest.raises(ValueError, match=message):
        call(_interactions())


def test_no_components_is_refused():
    with pytest.raises(ValueError, match="at least one component"):
        tavoq.Interactions(0)


TWO_STATE = [[D(), tavoq.Exponential(0.1)], [tavoq.Exponential(0.5), D()]]
THREE_STATE = [[D(), D(), tavoq.Exponential(0.1)], [D(), D(), D()], [D(), D(), D()]]


def _kinds(it, kinds):
    it.setStateKinds(0, kinds)
    return it


@pytest.mark.parametrize(
    "declare, leaves, message",
    [
        (lambda it: it.setStateKinds(0, [0, 1, 1]), 2, "has 3 kinds and the matrix 2"),
        (lambda it: it.addTrigger(9, True, [(0, [0], 1)]), 2, "source 9 is not a node"),
        (lambda it: it.addTrigger(0, True, [(1, [0], 4)]), 2, "to-state 4 is not a state"),
        (lambda it: it.addTrigger(0, True, [(1, [7], 1)]), 2, "from-state 7 is not a state"),
        (lambda it: it.addCommonCause(D(), [0], [2]), 2, "to-state 2 is not a state"),
        (lambda it: it.setCrew(0, 0, it.addCrewPool(1)), 2, "state 0 is working"),
        (lambda it: it.setCrew(0, 2, it.addCrewPool(1)), 2, "state 2 is not a state"),
        # State 1, the standby state, is failed by default.
        (lambda it: it.addStandbyGroup([0], [0], [1], [1], 0.0), 3, "must be working"),
        (
            lambda it: _kinds(it, [0, 0]).addStandbyGroup([0], [0], [1], [0], 0.0),
            3,
            "switch-failed state must not be working",
        ),
        (
            lambda it: _kinds(it, [0, 0]).addStandbyGroup([0], [0], [1], [1], 0.0),
            2,
            "it needs 3",
        ),
    ],
)
def test_interactions_are_checked_against_the_matrix_and_tree(declare, leaves, message):
    it = tavoq.Interactions(2)
    declare(it)
    with pytest.raises(ValueError, match=message):
        stats([TWO_STATE, TWO_STATE], tree_of(leaves), it)


def test_interactions_need_as_many_components_as_the_matrix():
    with pytest.raises(ValueError, match="The interactions have 3 components"):
        stats([TWO_STATE, TWO_STATE], tree_of(2), tavoq.Interactions(3))


def test_units_of_several_groups_keep_their_states():
    it = tavoq.Interactions(3)
    it.setStateKinds(2, [0, 0, 1])
    matrix = [THREE_STATE] * 3
    for c in range(3):
        it.setStateKinds(c, [0, 0, 1])
    it.addStandbyGroup([0, 2], [0, 0], [1, 1], [2, 2], 0.0)
    it.addStandbyGroup([1, 2], [0, 1], [1, 0], [2, 2], 0.0)
    with pytest.raises(ValueError, match="several groups with different"):
        stats(matrix, tree_of(5), it)


def test_a_cutset_tree_takes_no_interactions():
    tree = tavoq.CutsetTree(1)
    tree.constructTree([[1]])
    with pytest.raises(TypeError, match="need the logic as a FaultTree"):
        tavoq.runnerStatistics(1, 5, [TWO_STATE], tree, 1, interactions=tavoq.Interactions(1))


def test_group_leaves_are_numbered_after_the_components():
    it = tavoq.Interactions(3)
    assert it.addStandbyGroup([0, 1], [0, 0], [1, 1], [2, 2], 0.0) == 3
    assert it.addStandbyGroup([2], [0], [1], [2], 0.0, revert=False) == 4
    assert it.addCommonCause(D(), [0, 2], [1, 1]) == 0
    assert it.addCrewPool(2) == 0 and it.addCrewPool(1) == 1
    assert (it.nComponents, it.nGroups, it.nCommonCauses, it.nPools) == (3, 2, 1, 2)


# -- runs -------------------------------------------------------------------------------


def test_without_declarations_the_numbers_are_the_plain_engines():
    matrix = [TWO_STATE, TWO_STATE, TWO_STATE]
    tree = tree_of(3, [0, 1, 2], "and")
    plain = tavoq.runnerStatistics(40, 300, matrix, tree, 3)
    empty = tavoq.runnerStatistics(40, 300, matrix, tree, 3, interactions=tavoq.Interactions(3))
    declared = tavoq.Interactions(3)
    declared.setStateKinds(1, [0, 1])  # the default, declared: the interacting engine runs
    interacting = tavoq.runnerStatistics(40, 300, matrix, tree, 3, interactions=declared)
    assert plain.systemFailures.sum() > 0
    for name in [
        "failedRuns",
        "systemFailures",
        "downtime",
        "componentFailures",
        "gateFailures",
        "triggeredFailures",
        "gateTriggered",
        "componentDowntimeSquares",
    ]:
        assert np.array_equal(getattr(plain, name), getattr(empty, name)), name
        assert np.array_equal(getattr(plain, name), getattr(interacting, name)), name
    assert empty.plannedRuns.size == 0 and interacting.plannedDowntime.size == 0


@pytest.mark.parametrize("kind, planned", [(1, False), (2, True)])
def test_planned_down_is_split_out(kind, planned):
    # Overhaul at 5, back at 8, again at 13, back at 16: down at 5-7 and 13-15.
    matrix = [[[D(), fixed(5)], [fixed(3), D()]]]
    it = tavoq.Interactions(1)
    it.setStateKinds(0, [0, kind])
    s = stats(matrix, tree_of(1), it)
    down = [1 if 5 <= t < 8 or 13 <= t < 16 else 0 for t in range(20)]
    assert s.failedRuns.tolist() == down
    assert s.downtime.tolist() == [6]
    assert s.componentDowntime.tolist() == [6]
    if planned:
        assert s.plannedRuns.tolist() == down and s.plannedDowntime.tolist() == [6]
        assert s.systemFailures.tolist() == [0] and s.firstFailures.sum() == 0
        assert s.componentFailures.tolist() == [0]
    else:
        assert s.plannedRuns.size == 0
        assert s.systemFailures.tolist() == [2] and s.firstFailures[5] == 1
        assert s.componentFailures.tolist() == [2]


def test_one_crew_serves_first_come_first_served():
    # Component 0 fails at 2, 8, 16; component 1 at 3 and 13; a repair takes 4 units of the
    # only crew: served 2-6 (0), 6-10 (1), 10-14 (0), 14-18 (1), 18-20 (0), waiting 3-6,
    # 8-10, 13-14 and 16-18. Both down at 3-5, 8-9, 13 and 16-17.
    matrix = [
        [[D(), fixed(2)], [fixed(4), D()]],
        [[D(), fixed(3)], [fixed(4), D()]],
    ]
    it = tavoq.Interactions(2)
    pool = it.addCrewPool(1)
    it.setCrew(0, 1, pool)
    it.setCrew(1, 1, pool)
    s = stats(matrix, tree_of(2, [0, 1], "and"), it)
    assert s.crewBusy.tolist() == [18] and s.crewBusySquares.tolist() == [324.0]
    assert s.crewWait.tolist() == [8] and s.crewWaitSquares.tolist() == [64.0]
    assert s.crewRequests.tolist() == [5] and s.crewWaitTimesRequests.tolist() == [40.0]
    assert s.crewLongestQueue.tolist() == [1]
    assert s.downtime.tolist() == [8] and s.systemFailures.tolist() == [4]


def test_priority_breaks_ties_before_the_index():
    # Components 1 and 2 fail at 3 while 0 holds the only crew (2-6): at 6 component 2, of
    # the lower priority value, is served first (6-10), then 1 (10-14), then 0, which failed
    # again at 8. Down: 0 at 2-5 and 8-14, 1 at 3-13, 2 at 3-9 and from 13 on. Served by
    # index instead, 1 would be down 3-9 and 2 at 3-13.
    matrix = [
        [[D(), fixed(2)], [fixed(4), D()]],
        [[D(), fixed(3)], [fixed(4), D()]],
        [[D(), fixed(3)], [fixed(4), D()]],
    ]
    it = tavoq.Interactions(3)
    pool = it.addCrewPool(1)
    it.setCrew(0, 1, pool)
    it.setCrew(1, 1, pool, priority=1)
    it.setCrew(2, 1, pool, priority=0)
    s = stats(matrix, tree_of(3), it, sim_time=15)
    assert s.componentDowntime.tolist() == [4 + 7, 11, 7 + 2]


@pytest.mark.parametrize("q, group_down, spare_failures", [(0.0, 0, 0), (1.0, 17, 1)])
def test_switch_failure(q, group_down, spare_failures):
    # The running unit fails at 3 for good; the spare, in standby, is switched in, or with
    # q = 1 fails to switch and the group is down from 3.
    row = [[D(), D(), fixed(3)], [D(), D(), D()], [D(), D(), D()]]
    it = tavoq.Interactions(2)
    for c in range(2):
        it.setStateKinds(c, [0, 0, 1])
    leaf = it.addStandbyGroup([0, 1], [0, 0], [1, 1], [2, 2], q)
    spare = [[D(), D(), D()], [D(), D(), D()], [D(), D(), D()]]
    s = stats([row, spare], tree_of(3, [leaf]), it)
    assert s.downtime.tolist() == [group_down]
    assert s.componentFailures.tolist() == [1, spare_failures]


@pytest.mark.parametrize("revert, down, spare_failures", [(True, 0, 0), (False, 3, 1)])
def test_a_restored_preferred_unit_takes_over_with_revert(revert, down, spare_failures):
    # Unit 0 fails 3 units after it starts running and is back 3 units later; the spare
    # fails after 10 units of running and never in standby. Unit 0 fails at 3 and the spare
    # takes over; at 6 unit 0 is back. With revert it takes over again (the spare to
    # standby) and the pair alternates so that the group is never down. Without, unit 0
    # waits in standby; the spare fails at 13, unit 0 runs from 13 and fails at 16 with no
    # unit left: down 16-18, until its repair at 19.
    unit = [[D(), D(), fixed(3)], [D(), D(), D()], [fixed(3), D(), D()]]
    spare = [[D(), D(), fixed(10)], [D(), D(), D()], [D(), D(), D()]]
    it = tavoq.Interactions(2)
    for c in range(2):
        it.setStateKinds(c, [0, 0, 1])
    leaf = it.addStandbyGroup([0, 1], [0, 0], [1, 1], [2, 2], 0.0, revert)
    s = stats([unit, spare], tree_of(3, [leaf]), it)
    assert s.downtime.tolist() == [down]
    assert s.componentFailures.tolist()[1] == spare_failures


def test_common_cause_moves_the_working_members():
    # The event at 4 and 8 fails both members, each repaired 2 units later: the pair is
    # down at 4-5 and 8-9; the second member's move is the last to turn the top down.
    repairable = [[D(), D()], [fixed(2), D()]]
    it = tavoq.Interactions(2)
    it.addCommonCause(fixed(4), [0, 1], [1, 1])
    s = stats([repairable, repairable], tree_of(2, [0, 1], "and"), it, sim_time=12)
    assert s.downtime.tolist() == [4] and s.systemFailures.tolist() == [2]
    assert s.componentFailures.tolist() == [2, 2]
    assert s.triggeredFailures.tolist() == [0, 2]


def test_trigger_moves_and_moves_back():
    # Power (component 0) fails at 3 and is back at 7; the pump (1) goes to "no power"
    # with it and back when it returns; the pump's own failure never comes.
    power = [[D(), fixed(3)], [fixed(4), D()]]
    pump = [[D(), D()], [D(), D()]]
    it = tavoq.Interactions(2)
    it.addTrigger(0, True, [(1, [0], 1)])
    it.addTrigger(0, False, [(1, [1], 0)])
    s = stats([power, pump], tree_of(2, [1]), it, sim_time=10)
    assert s.componentDowntime.tolist() == [4, 4]
    assert s.downtime.tolist() == [4]
    # The power's failure is credited, not the pump it stopped (the system is only the pump).
    assert s.triggeredFailures.tolist() == [1, 0]


def test_a_cycle_of_triggers_is_stopped():
    # Component 1 failing restores itself, and restored fails itself again: no end.
    comp = [[D(), fixed(2)], [D(), D()]]
    it = tavoq.Interactions(2)
    it.addTrigger(1, True, [(1, [1], 0)])
    it.addTrigger(1, False, [(1, [0], 1)])
    with pytest.raises(RuntimeError, match="makes no progress at time unit 2"):
        stats([comp, comp], tree_of(2, [0, 1]), it)
