"""The plan of a run: the bins of its curves and what its results need on the Python side.

Every runner, the command's memory check and the Dask entry point ask ``plan_run``, so that
one rule lays out the curves of a horizon.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from ..errors import check_integer
from ..results.counts import bin_count
from .memory import python_side_bytes

__all__ = ["DEFAULT_POINTS", "RunPlan", "bin_width_for", "plan_run"]

# Points of the curves (point unavailability, R(t)) unless the caller says: a horizon of
# more units is binned, so that memory grows with the runs and the points, not the horizon.
DEFAULT_POINTS = 2_000


def bin_width_for(horizon: int, points: int) -> int:
    """Time units per bin so that the curves of ``horizon`` units have at most ``points``
    entries: 1 (every unit) when the horizon has at most ``points`` units."""
    return max(1, math.ceil(horizon / points))


@dataclass(frozen=True)
class RunPlan:
    """The curves of a run of ``horizon`` units: ``bins`` entries of ``bin_width`` units
    each (the last may be shorter)."""

    horizon: int
    bin_width: int

    @property
    def bins(self) -> int:
        return bin_count(self.horizon, self.bin_width)

    def python_bytes(self, runs: int) -> int:
        """An upper estimate of what ``runs`` runs hold on the Python side beside the engine's
        call (tavoq_tools.run.memory)."""
        return python_side_bytes(runs, self.bins)


def plan_run(horizon: int, points: int | None = None) -> RunPlan:
    """The plan of a run of ``horizon`` units whose curves have at most ``points`` entries
    (DEFAULT_POINTS when None)."""
    points = DEFAULT_POINTS if points is None else check_integer("points", points)
    return RunPlan(horizon, bin_width_for(horizon, points))
