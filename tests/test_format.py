"""Display text for shapes and byte sizes."""
import numpy as np
import pytest

from nivra.viz import encode


@pytest.mark.parametrize("size, text", [
    (0, "0 B"), (1023, "1023 B"), (-5, "-5 B"), (True, "1 B"),
    (1024, "1.0 KB"), (1536, "1.5 KB"), (1075, "1.0 KB"), (1126, "1.1 KB"), (1536.9, "1.5 KB"),
    (1048575, "1024.0 KB"), (1048576, "1.0 MB"),
    (1073741823, "1024.0 MB"), (1073741824, "1.00 GB"), (1610612736, "1.50 GB"),
    (1024 ** 4, "1024.00 GB"), (10 ** 30, "931322574615478534144.00 GB"),
])
def test_format_size(size, text):
    assert encode.format_size(size) == text


def test_format_size_rounds_like_the_host():
    for size in list(range(1024, 400000, 37)) + list(range(1048576, 1048576 * 900, 1048576 * 7 + 13)):
        expected = f"{size / 1024:.1f} KB" if size < 1048576 else f"{size / 1048576:.1f} MB"
        assert encode.format_size(size) == expected


@pytest.mark.parametrize("shape, text", [
    ((128, 784), "[128, 784]"), ([], "[]"), ([2.9, -1.5], "[2, -1]"), ("12", "[1, 2]"),
    (np.array([3, 32, 32]), "[3, 32, 32]"), (iter([1]), "[1]"),
])
def test_format_shape(shape, text):
    assert encode.format_shape(shape) == text


@pytest.mark.parametrize("shape, error", [
    (None, TypeError), (np.array(5), TypeError), (np.zeros((2, 2)), TypeError), (["x"], ValueError),
])
def test_format_shape_errors(shape, error):
    with pytest.raises(error):
        encode.format_shape(shape)


def test_none_is_not_iterable_message():
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        encode.format_shape(None)
