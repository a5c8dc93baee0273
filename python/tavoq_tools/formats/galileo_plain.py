"""The draft of a Galileo file of the static shapes that large files are made of, read in one
native pass (tavoq.readPlainGalileo): gates ``and``, ``or``, ``KofN`` and ``votK`` over
names, basic events of ``lambda``, ``prob``, ``repair``, ``dorm`` and ``phases``. It is the
draft that tavoq_tools.formats.galileo's reader gives for the same text; any other text, or
one with a fault, gives None, and that reader reads it and says what is wrong.
"""

from __future__ import annotations

import tavoq

from .fault_tree import Event, Formula, TreeDraft

__all__ = ["plain_draft"]


def plain_draft(text: str) -> TreeDraft | None:
    """The draft of the text, or None when it is not plain or has a fault."""
    read = tavoq.readPlainGalileo(text, Event, Formula)
    if read is None:
        return None
    events, gates, top, top_where, order = read
    # Its gates' inputs are names, each defined.
    return TreeDraft("Galileo", events, gates, top, top_where, order=order, nested=set())
