"""Keeping what the classic runners write on file descriptor 1 off the terminal."""

import os

import pytest

import tavoq
import tavoq_tools as report

from .batches import repairable_component


def test_native_stdout_silenced_hides_progress_lines_only(capfd):
    matrix = [repairable_component()]
    tree = tavoq.CutsetTree(1)
    tree.insertNode([1])
    print("before", flush=True)
    with report.native_stdout_silenced():
        counts = tavoq.runnerMultipleSim(3, 20, matrix, tree, 1)
        os.write(1, b"raw write\n")
    print("after", flush=True)
    out = capfd.readouterr().out
    assert len(counts) == 20
    assert out == "before\nafter\n"


def test_native_stdout_silenced_restores_descriptor_after_error(capfd):
    with pytest.raises(RuntimeError), report.native_stdout_silenced():
        raise RuntimeError("boom")
    os.write(1, b"visible\n")
    assert capfd.readouterr().out == "visible\n"


def test_silenced_stdout_nests(tmp_path, capfd):
    # A signal handler that runs inside a native call may run another batch: the inner
    # redirection must neither wait on the outer one nor lose what either caught.
    import threading

    inner, outer = tmp_path / "inner", tmp_path / "outer"

    def nested():
        with report.native_stdout_silenced(str(outer)):
            with report.native_stdout_silenced(str(inner)):
                os.write(1, b"inner\n")
            os.write(1, b"outer\n")

    worker = threading.Thread(target=nested, daemon=True)
    worker.start()
    worker.join(30)
    assert not worker.is_alive(), "the nested redirection waited on the outer one"
    assert (inner.read_text(), outer.read_text()) == ("inner\n", "outer\n")
    assert capfd.readouterr().out == ""
