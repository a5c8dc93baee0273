"""The model layer: a system as plain data and its failure logic, whatever file it came from.

``system`` holds the dataclasses, ``logic`` the failure-logic expressions, ``graph`` the
logic as a graph of gates (what the engine evaluates), ``cutsets`` the counting and listing
of its minimal cut sets, ``interactions`` the components that act on each other (state kinds, repair
crews, standby groups, common causes, triggers). The file formats that make a model, and the
writer of TOML files, stand in the layer above (``tavoq_tools.formats``).
"""

from ..errors import ModelError
from .interactions import CommonCause, CrewPool, Move, StandbyGroup, Trigger
from .system import Component, Model, RunSettings, Simulation, Transition

__all__ = [
    "CommonCause",
    "Component",
    "CrewPool",
    "Model",
    "ModelError",
    "Move",
    "RunSettings",
    "Simulation",
    "StandbyGroup",
    "Transition",
    "Trigger",
]
