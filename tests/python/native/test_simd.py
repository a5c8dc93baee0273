"""reportSIMDSupport: one line naming what the processor offers."""

import pytest

import tavoq

SIMD_LINES = {
    "AVX512 support is available.",
    "AVX2 support is available.",
    "No AVX2 or AVX512 support detected. Using fallback.",
}


def _cpu_flags():
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        return None
    return None


def test_report_simd_support_prints_one_line(capfd):
    assert tavoq.reportSIMDSupport() is None
    out, err = capfd.readouterr()
    assert err == ""
    assert out.endswith("\n")
    lines = out.splitlines()
    assert len(lines) == 1
    assert lines[0] in SIMD_LINES


def test_report_simd_support_repeats_same_line(capfd):
    tavoq.reportSIMDSupport()
    first = capfd.readouterr().out
    tavoq.reportSIMDSupport()
    tavoq.reportSIMDSupport()
    assert capfd.readouterr().out == first * 2


def test_report_simd_support_matches_cpu_flags(capfd):
    flags = _cpu_flags()
    if flags is None:
        pytest.skip("no /proc/cpuinfo flags on this machine")
    tavoq.reportSIMDSupport()
    line = capfd.readouterr().out.strip()
    # The kernel lists a feature only when it also enables its register state.
    if "avx512f" in flags:
        assert line == "AVX512 support is available."
    elif "avx2" in flags and "avx" in flags:
        assert line == "AVX2 support is available."
    else:
        assert line == "No AVX2 or AVX512 support detected. Using fallback."


def test_report_simd_support_takes_no_arguments():
    with pytest.raises(TypeError):
        tavoq.reportSIMDSupport(1)
