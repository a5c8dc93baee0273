"""Analyses built on batches of runs: importance measures of components and gates."""

from .importance import BASES, Importance, ImportanceResult, NodeImportance

__all__ = ["BASES", "Importance", "ImportanceResult", "NodeImportance"]
