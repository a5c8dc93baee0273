"""The model layer: a system as plain data, its failure logic and the TOML model file.

``system`` holds the dataclasses, ``logic`` the failure-logic expressions, ``graph`` the
logic as a graph of gates (what the engine evaluates), ``cutsets`` the counting and listing
of its minimal cut sets, ``plant`` the components that act on each other (state kinds, repair
crews, standby groups, common causes, triggers), ``file`` the reader of model files (TOML,
and through ``galileo``, ``open_psa`` and ``fault_tree`` the fault trees of other tools),
``toml_writer`` the writer of TOML model files.
"""

from ..errors import ModelError
from .file import load_model, model_from_dict
from .plant import CommonCause, CrewPool, Move, StandbyGroup, Trigger
from .system import Component, Model, Simulation, Transition

__all__ = [
    "CommonCause",
    "Component",
    "CrewPool",
    "Model",
    "ModelError",
    "Move",
    "Simulation",
    "StandbyGroup",
    "Transition",
    "Trigger",
    "load_model",
    "model_from_dict",
]
