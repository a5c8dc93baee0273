"""The summary's files and the all-or-nothing writer."""

import csv
import errno
import json
import os
import signal
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import tavoq_tools as report
from tavoq_tools.output.atomic import (
    LOCK_NAME,
    LockRefusedError,
    NotAFileError,
    directory_lock,
    recover,
    write_files,
)
from tavoq_tools.output.files import curves_csv

from .batches import plant_stats, six_runs, stats_from_runs


def test_outputs_round_trip_and_match_the_summary(tmp_path):
    sm = report.summarize(six_runs(), component_names=["a", "b", "c"], unit="h")
    written = report.write_outputs(sm, tmp_path / "out", figure=False)
    assert sorted(p.name for p in written) == [
        "components.csv",
        "curves.csv",
        "cutsets.csv",
        "gates.csv",
        "summary.json",
    ]
    data = json.loads(
        (tmp_path / "out" / "summary.json").read_text(),
        parse_constant=lambda c: pytest.fail(f"{c} in JSON"),
    )
    assert data == sm.to_dict()
    assert data["mtbf"]["lower"] == 0.0 and data["mean_time_to_failure"] is None
    with open(tmp_path / "out" / "curves.csv", newline="") as f:
        curves = list(csv.DictReader(f))
    assert [int(row["time"]) for row in curves] == [0, 1, 2, 3]
    assert [float(row["unavailability_upper"]) for row in curves] == list(
        sm.unavailability.upper
    )  # full precision, bit for bit
    assert [float(row["reliability"]) for row in curves] == list(sm.reliability.value)
    with open(tmp_path / "out" / "components.csv", newline="") as f:
        components = list(csv.DictReader(f))
    assert [row["name"] for row in components] == ["a", "b", "c"]
    assert float(components[0]["criticality"]) == 0.6
    with open(tmp_path / "out" / "cutsets.csv", newline="") as f:
        assert [row["index"] for row in csv.DictReader(f)] == ["0", "2", "1"]  # largest first
    nothing = report.summarize(stats_from_runs([[0, 0]] * 3, components=[(0, 0, 0)]))
    report.write_outputs(nothing, tmp_path / "none", figure=False)
    with open(tmp_path / "none" / "components.csv", newline="") as f:
        assert next(csv.DictReader(f))["criticality"] == ""  # None is an empty cell


def test_outputs_are_written_as_one_set(tmp_path, monkeypatch):
    sm = report.summarize(six_runs())
    out = tmp_path / "out"
    out.mkdir()
    (out / "curves.csv").write_text("previous\n")
    real_write_bytes = Path.write_bytes
    calls = []

    def fail_at_the_third(self, data):
        calls.append(self)
        if len(calls) == 3:
            real_write_bytes(self, data[: len(data) // 2])
            raise OSError(28, "No space left on device")
        return real_write_bytes(self, data)

    monkeypatch.setattr(Path, "write_bytes", fail_at_the_third)
    with pytest.raises(OSError, match="cannot write .*components.csv: No space left"):
        report.write_outputs(sm, out, figure=False)
    monkeypatch.undo()
    # Neither the two files complete before the failure nor any temporary is left.
    assert sorted(p.name for p in out.iterdir()) == ["curves.csv"]
    assert (out / "curves.csv").read_text() == "previous\n"
    # A directory made for the set is removed with it.
    monkeypatch.setattr(Path, "write_bytes", fail_at_the_third)
    calls.clear()
    with pytest.raises(OSError):
        report.write_outputs(sm, tmp_path / "new" / "deeper", figure=False)
    monkeypatch.undo()
    assert not (tmp_path / "new").exists()


def test_a_rename_that_fails_puts_back_the_files_already_renamed(tmp_path, monkeypatch):
    sm = report.summarize(six_runs())
    (tmp_path / "summary.json").write_text("old summary\n")
    (tmp_path / "cutsets.csv").write_text("old cut sets\n")
    real_replace = os.replace

    def refuse_the_third(source, target):
        if Path(target).name == "components.csv":  # third of the set, after two renames
            raise OSError(1, "Operation not permitted")
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", refuse_the_third)
    with pytest.raises(OSError, match="cannot write .*components.csv: Operation not permitted"):
        report.write_outputs(sm, tmp_path, figure=False)
    monkeypatch.undo()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cutsets.csv", "summary.json"]
    assert (tmp_path / "summary.json").read_text() == "old summary\n"
    assert (tmp_path / "cutsets.csv").read_text() == "old cut sets\n"
    report.write_outputs(sm, tmp_path, figure=False)  # and then the whole new set
    assert json.loads((tmp_path / "summary.json").read_text()) == sm.to_dict()
    assert len(list(tmp_path.iterdir())) == 5


def test_ctrl_c_while_the_files_are_placed_waits_for_the_whole_set(tmp_path, monkeypatch):
    sm = report.summarize(six_runs())
    real_replace = os.replace

    def replace_then_interrupt(source, target):
        real_replace(source, target)
        os.kill(os.getpid(), signal.SIGINT)  # held off until every file is in place

    monkeypatch.setattr(os, "replace", replace_then_interrupt)
    with pytest.raises(KeyboardInterrupt):
        report.write_outputs(sm, tmp_path, figure=False)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "components.csv",
        "curves.csv",
        "cutsets.csv",
        "gates.csv",
        "summary.json",
    ]


def test_outputs_without_matplotlib_skip_only_the_figure(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    written = report.write_outputs(report.summarize(six_runs()), tmp_path)
    assert len(written) == 5 and not (tmp_path / "summary.png").exists()
    assert "matplotlib" in capsys.readouterr().err


def test_a_directory_lock_is_held_once_and_leaves_nothing(tmp_path):
    from tavoq_tools.output.atomic import LOCK_NAME, DirectoryBusyError, directory_lock

    new, old = tmp_path / "new" / "deeper", tmp_path / "old"
    old.mkdir()
    for directory in (new, old):
        with directory_lock(directory):
            assert (directory / LOCK_NAME).is_file()
            with pytest.raises(DirectoryBusyError, match="is being written by another"):
                with directory_lock(directory):
                    pass
            assert (directory / LOCK_NAME).is_file()  # the refused one left it alone
    assert not (tmp_path / "new").exists()  # made for the lock, and empty again
    assert list(old.iterdir()) == []


def test_a_lock_file_removed_before_it_was_locked_is_taken_again(tmp_path, monkeypatch):
    # The holder lets go (removing the file) between the open and the flock of the next one:
    # that one's lock is on a file no other run can find, so it must lock the new file.
    import fcntl

    from tavoq_tools.output.atomic import LOCK_NAME, DirectoryBusyError, directory_lock

    real_flock, opened = fcntl.flock, []

    def flock_after_the_holder_let_go(fd, operation):
        opened.append(fd)
        if len(opened) == 1:
            (tmp_path / LOCK_NAME).unlink()
        return real_flock(fd, operation)

    monkeypatch.setattr(fcntl, "flock", flock_after_the_holder_let_go)
    with directory_lock(tmp_path):
        assert len(opened) == 2  # the file it found was gone: it opened and locked the new one
        with pytest.raises(DirectoryBusyError):  # which another run finds, and is refused
            with directory_lock(tmp_path):
                pass


def test_curves_csv_gets_the_planned_columns_only_with_planned_stops():
    planned = curves_csv(report.summarize(plant_stats())).splitlines()
    assert planned[0].endswith(",planned,planned_lower,planned_upper")
    assert planned[1].split(",")[7] == "0.25"
    plain = curves_csv(report.summarize(six_runs())).splitlines()
    assert "planned" not in plain[0]


def test_curves_csv_gives_the_model_time_when_a_unit_is_not_one_of_it():
    # A converted fault tree runs in steps of 0.5 h: the rows keep their unit numbers and
    # say where each bin starts in hours. Models in whole units keep their columns.
    rows = list(csv.DictReader(curves_csv(report.summarize(six_runs(), step=0.5)).splitlines()))
    assert [(int(r["time"]), float(r["model_time"])) for r in rows] == [
        (0, 0.0),
        (1, 0.5),
        (2, 1.0),
        (3, 1.5),
    ]
    assert "model_time" not in curves_csv(report.summarize(six_runs())).splitlines()[0]


def fifo_reader(path):
    """Reads the FIFO ``path`` to its end in a thread; call the result for the bytes read."""
    import threading

    got = []
    thread = threading.Thread(target=lambda: got.append(Path(path).read_bytes()), daemon=True)
    thread.start()

    def result():
        thread.join(timeout=60)
        return got[0]

    return result


@pytest.mark.parametrize("through_link", [False, True], ids=["fifo", "link-to-fifo"])
def test_a_fifo_is_written_as_a_stream_and_stays_a_fifo(tmp_path, through_link):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    target = fifo
    if through_link:
        target = tmp_path / "figure.png"
        target.symlink_to(fifo)
    read = fifo_reader(fifo)
    written = write_files({target: b"png bytes", tmp_path / "file.csv": b"a,b\n"})
    assert written == [target, tmp_path / "file.csv"]
    assert read() == b"png bytes"
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and target.is_symlink() == through_link
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["pipe", "file.csv", *(["figure.png"] if through_link else [])]
    )


def test_a_link_to_an_open_descriptor_is_written_through_and_stays_a_link(tmp_path):
    # /dev/stdout of a command whose output goes to a file opened with >>: the data is added
    # to that file, and the link is not replaced by a file of its own.
    log = tmp_path / "log.txt"
    log.write_bytes(b"earlier\n")
    with open(log, "ab") as appending:
        link = tmp_path / "stdout.toml"
        link.symlink_to(f"/proc/self/fd/{appending.fileno()}")
        write_files({link: b"model\n"})
    assert log.read_bytes() == b"earlier\nmodel\n"
    assert link.is_symlink()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["log.txt", "stdout.toml"]


def test_a_socket_is_refused_as_an_output(tmp_path):
    import socket

    path = tmp_path / "s.png"
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(path))
        with pytest.raises(NotAFileError, match="s.png is a socket"):
            write_files({path: b"x"})
    assert stat.S_ISSOCK(os.lstat(path).st_mode)


def test_a_failed_set_puts_back_an_output_that_was_a_link(tmp_path, monkeypatch):
    elsewhere = tmp_path / "kept" / "summary.json"
    elsewhere.parent.mkdir()
    elsewhere.write_text("the linked summary\n")
    out = tmp_path / "out"
    out.mkdir()
    (out / "summary.json").symlink_to(elsewhere)
    real_replace = os.replace

    def refuse_the_third(source, target):
        if Path(target).name == "components.csv":
            raise OSError(1, "Operation not permitted")
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", refuse_the_third)
    with pytest.raises(OSError, match="cannot write .*components.csv"):
        report.write_outputs(report.summarize(six_runs()), out, figure=False)
    monkeypatch.undo()
    assert [p.name for p in out.iterdir()] == ["summary.json"]
    assert os.readlink(out / "summary.json") == str(elsewhere)
    assert elsewhere.read_text() == "the linked summary\n"


@pytest.mark.parametrize("planted", ["link", "fifo", "dangling-link"])
def test_a_lock_file_that_is_not_a_plain_file_is_refused_and_not_followed(tmp_path, planted):
    target = tmp_path / "elsewhere"
    directory = tmp_path / "out"
    directory.mkdir()
    lock = directory / LOCK_NAME
    if planted == "fifo":
        os.mkfifo(lock)
    else:
        if planted == "link":
            target.write_text("someone's file\n")
        lock.symlink_to(target)
    message = "is a symbolic link" if "link" in planted else "is not a plain file"
    with pytest.raises(LockRefusedError, match=message):
        with directory_lock(directory):
            pytest.fail("the lock was taken")
    assert os.path.lexists(lock)  # not ours: left as it was
    assert target.read_text() == "someone's file\n" if planted == "link" else not target.exists()


@pytest.mark.parametrize("code", [errno.ENOLCK, errno.EOPNOTSUPP])
def test_a_file_system_without_locks_is_refused_and_leaves_nothing(tmp_path, monkeypatch, code):
    import fcntl

    def no_locks(fd, operation):
        raise OSError(code, os.strerror(code))

    monkeypatch.setattr(fcntl, "flock", no_locks)
    with pytest.raises(LockRefusedError, match="the file system does not support locks"):
        with directory_lock(tmp_path / "new" / "out"):
            pytest.fail("the lock was taken")
    assert list(tmp_path.iterdir()) == []


# A writer that kills itself (SIGKILL: nothing of it runs after) at the third call of os.fsync
# (a temporary being made) or os.replace (the renames half done).
KILLED_WHILE_WRITING = """
import os, signal, sys
from pathlib import Path
from tavoq_tools.output.atomic import JOURNAL_NAME, write_files

directory, moment = Path(sys.argv[1]), sys.argv[2]
calls = []

def killing(name, real):
    def call(*args):
        result = real(*args)
        calls.append(name)
        if name == moment and calls.count(name) == 3:
            os.kill(os.getpid(), signal.SIGKILL)
        return result
    return call

os.fsync = killing("fsync", os.fsync)
os.replace = killing("replace", os.replace)
files = {directory / f"part{i}.csv": b"new\\n" * 100_000 for i in range(5)}
write_files(files, journal=directory / JOURNAL_NAME)
"""


@pytest.mark.parametrize("moment", ["fsync", "replace"], ids=["staging", "renames"])
def test_what_a_killed_writer_left_is_finished_or_removed(tmp_path, moment):
    names = [f"part{i}.csv" for i in range(5)]
    for name in names:
        (tmp_path / name).write_text("old\n")
    killed = subprocess.run(
        [sys.executable, "-c", KILLED_WHILE_WRITING, str(tmp_path), moment],
        capture_output=True,
        timeout=120,
        check=False,
    )
    assert killed.returncode == -signal.SIGKILL, killed.stderr
    assert len(list(tmp_path.iterdir())) > len(names)  # temporaries, copies, the journal
    said = recover(tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == names
    contents = {(tmp_path / name).read_bytes() for name in names}
    if moment == "fsync":  # killed before any rename: the old set stays
        assert contents == {b"old\n"}
        assert said is not None and "left 1 file unfinished: removed" in said
    else:  # three renames made: the other two are put in place
        assert contents == {b"new\n" * 100_000}
        assert said is not None and "the other 2 files put in place" in said
    assert recover(tmp_path) is None  # and nothing is left to do
