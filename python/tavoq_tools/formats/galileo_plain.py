"""The draft of a Galileo file read in one native pass (tavoq.readPlainGalileo): gates ``and``,
``or``, ``KofN``, ``votK``, ``pand`` and ``por`` over names, spare gates, ``fdep``, ``pdep``,
``seq`` and ``mutex``, basic events of ``lambda``, ``prob``, ``repair``, ``dorm`` and
``phases``. It is the draft that tavoq_tools.formats.galileo's reader gives for the same
text; a text that is not ASCII, or one with a fault, gives None, and that reader reads it and
says what is wrong.
"""

from __future__ import annotations

import tavoq

from .fault_tree import Dependency, Event, Formula, Restriction, Spare, TreeDraft

__all__ = ["plain_draft"]


def plain_draft(text: str) -> TreeDraft | None:
    """The draft of the text, or None when it is not read natively or has a fault."""
    read = tavoq.readPlainGalileo(text, Event, Formula, Spare, Dependency, Restriction)
    if read is None:
        return None
    events, gates, spares, dependencies, restrictions, top, top_where, order = read
    return TreeDraft(
        "Galileo",
        events,
        gates,
        top,
        top_where,
        spares=spares,
        dependencies=dependencies,
        restrictions=restrictions,
        order=order,
        nested=set(),  # its gates' inputs are names, each defined
    )
