"""The file formats of models, above the model layer: ``file`` reads model files (TOML, and
through ``galileo``, ``open_psa`` and ``fault_tree`` the fault trees of other tools),
``toml_writer`` writes TOML model files. Importing the model layer loads none of them.
"""

from .file import load_model, model_from_dict

__all__ = ["load_model", "model_from_dict"]
