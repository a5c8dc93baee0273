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
