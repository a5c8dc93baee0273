# Made by scripts/stubs.sh (pybind11-stubgen on the built module), with two
# changes by hand: the parameter the module calls "lambda" is positional and named lambda_
# here (lambda is a keyword), and getRoot, whose node type is not registered, returns Any.
# tests/python/native/test_stub.py fails when the stub and the module name different things.
"""
Python bindings for the simulator library
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['Constant', 'CutsetTree', 'Distribution', 'Exponential', 'FaultTree', 'GalileoTokens', 'Gamma', 'Inspection', 'InstantaneousFailure', 'Interactions', 'Lognormal', 'Maintenance', 'Normal', 'RunStatistics', 'Uniform', 'Weibull', 'graphWalks', 'limitOMPThreads', 'readPlainGalileo', 'readPlainOpenPsa', 'reportSIMDSupport', 'runnerImportance', 'runnerMultipleSim', 'runnerParallelSim', 'runnerRareSampling', 'runnerRareSplitting', 'runnerSamples', 'runnerSingleSim', 'runnerStatistics']
class Distribution:
    def __init__(self) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        """
        Cumulative distribution function
        """
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        """
        Probability density function
        """
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        """
        Quantile function
        """
class Normal(Distribution):
    def __init__(self, mean: typing.SupportsFloat | typing.SupportsIndex, stddev: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        ...
class Exponential(Distribution):
    def __init__(self, lambda_: typing.SupportsFloat | typing.SupportsIndex, /) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        ...
class Uniform(Distribution):
    def __init__(self, a: typing.SupportsFloat | typing.SupportsIndex, b: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        ...
class Weibull(Distribution):
    def __init__(self, lambda_: typing.SupportsFloat | typing.SupportsIndex, k: typing.SupportsFloat | typing.SupportsIndex, /) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        ...
class Inspection(Distribution):
    def __init__(self, inspectionTime: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        ...
class Maintenance(Distribution):
    def __init__(self, maintenanceTimes: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        ...
class InstantaneousFailure(Distribution):
    def __init__(self, failureTime: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        ...
class Lognormal(Distribution):
    def __init__(self, mu: typing.SupportsFloat | typing.SupportsIndex, sigma: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        ...
class Gamma(Distribution):
    def __init__(self, shape: typing.SupportsFloat | typing.SupportsIndex, scale: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        ...
class Constant(Distribution):
    def __init__(self, delay: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    def cdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def pdf(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> float:
        ...
    def quantile(self, arg0: typing.SupportsFloat | typing.SupportsIndex, arg1: typing.SupportsInt | typing.SupportsIndex) -> float:
        ...
class CutsetTree:
    def __init__(self, cutsetSize: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def constructTree(self, cutsets: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]]) -> None:
        """
        Construct the cutset tree from a list of cutsets
        """
    def findNode(self, cutset: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> list[int]:
        """
        Find a node in the cutset tree by its cutset
        """
    def findWithin(self, failed: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> list[int]:
        """
        The first stored cut set (in getCutsets order) that lies within the failed components, or an empty list: the simulation's own verdict
        """
    def getCutsets(self) -> list[list[int]]:
        """
        The stored cut sets in pre-order (a node, its zeroChild subtree, its oneChild subtree): the order of the simulation's statistics per cut set
        """
    def getRoot(self) -> typing.Any:
        """
        Get the root node of the cutset tree
        """
    def insertNode(self, cutset: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> None:
        """
        Insert a new node into the cutset tree
        """
class FaultTree:
    """
    The system's failure logic as a graph of gates. Components are the nodes 0 .. nComponents - 1; each added gate is the next node. A gate's inputs are components or earlier gates, and a node may feed several gates. runnerStatistics evaluates the graph itself, so a transition costs the gates whose output changes, not the cut sets.
    """
    def __init__(self, nComponents: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def addGate(self, kind: str, inputs: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], k: typing.SupportsInt | typing.SupportsIndex = 0) -> int:
        """
        Add a gate and return its node id (nComponents + its gate index). kind: "or", "and" or "atleast" (failed when at least k of its inputs are; 1 <= k <= len(inputs), and k stays 0 for the others); the non-coherent "not" (one input), "nand", "nor", "xor" (an odd number failed), "iff" (as many failed as inputs, mod 2); or the order gates "pand", "pand_exclusive", "por", "por_exclusive", "pand_memory", "por_memory" (two inputs or more; docs/model-format.md). inputs: node ids of components or of gates added before; an input listed twice counts twice.
        """
    def evaluate(self, failed: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> bool:
        """
        The top's state with the given components failed (one entry per component, non-zero for failed; missing entries read as working), as the simulation computes it with those failures all begun in the same time unit
        """
    def evaluateGates(self, failed: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> list[bool]:
        """
        Every gate's output for the same input, in gate order
        """
    def setTop(self, node: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        The node (a gate or a component) whose failure is the system's
        """
    @property
    def nComponents(self) -> int:
        ...
    @property
    def nGates(self) -> int:
        ...
    @property
    def top(self) -> int:
        """
        The top node, or -1 until setTop
        """
class Interactions:
    """
    How components act on each other: state kinds, triggers, standby groups, common causes and repair crews, for runnerStatistics with a FaultTree. Each method checks its arguments alone (ValueError); what needs the matrix or the tree is checked by the runner.
    """
    def __init__(self, nComponents: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def addCommonCause(self, distribution: Distribution, members: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], toStates: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> int:
        """
        An event with its own distribution that moves every working member to its to-state; returns its number.
        """
    def addCrewPool(self, nCrews: typing.SupportsInt | typing.SupportsIndex) -> int:
        """
        A pool of nCrews repair crews; returns its number.
        """
    def addSpareModule(self, node: typing.SupportsInt | typing.SupportsIndex, components: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], activeStates: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], standbyStates: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], groups: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex] = []) -> int:
        """
        A unit of several parts for standby groups (a spare module), usable while the fault tree's node is not failed: in service, its components are in their active states and the groups inside it awake; otherwise the components wait in their standby states and the groups sleep (their active unit waits in standby too). Returns the number to list among a group's units: nComponents + the module's number. Add it before the groups that list it.
        """
    def addStandbyGroup(self, units: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], activeStates: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], standbyStates: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], switchFailedStates: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], switchFailure: typing.SupportsFloat | typing.SupportsIndex, revert: bool = True) -> int:
        """
        Units in preference order, one active at a time; returns the group's leaf in the FaultTree (nComponents + the group's number), down while no unit is active. A unit from addSpareModule has -1 for its three states.
        """
    def addStatePair(self, component: typing.SupportsInt | typing.SupportsIndex, activeState: typing.SupportsInt | typing.SupportsIndex, standbyState: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        A further pair of states, beside its groups' active and standby states, that a unit or a spare module's part switches between (a unit that ages in stages): switched in from standbyState it goes to activeState, and back when switched out.
        """
    def addTrigger(self, source: typing.SupportsInt | typing.SupportsIndex, onFailure: bool, moves: collections.abc.Sequence[tuple[typing.SupportsInt | typing.SupportsIndex, collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], typing.SupportsInt | typing.SupportsIndex]], probability: typing.SupportsFloat | typing.SupportsIndex = 1.0) -> None:
        """
        When the FaultTree node `source` (a component, a group leaf or a gate) turns down (onFailure True) or is restored (False), move each listed component found in one of fromStates to toState. moves: (component, fromStates, toState) tuples. With probability below 1, each such component is moved with that chance, one draw of the run's generator each.
        """
    def setCrew(self, component: typing.SupportsInt | typing.SupportsIndex, state: typing.SupportsInt | typing.SupportsIndex, pool: typing.SupportsInt | typing.SupportsIndex, priority: typing.SupportsInt | typing.SupportsIndex = 0) -> None:
        """
        Every transition out of `state` of `component` waits for a crew of `pool` (first come first served; ties by priority, lower first, then component index).
        """
    def setStateKinds(self, component: typing.SupportsInt | typing.SupportsIndex, kinds: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> None:
        """
        One kind per state: 0 working, 1 failed, 2 planned (state 0 must be working). Without it state 0 is working and every other state failed.
        """
    @property
    def nCommonCauses(self) -> int:
        ...
    @property
    def nComponents(self) -> int:
        ...
    @property
    def nGroups(self) -> int:
        ...
    @property
    def nPools(self) -> int:
        ...
class RunStatistics:
    """
    What runnerStatistics counted over a batch. Arrays are read-only numpy views, int64 but for the float64 sums of squares.
    """
    statistics: typing.ClassVar[tuple] = (('failedRuns', 'bin', 'int64', 'sum'), ('firstFailures', 'bin', 'int64', 'sum'), ('plannedRuns', 'bin', 'int64', 'sum'), ('systemFailures', 'run', 'int64', 'concatenate'), ('downtime', 'run', 'int64', 'concatenate'), ('firstFailureTimes', 'run', 'int64', 'concatenate'), ('plannedDowntime', 'run', 'int64', 'concatenate'), ('componentDowntime', 'component', 'int64', 'sum'), ('componentFailures', 'component', 'int64', 'sum'), ('triggeredFailures', 'component', 'int64', 'sum'), ('componentDowntimeSquares', 'component', 'float64', 'sum'), ('componentFailuresSquares', 'component', 'float64', 'sum'), ('triggeredFailuresSquares', 'component', 'float64', 'sum'), ('triggeredTimesSystemFailures', 'component', 'float64', 'sum'), ('negativeDelays', 'component', 'int64', 'sum'), ('delaysPastLimit', 'component', 'int64', 'sum'), ('cutsetFailures', 'cutset', 'int64', 'sum'), ('cutsetFailuresSquares', 'cutset', 'float64', 'sum'), ('cutsetTimesSystemFailures', 'cutset', 'float64', 'sum'), ('gateDowntime', 'gate', 'int64', 'sum'), ('gateFailures', 'gate', 'int64', 'sum'), ('gateTriggered', 'gate', 'int64', 'sum'), ('gateDowntimeSquares', 'gate', 'float64', 'sum'), ('gateUnitFailures', 'gate', 'int64', 'sum'), ('gateUnitFailuresSquares', 'gate', 'float64', 'sum'), ('gateTriggeredSquares', 'gate', 'float64', 'sum'), ('gateTriggeredTimesSystemFailures', 'gate', 'float64', 'sum'), ('crewBusy', 'pool', 'int64', 'sum'), ('crewBusySquares', 'pool', 'float64', 'sum'), ('crewWait', 'pool', 'int64', 'sum'), ('crewWaitSquares', 'pool', 'float64', 'sum'), ('crewRequests', 'pool', 'int64', 'sum'), ('crewRequestsSquares', 'pool', 'float64', 'sum'), ('crewWaitTimesRequests', 'pool', 'float64', 'sum'), ('crewLongestQueue', 'pool', 'int64', 'sum'), ('crewLongestQueueSquares', 'pool', 'float64', 'sum'), ('crewSaturatedFailures', 'pool', 'int64', 'sum'), ('crewSaturatedFailuresSquares', 'pool', 'float64', 'sum'), ('crewSaturatedTimesSystemFailures', 'pool', 'float64', 'sum'))
    """
    Every array attribute, as (name, axis, dtype, combine): axis 'run', 'bin', 'component', 'gate', 'cutset' or 'pool'; dtype 'int64' or 'float64'; combine how two batches of consecutive runs make one, 'sum' element by element or 'concatenate' in run order
    """
    @property
    def binWidth(self) -> int:
        """
        Time units per bin of failedRuns and firstFailures (the last bin may be shorter)
        """
    @property
    def componentDowntime(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per component: time units at which it is failed, over all runs
        """
    @property
    def componentDowntimeSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per component: the sum over runs of the square of its failed time units in the run (float64, from an exact integer sum)
        """
    @property
    def componentFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per component: transitions from state 0 to a failed state
        """
    @property
    def componentFailuresSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per component: the sum over runs of the square of its failures in the run
        """
    @property
    def crewBusy(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per crew pool: crew-units busy, summed over runs
        """
    @property
    def crewBusySquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per crew pool: the sum over runs of the square of a run's busy crew-units
        """
    @property
    def crewLongestQueue(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per crew pool: the sum over runs of a run's longest queue
        """
    @property
    def crewLongestQueueSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per crew pool: the sum over runs of the square of a run's longest queue
        """
    @property
    def crewRequests(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per crew pool: requests for a crew, summed over runs
        """
    @property
    def crewRequestsSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per crew pool: the sum over runs of the square of a run's requests
        """
    @property
    def crewSaturatedFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per crew pool: system failures that began while all its crews were busy and a unit waited for one (after the transitions of the failure's time unit), over all runs
        """
    @property
    def crewSaturatedFailuresSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per crew pool: the sum over runs of the square of its crewSaturatedFailures in the run
        """
    @property
    def crewSaturatedTimesSystemFailures(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per crew pool: the sum over runs of its crewSaturatedFailures in the run times the run's systemFailures
        """
    @property
    def crewWait(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per crew pool: units spent waiting for a crew, summed over the waiting components and runs
        """
    @property
    def crewWaitSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per crew pool: the sum over runs of the square of a run's waiting units
        """
    @property
    def crewWaitTimesRequests(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per crew pool: the sum over runs of a run's waiting units times its requests
        """
    @property
    def cutsetFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per stored cut set (getCutsets order): system failures at which the causing transition completed it; empty for a FaultTree
        """
    @property
    def cutsetFailuresSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per stored cut set: the sum over runs of the square of its cutsetFailures in the run; empty for a FaultTree
        """
    @property
    def cutsetTimesSystemFailures(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per stored cut set: the sum over runs of its cutsetFailures in the run times the run's systemFailures; empty for a FaultTree
        """
    @property
    def delaysPastLimit(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per component: draws of a run's first pass past the largest delay, 2147483647, read as no transition
        """
    @property
    def downtime(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per run: time units at which the system is failed
        """
    @property
    def failedRuns(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per bin: the sum over its time units of the runs whose system is failed then (with binWidth 1, the failed runs per time unit)
        """
    @property
    def firstFailureTimes(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per run: the first time unit at which the system is failed, simTime when it never is (exact whatever binWidth)
        """
    @property
    def firstFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per bin: runs whose system is failed for the first time at one of its time units
        """
    @property
    def gateDowntime(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per gate of a FaultTree (empty for a CutsetTree): time units at which its output is failed, over all runs
        """
    @property
    def gateDowntimeSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per gate of a FaultTree: the sum over runs of the square of its failed time units in the run (float64, from an exact integer sum)
        """
    @property
    def gateFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per gate of a FaultTree: crossings of its output from working to failed, over all runs
        """
    @property
    def gateTriggered(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per gate of a FaultTree: system failures at which the causing transition turned it from working to failed
        """
    @property
    def gateTriggeredSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per gate of a FaultTree: the sum over runs of the square of its gateTriggered in the run
        """
    @property
    def gateTriggeredTimesSystemFailures(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per gate of a FaultTree: the sum over runs of its gateTriggered in the run times the run's systemFailures
        """
    @property
    def gateUnitFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per gate of a FaultTree: time units at which its output is failed and was working at the unit before (or t = 0), over all runs: its failures counted as systemFailures counts the system's
        """
    @property
    def gateUnitFailuresSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per gate of a FaultTree: the sum over runs of the square of its gateUnitFailures in the run
        """
    @property
    def nSimulations(self) -> int:
        ...
    @property
    def negativeDelays(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per component: draws of a run's first pass (one per to-state) below 0, read as no transition; the other runners print a warning line for each
        """
    @property
    def plannedDowntime(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per run, as plannedRuns: time units down for planned reasons only (downtime includes them)
        """
    @property
    def plannedRuns(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per bin, with interactions that have a planned state (else empty): the sum over its time units of the runs down for planned reasons only (failedRuns includes them)
        """
    @property
    def seed(self) -> int:
        ...
    @property
    def simTime(self) -> int:
        ...
    @property
    def systemFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per run: time units at which the system fails (failed there, and at 0 or working the unit before)
        """
    @property
    def triggeredFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per component: system failures that its transition caused
        """
    @property
    def triggeredFailuresSquares(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per component: the sum over runs of the square of the system failures its transition caused in the run
        """
    @property
    def triggeredTimesSystemFailures(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Per component: the sum over runs of the system failures its transition caused in the run times the run's systemFailures
        """
class GalileoTokens:
    """
    The statements of the ASCII text of a Galileo file (.dft), read in batches: each as (the line of its first token, its tokens), a token as (kind, text), the kind "string" (a quoted name, without its quotes), "word" or "equals". Comments and empty statements are skipped.
    """
    def __init__(self, text: str) -> None:
        ...
    def statements(self, limit: typing.SupportsInt | typing.SupportsIndex) -> list:
        """
        Up to limit more statements; fewer at the end of the text or at an error
        """
    @property
    def error(self) -> typing.Any:
        """
        None, or why reading stopped early and the line: ("unclosed", line) for a /* comment never closed, ("open", line) for a quoted name never closed, ("cut short", line) for a last statement without its ; (the line it starts on)
        """
def graphWalks(nComponents: typing.SupportsInt | typing.SupportsIndex, offsets: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], inputs: typing.Annotated[numpy.typing.ArrayLike, numpy.int32], top: typing.SupportsInt | typing.SupportsIndex) -> tuple[numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.uint8], numpy.typing.NDArray[numpy.uint8], numpy.typing.NDArray[numpy.int32]]:
    """
    The walks the minimal-cut-set analysis makes over a gate graph (components 0 .. nComponents - 1, then gate g is node nComponents + g, its inputs inputs[offsets[g]:offsets[g + 1]], each a component or an earlier gate): the components under gate top in the order a depth-first walk from it meets them; per gate whether the top depends on it, whether it is a module (nothing below it is reached from outside it) and how often the gates under the top take it as an input. Raises ValueError for offsets that do not rise from 0 to len(inputs), an input that is no earlier node or a top out of range.
    """
def limitOMPThreads(maxThreads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Limit the number of OMP threads
    """
def readPlainGalileo(text: str, event: typing.Any, formula: typing.Any, spare: typing.Any, dependency: typing.Any, restriction: typing.Any) -> typing.Any:
    """
    The fault tree of a Galileo text of the shapes read natively (gates and, or, KofN, votK, pand and por; spare gates, fdep, pdep, seq and mutex; basic events of lambda, prob, repair, dorm and phases), or None for any other text, valid or not. It is (events, gates, spare gates, dependencies, restrictions, the top, where the top is named, every gate after those it names), each part made, with "line N" for where it is, by event(name, where, lambda, prob, repair, phases, dorm) (None for a value not given), formula(kind, where, inputs, k), spare(name, where, kind, units), dependency(name, where, trigger, dependents, probability) and restriction(name, where, kind, inputs).
    """
def readPlainOpenPsa(text: str, event: typing.Any, formula: typing.Any) -> typing.Any:
    """
    The fault tree of an Open-PSA text of the plain shapes large files have (public names; gates of or, and, atleast, not, xor, nand, nor, iff and imply over references; basic events of a probability or an exponential; house events), or None for any other text, valid or not. It is (events, gates, the gates of nested formulas or labels, the gates no gate names, every gate after those it names, the mission times of the exponentials): the events (house events last) and gates by name in file order, each made by event(name, xml_path, rate) or event(name, xml_path, None, probability) and formula(kind, xml_path, inputs, k).
    """
def reportSIMDSupport() -> None:
    """
    Report SIMD support status
    """
def runnerImportance(nSimulations: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], faultTree: FaultTree, seed: typing.SupportsInt | typing.SupportsIndex, nodes: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], firstRun: typing.SupportsInt | typing.SupportsIndex = 0) -> dict:
    """
    Runs firstRun .. firstRun + nSimulations - 1 of the batch runnerStatistics makes with this seed (the same draws and verdicts), for a model without interactions whose logic is coherent, watching `nodes` (components, and gates as nComponents + g). Returns a dict of numpy arrays: criticalWorking and criticalFailed (runs x nodes: units at which turning the node over turns the system over, while it works and while it is failed), firstHeldFailed and firstHeldWorking (runs x nodes: the first failed unit of the run with the node held failed or held working throughout, simTime if none), downtime and firstFailure (per run, as runnerStatistics counts them). Holding a node changes no draw, so these are the held runs' own figures.
    """
def runnerMultipleSim(nSimulations: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt | typing.SupportsIndex) -> list[int]:
    """
    Run multiple simulations on a single thread
    """
def runnerParallelSim(nSimulations: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt | typing.SupportsIndex) -> list[int]:
    """
    Run multiple simulations in parallel
    """
def runnerRareSampling(nSimulations: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], faultTree: FaultTree, seed: typing.SupportsInt | typing.SupportsIndex, biasWhileWorking: typing.SupportsFloat | typing.SupportsIndex, biasWhileDegraded: typing.SupportsFloat | typing.SupportsIndex, firstRun: typing.SupportsInt | typing.SupportsIndex = 0, withFailed: bool = False, demandChance: typing.SupportsFloat | typing.SupportsIndex = 0.0, lifeChance: typing.SupportsFloat | typing.SupportsIndex = 0.0, toHorizon: bool = False) -> tuple:
    """
    Runs of a model without interactions under failure biasing, each to its first system failure (with toHorizon, on to simTime, biased alike): the exponential failure rates of components whose working state (0) has only exponential transitions are multiplied by biasWhileWorking while every component works, and by biasWhileDegraded while some component is failed; every draw has 53 bits. A run's first draw below 0 is no transition, as in the crude runners, so a Uniform(a, b) with a < 0 < b in a working row fails on demand at the start with chance p = b / (b - a); with p below demandChance (in [0, 1)), it is drawn with that chance and weighed back. A Weibull, lognormal or gamma life in a working row (or an exponential one in a row that is not all exponential), drawn at unit t, ends before simTime with chance p = F(simTime - t); with p below lifeChance (in [0, 1)), it ends there with that chance (drawn from its law given so) and is weighed back. Returns (firstFailure, logWeight, cause), numpy arrays of one entry per run: the first unit that ended with the system failed (simTime if none), the log of the run's likelihood ratio, and the component whose transition turned the system failed then (-1 if none: no failure, or logic failed with every component working). The mean over runs of exp(logWeight) times (firstFailure <= t) estimates P(system failed by t). With withFailed, two more arrays: per run the number of components failed at its first failure (0 for a run that did not fail), and those components, one run after another. With toHorizon, three more: per run the units that ended with the system failed, its failures (units that ended failed after one that did not, or first), and the log of the likelihood ratio of its whole path, whose exponential times the downtime or failures estimates their expectations; the first failure's figures are those of a run that stops there. Run i of the call is the batch's run firstRun + i, seeded from (seed, firstRun + i) alone: the same numbers on any number of threads and however a batch is split into calls.
    """
def runnerRareSplitting(nRoots: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], faultTree: FaultTree, seed: typing.SupportsInt | typing.SupportsIndex, splits: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex] = [], levels: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex] = [], firstRoot: typing.SupportsInt | typing.SupportsIndex = 0, interactions: Interactions | None = None, causeFactors: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex] | None = None, startFactor: typing.SupportsFloat | typing.SupportsIndex | None = None) -> dict:
    """
    Roots of RESTART splitting of a model whose logic has or, and, atleast and order gates (pand, por: counted as and, or in the importance; a copy inherits the order seen), with or without interactions (tavoq.Interactions, as runnerStatistics takes them). The importance of a state is how many component failures (a group's leaf counts as one, planned states as failed) nearer the top is than with every component working, read after every move between working and down (with interactions: after every event, whole); levels are thresholds of it (default: 1, 2, ..., the failed system's, which is added last when missing). A trajectory that moves to a higher level than before is split at each level k it reached into splits[k - 1] (one per level but the last; default 1: crude runs): the retrials start from its state, their pending transitions drawn again from there, and each is dropped when it moves below level k. The system has failed at the end of a unit it ends down for a failure (planned stops are not failures); downtime counts every unit down. Retrials draw with 53 bits. With interactions, causeFactors (one number of at least 1 per common cause; None: chosen) draws each common cause that many times as often, a factor above 1 only on an exponential law: a common cause of several members, which jumps levels, is then met by many roots, and each path is weighed by its likelihood ratio and split by its weight. None biases the exponential causes that, striking with every component working, take the system two levels or more nearer failure, when together they would fire less than twice within simTime, so that they fire twice. With interactions, startFactor (a number of at least 1; None: chosen) draws the components' exponential rows from working states to failed ones that many times as often while the system is at its start level (importance 0), weighed likewise. None biases them when the rows of the states a run starts in would fire less than 0.2 times within simTime, so that they fire twice. Returns a dict: levels; weight, 1 / the product of splits, the weight of every failure; causeFactors, those used (one per common cause); startFactor, the one used; numpy arrays per root: hits (first failures of its paths), downtime and failures (summed over its trajectories), weightedDowntime and weightedFailures (the same weighed by the likelihood ratio: the units' ratio at each unit's end, the failure's at its unit), trajectories; per first failure in root order: hitRoot, failureUnit, failureWeight (the path's likelihood ratio then, 1 without bias), cause (the component whose transition failed the system then, -1 if none), failedCount (the components failed at the end of that unit; failed lists them, one failure after another); per level but the last, over all roots: crossings (up into it), born (retrials started there) and through (those that went on up). weight times the sum of a root's failureWeight estimates P(system failed by simTime). Root i of the call is root firstRoot + i, its trajectories seeded from (seed, root, trajectory) alone: the same numbers on any number of threads and however the roots are split into calls.
    """
def runnerSamples(runsPerSample: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, matrices: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]]], faultTree: FaultTree, seed: typing.SupportsInt | typing.SupportsIndex, firstRun: typing.SupportsInt | typing.SupportsIndex = 0, interactions: collections.abc.Sequence[Interactions] | None = None) -> dict:
    """
    The runs of models that differ only in their laws' parameters (the samples of an uncertainty analysis): run k of the call is run firstRun + k of the batch seeded seed, made with matrices[k // runsPerSample] and, when given, the interactions of the same index (one per matrix). So sample j's runs are those of runnerStatistics with its matrix seeded seed + firstRun + j * runsPerSample. Returns a dict of int64 numpy arrays, one entry per run in call order: systemFailures, downtime and firstFailureTimes (simTime for a run that never failed), as runnerStatistics counts them.
    """
def runnerSingleSim(simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt | typing.SupportsIndex) -> list[int]:
    """
    Run a single simulation
    """
@typing.overload
def runnerStatistics(nSimulations: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt | typing.SupportsIndex, binWidth: typing.SupportsInt | typing.SupportsIndex = 1, interactions: Interactions | None = None) -> RunStatistics:
    """
    Run the batch of runnerParallelSim (same runs, seeds and threads) and count, beside the failed runs, first failures, failures and downtime per run, per component and cut set what caused each system failure, and per component the first draws out of bounds. Writes nothing on the console. The matrix may be ragged: each component has as many states as its rows, and a row draws one number per state of its own component (the same draws as the other runners when all have as many). The curves (failedRuns, firstFailures) are kept per bin of binWidth time units (at least 1; the last bin may be shorter); every other figure is exact whatever the bins. Memory: 16 bytes a bin per thread and 32 more, plus 24 bytes a run.
    """
@typing.overload
def runnerStatistics(nSimulations: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: FaultTree, seed: typing.SupportsInt | typing.SupportsIndex, binWidth: typing.SupportsInt | typing.SupportsIndex = 1, interactions: Interactions | None = None) -> RunStatistics:
    """
    The same batch with the logic as a FaultTree, whose gates the engine evaluates as they are: a transition costs the gates whose output changes, not the cut sets. The tree needs the matrix's number of components and a top. Fills the per-gate arrays (gateDowntime, gateFailures, gateTriggered, gateDowntimeSquares); cutsetFailures is empty. The same logic as cut sets gives the same numbers in every other array. interactions (tavoq.Interactions or None): components acting on each other; the tree then has the matrix's components plus one leaf per standby group.
    """
