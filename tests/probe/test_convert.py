"""to_int and get_bit_depth."""

import pytest

import avwatch


@pytest.mark.parametrize("value, expected", [
    ("128000", 128000), ("29.97", 29), (29.97, 29), (-2.5, -2), ("-2.5", -2), ("1e3", 1000),
    ("  12.7  ", 12), (True, 1), (False, 0), ("1_000", 1000), (2**53 + 1, 2**53), ("+7", 7), (5, 5),
])
def test_to_int_truncates_through_float(value, expected):
    result = avwatch.to_int(value)
    assert result == expected and type(result) is int


@pytest.mark.parametrize("value, error", [
    ("", ValueError), ("N/A", ValueError), (None, TypeError), ([], TypeError),
    ("inf", OverflowError), (float("-inf"), OverflowError), (10**400, OverflowError),
    ("nan", ValueError), (float("nan"), ValueError),
])
def test_to_int_passes_on_the_interpreters_errors(value, error):
    with pytest.raises(error) as raised:
        avwatch.to_int(value)
    try:
        int(float(value))
    except Exception as expected:
        assert type(raised.value) is type(expected) and str(raised.value) == str(expected)


@pytest.mark.parametrize("names, depth", [
    (["s16", "s16p", "xs16x", "fltps16"], 16),
    (["s32", "s32p", "flt", "fltp"], 32),
    (["dbl", "dblp", "s64", "s64p"], 64),
    (["u8", "u8p", "", "S16", "FLT", "pcm"], 8),
])
def test_bit_depth_by_fragment(names, depth):
    for name in names:
        assert avwatch.get_bit_depth(name) == depth, name


@pytest.mark.parametrize("container, depth", [
    (["s16", "x"], 16), (("flt",), 32), ({"dbl": 1}, 64), (["s16p"], 8), (b"s16", 8),
])
def test_bit_depth_tests_membership_in_containers(container, depth):
    if isinstance(container, bytes):
        with pytest.raises(TypeError):
            avwatch.get_bit_depth(container)
    else:
        assert avwatch.get_bit_depth(container) == depth


@pytest.mark.parametrize("value", [None, 16, 1.5])
def test_bit_depth_rejects_values_without_membership(value):
    with pytest.raises(TypeError):
        avwatch.get_bit_depth(value)
