"""The capture of what the engine writes on file descriptor 1."""

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


def test_engine_lines_shuffled_by_two_threads_are_still_counted():
    from tavoq_tools.run import native_output as console

    prefix = console.OUT_OF_RANGE_PREFIX.encode()
    # Two threads' lines cut into their pieces and interleaved; one draw past the largest;
    # another thread's lines, one with a negative number, which are not draws.
    text = (
        prefix
        + prefix
        + b"-49.9163-33.656  0.364461\n0.25\n"
        + prefix
        + b"2.30882e+09  0.9\nline B: temperature -40.5\n"
        + prefix
        + b"-inf  0\n"
        + b"-7 degrees\n"
    )
    negative, others = console._sort_engine_lines(text)
    assert negative == [b"-49.9163", b"-33.656", b"-inf"]
    assert others == b"line B: temperature -40.5\n-7 degrees\n"
    assert console._sort_engine_lines(prefix + b"2.30882e+09  0.9\n") == ([], b"")
    assert console._sort_engine_lines(b"-3 somebody else's\n") == ([], b"-3 somebody else's\n")


def test_engine_output_is_given_back_and_warned_about_once(capfd):
    from tavoq_tools.run import native_output as console

    prefix = console.OUT_OF_RANGE_PREFIX.encode()
    with pytest.warns(console.NegativeDelayWarning, match="^2 first draws .* -1.5") as caught:
        with console.engine_output_as_warnings():
            os.write(1, prefix + b"-1.5  0.2\nsomebody else's line\n" + prefix + b"-2  0.1\n")
    assert [w.message.count for w in caught] == [2]
    # After an error the other lines still come back, and no warning qualifies a failed batch.
    with pytest.raises(KeyError), console.engine_output_as_warnings():
        os.write(1, prefix + b"-1.5  0.2\nlast words\n")
        raise KeyError("the batch failed")
    assert capfd.readouterr().out == "somebody else's line\nlast words\n"


def test_engine_output_captures_nest(capfd):
    # A signal handler that runs inside a native call may run another batch: the inner
    # capture must neither wait on the outer one nor lose what either caught.
    import threading

    from tavoq_tools.run import native_output as console

    def nested():
        with console.engine_output_as_warnings():
            with console.engine_output_as_warnings():
                os.write(1, b"inner\n")
            os.write(1, b"outer\n")

    worker = threading.Thread(target=nested, daemon=True)
    worker.start()
    worker.join(30)
    assert not worker.is_alive(), "the nested capture waited on the outer one"
    assert capfd.readouterr().out == "inner\nouter\n"
