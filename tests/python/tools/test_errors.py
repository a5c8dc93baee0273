"""The bottom layer: the one integer check and the int32 wrap."""

import pytest

from tavoq_tools.errors import INT32_MAX, INT32_MIN, ModelError, check_integer, wrap_int32


@pytest.mark.parametrize(
    ("value", "low", "message"),
    [
        (0, 1, "runs must be a positive integer up to 2147483647, got 0"),
        (-1, 0, "runs must be a non-negative integer up to 2147483647, got -1"),
        (INT32_MAX + 1, INT32_MIN, "runs must be an integer from -2147483648 up to"),
        (True, 1, "got True"),
        (2.0, 1, "got 2.0"),
        ("5", 1, 'got "5"'),
    ],
)
def test_check_integer_refuses_with_one_wording(value, low, message):
    with pytest.raises(ValueError, match=message):
        check_integer("runs", value, low)


def test_check_integer_raises_the_error_it_is_given():
    with pytest.raises(ModelError) as info:
        check_integer("simulation.runs", 0, error=ModelError)
    assert info.value.key == "simulation.runs"
    assert str(info.value).startswith("simulation.runs: must be a positive integer")
    assert check_integer("x", INT32_MIN, INT32_MIN) == INT32_MIN


@pytest.mark.parametrize(
    ("value", "wrapped"),
    [(INT32_MAX + 1, INT32_MIN), (INT32_MIN - 1, INT32_MAX), (2**32 + 5, 5), (-7, -7)],
)
def test_wrap_int32_is_twos_complement(value, wrapped):
    assert wrap_int32(value) == wrapped
