"""How a run's curves are laid out: the bins of a horizon, the one rule every runner asks."""

from __future__ import annotations

import math

__all__ = ["DEFAULT_POINTS", "bin_width_for"]

# Points of the curves (point unavailability, R(t)) unless the caller says: a horizon of
# more units is binned, so that memory grows with the runs and the points, not the horizon.
DEFAULT_POINTS = 2_000


def bin_width_for(horizon: int, points: int) -> int:
    """Time units per bin so that the curves of ``horizon`` units have at most ``points``
    entries: 1 (every unit) when the horizon is no longer."""
    return max(1, math.ceil(horizon / points))
