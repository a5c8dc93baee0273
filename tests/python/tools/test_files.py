"""The summary's files and the all-or-nothing writer."""

import csv
import json
import os
import signal
import sys
from pathlib import Path

import pytest

import tavoq_tools as report
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
