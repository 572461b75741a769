"""check_knobset: a stream reader's options against the options it supports."""

from collections import OrderedDict

import pytest

import plumo.stream_reader.knobset as knobset
from plumo.errors import InvalidRuntimeOptionError
from plumo.stream_reader.knobset import check_knobset


def test_module_namespace():
    assert [n for n in vars(knobset) if not n.startswith("__")] == [
        "InvalidRuntimeOptionError",
        "check_knobset",
    ]
    assert knobset.__doc__ is None
    assert "supported options" in check_knobset.__doc__.lower()


@pytest.mark.parametrize(
    "supplied, supported",
    [
        ({}, {}),
        ({}, {"a": int}),
        ({"a": True}, {"a": int}),
        ({"a": 1, "b": 2.0}, {"a": (int, float), "b": (int, float)}),
        (OrderedDict(x="s"), {"x": str}),
        ({"a": None}, {"a": type(None)}),
    ],
)
def test_valid_options(supplied, supported):
    assert check_knobset(supplied, supported) is None


@pytest.mark.parametrize(
    "supplied, supported, message",
    [
        ({"a": 1}, {}, "Unknown option 'a'"),
        ({1: 1}, {}, "Unknown option '1'"),
        ({"a": 1}, {"a": float}, "Option 'a' should be of type '<class 'float'>', got '<class 'int'>'"),
        (
            {"a": "x"},
            {"a": (int, float)},
            "Option 'a' should be of type '(<class 'int'>, <class 'float'>)', got '<class 'str'>'",
        ),
        # the first offender in iteration order wins; unknown is checked before type
        ({"b": "x", "zz": 1}, {"b": int}, "Option 'b' should be of type '<class 'int'>', got '<class 'str'>'"),
        ({"ok": 1, "zz": 1.0, "b": "x"}, {"ok": int, "b": int}, "Unknown option 'zz'"),
    ],
)
def test_first_violation_is_reported(supplied, supported, message):
    with pytest.raises(InvalidRuntimeOptionError) as excinfo:
        check_knobset(supplied, supported)
    assert excinfo.value.args == (message,)


class Pairs:
    """A mapping-like object: only items() is used."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs


@pytest.mark.parametrize(
    "supplied, supported, error, message",
    [
        (None, {}, AttributeError, "'NoneType' object has no attribute 'items'"),
        (Pairs([("a", 1, 2)]), {}, ValueError, r"too many values to unpack \(expected 2\)"),
        (Pairs([("a",)]), {}, ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
        (Pairs([5]), {}, TypeError, "cannot unpack non-iterable int object"),
        (Pairs(5), {}, TypeError, "'int' object is not iterable"),
        ({"a": 1}, {"a": 5}, TypeError, "isinstance"),
        ({"a": 1}, None, TypeError, "not iterable|not a container"),
    ],
)
def test_bad_inputs_raise_pythons_own_errors(supplied, supported, error, message):
    with pytest.raises(error, match=message):
        check_knobset(supplied, supported)


def test_bad_type_entry_only_matters_when_examined():
    check_knobset({"a": 1}, {"a": int, "b": "not a type"})


def test_dict_changing_size_during_the_check():
    supplied = {"a": 1}

    class Growing(dict):
        def __contains__(self, key):
            supplied["new"] = 1
            return True

    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        check_knobset(supplied, Growing(a=int, new=int))


def test_argument_errors():
    with pytest.raises(TypeError, match=r"check_knobset\(\) takes exactly 2 positional arguments \(1 given\)"):
        check_knobset({})
    assert check_knobset(supported={"a": int}, supplied={"a": 1}) is None
