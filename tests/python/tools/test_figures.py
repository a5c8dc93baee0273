"""The summary's figure."""

import pytest

import tavoq_tools as report

from .batches import six_runs


def test_figure_is_written_whole_or_not_at_all(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    sm = report.summarize(six_runs())
    written = report.write_outputs(sm, tmp_path / "ok")
    assert (tmp_path / "ok" / "summary.png") in written
    assert (tmp_path / "ok" / "summary.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    real_savefig = Figure.savefig

    def broken_savefig(self, fname, **kwargs):
        real_savefig(self, fname, **kwargs)
        raise RuntimeError("renderer failed")

    monkeypatch.setattr(Figure, "savefig", broken_savefig)
    with pytest.raises(RuntimeError, match="renderer failed"):
        report.plot_summary(sm, tmp_path / "bad" / "summary.png")
    assert not (tmp_path / "bad").exists()


def test_gates_get_a_panel_of_their_own(monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from tavoq_tools.output.figures import figure_png

    from .test_summary import with_gates

    base = six_runs()
    stats = with_gates(base, [list(base.downtime)], [5], [5])
    titles = []
    real_savefig = Figure.savefig

    def record(self, *args, **kwargs):
        titles.extend(ax.get_title() for ax in self.axes)
        return real_savefig(self, *args, **kwargs)

    monkeypatch.setattr(Figure, "savefig", record)
    figure_png(report.summarize(base))
    assert not any("gates" in t for t in titles)
    titles.clear()
    png = figure_png(report.summarize(stats, gates=[("top", 0)]))
    assert png is not None and png.startswith(b"\x89PNG")
    assert "Criticality of the gates (5 system failures)" in titles


def test_the_longest_names_keep_the_figure_quiet_and_apart():
    # At the longest name a model file allows, the labels are cut in the middle: the figure
    # still lays out (matplotlib would warn, and the warning fail the test), and the members
    # of a group keep their distinct ends.
    pytest.importorskip("matplotlib")
    from tavoq_tools.model.logic import MAX_NAME_LENGTH
    from tavoq_tools.output.figures import MAX_LABEL, _label, figure_png

    names = [f"{'p' * MAX_NAME_LENGTH}_{i}" for i in (1, 2, 1000)]
    labels = [_label(name) for name in names]
    assert len(set(labels)) == 3 and all(len(label) == MAX_LABEL for label in labels)
    assert _label("pump_a") == "pump_a"
    sm = report.summarize(six_runs(), component_names=names)
    assert figure_png(sm).startswith(b"\x89PNG")


def test_curve_legends_hide_no_data(monkeypatch):
    # A planned spike reaches 1 while the rest of the curve lies near 0: no corner of the
    # axes is free, so the legends of both curves stand outside their axes.
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    from tavoq_tools.output.figures import figure_png

    from .batches import plant_stats

    overlaps = {}
    real_savefig = Figure.savefig

    def record(self, *args, **kwargs):
        result = real_savefig(self, *args, **kwargs)  # lays the figure out first
        for ax in self.axes:
            legend = ax.get_legend()
            if legend is not None and ax.get_title().startswith(("Unavailability", "Reliab")):
                box = legend.get_window_extent()
                overlaps[ax.get_title()] = box.overlaps(ax.get_window_extent())
        return result

    monkeypatch.setattr(Figure, "savefig", record)
    figure_png(report.summarize(plant_stats(), crew_pools=[("mechanics", 2), ("e", 1)]))
    assert len(overlaps) == 2 and not any(overlaps.values())
