# Made by pybind11-stubgen from the built module (pybind11-stubgen tavoq -o DIR), with two
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
__all__: list[str] = ['CutsetTree', 'Distribution', 'Exponential', 'Inspection', 'InstantaneousFailure', 'Maintenance', 'Normal', 'RunStatistics', 'Uniform', 'Weibull', 'limitOMPThreads', 'reportSIMDSupport', 'runnerMultipleSim', 'runnerParallelSim', 'runnerSingleSim', 'runnerStatistics']
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
class RunStatistics:
    """
    What runnerStatistics counted over a batch. Arrays are read-only numpy int64 views.
    """
    @property
    def componentDowntime(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per component: time units at which it is failed, over all runs
        """
    @property
    def componentFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per component: transitions from state 0 to a failed state
        """
    @property
    def cutsetFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per stored cut set (getCutsets order): system failures at which the causing transition completed it
        """
    @property
    def downtime(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per run: time units at which the system is failed
        """
    @property
    def failedRuns(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per time unit: runs whose system is failed then
        """
    @property
    def firstFailures(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        Per time unit: runs whose system is failed then for the first time
        """
    @property
    def nSimulations(self) -> int:
        ...
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
def limitOMPThreads(maxThreads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Limit the number of OMP threads
    """
def reportSIMDSupport() -> None:
    """
    Report SIMD support status
    """
def runnerMultipleSim(nSimulations: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt | typing.SupportsIndex) -> list[int]:
    """
    Run multiple simulations on a single thread
    """
def runnerParallelSim(nSimulations: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt | typing.SupportsIndex) -> list[int]:
    """
    Run multiple simulations in parallel
    """
def runnerSingleSim(simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt | typing.SupportsIndex) -> list[int]:
    """
    Run a single simulation
    """
def runnerStatistics(nSimulations: typing.SupportsInt | typing.SupportsIndex, simTime: typing.SupportsInt | typing.SupportsIndex, transitionsMatrix: collections.abc.Sequence[collections.abc.Sequence[collections.abc.Sequence[Distribution]]], cutSetTree: CutsetTree, seed: typing.SupportsInt | typing.SupportsIndex) -> RunStatistics:
    """
    Run the batch of runnerParallelSim (same runs, seeds and threads) and count, beside the failed runs per time unit, first failures, failures and downtime per run, and per component and cut set what caused each system failure. Writes no progress lines. Memory: the per-time-unit arrays once per thread, plus 16 bytes a run.
    """
